#include "platform/linux/capture/thread_context_linux.h"

#include <cstring>

namespace platform::linux_impl
{

namespace format = minidump::format;

namespace
{

// The x86-64 Linux user code and stack segment selectors.
constexpr std::uint16_t kUserCodeSegment = 0x33;
constexpr std::uint16_t kUserStackSegment = 0x2b;

// uc_flags bit telling that the top 16 bits of REG_CSGSFS hold ss.
constexpr unsigned long kUcSigcontextSs = 0x2;

static_assert(sizeof(_libc_fpstate) == sizeof(format::ContextAmd64::fltSave),
              "the saved FP state is the FXSAVE image");

std::uint64_t reg(const SavedRegisters &saved, int index)
{
    return static_cast<std::uint64_t>(saved.gregs[index]);
}

} // namespace

// async-signal-safe.
void saveRegisters(const ucontext_t &context, SavedRegisters &saved)
{
    saved.ucFlags = context.uc_flags;
    std::memcpy(saved.gregs, context.uc_mcontext.gregs, sizeof saved.gregs);
    saved.hasFpState = context.uc_mcontext.fpregs != nullptr;
    if (saved.hasFpState)
        std::memcpy(&saved.fpState, context.uc_mcontext.fpregs, sizeof saved.fpState);
}

void saveRegisters(const user_regs_struct &registers, const user_fpregs_struct *fpRegisters,
                   SavedRegisters &saved)
{
    static_assert(sizeof(user_fpregs_struct) == sizeof(_libc_fpstate), "both are FXSAVE images");
    saved = SavedRegisters{};
    saved.ucFlags = kUcSigcontextSs;
    const auto set = [&saved](int index, unsigned long long value) {
        saved.gregs[index] = static_cast<greg_t>(value);
    };
    set(REG_R8, registers.r8);
    set(REG_R9, registers.r9);
    set(REG_R10, registers.r10);
    set(REG_R11, registers.r11);
    set(REG_R12, registers.r12);
    set(REG_R13, registers.r13);
    set(REG_R14, registers.r14);
    set(REG_R15, registers.r15);
    set(REG_RDI, registers.rdi);
    set(REG_RSI, registers.rsi);
    set(REG_RBP, registers.rbp);
    set(REG_RBX, registers.rbx);
    set(REG_RDX, registers.rdx);
    set(REG_RAX, registers.rax);
    set(REG_RCX, registers.rcx);
    set(REG_RSP, registers.rsp);
    set(REG_RIP, registers.rip);
    set(REG_EFL, registers.eflags);
    set(REG_CSGSFS, (registers.cs & 0xffff) | (registers.gs & 0xffff) << 16 |
                        (registers.fs & 0xffff) << 32 | (registers.ss & 0xffff) << 48);
    saved.hasFpState = fpRegisters != nullptr;
    if (fpRegisters)
        std::memcpy(&saved.fpState, fpRegisters, sizeof saved.fpState);
}

format::ContextAmd64 contextFromRegisters(const SavedRegisters &saved)
{
    format::ContextAmd64 context{};
    context.contextFlags = format::kContextControl | format::kContextInteger;

    const std::uint64_t segments = reg(saved, REG_CSGSFS);
    context.cs = static_cast<std::uint16_t>(segments);
    context.gs = static_cast<std::uint16_t>(segments >> 16);
    context.fs = static_cast<std::uint16_t>(segments >> 32);
    if (saved.ucFlags & kUcSigcontextSs)
        context.ss = static_cast<std::uint16_t>(segments >> 48);
    context.eflags = static_cast<std::uint32_t>(reg(saved, REG_EFL));

    context.rax = reg(saved, REG_RAX);
    context.rcx = reg(saved, REG_RCX);
    context.rdx = reg(saved, REG_RDX);
    context.rbx = reg(saved, REG_RBX);
    context.rsp = reg(saved, REG_RSP);
    context.rbp = reg(saved, REG_RBP);
    context.rsi = reg(saved, REG_RSI);
    context.rdi = reg(saved, REG_RDI);
    context.r8 = reg(saved, REG_R8);
    context.r9 = reg(saved, REG_R9);
    context.r10 = reg(saved, REG_R10);
    context.r11 = reg(saved, REG_R11);
    context.r12 = reg(saved, REG_R12);
    context.r13 = reg(saved, REG_R13);
    context.r14 = reg(saved, REG_R14);
    context.r15 = reg(saved, REG_R15);
    context.rip = reg(saved, REG_RIP);

    if (saved.hasFpState) {
        context.contextFlags |= format::kContextFloatingPoint;
        context.mxCsr = saved.fpState.mxcsr;
        std::memcpy(context.fltSave, &saved.fpState, sizeof context.fltSave);
    }
    return context;
}

format::ContextAmd64 controlContext(std::uint64_t sp, std::uint64_t pc)
{
    format::ContextAmd64 context{};
    context.contextFlags = format::kContextControl;
    context.cs = kUserCodeSegment;
    context.ss = kUserStackSegment;
    context.rsp = sp;
    context.rip = pc;
    return context;
}

} // namespace platform::linux_impl
