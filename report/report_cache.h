// Writers of the report cache. Under the cache directory each undelivered report has a
// directory named by its GUID holding "{event}.{first}.{second}.json" (the report text)
// and, when its dump could not be uploaded, the dump itself. Nothing is reported back:
// a file that cannot be written is lost, a dump that cannot be moved stays where it was
// (and is deleted at the next start).
//
// Every entry is created owner-only (directories 0700, files 0600, whatever the umask) and
// nothing is written, moved or deleted through a symbolic link or into anything but a real
// directory.
#pragma once

#include <QString>

#include <cstddef>
#include <functional>
#include <string>

// A report file larger than this is garbage: the retry deletes it unread.
constexpr std::size_t kMaxReportBytes = 1024 * 1024;
// The dumps the cache keeps at most, in number and in bytes; the oldest go first.
constexpr int kMaxCachedDumps = 50;
constexpr long long kMaxCachedDumpBytes = 100LL * 1024 * 1024;

// Makes the cache directory (and any missing parent) with mode 0700; an existing one gets
// that mode. False when it cannot be made or is not a real directory.
bool makeCacheDirectory(const QString &path);

// True for a GUID that is one plain path component: not empty, at most 128 bytes, not
// starting with '.', and free of '/', '\\' and control characters (NUL included).
bool isSafeReportGuid(const std::string &guid);
// `guid` when it is safe, else a new random GUID in RFC 4122 form (version 4). The caller
// uses the result for both the event and the cache directory.
std::string safeReportGuid(std::string guid);

// Writes `reportText` as "{eventName}.{first}.{second}.json" into the report's directory
// (made if missing), replacing an earlier file of that name. The file appears under its
// final name only once all of it is on disk (file and directory synced), so a retry or a
// crash never sees part of a report. An unsafe GUID writes nothing.
void writeCachedReport(const std::string &eventName, const std::string &reportText,
                       const std::string &guid, int first, int second, const QString &cacheDir);

// Moves the dump (a regular file only) into the report's directory, keeping its file name,
// then applies the cache's quota. Only a directory that already holds its report takes a
// dump (call it after writeCachedReport); otherwise the dump stays where it was.
void moveDumpToCache(const std::string &dumpPath, const std::string &guid, const QString &cacheDir);

// Replaces the file at `path` with `bytes` the same durable way (0600). False when the old
// content, if any, stayed.
bool writeCacheFileDurably(const QString &path, const std::string &bytes);

// Deletes cached dumps, oldest first, until at most kMaxCachedDumps with at most
// kMaxCachedDumpBytes in all remain. Returns how many it deleted.
int enforceCacheQuota(const QString &cacheDir);

// Runs after a report's text is written and before it is put in place under its final
// name. Set it before any writer runs; an empty function removes it.
void setBeforeReportCommitHookForTesting(std::function<void()> hook);
// Acts as a disk with room for `bytes` more bytes of cache files; negative: no limit.
void setCacheWriteRoomForTesting(long long bytes);
// Called with the name of each step of the writers and the retry that changes the disk or
// sends something, after it took place; tests kill the process there.
void setCacheStepHookForTesting(std::function<void(const char *step)> hook);

// The writers' and the retry's step notice (see setCacheStepHookForTesting).
void cacheStepDone(const char *step);
