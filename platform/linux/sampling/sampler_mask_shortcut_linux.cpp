#include "platform/linux/sampling/sampler_mask_shortcut_linux.h"

#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <dlfcn.h>
#include <link.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

namespace platform::linux_impl
{

namespace
{

using SigprocmaskFunction = int (*)(int, const sigset_t *, sigset_t *);

// Written once before the sampling handler is installed.
SigprocmaskFunction realSigprocmask = nullptr;
// The thread walking in the sampling handler, 0 when none.
std::atomic<pthread_t> walkingThread{0};
static_assert(std::atomic<pthread_t>::is_always_lock_free, "used in a signal handler");

// ---- Reachable from the signal handler: everything in this block is async-signal-safe. ----

// async-signal-safe: pthread_self reads the thread pointer; sigfillset only writes `old`.
int sigprocmaskUnlessWalking(int how, const sigset_t *set, sigset_t *old)
{
    if (walkingThread.load(std::memory_order_relaxed) == pthread_self()) {
        // Every signal is blocked already, and the mask to restore later is that same set.
        if (old)
            sigfillset(old);
        return 0;
    }
    return realSigprocmask(how, set, old);
}

} // namespace

bool beginWalkWithoutMaskChanges()
{
    pthread_t none = 0;
    return realSigprocmask &&
           walkingThread.compare_exchange_strong(none, pthread_self(), std::memory_order_relaxed);
}

void endWalkWithoutMaskChanges()
{
    walkingThread.store(0, std::memory_order_relaxed);
}

// ---- End of the async-signal-safe block. ----

namespace
{

#if defined(__x86_64__)
constexpr unsigned kJumpSlot = R_X86_64_JUMP_SLOT;
constexpr unsigned kGlobalData = R_X86_64_GLOB_DAT;
#endif

// glibc rewrites most dynamic-section addresses to absolute ones on load; accept either form.
std::uintptr_t absoluteAddress(const link_map *map, ElfW(Addr) address)
{
    return address < map->l_addr ? map->l_addr + address : address;
}

// The address of the slot through which `map` calls `symbol`, or null.
void **importSlot(const link_map *map, const char *symbol)
{
#if defined(__x86_64__)
    const ElfW(Sym) *symbols = nullptr;
    const char *names = nullptr;
    const ElfW(Rela) * tables[2] = {nullptr, nullptr};
    std::size_t tableSizes[2] = {0, 0};
    for (const ElfW(Dyn) *entry = map->l_ld; entry->d_tag != DT_NULL; ++entry) {
        const std::uintptr_t address = absoluteAddress(map, entry->d_un.d_ptr);
        switch (entry->d_tag) {
        case DT_SYMTAB: symbols = reinterpret_cast<const ElfW(Sym) *>(address); break;
        case DT_STRTAB: names = reinterpret_cast<const char *>(address); break;
        case DT_JMPREL: tables[0] = reinterpret_cast<const ElfW(Rela) *>(address); break;
        case DT_PLTRELSZ: tableSizes[0] = entry->d_un.d_val; break;
        case DT_RELA: tables[1] = reinterpret_cast<const ElfW(Rela) *>(address); break;
        case DT_RELASZ: tableSizes[1] = entry->d_un.d_val; break;
        default: break;
        }
    }
    if (!symbols || !names)
        return nullptr;
    for (int table = 0; table < 2; ++table) {
        for (std::size_t i = 0; tables[table] && i < tableSizes[table] / sizeof(ElfW(Rela)); ++i) {
            const ElfW(Rela) &relocation = tables[table][i];
            const unsigned type = ELF64_R_TYPE(relocation.r_info);
            if (type != kJumpSlot && type != kGlobalData)
                continue;
            const ElfW(Sym) &imported = symbols[ELF64_R_SYM(relocation.r_info)];
            if (std::strcmp(names + imported.st_name, symbol) == 0)
                return reinterpret_cast<void **>(map->l_addr + relocation.r_offset);
        }
    }
#else
    (void)map;
    (void)symbol;
#endif
    return nullptr;
}

// Whether the page holding `slot` was made read-only after relocation: glibc protects the
// whole pages of `map`'s PT_GNU_RELRO segment.
bool onReadOnlyPage(const link_map *map, std::uintptr_t page, std::uintptr_t pageSize)
{
    struct Search {
        const link_map *map;
        std::uintptr_t page;
        std::uintptr_t pageSize;
        bool readOnly;
    } search{map, page, pageSize, false};
    dl_iterate_phdr(
        [](dl_phdr_info *info, std::size_t, void *data) {
            auto *s = static_cast<Search *>(data);
            if (info->dlpi_addr != s->map->l_addr)
                return 0;
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                const ElfW(Phdr) &header = info->dlpi_phdr[i];
                if (header.p_type != PT_GNU_RELRO)
                    continue;
                const std::uintptr_t begin =
                    (info->dlpi_addr + header.p_vaddr) & ~(s->pageSize - 1);
                const std::uintptr_t end =
                    (info->dlpi_addr + header.p_vaddr + header.p_memsz) & ~(s->pageSize - 1);
                s->readOnly = s->page >= begin && s->page + s->pageSize <= end;
            }
            return 1;
        },
        &search);
    return search.readOnly;
}

} // namespace

bool shortcutMaskChangesWhileWalking(void *library)
{
    link_map *map = nullptr;
    if (realSigprocmask || dlinfo(library, RTLD_DI_LINKMAP, &map) != 0 || !map)
        return false;
    void **slot = importSlot(map, "sigprocmask");
    if (!slot || !*slot)
        return false;
    const auto pageSize = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const std::uintptr_t page = reinterpret_cast<std::uintptr_t>(slot) & ~(pageSize - 1);
    const bool readOnly = onReadOnlyPage(map, page, pageSize);
    if (readOnly && mprotect(reinterpret_cast<void *>(page), pageSize, PROT_READ | PROT_WRITE) != 0)
        return false;
    realSigprocmask = reinterpret_cast<SigprocmaskFunction>(*slot);
    __atomic_store_n(slot, reinterpret_cast<void *>(&sigprocmaskUnlessWalking), __ATOMIC_RELEASE);
    if (readOnly)
        mprotect(reinterpret_cast<void *>(page), pageSize, PROT_READ);
    return true;
}

} // namespace platform::linux_impl
