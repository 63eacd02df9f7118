// The module end to end, from the analytics client's configuration through the real event
// filter and watchdog thread: a still handler becomes a lag reported on the next delivery,
// even when the module is stopped inside it (in this process, with recorded reports), and a hang is
// cached while uploads fail and sent once at the next start (two runs of a host process with the
// real reports).
#include "anr/keel_anr.h"
#include "support/blocking_receiver.h"
#include "support/module_fixture.h"
#include "support/recording_actions.h"
#include "support/report_fixture.h"

#include <QDir>
#include <QProcess>

namespace
{

using namespace reporttest;
using testsupport::BlockingReceiver;

TEST(EndToEnd, StillHandlerIsALagReportedOnTheNextDeliveryEvenAcrossAStop)
{
    // The client delivers the configuration on its own thread once start asks for it.
    const testsupport::Configuration fast{{"lag_sw", "1"},
                                          {"lag_first_time", "50"},
                                          {"stuck_first_time", "600000"},
                                          {"lag_sample_rate", "10"}};
    standin::tally::setCloudConfiguration(fast);
    auto &recorder = *testsupport::RecordingActions::createForProcess(testsupport::collector());
    testsupport::collector()->setEpisodeActionsForTesting(&recorder.actions());
    testsupport::startModuleOnce();
    ASSERT_TRUE(testsupport::eventFilter()->enabled.load());

    // Blocks in one place, sampled by the platform's real capture, until the watchdog has
    // seen three identical samples; stopping there leaves the lag pending.
    BlockingReceiver stillHandler([&] {
        ASSERT_TRUE(recorder.waitForDumps(1));
        KeelAnr::stop();
    });
    stillHandler.deliverOnce();
    EXPECT_EQ(recorder.captures(), 3);
    EXPECT_GT(testsupport::collector()->delivery.lagDuration.load(), 50);
    EXPECT_TRUE(recorder.lagReports().empty());

    testsupport::deliver(fast);
    BlockingReceiver nextHandler([&] { ASSERT_TRUE(recorder.waitForLagReports(1)); });
    nextHandler.deliverOnce();

    const auto lags = recorder.lagReports();
    ASSERT_EQ(lags.size(), 1u);
    EXPECT_EQ(lags[0].dumpPath, "recorded-1.dmp");
    EXPECT_GT(lags[0].durationMs, 50);
    EXPECT_TRUE(recorder.stuckReports().empty());
    EXPECT_EQ(recorder.dumps(), 1);
    KeelAnr::stop();
}

struct HelperRun {
    int exitCode = -1;
    std::string result;
};

HelperRun runHelper(const QString &phase, const QString &dir, const QString &uploads)
{
    const QString result = QDir(dir).filePath(phase + "-result.json");
    QProcess helper;
    helper.setProcessChannelMode(QProcess::ForwardedChannels);
    helper.start(KEELANR_END_TO_END_HELPER, {phase, dir, uploads, result});
    const bool finished = helper.waitForFinished(3 * 60 * 1000);
    EXPECT_TRUE(finished) << phase.toStdString() << " did not finish";
    if (!finished)
        helper.kill();
    return {helper.exitStatus() == QProcess::NormalExit ? helper.exitCode() : -1,
            readFile(result).toStdString()};
}

TEST(EndToEnd, HangCachedWhileUploadsFailIsSentOnceAtTheNextStart)
{
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    const QString uploads = root.filePath("uploads");
    const QString cache = root.filePath("keel-anr-cache");

    const HelperRun hang = runHelper("hang", root.path(), uploads);
    ASSERT_EQ(hang.exitCode, 0) << "the stuck report never reached the cache";
    EXPECT_EQ(hang.result.find("keel_stuck_info"), std::string::npos) << "nothing sent yet";

    const QStringList directories = subdirectories(cache);
    ASSERT_EQ(directories.size(), 1) << directories.join(' ').toStdString();
    const QString guid = directories.front();
    const QString reportPath = QDir(cache).filePath(guid + "/keel_stuck_info.5.1019.json");
    const std::string cachedText = readFile(reportPath).toStdString();
    const Json cached(cachedText);
    ASSERT_TRUE(cached.isObject()) << cachedText;
    EXPECT_EQ(cached.get("stuck_stack_dump"), nullptr);
    EXPECT_EQ(json_integer_value(cached.get("stuck_duration")), 8)
        << "always 8, whatever the stuck threshold";
    EXPECT_EQ(cached.string("stuck_ground"), "前台");
    // The facade hands the module's start time to the report.
    const json_int_t started = json_integer_value(cached.get("stuck_appstart_time"));
    EXPECT_GT(started, 0);
    EXPECT_LE(started, json_integer_value(cached.get("stuck_time")));
    // Real minidumps may or may not be written on this platform yet.
    const QStringList dumps = QDir(cache + "/" + guid).entryList({"*.dmp"}, QDir::Files);
    const QByteArray dumpBytes =
        dumps.isEmpty() ? QByteArray() : readFile(cache + "/" + guid + "/" + dumps.front());

    const HelperRun restart = runHelper("restart", root.path(), uploads);
    ASSERT_EQ(restart.exitCode, 0) << "the cached report was not sent, or the cache not emptied";
    EXPECT_EQ(subdirectories(cache), QStringList());

    json_t *events = json_loads(restart.result.c_str(), 0, nullptr);
    ASSERT_TRUE(json_is_array(events)) << restart.result;
    const json_t *sent = nullptr;
    int sends = 0;
    for (std::size_t i = 0; i < json_array_size(events); ++i) {
        const json_t *event = json_array_get(events, i);
        if (json_string_value(json_object_get(event, "name")) == std::string("keel_stuck_info")) {
            sent = event;
            ++sends;
        }
    }
    ASSERT_EQ(sends, 1) << "sent exactly once: " << restart.result;
    EXPECT_EQ(json_string_value(json_object_get(sent, "guid")), guid.toStdString());
    EXPECT_EQ(json_integer_value(json_object_get(sent, "first")), 5);
    EXPECT_EQ(json_integer_value(json_object_get(sent, "second")), 1019);
    const std::string payload = json_string_value(json_object_get(sent, "payload"));
    if (dumps.isEmpty()) {
        EXPECT_EQ(payload, cachedText);
    } else {
        const std::string reference = Json(payload).string("stuck_stack_dump");
        EXPECT_EQ(payload, withStringMember(cachedText, "stuck_stack_dump", reference));
        EXPECT_EQ(readFile(QDir(uploads).filePath(QString::fromStdString(reference))), dumpBytes);
    }
    json_decref(events);
}

} // namespace
