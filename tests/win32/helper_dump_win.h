// Dumps of this test process written through the library (by its helper, unless a test
// replaced it), read back with the strict test reader.
#pragma once

#include "minidump/minidump_reader.h"
#include "platform/process_dump.h"
#include "test_files_win.h"

#include <windows.h>

#include <filesystem>
#include <optional>
#include <string>

struct DumpAttempt {
    platform::DumpOutcome outcome = platform::DumpOutcome::Failed;
    std::optional<minidump_test::Minidump> dump; // when written and readable
    std::string error;
};

inline DumpAttempt dumpThisProcess(const TemporaryDirectory &directory, const std::wstring &name)
{
    DumpAttempt attempt;
    const std::wstring path = directory / name;
    const platform::FileHandle file = platform::createDumpFile(path);
    if (file == platform::kInvalidFile) {
        attempt.error = "dump file not created";
        return attempt;
    }
    attempt.outcome = platform::writeProcessDump(file);
    platform::closeDumpFile(file);
    if (attempt.outcome == platform::DumpOutcome::Written)
        attempt.dump =
            minidump_test::Minidump::load(std::filesystem::path(path).string(), attempt.error);
    return attempt;
}

// The previous suspend count of a thread of this process.
inline DWORD suspendCountOf(DWORD threadId)
{
    const HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, threadId);
    const DWORD previous = SuspendThread(thread);
    ResumeThread(thread);
    CloseHandle(thread);
    return previous;
}
