#include "platform/clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

namespace
{

using namespace std::chrono;

long long systemClockMs()
{
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// The wall clock counts milliseconds since 1970 as the system's does (a wrong epoch or unit
// would be years or orders of magnitude away); the monotonic one keeps the steady clock's
// pace, never backwards, from boot. The margins cover the coarse clock's tick (a few ms;
// about 16 on Windows) and, for the pace, Wine's tick count, which its server updates and
// which falls tens of milliseconds behind on a loaded machine; a wrong unit or epoch is off
// by orders of magnitude.
TEST(Clocks, TheWallClockIsTheSystemsAndTheMonotonicOneKeepsTheSteadyClocksPace)
{
    constexpr long long kMarginMs = 40;
    constexpr long long kPaceMarginMs = 100;
    const long long before = systemClockMs();
    const long long wall = platform::wallClockMs();
    const long long after = systemClockMs();
    EXPECT_GE(wall, before - kMarginMs);
    EXPECT_LE(wall, after + kMarginMs);

    const auto outerStart = steady_clock::now();
    const long long start = platform::monotonicMs();
    const auto innerStart = steady_clock::now();
    long long previous = start;
    while (steady_clock::now() - innerStart < milliseconds(200)) {
        const long long now = platform::monotonicMs();
        ASSERT_GE(now, previous);
        previous = now;
    }
    const auto innerEnd = steady_clock::now();
    const long long end = platform::monotonicMs();
    const auto outerEnd = steady_clock::now();

    EXPECT_GT(start, 0) << "0 is kept for 'no time'";
    EXPECT_GE(end - start,
              duration_cast<milliseconds>(innerEnd - innerStart).count() - kPaceMarginMs);
    EXPECT_LE(end - start,
              duration_cast<milliseconds>(outerEnd - outerStart).count() + kPaceMarginMs);
    EXPECT_GT(std::llabs(wall - start), 365LL * 24 * 60 * 60 * 1000) << "counted from boot";
}

} // namespace
