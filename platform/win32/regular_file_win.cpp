#include "platform/regular_file.h"

#include "platform/path_text.h"

#include <windows.h>

#include <algorithm>

namespace platform
{

FileRead readRegularFile(const std::wstring &path, std::size_t maxBytes, std::string &bytes,
                         Links links)
{
    // FILE_FLAG_OPEN_REPARSE_POINT opens a link itself, whose attributes then show it.
    const DWORD flags =
        FILE_ATTRIBUTE_NORMAL | (links == Links::Follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, flags, nullptr);
    // A directory cannot be opened without FILE_FLAG_BACKUP_SEMANTICS.
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_ACCESS_DENIED ? FileRead::NotRegular : FileRead::Failed;

    BY_HANDLE_FILE_INFORMATION information{};
    FileRead result = FileRead::Read;
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &information))
        result = FileRead::NotRegular;
    else if (information.dwFileAttributes &
             (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE))
        result = FileRead::NotRegular;
    else if ((static_cast<unsigned long long>(information.nFileSizeHigh) << 32 |
              information.nFileSizeLow) > maxBytes)
        result = FileRead::TooLarge;

    if (result == FileRead::Read) {
        // One byte past the limit tells a file that grew since.
        std::string content(maxBytes + 1, '\0');
        std::size_t filled = 0;
        while (filled < content.size()) {
            const DWORD want =
                static_cast<DWORD>(std::min<std::size_t>(content.size() - filled, 0x10000000));
            DWORD got = 0;
            if (!ReadFile(file, content.data() + filled, want, &got, nullptr)) {
                result = FileRead::Failed;
                break;
            }
            if (got == 0)
                break;
            filled += got;
        }
        if (result == FileRead::Read && filled > maxBytes)
            result = FileRead::TooLarge;
        if (result == FileRead::Read) {
            content.resize(filled);
            bytes = std::move(content);
        }
    }
    CloseHandle(file);
    return result;
}

namespace
{

long long wallClockMsOf(const FILETIME &time)
{
    // 100-nanosecond ticks since 1601-01-01 to milliseconds since 1970-01-01.
    const unsigned long long ticks =
        static_cast<unsigned long long>(time.dwHighDateTime) << 32 | time.dwLowDateTime;
    return static_cast<long long>(ticks / 10000) - 11644473600000LL;
}

EntryKind kindOf(DWORD attributes)
{
    if (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE))
        return EntryKind::Other;
    return attributes & FILE_ATTRIBUTE_DIRECTORY ? EntryKind::Directory : EntryKind::Regular;
}

} // namespace

EntryKind entryKind(const std::string &path, long long *modifiedMs)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(pathFromBytes(path).c_str(), GetFileExInfoStandard, &data))
        return EntryKind::Missing;
    if (modifiedMs)
        *modifiedMs = wallClockMsOf(data.ftLastWriteTime);
    return kindOf(data.dwFileAttributes);
}

std::vector<DirectoryEntry> listDirectory(const std::string &path)
{
    std::vector<DirectoryEntry> entries;
    if (entryKind(path) != EntryKind::Directory)
        return entries;
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileW((pathFromBytes(path) + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return entries;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..")
            continue;
        entries.push_back({pathToBytes(name), kindOf(found.dwFileAttributes),
                           static_cast<long long>(found.nFileSizeHigh) << 32 | found.nFileSizeLow,
                           wallClockMsOf(found.ftLastWriteTime)});
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return entries;
}

bool makePrivateDirectory(const std::string &path)
{
    CreateDirectoryW(pathFromBytes(path).c_str(), nullptr); // an existing one is checked below
    return entryKind(path) == EntryKind::Directory;
}

bool writeNewFileDurably(const std::string &path, const std::string &bytes,
                         std::size_t writableBytes)
{
    const std::wstring widePath = pathFromBytes(path);
    const HANDLE file = CreateFileW(widePath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    const std::size_t wanted = std::min(bytes.size(), writableBytes);
    std::size_t written = 0;
    while (written < wanted) {
        DWORD done = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(wanted - written, 1 << 20));
        if (!WriteFile(file, bytes.data() + written, chunk, &done, nullptr) || done == 0)
            break;
        written += done;
    }
    const bool complete = written == bytes.size() && FlushFileBuffers(file);
    CloseHandle(file);
    if (!complete)
        DeleteFileW(widePath.c_str()); // result not examined: the write failed either way
    return complete;
}

bool renameRegularFileDurably(const std::string &from, const std::string &to)
{
    if (entryKind(from) != EntryKind::Regular)
        return false;
    return MoveFileExW(pathFromBytes(from).c_str(), pathFromBytes(to).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

bool removeEntry(const std::string &path)
{
    const std::wstring widePath = pathFromBytes(path);
    const DWORD attributes = GetFileAttributesW(widePath.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return true;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) // the link itself, never its target
        return attributes & FILE_ATTRIBUTE_DIRECTORY ? RemoveDirectoryW(widePath.c_str())
                                                     : DeleteFileW(widePath.c_str());
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return DeleteFileW(widePath.c_str());
    for (const DirectoryEntry &entry : listDirectory(path))
        removeEntry(path + "/" + entry.name); // what stays makes the removal below fail
    return RemoveDirectoryW(widePath.c_str());
}

} // namespace platform
