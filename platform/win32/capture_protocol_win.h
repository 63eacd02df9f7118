// How the module hands a dump to its helper process, keelanr-capture.exe, and learns what
// became of it. Shared by both sides.
//
// Command line: keelanr-capture.exe PROCESS THREAD_ID FILE PROGRESS [TEST_SWITCH]
// PROCESS, FILE and PROGRESS are handle values the helper inherits (decimal): the host
// process (query and read rights), the empty dump file (write) and a shared page holding a
// CaptureProgress. THREAD_ID is the thread the dump lists first (the GUI thread).
#pragma once

#include <windows.h>

namespace platform::win32_impl
{

constexpr wchar_t kCaptureHelperName[] = L"keelanr-capture.exe";

// The helper stops one host thread at a time. It writes that thread's id here before it
// suspends it and clears it once it has resumed it, so a host whose helper died or was
// stopped knows the one thread that may still be held.
struct CaptureProgress {
    volatile LONG stoppingThread;
};

// The helper's exit codes; anything else (a crash, a termination) means it failed.
constexpr DWORD kCaptureWritten = 0;
constexpr DWORD kCaptureFailed = 1;
constexpr DWORD kCaptureBadArguments = 2;

// Test switches: after stopping the listed-first thread, the helper crashes or never ends.
constexpr wchar_t kCrashWhileStoppedForTesting[] = L"--crash-while-stopped-for-testing";
constexpr wchar_t kHangWhileStoppedForTesting[] = L"--hang-while-stopped-for-testing";

} // namespace platform::win32_impl
