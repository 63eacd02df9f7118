// Stopping the other threads of the process for a dump, one real-time signal each.
//
// Every thread to be dumped gets a slot in memory reserved before anything is stopped. The
// dumper sends each thread the dump signal (tgkill), then takes them in order: it waits for
// the thread's handler to save its registers into the slot and park, copies the stack with
// process_vm_readv while the thread is parked, and releases it at once. A thread that blocks
// the signal is not sent one; a thread that does not answer before the deadline is given up.
// Either way it stays in the dump without registers.
//
// A thread's mask also shows the signal blocked while one of our own handlers runs on it (the
// sampler's, say, when a dump follows a sample at once): that does not count as blocking. And
// because the mask is restored only after the handler's last step, a thread that blocked the
// signal is asked once more after the others are done, if it accepts the signal by then.
//
// A slot's `state` word is the whole protocol; each transition is a compare-and-swap, so the
// dumper and a late handler can never both own a slot:
//
//   notSent                                        (the thread was not signalled)
//   refused --dumper--> requested or notSent        (it blocked the signal; looked at again)
//   requested --handler--> saving --handler--> parked --dumper--> released
//   requested or saving --dumper--> abandoned       (deadline passed; the handler backs off)
//
// While threads are stopped the dumper takes no lock and allocates nothing: slots and stack
// copies come from the arena, the stack's mapping is looked up in maps read before.
#pragma once

#include "minidump/model.h"
#include "platform/linux/capture/dump_memory_linux.h"
#include "platform/linux/capture/proc_files_linux.h"
#include "platform/linux/capture/thread_context_linux.h"
#include "platform/linux/signal_support_linux.h"

#include <cstddef>
#include <cstdint>
#include <sys/types.h>
#include <vector>

namespace platform::linux_impl
{

struct ThreadSlot {
    pid_t threadId = 0;
    FutexWord state{0};
    SavedRegisters registers; // valid when hasRegisters
    bool hasRegisters = false;
    minidump::CapturedMemory stack;
};

struct FreezeLimits {
    std::int64_t answerTimeoutNs; // for all threads together
    std::size_t maxStackBytes;    // per thread, from just below the stack pointer
    // No stack copy reaches this address: the argument and environment strings (secrets,
    // often) that sit at the top of the main thread's stack begin there.
    std::uint64_t stackCeiling;
};

// Sends the dump signal to each of `threadIds` (threads of this process other than the
// caller), saves registers and copies stacks as described above, and returns one slot per
// id in the same order, in `arena` memory. Null when the arena cannot hold the slots. When
// the dump signal cannot be used (every candidate taken, or our handler replaced), no thread
// is signalled and every slot comes back without registers.
// Not async-signal-safe, and for one caller at a time (like MiniDumpWriteDump): the caller
// serialises. Holds no lock while threads are stopped, so a fault that unwinds it leaves
// nothing locked; releaseThreadsAfterFault() then lets the parked threads go.
ThreadSlot *freezeThreadsAndCopyStacks(const std::vector<pid_t> &threadIds,
                                       const std::vector<MapsEntry> &maps, DumpArena &arena,
                                       const FreezeLimits &limits);

// The stack region to copy for a thread whose stack pointer is `sp`: from the page holding the
// 128-byte red zone below it (but not below its mapping) up to the mapping's end, at most
// `maxBytes`, and never up to `ceiling` when that lies above `sp`. async-signal-safe.
struct StackRange {
    std::uint64_t start = 0;
    std::size_t size = 0;
};
StackRange stackRangeFor(std::uint64_t sp, const std::vector<MapsEntry> &maps, std::size_t maxBytes,
                         std::uint64_t ceiling);

// After a fault has unwound the dumper past freezeThreadsAndCopyStacks: releases every thread
// still parked and ends the freeze, so late signals are ignored. async-signal-safe.
void releaseThreadsAfterFault();

// The real-time signal used for dumps; 0 when none could be taken.
int dumpSignalNumber();

// Normally a thread whose mask blocks the dump signal is not sent one. With this set, it is
// sent one anyway, so tests can exercise a thread that does not answer and answers late.
void setSignalBlockingThreadsForTesting(bool signal);

} // namespace platform::linux_impl
