#include "platform/thread_handle.h"

#include <sys/syscall.h>
#include <unistd.h>

namespace platform
{

ThreadHandle openCurrentThread()
{
    return ThreadHandle{static_cast<std::intptr_t>(syscall(SYS_gettid))};
}

} // namespace platform
