#include "platform/path_text.h"

#include "base/utf8_text.h"

#include <cstdint>

namespace platform
{
namespace
{

constexpr wchar_t kEscapeBase = 0xDC00;

} // namespace

NativePath nativePath(const std::u16string &text)
{
    std::string bytes;
    bytes.reserve(text.size());
    for (std::size_t at = 0; at < text.size(); ++at) {
        char32_t c = text[at];
        const bool high = c >= 0xD800 && c <= 0xDBFF, low = c >= 0xDC00 && c <= 0xDFFF;
        if (high && at + 1 < text.size() && text[at + 1] >= 0xDC00 && text[at + 1] <= 0xDFFF)
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++at] - 0xDC00);
        else if (high || low)
            c = 0xFFFD;
        utf8::append(bytes, c);
    }
    return bytes;
}

std::string pathToUtf8(const NativePath &path)
{
    return path;
}

NativePath childPath(const NativePath &directory, const std::string &name)
{
    if (directory.empty() || directory.back() == '/')
        return directory + name;
    return directory + "/" + name;
}

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
