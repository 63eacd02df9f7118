// Dump files and MiniDumpWriteDump behind its fault guard, on Windows (dbghelp under Wine).
// The Linux writer is this library's own and has its own tests.
#include "platform/debug_library.h"
#include "platform/minidump_file.h"
#include "temporary_directory_win.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>

namespace
{

std::string firstBytes(const std::filesystem::path &path, std::size_t count)
{
    std::ifstream in(path, std::ios::binary);
    std::string bytes(count, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(count));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}

class MinidumpTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_NE(platform::loadDebugLibrary(entryPoints), nullptr);
        ASSERT_NE(entryPoints.miniDumpWriteDump, nullptr);
    }

    platform::DumpOutcome writeDump(const std::filesystem::path &path)
    {
        const platform::FileHandle file = platform::createDumpFile(path.wstring());
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
    const std::filesystem::path path = directory.path() / L"1733412345678.dmp";
    ASSERT_EQ(writeDump(path), platform::DumpOutcome::Written);
    EXPECT_EQ(firstBytes(path, 4), "MDMP");
}

TEST_F(MinidumpTest, ExistingFileOfTheSameNameIsNotReplaced)
{
    // Two dumps named in the same millisecond: the second creation must fail.
    const std::wstring path = (directory.path() / L"1733412345678.dmp").wstring();
    const platform::FileHandle first = platform::createDumpFile(path);
    ASSERT_NE(first, platform::kInvalidFile);
    EXPECT_EQ(platform::createDumpFile(path), platform::kInvalidFile) << "while the first is open";
    platform::closeDumpFile(first);
    EXPECT_EQ(platform::createDumpFile(path), platform::kInvalidFile) << "after it was closed";

    platform::deleteDumpFile(path);
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(platform::createDumpFile(directory.path() / L"missing" / L"1.dmp"),
              platform::kInvalidFile);
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
    const std::filesystem::path faulted = directory.path() / L"1.dmp";
    platform::injectFaultIntoNextDumpForTesting();
    EXPECT_EQ(writeDump(faulted), platform::DumpOutcome::Faulted);
    // Deleting the partial file is the caller's part.
    platform::deleteDumpFile(faulted.wstring());
    EXPECT_FALSE(std::filesystem::exists(faulted));

    // The injection is used up, and the writer still works after being cut short.
    const std::filesystem::path next = directory.path() / L"2.dmp";
    EXPECT_EQ(writeDump(next), platform::DumpOutcome::Written);
    EXPECT_EQ(firstBytes(next, 4), "MDMP");

    // An error raised on this thread outside a dump reaches the other handlers.
    int seen = 0;
    const PVOID handler = AddVectoredExceptionHandler(0, countTestException);
    const ULONG_PTR argument = reinterpret_cast<ULONG_PTR>(&seen);
    RaiseException(kTestException, 0, 1, &argument);
    RemoveVectoredExceptionHandler(handler);
    EXPECT_EQ(seen, 1);
}

} // namespace
