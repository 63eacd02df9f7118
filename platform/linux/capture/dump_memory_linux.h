// Memory for the dump writer: reading this process's memory without faulting, and an arena
// reserved before threads are stopped, from which nothing needs the heap afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <sys/types.h>
#include <unistd.h>

namespace platform::linux_impl
{

class MemoryReader
{
public:
    virtual ~MemoryReader() = default;
    // Copies up to `size` bytes starting at `address` into `buffer`; returns how many were
    // copied before the first unreadable one.
    virtual std::size_t read(std::uint64_t address, void *buffer, std::size_t size) const = 0;

    bool readExactly(std::uint64_t address, void *buffer, std::size_t size) const
    {
        return read(address, buffer, size) == size;
    }
};

// A process's memory through process_vm_readv, so an unmapped or guard page ends the read
// instead of raising SIGSEGV. async-signal-safe (system calls only, no allocation). Another
// process's memory needs the right to trace it.
class ProcessMemory : public MemoryReader
{
public:
    explicit ProcessMemory(pid_t pid) : pid_(pid) {}
    std::size_t read(std::uint64_t address, void *buffer, std::size_t size) const override;

private:
    pid_t pid_;
};

// This process's memory.
class OwnProcessMemory final : public ProcessMemory
{
public:
    OwnProcessMemory() : ProcessMemory(getpid()) {}
};

// An anonymous mapping reserved up front (pages are backed on first touch) with an
// inaccessible guard page after it. Allocation is a pointer bump: async-signal-safe and
// lock-free, for one thread at a time.
class DumpArena
{
public:
    // Not async-signal-safe (mmap). nullopt when the address space cannot be reserved.
    static std::optional<DumpArena> reserve(std::size_t capacity);

    DumpArena(DumpArena &&other) noexcept;
    DumpArena &operator=(DumpArena &&) = delete;
    DumpArena(const DumpArena &) = delete;
    ~DumpArena();

    // async-signal-safe. Zeroed memory, or nullptr when fewer than `size` bytes are left.
    void *allocate(std::size_t size, std::size_t alignment = alignof(std::max_align_t));
    // async-signal-safe.
    std::size_t remaining() const { return capacity_ - used_; }
    // An address whose every access faults.
    const volatile char *guardPage() const { return base_ + capacity_; }
    // Keeps the mapping for good (it is not unmapped on destruction), for when something may
    // still touch it. The arena stays usable.
    void leak() { owned_ = false; }

private:
    DumpArena(char *base, std::size_t capacity) : base_(base), capacity_(capacity) {}

    char *base_;
    std::size_t capacity_;
    std::size_t used_ = 0;
    bool owned_ = true;
};

} // namespace platform::linux_impl
