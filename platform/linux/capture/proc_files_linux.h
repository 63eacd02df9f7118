// What the dump writer reads from /proc (and /etc) before any thread is stopped.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace platform::linux_impl
{

// The whole file, read in a loop because /proc files report a size of 0. nullopt when it
// cannot be opened or read.
std::optional<std::string> readWholeFile(const char *path);

// One line of /proc/PID/maps.
struct MapsEntry {
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    std::uint64_t offset = 0;
    bool readable = false;
    bool executable = false;
    std::uint64_t inode = 0;
    std::string path; // empty for anonymous memory; "[stack]"-style names kept as they are
};

// The lines of a maps text in order; lines that do not parse are left out.
std::vector<MapsEntry> parseMaps(const std::string &text);

// The mapping holding `address`, or null. `maps` must be sorted by address, as the kernel
// lists it. async-signal-safe (a binary search).
const MapsEntry *findMapping(const std::vector<MapsEntry> &maps, std::uint64_t address);

// arg_start from a /proc/PID/stat text: where the argument strings begin, followed by the
// environment strings, at the top of the main thread's stack. nullopt when it does not parse.
std::optional<std::uint64_t> argumentStringsStart(const std::string &stat);

// Where a thread that sits in a system call entered it: its user stack and instruction
// pointers (the instruction after the `syscall`).
struct SyscallStop {
    std::int64_t number = 0;
    std::uint64_t sp = 0;
    std::uint64_t pc = 0;

    bool operator==(const SyscallStop &other) const
    {
        return number == other.number && sp == other.sp && pc == other.pc;
    }
};

// A /proc/PID/task/TID/syscall text: "number arg1 ... arg6 sp pc" while the thread is in a
// system call. nullopt for "running", for "-1 sp pc" (blocked outside a system call) and for
// anything that does not parse.
std::optional<SyscallStop> parseSyscallStop(const std::string &text);

// parseSyscallStop of thread `tid` of process `pid` (0: this process).
std::optional<SyscallStop> readSyscallStop(pid_t tid, pid_t pid = 0);

// The ids of the threads of process `pid` (0: this process), from /proc/PID/task, in the
// order listed there.
std::vector<pid_t> listThreadIds(pid_t pid = 0);

// "/proc/self", or "/proc/PID" for another process's files.
std::string procDirectory(pid_t pid);

} // namespace platform::linux_impl
