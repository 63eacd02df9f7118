#include "remote_capture_win.h"

#include <tlhelp32.h>
#include <winternl.h>

#include <algorithm>
#include <cstring>

extern "C" NTSTATUS NTAPI RtlGetVersion(RTL_OSVERSIONINFOW *version);

namespace keelanr_capture
{
namespace
{

constexpr DWORD64 kMaxStackBytes = 1024 * 1024;
constexpr DWORD kSuspendFailed = static_cast<DWORD>(-1);
constexpr int kSnapshotAttempts = 8;

// NtQueryInformationThread's ThreadBasicInformation, which no SDK header declares in full.
constexpr int kThreadBasicInformation = 0;
struct ThreadBasicInformation {
    NTSTATUS exitStatus;
    PVOID teb;
    HANDLE processId;
    HANDLE threadId;
    KAFFINITY affinityMask;
    LONG priority;
    LONG basePriority;
};

template <typename T>
bool readRemote(HANDLE process, DWORD64 address, T &value)
{
    SIZE_T read = 0;
    return ReadProcessMemory(process, reinterpret_cast<LPCVOID>(address), &value, sizeof value,
                             &read) &&
           read == sizeof value;
}

// Reads what it can of [address, address + size): a stack's far end may be cut off.
std::vector<std::uint8_t> readRemoteBytes(HANDLE process, DWORD64 address, DWORD64 size)
{
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    SIZE_T read = 0;
    if (!ReadProcessMemory(process, reinterpret_cast<LPCVOID>(address), bytes.data(), bytes.size(),
                           &read))
        read = 0;
    bytes.resize(read);
    return bytes;
}

std::vector<DWORD> threadsOf(DWORD processId, DWORD firstThread)
{
    std::vector<DWORD> ids{firstThread};
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return ids;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == processId && entry.th32ThreadID != firstThread)
            ids.push_back(entry.th32ThreadID);
    }
    CloseHandle(snapshot);
    return ids;
}

[[noreturn]] void actWhileStopped(WhileStopped whileStopped)
{
    if (whileStopped == WhileStopped::Crash)
        RaiseException(EXCEPTION_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    for (;;)
        Sleep(INFINITE);
}

// Stops the thread only while its registers and stack are read; the helper may allocate
// meanwhile: it is not the process whose locks the thread may hold.
RemoteThread captureThread(HANDLE process, DWORD id,
                           platform::win32_impl::CaptureProgress &progress,
                           WhileStopped whileStopped)
{
    RemoteThread captured;
    captured.id = id;
    const HANDLE thread = OpenThread(
        THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_QUERY_INFORMATION, FALSE, id);
    if (!thread)
        return captured;
    ThreadBasicInformation information{};
    NT_TIB tib{};
    const bool bounded =
        NtQueryInformationThread(thread, static_cast<THREADINFOCLASS>(kThreadBasicInformation),
                                 &information, sizeof information, nullptr) >= 0 &&
        readRemote(process, reinterpret_cast<DWORD64>(information.teb), tib);
    captured.teb = reinterpret_cast<DWORD64>(information.teb);

    InterlockedExchange(&progress.stoppingThread, static_cast<LONG>(id));
    const DWORD previous = SuspendThread(thread);
    if (previous != kSuspendFailed) {
        captured.suspendCount = previous;
        if (whileStopped != WhileStopped::Continue)
            actWhileStopped(whileStopped);
        alignas(16) CONTEXT context{};
        context.ContextFlags = CONTEXT_FULL | CONTEXT_SEGMENTS;
        if (GetThreadContext(thread, &context)) {
            const auto *bytes = reinterpret_cast<const std::uint8_t *>(&context);
            captured.context.assign(bytes, bytes + sizeof context);
            const auto base = reinterpret_cast<DWORD64>(tib.StackBase);
            if (bounded && context.Rsp < base &&
                context.Rsp >= reinterpret_cast<DWORD64>(tib.StackLimit)) {
                captured.stackStart = context.Rsp;
                captured.stack = readRemoteBytes(process, context.Rsp,
                                                 std::min(base - context.Rsp, kMaxStackBytes));
            }
        }
        ResumeThread(thread);
    }
    InterlockedExchange(&progress.stoppingThread, 0);
    CloseHandle(thread);
    return captured;
}

// The image's CodeView record, which names its PDB and identifies the build.
std::vector<std::uint8_t> codeViewOf(HANDLE process, DWORD64 base, const IMAGE_NT_HEADERS64 &nt)
{
    const IMAGE_DATA_DIRECTORY &debug =
        nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_DEBUG];
    const DWORD entries = debug.Size / sizeof(IMAGE_DEBUG_DIRECTORY);
    for (DWORD i = 0; debug.VirtualAddress && i < entries; ++i) {
        IMAGE_DEBUG_DIRECTORY entry{};
        if (!readRemote(process, base + debug.VirtualAddress + i * sizeof entry, entry))
            break;
        if (entry.Type == IMAGE_DEBUG_TYPE_CODEVIEW && entry.AddressOfRawData &&
            entry.SizeOfData <= 4096)
            return readRemoteBytes(process, base + entry.AddressOfRawData, entry.SizeOfData);
    }
    return {};
}

std::vector<RemoteModule> modulesOf(HANDLE process, DWORD processId)
{
    std::vector<RemoteModule> modules;
    HANDLE snapshot = INVALID_HANDLE_VALUE;
    // The snapshot fails now and then while the process loads or unloads a module.
    for (int attempt = 0; attempt < kSnapshotAttempts && snapshot == INVALID_HANDLE_VALUE;
         ++attempt)
        snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, processId);
    if (snapshot == INVALID_HANDLE_VALUE)
        return modules;
    MODULEENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Module32FirstW(snapshot, &entry); more;
         more = Module32NextW(snapshot, &entry)) {
        RemoteModule module;
        module.base = reinterpret_cast<DWORD64>(entry.modBaseAddr);
        module.size = entry.modBaseSize;
        module.path = entry.szExePath;
        IMAGE_DOS_HEADER dos{};
        IMAGE_NT_HEADERS64 nt{};
        if (readRemote(process, module.base, dos) && dos.e_magic == IMAGE_DOS_SIGNATURE &&
            readRemote(process, module.base + dos.e_lfanew, nt) &&
            nt.Signature == IMAGE_NT_SIGNATURE &&
            nt.OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
            module.checkSum = nt.OptionalHeader.CheckSum;
            module.timeDateStamp = nt.FileHeader.TimeDateStamp;
            module.codeView = codeViewOf(process, module.base, nt);
        }
        modules.push_back(std::move(module));
    }
    CloseHandle(snapshot);
    return modules;
}

} // namespace

RemoteProcess captureRemoteProcess(HANDLE process, DWORD firstThread,
                                   platform::win32_impl::CaptureProgress &progress,
                                   WhileStopped whileStopped)
{
    RemoteProcess captured;
    captured.processId = GetProcessId(process);
    for (const DWORD id : threadsOf(captured.processId, firstThread)) {
        captured.threads.push_back(captureThread(
            process, id, progress, id == firstThread ? whileStopped : WhileStopped::Continue));
    }
    captured.modules = modulesOf(process, captured.processId);
    GetNativeSystemInfo(&captured.system.info);
    captured.system.version.dwOSVersionInfoSize = sizeof captured.system.version;
    RtlGetVersion(reinterpret_cast<RTL_OSVERSIONINFOW *>(&captured.system.version));
    return captured;
}

} // namespace keelanr_capture
