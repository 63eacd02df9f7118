// Stack samples without a debug-help library: stop the thread, copy its registers and the
// used part of its stack into a buffer allocated beforehand, let it run on, then unwind the
// copy with the modules' own unwind tables (RtlVirtualUnwind). The thread stands still only
// for the copy; the walk runs while it runs, and never waits for the loader.
#include "platform/stack_sampler.h"

#include "platform/load_once.h"
#include "platform/win32/module_tables_win.h"

#include <windows.h>

#include <winternl.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

namespace platform
{

struct StackSampler {
    // One sample at a time: they share the copy and its buffer.
    mutable std::mutex mutex;
    // The copy of a stack, plus room past its end: unwinding the frame at the edge of a
    // stack cut to the buffer's size reads a little beyond the copy, and that stays inside.
    mutable std::vector<DWORD64> stackCopy;
    mutable win32_impl::ModuleTables modules;
};

namespace
{

constexpr std::size_t kStackCopyBytes = 1024 * 1024; // a thread's default stack reservation
constexpr std::size_t kStackCopySlackBytes = 64 * 1024;
constexpr DWORD kSuspendFailed = static_cast<DWORD>(-1);
constexpr int kGeneralRegisters = 16; // CONTEXT's Rax to R15, in the unwinder's numbering

// NtQueryInformationThread's ThreadBasicInformation, which no SDK header declares in full.
constexpr int kThreadBasicInformation = 0;
struct ThreadBasicInformation {
    NTSTATUS exitStatus;
    PVOID teb; // begins with NT_TIB, whose StackBase and StackLimit bound the committed stack
    HANDLE processId;
    HANDLE threadId;
    KAFFINITY affinityMask;
    LONG priority;
    LONG basePriority;
};

// The copied part of a stack: `bytes` bytes from `start` in the thread's address space are
// at `copy` in ours.
struct CopiedStack {
    DWORD64 start = 0;
    DWORD64 bytes = 0;
    DWORD64 *copy = nullptr;

    DWORD64 copyBegin() const { return reinterpret_cast<DWORD64>(copy); }
    DWORD64 copyEnd() const { return copyBegin() + bytes; }
    bool holdsCopied(DWORD64 address) const
    {
        return address >= copyBegin() && address < copyEnd();
    }
    DWORD64 relocated(DWORD64 value) const
    {
        return value >= start && value < start + bytes ? copyBegin() + (value - start) : value;
    }
};

bool isGuardPage(DWORD64 address)
{
    MEMORY_BASIC_INFORMATION region{};
    return !VirtualQuery(reinterpret_cast<LPCVOID>(address), &region, sizeof region) ||
           (region.Protect & PAGE_GUARD);
}

// Stops the thread, copies its registers into `context` and its stack from the stack pointer
// up into `stack.copy`, and lets it run on. False when it could not be stopped (then it is
// not resumed: that would undo someone else's suspension) or nothing was copied.
bool copyThreadState(HANDLE thread, const NT_TIB &tib, CONTEXT &context, CopiedStack &stack,
                     std::size_t capacityBytes)
{
    if (SuspendThread(thread) == kSuspendFailed)
        return false;
    // The thread is stopped until ResumeThread below, and may hold any lock: the heap's, the
    // loader's, the C runtime's. Nothing in this window allocates, takes a lock, logs or
    // calls a library that might; the buffer was allocated before.
    bool copied = false;
    // GetThreadContext also waits until the thread has really stopped.
    if (GetThreadContext(thread, &context)) {
        const auto base = reinterpret_cast<DWORD64>(tib.StackBase);
        const auto limit = reinterpret_cast<DWORD64>(tib.StackLimit);
        const DWORD64 start = context.Rsp & ~DWORD64{7};
        // Below the limit lies the guard page, whose first touch would move it.
        if (start >= limit && start < base && !isGuardPage(start)) {
            stack.start = start;
            stack.bytes = std::min<DWORD64>(base - start, capacityBytes);
            std::memcpy(stack.copy, reinterpret_cast<const void *>(start), stack.bytes);
            copied = true;
        }
    }
    ResumeThread(thread);
    return copied;
}

// Makes the copy self-contained: every word and register that points into the copied part of
// the original stack (saved frame pointers, the stack pointer) points into the copy instead.
void relocateIntoCopy(const CopiedStack &stack, CONTEXT &context)
{
    for (DWORD64 *word = stack.copy; word < stack.copy + stack.bytes / 8; ++word)
        *word = stack.relocated(*word);
    DWORD64 *registers = &context.Rax;
    for (int i = 0; i < kGeneralRegisters; ++i)
        registers[i] = stack.relocated(registers[i]);
}

// Appends the return addresses of the frames outer to context.Rip, innermost first. Stops at
// an address outside a pinned module, a stack pointer that leaves the copy or does not rise,
// and a frame whose frame register points outside the copy.
void unwindCopy(win32_impl::ModuleTables &modules, const CopiedStack &stack, CONTEXT &context,
                StackSample &sample)
{
    while (sample.size() < kMaxStackFrames) {
        win32_impl::ModuleTable module;
        const DWORD64 sp = context.Rsp;
        if (!stack.holdsCopied(sp) || !modules.find(context.Rip, module))
            return;
        if (const RUNTIME_FUNCTION *entry =
                win32_impl::ModuleTables::functionEntry(module, context.Rip)) {
            // UNWIND_INFO's fourth byte: the frame register in its low four bits.
            const auto *unwindInfo =
                reinterpret_cast<const BYTE *>(module.base + entry->UnwindData);
            const int frameRegister = unwindInfo[3] & 0x0F;
            if (frameRegister != 0 && !stack.holdsCopied((&context.Rax)[frameRegister]))
                return;
            PVOID handlerData = nullptr;
            DWORD64 establisherFrame = 0;
            RtlVirtualUnwind(UNW_FLAG_NHANDLER, module.base, context.Rip,
                             const_cast<RUNTIME_FUNCTION *>(entry), &context, &handlerData,
                             &establisherFrame, nullptr);
        } else {
            // A leaf function: its return address is at the stack pointer.
            context.Rip = *reinterpret_cast<const DWORD64 *>(sp);
            context.Rsp = sp + 8;
        }
        if (context.Rip == 0 || context.Rsp <= sp || context.Rsp > stack.copyEnd())
            return;
        sample.push_back(context.Rip);
    }
}

} // namespace

const StackSampler *loadStackSampler()
{
    static StackSampler sampler;
    static LoadOnce<StackSampler> once;
    return once.get([]() -> const StackSampler * {
        sampler.stackCopy.resize((kStackCopyBytes + kStackCopySlackBytes) / 8);
        return &sampler;
    });
}

const char *stackSamplerLibraryName()
{
    return "ntdll.dll";
}

StackSample sampleThread(const StackSampler &sampler, ThreadHandle thread)
{
    StackSample sample;
    sample.reserve(kMaxStackFrames);
    const HANDLE handle = reinterpret_cast<HANDLE>(thread.value);
    ThreadBasicInformation information{};
    if (!handle ||
        NtQueryInformationThread(handle, static_cast<THREADINFOCLASS>(kThreadBasicInformation),
                                 &information, sizeof information, nullptr) < 0 ||
        !information.teb)
        return sample;
    // A thread that stopped itself would never copy or resume anything.
    if (reinterpret_cast<DWORD_PTR>(information.threadId) == GetCurrentThreadId())
        return sample;

    const std::lock_guard<std::mutex> lock(sampler.mutex);
    alignas(16) CONTEXT context{};
    context.ContextFlags = CONTEXT_FULL;
    CopiedStack stack;
    stack.copy = sampler.stackCopy.data();
    if (!copyThreadState(handle, *static_cast<const NT_TIB *>(information.teb), context, stack,
                         kStackCopyBytes))
        return sample;
    relocateIntoCopy(stack, context);
    sample.push_back(context.Rip);
    unwindCopy(sampler.modules, stack, context, sample);
    return sample;
}

} // namespace platform
