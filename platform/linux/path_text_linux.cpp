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
    for (std::size_t at = 0; at < bytes.size();) {
        char32_t codePoint;
        const std::size_t length = utf8::decode(bytes, at, codePoint);
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
            utf8::append(bytes, c);
    }
    return bytes;
}

} // namespace platform
