#include "platform/path_text.h"

#include "base/utf8_text.h"

#include <cstdint>

namespace platform
{
namespace
{

constexpr wchar_t kEscapeBase = 0xDC00;

} // namespace

bool pathsAreUtf16()
{
    return false;
}

std::wstring pathFromBytes(const std::string &bytes)
{
    std::wstring path;
    path.reserve(bytes.size());
    utf8::forEach(
        bytes, [&](char32_t c) { path += static_cast<wchar_t>(c); },
        [&](unsigned char byte) { path += static_cast<wchar_t>(kEscapeBase + byte); });
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
            utf8::append(bytes, c);
    }
    return bytes;
}

} // namespace platform
