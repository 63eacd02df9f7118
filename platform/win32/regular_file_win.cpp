#include "platform/regular_file.h"

#include "platform/path_text.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstring>

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

namespace
{

// A name that is one plain component Windows takes literally: no separator, drive or stream
// colon, wildcard or control character, no trailing dot or space (which Windows strips), not
// "." or "..", and no device name (CON, NUL, COM1, ...), which opens the device wherever it is.
bool isPlainName(const std::string &name)
{
    if (name.empty() || name == "." || name == ".." || name.back() == '.' || name.back() == ' ')
        return false;
    for (const char c : name)
        if (static_cast<unsigned char>(c) < 0x20 || std::strchr("<>:\"/\\|?*", c))
            return false;
    std::string stem = name.substr(0, name.find('.'));
    while (!stem.empty() && stem.back() == ' ')
        stem.pop_back();
    for (char &c : stem)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    static const char *const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char *device : kDevices)
        if (stem == device)
            return false;
    const bool numbered =
        stem.size() == 4 && (stem.rfind("COM", 0) == 0 || stem.rfind("LPT", 0) == 0);
    return !(numbered && stem[3] >= '0' && stem[3] <= '9');
}

HANDLE handleOf(std::intptr_t handle)
{
    return reinterpret_cast<HANDLE>(handle);
}

// Opens the entry itself (a reparse point is not followed); a directory only with
// FILE_FLAG_BACKUP_SEMANTICS.
HANDLE openEntry(const std::wstring &path, DWORD access, DWORD share, bool directory)
{
    return CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OPEN_REPARSE_POINT | (directory ? FILE_FLAG_BACKUP_SEMANTICS : 0),
                       nullptr);
}

bool isRealDirectory(HANDLE handle)
{
    BY_HANDLE_FILE_INFORMATION information{};
    return GetFileInformationByHandle(handle, &information) &&
           (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Makes the directory and, when its parent is missing, the parents first.
bool makeDirectories(const std::wstring &path)
{
    if (CreateDirectoryW(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS)
        return true;
    if (GetLastError() != ERROR_PATH_NOT_FOUND)
        return false;
    const std::size_t separator = path.find_last_of(L"\\/");
    if (separator == std::wstring::npos || separator == 0)
        return false;
    return makeDirectories(path.substr(0, separator)) &&
           (CreateDirectoryW(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
}

// The directory held open; null when `path` is not a real directory. The cache itself can
// then be neither renamed nor deleted (no FILE_SHARE_DELETE); a report directory can, since
// the retry deletes it while it still holds it.
HANDLE holdDirectory(const std::wstring &path, bool deletable)
{
    const HANDLE handle =
        openEntry(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | (deletable ? FILE_SHARE_DELETE : 0), true);
    if (handle == INVALID_HANDLE_VALUE)
        return nullptr;
    if (!isRealDirectory(handle)) {
        CloseHandle(handle);
        return nullptr;
    }
    return handle;
}

bool removePath(const std::wstring &path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) // the link itself, never its target
        return attributes & FILE_ATTRIBUTE_DIRECTORY ? RemoveDirectoryW(path.c_str())
                                                     : DeleteFileW(path.c_str());
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return DeleteFileW(path.c_str());
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name != L"." && name != L"..")
                removePath(path + L"\\" + name); // what stays makes the removal below fail
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    return RemoveDirectoryW(path.c_str());
}

} // namespace

Directory::~Directory()
{
    if (handle_ != -1)
        CloseHandle(handleOf(handle_));
}

Directory::Directory(Directory &&other) noexcept
    : path_(std::move(other.path_)), handle_(other.handle_)
{
    other.handle_ = -1;
}

Directory &Directory::operator=(Directory &&other) noexcept
{
    if (this != &other) {
        if (handle_ != -1)
            CloseHandle(handleOf(handle_));
        path_ = std::move(other.path_);
        handle_ = other.handle_;
        other.handle_ = -1;
    }
    return *this;
}

Directory Directory::makeAndOpen(const NativePath &path)
{
    Directory directory;
    if (path.empty() || !makeDirectories(path))
        return directory;
    if (const HANDLE handle = holdDirectory(path, false)) {
        directory.path_ = path;
        directory.handle_ = reinterpret_cast<std::intptr_t>(handle);
    }
    return directory;
}

bool Directory::isOpen() const
{
    return handle_ != -1;
}

Directory Directory::child(const std::string &name, bool create) const
{
    Directory child;
    if (!isOpen() || !isPlainName(name))
        return child;
    const std::wstring path = childPath(path_, name);
    const bool made = create && CreateDirectoryW(path.c_str(), nullptr);
    if (create && !made && GetLastError() != ERROR_ALREADY_EXISTS)
        return child;
    if (const HANDLE handle = holdDirectory(path, true)) {
        child.path_ = path;
        child.handle_ = reinterpret_cast<std::intptr_t>(handle);
    }
    return child;
}

std::vector<DirectoryEntry> Directory::list() const
{
    std::vector<DirectoryEntry> entries;
    if (!isOpen())
        return entries;
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileW((path_ + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return entries;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..")
            continue;
        const std::string utf8 = pathToBytes(name);
        if (pathFromBytes(utf8) != name)
            continue; // An unpaired surrogate: never a name of the module's, and not reachable by
                      // it.
        entries.push_back({utf8, platform::kindOf(found.dwFileAttributes),
                           static_cast<long long>(found.nFileSizeHigh) << 32 | found.nFileSizeLow,
                           wallClockMsOf(found.ftLastWriteTime)});
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return entries;
}

EntryKind Directory::kindOf(const std::string &name, long long *modifiedMs) const
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!isOpen() || !isPlainName(name) ||
        !GetFileAttributesExW(childPath(path_, name).c_str(), GetFileExInfoStandard, &data))
        return EntryKind::Missing;
    if (modifiedMs)
        *modifiedMs = wallClockMsOf(data.ftLastWriteTime);
    return platform::kindOf(data.dwFileAttributes);
}

FileRead Directory::read(const std::string &name, std::size_t maxBytes, std::string &bytes) const
{
    if (!isOpen() || !isPlainName(name))
        return FileRead::Failed;
    return readRegularFile(childPath(path_, name), maxBytes, bytes, Links::DoNotFollow);
}

bool Directory::writeNew(const std::string &name, const std::string &bytes,
                         std::size_t writableBytes) const
{
    const HANDLE file = handleOf(createNew(name));
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
        DeleteFileW(childPath(path_, name).c_str()); // result not examined: the write failed
    return complete;
}

FileHandle Directory::createNew(const std::string &name) const
{
    if (!isOpen() || !isPlainName(name))
        return kInvalidFile;
    // CREATE_NEW fails on any existing entry, a link included; no sharing while written.
    const HANDLE file = CreateFileW(childPath(path_, name).c_str(), GENERIC_WRITE, 0, nullptr,
                                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    return reinterpret_cast<FileHandle>(file);
}

bool Directory::moveRegularFile(const std::string &from, const Directory &to,
                                const std::string &toName) const
{
    if (!to.isOpen() || !isPlainName(toName) || kindOf(from) != EntryKind::Regular)
        return false;
    return MoveFileExW(childPath(path_, from).c_str(), childPath(to.path_, toName).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

bool Directory::remove(const std::string &name) const
{
    return isOpen() && isPlainName(name) && removePath(childPath(path_, name));
}

bool Directory::sync() const
{
    return isOpen(); // NTFS journals its directory entries; there is nothing to flush
}

FileLock::~FileLock()
{
    if (handle_ != -1)
        CloseHandle(handleOf(handle_));
}

FileLock::FileLock(FileLock &&other) noexcept : handle_(other.handle_)
{
    other.handle_ = -1;
}

FileLock &FileLock::operator=(FileLock &&other) noexcept
{
    if (this != &other) {
        if (handle_ != -1)
            CloseHandle(handleOf(handle_));
        handle_ = other.handle_;
        other.handle_ = -1;
    }
    return *this;
}

FileLock FileLock::tryLock(const Directory &directory, const std::string &name)
{
    FileLock lock;
    if (!directory.isOpen() || !isPlainName(name))
        return lock;
    // A handle that shares nothing: another open of the file fails until it is closed.
    const HANDLE file = CreateFileW(childPath(directory.path_, name).c_str(),
                                    GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return lock;
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(file, &information) ||
        (information.dwFileAttributes &
         (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE))) {
        CloseHandle(file);
        return lock;
    }
    lock.handle_ = reinterpret_cast<std::intptr_t>(file);
    return lock;
}

} // namespace platform
