// Dump files and MiniDumpWriteDump behind its fault guard, on Windows (dbghelp under Wine).
// The Linux writer is this library's own and has its own tests.
#include "minidump/minidump_reader.h"
#include "parked_thread_win.h"
#include "platform/debug_library.h"
#include "platform/minidump_file.h"
#include "test_files_win.h"

#include <windows.h>

#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace
{

class MinidumpTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_NE(platform::loadDebugLibrary(entryPoints), nullptr);
        ASSERT_NE(entryPoints.miniDumpWriteDump, nullptr);
    }

    platform::DumpOutcome writeDump(const std::wstring &path)
    {
        const platform::FileHandle file = platform::createDumpFile(path);
        EXPECT_NE(file, platform::kInvalidFile);
        const platform::DumpOutcome outcome =
            platform::writeMiniDumpGuarded(entryPoints.miniDumpWriteDump, file, 0);
        platform::closeDumpFile(file);
        return outcome;
    }

    platform::DebugEntryPoints entryPoints;
    TemporaryDirectory directory;
};

std::vector<DWORD> threadsOfThisProcess()
{
    std::vector<DWORD> threads;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId())
            threads.push_back(entry.th32ThreadID);
    CloseHandle(snapshot);
    return threads;
}

// Wine's dbghelp lists the unwind data of every module as thousands of small memory ranges,
// some overlapping, which the strict reader refuses (this library's own Linux writer never
// writes them). The test turns that directory entry into an unused one; thread stacks are
// located through the thread list and are still checked.
std::vector<std::uint8_t> withoutMemoryList(const std::string &file)
{
    constexpr std::uint32_t kMemoryListStream = 5;
    std::vector<std::uint8_t> bytes(file.begin(), file.end());
    const auto word = [&](std::size_t at) {
        std::uint32_t value = 0;
        if (at + 4 <= bytes.size())
            std::memcpy(&value, bytes.data() + at, 4);
        return value;
    };
    const std::uint32_t streams = word(8);
    const std::uint32_t directory = word(12);
    for (std::uint32_t i = 0; i < streams; ++i) {
        const std::size_t entry = directory + std::size_t{i} * 12;
        if (entry + 12 <= bytes.size() && word(entry) == kMemoryListStream)
            std::memset(bytes.data() + entry, 0, 12);
    }
    return bytes;
}

TEST_F(MinidumpTest, DumpParsesAndListsEveryThreadWithItsStack)
{
    std::vector<std::unique_ptr<ParkedThread>> parked;
    for (const int depth : {1, 8, 40})
        parked.push_back(std::make_unique<ParkedThread>(depth));
    const std::vector<DWORD> threads = threadsOfThisProcess();

    const std::wstring path = directory / L"1733412345678.dmp";
    ASSERT_EQ(writeDump(path), platform::DumpOutcome::Written);

    std::string error;
    const auto dump = minidump_test::Minidump::parse(withoutMemoryList(readFile(path)), error);
    ASSERT_TRUE(dump) << error;
    EXPECT_EQ(dump->processorArchitecture(), 9) << "AMD64";
    const auto listed = [&](DWORD id) {
        return std::find_if(dump->threads().begin(), dump->threads().end(),
                            [&](const minidump_test::Thread &t) { return t.threadId == id; });
    };
    for (const DWORD id : threads)
        EXPECT_NE(listed(id), dump->threads().end()) << "thread " << id << " is missing";
    // A parked thread's stack is in the dump around its stack pointer.
    for (const auto &thread : parked) {
        const auto entry = listed(thread->threadId());
        ASSERT_NE(entry, dump->threads().end());
        const std::optional<std::uint64_t> rsp =
            dump->contextValue(*entry, minidump_test::kContextRsp);
        ASSERT_TRUE(rsp) << "no context for thread " << entry->threadId;
        EXPECT_GE(*rsp, entry->stackStart);
        EXPECT_LT(*rsp, entry->stackStart + entry->stack.size);
    }
}

TEST_F(MinidumpTest, ExistingFileOfTheSameNameIsNotReplaced)
{
    // Two dumps named in the same millisecond: the second creation must fail.
    const std::wstring path = directory / L"1733412345678.dmp";
    const platform::FileHandle first = platform::createDumpFile(path);
    ASSERT_NE(first, platform::kInvalidFile);
    EXPECT_EQ(platform::createDumpFile(path), platform::kInvalidFile) << "while the first is open";
    platform::closeDumpFile(first);
    EXPECT_EQ(platform::createDumpFile(path), platform::kInvalidFile) << "after it was closed";

    platform::deleteDumpFile(path);
    EXPECT_FALSE(fileExists(path));
    EXPECT_EQ(platform::createDumpFile(directory / L"missing\\1.dmp"), platform::kInvalidFile);
}

// A vectored handler that counts one test exception and lets the raiser continue.
constexpr DWORD kTestException = 0xE0D0C0B0;
LONG CALLBACK countTestException(EXCEPTION_POINTERS *exception)
{
    static_assert((kTestException >> 30) == 3, "an error, like the faults the guard catches");
    if (exception->ExceptionRecord->ExceptionCode != kTestException)
        return EXCEPTION_CONTINUE_SEARCH;
    ++*reinterpret_cast<int *>(exception->ExceptionRecord->ExceptionInformation[0]);
    return EXCEPTION_CONTINUE_EXECUTION;
}

TEST_F(MinidumpTest, FaultInsideTheWriterIsCaughtAndTheGuardIsGoneAfterwards)
{
    const std::wstring faulted = directory / L"1.dmp";
    platform::injectFaultIntoNextDumpForTesting();
    EXPECT_EQ(writeDump(faulted), platform::DumpOutcome::Faulted);
    // Deleting the partial file is the caller's part.
    platform::deleteDumpFile(faulted);
    EXPECT_FALSE(fileExists(faulted));

    // A missing writer fails without faulting.
    EXPECT_EQ(platform::writeMiniDumpGuarded(nullptr, platform::kInvalidFile, 0),
              platform::DumpOutcome::Failed);

    // The injection is used up, and the writer still works after being cut short.
    const std::wstring next = directory / L"2.dmp";
    EXPECT_EQ(writeDump(next), platform::DumpOutcome::Written);
    EXPECT_EQ(readFile(next).substr(0, 4), "MDMP");

    // An error raised on this thread outside a dump reaches the other handlers.
    int seen = 0;
    const PVOID handler = AddVectoredExceptionHandler(0, countTestException);
    const ULONG_PTR argument = reinterpret_cast<ULONG_PTR>(&seen);
    RaiseException(kTestException, 0, 1, &argument);
    RemoveVectoredExceptionHandler(handler);
    EXPECT_EQ(seen, 1);
}

} // namespace
