#include "base/utf8_text.h"

#include <cstdint>

namespace utf8
{

std::size_t decode(const std::string &text, std::size_t at, char32_t &codePoint)
{
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[at + i]); };
    const std::uint8_t lead = byte(0);
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
    if (text.size() - at < length)
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80)
            return 0;
        codePoint = (codePoint << 6) | (byte(i) & 0x3F);
    }
    if (codePoint < minimum || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
        return 0;
    return length;
}

void append(std::string &out, char32_t c)
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

} // namespace utf8

namespace
{
constexpr char32_t kReplacement = 0xFFFD;
}

std::string validUtf8(const std::string &text)
{
    std::string result;
    result.reserve(text.size());
    utf8::forEach(
        text, [&](char32_t c) { utf8::append(result, c); },
        [&](unsigned char) { utf8::append(result, kReplacement); });
    return result;
}

std::u16string utf16FromUtf8(const std::string &text)
{
    std::u16string units;
    units.reserve(text.size());
    const auto push = [&](char32_t c) {
        if (c >= 0x10000) {
            c -= 0x10000;
            units.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
            units.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            units.push_back(static_cast<char16_t>(c));
        }
    };
    utf8::forEach(text, push, [&](unsigned char) { push(kReplacement); });
    return units;
}

std::string wideToUtf8(const std::wstring &text)
{
    std::string out;
    out.reserve(text.size() * 3);
    for (const wchar_t character : text)
        utf8::append(out, static_cast<std::uint16_t>(character));
    return out;
}
