// A handle to a thread of this process that can be frozen and sampled.
#pragma once

#include <cstdint>

namespace platform
{

// Windows: a HANDLE opened with THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT |
// THREAD_QUERY_LIMITED_INFORMATION.
// Linux: the kernel thread id. Zero means no thread.
struct ThreadHandle {
    std::intptr_t value = 0;
    bool isNull() const { return value == 0; }
};

// Opens a handle to the calling thread. Never closed: it lives as long as the process.
ThreadHandle openCurrentThread();

} // namespace platform
