#include "cache/cache.h"

#include "cache/report_guid.h"
#include "log/log.h"

#include <algorithm>
#include <atomic>
#include <random>

namespace cache
{
namespace
{

using platform::DirectoryEntry;
using platform::EntryKind;

// A name taken by a dump of the same millisecond moves on to the next one, this many times.
constexpr int kDumpNameAttempts = 64;

std::atomic<long long> writeRoom{-1};

std::function<void()> &beforeCommitHook()
{
    static std::function<void()> hook;
    return hook;
}

std::function<void(const std::string &)> &beforeOpenReportHook()
{
    static std::function<void(const std::string &)> hook;
    return hook;
}

std::function<void(const char *)> &stepHook()
{
    static std::function<void(const char *)> hook;
    return hook;
}

char lowered(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// A hidden name that does not end in ".json" or ".dmp" and is not taken by another writer
// of this process.
std::string temporaryNameFor(const std::string &name)
{
    static std::atomic<unsigned> sequence{0};
    return "." + name + "." + std::to_string(std::random_device{}()) + "." +
           std::to_string(sequence.fetch_add(1)) + ".tmp";
}

bool isTemporary(const DirectoryEntry &entry)
{
    return entry.kind == EntryKind::Regular && entry.name.front() == '.' &&
           hasSuffix(entry.name.substr(1), ".tmp");
}

bool isDump(const DirectoryEntry &entry)
{
    return entry.kind == EntryKind::Regular && hasSuffix(entry.name, kDumpSuffix);
}

// Entries by name, ignoring case, as a directory listing shows them.
std::vector<DirectoryEntry> sortedEntries(const platform::Directory &directory)
{
    std::vector<DirectoryEntry> entries = directory.list();
    std::sort(entries.begin(), entries.end(), [](const DirectoryEntry &a, const DirectoryEntry &b) {
        const auto less = [](char x, char y) { return lowered(x) < lowered(y); };
        if (std::lexicographical_compare(a.name.begin(), a.name.end(), b.name.begin(), b.name.end(),
                                         less))
            return true;
        if (std::lexicographical_compare(b.name.begin(), b.name.end(), a.name.begin(), a.name.end(),
                                         less))
            return false;
        return a.name < b.name;
    });
    return entries;
}

std::string firstWithSuffix(const std::vector<DirectoryEntry> &entries, const char *suffix)
{
    for (const DirectoryEntry &entry : entries)
        if (entry.kind == EntryKind::Regular && hasSuffix(entry.name, suffix))
            return entry.name;
    return {};
}

} // namespace

bool hasSuffix(const std::string &name, const char *suffix)
{
    const std::string tail = suffix;
    if (name.empty() || name.front() == '.' || name.size() < tail.size())
        return false;
    return std::equal(tail.begin(), tail.end(),
                      name.end() - static_cast<std::ptrdiff_t>(tail.size()),
                      [](char a, char b) { return lowered(a) == lowered(b); });
}

std::shared_ptr<Cache> Cache::openUnder(const NativePath &dir)
{
    return open(platform::childPath(dir, kCacheDirectoryName));
}

std::shared_ptr<Cache> Cache::open(const NativePath &path)
{
    platform::Directory directory = platform::Directory::makeAndOpen(path);
    // A directory that refuses a new file (read-only, not writable) is no cache either.
    const std::string probe = temporaryNameFor("probe");
    if (directory.isOpen() && !directory.writeNew(probe, "", 0))
        directory = platform::Directory();
    directory.remove(probe); // result not examined: a hidden name is cleaned at a later start
    if (!directory.isOpen())
        logMessage("[ANR] cache unusable, nothing is kept on disk: %s",
                   platform::pathToUtf8(path).c_str());
    return std::shared_ptr<Cache>(new Cache(std::move(directory)));
}

platform::FileHandle Cache::createDump(long long ms, std::string &name)
{
    for (int attempt = 0; attempt < kDumpNameAttempts; ++attempt) {
        name = std::to_string(ms + attempt) + kDumpSuffix;
        const platform::FileHandle file = directory_.createNew(name);
        if (file != platform::kInvalidFile || directory_.kindOf(name) == EntryKind::Missing)
            return file; // created, or failed for a reason other than the name
    }
    return platform::kInvalidFile;
}

std::string Cache::finishDump(const std::string &name, bool written)
{
    if (!written) {
        directory_.remove(name); // result not examined: the partial dump is of no use
        return {};
    }
    directory_.sync();
    enforceQuota(name);
    return platform::pathToUtf8(platform::childPath(path(), name));
}

std::string Cache::dumpNameOf(const std::string &dumpPath) const
{
    // The cache's path, then a separator: '/' anywhere, '\\' too on Windows (where a path
    // the host formed with QDir and one the cache formed differ in it).
    const std::string directory = platform::pathToUtf8(path());
    if (!usable() || dumpPath.size() <= directory.size() + 1 ||
        dumpPath.compare(0, directory.size(), directory) != 0)
        return {};
    const char separator = dumpPath[directory.size()];
    if (separator != '/' && !(separator == '\\' && platform::pathsAreUtf16()))
        return {};
    const std::string name = dumpPath.substr(directory.size() + 1);
    return hasSuffix(name, kDumpSuffix) && directory_.kindOf(name) == EntryKind::Regular
               ? name
               : std::string();
}

std::string Cache::dumpUploadPath(const std::string &dumpPath) const
{
    return dumpNameOf(dumpPath).empty() ? std::string() : dumpPath;
}

bool Cache::deleteDump(const std::string &dumpPath) const
{
    const std::string name = dumpNameOf(dumpPath);
    return !name.empty() && directory_.remove(name);
}

bool Cache::writeDurably(const platform::Directory &directory, const std::string &name,
                         const std::string &bytes)
{
    const std::string temporary = temporaryNameFor(name);
    const long long room = writeRoom.load();
    const bool written = directory.writeNew(
        temporary, bytes, room < 0 ? bytes.size() : static_cast<std::size_t>(room));
    if (room >= 0)
        writeRoom.store(std::max(0LL, room - static_cast<long long>(bytes.size())));
    if (!written)
        return false;
    cacheStepDone("file written");
    if (beforeCommitHook())
        beforeCommitHook()();
    if (!directory.moveRegularFile(temporary, directory, name)) {
        directory.remove(temporary); // result not examined: a hidden name is never read
        return false;
    }
    cacheStepDone("file in place");
    return true;
}

bool Cache::writeReport(const std::string &guid, const std::string &eventName, int first,
                        int second, const std::string &text)
{
    if (!isSafeReportGuid(guid))
        return false;
    const platform::Directory report = directory_.child(guid, true);
    if (!report.isOpen())
        return false;
    cacheStepDone("report directory made");
    const std::string name =
        eventName + "." + std::to_string(first) + "." + std::to_string(second) + kReportSuffix;
    return writeDurably(report, name, text);
}

bool Cache::moveDumpToReport(const std::string &dumpPath, const std::string &guid)
{
    const std::string name = dumpNameOf(dumpPath);
    if (name.empty() || !isSafeReportGuid(guid))
        return false;
    // Only beside its report: a directory holding just a dump would be of no use.
    const platform::Directory report = directory_.child(guid, false);
    if (firstWithSuffix(report.list(), kReportSuffix).empty() ||
        !directory_.moveRegularFile(name, report, name))
        return false;
    cacheStepDone("dump moved");
    enforceQuota();
    return true;
}

platform::FileRead Cache::readConfiguration(std::string &text) const
{
    return directory_.read(kConfigurationName, kMaxConfigurationBytes, text);
}

bool Cache::writeConfiguration(const std::string &text)
{
    return writeDurably(directory_, kConfigurationName, text);
}

platform::FileLock Cache::lockForRetry() const
{
    return platform::FileLock::tryLock(directory_, kRetryLockName);
}

CleanUp Cache::cleanUp(long long leftBeforeMs)
{
    CleanUp done;
    for (const DirectoryEntry &entry : directory_.list()) {
        if (entry.modifiedMs >= leftBeforeMs || !(isDump(entry) || isTemporary(entry)) ||
            !directory_.remove(entry.name))
            continue;
        if (isDump(entry)) {
            ++done.dumpsNoReportTook;
            cacheStepDone("dump no report took deleted");
        }
    }
    done.dumpsOverQuota = enforceQuota();
    return done;
}

std::vector<std::string> Cache::listReports() const
{
    std::vector<std::string> guids;
    for (const DirectoryEntry &entry : sortedEntries(directory_))
        if (entry.kind == EntryKind::Directory && isSafeReportGuid(entry.name))
            guids.push_back(entry.name);
    return guids;
}

ReportDirectory Cache::openReport(const std::string &guid) const
{
    if (beforeOpenReportHook())
        beforeOpenReportHook()(guid);
    ReportDirectory report;
    if (!isSafeReportGuid(guid))
        return report;
    report.directory_ = directory_.child(guid, false);
    report.guid_ = guid;
    directory_.kindOf(guid, &report.modifiedMs_);
    const std::vector<DirectoryEntry> entries = sortedEntries(report.directory_);
    report.reportName_ = firstWithSuffix(entries, kReportSuffix);
    report.dumpName_ = firstWithSuffix(entries, kDumpSuffix);
    return report;
}

bool Cache::removeReport(const std::string &guid) const
{
    if (!isSafeReportGuid(guid) || !directory_.remove(guid))
        return false;
    cacheStepDone("report directory deleted");
    return true;
}

int Cache::enforceQuota(const std::string &keep)
{
    struct Dump {
        std::string directory, name; // directory "" is the root
        long long size, modifiedMs;
    };
    std::vector<Dump> dumps;
    for (const DirectoryEntry &entry : directory_.list()) {
        if (isDump(entry))
            dumps.push_back({"", entry.name, entry.size, entry.modifiedMs});
        if (entry.kind != EntryKind::Directory || !isSafeReportGuid(entry.name))
            continue;
        for (const DirectoryEntry &inner : directory_.child(entry.name, false).list())
            if (isDump(inner))
                dumps.push_back({entry.name, inner.name, inner.size, inner.modifiedMs});
    }
    long long total = 0;
    for (const Dump &dump : dumps)
        total += dump.size;
    int kept = static_cast<int>(dumps.size());
    // Dumps no report refers to first (nothing would ever send them), each group oldest first.
    std::sort(dumps.begin(), dumps.end(), [](const Dump &a, const Dump &b) {
        if (a.directory.empty() != b.directory.empty())
            return a.directory.empty();
        if (a.modifiedMs != b.modifiedMs)
            return a.modifiedMs < b.modifiedMs;
        return a.directory + "/" + a.name < b.directory + "/" + b.name;
    });
    int deleted = 0;
    for (const Dump &dump : dumps) {
        if (kept <= quota_.maxDumps && total <= quota_.maxDumpBytes)
            break;
        if (dump.directory.empty() && dump.name == keep)
            continue;
        const bool removed = dump.directory.empty()
                                 ? directory_.remove(dump.name)
                                 : directory_.child(dump.directory, false).remove(dump.name);
        if (removed) {
            ++deleted;
            cacheStepDone("dump deleted for the quota");
        }
        --kept;
        total -= dump.size;
    }
    return deleted;
}

void Cache::setWriteRoomForTesting(long long bytes)
{
    writeRoom.store(bytes);
}

void Cache::setBeforeCommitHookForTesting(std::function<void()> hook)
{
    beforeCommitHook() = std::move(hook);
}

void Cache::setBeforeOpenReportHookForTesting(std::function<void(const std::string &)> hook)
{
    beforeOpenReportHook() = std::move(hook);
}

void cacheStepDone(const char *step)
{
    if (stepHook())
        stepHook()(step);
}

void setCacheStepHookForTesting(std::function<void(const char *step)> hook)
{
    stepHook() = std::move(hook);
}

} // namespace cache
