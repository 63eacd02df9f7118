// Dumps written by keelanr-capture.exe, started beside the module for each dump, so the host
// runs no dump code and never loads dbghelp for a dump.
#pragma once

#include <windows.h>

#include <string>

namespace platform::win32_impl
{

// Whether the helper lies beside the module (its path is found when the module is loaded,
// so this asks the file system only, never the loader).
bool captureHelperPresent();

// Has the helper write this process's dump into `file`, the thread `firstThread` listed
// first, and waits for it at most the dump time limit. False when it could not be started
// or failed, crashed, hung or was stopped; no thread of this process is left suspended.
bool writeDumpWithHelper(HANDLE file, DWORD firstThread);

// The thread dumps list first: the one whose handle openCurrentThread opened last.
void setWatchedThread(DWORD threadId);
DWORD watchedThread();

// Replaces the helper's path, passes it one of the test switches of capture_protocol_win.h
// (empty for none) and sets the dump time limit.
void setCaptureHelperForTesting(const std::wstring &path, const std::wstring &testSwitch,
                                DWORD timeLimitMs);

} // namespace platform::win32_impl
