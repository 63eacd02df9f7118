// Sampling a real thread of this process with SuspendThread, GetThreadContext and dbghelp's
// StackWalk64. Windows only: the Linux sampler signals the thread instead of suspending it,
// and its own tests cover that.
#include "parked_thread_win.h"
#include "platform/debug_library.h"
#include "platform/stack_capture.h"
#include "symbol_handler_win.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>

namespace
{

class StackCaptureTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_NE(platform::loadDebugLibrary(entryPoints), nullptr);
        ASSERT_TRUE(registerProcessWithSymbolHandler());
    }
    platform::DebugEntryPoints entryPoints;
};

TEST_F(StackCaptureTest, ThreadThatDoesNotMoveGivesIdenticalSamplesThroughTheKnownFunction)
{
    ParkedThread parked(3);
    const platform::StackSample first = platform::captureThreadStack(entryPoints, parked.handle());
    const platform::StackSample second = platform::captureThreadStack(entryPoints, parked.handle());

    ASSERT_FALSE(first.empty());
    EXPECT_LT(first.size(), platform::kMaxStackFrames);
    EXPECT_EQ(first, second);
    EXPECT_TRUE(std::any_of(first.begin(), first.end(), ParkedThread::isInKnownFunction));
    EXPECT_EQ(parked.suspendCount(), 0u);
    parked.releaseAndJoin();
    EXPECT_EQ(parked.waitResult(), WAIT_OBJECT_0) << "the sampled wait did not end normally";
}

TEST_F(StackCaptureTest, DeepStackIsCutAtThirtyOneFrames)
{
    ParkedThread parked(40);
    const platform::StackSample sample = platform::captureThreadStack(entryPoints, parked.handle());
    EXPECT_EQ(sample.size(), platform::kMaxStackFrames);
    EXPECT_EQ(parked.suspendCount(), 0u);
}

struct UnusableCase {
    const char *name;
    DWORD access; // 0: no handle at all
    bool withoutWalkRoutine;
};

class UnusableHandleTest : public StackCaptureTest, public testing::WithParamInterface<UnusableCase>
{
};

TEST_P(UnusableHandleTest, GivesAnEmptySampleAndLeavesNoThreadSuspended)
{
    ParkedThread parked(2);
    const UnusableCase testCase = GetParam();
    HANDLE handle =
        testCase.access ? OpenThread(testCase.access, FALSE, parked.threadId()) : nullptr;
    if (testCase.withoutWalkRoutine)
        entryPoints.symGetModuleBase64 = nullptr;

    const platform::ThreadHandle thread{reinterpret_cast<std::intptr_t>(handle)};
    EXPECT_TRUE(platform::captureThreadStack(entryPoints, thread).empty());
    EXPECT_EQ(parked.suspendCount(), 0u);
    if (handle)
        CloseHandle(handle);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnusableHandleTest,
    testing::Values(UnusableCase{"NullHandle", 0, false},
                    // SuspendThread and GetThreadContext both fail for lack of rights.
                    UnusableCase{"QueryOnly", THREAD_QUERY_INFORMATION, false},
                    // Suspended, then GetThreadContext fails: the thread must be resumed.
                    UnusableCase{"SuspendWithoutContextRight", THREAD_SUSPEND_RESUME, false},
                    // A full handle, but a walk routine is missing.
                    UnusableCase{"MissingModuleBaseRoutine",
                                 THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT, true}),
    [](const testing::TestParamInfo<UnusableCase> &info) { return info.param.name; });

} // namespace
