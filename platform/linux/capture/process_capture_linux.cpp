#include "platform/linux/capture/process_capture_linux.h"

#include "platform/linux/capture/dso_debug_linux.h"
#include "platform/linux/capture/module_list_linux.h"
#include "platform/linux/capture/proc_files_linux.h"
#include "platform/linux/capture/system_facts_linux.h"
#include "platform/linux/capture/thread_context_linux.h"
#include "platform/linux/capture/thread_freezer_linux.h"
#include "platform/linux/signal_support_linux.h"

#include <algorithm>
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

std::string fileOrEmpty(const char *path)
{
    return readWholeFile(path).value_or(std::string());
}

// This process's threads with the main thread (id == pid) first, where LLDB selects it.
std::vector<pid_t> threadsMainFirst()
{
    std::vector<pid_t> ids = listThreadIds();
    const auto main = std::find(ids.begin(), ids.end(), getpid());
    if (main != ids.end())
        std::rotate(ids.begin(), main, main + 1);
    return ids;
}

void gatherProcessFacts(DumpModel &model, const std::vector<MapsEntry> &maps)
{
    const OwnProcessMemory memory;
    model.processId = static_cast<std::uint32_t>(getpid());
    model.timeDateStamp = static_cast<std::uint32_t>(std::time(nullptr));
    model.system = readSystemFacts();
    model.modules = collectModules(maps, memory, getauxval(AT_ENTRY));
    model.dsoDebug = readDsoDebug(memory, getauxval(AT_PHDR), getauxval(AT_PHNUM));
    model.cpuInfo = fileOrEmpty("/proc/cpuinfo");
    model.procStatus = fileOrEmpty("/proc/self/status");
    model.lsbRelease = fileOrEmpty("/etc/lsb-release");
    model.cmdLine = fileOrEmpty("/proc/self/cmdline");
    model.auxv = fileOrEmpty("/proc/self/auxv");
}

// Copies the stack above `sp` into the arena; empty when the arena is used up.
CapturedMemory copyStackAbove(std::uint64_t sp, const std::vector<MapsEntry> &maps,
                              DumpArena &arena, const FreezeLimits &limits)
{
    const StackRange range = stackRangeFor(sp, maps, limits.maxStackBytes, limits.stackCeiling);
    auto *buffer = static_cast<std::uint8_t *>(arena.allocate(range.size, 16));
    if (!buffer)
        return {};
    return {range.start, {buffer, OwnProcessMemory().read(range.start, buffer, range.size)}};
}

// A thread that could not be stopped still shows where it is while it sits in a system call
// (the main thread is watched a little while for one):
// the kernel reports its stack and instruction pointers, and its stack does not change until
// the call returns. The stack is kept only if the thread was in the same call, at the same
// place, before and after the copy.
void describeFromSyscall(DumpThread &thread, const std::vector<MapsEntry> &maps, DumpArena &arena,
                         const FreezeLimits &limits)
{
    const auto tid = static_cast<pid_t>(thread.threadId);
    std::optional<SyscallStop> before = readSyscallStop(tid);
    if (tid == getpid()) {
        const std::int64_t deadline = monotonicNowNs() + kMainThreadSyscallWaitNs;
        while (!before && monotonicNowNs() < deadline && sendSignalToThread(tid, 0) == 0) {
            sched_yield();
            before = readSyscallStop(tid);
        }
    }
    if (!before)
        return;
    const CapturedMemory stack = copyStackAbove(before->sp, maps, arena, limits);
    if (stack.bytes.size == 0 || !(readSyscallStop(tid) == before))
        return;
    thread.context = controlContext(before->sp, before->pc);
    thread.stack = stack;
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
        describeFromSyscall(thread, maps, arena, limits);
    }
    return thread;
}

} // namespace

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
    std::vector<pid_t> threadIds = threadsMainFirst();
    std::vector<pid_t> others;
    std::copy_if(threadIds.begin(), threadIds.end(), std::back_inserter(others),
                 [self](pid_t id) { return id != self; });

    DumpModel model;
    model.maps = fileOrEmpty("/proc/self/maps");
    const std::vector<MapsEntry> maps = parseMaps(model.maps);
    gatherProcessFacts(model, maps);

    // A slot per other thread, every thread's stack, alignment and the freeze record.
    const std::size_t threadCount = others.size() + 1;
    const std::size_t slotBytes = threadCount * (sizeof(ThreadSlot) + alignof(ThreadSlot));
    const std::size_t stackBytes = std::min(kStackBudget, threadCount * (kMaxStackBytes + 16));
    std::optional<DumpArena> arena = DumpArena::reserve(slotBytes + stackBytes + kArenaSlack);
    if (!arena)
        return std::nullopt;

    const FreezeLimits limits{
        kAnswerTimeoutNs, kMaxStackBytes,
        argumentStringsStart(fileOrEmpty("/proc/self/stat")).value_or(~std::uint64_t{0})};
    const ThreadSlot *slots = freezeThreadsAndCopyStacks(others, maps, *arena, limits);
    if (!slots)
        return std::nullopt;

    DumpThread own;
    own.threadId = static_cast<std::uint32_t>(self);
    own.context = contextFromRegisters(ownRegisters);
    own.stack = copyStackAbove(own.context->rsp, maps, *arena, limits);

    // The stopped threads are all released: from here on the heap and /proc may be used.
    model.threads.reserve(threadIds.size());
    for (std::size_t i = 0, other = 0; i < threadIds.size(); ++i) {
        model.threads.push_back(
            threadIds[i] == self ? own : dumpThreadFrom(slots[other++], maps, *arena, limits));
    }
    return ProcessCapture{std::move(*arena), std::move(model)};
}

} // namespace platform::linux_impl
