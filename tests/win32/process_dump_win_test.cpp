// Dumping (MiniDumpWriteDump behind its fault guard) a parked thread of this process, with
// Wine's dbghelp.
#include "minidump/minidump_reader.h"
#include "parked_thread_win.h"
#include "platform/process_dump.h"
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
