// Dumps written by the helper process (keelanr-capture.exe beside this test), what is left
// when it fails, and the in-process writer behind its fault guard for when it is missing.
#include "helper_dump_win.h"
#include "parked_thread_win.h"
#include "platform/capture_helper.h"
#include "platform/win32/capture_helper_win.h"
#include "platform/win32/capture_protocol_win.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace
{

namespace win32 = platform::win32_impl;

std::wstring helperBesideThisTest()
{
    std::wstring path(MAX_PATH, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), MAX_PATH));
    return path.substr(0, path.find_last_of(L'\\') + 1) + win32::kCaptureHelperName;
}

constexpr DWORD kDumpTimeLimitMs = 60000; // a safety net; these dumps take well under 1 s

TEST(ProcessDump, HelperListsTheWatchedThreadFirstWithEveryThreadsContextStackAndTheModules)
{
    win32::setCaptureHelperForTesting(helperBesideThisTest(), L"", kDumpTimeLimitMs);
    ParkedThread parked(8); // its openCurrentThread makes it the watched thread
    TemporaryDirectory directory;
    const DumpAttempt attempt = dumpThisProcess(directory, L"1733412345678.dmp");
    ASSERT_EQ(attempt.outcome, platform::DumpOutcome::Written);
    EXPECT_EQ(platform::takeCaptureFallbackNotice(), "");
    ASSERT_TRUE(attempt.dump) << attempt.error;
    const minidump_test::Minidump &dump = *attempt.dump;

    EXPECT_EQ(dump.processorArchitecture, 9) << "AMD64";
    EXPECT_EQ(dump.processId, GetCurrentProcessId());
    ASSERT_GE(dump.threads.size(), 2u) << "the parked thread and this one";
    EXPECT_EQ(dump.threads.front().threadId, parked.threadId);
    EXPECT_NE(dump.findThread(GetCurrentThreadId()), nullptr);
    for (const minidump_test::Thread &thread : dump.threads) {
        SCOPED_TRACE(thread.threadId);
        const std::optional<std::uint64_t> rsp =
            dump.contextValue(thread, minidump_test::kContextRsp);
        ASSERT_TRUE(rsp);
        EXPECT_EQ(dump.contextFlags(thread) & 0x0010000B, 0x0010000Bu) << "CONTEXT_FULL";
        EXPECT_EQ(thread.stackStart, *rsp);
        EXPECT_TRUE(dump.readMemory(*rsp, 8)) << "its stack is in the memory list";
    }
    const std::optional<std::uint64_t> rip =
        dump.contextValue(dump.threads.front(), minidump_test::kContextRip);
    EXPECT_TRUE(rip && dump.inSomeModule(*rip));

    ASSERT_FALSE(dump.modules.empty());
    const minidump_test::Module &executable = dump.modules.front();
    EXPECT_EQ(executable.base, reinterpret_cast<std::uint64_t>(GetModuleHandleW(nullptr)));
    EXPECT_NE(executable.name.find("platform_tests_win.exe"), std::string::npos) << executable.name;
    // The linker's CodeView record: "RSDS", a 16-byte identity, an age and a PDB name.
    ASSERT_GE(executable.codeView.size(), 24u);
    EXPECT_EQ(std::memcmp(executable.codeView.data(), "RSDS", 4), 0);
    EXPECT_TRUE(std::any_of(dump.modules.begin(), dump.modules.end(), [](const auto &module) {
        return module.name.find("ntdll.dll") != std::string::npos;
    }));
    EXPECT_EQ(parked.suspendCount(), 0u);
}

// The helper stops the watched thread and then crashes, never ends (and is stopped at the
// time limit), or is missing. Nothing stays suspended; a missing helper gives the dump in
// process instead, noticed once.
TEST(ProcessDump, FailingHelperGivesFailedAndLeavesNoThreadSuspendedAndAMissingOneFallsBack)
{
    const std::wstring helper = helperBesideThisTest();
    const struct {
        const char *name;
        const wchar_t *path;
        const wchar_t *testSwitch;
        DWORD timeLimitMs;
        platform::DumpOutcome outcome;
    } cases[] = {
        {"crashes", helper.c_str(), win32::kCrashWhileStoppedForTesting, kDumpTimeLimitMs,
         platform::DumpOutcome::Failed},
        {"hangs", helper.c_str(), win32::kHangWhileStoppedForTesting, 1000,
         platform::DumpOutcome::Failed},
        {"missing", L"C:\\nowhere\\keelanr-capture.exe", L"", kDumpTimeLimitMs,
         platform::DumpOutcome::Written},
    };
    ParkedThread parked(2);
    TemporaryDirectory directory;
    int attempt = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        win32::setCaptureHelperForTesting(c.path, c.testSwitch, c.timeLimitMs);
        EXPECT_EQ(dumpThisProcess(directory, std::to_wstring(++attempt) + L".dmp").outcome,
                  c.outcome);
        EXPECT_EQ(parked.suspendCount(), 0u);
    }
    EXPECT_NE(platform::takeCaptureFallbackNotice(), "");
    EXPECT_EQ(platform::takeCaptureFallbackNotice(), "") << "once";
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

TEST(ProcessDump, InProcessWriterTurnsAFaultIntoFaultedAndLeavesOtherErrorsToOtherHandlers)
{
    TemporaryDirectory directory;
    EXPECT_EQ(platform::writeProcessDump(platform::kInvalidFile), platform::DumpOutcome::Failed);
    const std::wstring path = directory / L"1.dmp";
    const platform::FileHandle file = platform::createDumpFile(path);
    ASSERT_NE(file, platform::kInvalidFile);
    EXPECT_EQ(platform::createDumpFile(path), platform::kInvalidFile) << "an existing file";
    platform::injectFaultIntoNextDumpForTesting();
    EXPECT_EQ(platform::writeProcessDump(file), platform::DumpOutcome::Faulted);
    platform::closeDumpFile(file);
    EXPECT_EQ(platform::createDumpFile(directory / L"missing\\1.dmp"), platform::kInvalidFile);

    // An error raised outside a dump reaches the other handlers.
    int seen = 0;
    const PVOID handler = AddVectoredExceptionHandler(0, countTestException);
    const ULONG_PTR argument = reinterpret_cast<ULONG_PTR>(&seen);
    RaiseException(kTestException, 0, 1, &argument);
    RemoveVectoredExceptionHandler(handler);
    EXPECT_EQ(seen, 1);
}

} // namespace
