// Files for tests through the Win32 calls and "\\?\" names, which (unlike plain names in the
// C runtime's calls) go beyond MAX_PATH.
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>

// `path` as a name that may be longer than MAX_PATH.
inline std::filesystem::path longName(const std::wstring &path)
{
    return L"\\\\?\\" + path;
}

inline void removeTree(const std::wstring &path)
{
    WIN32_FIND_DATAW entry;
    const HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &entry);
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &entry)) {
        const std::wstring name = entry.cFileName;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (name != L"." && name != L"..")
                removeTree(path + L"\\" + name);
        } else {
            DeleteFileW((path + L"\\" + name).c_str());
        }
    }
    FindClose(search);
    RemoveDirectoryW(path.c_str());
}

// A fresh directory under the temporary directory, removed with everything in it.
class TemporaryDirectory
{
public:
    TemporaryDirectory()
    {
        static int created = 0;
        wchar_t temporary[MAX_PATH + 1];
        GetTempPathW(MAX_PATH + 1, temporary);
        path_ = std::wstring(temporary) + L"keelanr-" + std::to_wstring(GetCurrentProcessId()) +
                L"-" + std::to_wstring(++created);
        removeTree(path_); // left behind by an earlier process with the same id
        std::filesystem::create_directories(longName(path_));
    }
    ~TemporaryDirectory() { removeTree(path_); }
    TemporaryDirectory(const TemporaryDirectory &) = delete;
    TemporaryDirectory &operator=(const TemporaryDirectory &) = delete;

    const std::wstring &path() const { return path_; }
    std::wstring operator/(const std::wstring &name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};
