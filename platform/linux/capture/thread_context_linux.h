// A thread's registers: saved from a ucontext (in a signal handler, or from getcontext) and
// turned into the AMD64 CONTEXT a minidump holds.
#pragma once

#include "minidump/format.h"

#include <sys/ucontext.h>
#include <sys/user.h>

namespace platform::linux_impl
{

struct SavedRegisters {
    unsigned long ucFlags = 0;
    gregset_t gregs = {};
    _libc_fpstate fpState = {}; // the FXSAVE image uc_mcontext.fpregs points at
    bool hasFpState = false;
};

// async-signal-safe (plain copies). The FP state lives in the signal frame, so it is copied
// here rather than referenced.
void saveRegisters(const ucontext_t &context, SavedRegisters &saved);

// The same from what PTRACE_GETREGS and PTRACE_GETFPREGS give for a stopped thread of another
// process; `fpRegisters` may be null.
void saveRegisters(const user_regs_struct &registers, const user_fpregs_struct *fpRegisters,
                   SavedRegisters &saved);

// CONTROL, INTEGER and (when saved) FLOATING_POINT: all a ucontext holds (0x0010000B).
minidump::format::ContextAmd64 contextFromRegisters(const SavedRegisters &saved);

// CONTROL only (0x00100001): the stack and instruction pointers of a thread known only from
// outside, with the segments every Linux user thread runs in. Flags, integer and FP
// registers are unknown and left out.
minidump::format::ContextAmd64 controlContext(std::uint64_t sp, std::uint64_t pc);

} // namespace platform::linux_impl
