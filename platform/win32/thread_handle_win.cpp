#include "platform/thread_handle.h"

#include "platform/win32/capture_helper_win.h"

#include <windows.h>

namespace platform
{

ThreadHandle openCurrentThread()
{
    // Only the rights the sampler needs (the limited query reads the thread's stack bounds);
    // the result is stored unchecked (a null handle makes every later sample empty).
    const HANDLE thread =
        OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_QUERY_LIMITED_INFORMATION,
                   FALSE, GetCurrentThreadId());
    // The thread the host watches: the dump helper lists it first.
    win32_impl::setWatchedThread(GetCurrentThreadId());
    return ThreadHandle{reinterpret_cast<std::intptr_t>(thread)};
}

} // namespace platform
