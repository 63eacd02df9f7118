#include "platform/clock.h"

#include <windows.h>

namespace platform
{
namespace
{

// FILETIME counts 100-nanosecond ticks since 1601-01-01; this many lie before 1970-01-01.
constexpr long long kTicksFrom1601To1970 = 116444736000000000LL;
constexpr long long kTicksPerMillisecond = 10000;

long long millisecondsOf(const FILETIME &time)
{
    ULARGE_INTEGER ticks;
    ticks.LowPart = time.dwLowDateTime;
    ticks.HighPart = time.dwHighDateTime;
    return (static_cast<long long>(ticks.QuadPart) - kTicksFrom1601To1970) / kTicksPerMillisecond;
}

} // namespace

long long wallClockMs()
{
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    return millisecondsOf(now);
}

long long monotonicMs()
{
    // Milliseconds since boot at the system tick's resolution, suspended time included; it
    // never steps with the system time. The offset keeps 0 free as "no time".
    return static_cast<long long>(GetTickCount64()) + 1;
}

} // namespace platform
