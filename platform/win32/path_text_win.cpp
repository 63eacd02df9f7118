#include "platform/path_text.h"

#include <windows.h>

namespace platform
{

NativePath nativePath(const std::u16string &text)
{
    return NativePath(text.begin(), text.end());
}

std::string pathToUtf8(const NativePath &path)
{
    return pathToBytes(path);
}

NativePath childPath(const NativePath &directory, const std::string &name)
{
    const NativePath wideName = pathFromBytes(name);
    if (directory.empty() || directory.back() == L'\\' || directory.back() == L'/')
        return directory + wideName;
    return directory + L"\\" + wideName;
}

bool pathsAreUtf16()
{
    return true;
}

// Unpaired surrogates cannot be written as UTF-8 and come out as U+FFFD; Windows file names
// that hold them are the only ones that do not survive the round trip.
std::string pathToBytes(const std::wstring &path)
{
    if (path.empty())
        return {};
    const int units = static_cast<int>(path.size());
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, path.data(), units, nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, path.data(), units, bytes.data(), length, nullptr, nullptr);
    return bytes;
}

std::wstring pathFromBytes(const std::string &bytes)
{
    if (bytes.empty())
        return {};
    const int size = static_cast<int>(bytes.size());
    const int length = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), size, nullptr, 0);
    std::wstring path(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes.data(), size, path.data(), length);
    return path;
}

} // namespace platform
