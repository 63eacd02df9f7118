// The host's side of the capture helper (keelanr-capture, see capture_channel_linux.h).
//
// The helper is started for the first sample or dump, with posix_spawn (a fork of a multithreaded
// host could copy a lock held by another thread), from beside the library or its libexec directory.
// The host allows it to trace this process (PR_SET_PTRACER) and lets it try one stop. Where tracing
// is refused (a tracer already attached, Yama scope 3, seccomp) or the helper is missing, samples
// and dumps are taken in process with signals, and the helper is tried again a minute later; the
// reason becomes one notice. Every wait for the helper is bounded: a helper that hangs or dies is
// killed, the sample or dump it was taking fails, and the next one starts a new helper. Its death
// releases every host thread it still held.
#pragma once

#include "platform/linux/sampling/thread_sampler_linux.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>

namespace platform::linux_impl
{

enum class HelperDump {
    written,
    failed,      // the helper took the dump on and did not finish it
    unavailable, // no helper here: take the dump in process
};

// Has the helper write a dump of this process into `fd` (an empty file). Not for concurrent
// calls: writeProcessDump serialises them.
HelperDump writeDumpThroughHelper(int fd);

// Has the helper sample thread `tid` of this process: at most `capacity` program counters,
// innermost first, into `frames`; returns how many (0 when it failed: the helper is then
// ended, and the next call starts a new one). nullopt when no helper can run here: sample in
// process. `timing` (optional) receives when the thread was asked to stop and let go.
std::optional<std::size_t> sampleThroughHelper(pid_t tid, std::uint64_t *frames,
                                               std::size_t capacity, SampleTiming *timing);

// Test seams. The helper's path (null: look beside the library; "": as if missing), a helper
// that hangs while it holds a thread stopped in a "dump" or a "sample" (null: it does not),
// and how long the host waits for a dump.
void setCaptureHelperPathForTesting(const char *path);
void setCaptureHelperStallForTesting(const char *where);
void setCaptureHelperTimeoutForTesting(std::chrono::milliseconds timeout);
// The running helper's process id, 0 when none runs.
pid_t captureHelperPidForTesting();
// For the benchmark: the longest a thread was held stopped in the helper's last dump.
std::int64_t longestStopInLastHelperDumpNsForTesting();

} // namespace platform::linux_impl
