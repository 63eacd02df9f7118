#include "platform/stack_sampler.h"

#include <windows.h>

#include <dbghelp.h>

namespace platform
{
namespace
{

using StackWalk64Function = decltype(&StackWalk64);
using FunctionTableAccessFunction = PFUNCTION_TABLE_ACCESS_ROUTINE64;
using ModuleBaseFunction = PGET_MODULE_BASE_ROUTINE64;

constexpr DWORD kContextFullAmd64 = 0x0010000B; // CONTEXT_FULL: control, integer, floating point
constexpr DWORD kMachineAmd64 = 0x8664;         // IMAGE_FILE_MACHINE_AMD64

// Resumes the thread on every way out once it has been suspended. Neither result is
// examined: a handle without the rights fails both calls alike.
class SuspendedThread
{
public:
    explicit SuspendedThread(HANDLE thread) : thread_(thread) { SuspendThread(thread_); }
    ~SuspendedThread() { ResumeThread(thread_); }
    SuspendedThread(const SuspendedThread &) = delete;
    SuspendedThread &operator=(const SuspendedThread &) = delete;

private:
    HANDLE thread_;
};

} // namespace

StackSample captureThreadStack(const DebugEntryPoints &entryPoints, ThreadHandle thread)
{
    const auto stackWalk64 = reinterpret_cast<StackWalk64Function>(entryPoints.stackWalk64);
    const auto functionTableAccess =
        reinterpret_cast<FunctionTableAccessFunction>(entryPoints.symFunctionTableAccess64);
    const auto moduleBase = reinterpret_cast<ModuleBaseFunction>(entryPoints.symGetModuleBase64);
    if (!stackWalk64 || !functionTableAccess || !moduleBase)
        return {};

    alignas(16) CONTEXT context{};
    context.ContextFlags = kContextFullAmd64;
    // The frozen thread may hold the heap's lock: nothing below may allocate until it runs.
    StackSample sample;
    sample.reserve(kMaxStackFrames);

    const HANDLE handle = reinterpret_cast<HANDLE>(thread.value);
    const SuspendedThread suspended(handle);
    if (!GetThreadContext(handle, &context))
        return sample;

    STACKFRAME64 frame{};
    frame.AddrPC.Offset = context.Rip;
    frame.AddrPC.Mode = AddrModeFlat;
    frame.AddrFrame.Offset = context.Rbp;
    frame.AddrFrame.Mode = AddrModeFlat;
    frame.AddrStack.Offset = context.Rsp;
    frame.AddrStack.Mode = AddrModeFlat;
    // The frame and the context carry the walk's state from one step to the next.
    while (stackWalk64(kMachineAmd64, GetCurrentProcess(), handle, &frame, &context, nullptr,
                       functionTableAccess, moduleBase, nullptr)) {
        sample.push_back(frame.AddrPC.Offset);
        if (sample.size() >= kMaxStackFrames)
            break;
    }
    return sample;
}

} // namespace platform
