#include "platform/linux/capture/process_capture_linux.h"

#include "platform/linux/capture/dso_debug_linux.h"
#include "platform/linux/capture/module_list_linux.h"
#include "platform/linux/capture/proc_files_linux.h"
#include "platform/linux/capture/system_facts_linux.h"
#include "platform/linux/capture/thread_context_linux.h"
#include "platform/linux/capture/thread_freezer_linux.h"
#include "platform/linux/signal_support_linux.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <sched.h>
#include <sys/auxv.h>
#include <ucontext.h>
#include <unistd.h>

namespace platform::linux_impl
{

using minidump::CapturedMemory;
using minidump::DumpModel;
using minidump::DumpThread;

namespace
{

// Enough for LLDB to walk a deep GUI stack; most threads use a few KiB of it.
constexpr std::size_t kMaxStackBytes = 256 * 1024;
// Stacks of a process with hundreds of threads share this much.
constexpr std::size_t kStackBudget = 64 * 1024 * 1024;
// For all threads together. An answering thread takes microseconds, but on a loaded machine
// the scheduler may not run it for a while; a dump is rare and only a thread that never
// answers makes it wait this long.
constexpr std::int64_t kAnswerTimeoutNs = 500'000'000;
constexpr std::size_t kArenaSlack = 4096;
// How long the main thread (the GUI thread, which the dump is for) is watched for a system
// call when it could not be stopped: a thread that was just leaving a handler, or is between
// two calls, gets there in microseconds; one that computes with the signal blocked does not.
constexpr std::int64_t kMainThreadSyscallWaitNs = 20'000'000;

std::string fileOrEmpty(const std::string &path)
{
    return readWholeFile(path.c_str()).value_or(std::string());
}

// The value of auxiliary vector entry `type` in a /proc/PID/auxv text; 0 when missing.
std::uint64_t auxvValue(const std::string &auxv, std::uint64_t type)
{
    for (std::size_t at = 0; at + 16 <= auxv.size(); at += 16) {
        std::uint64_t entry[2];
        std::memcpy(entry, auxv.data() + at, sizeof entry);
        if (entry[0] == type)
            return entry[1];
    }
    return 0;
}

DumpThread dumpThreadFrom(const ThreadSlot &slot, const std::vector<MapsEntry> &maps,
                          DumpArena &arena, const FreezeLimits &limits)
{
    DumpThread thread;
    thread.threadId = static_cast<std::uint32_t>(slot.threadId);
    if (slot.hasRegisters) {
        thread.context = contextFromRegisters(slot.registers);
        thread.stack = slot.stack;
    } else {
        describeFromSyscall(thread, 0, maps, arena, limits);
    }
    return thread;
}

} // namespace

std::vector<pid_t> threadsMainFirst(pid_t pid)
{
    std::vector<pid_t> ids = listThreadIds(pid);
    const auto main = std::find(ids.begin(), ids.end(), pid == 0 ? getpid() : pid);
    if (main != ids.end())
        std::rotate(ids.begin(), main, main + 1);
    return ids;
}

std::vector<MapsEntry> gatherProcessFacts(DumpModel &model, pid_t pid, const MemoryReader &memory)
{
    const std::string proc = procDirectory(pid);
    model.maps = fileOrEmpty(proc + "/maps");
    std::vector<MapsEntry> maps = parseMaps(model.maps);
    model.processId = static_cast<std::uint32_t>(pid == 0 ? getpid() : pid);
    model.timeDateStamp = static_cast<std::uint32_t>(std::time(nullptr));
    model.system = readSystemFacts();
    model.cpuInfo = fileOrEmpty("/proc/cpuinfo");
    model.procStatus = fileOrEmpty(proc + "/status");
    model.lsbRelease = fileOrEmpty("/etc/lsb-release");
    model.cmdLine = fileOrEmpty(proc + "/cmdline");
    model.auxv = fileOrEmpty(proc + "/auxv");
    model.modules = collectModules(maps, memory, auxvValue(model.auxv, AT_ENTRY));
    model.dsoDebug =
        readDsoDebug(memory, auxvValue(model.auxv, AT_PHDR), auxvValue(model.auxv, AT_PHNUM));
    return maps;
}

std::optional<DumpArena> reserveCaptureArena(std::size_t threadCount, std::size_t slotBytes)
{
    const std::size_t stackBytes = std::min(kStackBudget, threadCount * (kMaxStackBytes + 16));
    return DumpArena::reserve(threadCount * slotBytes + stackBytes + kArenaSlack);
}

FreezeLimits captureLimits(pid_t pid)
{
    return {kAnswerTimeoutNs, kMaxStackBytes,
            argumentStringsStart(fileOrEmpty(procDirectory(pid) + "/stat"))
                .value_or(~std::uint64_t{0})};
}

CapturedMemory copyStackAbove(std::uint64_t sp, const std::vector<MapsEntry> &maps,
                              DumpArena &arena, const FreezeLimits &limits,
                              const MemoryReader &memory)
{
    const StackRange range = stackRangeFor(
        sp, maps, std::min(limits.maxStackBytes, arena.remaining()), limits.stackCeiling);
    auto *buffer = static_cast<std::uint8_t *>(arena.allocate(range.size, 16));
    if (!buffer)
        return {};
    return {range.start, {buffer, memory.read(range.start, buffer, range.size)}};
}

// The stack is kept only if the thread was in the same call, at the same place, before and
// after the copy: its stack does not change until the call returns.
void describeFromSyscall(DumpThread &thread, pid_t pid, const std::vector<MapsEntry> &maps,
                         DumpArena &arena, const FreezeLimits &limits)
{
    const auto tid = static_cast<pid_t>(thread.threadId);
    std::optional<SyscallStop> before = readSyscallStop(tid, pid);
    if (pid == 0 && tid == getpid()) {
        const std::int64_t deadline = monotonicNowNs() + kMainThreadSyscallWaitNs;
        while (!before && monotonicNowNs() < deadline && sendSignalToThread(tid, 0) == 0) {
            sched_yield();
            before = readSyscallStop(tid);
        }
    }
    if (!before)
        return;
    const CapturedMemory stack =
        copyStackAbove(before->sp, maps, arena, limits, ProcessMemory(pid == 0 ? getpid() : pid));
    if (stack.bytes.size == 0 || !(readSyscallStop(tid, pid) == before))
        return;
    thread.context = controlContext(before->sp, before->pc);
    thread.stack = stack;
}

std::optional<ProcessCapture> captureProcess()
{
    // The calling thread describes itself. Its context is taken in this frame, which stays
    // live while its stack is copied below, so the saved stack pointer and return addresses
    // still hold then.
    ucontext_t ownContext;
    if (getcontext(&ownContext) != 0)
        return std::nullopt;
    SavedRegisters ownRegisters;
    saveRegisters(ownContext, ownRegisters);

    // Threads are listed before the maps are read, so every listed thread's stack is mapped.
    const pid_t self = currentThreadId();
    std::vector<pid_t> threadIds = threadsMainFirst(0);
    std::vector<pid_t> others;
    std::copy_if(threadIds.begin(), threadIds.end(), std::back_inserter(others),
                 [self](pid_t id) { return id != self; });

    DumpModel model;
    const std::vector<MapsEntry> maps = gatherProcessFacts(model, 0, OwnProcessMemory());

    // A slot per other thread, every thread's stack, alignment and the freeze record.
    std::optional<DumpArena> arena =
        reserveCaptureArena(threadIds.size(), sizeof(ThreadSlot) + alignof(ThreadSlot));
    if (!arena)
        return std::nullopt;

    const FreezeLimits limits = captureLimits(0);
    const ThreadSlot *slots = freezeThreadsAndCopyStacks(others, maps, *arena, limits);
    if (!slots)
        return std::nullopt;

    DumpThread own;
    own.threadId = static_cast<std::uint32_t>(self);
    own.context = contextFromRegisters(ownRegisters);
    own.stack = copyStackAbove(own.context->rsp, maps, *arena, limits, OwnProcessMemory());

    // The stopped threads are all released: from here on the heap and /proc may be used.
    model.threads.reserve(threadIds.size());
    for (std::size_t i = 0, other = 0; i < threadIds.size(); ++i) {
        model.threads.push_back(
            threadIds[i] == self ? own : dumpThreadFrom(slots[other++], maps, *arena, limits));
    }
    return ProcessCapture{std::move(*arena), std::move(model)};
}

} // namespace platform::linux_impl
