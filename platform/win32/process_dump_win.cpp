// Dumps are written by the helper process beside the module (capture_helper_win.h). Where
// only the DLL was copied, the dump is written in process, as a last resort, by
// MiniDumpWriteDump behind a guard that turns a fault inside the writer into Faulted.
//
// mingw's g++ has no __try/__except. The guard is a vectored exception handler that acts only
// for the thread that is writing: it resumes that thread at a context captured just before the
// call, abandoning the writer's frames, and the guard reports Faulted. Faults on other threads
// and faults outside the call go on to whatever handlers the host installed.
#include "platform/capture_helper.h"
#include "platform/process_dump.h"

#include "platform/win32/capture_helper_win.h"
#include "platform/win32/dbghelp_win.h"

#include <atomic>
#include <mutex>

// RtlCaptureContext under a name that tells the compiler the call may return a second time,
// as setjmp does: the fault handler resumes the writing thread at the captured point.
extern "C" __attribute__((returns_twice)) void
captureResumeContext(PCONTEXT context) __asm__("RtlCaptureContext");

namespace platform
{
namespace
{

struct GuardedWrite {
    DWORD threadId = 0;
    CONTEXT resumeContext{};
    // Set by the handler while the compiler's view of this frame is stale.
    volatile bool faulted = false;
};

// dbghelp is single-threaded; writes are serialised, so one guarded write is active at most.
std::mutex writeMutex;
std::atomic<GuardedWrite *> activeWrite{nullptr};
std::atomic<DWORD> faultInjectionThread{0};
std::atomic<bool> writtenInProcess{false};

// Errors (access violation, illegal instruction, stack overflow, heap corruption, ...) end
// the write. Informational and warning exceptions, such as debugger output or a breakpoint
// meant for an attached debugger, are not faults and pass on.
bool isFault(DWORD exceptionCode)
{
    return (exceptionCode >> 30) == 3;
}

LONG CALLBACK resumeAfterFault(EXCEPTION_POINTERS *exception)
{
    GuardedWrite *write = activeWrite.load(std::memory_order_acquire);
    if (!write || write->threadId != GetCurrentThreadId() ||
        !isFault(exception->ExceptionRecord->ExceptionCode))
        return EXCEPTION_CONTINUE_SEARCH;
    write->faulted = true;
    *exception->ContextRecord = write->resumeContext;
    return EXCEPTION_CONTINUE_EXECUTION;
}

// An address the compiler cannot see through, so the store below is a real access violation.
int *volatile unmappedAddress = nullptr;

// Called back by the writer from inside MiniDumpWriteDump, so the injected fault is raised
// with the writer's own frames between the guard and the faulting instruction.
BOOL CALLBACK faultInsideWriter(PVOID, PMINIDUMP_CALLBACK_INPUT, PMINIDUMP_CALLBACK_OUTPUT)
{
    *unmappedAddress = 1;
    return TRUE;
}

MINIDUMP_CALLBACK_INFORMATION faultingCallback{faultInsideWriter, nullptr};

bool takeInjectedFault()
{
    DWORD thisThread = GetCurrentThreadId();
    return faultInjectionThread.compare_exchange_strong(thisThread, 0);
}

DumpOutcome writeDumpInProcess(FileHandle file)
{
    const win32_impl::Dbghelp *dbghelp = win32_impl::loadDbghelp();
    if (!dbghelp || !dbghelp->miniDumpWriteDump)
        return DumpOutcome::Failed;
    const PMINIDUMP_CALLBACK_INFORMATION callback =
        takeInjectedFault() ? &faultingCallback : nullptr;

    const std::lock_guard<std::mutex> lock(writeMutex);
    GuardedWrite write;
    write.threadId = GetCurrentThreadId();
    activeWrite.store(&write, std::memory_order_release);
    const PVOID handler = AddVectoredExceptionHandler(1, resumeAfterFault);

    captureResumeContext(&write.resumeContext);
    BOOL written = FALSE;
    if (!write.faulted)
        written = dbghelp->miniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(),
                                             reinterpret_cast<HANDLE>(file), MiniDumpNormal,
                                             nullptr, nullptr, callback);

    RemoveVectoredExceptionHandler(handler);
    activeWrite.store(nullptr, std::memory_order_release);
    if (write.faulted)
        return DumpOutcome::Faulted;
    return written ? DumpOutcome::Written : DumpOutcome::Failed;
}

} // namespace

bool loadDumpWriter()
{
    // With the helper present nothing is loaded: the stuck thread may hold the loader's lock.
    if (win32_impl::captureHelperPresent())
        return true;
    const win32_impl::Dbghelp *dbghelp = win32_impl::loadDbghelp();
    return dbghelp && dbghelp->miniDumpWriteDump;
}

DumpOutcome writeProcessDump(FileHandle file)
{
    if (file == kInvalidFile)
        return DumpOutcome::Failed;
    // An injected fault is meant for the in-process writer's guard.
    if (faultInjectionThread.load() != GetCurrentThreadId() && win32_impl::captureHelperPresent()) {
        return win32_impl::writeDumpWithHelper(reinterpret_cast<HANDLE>(file),
                                               win32_impl::watchedThread())
                   ? DumpOutcome::Written
                   : DumpOutcome::Failed;
    }
    writtenInProcess.store(true);
    return writeDumpInProcess(file);
}

std::string takeCaptureFallbackNotice()
{
    static std::atomic<bool> noticed{false};
    if (!writtenInProcess.load() || noticed.exchange(true))
        return {};
    return "anr dumps taken in process: keelanr-capture.exe is not beside the module";
}

void injectFaultIntoNextDumpForTesting()
{
    faultInjectionThread.store(GetCurrentThreadId());
}

} // namespace platform
