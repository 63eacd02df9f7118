// Files for tests through the Win32 calls, which (unlike the C runtime's) go beyond MAX_PATH.
#pragma once

#include <windows.h>

#include <string>

// Creates `path` and every missing parent; true when it exists afterwards.
inline bool createDirectories(const std::wstring &path)
{
    const std::size_t parent = path.find_last_of(L'\\');
    if (parent != std::wstring::npos && parent > 2)
        createDirectories(path.substr(0, parent));
    return CreateDirectoryW(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

inline bool writeFile(const std::wstring &path, const std::string &bytes)
{
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    const bool ok = file != INVALID_HANDLE_VALUE &&
                    WriteFile(file, bytes.data(), DWORD(bytes.size()), &written, nullptr) &&
                    written == bytes.size();
    CloseHandle(file);
    return ok;
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
        createDirectories(path_);
    }
    ~TemporaryDirectory() { removeTree(path_); }
    TemporaryDirectory(const TemporaryDirectory &) = delete;
    TemporaryDirectory &operator=(const TemporaryDirectory &) = delete;

    const std::wstring &path() const { return path_; }
    std::wstring operator/(const std::wstring &name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};
