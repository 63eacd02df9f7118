// Stack samples without dbghelp (the process never loads it nor calls SymInitialize):
// stop, copy, resume, then unwind the copy.
#include "parked_thread_win.h"
#include "platform/stack_sampler.h"
#include "support/poll.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>

namespace
{

bool isInThisExecutable(std::uint64_t address)
{
    PVOID base = nullptr;
    return RtlPcToFileHeader(reinterpret_cast<PVOID>(address), &base) &&
           base == GetModuleHandleW(nullptr);
}

platform::StackSample sample(platform::ThreadHandle thread)
{
    const platform::StackSampler *sampler = platform::loadStackSampler();
    return sampler ? platform::sampleThread(*sampler, thread) : platform::StackSample{};
}

TEST(StackSampler, ParkedThreadGivesIdenticalSamplesInnermostInItsParkingFunctionCutAt31)
{
    for (const int depth : {3, 40}) {
        SCOPED_TRACE(depth);
        ParkedThread parked(depth);
        const platform::StackSample first = sample(parked.handle);
        ASSERT_FALSE(first.empty());
        EXPECT_EQ(first, sample(parked.handle));
        // Below the system's wait functions, the first frame of this program's code.
        const auto ours = std::find_if(first.begin(), first.end(), isInThisExecutable);
        ASSERT_NE(ours, first.end());
        EXPECT_TRUE(ParkedThread::isInParkingFunction(*ours));
        EXPECT_EQ(first.size() == platform::kMaxStackFrames, depth == 40) << first.size();
        EXPECT_EQ(parked.suspendCount(), 0u);
    }
}

// Calls itself to a depth that changes every turn, so no two samples need agree.
__attribute__((noinline)) void climb(std::atomic<bool> &stop, std::atomic<long> &turns, int depth)
{
    if (depth > 0)
        climb(stop, turns, depth - 1);
    else
        turns.fetch_add(1, std::memory_order_relaxed);
    asm volatile("" ::: "memory");
}

TEST(StackSampler, MovingThreadGivesDifferingSamples)
{
    std::atomic<bool> stop{false};
    std::atomic<long> turns{0};
    std::atomic<std::intptr_t> handle{0};
    std::thread mover([&] {
        handle = platform::openCurrentThread().value;
        for (int depth = 0; !stop.load(std::memory_order_relaxed); depth = (depth + 1) % 16)
            climb(stop, turns, depth);
    });
    ASSERT_TRUE(testsupport::pollUntil([&] { return handle.load() != 0; }));
    const platform::ThreadHandle thread{handle.load()};
    platform::StackSample previous = sample(thread);
    bool differed = false;
    for (int i = 0; i < 50 && !differed; ++i) {
        const long before = turns.load();
        ASSERT_TRUE(testsupport::pollUntil([&] { return turns.load() > before + 3; }));
        const platform::StackSample next = sample(thread);
        EXPECT_FALSE(next.empty());
        differed = next != previous;
        previous = next;
    }
    stop = true;
    mover.join();
    EXPECT_TRUE(differed);
    CloseHandle(reinterpret_cast<HANDLE>(thread.value));
}

TEST(StackSampler, UnusableHandlesGiveNothingAndLeaveSuspendCountsAsTheyWere)
{
    const struct {
        DWORD access;       // 0: no handle at all
        bool heldSuspended; // by the test, before sampling
    } cases[] = {
        {0, false},
        // Not stopped: the failed suspension must not be answered by a resume, which would
        // undo the test's own.
        {THREAD_QUERY_LIMITED_INFORMATION | THREAD_GET_CONTEXT, true},
        // Stopped, then GetThreadContext fails: the thread must be resumed.
        {THREAD_QUERY_LIMITED_INFORMATION | THREAD_SUSPEND_RESUME, false},
        {THREAD_QUERY_LIMITED_INFORMATION | THREAD_SUSPEND_RESUME, true},
        // No stack bounds without the query right.
        {THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT, false},
    };
    ParkedThread parked(2);
    const auto parkedHandle = reinterpret_cast<HANDLE>(parked.handle.value);
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.access << " held " << c.heldSuspended);
        if (c.heldSuspended)
            SuspendThread(parkedHandle);
        const HANDLE handle = c.access ? OpenThread(c.access, FALSE, parked.threadId) : nullptr;
        EXPECT_TRUE(sample({reinterpret_cast<std::intptr_t>(handle)}).empty());
        EXPECT_EQ(parked.suspendCount(), c.heldSuspended ? 1u : 0u);
        if (c.heldSuspended)
            ResumeThread(parkedHandle);
        if (handle)
            CloseHandle(handle);
    }
    // A thread that stopped itself would never resume.
    const platform::ThreadHandle self = platform::openCurrentThread();
    EXPECT_TRUE(sample(self).empty());
    CloseHandle(reinterpret_cast<HANDLE>(self.value));
}

} // namespace
