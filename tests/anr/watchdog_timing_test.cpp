// The watchdog's relation to real time: monotonic stamps, the shortest pause and a bounded
// stop. Tick-by-tick decisions (late ticks, the dump rate limit) are in the collector's
// scripts.
#include "anr/keel_anr_internals.h"
#include "detector/anr_collector.h"
#include "platform/clock.h"
#include "support/module_fixture.h"

#include <gtest/gtest.h>

#include <climits>
#include <condition_variable>
#include <mutex>

namespace
{

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
