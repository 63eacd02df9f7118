// keelanr-capture.exe: writes the minidump of the process that started it, from outside, so
// the stuck process runs no dump code itself. See capture_protocol_win.h for its arguments.
#include "dump_writer_win.h"
#include "remote_capture_win.h"

#include <cwchar>
#include <string>

namespace
{

HANDLE handleArgument(const wchar_t *text)
{
    return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(std::wcstoull(text, nullptr, 10)));
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    using namespace platform::win32_impl;
    // A crash ends the helper quietly, with no error dialog and no debugger started.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    if (argc != 5 && argc != 6)
        return kCaptureBadArguments;
    const HANDLE process = handleArgument(argv[1]);
    const auto firstThread = static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10));
    const HANDLE file = handleArgument(argv[3]);
    auto *progress = static_cast<CaptureProgress *>(
        MapViewOfFile(handleArgument(argv[4]), FILE_MAP_WRITE, 0, 0, sizeof(CaptureProgress)));
    if (!progress)
        return kCaptureBadArguments;
    keelanr_capture::WhileStopped whileStopped = keelanr_capture::WhileStopped::Continue;
    if (argc == 6) {
        const std::wstring testSwitch = argv[5];
        if (testSwitch == kCrashWhileStoppedForTesting)
            whileStopped = keelanr_capture::WhileStopped::Crash;
        else if (testSwitch == kHangWhileStoppedForTesting)
            whileStopped = keelanr_capture::WhileStopped::Hang;
        else
            return kCaptureBadArguments;
    }
    const keelanr_capture::RemoteProcess captured =
        keelanr_capture::captureRemoteProcess(process, firstThread, *progress, whileStopped);
    return keelanr_capture::writeWindowsMinidump(file, captured) ? kCaptureWritten : kCaptureFailed;
}
