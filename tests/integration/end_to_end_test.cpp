// The module end to end, from the client's configuration through the real event filter and
// watchdog thread: in this process with recorded reports, and across two runs of a host with
// the real ones (exit is not held by the watchdog).
#include "anr/keel_anr.h"
#include "platform/clock.h"
#include "support/blocking_receiver.h"
#include "support/module_fixture.h"
#include "support/report_fixture.h"

#include <QDir>
#include <QDirIterator>
#include <QProcess>

#include <condition_variable>
#include <mutex>

namespace
{

using namespace reporttest;

// Records what the watchdog asks for, sampling the GUI thread for real. Never destroyed: the
// watchdog may call it until the process exits.
struct Recorder {
    std::mutex mutex;
    std::condition_variable changed;
    int dumps = 0;
    std::vector<std::pair<std::string, long long>> lagReports;
    ANRCollector::EpisodeActions actions{
        [] { return KeelAnrInternals::collector()->captureMainThreadStack(); },
        [this] {
            update([&] { ++dumps; });
            return "recorded-" + std::to_string(dumps) + ".dmp";
        },
        [](std::string) {},
        [this](std::string dump, long long ms) {
            update([&] { lagReports.emplace_back(dump, ms); });
        }};

    template <typename Change>
    void update(Change change)
    {
        std::lock_guard<std::mutex> lock(mutex);
        change();
        changed.notify_all();
    }
    // Blocks in one place (a still stack for the sampler) until `condition` holds.
    template <typename Condition>
    bool waitUntil(Condition condition)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, testsupport::kSafetyTimeout, condition);
    }
};

// A handler still until the watchdog has taken three identical samples is a lag, reported on
// the next delivery even when the module was stopped inside it.
TEST(EndToEnd, StillHandlerIsALagReportedOnTheNextDeliveryEvenAcrossAStop)
{
    const testsupport::Configuration fast{{"lag_sw", "1"},
                                          {"lag_first_time", "50"},
                                          {"stuck_first_time", "600000"},
                                          {"lag_sample_rate", "10"}};
    standin::tally::setCloudConfiguration(fast);
    auto &recorder = *new Recorder;
    KeelAnrInternals::collector()->setEpisodeActionsForTesting(&recorder.actions);
    testsupport::startModuleOnce();
    ASSERT_TRUE(KeelAnrInternals::eventFilter()->enabled.load());

    testsupport::BlockingReceiver([&] {
        ASSERT_TRUE(recorder.waitUntil([&] { return recorder.dumps > 0; }));
        KeelAnr::stop();
    }).deliverOnce();
    EXPECT_GT(KeelAnrInternals::collector()->pendingLagForTesting(), 50);
    EXPECT_TRUE(recorder.waitUntil([&] { return recorder.lagReports.empty(); }));
    testsupport::deliver(fast);
    testsupport::BlockingReceiver([&] {
        ASSERT_TRUE(recorder.waitUntil([&] { return !recorder.lagReports.empty(); }));
    }).deliverOnce();

    std::lock_guard<std::mutex> lock(recorder.mutex);
    ASSERT_EQ(recorder.lagReports.size(), 1u);
    EXPECT_EQ(recorder.lagReports[0].first, "recorded-1.dmp");
    EXPECT_GT(recorder.lagReports[0].second, 50);
    EXPECT_EQ(recorder.dumps, 1);
    KeelAnr::stop();
}

struct HelperRun {
    int exitCode;     // -1: crashed or hung
    QStringList sent; // "<guid> <payload>" for each stuck report sent
    QString applied;  // "on|lag|stuck|rate" as the module applied the configuration
    long long exitMs; // from main's return to the end of the process
};

HelperRun runHelper(const QString &phase, const QString &dir, const QString &workingDirectory)
{
    QProcess helper;
    helper.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    helper.setWorkingDirectory(workingDirectory);
    helper.start(KEELANR_END_TO_END_HELPER, {phase, dir});
    if (!helper.waitForFinished(3 * 60 * 1000))
        helper.kill();
    HelperRun run{helper.exitStatus() == QProcess::NormalExit ? helper.exitCode() : -1,
                  {},
                  {},
                  platform::monotonicMs()};
    for (const QString &line : QString::fromUtf8(helper.readAllStandardOutput()).split('\n')) {
        if (line.startsWith("sent "))
            run.sent << line.mid(5).trimmed();
        if (line.startsWith("applied "))
            run.applied = line.mid(8).trimmed();
        if (line.startsWith("main-returned "))
            run.exitMs -= line.mid(14).trimmed().toLongLong();
    }
    return run;
}

// Every entry below `directory`, relative to it.
QStringList entriesBelow(const QString &directory)
{
    QStringList entries;
    QDirIterator it(directory, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        entries << QDir(directory).relativeFilePath(it.next());
    return entries;
}

// A host's directory that does not exist yet, two levels under a name with Latin and CJK
// letters. The first run's stuck report cannot upload its dump, so both wait in the cache;
// the next run sends them once, with the configuration read back from the cache. Nothing is
// written outside the directory, the working directory included.
TEST(EndToEnd, StuckReportCachedUnderANonAsciiDirectoryIsSentOnceAtTheNextStart)
{
    QTemporaryDir root;
    const QString workingDirectory = root.filePath("cwd");
    ASSERT_TRUE(QDir().mkpath(workingDirectory));
    const QString dir = root.filePath(QString::fromUtf8(u8"José 张伟/AppData/Keel"));
    const QString cache = QDir(dir).filePath("keel-anr-cache");

    const HelperRun failed = runHelper("fail", dir, workingDirectory);
    ASSERT_EQ(failed.exitCode, 0) << "the stuck report was not cached with its dump";
    EXPECT_EQ(failed.sent, QStringList());
    EXPECT_EQ(failed.applied, "on|600000|200|10");
    EXPECT_LT(failed.exitMs, 5000);
    const QStringList directories = QDir(cache).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    ASSERT_EQ(directories.size(), 1) << directories.join(' ').toStdString();
    const QString report = cache + "/" + directories.front();
    const Json cached(readFile(report + "/keel_stuck_info.5.1019.json").toStdString());
    ASSERT_TRUE(cached.isObject());
    EXPECT_GT(json_integer_value(cached.get("stuck_appstart_time")), 0);
    const QStringList dumps = QDir(report).entryList({"*.dmp"}, QDir::Files);
    ASSERT_EQ(dumps.size(), 1) << "the dump stays with the report";
    const QByteArray dump = readFile(report + "/" + dumps.front());

    const HelperRun restarted = runHelper("restart", dir, workingDirectory);
    ASSERT_EQ(restarted.exitCode, 0) << "the cached report was not sent, or the cache not emptied";
    EXPECT_EQ(restarted.applied, "on|600000|200|10") << "anr_config.ini read back";
    ASSERT_EQ(restarted.sent.size(), 1) << restarted.sent.join('\n').toStdString();
    EXPECT_EQ(restarted.sent[0].section(' ', 0, 0), directories.front());
    const std::string reference =
        Json(restarted.sent[0].section(' ', 1).toStdString()).string("stuck_stack_dump");
    ASSERT_NE(reference, "");
    EXPECT_EQ(readFile(QDir(dir).filePath("uploads/" + QString::fromStdString(reference))), dump);
    EXPECT_EQ(QDir(cache).entryList(QDir::Dirs | QDir::NoDotAndDotDot), QStringList());

    for (const QString &entry : entriesBelow(root.path()))
        EXPECT_TRUE(entry == "cwd" || entry.startsWith(QString::fromUtf8(u8"José 张伟")))
            << entry.toStdString();
    EXPECT_EQ(entriesBelow(workingDirectory), QStringList());
    for (const QString &entry : QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot))
        EXPECT_TRUE(entry == "keel-anr-cache" || entry == "uploads") << entry.toStdString();
}

} // namespace
