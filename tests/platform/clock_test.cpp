#include "platform/clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

namespace
{

long long systemClockMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// Both clocks count milliseconds since 1970 on the system's wall clock: a wrong epoch or
// tick unit would put them years or orders of magnitude away from the standard library's.
// The margin allows for a standard clock or a coarse clock that lags by a system tick (a few
// milliseconds; about 16 on Windows).
TEST(WallClock, AgreesWithTheSystemClock)
{
    constexpr long long kMarginMs = 100;
    const long long before = systemClockMs();
    const long long precise = platform::wallClockMs();
    const long long coarse = platform::coarseWallClockMs();
    const long long after = systemClockMs();

    EXPECT_GE(precise, before - kMarginMs);
    EXPECT_LE(precise, after + kMarginMs);
    EXPECT_LT(std::llabs(coarse - precise), kMarginMs);
}

} // namespace
