// Sampling (SuspendThread, GetThreadContext, StackWalk64) and dumping (MiniDumpWriteDump
// behind its fault guard) a parked thread of this process, with Wine's dbghelp.
#include "minidump/minidump_reader.h"
#include "platform/process_dump.h"
#include "platform/stack_sampler.h"
#include "platform/thread_handle.h"
#include "platform/win32/dbghelp_win.h"
#include "test_files_win.h"

#include <windows.h>

#include <dbghelp.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

namespace
{

// A thread parked in parkInKnownFunction under `depth` frames of recursion.
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

    // The previous suspend count, which sampling must leave at 0.
    DWORD suspendCount() const
    {
        const auto thread = reinterpret_cast<HANDLE>(handle.value);
        const DWORD previous = SuspendThread(thread);
        ResumeThread(thread);
        return previous;
    }

    static bool isInKnownFunction(std::uint64_t address)
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

TEST(StackSampler, ParkedThreadGivesIdenticalSamplesCutAt31AndUnusableHandlesGiveNothing)
{
    const platform::StackSampler *sampler = platform::loadStackSampler();
    ASSERT_NE(sampler, nullptr);
    // Wine's StackWalk64 works only once the symbol handler knows the process, which the
    // library never initialises.
    const auto symInitialize = reinterpret_cast<decltype(&SymInitialize)>(
        reinterpret_cast<void (*)()>(GetProcAddress(LoadLibraryA("dbghelp.dll"), "SymInitialize")));
    ASSERT_TRUE(symInitialize && symInitialize(GetCurrentProcess(), nullptr, TRUE));
    for (const int depth : {3, 40}) {
        SCOPED_TRACE(depth);
        ParkedThread parked(depth);
        const platform::StackSample first = platform::sampleThread(*sampler, parked.handle);
        ASSERT_FALSE(first.empty());
        EXPECT_EQ(first, platform::sampleThread(*sampler, parked.handle));
        EXPECT_TRUE(std::any_of(first.begin(), first.end(), ParkedThread::isInKnownFunction));
        EXPECT_EQ(parked.suspendCount(), 0u);
        EXPECT_EQ(first.size() == platform::kMaxStackFrames, depth == 40) << first.size();
    }

    const struct {
        DWORD access; // 0: no handle at all
        bool withoutWalkRoutine;
    } cases[] = {
        {0, false},
        {THREAD_QUERY_INFORMATION, false},
        // Suspended, then GetThreadContext fails: the thread must be resumed.
        {THREAD_SUSPEND_RESUME, false},
        {THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT, true},
    };
    ParkedThread parked(2);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.access);
        platform::StackSampler walker = *sampler;
        if (c.withoutWalkRoutine)
            walker.moduleBase = nullptr;
        const HANDLE handle = c.access ? OpenThread(c.access, FALSE, parked.threadId) : nullptr;
        EXPECT_TRUE(
            platform::sampleThread(walker, {reinterpret_cast<std::intptr_t>(handle)}).empty());
        EXPECT_EQ(parked.suspendCount(), 0u);
        if (handle)
            CloseHandle(handle);
    }
}

// Wine's dbghelp writes the unwind data of every module as thousands of small, partly
// overlapping memory ranges, which the strict reader refuses; the memory list's directory
// entry is turned into an unused one (stacks are still found through the thread list).
std::vector<std::uint8_t> withoutMemoryList(const std::wstring &path)
{
    std::ifstream file(std::filesystem::path(path), std::ios::binary);
    std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(file), {}};
    const auto word = [&](std::size_t at) {
        std::uint32_t value = 0;
        if (at + 4 <= bytes.size())
            std::memcpy(&value, bytes.data() + at, 4);
        return value;
    };
    for (std::size_t i = 0, entry = word(12); i < word(8) && entry + 12 <= bytes.size();
         ++i, entry += 12)
        if (word(entry) == 5) // MemoryListStream
            std::memset(bytes.data() + entry, 0, 12);
    return bytes;
}

// Counts one test exception and lets the raiser continue.
constexpr DWORD kTestException = 0xE0D0C0B0; // an error, like the faults the guard catches
LONG CALLBACK countTestException(EXCEPTION_POINTERS *exception)
{
    if (exception->ExceptionRecord->ExceptionCode != kTestException)
        return EXCEPTION_CONTINUE_SEARCH;
    ++*reinterpret_cast<int *>(exception->ExceptionRecord->ExceptionInformation[0]);
    return EXCEPTION_CONTINUE_EXECUTION;
}

TEST(ProcessDump, AFaultIsCaughtThenTheNextDumpGoesIntoANewFileWithTheParkedThreadsStack)
{
    ASSERT_TRUE(platform::loadDumpWriter());
    TemporaryDirectory directory;
    const std::wstring faulted = directory / L"1.dmp";
    platform::FileHandle file = platform::createDumpFile(faulted);
    ASSERT_NE(file, platform::kInvalidFile);
    platform::injectFaultIntoNextDumpForTesting();
    EXPECT_EQ(platform::writeProcessDump(file), platform::DumpOutcome::Faulted);
    platform::closeDumpFile(file);
    platform::deleteDumpFile(faulted);
    EXPECT_EQ(GetFileAttributesW(faulted.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(platform::writeProcessDump(platform::kInvalidFile), platform::DumpOutcome::Failed);

    // The injection is used up, and the writer still works after being cut short.
    ParkedThread parked(8);
    const std::wstring path = directory / L"1733412345678.dmp";
    file = platform::createDumpFile(path);
    ASSERT_NE(file, platform::kInvalidFile);
    EXPECT_EQ(platform::createDumpFile(path), platform::kInvalidFile) << "an existing file, open";
    ASSERT_EQ(platform::writeProcessDump(file), platform::DumpOutcome::Written);
    platform::closeDumpFile(file);
    EXPECT_EQ(platform::createDumpFile(path), platform::kInvalidFile) << "or closed, is kept";
    EXPECT_EQ(platform::createDumpFile(directory / L"missing\\1.dmp"), platform::kInvalidFile);
    std::string error;
    const auto dump = minidump_test::Minidump::parse(withoutMemoryList(path), error);
    ASSERT_TRUE(dump) << error;
    EXPECT_EQ(dump->processorArchitecture, 9) << "AMD64";
    const minidump_test::Thread *thread = dump->findThread(parked.threadId);
    ASSERT_NE(thread, nullptr);
    const std::optional<std::uint64_t> rsp =
        dump->contextValue(*thread, minidump_test::kContextRsp);
    ASSERT_TRUE(rsp) << "the parked thread has no context";
    EXPECT_GE(*rsp, thread->stackStart);
    EXPECT_LT(*rsp, thread->stackStart + thread->stack.size) << "its stack covers its SP";

    // An error raised outside a dump reaches the other handlers.
    int seen = 0;
    const PVOID handler = AddVectoredExceptionHandler(0, countTestException);
    const ULONG_PTR argument = reinterpret_cast<ULONG_PTR>(&seen);
    RaiseException(kTestException, 0, 1, &argument);
    RemoveVectoredExceptionHandler(handler);
    EXPECT_EQ(seen, 1);
}

} // namespace
