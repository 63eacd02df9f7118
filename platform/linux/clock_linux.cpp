#include "platform/clock.h"

#include <time.h>

namespace platform
{
namespace
{

long long millisecondsOf(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

} // namespace

long long wallClockMs()
{
    return millisecondsOf(CLOCK_REALTIME);
}

long long monotonicMs()
{
    // CLOCK_MONOTONIC stops during suspend (CLOCK_BOOTTIME would not); the coarse variant
    // is read from the vDSO without a system call. Counted from boot, so positive after
    // the first millisecond; the offset keeps 0 free as "no time".
    return millisecondsOf(CLOCK_MONOTONIC_COARSE) + 1;
}

} // namespace platform
