// The retry of cached reports: one send per report directory with its first identity, the
// dump uploaded first when there is one, and every directory that is not a readable
// report left alone.
#include "anr/anr_collector.h"
#include "anr/keel_anr_internals.h"
#include "keel.h"
#include "report/reports.h"
#include "report_fixture.h"

#include <QDir>
#include <QFile>

#include <unistd.h>

namespace
{

using namespace reporttest;
using standin::upload::Delivery;

// A file (or, with a trailing '/', a directory) below the cache directory.
struct Entry {
    QString path;
    QByteArray content;
};

struct ExpectedEvent {
    std::string name;
    std::string guid;
    int first;
    int second;
    std::string payload;
};

class RetryTest : public ReportTest
{
protected:
    void SetUp() override
    {
        ReportTest::SetUp();
        KeelAnrInternals::collector()->cacheDir = cacheDir();
    }

    void lay(const std::vector<Entry> &entries)
    {
        for (const Entry &entry : entries) {
            if (entry.path.endsWith('/')) {
                ASSERT_TRUE(QDir().mkpath(inCache(entry.path)));
            } else {
                writeFile(inCache(entry.path), entry.content);
            }
        }
    }

    static void retry() { KeelAnrInternals::retryFailedCache(); }

    static void expectEvents(const std::vector<ExpectedEvent> &expected)
    {
        const auto events = standin::tally::events();
        ASSERT_EQ(events.size(), expected.size());
        for (std::size_t i = 0; i < events.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(events[i].name, expected[i].name);
            EXPECT_EQ(events[i].guid, expected[i].guid);
            EXPECT_EQ(events[i].first, expected[i].first);
            EXPECT_EQ(events[i].second, expected[i].second);
            EXPECT_EQ(events[i].payload, expected[i].payload);
            EXPECT_FALSE(events[i].hasDone) << "the retry asks for no outcome";
        }
    }
};

// --- One report directory, every outcome ----------------------------------------------

constexpr char kReference[] = "ref-9";
const QByteArray kStuckText = R"({"stuck_time": 17, "stuck_ground": "前台"})";

struct RetryCase {
    const char *name;
    std::vector<Entry> entries;
    bool uploadSucceeds;
    // The dump uploaded, relative to the cache; "" for none.
    QString uploadedDump;
    std::vector<ExpectedEvent> events;
    QStringList remaining;
    std::vector<std::string> log;
};

void PrintTo(const RetryCase &c, std::ostream *out)
{
    *out << c.name;
}

const std::string kStuckTextWithReference =
    withStringMember(kStuckText.toStdString(), "stuck_stack_dump", kReference);

const RetryCase kRetryCases[] = {
    {"NoDumpSendsTheTextAsRead",
     {{"g1/keel_lag_info.5.1019.json", R"({"lag_time":1 , "x": [1,2]})"}},
     true,
     "",
     {{"keel_lag_info", "g1", 5, 1019, R"({"lag_time":1 , "x": [1,2]})"}},
     {},
     {}},
    {"UploadedDumpIsReferencedInTheText",
     {{"g2/keel_stuck_info.5.1019.json", kStuckText}, {"g2/1700000000001.dmp", "dump"}},
     true,
     "g2/1700000000001.dmp",
     {{"keel_stuck_info", "g2", 5, 1019, kStuckTextWithReference}},
     {},
     {}},
    {"UploadedDumpReplacesAnOldReference",
     {{"g3/keel_lag_info.5.1019.json", R"({"lag_stack_dump": "old", "a": 1})"},
      {"g3/1.dmp", "dump"}},
     true,
     "g3/1.dmp",
     {{"keel_lag_info", "g3", 5, 1019, R"({"lag_stack_dump": "ref-9", "a": 1})"}},
     {},
     {}},
    {"OtherEventNameGetsTheEmptyKey",
     {{"g4/custom_event.1.2.json", "{}"}, {"g4/1.dmp", "dump"}},
     true,
     "g4/1.dmp",
     {{"custom_event", "g4", 1, 2, R"({"": "ref-9"})"}},
     {},
     {}},
    {"FirstDumpByNameIsUploadedAndAllAreDeleted",
     {{"g5/keel_stuck_info.5.1019.json", kStuckText}, {"g5/b.dmp", "b"}, {"g5/A.DMP", "a"}},
     true,
     "g5/A.DMP",
     {{"keel_stuck_info", "g5", 5, 1019, kStuckTextWithReference}},
     {},
     {}},
    {"FailedDumpUploadDropsTheReport",
     {{"g6/keel_stuck_info.5.1019.json", kStuckText}, {"g6/1.dmp", "dump"}},
     false,
     "g6/1.dmp",
     {},
     {},
     {"[ANR] retryFailedCache upload dmp failed"}},
    {"TextNotJsonWithUploadedDumpDropsTheReport",
     {{"g7/keel_stuck_info.5.1019.json", "stuck: yes"}, {"g7/1.dmp", "dump"}},
     true,
     "g7/1.dmp",
     {},
     {},
     {"[ANR] JSON object is null"}},
    {"OnlyADumpIsLeftAlone", {{"g8/1.dmp", "dump"}}, true, "", {}, {"g8/", "g8/1.dmp"}, {}},
    {"UpperCaseSuffixIsFound",
     {{"g9/keel_lag_info.5.1019.JSON", "{}"}},
     true,
     "",
     {{"keel_lag_info", "g9", 5, 1019, "{}"}},
     {},
     {}},
    {"NamePiecesThatAreNotNumbersGiveZero",
     {{"g10/keel_lag_info.five.0x10.json", "{}"}},
     true,
     "",
     {{"keel_lag_info", "g10", 0, 0, "{}"}},
     {},
     {}},
    {"HiddenReportFileIsNotYetAReport",
     {{"g11/.keel_lag_info.5.1019.json", "{}"}},
     true,
     "",
     {},
     {"g11/", "g11/.keel_lag_info.5.1019.json"},
     {}},
};

class RetryOutcome : public RetryTest,
                     public testing::WithParamInterface<std::tuple<RetryCase, Delivery>>
{
};

TEST_P(RetryOutcome, SendsOnceWithTheFirstIdentityOrLeavesTheDirectoryAlone)
{
    const auto &[c, delivery] = GetParam();
    lay(c.entries);
    standin::upload::setDefaultReply(c.uploadSucceeds
                                         ? standin::upload::body(R"({"data":"ref-9"})", delivery)
                                         : standin::upload::error(500, "down", delivery));

    retry();

    expectEvents(c.events);
    EXPECT_EQ(tree(cacheDir()), c.remaining);
    std::vector<std::string> uploaded;
    for (const auto &upload : standin::upload::uploads())
        uploaded.push_back(upload.path);
    EXPECT_EQ(uploaded, c.uploadedDump.isEmpty()
                            ? std::vector<std::string>()
                            : std::vector<std::string>{inCache(c.uploadedDump).toStdString()});
    standin::upload::waitUntilIdle();
    std::vector<std::string> retryLog;
    for (const std::string &line : standin::log::lines())
        if (line.rfind("[ANR]", 0) == 0)
            retryLog.push_back(line);
    EXPECT_EQ(retryLog, c.log);
}

INSTANTIATE_TEST_SUITE_P(EveryOutcome, RetryOutcome,
                         testing::Combine(testing::ValuesIn(kRetryCases),
                                          testing::Values(Delivery::Inline,
                                                          Delivery::FromLibraryThread)),
                         [](const testing::TestParamInfo<std::tuple<RetryCase, Delivery>> &info) {
                             return std::string(std::get<0>(info.param).name) + "_" +
                                    nameOf(std::get<1>(info.param));
                         });

// --- Several reports -------------------------------------------------------------------

TEST_F(RetryTest, HandlesReportDirectoriesInNameOrderIgnoringCase)
{
    for (const char *guid : {"b", "C", "A", "a2"})
        lay({{QString(guid) + "/keel_lag_info.5.1019.json",
              QByteArray("{\"n\": \"") + guid + "\"}"}});
    retry();
    std::vector<std::string> order;
    for (const auto &event : standin::tally::events())
        order.push_back(event.guid);
    EXPECT_EQ(order, (std::vector<std::string>{"A", "a2", "b", "C"}));
    EXPECT_EQ(tree(cacheDir()), QStringList());
}

TEST_F(RetryTest, RefusedReportIsSentAgainOnceWithItsGuidAndText)
{
    writeFile(inCache("1700000000002.dmp"), "dump");
    standin::tally::setEventReply(standin::EventReply::RefuseNow);
    reportStuck(inCache("1700000000002.dmp").toStdString(), cacheDir());
    const standin::RecordedEvent refused = standin::tally::events().at(0);
    standin::tally::reset();

    retry();
    retry();

    expectEvents({{"keel_stuck_info", refused.guid, 5, 1019, refused.payload}});
    EXPECT_EQ(standin::upload::uploads().size(), 1u) << "only the first send uploaded the dump";
    EXPECT_EQ(tree(cacheDir()), QStringList());
}

// --- Garbage in the cache --------------------------------------------------------------

enum class CacheState { Directory, IsAFile, Missing, EmptyPath };

struct BadCacheCase {
    const char *name;
    CacheState cache;
    std::vector<Entry> entries;
    // Made unreadable with chmod 000.
    QString unreadable;
    std::vector<std::string> sentPayloads;
    QStringList remaining;
};

void PrintTo(const BadCacheCase &c, std::ostream *out)
{
    *out << c.name;
}

const BadCacheCase kBadCacheCases[] = {
    {"EmptyReportFileIsSentAsRead",
     CacheState::Directory,
     {{"g/keel_lag_info.5.1019.json", ""}},
     {},
     {""},
     {}},
    {"EmptyReportFileWithDumpIsDropped",
     CacheState::Directory,
     {{"g/keel_lag_info.5.1019.json", ""}, {"g/1.dmp", "d"}},
     {},
     {},
     {}},
    {"TextNotJsonIsSentAsRead",
     CacheState::Directory,
     {{"g/keel_lag_info.5.1019.json", "{\"lag_time\": 1"}},
     {},
     {"{\"lag_time\": 1"},
     {}},
    {"BinaryGarbageIsSentAsRead",
     CacheState::Directory,
     {{"g/keel_lag_info.5.1019.json", QByteArray("\x01\x02garbage", 9)}},
     {},
     {"\x01\x02garbage"},
     {}},
    {"NameWithFewerThanThreePiecesIsLeftAlone",
     CacheState::Directory,
     {{"g/keel_lag_info.json", "{}"}, {"g/1.dmp", "d"}},
     {},
     {},
     {"g/", "g/1.dmp", "g/keel_lag_info.json"}},
    {"DirectoriesWithoutReportFileAreLeftAlone",
     CacheState::Directory,
     {{"empty/", ""}, {"notes/readme.txt", "x"}, {"nested/inner/keel_lag_info.5.1019.json", "{}"}},
     {},
     {},
     {"empty/", "nested/", "nested/inner/", "nested/inner/keel_lag_info.5.1019.json", "notes/",
      "notes/readme.txt"}},
    {"ReportNamedDirectoryIsNoReport",
     CacheState::Directory,
     {{"g/keel_lag_info.5.1019.json/", ""}},
     {},
     {},
     {"g/", "g/keel_lag_info.5.1019.json/"}},
    {"UnreadableReportIsLeftAlone",
     CacheState::Directory,
     {{"g/keel_lag_info.5.1019.json", "{}"}, {"g/1.dmp", "d"}},
     "g/keel_lag_info.5.1019.json",
     {},
     {"g/", "g/1.dmp", "g/keel_lag_info.5.1019.json"}},
    {"LooseFilesAtTheRootAreNotLookedAt",
     CacheState::Directory,
     {{"1700000000003.dmp", "d"}, {"anr_config.ini", "[General]\nisOpen=1\n"}, {"x.json", "{}"}},
     {},
     {},
     {"1700000000003.dmp", "anr_config.ini", "x.json"}},
    {"HiddenDirectoryIsNotListed",
     CacheState::Directory,
     {{".g/keel_lag_info.5.1019.json", "{}"}},
     {},
     {},
     {".g/", ".g/keel_lag_info.5.1019.json"}},
    {"CacheDirectoryThatIsAFile", CacheState::IsAFile, {}, {}, {}, {}},
    {"CacheDirectoryThatIsMissing", CacheState::Missing, {}, {}, {}, {}},
    {"EmptyCachePathLeavesTheCurrentDirectoryAlone",
     CacheState::EmptyPath,
     {{"g/keel_lag_info.5.1019.json", "{}"}},
     {},
     {},
     {"g/", "g/keel_lag_info.5.1019.json"}},
};

class BadCache : public RetryTest, public testing::WithParamInterface<BadCacheCase>
{
};

TEST_P(BadCache, NothingCrashesAndOnlyProcessedReportsAreDeleted)
{
    const BadCacheCase &c = GetParam();
    lay(c.entries);
    if (!c.unreadable.isEmpty()) {
        const QString path = inCache(c.unreadable);
        ASSERT_TRUE(QFile::setPermissions(path, QFileDevice::Permissions()));
        if (access(path.toLocal8Bit().constData(), R_OK) == 0)
            GTEST_SKIP() << "running with privileges that read any file (root): chmod 000 "
                            "cannot make the report unreadable";
    }
    switch (c.cache) {
    case CacheState::Directory: break;
    case CacheState::IsAFile:
        ASSERT_TRUE(QDir(cacheDir()).removeRecursively());
        writeFile(cacheDir(), "not a directory");
        break;
    case CacheState::Missing: ASSERT_TRUE(QDir(cacheDir()).removeRecursively()); break;
    case CacheState::EmptyPath:
        ASSERT_TRUE(QDir::setCurrent(cacheDir()));
        KeelAnrInternals::collector()->cacheDir = QString();
        break;
    }

    retry();

    std::vector<std::string> sent;
    for (const auto &event : standin::tally::events())
        sent.push_back(event.payload);
    EXPECT_EQ(sent, c.sentPayloads);
    switch (c.cache) {
    case CacheState::IsAFile: EXPECT_EQ(readFile(cacheDir()), "not a directory"); break;
    case CacheState::Missing: EXPECT_FALSE(QFileInfo::exists(cacheDir())); break;
    default: EXPECT_EQ(tree(cacheDir()), c.remaining);
    }
}

INSTANTIATE_TEST_SUITE_P(Garbage, BadCache, testing::ValuesIn(kBadCacheCases),
                         [](const testing::TestParamInfo<BadCacheCase> &info) {
                             return std::string(info.param.name);
                         });

} // namespace
