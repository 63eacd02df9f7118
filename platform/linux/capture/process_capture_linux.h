// Capturing the running process into a dump model: everything that needs the heap, /proc or
// the dynamic linker's data is gathered first; then the other threads are stopped one by one
// for their registers and stacks (see thread_freezer_linux.h).
#pragma once

#include "platform/linux/capture/dump_memory_linux.h"
#include "platform/minidump/model.h"

#include <optional>

namespace platform::linux_impl
{

// The model's stack bytes live in `arena`, which must outlive every use of the model.
struct ProcessCapture {
    DumpArena arena;
    DumpModel model;
};

// nullopt when the memory for the stacks cannot be reserved. Threads that cannot be stopped
// are in the model without registers or stack.
std::optional<ProcessCapture> captureProcess();

} // namespace platform::linux_impl
