#include "platform/path_text.h"
#include "platform/regular_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace platform
{
namespace
{

long long modifiedMsOf(const struct stat &status)
{
    return static_cast<long long>(status.st_mtim.tv_sec) * 1000 + status.st_mtim.tv_nsec / 1000000;
}

EntryKind kindOf(const struct stat &status)
{
    if (S_ISREG(status.st_mode))
        return EntryKind::Regular;
    if (S_ISDIR(status.st_mode))
        return EntryKind::Directory;
    return EntryKind::Other;
}

// Retries a call that a signal interrupted.
template <class Call>
auto retried(Call call)
{
    decltype(call()) result;
    do
        result = call();
    while (result < 0 && errno == EINTR);
    return result;
}

// Makes the missing directories above and at `path` with the umask's mode, as for any
// directory the host names.
bool makeParents(const std::string &path)
{
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos || slash == 0)
        return true;
    const std::string parent = path.substr(0, slash);
    if (::mkdir(parent.c_str(), 0777) == 0 || errno == EEXIST)
        return true;
    return errno == ENOENT && makeParents(parent) &&
           (::mkdir(parent.c_str(), 0777) == 0 || errno == EEXIST);
}

void syncParentOf(const std::string &path)
{
    const std::size_t slash = path.find_last_of('/');
    const std::string parent = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const int fd = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// Reads the open file whole when it is regular (and, given `expected`, the very file that
// was looked at before the open) of at most `maxBytes` bytes.
FileRead readOpened(int fd, const struct stat *expected, std::size_t maxBytes, std::string &bytes)
{
    struct stat opened {
    };
    if (::fstat(fd, &opened) != 0)
        return FileRead::Failed;
    if (!S_ISREG(opened.st_mode) ||
        (expected && (opened.st_ino != expected->st_ino || opened.st_dev != expected->st_dev)))
        return FileRead::NotRegular;
    if (static_cast<unsigned long long>(opened.st_size) > maxBytes)
        return FileRead::TooLarge;
    // Read up to one byte past the limit: a file that grew since the fstat is too large.
    std::string content(maxBytes + 1, '\0');
    std::size_t filled = 0;
    while (filled < content.size()) {
        const ssize_t got =
            retried([&] { return ::read(fd, content.data() + filled, content.size() - filled); });
        if (got < 0)
            return FileRead::Failed;
        if (got == 0)
            break;
        filled += static_cast<std::size_t>(got);
    }
    if (filled > maxBytes)
        return FileRead::TooLarge;
    content.resize(filled);
    bytes = std::move(content);
    return FileRead::Read;
}

} // namespace

FileRead readRegularFile(const std::wstring &path, std::size_t maxBytes, std::string &bytes,
                         Links links)
{
    const std::string name = pathToBytes(path);
    struct stat before {
    };
    const int statted =
        links == Links::Follow ? ::stat(name.c_str(), &before) : ::lstat(name.c_str(), &before);
    if (statted != 0)
        return FileRead::Failed;
    if (!S_ISREG(before.st_mode))
        return FileRead::NotRegular;

    // O_NONBLOCK: should the entry have been swapped for a FIFO since the stat, the open
    // still returns at once, and the fstat refuses it.
    const int flags =
        O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | (links == Links::Follow ? 0 : O_NOFOLLOW);
    const int fd = retried([&] { return ::open(name.c_str(), flags); });
    if (fd < 0)
        return errno == ELOOP ? FileRead::NotRegular : FileRead::Failed;
    const FileRead result = readOpened(fd, &before, maxBytes, bytes);
    ::close(fd);
    return result;
}

namespace
{

// A name that stays inside the directory: one component, not "." or "..".
bool isPlainName(const std::string &name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

int fdOf(std::intptr_t handle)
{
    return static_cast<int>(handle);
}

// Opens the directory `name` relative to `at` without following a final link, and narrows it
// to owner-only through its own descriptor.
int openPrivateDirectoryAt(int at, const char *name)
{
    const int fd = retried(
        [&] { return ::openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); });
    if (fd < 0)
        return -1;
    if (::fchmod(fd, 0700) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool removeAt(int at, const std::string &name)
{
    struct stat status {
    };
    if (::fstatat(at, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;
    if (!S_ISDIR(status.st_mode))
        return ::unlinkat(at, name.c_str(), 0) == 0 || errno == ENOENT;
    const int fd = retried([&] {
        return ::openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    });
    bool emptied = fd >= 0;
    if (fd >= 0) {
        DIR *directory = ::fdopendir(::dup(fd));
        std::vector<std::string> names;
        while (directory) {
            const dirent *entry = ::readdir(directory);
            if (!entry)
                break;
            const std::string innerName = entry->d_name;
            if (innerName != "." && innerName != "..")
                names.push_back(innerName);
        }
        if (directory)
            ::closedir(directory);
        for (const std::string &innerName : names)
            emptied = removeAt(fd, innerName) && emptied;
        ::close(fd);
    }
    return emptied && (::unlinkat(at, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT);
}

} // namespace

Directory::~Directory()
{
    if (handle_ >= 0)
        ::close(fdOf(handle_));
}

Directory::Directory(Directory &&other) noexcept
    : path_(std::move(other.path_)), handle_(other.handle_)
{
    other.handle_ = -1;
}

Directory &Directory::operator=(Directory &&other) noexcept
{
    if (this != &other) {
        if (handle_ >= 0)
            ::close(fdOf(handle_));
        path_ = std::move(other.path_);
        handle_ = other.handle_;
        other.handle_ = -1;
    }
    return *this;
}

Directory Directory::makeAndOpen(const NativePath &path)
{
    Directory directory;
    if (path.empty() || !makeParents(path))
        return directory;
    const bool made = ::mkdir(path.c_str(), 0700) == 0;
    if (!made && errno != EEXIST)
        return directory;
    const int fd = openPrivateDirectoryAt(AT_FDCWD, path.c_str());
    if (fd < 0)
        return directory;
    if (made) // the new entry survives a crash; result not examined, the directory works anyway
        syncParentOf(path);
    directory.path_ = path;
    directory.handle_ = fd;
    return directory;
}

bool Directory::isOpen() const
{
    return handle_ >= 0;
}

Directory Directory::child(const std::string &name, bool create) const
{
    Directory child;
    if (!isOpen() || !isPlainName(name))
        return child;
    const bool made = create && ::mkdirat(fdOf(handle_), name.c_str(), 0700) == 0;
    if (create && !made && errno != EEXIST)
        return child;
    const int fd = openPrivateDirectoryAt(fdOf(handle_), name.c_str());
    if (fd < 0)
        return child;
    if (made)
        sync(); // the new entry survives a crash
    child.path_ = childPath(path_, name);
    child.handle_ = fd;
    return child;
}

std::vector<DirectoryEntry> Directory::list() const
{
    std::vector<DirectoryEntry> entries;
    if (!isOpen())
        return entries;
    // A descriptor of its own: readdir moves it, and closedir closes it.
    const int fd =
        retried([&] { return ::openat(fdOf(handle_), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    DIR *directory = fd < 0 ? nullptr : ::fdopendir(fd);
    if (!directory) {
        if (fd >= 0)
            ::close(fd);
        return entries;
    }
    while (const dirent *entry = ::readdir(directory)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        struct stat status {
        };
        if (::fstatat(fd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0)
            continue; // Gone since the listing.
        entries.push_back({name, platform::kindOf(status),
                           S_ISREG(status.st_mode) ? static_cast<long long>(status.st_size) : 0,
                           modifiedMsOf(status)});
    }
    ::closedir(directory);
    return entries;
}

EntryKind Directory::kindOf(const std::string &name, long long *modifiedMs) const
{
    struct stat status {
    };
    if (!isOpen() || !isPlainName(name) ||
        ::fstatat(fdOf(handle_), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
        return EntryKind::Missing;
    if (modifiedMs)
        *modifiedMs = modifiedMsOf(status);
    return platform::kindOf(status);
}

FileRead Directory::read(const std::string &name, std::size_t maxBytes, std::string &bytes) const
{
    if (!isOpen() || !isPlainName(name))
        return FileRead::Failed;
    // O_NONBLOCK: a FIFO's open returns at once, and the fstat refuses it.
    const int fd = retried([&] {
        return ::openat(fdOf(handle_), name.c_str(),
                        O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW);
    });
    if (fd < 0)
        return errno == ELOOP ? FileRead::NotRegular : FileRead::Failed;
    const FileRead result = readOpened(fd, nullptr, maxBytes, bytes);
    ::close(fd);
    return result;
}

bool Directory::writeNew(const std::string &name, const std::string &bytes,
                         std::size_t writableBytes) const
{
    const int fd = fdOf(createNew(name));
    if (fd < 0)
        return false;
    bool written = true;
    std::size_t done = 0;
    while (written && done < bytes.size()) {
        const std::size_t room = writableBytes > done ? writableBytes - done : 0;
        if (room == 0) {
            errno = ENOSPC;
            written = false;
            break;
        }
        const std::size_t chunk = std::min(bytes.size() - done, room);
        const ssize_t put = retried([&] { return ::write(fd, bytes.data() + done, chunk); });
        if (put <= 0)
            written = false;
        else
            done += static_cast<std::size_t>(put);
    }
    written = written && ::fsync(fd) == 0;
    written = ::close(fd) == 0 && written;
    if (!written)
        ::unlinkat(fdOf(handle_), name.c_str(),
                   0); // Result not examined: the partial file is of no use.
    return written;
}

FileHandle Directory::createNew(const std::string &name) const
{
    if (!isOpen() || !isPlainName(name))
        return kInvalidFile;
    // O_EXCL also refuses a link planted at the name; fchmod because the umask narrows the
    // creation mode only.
    const int fd = retried([&] {
        return ::openat(fdOf(handle_), name.c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    });
    if (fd < 0)
        return kInvalidFile;
    if (::fchmod(fd, 0600) != 0) {
        ::close(fd);
        ::unlinkat(fdOf(handle_), name.c_str(), 0);
        return kInvalidFile;
    }
    return fd;
}

bool Directory::moveRegularFile(const std::string &from, const Directory &to,
                                const std::string &toName) const
{
    if (!isOpen() || !to.isOpen() || !isPlainName(from) || !isPlainName(toName) ||
        kindOf(from) != EntryKind::Regular)
        return false;
    if (::renameat(fdOf(handle_), from.c_str(), fdOf(to.handle_), toName.c_str()) != 0)
        return false;
    return to.sync();
}

bool Directory::remove(const std::string &name) const
{
    return isOpen() && isPlainName(name) && removeAt(fdOf(handle_), name);
}

bool Directory::sync() const
{
    return isOpen() && ::fsync(fdOf(handle_)) == 0;
}

FileLock::~FileLock()
{
    if (handle_ >= 0)
        ::close(static_cast<int>(handle_)); // closing the descriptor releases the lock
}

FileLock::FileLock(FileLock &&other) noexcept : handle_(other.handle_)
{
    other.handle_ = -1;
}

FileLock &FileLock::operator=(FileLock &&other) noexcept
{
    if (this != &other) {
        if (handle_ >= 0)
            ::close(static_cast<int>(handle_));
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
    const int fd = retried([&] {
        return ::openat(fdOf(directory.handle_), name.c_str(),
                        O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    });
    if (fd < 0)
        return lock;
    struct stat status {
    };
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) ||
        retried([&] { return ::flock(fd, LOCK_EX | LOCK_NB); }) != 0) {
        ::close(fd);
        return lock;
    }
    lock.handle_ = fd;
    return lock;
}

} // namespace platform
