// Files the module reads from places it does not fully control (the cache, the directory
// beside the executable): only regular files are opened, never in a way that can block
// (a FIFO or a device is refused before its open could wait), and the cache's own entries
// are never reached through a symbolic link.
#pragma once

#include "platform/path_text.h"
#include "platform/process_dump.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform
{

enum class FileRead {
    Read,       // `bytes` holds the whole file
    NotRegular, // a link (when links are not followed), directory, FIFO, device or socket
    TooLarge,   // more than the limit; nothing read
    Failed,     // nothing at the path, or any other error
};

enum class Links { Follow, DoNotFollow };

// Reads the file at `path` whole when it is a regular file of at most `maxBytes` bytes.
FileRead readRegularFile(const std::wstring &path, std::size_t maxBytes, std::string &bytes,
                         Links links);

// What an entry is, seen without following a final symbolic link. On Windows a "link" is
// any reparse point (symbolic link, junction), and it counts as Other.
enum class EntryKind { Missing, Regular, Directory, Other };

struct DirectoryEntry {
    std::string name; // Linux: the name's bytes; Windows: its UTF-8
    EntryKind kind;
    long long size;       // bytes, regular files only
    long long modifiedMs; // modification time, wall-clock milliseconds
};

// An open directory whose entries are reached by name through the directory itself, never
// through a path that could be swapped: on Linux every call is relative to the directory's
// descriptor (openat, unlinkat, renameat) and refuses a final link (O_NOFOLLOW); on Windows
// the directory is held open so it cannot be renamed or deleted, and an entry that is a
// reparse point or not of the expected kind is refused. Names are single plain components;
// anything else ("..", "a/b", "C:x", a device name) is refused. New entries are owner-only
// (directories 0700, files 0600, whatever the umask; on Windows the parent's access rules)
// and, once made, the directory is synced so they survive a crash.
class Directory
{
public:
    Directory() = default;
    ~Directory();
    Directory(Directory &&other) noexcept;
    Directory &operator=(Directory &&other) noexcept;
    Directory(const Directory &) = delete;
    Directory &operator=(const Directory &) = delete;

    // Makes `path` (with its missing parents, which get the system's default mode) and opens
    // it; an existing directory is narrowed to owner-only. Closed when `path` is not a real
    // directory (a file, a link) or cannot be made.
    static Directory makeAndOpen(const NativePath &path);

    bool isOpen() const;
    const NativePath &path() const { return path_; }

    // The real sub-directory `name`, made first when `create`; closed when it is anything else.
    Directory child(const std::string &name, bool create) const;
    // The entries, without "." and ".."; empty when none can be read.
    std::vector<DirectoryEntry> list() const;
    EntryKind kindOf(const std::string &name, long long *modifiedMs = nullptr) const;
    // The regular file `name` whole, never following a link or waiting on a FIFO.
    FileRead read(const std::string &name, std::size_t maxBytes, std::string &bytes) const;
    // Creates `name` (which must not exist), writes `bytes` and syncs it. At most
    // `writableBytes` are written, as if the disk were full beyond them. On any failure the
    // partial file is deleted and false returned.
    bool writeNew(const std::string &name, const std::string &bytes,
                  std::size_t writableBytes) const;
    // Creates `name`, which must not exist, empty and open for writing (a dump's file).
    FileHandle createNew(const std::string &name) const;
    // Renames the regular file `from` to `toName` in `to` (replacing a regular file there)
    // and syncs `to`.
    bool moveRegularFile(const std::string &from, const Directory &to,
                         const std::string &toName) const;
    // Deletes the entry itself: a link is unlinked (never its target), a real directory is
    // emptied the same way and removed. True when nothing of it stayed.
    bool remove(const std::string &name) const;
    // Flushes the directory's own entries to disk.
    bool sync() const;

private:
    friend class FileLock;
    NativePath path_;
    std::intptr_t handle_ = -1; // Linux: the descriptor; Windows: the HANDLE
};

// An exclusive advisory lock on a file of a directory, held while this lives (flock on
// Linux, a handle that shares nothing on Windows). Another process that asks for it meanwhile
// is refused at once.
class FileLock
{
public:
    FileLock() = default;
    ~FileLock();
    FileLock(FileLock &&other) noexcept;
    FileLock &operator=(FileLock &&other) noexcept;
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;

    // Creates `name` in `directory` if missing and locks it; not held when another has it.
    static FileLock tryLock(const Directory &directory, const std::string &name);
    bool held() const { return handle_ != -1; }

private:
    std::intptr_t handle_ = -1;
};

} // namespace platform
