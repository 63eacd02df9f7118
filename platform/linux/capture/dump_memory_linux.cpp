#include "platform/linux/capture/dump_memory_linux.h"

#include <algorithm>
#include <cerrno>
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>
#include <utility>

namespace platform::linux_impl
{
namespace
{

constexpr std::size_t kPageSize = 4096;
// The kernel stops a partial process_vm_readv only at an iovec boundary, so the remote side
// is split at pages; this many iovecs per call (IOV_MAX) covers 4 MiB.
constexpr std::size_t kIovecsPerCall = 1024;

} // namespace

// async-signal-safe.
std::size_t ProcessMemory::read(std::uint64_t address, void *buffer, std::size_t size) const
{
    auto *out = static_cast<char *>(buffer);
    std::size_t done = 0;
    while (done < size) {
        iovec remote[kIovecsPerCall];
        std::size_t count = 0;
        std::size_t batch = 0;
        for (std::uint64_t at = address + done; count < kIovecsPerCall && done + batch < size;
             ++count) {
            const std::size_t toPageEnd = kPageSize - at % kPageSize;
            const std::size_t length = std::min(toPageEnd, size - done - batch);
            remote[count] = {reinterpret_cast<void *>(at), length};
            at += length;
            batch += length;
        }
        const iovec local{out + done, batch};
        ssize_t got;
        do {
            got = process_vm_readv(pid_, &local, 1, remote, count, 0);
        } while (got < 0 && errno == EINTR);
        if (got <= 0)
            break;
        done += static_cast<std::size_t>(got);
        if (static_cast<std::size_t>(got) < batch)
            break;
    }
    return done;
}

std::optional<DumpArena> DumpArena::reserve(std::size_t capacity)
{
    capacity = (capacity + kPageSize - 1) / kPageSize * kPageSize;
    void *mapping = mmap(nullptr, capacity + kPageSize, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (mapping == MAP_FAILED)
        return std::nullopt;
    auto *base = static_cast<char *>(mapping);
    if (mprotect(base + capacity, kPageSize, PROT_NONE) != 0) {
        munmap(mapping, capacity + kPageSize);
        return std::nullopt;
    }
    return DumpArena(base, capacity);
}

DumpArena::DumpArena(DumpArena &&other) noexcept
    : base_(other.base_), capacity_(other.capacity_), used_(other.used_),
      owned_(std::exchange(other.owned_, false))
{
}

DumpArena::~DumpArena()
{
    if (owned_)
        munmap(base_, capacity_ + kPageSize);
}

// async-signal-safe.
void *DumpArena::allocate(std::size_t size, std::size_t alignment)
{
    const std::size_t start = (used_ + alignment - 1) / alignment * alignment;
    if (start > capacity_ || capacity_ - start < size)
        return nullptr;
    used_ = start + size;
    return base_ + start;
}

} // namespace platform::linux_impl
