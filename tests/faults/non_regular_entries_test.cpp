// Links, FIFOs, sockets and devices planted in the cache or beside the executable: nothing
// is read, uploaded, renamed or deleted through them, nothing blocks on them, and every
// file outside the cache survives.
#include "anr/keel_anr.h"
#include "anr/keel_anr_internals.h"
#include "config/cloud_configuration.h"
#include "fault_support.h"
#include "platform/clock.h"
#include "platform/path_text.h"
#include "report/report_cache.h"
#include "sysinfo/build_number.h"

#include <QDir>
#include <QFile>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace
{

using namespace reporttest;
using namespace faulttest;

void link(const QString &target, const QString &at)
{
    QDir().mkpath(QFileInfo(at).absolutePath());
    ASSERT_EQ(::symlink(QFile::encodeName(target).constData(), QFile::encodeName(at).constData()),
              0);
}

void fifo(const QString &at)
{
    QDir().mkpath(QFileInfo(at).absolutePath());
    ASSERT_EQ(::mkfifo(QFile::encodeName(at).constData(), 0600), 0);
}

void socketAt(const QString &at)
{
    QDir().mkpath(QFileInfo(at).absolutePath());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray path = QFile::encodeName(at);
    ASSERT_LT(static_cast<std::size_t>(path.size()), sizeof address.sun_path);
    std::copy(path.begin(), path.end(), address.sun_path);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ::close(fd);
}

struct Planted {
    const char *name;
    // Lays the entries into the cache; `outside` holds the files they point at.
    std::function<void(const QString &cache, const Outside &outside)> plant;
    // "sent <payload>" for each event, "uploaded <bytes>" for each upload.
    std::vector<std::string> outcome;
};

void PrintTo(const Planted &c, std::ostream *out)
{
    *out << c.name;
}

const char kReport[] = R"({"r": 1})";

const Planted kPlanted[] = {
    {"GuidIsALinkToADirectoryOutside",
     [](const QString &cache, const Outside &outside) {
         link(QFileInfo(outside.path("canary.txt")).absolutePath(), cache + "/g");
     },
     {}},
    {"ReportIsALinkToDevZero",
     [](const QString &cache, const Outside &) {
         link("/dev/zero", cache + "/g/keel_lag_info.5.1019.json");
     },
     {}},
    {"ReportIsALinkToAFileOutside",
     [](const QString &cache, const Outside &outside) {
         link(outside.path("keel_lag_info.5.1019.json"), cache + "/g/keel_lag_info.5.1019.json");
     },
     {}},
    {"ReportIsAFifo",
     [](const QString &cache, const Outside &) { fifo(cache + "/g/keel_lag_info.5.1019.json"); },
     {}},
    {"ReportIsASocket",
     [](const QString &cache, const Outside &) {
         socketAt(cache + "/g/keel_lag_info.5.1019.json");
     },
     {}},
    {"DumpIsALinkToAFileOutside",
     [](const QString &cache, const Outside &outside) {
         writeFile(cache + "/g/keel_lag_info.5.1019.json", kReport);
         link(outside.path("1.dmp"), cache + "/g/1.dmp");
     },
     {std::string("sent ") + kReport}},
    {"DumpIsAFifo",
     [](const QString &cache, const Outside &) {
         writeFile(cache + "/g/keel_lag_info.5.1019.json", kReport);
         fifo(cache + "/g/1.dmp");
     },
     {std::string("sent ") + kReport}},
    {"ReportDirectoryHoldsALinkToADirectoryOutside",
     [](const QString &cache, const Outside &outside) {
         writeFile(cache + "/g/keel_lag_info.5.1019.json", kReport);
         link(QFileInfo(outside.path("canary.txt")).absolutePath(), cache + "/g/sub");
     },
     {std::string("sent ") + kReport}},
    {"OldRootDumpLinkAndFifo",
     [](const QString &cache, const Outside &outside) {
         link(outside.path("1.dmp"), cache + "/5.dmp");
         fifo(cache + "/6.dmp");
         age(cache + "/5.dmp", kOld);
         age(cache + "/6.dmp", kOld);
     },
     {}},
};

class NonRegularEntries : public ReportTest, public testing::WithParamInterface<Planted>
{
};

TEST_P(NonRegularEntries, AreNeverFollowedAndEverythingOutsideSurvives)
{
    const Outside outside(root_.filePath("outside"));
    const auto before = outside.snapshot();
    GetParam().plant(cacheDir(), outside);
    // Everything in the cache counts as an earlier run's.
    KeelAnr::startTime = platform::wallClockMs() + kOld;

    ASSERT_TRUE(finishesInTime([] { KeelAnrInternals::retryFailedCache(); }))
        << "the retry blocked";
    standin::upload::waitUntilIdle();

    std::vector<std::string> outcome;
    for (const auto &event : standin::tally::events())
        outcome.push_back("sent " + event.payload);
    for (const auto &upload : standin::upload::uploads())
        outcome.push_back("uploaded " +
                          readFile(QString::fromStdString(upload.path)).toStdString());
    EXPECT_EQ(outcome, GetParam().outcome);
    EXPECT_EQ(outside.snapshot(), before);
}

INSTANTIATE_TEST_SUITE_P(EveryKind, NonRegularEntries, testing::ValuesIn(kPlanted), ParamName());

using NonRegularFilesRead = ReportTest;

TEST_F(NonRegularFilesRead, ConfigurationLinkIsNeitherReadNorWrittenThrough)
{
    const Outside outside(root_.filePath("outside"));
    const auto before = outside.snapshot();
    const QString ini = inCache("anr_config.ini");
    link(outside.path("anr_config.ini"), ini);
    EXPECT_EQ(mergeInCache(cacheDir(), {}).lagFirstTime, 5000) << "the linked file is not read";
    EXPECT_EQ(mergeInCache(cacheDir(), {{"lag_sw", "1"}, {"lag_first_time", "700"}}).lagFirstTime,
              700);

    EXPECT_EQ(outside.snapshot(), before);
    EXPECT_FALSE(QFileInfo(ini).isSymLink()) << "the link is replaced, its target untouched";
    EXPECT_EQ(parseCachedConfiguration(readFile(ini).toStdString()).lagFirstTime, 700);
}

TEST_F(NonRegularFilesRead, FifosAreRefusedWithoutBlocking)
{
    const QString ini = inCache("anr_config.ini");
    fifo(ini);
    EXPECT_TRUE(finishesInTime([this] { mergeInCache(cacheDir(), {}); }))
        << "reading the configuration blocked";

    const QString buildFile = root_.filePath("fernlea.ini");
    fifo(buildFile);
    std::string value = "unset";
    EXPECT_TRUE(finishesInTime([&] {
        value = readIniValue(platform::pathFromBytes(QFile::encodeName(buildFile).toStdString()),
                             "build_info", "orla_ci_build_number");
    })) << "reading the build number blocked";
    EXPECT_EQ(value, "");
}

TEST_F(NonRegularFilesRead, CacheEntriesAreOwnerOnlyWhateverTheUmask)
{
    const mode_t previous = ::umask(0);
    const QString fresh = root_.filePath("host/keel-anr-cache");
    const bool made = makeCacheDirectory(fresh);
    ASSERT_TRUE(QDir().mkpath(inCache("open")));
    ::chmod(QFile::encodeName(cacheDir()).constData(), 0777);
    const bool remade = makeCacheDirectory(cacheDir());
    writeCachedReport("keel_lag_info", kReport, "g", 5, 1019, cacheDir());
    mergeInCache(cacheDir(), {{"lag_sw", "0"}});
    ::umask(previous);

    ASSERT_TRUE(made);
    ASSERT_TRUE(remade);
    EXPECT_EQ(modeOf(fresh), 0700u);
    EXPECT_EQ(modeOf(cacheDir()), 0700u) << "an existing cache directory is narrowed";
    EXPECT_EQ(modeOf(inCache("g")), 0700u);
    EXPECT_EQ(modeOf(inCache("g/keel_lag_info.5.1019.json")), 0600u);
    EXPECT_EQ(modeOf(inCache("anr_config.ini")), 0600u);
    EXPECT_FALSE(makeCacheDirectory(inCache("g/keel_lag_info.5.1019.json")));
}

} // namespace
