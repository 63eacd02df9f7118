// Walking a stopped thread of the host from the capture helper: its registers and a copy of
// its stack are taken while it is stopped; the walk runs on the copy after it runs again,
// with libunwind's remote unwinder (the host's code and unwind tables do not change while it
// runs, so they are read from the live process).
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>
#include <sys/user.h>

namespace platform::linux_impl
{

struct StackCopy {
    std::uint64_t address = 0; // where the copy starts (at or below the stack pointer)
    const std::uint8_t *bytes = nullptr;
    std::size_t size = 0;
};

// Writes at most `capacity` program counters of thread `tid` of process `host` into `frames`,
// innermost first, and returns how many. One walk at a time (the helper is single-threaded).
std::size_t walkStoppedStack(pid_t host, pid_t tid, const user_regs_struct &registers,
                             const StackCopy &stack, std::uint64_t *frames, std::size_t capacity);

} // namespace platform::linux_impl
