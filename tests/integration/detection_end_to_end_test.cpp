// From the analytics client's configuration to a recognised episode, with the real
// watchdog thread, the real event filter and the platform's real stack capture.
#include "anr/keel_anr.h"
#include "support/blocking_receiver.h"
#include "support/module_fixture.h"
#include "support/recording_actions.h"

#include <gtest/gtest.h>

namespace
{

using testsupport::BlockingReceiver;

testsupport::RecordingActions &startWith(const testsupport::Configuration &configuration)
{
    // The client delivers the configuration on its own thread once start asks for it.
    standin::tally::setCloudConfiguration(configuration);
    auto *recorder = testsupport::RecordingActions::createForProcess(testsupport::collector());
    testsupport::collector()->setEpisodeActionsForTesting(&recorder->actions());
    testsupport::startModuleOnce();
    EXPECT_TRUE(standin::log::contains("Keel ANR getCloudConfiguration isOpen = 1"));
    EXPECT_TRUE(testsupport::eventFilter()->enabled.load());
    return *recorder;
}

TEST(DetectionEndToEnd, HandlerSittingStillIsALagReportedOnTheNextDelivery)
{
    auto &recorder = startWith({{"lag_sw", "1"},
                                {"lag_first_time", "50"},
                                {"stuck_first_time", "600000"},
                                {"lag_sample_rate", "10"}});

    // Blocks in one place until the watchdog has seen three identical samples.
    BlockingReceiver stillHandler([&] { ASSERT_TRUE(recorder.waitForDumps(1)); });
    stillHandler.deliverOnce();
    EXPECT_EQ(recorder.captures(), 3);
    EXPECT_TRUE(recorder.lagReports().empty());

    BlockingReceiver nextHandler([&] { ASSERT_TRUE(recorder.waitForLagReports(1)); });
    nextHandler.deliverOnce();

    const auto lags = recorder.lagReports();
    ASSERT_EQ(lags.size(), 1u);
    EXPECT_EQ(lags[0].dumpPath, "recorded-1.dmp");
    EXPECT_GT(lags[0].durationMs, 50);
    EXPECT_TRUE(recorder.stuckReports().empty());
    EXPECT_EQ(recorder.dumps(), 1);
}

TEST(DetectionEndToEnd, HandlerPastTheStuckThresholdIsReportedOnceAndIsNoLag)
{
    auto &recorder = startWith({{"lag_sw", "1"},
                                {"lag_first_time", "600000"},
                                {"stuck_first_time", "80"},
                                {"lag_sample_rate", "10"}});

    BlockingReceiver stuckHandler([&] { ASSERT_TRUE(recorder.waitForStuckReports(1)); });
    stuckHandler.deliverOnce();
    EXPECT_EQ(recorder.stuckReports(), std::vector<std::string>{"recorded-1.dmp"});

    // The delivery has ended: the stuck mark is cleared and nothing is left pending.
    BlockingReceiver quickHandler([] {});
    quickHandler.deliverOnce();
    EXPECT_FALSE(testsupport::collector()->stuckReported.load());
    EXPECT_EQ(testsupport::collector()->lagDuration.load(), 0);
    EXPECT_EQ(recorder.stuckReports().size(), 1u);
    EXPECT_TRUE(recorder.lagReports().empty());
}

} // namespace
