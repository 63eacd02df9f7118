#include "platform/path_text.h"
#include "platform/regular_file.h"

#include <dirent.h>
#include <fcntl.h>
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

bool syncDirectoryOf(const std::string &path)
{
    const std::size_t slash = path.find_last_of('/');
    const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
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
    // still returns at once, and the fstat below refuses it.
    const int flags =
        O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | (links == Links::Follow ? 0 : O_NOFOLLOW);
    const int fd = retried([&] { return ::open(name.c_str(), flags); });
    if (fd < 0)
        return errno == ELOOP ? FileRead::NotRegular : FileRead::Failed;
    struct stat opened {
    };
    FileRead result = FileRead::Read;
    if (::fstat(fd, &opened) != 0)
        result = FileRead::Failed;
    else if (!S_ISREG(opened.st_mode) || opened.st_ino != before.st_ino ||
             opened.st_dev != before.st_dev)
        result = FileRead::NotRegular;
    else if (static_cast<unsigned long long>(opened.st_size) > maxBytes)
        result = FileRead::TooLarge;

    if (result == FileRead::Read) {
        // Read up to one byte past the limit: a file that grew since the fstat is too large.
        std::string content(maxBytes + 1, '\0');
        std::size_t filled = 0;
        while (filled < content.size()) {
            const ssize_t got = retried(
                [&] { return ::read(fd, content.data() + filled, content.size() - filled); });
            if (got < 0) {
                result = FileRead::Failed;
                break;
            }
            if (got == 0)
                break;
            filled += static_cast<std::size_t>(got);
        }
        if (result == FileRead::Read && filled > maxBytes)
            result = FileRead::TooLarge;
        if (result == FileRead::Read) {
            content.resize(filled);
            bytes = std::move(content);
        }
    }
    ::close(fd);
    return result;
}

EntryKind entryKind(const std::string &path, long long *modifiedMs)
{
    struct stat status {
    };
    if (::lstat(path.c_str(), &status) != 0)
        return EntryKind::Missing;
    if (modifiedMs)
        *modifiedMs = modifiedMsOf(status);
    return kindOf(status);
}

std::vector<DirectoryEntry> listDirectory(const std::string &path)
{
    std::vector<DirectoryEntry> entries;
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return entries;
    DIR *directory = ::fdopendir(fd);
    if (!directory) {
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
        entries.push_back({name, kindOf(status),
                           S_ISREG(status.st_mode) ? static_cast<long long>(status.st_size) : 0,
                           modifiedMsOf(status)});
    }
    ::closedir(directory);
    return entries;
}

bool makePrivateDirectory(const std::string &path)
{
    if (!makeParents(path) || (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST))
        return false;
    // The mode is set through a descriptor of the directory itself, never through a link.
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool made = ::fchmod(fd, 0700) == 0;
    ::close(fd);
    return made;
}

bool writeNewFileDurably(const std::string &path, const std::string &bytes,
                         std::size_t writableBytes)
{
    // O_EXCL also refuses a link planted at the name; fchmod because the umask narrows the
    // creation mode only.
    const int fd = retried([&] {
        return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    });
    if (fd < 0)
        return false;
    bool written = ::fchmod(fd, 0600) == 0;
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
        ::unlink(path.c_str()); // Result not examined: the partial file is of no use either way.
    return written;
}

bool renameRegularFileDurably(const std::string &from, const std::string &to)
{
    struct stat status {
    };
    if (::lstat(from.c_str(), &status) != 0 || !S_ISREG(status.st_mode))
        return false;
    if (::rename(from.c_str(), to.c_str()) != 0)
        return false;
    return syncDirectoryOf(to);
}

bool removeEntry(const std::string &path)
{
    struct stat status {
    };
    if (::lstat(path.c_str(), &status) != 0)
        return errno == ENOENT;
    if (!S_ISDIR(status.st_mode))
        return ::unlink(path.c_str()) == 0 || errno == ENOENT;
    bool emptied = true;
    for (const DirectoryEntry &entry : listDirectory(path))
        emptied = removeEntry(path + "/" + entry.name) && emptied;
    return emptied && (::rmdir(path.c_str()) == 0 || errno == ENOENT);
}

} // namespace platform
