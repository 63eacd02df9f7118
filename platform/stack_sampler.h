// Sampling another thread's call stack: stop it, copy its registers and stack, let it run on,
// and walk at most kMaxStackFrames frames of the copy (Windows: the modules' own unwind
// tables; Linux: libunwind, in the capture helper where it runs, else in process).
// Without the walker samples are empty and dumps are still written.
#pragma once

#include "platform/thread_handle.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace platform
{

constexpr std::size_t kMaxStackFrames = 31;

// Program counters, innermost first; element 0 is where the thread was interrupted.
using StackSample = std::vector<std::uint64_t>;

// The loaded stack walker; each platform defines it. Exists only once loading succeeded.
struct StackSampler;

// Loads the stack walker and prepares sampling (Linux: installs the sampling signal
// handler), once per process. Null while that fails; the next call tries again.
// Thread-safe.
const StackSampler *loadStackSampler();

// The file name of the library loadStackSampler loads, for log lines.
const char *stackSamplerLibraryName();

// Empty when the thread could not be sampled (no thread, exited, blocks the signal, did not
// answer in time). Never leaves the thread stopped. Room for the frames is reserved before
// the thread is interrupted.
StackSample sampleThread(const StackSampler &sampler, ThreadHandle thread);

} // namespace platform
