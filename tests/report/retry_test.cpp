// The retry of cached reports: one send per report directory with its first identity, the
// dump uploaded first, and every directory that is not a readable report left alone.
#include "report/retry.h"
#include "report/upload.h"
#include "support/report_fixture.h"

#include <QDir>
#include <QFile>

#include <optional>

#ifdef __linux__
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace
{

using namespace reporttest;
using standin::upload::Delivery;

// A file below the cache directory.
struct Entry {
    QString path;
    QByteArray content;
};

const QByteArray kStuckText = R"({"stuck_time": 17, "stuck_ground": "前台"})";

#ifdef __linux__
// Root reads a file whatever its permissions say. While this lives, the calling thread (and only
// it: capabilities belong to a thread) gives up that override, so that a file without read
// permission is unreadable to root too.
class NoPermissionOverride
{
public:
    NoPermissionOverride()
    {
        syscall(SYS_capget, &header_, saved_);
        __user_cap_data_struct lowered[2] = {saved_[0], saved_[1]};
        lowered[0].effective &= ~(1u << CAP_DAC_OVERRIDE | 1u << CAP_DAC_READ_SEARCH);
        syscall(SYS_capset, &header_, lowered);
    }
    ~NoPermissionOverride() { syscall(SYS_capset, &header_, saved_); }

private:
    __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved_[2]{};
};
#else
struct NoPermissionOverride {
};
#endif

enum class CacheState { Directory, ReportUnreadable, IsAFile };

struct RetryCase {
    const char *name;
    std::vector<Entry> entries;
    std::vector<std::string> outcome;
    bool uploadSucceeds = true;
    CacheState cache = CacheState::Directory;
};

void PrintTo(const RetryCase &c, std::ostream *out)
{
    *out << c.name;
}

const char kDropped[] = "[ANR] retryFailedCache dropped a report: report file ";
const std::string kNotAnObject = kDropped + std::string("not a JSON object");

const RetryCase kRetryCases[] = {
    {"ReportsAreSentAsReadInNameOrderIgnoringCase",
     {{"b/keel_lag_info.5.1019.json", R"({"lag_time":1 , "x": [1,2]})"},
      {"C/keel_lag_info.five.0x10.json", "{}"},
      {"A/keel_lag_info.5.1019.JSON", "{}"},
      {"a2/keel_stuck_info.-3.7.json", "{}"}},
     {"sent keel_lag_info A 5 1019 {}", "sent keel_stuck_info a2 -3 7 {}",
      R"(sent keel_lag_info b 5 1019 {"lag_time":1 , "x": [1,2]})", "sent keel_lag_info C 0 0 {}"}},
    {"UploadedDumpIsReferencedInTheText",
     {{"e2/keel_stuck_info.5.1019.json", kStuckText}, {"e2/b.dmp", "b"}, {"e2/A.DMP", "a"}},
     {"uploaded e2/A.DMP",
      R"(sent keel_stuck_info e2 5 1019 {"stuck_time": 17, "stuck_ground": "前台", )"
      R"("stuck_stack_dump": "ref-9"})"}},
    {"FailedDumpUploadDropsTheReport",
     {{"e3/keel_stuck_info.5.1019.json", kStuckText}, {"e3/1.dmp", "dump"}},
     {"uploaded e3/1.dmp", "[ANR] retryFailedCache upload dmp failed"},
     false},
    {"BadReportFilesAreDroppedWithTheirDumpsUnsent",
     {{"e4/keel_stuck_info.5.1019.json", "stuck: yes"},
      {"e4/1.dmp", "dump"},
      {"e8/keel_lag_info.5.1019.json", "[{}]"},
      {"e9/keel_lag_info.5.1019.json", QByteArray("{}\0{}", 5)},
      {"ea/keel_lag_info.5.1019.json", "{\"a\": \"" + QByteArray(1024 * 1024, 'x') + "\"}"},
      {"ea/1.dmp", "dump"},
      {"eb/keel_lag_info.5.1019.json", ""},
      {"eb/1.dmp", "d"}},
     {kNotAnObject, kNotAnObject, kNotAnObject, kDropped + std::string("too large"),
      kDropped + std::string("empty")}},
    {"AnythingElseIsLeftAlone",
     {{"a/b/keel_lag_info.5.1019.json", "{}"},
      {"1.dmp", ""},
      {"x.json", "{}"},
      {"e/keel_lag_info.json", "{}"},
      {"e/1.dmp", "d"}},
     {"left 1.dmp", "left a/", "left a/b/", "left a/b/keel_lag_info.5.1019.json", "left e/",
      "left e/1.dmp", "left e/keel_lag_info.json", "left x.json"}},
    {"UnreadableReportIsLeftAlone",
     {{"e/keel_lag_info.5.1019.json", "{}"}, {"e/1.dmp", "d"}},
     {"left e/", "left e/1.dmp", "left e/keel_lag_info.5.1019.json"},
     true,
     CacheState::ReportUnreadable},
    {"CacheDirectoryThatIsAFile", {}, {}, true, CacheState::IsAFile},
};

class RetryOutcome : public ReportTest,
                     public testing::WithParamInterface<std::tuple<RetryCase, Delivery>>
{
};

// Nothing crashes, whatever the cache holds, and only processed reports are deleted.
TEST_P(RetryOutcome, SendsOnceWithTheFirstIdentityOrLeavesTheDirectoryAlone)
{
    const auto &[c, delivery] = GetParam();
    for (const Entry &entry : c.entries)
        writeFile(inCache(entry.path), entry.content);
    std::optional<NoPermissionOverride> noOverride;
    switch (c.cache) {
    case CacheState::Directory: break;
    case CacheState::ReportUnreadable:
        QFile::setPermissions(inCache(c.entries[0].path), QFileDevice::Permissions());
        noOverride.emplace();
        if (QFile(inCache(c.entries[0].path)).open(QIODevice::ReadOnly))
            GTEST_SKIP() << "no read permission to take away here (Windows)";
        break;
    case CacheState::IsAFile:
        cache_.reset(); // on Windows an open cache cannot be removed
        ASSERT_TRUE(QDir(cacheDir()).removeRecursively());
        writeFile(cacheDir(), "not a directory");
        cache_ = cache::Cache::open(nativePathOf(cacheDir()));
        standin::log::clear();
        break;
    }
    standin::upload::setDefaultReply(c.uploadSucceeds
                                         ? standin::upload::body(R"({"data":"ref-9"})", delivery)
                                         : standin::upload::error(500, "down", delivery));
    // Started at time 0: nothing in the cache counts as an earlier run's leftover.
    retryCachedReports(*cache_, 0);
    standin::upload::waitUntilIdle();

    EXPECT_EQ(cacheOutcome(), c.outcome);
    if (c.cache == CacheState::IsAFile) {
        EXPECT_EQ(readFile(cacheDir()), "not a directory");
    }
}

INSTANTIATE_TEST_SUITE_P(EveryOutcome, RetryOutcome,
                         testing::Combine(testing::ValuesIn(kRetryCases),
                                          testing::Values(Delivery::Inline,
                                                          Delivery::FromLibraryThread)),
                         ParamName());

using RetryTest = ReportTest;

// The upload gives up after its time limit and the report stays for the next start; the late
// completion releases the library's handles and confuses no later upload.
TEST_F(RetryTest, AnUploadThatTimesOutKeepsTheReportForTheNextStart)
{
    writeFile(inCache("e/keel_stuck_info.5.1019.json"), kStuckText);
    writeFile(inCache("e/1.dmp"), "dump");
    const std::size_t liveBefore = standin::upload::liveHandles();
    setUploadTimeLimitForTesting(std::chrono::milliseconds(20));
    standin::upload::queueReply(standin::upload::stored(Delivery::Held));
    retryCachedReports(*cache_, 0);
    setUploadTimeLimitForTesting(std::chrono::milliseconds(0));
    ASSERT_TRUE(standin::upload::waitForHeld(1, kSafetyTimeout));
    EXPECT_EQ(standin::upload::liveHandles(), liveBefore + 2) << "the engine and the resource";
    standin::upload::releaseHeld();
    EXPECT_EQ(standin::upload::liveHandles(), liveBefore);
    EXPECT_EQ(standin::upload::handlesDestroyedInUse(), 0u);
    EXPECT_EQ(cacheOutcome(),
              (std::vector<std::string>{
                  "uploaded e/1.dmp",
                  "[ANR] retryFailedCache upload dmp timed out; kept for the next start", "left e/",
                  "left e/1.dmp", "left e/keel_stuck_info.5.1019.json"}));

    retryCachedReports(*cache_, 0);
    const auto events = standin::tally::events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(uploadedFile(Json(events[0].payload).string("stuck_stack_dump")), "dump");
    EXPECT_EQ(tree(cacheDir()), QStringList());
}

} // namespace
