#include "report/report_cache.h"

#include "platform/regular_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <random>
#include <vector>

namespace
{

constexpr std::size_t kMaxGuidBytes = 128;

std::function<void()> &beforeCommitHook()
{
    static std::function<void()> hook;
    return hook;
}

std::function<void(const char *)> &stepHook()
{
    static std::function<void(const char *)> hook;
    return hook;
}

std::atomic<long long> writeRoom{-1};

std::string bytesOf(const QString &path)
{
    return QFile::encodeName(path).toStdString();
}

// The report's directory under the cache directory; "" when it cannot be made or is not a
// real directory (a link planted under the GUID's name, for instance).
std::string reportDirectory(const std::string &guid, const QString &cacheDir)
{
    if (!isSafeReportGuid(guid))
        return {};
    const std::string directory = bytesOf(QDir(cacheDir).filePath(QString::fromStdString(guid)));
    return platform::makePrivateDirectory(directory) ? directory : std::string();
}

// A name in the file's directory that is hidden, does not end in ".json" or ".dmp", and is
// not taken by another writer of this process.
std::string temporaryNameFor(const std::string &path)
{
    static std::atomic<unsigned> sequence{0};
    const std::size_t slash = path.find_last_of('/');
    const std::string directory = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    return directory + "." + name + "." + std::to_string(std::random_device{}()) + "." +
           std::to_string(sequence.fetch_add(1)) + ".tmp";
}

bool hasDumpSuffix(const std::string &name)
{
    return QString::fromStdString(name).endsWith(".dmp", Qt::CaseInsensitive) &&
           name.front() != '.';
}

bool holdsReport(const std::string &directory)
{
    for (const platform::DirectoryEntry &entry : platform::listDirectory(directory))
        if (entry.kind == platform::EntryKind::Regular && entry.name.front() != '.' &&
            QString::fromStdString(entry.name).endsWith(".json", Qt::CaseInsensitive))
            return true;
    return false;
}

struct CachedDump {
    std::string path;
    long long size;
    long long modifiedMs;
};

std::vector<CachedDump> cachedDumps(const std::string &cache)
{
    std::vector<CachedDump> dumps;
    for (const platform::DirectoryEntry &entry : platform::listDirectory(cache)) {
        const std::string path = cache + "/" + entry.name;
        if (entry.kind == platform::EntryKind::Regular && hasDumpSuffix(entry.name))
            dumps.push_back({path, entry.size, entry.modifiedMs});
        if (entry.kind != platform::EntryKind::Directory)
            continue;
        for (const platform::DirectoryEntry &inner : platform::listDirectory(path))
            if (inner.kind == platform::EntryKind::Regular && hasDumpSuffix(inner.name))
                dumps.push_back({path + "/" + inner.name, inner.size, inner.modifiedMs});
    }
    return dumps;
}

} // namespace

bool makeCacheDirectory(const QString &path)
{
    return !path.isEmpty() && platform::makePrivateDirectory(bytesOf(path));
}

bool isSafeReportGuid(const std::string &guid)
{
    if (guid.empty() || guid.size() > kMaxGuidBytes || guid.front() == '.')
        return false;
    return std::none_of(guid.begin(), guid.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return c == '/' || c == '\\' || byte < 0x20 || byte == 0x7f;
    });
}

std::string safeReportGuid(std::string guid)
{
    if (isSafeReportGuid(guid))
        return guid;
    std::random_device source;
    unsigned char bytes[16];
    for (unsigned char &byte : bytes)
        byte = static_cast<unsigned char>(source());
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x40); // version 4: random
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80); // RFC 4122 variant
    char text[37];
    std::snprintf(text, sizeof text,
                  "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", bytes[0],
                  bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                  bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return text;
}

bool writeCacheFileDurably(const QString &path, const std::string &bytes)
{
    const std::string target = bytesOf(path);
    const std::string temporary = temporaryNameFor(target);
    const long long room = writeRoom.load();
    const bool written = platform::writeNewFileDurably(
        temporary, bytes, room < 0 ? bytes.size() : static_cast<std::size_t>(room));
    if (room >= 0)
        writeRoom.store(std::max(0LL, room - static_cast<long long>(bytes.size())));
    if (!written)
        return false;
    cacheStepDone("file written");
    if (beforeCommitHook())
        beforeCommitHook()();
    if (!platform::renameRegularFileDurably(temporary, target)) {
        platform::removeEntry(temporary); // Result not examined: a hidden name is never read.
        return false;
    }
    cacheStepDone("file in place");
    return true;
}

void writeCachedReport(const std::string &eventName, const std::string &reportText,
                       const std::string &guid, int first, int second, const QString &cacheDir)
{
    const std::string directory = reportDirectory(guid, cacheDir);
    if (directory.empty())
        return;
    cacheStepDone("report directory made");
    const QString fileName = QString::fromStdString(eventName) + "." + QString::number(first, 10) +
                             "." + QString::number(second, 10) + ".json";
    // Result not examined: a report that cannot be written is lost.
    writeCacheFileDurably(QDir(QFile::decodeName(directory.c_str())).filePath(fileName),
                          reportText);
}

void moveDumpToCache(const std::string &dumpPath, const std::string &guid, const QString &cacheDir)
{
    const QString dump = QString::fromStdString(dumpPath);
    if (dumpPath.empty() || platform::entryKind(bytesOf(dump)) != platform::EntryKind::Regular)
        return;
    // Only beside its report: a directory holding just a dump would be of no use.
    const std::string directory = reportDirectory(guid, cacheDir);
    if (directory.empty() || !holdsReport(directory))
        return;
    // Result not examined: a dump that cannot be moved stays at the cache's root, where a
    // later start deletes it.
    if (platform::renameRegularFileDurably(bytesOf(dump),
                                           directory + "/" + bytesOf(QFileInfo(dump).fileName())))
        cacheStepDone("dump moved");
    enforceCacheQuota(cacheDir);
}

int enforceCacheQuota(const QString &cacheDir)
{
    if (cacheDir.isEmpty())
        return 0;
    std::vector<CachedDump> dumps = cachedDumps(bytesOf(cacheDir));
    std::sort(dumps.begin(), dumps.end(), [](const CachedDump &a, const CachedDump &b) {
        return a.modifiedMs != b.modifiedMs ? a.modifiedMs < b.modifiedMs : a.path < b.path;
    });
    long long total = 0;
    for (const CachedDump &dump : dumps)
        total += dump.size;
    int deleted = 0;
    for (std::size_t kept = dumps.size(), next = 0;
         kept > static_cast<std::size_t>(kMaxCachedDumps) || total > kMaxCachedDumpBytes;
         --kept, ++next) {
        if (platform::removeEntry(dumps[next].path)) {
            ++deleted;
            cacheStepDone("dump deleted for the quota");
        }
        total -= dumps[next].size;
    }
    return deleted;
}

void setBeforeReportCommitHookForTesting(std::function<void()> hook)
{
    beforeCommitHook() = std::move(hook);
}

void setCacheWriteRoomForTesting(long long bytes)
{
    writeRoom.store(bytes);
}

void setCacheStepHookForTesting(std::function<void(const char *step)> hook)
{
    stepHook() = std::move(hook);
}

void cacheStepDone(const char *step)
{
    if (stepHook())
        stepHook()(step);
}
