#include "platform/linux/capture_helper/traced_capture_linux.h"

#include "platform/linux/capture/thread_context_linux.h"
#include "platform/linux/signal_support_linux.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <utility>

namespace platform::linux_impl
{

using minidump::DumpModel;
using minidump::DumpThread;

namespace
{

// A traced thread stops within microseconds unless the kernel holds it (uninterruptible
// sleep); a dump does not wait longer than this for any one thread.
constexpr std::int64_t kStopTimeoutNs = 200'000'000;

// Sleeps until a traced thread changes state (the kernel tells its tracer with SIGCHLD, which
// the helper keeps blocked) or until `deadlineNs`.
void awaitTraceEvent(std::int64_t deadlineNs)
{
    sigset_t childEvents;
    sigemptyset(&childEvents);
    sigaddset(&childEvents, SIGCHLD);
    const std::int64_t left = std::max<std::int64_t>(deadlineNs - monotonicNowNs(), 0);
    const timespec timeout{static_cast<time_t>(left / 1'000'000'000),
                           static_cast<long>(left % 1'000'000'000)};
    sigtimedwait(&childEvents, nullptr, &timeout);
}

// The thread's registers and its stack, read while it is stopped.
DumpThread describeStopped(pid_t host, pid_t tid, const std::vector<MapsEntry> &maps,
                           DumpArena &arena, const FreezeLimits &limits)
{
    DumpThread thread;
    thread.threadId = static_cast<std::uint32_t>(tid);
    user_regs_struct registers{};
    user_fpregs_struct fpRegisters{};
    if (ptrace(PTRACE_GETREGS, tid, nullptr, &registers) != 0)
        return thread;
    const bool hasFp = ptrace(PTRACE_GETFPREGS, tid, nullptr, &fpRegisters) == 0;
    SavedRegisters saved;
    saveRegisters(registers, hasFp ? &fpRegisters : nullptr, saved);
    thread.context = contextFromRegisters(saved);
    thread.stack = copyStackAbove(registers.rsp, maps, arena, limits, ProcessMemory(host));
    return thread;
}

} // namespace

bool stopThread(pid_t tid, std::int64_t deadlineNs, bool &stillTraced)
{
    // PTRACE_SEIZE, unlike PTRACE_ATTACH, sends no SIGSTOP, so no call of the thread's
    // returns EINTR; PTRACE_INTERRUPT stops it without any signal.
    if (ptrace(PTRACE_SEIZE, tid, nullptr, nullptr) != 0)
        return false;
    if (ptrace(PTRACE_INTERRUPT, tid, nullptr, nullptr) != 0) {
        stillTraced = true; // gone already, or never stops: the exit of this process ends it
        return false;
    }
    for (;;) {
        int status = 0;
        const pid_t waited = waitpid(tid, &status, __WALL | WNOHANG);
        if (waited == tid)
            return WIFSTOPPED(status); // otherwise it exited, which ends the tracing
        if (waited < 0 && errno != EINTR)
            return false;
        if (monotonicNowNs() >= deadlineNs) {
            stillTraced = true;
            return false;
        }
        awaitTraceEvent(deadlineNs);
    }
}

void releaseThread(pid_t tid)
{
    ptrace(PTRACE_DETACH, tid, nullptr, nullptr);
}

TracedCapture captureTracedProcess(pid_t host, void (*whileStopped)())
{
    TracedCapture result;
    const std::vector<pid_t> threadIds = threadsMainFirst(host);
    DumpModel model;
    const std::vector<MapsEntry> maps = gatherProcessFacts(model, host, ProcessMemory(host));
    std::optional<DumpArena> arena = reserveCaptureArena(threadIds.size(), 0);
    if (!arena)
        return result;
    const FreezeLimits limits = captureLimits(host);

    model.threads.reserve(threadIds.size());
    for (const pid_t tid : threadIds) {
        // One thread stopped at a time, for as long as its registers and stack take.
        const std::int64_t askedNs = monotonicNowNs();
        if (stopThread(tid, askedNs + kStopTimeoutNs, result.threadsStillTraced)) {
            // The host thread is stopped from here to releaseThread: system calls and copies
            // into the arena only, no allocation, no lock, no log line.
            const DumpThread thread = describeStopped(host, tid, maps, *arena, limits);
            if (whileStopped)
                std::exchange(whileStopped, nullptr)();
            releaseThread(tid);
            result.longestStopNs = std::max(result.longestStopNs, monotonicNowNs() - askedNs);
            model.threads.push_back(thread);
        } else {
            model.threads.push_back(DumpThread{static_cast<std::uint32_t>(tid), {}, {}});
            describeFromSyscall(model.threads.back(), host, maps, *arena, limits);
        }
    }
    result.capture.emplace(ProcessCapture{std::move(*arena), std::move(model)});
    return result;
}

} // namespace platform::linux_impl
