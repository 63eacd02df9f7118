// Hangs that a sampler or dump writer running inside the process could turn into a
// permanent freeze: the stuck thread holds the process heap's lock at most instants, or the
// loader's lock for the whole hang. Both get their samples and their dump (by the helper)
// and run on afterwards with nothing left suspended.
#include "helper_dump_win.h"
#include "platform/stack_sampler.h"
#include "platform/thread_handle.h"
#include "platform/win32/capture_helper_win.h"
#include "platform/win32/capture_protocol_win.h"
#include "support/poll.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace
{

// Runs `hang` on a thread of its own, which becomes the watched thread (the one dumps list
// first), and reports that thread's id once it has started.
class StuckThread
{
public:
    explicit StuckThread(std::function<void()> hang)
        : thread_([this, hang = std::move(hang)] {
              handle_ = platform::openCurrentThread();
              id_ = GetCurrentThreadId();
              hang();
          })
    {
        testsupport::pollUntil([&] { return id_.load() != 0; });
    }
    ~StuckThread()
    {
        thread_.join();
        CloseHandle(reinterpret_cast<HANDLE>(handle_.value));
    }

    platform::ThreadHandle handle() const { return handle_; }
    DWORD id() const { return id_.load(); }

private:
    platform::ThreadHandle handle_;
    std::atomic<DWORD> id_{0};
    std::thread thread_;
};

std::wstring helperBesideThisTest()
{
    std::wstring path(MAX_PATH, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), MAX_PATH));
    return path.substr(0, path.find_last_of(L'\\') + 1) + platform::win32_impl::kCaptureHelperName;
}

// The helper beside this test; set before a hang starts (finding the path asks the loader).
void useHelperBesideThisTest()
{
    platform::win32_impl::setCaptureHelperForTesting(helperBesideThisTest(), L"", 60000);
}

// Three samples, as the lag rule takes, then the stuck dump; all while `stuck` hangs.
void sampleAndDump(const StuckThread &stuck, int &emptySamples, DumpAttempt &dumped)
{
    const platform::StackSampler *sampler = platform::loadStackSampler();
    ASSERT_NE(sampler, nullptr);
    for (int i = 0; i < 3; ++i)
        emptySamples += platform::sampleThread(*sampler, stuck.handle()).empty();
    TemporaryDirectory directory;
    dumped = dumpThisProcess(directory, L"stuck.dmp");
}

TEST(HangScenarios, ThreadLoopingOnTheProcessHeapLockIsSampledDumpedAndRunsOn)
{
    useHelperBesideThisTest();
    std::atomic<bool> release{false};
    std::atomic<long> turns{0};
    StuckThread stuck([&] {
        const HANDLE heap = GetProcessHeap();
        while (!release.load(std::memory_order_relaxed)) {
            HeapLock(heap);
            for (volatile int spin = 0; spin < 1000; spin = spin + 1) {
            }
            HeapUnlock(heap);
            turns.fetch_add(1, std::memory_order_relaxed);
        }
    });
    int empty = 0;
    DumpAttempt dumped;
    sampleAndDump(stuck, empty, dumped);
    const long after = turns.load();
    EXPECT_TRUE(testsupport::pollUntil([&] { return turns.load() > after; })) << "runs on";
    EXPECT_EQ(suspendCountOf(stuck.id()), 0u);
    release = true;

    EXPECT_EQ(empty, 0);
    ASSERT_EQ(dumped.outcome, platform::DumpOutcome::Written);
    ASSERT_TRUE(dumped.dump) << dumped.error;
    EXPECT_EQ(dumped.dump->threads.front().threadId, stuck.id());
}

// The stuck thread is inside a DllMain, holding the loader's lock until released: nothing on
// the sampling or dumping path may wait for the loader.
TEST(HangScenarios, ThreadStuckInDllMainIsSampledAndDumpedWithoutWaitingForTheLoader)
{
    useHelperBesideThisTest();
    const std::wstring prefix = L"keelanr-dllmain-" + std::to_wstring(GetCurrentProcessId());
    const HANDLE entered = CreateEventW(nullptr, FALSE, FALSE, (prefix + L"-entered").c_str());
    const HANDLE release = CreateEventW(nullptr, TRUE, FALSE, (prefix + L"-release").c_str());
    HMODULE loaded = nullptr;
    int empty = 0;
    DumpAttempt dumped;
    DWORD stuckId = 0;
    DWORD suspendCount = 0;
    {
        StuckThread stuck([&] { loaded = LoadLibraryW(KEELANR_DLLMAIN_HANG_DLL); });
        stuckId = stuck.id();
        ASSERT_EQ(WaitForSingleObject(entered, 60000), WAIT_OBJECT_0);
        sampleAndDump(stuck, empty, dumped);
        suspendCount = suspendCountOf(stuckId);
        SetEvent(release);
    }

    EXPECT_EQ(empty, 0);
    EXPECT_EQ(suspendCount, 0u);
    ASSERT_EQ(dumped.outcome, platform::DumpOutcome::Written);
    ASSERT_TRUE(dumped.dump) << dumped.error;
    EXPECT_EQ(dumped.dump->threads.front().threadId, stuckId);
    EXPECT_NE(loaded, nullptr);
    CloseHandle(entered);
    CloseHandle(release);
    FreeLibrary(loaded);
}

} // namespace
