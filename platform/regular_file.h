// Files the module reads from places it does not fully control (the cache, the directory
// beside the executable): only regular files are opened, never in a way that can block
// (a FIFO or a device is refused before its open could wait), and the cache's own entries
// are never reached through a symbolic link.
#pragma once

#include <cstddef>
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

// The cache's primitives. Paths are UTF-8 (platform/path_text.h). On Windows a "link" is any
// reparse point (symbolic link, junction), and the owner-only modes are the profile
// directory's own access rules: the cache inherits them.

// What an entry is, seen without following a final symbolic link.
enum class EntryKind { Missing, Regular, Directory, Other };

struct DirectoryEntry {
    std::string name; // the name's bytes
    EntryKind kind;
    long long size;       // bytes, regular files only
    long long modifiedMs; // modification time, wall-clock milliseconds
};

EntryKind entryKind(const std::string &path, long long *modifiedMs = nullptr);
// The entries of a real directory (not one reached through a link), without "." and "..";
// empty when it is none or cannot be read.
std::vector<DirectoryEntry> listDirectory(const std::string &path);

// Makes `path` a directory only its owner can enter (0700, whatever the umask); an existing
// directory gets that mode too. False when `path` is something else, such as a link.
bool makePrivateDirectory(const std::string &path);

// Creates `path` (which must not exist) with mode 0600, writes `bytes` and syncs it to disk.
// At most `writableBytes` are written, as if the disk were full beyond them. On any failure
// the partial file is deleted and false returned.
bool writeNewFileDurably(const std::string &path, const std::string &bytes,
                         std::size_t writableBytes);

// Renames `from` to `to` (replacing a regular file there) and syncs the directory of `to`.
// Only a regular `from` is renamed.
bool renameRegularFileDurably(const std::string &from, const std::string &to);

// Deletes the entry itself: a link is unlinked (never its target), a real directory is
// emptied the same way and removed. False when anything stayed.
bool removeEntry(const std::string &path);

} // namespace platform
