// A thread of this process parked at a known place, for sampling and dumping its stack.
#pragma once

#include "platform/thread_handle.h"

#include <windows.h>

#include <dbghelp.h>

#include <cstdint>
#include <thread>

// A thread parked in parkInKnownFunction under `depth` frames of recursion.
class ParkedThread
{
public:
    explicit ParkedThread(int depth)
    {
        thread_ = std::thread([this, depth] { recurse(depth); });
        WaitForSingleObject(parked_, INFINITE);
    }
    ~ParkedThread()
    {
        releaseAndJoin();
        CloseHandle(fullAccess_);
        CloseHandle(parked_);
        CloseHandle(release_);
    }
    ParkedThread(const ParkedThread &) = delete;
    ParkedThread &operator=(const ParkedThread &) = delete;

    platform::ThreadHandle handle() const { return handle_; }
    DWORD threadId() const { return threadId_; }
    DWORD suspendCount() const
    {
        const DWORD previous = SuspendThread(fullAccess_);
        ResumeThread(fullAccess_);
        return previous;
    }
    void releaseAndJoin()
    {
        SetEvent(release_);
        if (thread_.joinable())
            thread_.join();
    }
    DWORD waitResult() const { return waitResult_; }

    static bool isInKnownFunction(std::uint64_t address)
    {
        DWORD64 imageBase = 0;
        const auto start = reinterpret_cast<DWORD64>(&parkInKnownFunction);
        const RUNTIME_FUNCTION *function = RtlLookupFunctionEntry(start, &imageBase, nullptr);
        return function && address >= imageBase + function->BeginAddress &&
               address < imageBase + function->EndAddress;
    }

private:
    __attribute__((noinline)) void recurse(int depth)
    {
        if (depth > 0)
            recurse(depth - 1);
        else
            parkInKnownFunction(this);
        asm volatile("" ::: "memory"); // keeps every call a real frame, not a tail call
    }

    __attribute__((noinline)) static void parkInKnownFunction(ParkedThread *self)
    {
        self->handle_ = platform::openCurrentThread();
        self->threadId_ = GetCurrentThreadId();
        self->fullAccess_ = OpenThread(THREAD_ALL_ACCESS, FALSE, self->threadId_);
        // Signals and waits in one step, so the stack is still once the test sees `parked_`.
        self->waitResult_ = SignalObjectAndWait(self->parked_, self->release_, INFINITE, FALSE);
        asm volatile("" ::: "memory");
    }

    HANDLE parked_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE release_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    platform::ThreadHandle handle_;
    DWORD threadId_ = 0;
    HANDLE fullAccess_ = nullptr;
    DWORD waitResult_ = WAIT_FAILED;
    std::thread thread_;
};

// Wine's StackWalk64 works only once the symbol handler knows the process, which the library
// never initialises, so tests register the process themselves. Once per process.
inline bool registerProcessWithSymbolHandler()
{
    static const bool registered = [] {
        const auto symInitialize =
            reinterpret_cast<decltype(&SymInitialize)>(reinterpret_cast<void (*)()>(
                GetProcAddress(LoadLibraryA("dbghelp.dll"), "SymInitialize")));
        return symInitialize && symInitialize(GetCurrentProcess(), nullptr, TRUE);
    }();
    return registered;
}
