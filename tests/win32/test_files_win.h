// Files and directories for tests, made with the Win32 calls directly: the C runtime's and
// std::filesystem's functions stop at MAX_PATH, and some tests go deeper on purpose.
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
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const BOOL ok =
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size();
}

inline std::string readFile(const std::wstring &path)
{
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    std::string bytes;
    if (file == INVALID_HANDLE_VALUE)
        return bytes;
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0)
        bytes.append(buffer, read);
    CloseHandle(file);
    return bytes;
}

inline bool fileExists(const std::wstring &path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline void removeTree(const std::wstring &path)
{
    WIN32_FIND_DATAW entry;
    const HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &entry);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..")
                continue;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                removeTree(path + L"\\" + name);
            else
                DeleteFileW((path + L"\\" + name).c_str());
        } while (FindNextFileW(search, &entry));
        FindClose(search);
    }
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

    // Without a trailing separator.
    const std::wstring &path() const { return path_; }
    std::wstring operator/(const std::wstring &name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};
