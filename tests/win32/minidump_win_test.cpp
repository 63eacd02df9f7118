// Dump files and MiniDumpWriteDump behind its fault guard, on Windows (dbghelp under Wine).
// The Linux writer is this library's own and has its own tests.
#include "platform/debug_library.h"
#include "platform/minidump_file.h"
#include "test_files_win.h"

#include <windows.h>

#include <gtest/gtest.h>

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

TEST_F(MinidumpTest, WritesADumpOfThisProcess)
{
    const std::wstring path = directory / L"1733412345678.dmp";
    ASSERT_EQ(writeDump(path), platform::DumpOutcome::Written);
    EXPECT_EQ(readFile(path).substr(0, 4), "MDMP");
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
