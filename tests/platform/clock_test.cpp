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

// Milliseconds since 1970 on the system's wall clock: a wrong epoch or tick unit would put
// it years or orders of magnitude away from the standard library's.
TEST(WallClock, AgreesWithTheSystemClock)
{
    constexpr long long kMarginMs = 100;
    const long long before = systemClockMs();
    const long long precise = platform::wallClockMs();
    const long long after = systemClockMs();

    EXPECT_GE(precise, before - kMarginMs);
    EXPECT_LE(precise, after + kMarginMs);
}

// Counts milliseconds at the pace of the steady clock, never backwards, and is not the wall
// clock. The margin covers the coarse clock's tick (a few ms; about 16 on Windows).
TEST(MonotonicClock, KeepsThePaceOfTheSteadyClock)
{
    constexpr long long kMarginMs = 40;
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
    EXPECT_GE(end - start, duration_cast<milliseconds>(innerEnd - innerStart).count() - kMarginMs);
    EXPECT_LE(end - start, duration_cast<milliseconds>(outerEnd - outerStart).count() + kMarginMs);
    EXPECT_GT(std::llabs(platform::wallClockMs() - start), 365LL * 24 * 60 * 60 * 1000)
        << "counted from boot, not from 1970";
}

} // namespace
