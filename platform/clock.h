// Wall-clock milliseconds since 1970-01-01 00:00 UTC.
#pragma once

namespace platform
{

// Precise system time. Used for report times, dump file names and start time.
long long wallClockMs();

// The same clock read at the system tick's resolution (a few ms), several times cheaper.
// Used on the GUI thread's per-event path, where thresholds are whole seconds.
long long coarseWallClockMs();

} // namespace platform
