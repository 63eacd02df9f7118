// The module end to end, from the client's configuration through the real event filter and
// watchdog thread: in this process with recorded reports, and across two runs of a host with
// the real ones (exit is not held by the watchdog).
#include "anr/keel_anr.h"
#include "platform/clock.h"
#include "support/blocking_receiver.h"
#include "support/module_fixture.h"
#include "support/report_fixture.h"

#include <QDir>
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
        [](std::string, QString) {},
        [this](std::string dump, long long ms, QString) {
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
    long long exitMs; // from main's return to the end of the process
};

HelperRun runHelper(const QString &phase, const QString &dir)
{
    QProcess helper;
    helper.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    helper.start(KEELANR_END_TO_END_HELPER, {phase, dir});
    if (!helper.waitForFinished(3 * 60 * 1000))
        helper.kill();
    HelperRun run{helper.exitStatus() == QProcess::NormalExit ? helper.exitCode() : -1,
                  {},
                  platform::monotonicMs()};
    for (const QString &line : QString::fromUtf8(helper.readAllStandardOutput()).split('\n')) {
        if (line.startsWith("sent "))
            run.sent << line.mid(5).trimmed();
        if (line.startsWith("main-returned "))
            run.exitMs -= line.mid(14).trimmed().toLongLong();
    }
    return run;
}

// A host that quits while a stuck report's upload hangs ends at once; the report and its dump
// wait in the cache, and the next start sends them once.
TEST(EndToEnd, HangCachedWhileItsUploadHangsIsSentOnceAtTheNextStart)
{
    QTemporaryDir root;
    const QString cache = root.filePath("keel-anr-cache");

    const HelperRun hang = runHelper("hang", root.path());
    ASSERT_EQ(hang.exitCode, 0) << "the stuck report's upload never started";
    EXPECT_EQ(hang.sent, QStringList());
    // The module waits at most a second; the rest is the process's teardown on a loaded machine.
    EXPECT_LT(hang.exitMs, 5000);

    const QStringList directories = QDir(cache).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    ASSERT_EQ(directories.size(), 1) << directories.join(' ').toStdString();
    const QString report = cache + "/" + directories.front();
    const std::string cachedText = readFile(report + "/keel_stuck_info.5.1019.json").toStdString();
    const Json cached(cachedText);
    ASSERT_TRUE(cached.isObject()) << cachedText;
    // The report's fields are the report tests' concern; the facade hands it the start time.
    const json_int_t started = json_integer_value(cached.get("stuck_appstart_time"));
    EXPECT_GT(started, 0);
    EXPECT_LE(started, json_integer_value(cached.get("stuck_time")));
    EXPECT_EQ(QDir(report).entryList({"*.dmp"}, QDir::Files).size(), 1)
        << "the dump stays with the report";

    const HelperRun restart = runHelper("restart", root.path());
    ASSERT_EQ(restart.exitCode, 0) << "the cached report was not sent, or the cache not emptied";
    EXPECT_EQ(QDir(cache).entryList(QDir::Dirs | QDir::NoDotAndDotDot), QStringList());
    ASSERT_EQ(restart.sent.size(), 1) << restart.sent.join('\n').toStdString();
    EXPECT_EQ(restart.sent[0].section(' ', 0, 0), directories.front());
    // The text resent with its dump's reference is the retry tests' concern.
    EXPECT_NE(Json(restart.sent[0].section(' ', 1).toStdString()).string("stuck_stack_dump"), "");
}

} // namespace
