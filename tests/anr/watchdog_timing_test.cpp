// The watchdog's relation to time: monotonic stamps, late ticks, the dump rate limit, the
// shortest pause and a bounded stop. Decisions are driven tick by tick with a fake clock;
// only the pause and the stop use the real watchdog thread.
#include "anr/keel_anr_internals.h"
#include "detector/anr_collector.h"
#include "platform/clock.h"
#include "support/module_fixture.h"
#include "support/recording_actions.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <condition_variable>
#include <mutex>

namespace
{

std::atomic<long long> fakeNow{0};
long long fakeClock()
{
    return fakeNow.load();
}

constexpr long long t0 = 1'000'000;
constexpr long long kLate = ANRCollector::kLateTickMs;

class WatchdogTiming : public testing::Test
{
protected:
    void SetUp() override
    {
        fakeNow = t0;
        collector = ANRCollector::createWithoutWatchdogForTesting();
        collector->setClockForTesting(&fakeClock);
        actions.captureStack = [this] {
            ++captures;
            return std::vector<std::uint64_t>{0x1000};
        };
        actions.writeDump = [this] { return "dump-" + std::to_string(++dumps) + ".dmp"; };
        actions.reportStuck = [this](std::string path, QString) { stuck.push_back(path); };
        actions.reportLag = [this](std::string path, long long, QString) { lags.push_back(path); };
        collector->setEpisodeActionsForTesting(&actions);
    }

    void beginAt(long long t)
    {
        fakeNow = t;
        collector->iterationEnd();
        collector->iterationBegin();
    }
    // A tick at `t` that was due at `due` (0: unscheduled).
    void tickAt(long long t, long long due = 0)
    {
        fakeNow = t;
        collector->watchdogTick(due);
    }
    // On-time ticks every 100 ms in [from, to].
    void tickEvery100(long long from, long long to)
    {
        for (long long t = from; t <= to; t += 100)
            tickAt(t, t);
    }

    ANRCollector::EpisodeActions actions;
    std::unique_ptr<ANRCollector> collector;
    int captures = 0;
    int dumps = 0;
    std::vector<std::string> stuck;
    std::vector<std::string> lags;
};

TEST(WatchdogClock, DeliveriesAreStampedOnTheMonotonicClockNotTheWallClock)
{
    auto collector = ANRCollector::createWithoutWatchdogForTesting();
    const long long before = platform::monotonicMs();
    collector->iterationBegin();
    const long long after = platform::monotonicMs();
    EXPECT_GE(collector->delivery.iterationStart.load(), before);
    EXPECT_LE(collector->delivery.iterationStart.load(), after);
    EXPECT_GT(before, 0) << "0 means no delivery";
}

// A stopped process (SIGSTOP, suspend) wakes with every thread at once: the delivery under
// way looks as long as the stop. The tick that comes more than kLateTickMs after it was due
// measures it afresh instead of judging it.
struct LateTickCase {
    const char *name;
    long long lateBy; // how long after its due time the tick comes
    bool scheduled;   // false: a tick without a due time (the first one) is never late
    bool restarted;
};

class LateTick : public WatchdogTiming, public testing::WithParamInterface<LateTickCase>
{
};

TEST_P(LateTick, RestartsTheDeliveryUnderWayInsteadOfReportingIt)
{
    const LateTickCase &c = GetParam();
    beginAt(t0);
    tickEvery100(t0 + 100, t0 + 5300); // three identical samples: lag captured
    ASSERT_EQ(collector->delivery.sameStackCount.load(), 3);
    const long long late = t0 + 9000; // past the stuck threshold
    tickAt(late, c.scheduled ? late - c.lateBy : 0);

    if (c.restarted) {
        EXPECT_TRUE(stuck.empty());
        EXPECT_EQ(collector->delivery.iterationStart.load(), late);
        EXPECT_EQ(collector->delivery.sameStackCount.load(), 0);
        // Measured from the late tick on: stuck only 8 s after it, and no lag at its end.
        tickEvery100(late + 100, late + 8000);
        EXPECT_TRUE(stuck.empty());
        tickAt(late + 8100, late + 8100);
        EXPECT_EQ(stuck.size(), 1u);
    } else {
        EXPECT_EQ(stuck.size(), 1u);
    }
}

INSTANTIATE_TEST_SUITE_P(, LateTick,
                         testing::Values(LateTickCase{"OnTime", 0, true, false},
                                         LateTickCase{"AtTheLimit", kLate, true, false},
                                         LateTickCase{"JustPastTheLimit", kLate + 1, true, true},
                                         LateTickCase{"StoppedTenSeconds", 10'000, true, true},
                                         LateTickCase{"Unscheduled", 10'000, false, false}),
                         [](const testing::TestParamInfo<LateTickCase> &info) {
                             return std::string(info.param.name);
                         });

// Dumps per episode kind: at most one in kDumpIntervalMs, whatever the thresholds; the
// episode is still reported, without a dump.
TEST_F(WatchdogTiming, DumpsAreRateLimitedPerKind)
{
    collector->thresholds.lagFirstTime = 0;
    collector->thresholds.stuckFirstTime = 0;
    long long t = t0;
    for (int episode = 0; episode < 30; ++episode, t += 500) {
        beginAt(t);
        tickAt(t + 1, t + 1);
    }
    ASSERT_EQ(stuck.size(), 30u) << "every episode is still reported";
    EXPECT_EQ(stuck[0], "dump-1.dmp");
    for (std::size_t i = 1; i < 20; ++i)
        EXPECT_EQ(stuck[i], "") << "within 10 s of the first: " << i;
    EXPECT_EQ(stuck[20], "dump-2.dmp") << "exactly 10 s after the first";
    EXPECT_EQ(dumps, 2);

    // Lags have their own budget: a lag right after a stuck dump still gets one.
    collector->thresholds.lagFirstTime = 100;
    collector->thresholds.stuckFirstTime = 100'000;
    beginAt(t);
    tickEvery100(t + 200, t + 400);
    EXPECT_EQ(collector->watchdog.lagDumpPath, "dump-3.dmp");
    beginAt(t + 1000);
    tickEvery100(t + 1200, t + 1400);
    EXPECT_EQ(collector->watchdog.lagDumpPath, "") << "a second lag within 10 s gets none";
    beginAt(t + 2000);
    tickAt(t + 2100, t + 2100);
    ASSERT_EQ(lags.size(), 2u);
    EXPECT_EQ(lags[0], "dump-3.dmp");
    EXPECT_EQ(lags[1], "") << "but is still reported";
}

// The real watchdog of the process's collector, with actions that record the time of each
// sample. Everything it can touch lives as long as the process.
struct TickTimes {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::chrono::steady_clock::time_point> samples;
    ANRCollector::EpisodeActions actions;
};

TickTimes &tickTimes()
{
    static auto *times = new TickTimes;
    return *times;
}

class ShortestPause : public testing::TestWithParam<long long>
{
};

TEST_P(ShortestPause, HoldsWhateverTheSampleRate)
{
    TickTimes &times = tickTimes();
    times.actions.captureStack = [&times] {
        std::lock_guard<std::mutex> lock(times.mutex);
        times.samples.push_back(std::chrono::steady_clock::now());
        times.changed.notify_all();
        // Differing samples keep the watchdog sampling at every tick.
        return std::vector<std::uint64_t>{times.samples.size()};
    };
    times.actions.writeDump = [] { return std::string(); };
    times.actions.reportStuck = [](std::string, QString) {};
    times.actions.reportLag = [](std::string, long long, QString) {};

    ANRCollector *collector = KeelAnrInternals::collector();
    collector->setEpisodeActionsForTesting(&times.actions);
    collector->thresholds.lagFirstTime = -1;
    collector->thresholds.stuckFirstTime = LLONG_MAX;
    collector->thresholds.lagSampleRate = GetParam();
    collector->iterationBegin();

    constexpr std::size_t kTicks = 40;
    std::unique_lock<std::mutex> lock(times.mutex);
    ASSERT_TRUE(times.changed.wait_for(lock, testsupport::kSafetyTimeout,
                                       [&] { return times.samples.size() >= kTicks; }));
    const auto spread = times.samples[kTicks - 1] - times.samples[0];
    lock.unlock();
    collector->iterationEnd();
    EXPECT_GE(std::chrono::duration_cast<std::chrono::microseconds>(spread).count(),
              static_cast<long long>(kTicks - 1) * 1000)
        << "at least 1 ms between two ticks (a spinning watchdog takes microseconds)";
}

INSTANTIATE_TEST_SUITE_P(, ShortestPause, testing::Values(0LL, -1LL, LLONG_MIN));

// An episode action that blocks until released, as an upload or a slow disk does.
struct BlockedAction {
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false;
    bool released = false;
    ANRCollector::EpisodeActions actions;
};

TEST(WatchdogStop, IsBoundedWhileATickBlocksAndImmediateDuringAPause)
{
    static auto *blocked = new BlockedAction; // the watchdog may outlive the test
    blocked->actions.writeDump = [] {
        std::unique_lock<std::mutex> lock(blocked->mutex);
        blocked->entered = true;
        blocked->changed.notify_all();
        blocked->changed.wait(lock, [] { return blocked->released; });
        return std::string();
    };
    blocked->actions.captureStack = [] { return std::vector<std::uint64_t>(); };
    blocked->actions.reportStuck = [](std::string, QString) {};
    blocked->actions.reportLag = [](std::string, long long, QString) {};

    ANRCollector *collector = KeelAnrInternals::collector();
    collector->setEpisodeActionsForTesting(&blocked->actions);
    collector->thresholds.stuckFirstTime = -1;
    collector->thresholds.lagSampleRate = 1;
    collector->iterationBegin();
    {
        std::unique_lock<std::mutex> lock(blocked->mutex);
        ASSERT_TRUE(blocked->changed.wait_for(lock, testsupport::kSafetyTimeout,
                                              [] { return blocked->entered; }));
    }
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(collector->stopWatchdog(std::chrono::milliseconds(50)));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_TRUE(collector->stopWatchdog(std::chrono::milliseconds(0))) << "already left";

    std::lock_guard<std::mutex> lock(blocked->mutex);
    blocked->released = true;
    blocked->changed.notify_all();
}

TEST(WatchdogStop, CutsALongPauseShort)
{
    ANRCollector *collector = KeelAnrInternals::collector();
    collector->thresholds.lagSampleRate = LLONG_MAX; // a day, at most
    EXPECT_TRUE(collector->stopWatchdog(testsupport::kSafetyTimeout));
}

} // namespace
