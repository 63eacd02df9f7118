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
    int captures = 0, dumps = 0, stuckReports = 0;
    std::vector<std::pair<std::string, long long>> lagReports;
    ANRCollector::EpisodeActions actions{
        [this] {
            auto sample = KeelAnrInternals::collector()->captureMainThreadStack();
            update([&] { ++captures; });
            return sample;
        },
        [this] {
            update([&] { ++dumps; });
            return "recorded-" + std::to_string(dumps) + ".dmp";
        },
        [this](std::string, QString) { update([&] { ++stuckReports; }); },
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
    EXPECT_GT(KeelAnrInternals::collector()->delivery.lagDuration.load(), 50);
    EXPECT_TRUE(recorder.waitUntil([&] { return recorder.lagReports.empty(); }));
    testsupport::deliver(fast);
    testsupport::BlockingReceiver([&] {
        ASSERT_TRUE(recorder.waitUntil([&] { return !recorder.lagReports.empty(); }));
    }).deliverOnce();

    std::lock_guard<std::mutex> lock(recorder.mutex);
    EXPECT_EQ(recorder.captures, 3);
    ASSERT_EQ(recorder.lagReports.size(), 1u);
    EXPECT_EQ(recorder.lagReports[0].first, "recorded-1.dmp");
    EXPECT_GT(recorder.lagReports[0].second, 50);
    EXPECT_EQ(recorder.stuckReports, 0);
    EXPECT_EQ(recorder.dumps, 1);
    KeelAnr::stop();
}

struct HelperRun {
    int exitCode;     // -1: crashed or hung
    std::string sent; // the stuck reports sent, as a JSON array
    long long exitMs; // from main's return to the end of the process
};

HelperRun runHelper(const QString &phase, const QString &dir)
{
    const QString result = QDir(dir).filePath(phase + "-result.json");
    QProcess helper;
    helper.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    helper.start(KEELANR_END_TO_END_HELPER, {phase, dir, result});
    if (!helper.waitForFinished(3 * 60 * 1000))
        helper.kill();
    const long long ended = platform::monotonicMs();
    const QString output = QString::fromLocal8Bit(helper.readAllStandardOutput());
    return {helper.exitStatus() == QProcess::NormalExit ? helper.exitCode() : -1,
            readFile(result).toStdString(),
            ended - output.section("main-returned ", 1).trimmed().toLongLong()};
}

// A host that quits while a stuck report's upload hangs ends at once; the report and its dump
// wait in the cache, and the next start sends them once.
TEST(EndToEnd, HangCachedWhileItsUploadHangsIsSentOnceAtTheNextStart)
{
    QTemporaryDir root;
    const QString cache = root.filePath("keel-anr-cache");

    const HelperRun hang = runHelper("hang", root.path());
    ASSERT_EQ(hang.exitCode, 0) << "the stuck report's upload never started";
    EXPECT_EQ(hang.sent, "[]");
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
    json_t *sent = json_loads(restart.sent.c_str(), 0, nullptr);
    ASSERT_EQ(json_array_size(sent), 1u) << restart.sent;
    const json_t *event = json_array_get(sent, 0);
    EXPECT_EQ(json_string_value(json_object_get(event, "guid")), directories.front().toStdString());
    // The text resent with its dump's reference is the retry tests' concern.
    EXPECT_NE(Json(json_string_value(json_object_get(event, "payload"))).string("stuck_stack_dump"),
              "");
    json_decref(sent);
}

} // namespace
