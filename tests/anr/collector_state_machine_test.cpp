// The collector's state machine, driven tick by tick with a fake clock and recorded
// episode actions; no watchdog thread, no sleeping.
#include "detector/anr_collector.h"

#include <gtest/gtest.h>

#include <atomic>

namespace
{

std::atomic<long long> fakeNow{0};
long long fakeClock()
{
    return fakeNow.load();
}

using Sample = std::vector<std::uint64_t>;

struct LagReport {
    std::string dumpPath;
    long long durationMs;
};

// Records what the watchdog asked for; samples come from `nextSample`.
class RecordingActions
{
public:
    RecordingActions()
    {
        actions.captureStack = [this] {
            ++captures;
            return nextSample();
        };
        actions.writeDump = [this] {
            ++dumps;
            return "dump-" + std::to_string(dumps) + ".dmp";
        };
        actions.reportStuck = [this](std::string dumpPath, QString cacheDir) {
            stuckReports.push_back(dumpPath);
            reportCacheDir = cacheDir;
        };
        actions.reportLag = [this](std::string dumpPath, long long durationMs, QString cacheDir) {
            lagReports.push_back({dumpPath, durationMs});
            reportCacheDir = cacheDir;
        };
    }

    std::function<Sample()> nextSample = [] { return Sample{0x1000, 0x2000, 0x3000}; };
    ANRCollector::EpisodeActions actions;
    int captures = 0;
    int dumps = 0;
    std::vector<std::string> stuckReports;
    std::vector<LagReport> lagReports;
    QString reportCacheDir;
};

class CollectorStateMachine : public testing::Test
{
protected:
    void SetUp() override
    {
        fakeNow = 1'000'000;
        collector = ANRCollector::createWithoutWatchdogForTesting();
        collector->setClockForTesting(&fakeClock);
        collector->setEpisodeActionsForTesting(&recorder.actions);
        collector->cacheDir = "/cache";
    }

    void beginAt(long long t)
    {
        fakeNow = t;
        collector->iterationEnd();
        collector->iterationBegin();
    }
    void endAt(long long t)
    {
        fakeNow = t;
        collector->iterationEnd();
    }
    void tickAt(long long t)
    {
        fakeNow = t;
        collector->watchdogTick();
    }
    // One tick every `period` ms in [from, to].
    void tickEvery(long long period, long long from, long long to)
    {
        for (long long t = from; t <= to; t += period)
            tickAt(t);
    }

    RecordingActions recorder;
    std::unique_ptr<ANRCollector> collector;
    static constexpr long long t0 = 1'000'000;
};

TEST_F(CollectorStateMachine, IdleCollectorDoesNothing)
{
    tickEvery(100, t0, t0 + 20'000);
    EXPECT_EQ(recorder.captures, 0);
    EXPECT_EQ(recorder.dumps, 0);
}

TEST_F(CollectorStateMachine, StuckDeliveryIsReportedOnceAtFirstTickPastThreshold)
{
    beginAt(t0);
    tickAt(t0 + 8000); // exactly the threshold: not stuck
    EXPECT_TRUE(recorder.stuckReports.empty());
    tickAt(t0 + 8001);
    ASSERT_EQ(recorder.stuckReports.size(), 1u);
    EXPECT_EQ(recorder.stuckReports[0], "dump-1.dmp");
    EXPECT_EQ(recorder.reportCacheDir, "/cache");
    tickEvery(100, t0 + 8100, t0 + 20'000);
    EXPECT_EQ(recorder.stuckReports.size(), 1u);
    EXPECT_EQ(recorder.dumps, 1);

    endAt(t0 + 21'000);
    EXPECT_FALSE(collector->stuckReported.load());
    EXPECT_EQ(collector->iterationStart.load(), 0);
    beginAt(t0 + 21'100);
    tickAt(t0 + 21'200);
    EXPECT_TRUE(recorder.lagReports.empty()) << "a stuck delivery never becomes a lag";
}

TEST_F(CollectorStateMachine, StillDeliveryBecomesOneLagReportedOnNextDelivery)
{
    beginAt(t0);
    tickAt(t0 + 5000); // exactly lagFirstTime: no sample yet
    EXPECT_EQ(recorder.captures, 0);
    tickEvery(100, t0 + 5050, t0 + 5950);
    EXPECT_EQ(recorder.captures, 3) << "sampling stops after three identical samples";
    EXPECT_EQ(recorder.dumps, 1);
    EXPECT_EQ(collector->lagDumpPath, "dump-1.dmp");

    endAt(t0 + 6000);
    EXPECT_EQ(collector->lagDuration.load(), 6000);
    tickAt(t0 + 6050);
    EXPECT_TRUE(recorder.lagReports.empty()) << "reported only once a later delivery runs";

    beginAt(t0 + 7000);
    tickAt(t0 + 7050);
    ASSERT_EQ(recorder.lagReports.size(), 1u);
    EXPECT_EQ(recorder.lagReports[0].dumpPath, "dump-1.dmp");
    EXPECT_EQ(recorder.lagReports[0].durationMs, 6000);
    EXPECT_EQ(collector->lagDuration.load(), 0);
    tickAt(t0 + 7150);
    EXPECT_EQ(recorder.lagReports.size(), 1u);
    EXPECT_TRUE(recorder.stuckReports.empty());
}

TEST_F(CollectorStateMachine, MovingStackIsNeitherLagNorStuck)
{
    std::uint64_t pc = 0x4000;
    recorder.nextSample = [&pc] { return Sample{pc++, 0x2000}; };
    beginAt(t0);
    tickEvery(100, t0 + 100, t0 + 6000);
    endAt(t0 + 6000);
    beginAt(t0 + 6100);
    tickAt(t0 + 6200);
    EXPECT_EQ(recorder.captures, 10);
    EXPECT_EQ(recorder.dumps, 0);
    EXPECT_TRUE(recorder.lagReports.empty());
    EXPECT_TRUE(recorder.stuckReports.empty());
}

TEST_F(CollectorStateMachine, FirstSampleOfADeliveryCountsOneEvenIfItMatchesThePrevious)
{
    beginAt(t0);
    tickEvery(100, t0 + 5100, t0 + 5200); // two identical samples
    EXPECT_EQ(collector->sameStackCount.load(), 2);
    beginAt(t0 + 5300); // next delivery, same stack
    tickAt(t0 + 5300 + 5001);
    EXPECT_EQ(collector->sameStackCount.load(), 1);
    EXPECT_EQ(recorder.dumps, 0);
}

TEST_F(CollectorStateMachine, DeliveryEndingBeforeThirdSampleIsNoLag)
{
    beginAt(t0);
    tickEvery(100, t0 + 5100, t0 + 5200);
    endAt(t0 + 5250);
    EXPECT_EQ(collector->lagDuration.load(), 0);
}

TEST_F(CollectorStateMachine, StuckAfterLagCaptureSuppressesTheLag)
{
    beginAt(t0);
    tickEvery(100, t0 + 5100, t0 + 5300);
    EXPECT_EQ(collector->lagDumpPath, "dump-1.dmp");
    tickAt(t0 + 8100);
    ASSERT_EQ(recorder.stuckReports.size(), 1u);
    EXPECT_EQ(recorder.stuckReports[0], "dump-2.dmp");
    endAt(t0 + 9000);
    EXPECT_EQ(collector->lagDuration.load(), 0);
    EXPECT_EQ(collector->lagDumpPath, "dump-1.dmp") << "left unreported, replaced by the next lag";
}

TEST_F(CollectorStateMachine, InactiveApplicationPausesSamplingStuckAndLagReports)
{
    beginAt(t0);
    tickEvery(100, t0 + 5100, t0 + 5300); // lag captured
    collector->setAppActive(false);
    tickEvery(100, t0 + 5400, t0 + 12'000); // past stuckFirstTime while inactive
    EXPECT_TRUE(recorder.stuckReports.empty());
    endAt(t0 + 12'000);
    EXPECT_EQ(collector->lagDuration.load(), 12'000) << "recorded as a lag with its full duration";

    beginAt(t0 + 12'100);
    tickEvery(100, t0 + 12'200, t0 + 30'000);
    EXPECT_TRUE(recorder.lagReports.empty());
    EXPECT_EQ(recorder.captures, 3);

    collector->setAppActive(true);
    tickAt(t0 + 30'100);
    ASSERT_EQ(recorder.stuckReports.size(), 1u) << "the delivery under way is stuck by now";
    EXPECT_TRUE(recorder.lagReports.empty());
    endAt(t0 + 30'200);
    beginAt(t0 + 30'300);
    tickAt(t0 + 30'400);
    ASSERT_EQ(recorder.lagReports.size(), 1u);
    EXPECT_EQ(recorder.lagReports[0].durationMs, 12'000);
}

TEST_F(CollectorStateMachine, StuckThresholdNotAboveLagThresholdMeansNoLagEver)
{
    collector->lagFirstTime = 3000;
    collector->stuckFirstTime = 3000;
    beginAt(t0);
    tickEvery(100, t0 + 100, t0 + 3100);
    EXPECT_EQ(recorder.captures, 0);
    ASSERT_EQ(recorder.stuckReports.size(), 1u);
    endAt(t0 + 4000);
    EXPECT_EQ(collector->lagDuration.load(), 0);
}

TEST_F(CollectorStateMachine, EmptySamplesCompareEqualAndStillCaptureALag)
{
    recorder.nextSample = [] { return Sample{}; };
    collector->lastStack = {0x1};
    beginAt(t0);
    tickEvery(100, t0 + 5100, t0 + 5300);
    EXPECT_EQ(recorder.captures, 3);
    EXPECT_EQ(recorder.dumps, 1);
    endAt(t0 + 5400);
    EXPECT_EQ(collector->lagDuration.load(), 5400);
}

TEST_F(CollectorStateMachine, FailedLagDumpIsReportedWithEmptyPath)
{
    recorder.actions.writeDump = [] { return std::string(); };
    beginAt(t0);
    tickEvery(100, t0 + 5100, t0 + 5300);
    endAt(t0 + 5500);
    beginAt(t0 + 5600);
    tickAt(t0 + 5700);
    ASSERT_EQ(recorder.lagReports.size(), 1u);
    EXPECT_EQ(recorder.lagReports[0].dumpPath, "");
}

TEST_F(CollectorStateMachine, SecondLagCannotBeCapturedWhileOneIsPending)
{
    beginAt(t0);
    tickEvery(100, t0 + 5100, t0 + 5300);
    endAt(t0 + 5400);
    // The next delivery is already long and still when the watchdog first sees it: the
    // pending lag is reported before that tick samples.
    beginAt(t0 + 5500);
    tickAt(t0 + 5500 + 5100);
    EXPECT_EQ(recorder.lagReports.size(), 1u);
    EXPECT_EQ(recorder.captures, 4);
}

TEST_F(CollectorStateMachine, NegativeOrZeroElapsedTimeIsNotAnEpisode)
{
    // The wall clock may step back while a delivery runs.
    beginAt(t0);
    tickAt(t0 - 60'000);
    EXPECT_EQ(recorder.captures, 0);
    EXPECT_TRUE(recorder.stuckReports.empty());
}

} // namespace
