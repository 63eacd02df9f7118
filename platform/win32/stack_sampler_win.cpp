#include "platform/stack_sampler.h"

#include "platform/win32/dbghelp_win.h"

namespace platform
{
namespace
{

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

const StackSampler *loadStackSampler()
{
    const win32_impl::Dbghelp *dbghelp = win32_impl::loadDbghelp();
    return dbghelp ? &dbghelp->sampler : nullptr;
}

const char *stackSamplerLibraryName()
{
    return "dbghelp.dll";
}

StackSample sampleThread(const StackSampler &sampler, ThreadHandle thread)
{
    if (!sampler.stackWalk64 || !sampler.functionTableAccess || !sampler.moduleBase)
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
    while (sampler.stackWalk64(kMachineAmd64, GetCurrentProcess(), handle, &frame, &context,
                               nullptr, sampler.functionTableAccess, sampler.moduleBase, nullptr)) {
        sample.push_back(frame.AddrPC.Offset);
        if (sample.size() >= kMaxStackFrames)
            break;
    }
    return sample;
}

} // namespace platform
