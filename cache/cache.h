// The cache directory and everything in it. This is the only code that names a file on disk
// for the module:
//
//   {dir}/keel-anr-cache/                   made with its parents, owner-only
//     {ms}.dmp                              a dump no report has taken yet
//     anr_config.ini                        the cached cloud configuration
//     retry.lock                            held by the process that retries the cache
//     .{name}.{random}.{n}.tmp              a file being written; renamed into place whole
//     {GUID}/                               one undelivered report
//       {event}.{first}.{second}.json       its text
//       {ms}.dmp                            its dump, when the dump's upload failed
//
// Rules: a GUID names a directory only when it holds nothing but GUID characters; every
// entry is reached through the cache's own directory handle and never through a link; a file
// appears under its final name only once it is whole and synced. A cache that cannot be made
// or used (a file or a link in its place, a read-only or unwritable directory) is unusable:
// nothing is written anywhere, dumps are not kept and reports are sent directly.
#pragma once

#include "cache/dump_sink.h"
#include "platform/path_text.h"
#include "platform/regular_file.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace cache
{

using platform::NativePath;

constexpr char kCacheDirectoryName[] = "keel-anr-cache";
constexpr char kConfigurationName[] = "anr_config.ini";
constexpr char kRetryLockName[] = "retry.lock";
constexpr char kDumpSuffix[] = ".dmp";
constexpr char kReportSuffix[] = ".json";
// A report file larger than this is garbage: the retry deletes it unread.
constexpr std::size_t kMaxReportBytes = 1024 * 1024;
// The configuration holds four short values; a larger file is not read at all, as if absent.
constexpr std::size_t kMaxConfigurationBytes = 64 * 1024;
// Another process of the host may share the cache and be writing into it: at a start only
// what is older than this counts as left behind. A pending dump lives for the rest of its
// episode plus one upload, far less.
constexpr long long kLeftBehindAgeMs = 10 * 60 * 1000;

// The dumps the cache keeps at most, in number and in bytes.
struct Quota {
    int maxDumps = 50;
    long long maxDumpBytes = 100LL * 1024 * 1024;
};

// What clean-up removed, for the retry's log lines.
struct CleanUp {
    int dumpsNoReportTook = 0;
    int dumpsOverQuota = 0;
};

class ReportDirectory;

class Cache final : public DumpSink
{
public:
    // "keel-anr-cache" under `dir`. Unusable ones log once why.
    static std::shared_ptr<Cache> openUnder(const NativePath &dir);
    // `path` itself as the cache directory (tests and tools).
    static std::shared_ptr<Cache> open(const NativePath &path);

    bool usable() const { return directory_.isOpen(); }
    const NativePath &path() const { return directory_.path(); }

    // DumpSink: "{ms}.dmp", moving on to the next millisecond while a name is taken. A kept
    // dump is synced into the directory, the quota is applied (sparing the new dump), and its
    // path is returned as UTF-8; the reports pass that path back to the calls below.
    platform::FileHandle createDump(long long ms, std::string &name) override;
    std::string finishDump(const std::string &name, bool written) override;

    // The dump's path for the upload library when it names a regular file at the root; ""
    // for anything else (no dump, a path outside the cache, a file that is gone).
    std::string dumpUploadPath(const std::string &dumpPath) const;
    // Deletes a dump at the root (after its upload). Result not examined by callers.
    bool deleteDump(const std::string &dumpPath) const;

    // Writes "{eventName}.{first}.{second}.json" into {guid}/ (made if missing), replacing an
    // earlier file of that name; false when the GUID is unsafe or nothing was written.
    bool writeReport(const std::string &guid, const std::string &eventName, int first, int second,
                     const std::string &text);
    // Moves the root dump into {guid}/, only when that directory holds its report.
    bool moveDumpToReport(const std::string &dumpPath, const std::string &guid);

    // "anr_config.ini" (regular, at most kMaxConfigurationBytes) and its durable replacement.
    platform::FileRead readConfiguration(std::string &text) const;
    bool writeConfiguration(const std::string &text);

    // One retrier per cache: held while the returned lock lives; not held when another
    // process retries this cache now.
    platform::FileLock lockForRetry() const;
    // Deletes what earlier runs left (older than `leftBeforeMs`): root dumps no report took
    // and temporary files; then applies the quota.
    CleanUp cleanUp(long long leftBeforeMs);
    // The report directories by name, ignoring case, as they are listed now.
    std::vector<std::string> listReports() const;
    // The report directory `guid` for the retry; not open when it is no longer a real
    // directory (swapped for a link since the listing, for instance).
    ReportDirectory openReport(const std::string &guid) const;
    // Deletes {guid}/ with all it holds.
    bool removeReport(const std::string &guid) const;

    // Deletes dumps until the quota holds: root dumps no report took first, then the
    // oldest; `keep` (a root dump's name) is spared. Returns how many it deleted.
    int enforceQuota(const std::string &keep = {});

    // Tests: the quota, a disk with room for `bytes` more bytes of files (negative: no
    // limit), a hook after a file is written and before it is put in place, and a hook
    // between the listing of the reports and the opening of one.
    void setQuotaForTesting(Quota quota) { quota_ = quota; }
    static void setWriteRoomForTesting(long long bytes);
    static void setBeforeCommitHookForTesting(std::function<void()> hook);
    static void setBeforeOpenReportHookForTesting(std::function<void(const std::string &)> hook);

private:
    explicit Cache(platform::Directory directory) : directory_(std::move(directory)) {}
    // The name of a dump at the root from the path finishDump gave; "" when it is none.
    std::string dumpNameOf(const std::string &dumpPath) const;
    // Writes `bytes` under a temporary name in `directory`, then renames it to `name`.
    bool writeDurably(const platform::Directory &directory, const std::string &name,
                      const std::string &bytes);

    platform::Directory directory_;
    Quota quota_;
};

// One report directory, opened through the cache.
class ReportDirectory
{
public:
    bool isOpen() const { return directory_.isOpen(); }
    const std::string &guid() const { return guid_; }
    long long modifiedMs() const { return modifiedMs_; }
    // The report file's and the first dump's names by name order ignoring case; "" if none.
    const std::string &reportName() const { return reportName_; }
    const std::string &dumpName() const { return dumpName_; }

    platform::FileRead readReport(std::string &bytes) const;
    std::string dumpUploadPath() const;
    bool removeReportFile() const;

private:
    friend class Cache;
    platform::Directory directory_;
    std::string guid_, reportName_, dumpName_;
    long long modifiedMs_ = 0;
};

// True when `name` ends in `suffix`, ignoring ASCII case, and is not hidden.
bool hasSuffix(const std::string &name, const char *suffix);

// The writers' and the retry's steps that change the disk or send something call this after
// they took place; tests kill the process there.
void cacheStepDone(const char *step);
void setCacheStepHookForTesting(std::function<void(const char *step)> hook);

} // namespace cache
