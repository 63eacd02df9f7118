// The watchdog in real time: monotonic stamps, the shortest pause and a bounded stop.
#include "anr/keel_anr_internals.h"
#include "detector/anr_collector.h"
#include "platform/clock.h"
#include "support/poll.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <climits>

namespace
{

using std::chrono::steady_clock;

TEST(WatchdogClock, DeliveriesAreStampedOnTheMonotonicClockNotTheWallClock)
{
    auto collector = ANRCollector::createWithoutWatchdogForTesting();
    const long long before = platform::monotonicMs();
    collector->iterationBegin();
    const long long after = platform::monotonicMs();
    EXPECT_GE(collector->deliveryStartForTesting(), before);
    EXPECT_LE(collector->deliveryStartForTesting(), after);
    EXPECT_GT(before, 0) << "0 means no delivery";
}

constexpr int kTicks = 40;

// Actions for the process's watchdog, which may call them until exit: samples record their
// time and differ (so every tick samples), dumps block until released, as a slow disk does.
struct Actions {
    std::array<steady_clock::time_point, kTicks> sampleTimes;
    std::atomic<int> samples{0};
    std::atomic<bool> dumping{false}, released{false};
    ANRCollector::EpisodeActions actions{
        [this] {
            const int n = samples;
            if (n < kTicks)
                sampleTimes[n] = steady_clock::now();
            ++samples;
            return std::vector<std::uint64_t>{static_cast<std::uint64_t>(n)};
        },
        [this] {
            dumping = true;
            testsupport::pollUntil([this] { return released.load(); }, std::chrono::hours(1));
            return std::string();
        },
        [](std::string) {}, [](std::string, long long) {}};
};

// The process's collector running `actions` (never destroyed) on its watchdog thread.
ANRCollector *startWatchdog(Actions &actions, long long lagFirstTime, long long stuckFirstTime,
                            long long sampleRate)
{
    ANRCollector *collector = KeelAnrInternals::collector();
    collector->setEpisodeActionsForTesting(&actions.actions);
    collector->applyThresholds({lagFirstTime, stuckFirstTime, sampleRate});
    collector->iterationBegin();
    return collector;
}

TEST(WatchdogPause, OneMillisecondAtTheShortest)
{
    Actions &actions = *new Actions;
    ANRCollector *collector = startWatchdog(actions, 1, LLONG_MAX, 1);
    ASSERT_TRUE(testsupport::pollUntil([&] { return actions.samples >= kTicks; }));
    collector->iterationEnd();
    EXPECT_GE(actions.sampleTimes[kTicks - 1] - actions.sampleTimes[0],
              std::chrono::milliseconds(kTicks - 1))
        << "at least 1 ms between two ticks (a spinning watchdog takes microseconds)";
}

TEST(WatchdogStop, IsBoundedWhileATickBlocksAndImmediateDuringAPause)
{
    Actions &actions = *new Actions;
    ANRCollector *collector = startWatchdog(actions, 5000, 1, 1);
    ASSERT_TRUE(testsupport::pollUntil([&] { return actions.dumping.load(); }));
    const auto start = steady_clock::now();
    EXPECT_FALSE(collector->stopWatchdog(std::chrono::milliseconds(50)));
    EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_TRUE(collector->stopWatchdog(std::chrono::milliseconds(0))) << "already left";
    actions.released = true;
}

TEST(WatchdogStop, CutsALongPauseShort)
{
    ANRCollector *collector = KeelAnrInternals::collector();
    collector->applyThresholds({5000, 8000, LLONG_MAX}); // a day, at most
    EXPECT_TRUE(collector->stopWatchdog(testsupport::kSafetyTimeout));
}

} // namespace
