#include "platform/win32/module_tables_win.h"

// The loader's lock, taken only if it is free. ntdll exports these on every Windows since XP
// (and Wine); the SDK declares them nowhere.
extern "C" NTSTATUS NTAPI LdrLockLoaderLock(ULONG flags, ULONG *disposition, ULONG_PTR *cookie);
extern "C" NTSTATUS NTAPI LdrUnlockLoaderLock(ULONG flags, ULONG_PTR cookie);

namespace platform::win32_impl
{
namespace
{

constexpr ULONG kLoaderLockTryOnly = 0x2;
constexpr ULONG kLoaderLockAcquired = 1;

// A RUNTIME_FUNCTION whose unwind data has the low bit set names another entry, which holds
// the function's real data.
constexpr DWORD kIndirectEntry = 0x1;

} // namespace

bool ModuleTables::find(DWORD64 pc, ModuleTable &table)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    for (const ModuleTable &module : modules_) {
        if (pc >= module.base && pc < module.end) {
            table = module;
            return true;
        }
    }
    if (!pin(pc, table))
        return false;
    modules_.push_back(table);
    return true;
}

bool ModuleTables::pin(DWORD64 pc, ModuleTable &table)
{
    MEMORY_BASIC_INFORMATION region{};
    if (!VirtualQuery(reinterpret_cast<LPCVOID>(pc), &region, sizeof region) ||
        region.Type != MEM_IMAGE || region.State != MEM_COMMIT)
        return false;
    const auto base = reinterpret_cast<DWORD64>(region.AllocationBase);

    ULONG disposition = 0;
    ULONG_PTR cookie = 0;
    if (LdrLockLoaderLock(kLoaderLockTryOnly, &disposition, &cookie) < 0 ||
        disposition != kLoaderLockAcquired)
        return false;
    HMODULE module = nullptr;
    // Raises the module's reference count for the rest of the process's life.
    const bool pinned = GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                           reinterpret_cast<LPCWSTR>(pc), &module) &&
                        reinterpret_cast<DWORD64>(module) == base;
    LdrUnlockLoaderLock(0, cookie);
    if (!pinned)
        return false;

    // The loader has checked these headers when it mapped the image.
    const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
    const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS64 *>(base + dos->e_lfanew);
    if (nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC)
        return false;
    const IMAGE_DATA_DIRECTORY &exceptions =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXCEPTION];
    table.base = base;
    table.end = base + nt->OptionalHeader.SizeOfImage;
    table.functions = reinterpret_cast<const RUNTIME_FUNCTION *>(base + exceptions.VirtualAddress);
    table.count = exceptions.VirtualAddress ? exceptions.Size / sizeof(RUNTIME_FUNCTION) : 0;
    return true;
}

const RUNTIME_FUNCTION *ModuleTables::functionEntry(const ModuleTable &module, DWORD64 pc)
{
    // The entries are sorted by address and do not overlap.
    const DWORD offset = static_cast<DWORD>(pc - module.base);
    DWORD low = 0;
    DWORD high = module.count;
    while (low < high) {
        const DWORD middle = low + (high - low) / 2;
        const RUNTIME_FUNCTION &entry = module.functions[middle];
        if (offset < entry.BeginAddress) {
            high = middle;
        } else if (offset >= entry.EndAddress) {
            low = middle + 1;
        } else {
            if (entry.UnwindData & kIndirectEntry)
                return reinterpret_cast<const RUNTIME_FUNCTION *>(module.base + entry.UnwindData -
                                                                  kIndirectEntry);
            return &entry;
        }
    }
    return nullptr;
}

} // namespace platform::win32_impl
