// What the helper reads from the host process from outside: each thread's registers and
// stack (the thread stopped only while they are read), the loaded modules with their
// identities, and the system's facts.
#pragma once

#include "platform/win32/capture_protocol_win.h"

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace keelanr_capture
{

struct RemoteThread {
    DWORD id = 0;
    DWORD suspendCount = 0; // as found, before the helper's own suspension
    DWORD64 teb = 0;
    std::vector<std::uint8_t> context; // a CONTEXT; empty when it could not be read
    DWORD64 stackStart = 0;
    std::vector<std::uint8_t> stack; // from the stack pointer up, at most kMaxStackBytes
};

struct RemoteModule {
    DWORD64 base = 0;
    DWORD size = 0;
    DWORD checkSum = 0;
    DWORD timeDateStamp = 0;
    std::wstring path;
    std::vector<std::uint8_t> codeView; // the image's CodeView record ("RSDS"), if it has one
};

struct RemoteSystem {
    SYSTEM_INFO info{};
    RTL_OSVERSIONINFOEXW version{};
};

struct RemoteProcess {
    DWORD processId = 0;
    std::vector<RemoteThread> threads; // `firstThread` first
    std::vector<RemoteModule> modules; // the executable first
    RemoteSystem system;
};

// What a test switch makes the helper do while it holds the first thread stopped.
enum class WhileStopped { Continue, Crash, Hang };

// Captures `process`, listing `firstThread` first. Records in `progress` which thread it
// holds stopped at each moment.
RemoteProcess captureRemoteProcess(HANDLE process, DWORD firstThread,
                                   platform::win32_impl::CaptureProgress &progress,
                                   WhileStopped whileStopped);

} // namespace keelanr_capture
