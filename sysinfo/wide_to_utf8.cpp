#include "sysinfo/wide_to_utf8.h"

#include <cstdint>

std::string wideToUtf8(const std::wstring &text)
{
    std::string out;
    out.reserve(text.size() * 3);
    for (const wchar_t character : text) {
        const auto unit = static_cast<std::uint16_t>(character);
        if (unit < 0x80) {
            out += static_cast<char>(unit);
        } else if (unit < 0x800) {
            out += static_cast<char>(0xC0 | (unit >> 6));
            out += static_cast<char>(0x80 | (unit & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (unit >> 12));
            out += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (unit & 0x3F));
        }
    }
    return out;
}
