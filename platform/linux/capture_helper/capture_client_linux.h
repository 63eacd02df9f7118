// The host's side of the capture helper (keelanr-capture, see capture_channel_linux.h).
//
// The helper is started for the first dump, with posix_spawn (a fork of a multithreaded host
// could copy a lock held by another thread), from beside the library or its libexec
// directory. The host allows it to trace this process (PR_SET_PTRACER) and lets it try one
// stop. Where tracing is refused (a tracer already attached, Yama scope 3, seccomp) or the
// helper is missing, dumps are taken in process with signals; the reason becomes one notice.
// Every wait for the helper is bounded: a helper that hangs or dies is killed, the dump it
// was writing counts as failed, and the next dump starts a new one. Its death releases every
// host thread it still held.
#pragma once

#include <chrono>
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

// Why dumps are taken in process, once for each new reason: "" when there is nothing new.
std::string takeCaptureFallbackNotice();

// Test seams. The helper's path (null: look beside the library; "": as if missing), a helper
// that hangs while it holds a thread stopped, and how long the host waits for a dump.
void setCaptureHelperPathForTesting(const char *path);
void setCaptureHelperStallForTesting(bool stall);
void setCaptureHelperTimeoutForTesting(std::chrono::milliseconds timeout);
// The running helper's process id, 0 when none runs.
pid_t captureHelperPidForTesting();

} // namespace platform::linux_impl
