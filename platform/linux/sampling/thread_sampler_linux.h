// Sampling another thread's call stack on Linux: the watchdog sends the thread a real-time
// signal, the thread's handler walks its own interrupted stack with libunwind into a buffer
// reserved before the signal was sent, and wakes the watchdog, which waits a bounded time.
// The thread is never parked: it is stopped only while its handler walks, and the handler
// always returns.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <sys/types.h>

namespace platform::linux_impl
{

// The signal the sampler sends: SIGRTMIN+3 (glibc keeps the first two real-time signals).
int samplingSignal();

// How long the watchdog waits for the handler's answer. An answering thread takes tens of
// microseconds; this leaves room for a thread that the scheduler has not run for a while on
// a loaded machine, and keeps a thread that never answers to one and a half of the
// watchdog's default 100 ms periods.
constexpr std::chrono::milliseconds kAnswerTimeout{150};

// The library the sampler walks with.
constexpr char kUnwindLibrary[] = "libunwind.so.8";

// Loads libunwind and installs the sampling signal handler, then samples the calling thread
// so that libunwind's one-time set-up does not happen on a sampled thread. False, with
// nothing installed, when either step fails; a later call tries again. Not thread-safe:
// loadStackSampler serialises the calls.
bool installThreadSampler();

// When the handler of one sample started and finished (CLOCK_MONOTONIC ns), for the benchmark.
struct SampleTiming {
    std::int64_t handlerEntryNs = 0;
    std::int64_t handlerExitNs = 0;
};

// Walks the stack of thread `tid` of this process: writes at most `capacity` (and at most
// kMaxStackFrames) program counters into `frames`, innermost first, element 0 being where the
// thread was interrupted, and returns how many. Returns 0 after kAnswerTimeout when the
// thread does not answer (it blocks the signal, or the kernel holds it); later requests to it
// return 0 at once while it still blocks the signal or that signal is still pending. Returns 0 at
// once when the sampler is not installed (or someone replaced its handler) or the thread has
// exited. A late answer never touches `frames`. `timing` (optional) receives the handler's
// timestamps. Thread-safe: concurrent callers take turns.
std::size_t sampleThreadStack(pid_t tid, std::uint64_t *frames, std::size_t capacity,
                              SampleTiming *timing);

// Test seam: the library installThreadSampler loads (a missing one makes it fail); null
// restores kUnwindLibrary. Takes effect for loads that have not succeeded yet.
void setUnwindLibraryForTesting(const char *fileName);

// Test seam: tests wait longer (or shorter) than kAnswerTimeout; zero restores it.
void setAnswerTimeoutForTesting(std::chrono::nanoseconds timeout);

} // namespace platform::linux_impl
