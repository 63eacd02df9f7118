// The module's two clocks, in milliseconds.
#pragma once

namespace platform
{

// Wall-clock milliseconds since 1970-01-01 00:00 UTC. It steps with the system time, so
// it names things (report times, dump file names, start time) but never measures them.
long long wallClockMs();

// Milliseconds on a clock that never steps with the system time, read at the system tick's
// resolution (a few ms; ~15 ms on Windows). Used for every duration, including the GUI
// thread's per-event stamps, where thresholds are whole seconds. Linux's stops while the
// system is suspended, Windows' does not (the watchdog notices its own late ticks for
// that). Its origin is arbitrary but always above 0.
long long monotonicMs();

} // namespace platform
