// Sampling a real thread of this process with SuspendThread, GetThreadContext and StackWalk64.
#include "parked_thread_win.h"
#include "platform/stack_sampler.h"
#include "platform/win32/dbghelp_win.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>

namespace
{

class StackSamplerTest : public testing::Test
{
protected:
    void SetUp() override
    {
        sampler = platform::loadStackSampler();
        ASSERT_NE(sampler, nullptr);
        ASSERT_TRUE(registerProcessWithSymbolHandler());
    }
    platform::StackSample sample(const ParkedThread &thread)
    {
        return platform::sampleThread(*sampler, thread.handle());
    }
    const platform::StackSampler *sampler = nullptr;
};

TEST_F(StackSamplerTest, ParkedThreadGivesIdenticalSamplesThroughTheKnownFunctionCutAt31)
{
    for (const int depth : {3, 40}) {
        SCOPED_TRACE(depth);
        ParkedThread parked(depth);
        const platform::StackSample first = sample(parked);
        ASSERT_FALSE(first.empty());
        EXPECT_EQ(first, sample(parked));
        EXPECT_TRUE(std::any_of(first.begin(), first.end(), ParkedThread::isInKnownFunction));
        EXPECT_EQ(parked.suspendCount(), 0u);
        EXPECT_TRUE(depth == 3 ? first.size() < platform::kMaxStackFrames
                               : first.size() == platform::kMaxStackFrames)
            << first.size();
        parked.releaseAndJoin();
        EXPECT_EQ(parked.waitResult(), WAIT_OBJECT_0) << "the sampled wait did not end normally";
    }
}

TEST_F(StackSamplerTest, UnusableHandleGivesAnEmptySampleAndLeavesNoThreadSuspended)
{
    const struct {
        const char *name;
        DWORD access; // 0: no handle at all
        bool withoutWalkRoutine;
    } cases[] = {
        {"NullHandle", 0, false},
        {"QueryOnly", THREAD_QUERY_INFORMATION, false},
        // Suspended, then GetThreadContext fails: the thread must be resumed.
        {"SuspendWithoutContextRight", THREAD_SUSPEND_RESUME, false},
        {"MissingModuleBaseRoutine", THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT, true},
    };
    ParkedThread parked(2);
    for (const auto &c : cases) {
        platform::StackSampler walker = *sampler;
        if (c.withoutWalkRoutine)
            walker.moduleBase = nullptr;
        const HANDLE handle = c.access ? OpenThread(c.access, FALSE, parked.threadId()) : nullptr;
        const platform::ThreadHandle thread{reinterpret_cast<std::intptr_t>(handle)};
        EXPECT_TRUE(platform::sampleThread(walker, thread).empty()) << c.name;
        EXPECT_EQ(parked.suspendCount(), 0u) << c.name;
        if (handle)
            CloseHandle(handle);
    }
}

} // namespace
