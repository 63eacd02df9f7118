// Capturing the running process into a dump model: everything that needs the heap, /proc or
// the dynamic linker's data is gathered first; then the other threads are stopped one by one
// for their registers and stacks (see thread_freezer_linux.h). A thread that cannot
// be stopped (it blocks the dump signal, or our handler was replaced) but sits in a system
// call gets a CONTROL-only context and its stack from /proc/self/task/TID/syscall.
#pragma once

#include "minidump/model.h"
#include "platform/linux/capture/dump_memory_linux.h"
#include "platform/linux/capture/proc_files_linux.h"
#include "platform/linux/capture/thread_freezer_linux.h"

#include <optional>
#include <sys/types.h>
#include <vector>

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

// The pieces a capture of this process (pid 0) and the capture helper's of its host share.

// The process's threads with the main thread (id == pid) first, where LLDB selects it.
std::vector<pid_t> threadsMainFirst(pid_t pid);

// Fills in everything but the threads: the maps text, system and process facts, modules, the
// DSO debug chain and the Linux streams, read from /proc/PID and through `memory`. Returns
// the parsed maps.
std::vector<MapsEntry> gatherProcessFacts(minidump::DumpModel &model, pid_t pid,
                                          const MemoryReader &memory);

// An arena for `threadCount` threads' stacks and `slotBytes` of bookkeeping each.
std::optional<DumpArena> reserveCaptureArena(std::size_t threadCount, std::size_t slotBytes);

// The answer deadline, the stack size per thread and the ceiling below the argument strings.
FreezeLimits captureLimits(pid_t pid);

// A thread that could not be stopped still shows where it is while it sits in a system call:
// the kernel reports its stack and instruction pointers. Gives `thread` a CONTROL-only context
// and its stack from there; leaves it alone when the thread is not in a call. This process's
// main thread (the GUI thread, which the dump is for) is watched a little while for one.
void describeFromSyscall(minidump::DumpThread &thread, pid_t pid,
                         const std::vector<MapsEntry> &maps, DumpArena &arena,
                         const FreezeLimits &limits);

// Copies the stack above `sp` (stackRangeFor) through `memory` into the arena; empty when the
// arena is used up.
minidump::CapturedMemory copyStackAbove(std::uint64_t sp, const std::vector<MapsEntry> &maps,
                                        DumpArena &arena, const FreezeLimits &limits,
                                        const MemoryReader &memory);

} // namespace platform::linux_impl
