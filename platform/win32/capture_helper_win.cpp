#include "platform/win32/capture_helper_win.h"

#include "platform/win32/capture_protocol_win.h"

#include <atomic>
#include <mutex>
#include <vector>

namespace platform::win32_impl
{
namespace
{

// Long enough for a large process on a busy machine; a dump normally takes well under it.
constexpr DWORD kDumpTimeLimitMs = 20000;
// A terminated process is gone at once; this only bounds a wait that never should be long.
constexpr DWORD kTerminationLimitMs = 10000;
constexpr DWORD kSuspendFailed = static_cast<DWORD>(-1);

// The helper beside the module's own file. Found while the module is being loaded (the
// loader's lock is then ours): finding it later would wait for the loader, and the thread
// that holds the loader's lock may be the stuck one.
std::wstring helperBesideModule()
{
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&helperBesideModule), &module))
        return {};
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            return {};
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    return path.substr(0, path.find_last_of(L"\\/") + 1) + kCaptureHelperName;
}

struct HelperSettings {
    std::mutex mutex;
    std::wstring path = helperBesideModule();
    std::wstring testSwitch;
    DWORD timeLimitMs = kDumpTimeLimitMs;
};

// Constructed while the module loads, not at the first dump.
HelperSettings helperSettings;

HelperSettings &settings()
{
    return helperSettings;
}

std::atomic<DWORD> watchedThreadId{0};

// After the helper has ended without finishing: the thread it recorded may still carry its
// suspension, or the helper may have died before suspending it. A suspend count above zero
// tells the first case, and that one suspension is undone. (Only a third party suspending
// the same thread at the same instant could make this undo its suspension instead.)
void releaseThreadHeldBy(const CaptureProgress &progress)
{
    const DWORD threadId = static_cast<DWORD>(progress.stoppingThread);
    if (threadId == 0)
        return;
    const HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, threadId);
    if (!thread)
        return; // the thread has ended
    const DWORD previous = SuspendThread(thread);
    if (previous != kSuspendFailed) {
        ResumeThread(thread);
        if (previous > 0)
            ResumeThread(thread);
    }
    CloseHandle(thread);
}

// The handles the helper inherits; closed here once it has its own.
struct InheritedHandles {
    HANDLE process = nullptr;
    HANDLE file = nullptr;
    HANDLE progress = nullptr;

    ~InheritedHandles()
    {
        for (const HANDLE handle : {process, file, progress}) {
            if (handle)
                CloseHandle(handle);
        }
    }
};

bool prepareHandles(HANDLE file, InheritedHandles &handles)
{
    const HANDLE self = GetCurrentProcess();
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    handles.progress = CreateFileMappingW(INVALID_HANDLE_VALUE, &inheritable, PAGE_READWRITE, 0,
                                          sizeof(CaptureProgress), nullptr);
    return DuplicateHandle(self, self, self, &handles.process,
                           PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, TRUE, 0) &&
           DuplicateHandle(self, file, self, &handles.file, 0, TRUE, DUPLICATE_SAME_ACCESS) &&
           handles.progress;
}

std::wstring commandLine(const std::wstring &path, const InheritedHandles &handles,
                         DWORD firstThread, const std::wstring &testSwitch)
{
    const auto number = [](HANDLE handle) {
        return std::to_wstring(reinterpret_cast<std::uintptr_t>(handle));
    };
    std::wstring line = L"\"" + path + L"\" " + number(handles.process) + L" " +
                        std::to_wstring(firstThread) + L" " + number(handles.file) + L" " +
                        number(handles.progress);
    if (!testSwitch.empty())
        line += L" " + testSwitch;
    return line;
}

// Starts the helper inheriting exactly the three handles, none of the host's others, and
// without a console: a console host started for it could hold the dump file open after the
// helper has ended (Wine's does), and costs time.
bool startHelper(const std::wstring &path, std::wstring line, InheritedHandles &handles,
                 PROCESS_INFORMATION &started)
{
    HANDLE inherited[] = {handles.process, handles.file, handles.progress};
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<unsigned char> storage(size);
    auto *attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
    if (!InitializeProcThreadAttributeList(attributes, 1, 0, &size))
        return false;
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.lpAttributeList = attributes;
    const bool created = UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                                   inherited, sizeof inherited, nullptr, nullptr) &&
                         CreateProcessW(path.c_str(), line.data(), nullptr, nullptr, TRUE,
                                        EXTENDED_STARTUPINFO_PRESENT | DETACHED_PROCESS, nullptr,
                                        nullptr, &startup.StartupInfo, &started);
    DeleteProcThreadAttributeList(attributes);
    return created;
}

} // namespace

bool captureHelperPresent()
{
    std::lock_guard<std::mutex> lock(settings().mutex);
    const DWORD attributes = GetFileAttributesW(settings().path.c_str());
    return !settings().path.empty() && attributes != INVALID_FILE_ATTRIBUTES &&
           !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool writeDumpWithHelper(HANDLE file, DWORD firstThread)
{
    // One helper at a time: a second one stopping the same thread would make a suspension
    // left behind by the first ambiguous.
    static std::mutex oneAtATime;
    const std::lock_guard<std::mutex> turn(oneAtATime);
    std::wstring path;
    std::wstring testSwitch;
    DWORD timeLimitMs = 0;
    {
        std::lock_guard<std::mutex> lock(settings().mutex);
        path = settings().path;
        testSwitch = settings().testSwitch;
        timeLimitMs = settings().timeLimitMs;
    }
    InheritedHandles handles;
    if (!prepareHandles(file, handles))
        return false;
    auto *progress = static_cast<CaptureProgress *>(
        MapViewOfFile(handles.progress, FILE_MAP_WRITE, 0, 0, sizeof(CaptureProgress)));
    if (!progress)
        return false;

    PROCESS_INFORMATION helper{};
    if (!startHelper(path, commandLine(path, handles, firstThread, testSwitch), handles, helper)) {
        UnmapViewOfFile(progress);
        return false;
    }
    CloseHandle(helper.hThread);
    DWORD exitCode = kCaptureFailed;
    if (WaitForSingleObject(helper.hProcess, timeLimitMs) != WAIT_OBJECT_0) {
        TerminateProcess(helper.hProcess, kCaptureFailed);
        WaitForSingleObject(helper.hProcess, kTerminationLimitMs);
    }
    if (!GetExitCodeProcess(helper.hProcess, &exitCode) || exitCode == STILL_ACTIVE)
        exitCode = kCaptureFailed;
    CloseHandle(helper.hProcess);
    // A helper that finished has resumed every thread it stopped.
    if (exitCode != kCaptureWritten)
        releaseThreadHeldBy(*progress);
    UnmapViewOfFile(progress);
    return exitCode == kCaptureWritten;
}

void setWatchedThread(DWORD threadId)
{
    watchedThreadId.store(threadId, std::memory_order_relaxed);
}

DWORD watchedThread()
{
    return watchedThreadId.load(std::memory_order_relaxed);
}

void setCaptureHelperForTesting(const std::wstring &path, const std::wstring &testSwitch,
                                DWORD timeLimitMs)
{
    std::lock_guard<std::mutex> lock(settings().mutex);
    settings().path = path;
    settings().testSwitch = testSwitch;
    settings().timeLimitMs = timeLimitMs;
}

} // namespace platform::win32_impl
