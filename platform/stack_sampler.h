// Sampling another thread's call stack: freeze it, take its register context, walk at most
// kMaxStackFrames frames, let it run again.
#pragma once

#include "platform/debug_library.h"
#include "platform/thread_handle.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace platform
{

constexpr std::size_t kMaxStackFrames = 31;

// Program counters, innermost first; element 0 is where the thread was interrupted.
using StackSample = std::vector<std::uint64_t>;

// Empty when the entry points it needs are missing or the thread could not be sampled
// (exited, blocks the signal, did not answer in time). Never leaves the thread frozen.
// Room for the frames is reserved before the thread is frozen.
StackSample captureThreadStack(const DebugEntryPoints &entryPoints, ThreadHandle thread);

} // namespace platform
