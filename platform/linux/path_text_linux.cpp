#include "platform/path_text.h"

#include <cstdint>

namespace platform
{
namespace
{

constexpr wchar_t kEscapeBase = 0xDC00;

// Length of the valid UTF-8 sequence starting at `bytes[at]` decoded into `codePoint`,
// or 0 when it is not one (overlong, surrogate, beyond U+10FFFF, truncated).
std::size_t decodeUtf8(const std::string &bytes, std::size_t at, char32_t &codePoint)
{
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); };
    const std::uint8_t lead = byte(at);
    std::size_t length;
    char32_t minimum;
    if (lead < 0x80) {
        codePoint = lead;
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2;
        minimum = 0x80;
        codePoint = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        minimum = 0x800;
        codePoint = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        minimum = 0x10000;
        codePoint = lead & 0x07;
    } else {
        return 0;
    }
    if (at + length > bytes.size())
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80)
            return 0;
        codePoint = (codePoint << 6) | (byte(at + i) & 0x3F);
    }
    if (codePoint < minimum || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
        return 0;
    return length;
}

void appendUtf8(std::string &out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

} // namespace

bool pathsAreUtf16()
{
    return false;
}

std::wstring pathFromBytes(const std::string &bytes)
{
    std::wstring path;
    path.reserve(bytes.size());
    for (std::size_t at = 0; at < bytes.size();) {
        char32_t codePoint;
        const std::size_t length = decodeUtf8(bytes, at, codePoint);
        if (length == 0) {
            path += static_cast<wchar_t>(kEscapeBase + static_cast<std::uint8_t>(bytes[at]));
            ++at;
        } else {
            path += static_cast<wchar_t>(codePoint);
            at += length;
        }
    }
    return path;
}

std::string pathToBytes(const std::wstring &path)
{
    std::string bytes;
    bytes.reserve(path.size());
    for (const wchar_t unit : path) {
        const auto c = static_cast<char32_t>(unit);
        if (c >= kEscapeBase + 0x80 && c <= kEscapeBase + 0xFF)
            bytes += static_cast<char>(c - kEscapeBase);
        else
            appendUtf8(bytes, c);
    }
    return bytes;
}

} // namespace platform
