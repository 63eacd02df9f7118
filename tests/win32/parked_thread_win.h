// A thread of this test process, parked in a known function under a chosen number of frames,
// with the handle the library samples it through.
#pragma once

#include "platform/thread_handle.h"

#include <windows.h>

#include <cstdint>
#include <thread>

class ParkedThread
{
public:
    explicit ParkedThread(int depth) : thread_([this, depth] { recurse(depth); })
    {
        WaitForSingleObject(parked_, INFINITE);
    }
    ~ParkedThread()
    {
        SetEvent(release_);
        thread_.join();
        CloseHandle(reinterpret_cast<HANDLE>(handle.value));
        CloseHandle(parked_);
        CloseHandle(release_);
    }
    ParkedThread(const ParkedThread &) = delete;
    ParkedThread &operator=(const ParkedThread &) = delete;

    // The previous suspend count, which sampling and dumping must leave as it was.
    DWORD suspendCount() const
    {
        const auto thread = reinterpret_cast<HANDLE>(handle.value);
        const DWORD previous = SuspendThread(thread);
        ResumeThread(thread);
        return previous;
    }

    static bool isInParkingFunction(std::uint64_t address)
    {
        DWORD64 imageBase = 0;
        const auto start = reinterpret_cast<DWORD64>(&parkInKnownFunction);
        const RUNTIME_FUNCTION *function = RtlLookupFunctionEntry(start, &imageBase, nullptr);
        return function && address >= imageBase + function->BeginAddress &&
               address < imageBase + function->EndAddress;
    }

    platform::ThreadHandle handle;
    DWORD threadId = 0;

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
        self->handle = platform::openCurrentThread();
        self->threadId = GetCurrentThreadId();
        // Signals and waits in one step, so the stack is still once the test sees `parked_`.
        SignalObjectAndWait(self->parked_, self->release_, INFINITE, FALSE);
        asm volatile("" ::: "memory");
    }

    HANDLE parked_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE release_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread thread_;
};
