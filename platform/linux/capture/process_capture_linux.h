// Capturing the running process into a dump model: everything that needs the heap, /proc or
// the dynamic linker's data is gathered first; then the other threads are stopped one by one
// for their registers and stacks (see thread_freezer_linux.h). A thread that cannot
// be stopped (it blocks the dump signal, or our handler was replaced) but sits in a system
// call gets a CONTROL-only context and its stack from /proc/self/task/TID/syscall.
#pragma once

#include "minidump/model.h"
#include "platform/linux/capture/dump_memory_linux.h"

#include <optional>

namespace platform::linux_impl
{

// The model's stack bytes live in `arena`, which must outlive every use of the model.
struct ProcessCapture {
    DumpArena arena;
    minidump::DumpModel model;
};

// nullopt when the memory for the stacks cannot be reserved. Threads that can neither be
// stopped nor be seen in a system call are in the model without registers or stack.
std::optional<ProcessCapture> captureProcess();

} // namespace platform::linux_impl
