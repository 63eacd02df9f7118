// Capturing the host process from the capture helper: each thread is stopped with
// PTRACE_SEIZE + PTRACE_INTERRUPT, its registers are read, its stack is copied with
// process_vm_readv, and it is released at once. A ptrace stop needs nothing from the thread
// (neither its signal mask nor its scheduling nor a handler) and interrupts none of its
// system calls: the kernel restarts them as if nothing had happened.
#pragma once

#include "platform/linux/capture/process_capture_linux.h"

#include <cstdint>
#include <optional>
#include <sys/types.h>

namespace platform::linux_impl
{

// Stops thread `tid` of a process this one may trace and waits for the stop until
// CLOCK_MONOTONIC `deadlineNs`, woken by the SIGCHLD that tells of it: the calling thread
// must keep SIGCHLD blocked. True once it is stopped (release it with releaseThread).
// False when it cannot be traced or has exited (nothing to release), or when the stop did
// not come in time: `stillTraced` is then set, and the thread stays traced until this
// process ends, which releases it.
bool stopThread(pid_t tid, std::int64_t deadlineNs, bool &stillTraced);

// Lets a thread stopped by stopThread run on.
void releaseThread(pid_t tid);

struct TracedCapture {
    std::optional<ProcessCapture> capture; // nullopt when the stacks' memory was not there
    bool threadsStillTraced = false;       // some thread never stopped in time
    std::int64_t longestStopNs = 0;        // from asking a thread to stop to letting it go
};

// Captures process `host` (every thread with all its registers and its stack). A thread that
// cannot be stopped is described from its system call, as the in-process capture does.
// `whileStopped` (may be null) runs while the first thread is stopped, for tests that end
// the helper at that moment.
TracedCapture captureTracedProcess(pid_t host, void (*whileStopped)());

} // namespace platform::linux_impl
