// keelanr-capture: the capture helper the module starts beside its host. It takes the host's
// stack samples and dumps from outside with ptrace (traced_capture_linux.h), so no host
// thread has to run a handler of ours to be seen and no call of the host's is interrupted,
// and it ends with its host.
//
// Usage: keelanr-capture HOST_PID HOST_TID CHANNEL_VERSION, with the channel to the host on
// descriptor 3.
#include "minidump/serialiser.h"
#include "platform/linux/capture/dump_memory_linux.h"
#include "platform/linux/capture/dump_writer_linux.h"
#include "platform/linux/capture_helper/capture_channel_linux.h"
#include "platform/linux/capture_helper/remote_unwind_linux.h"
#include "platform/linux/capture_helper/traced_capture_linux.h"
#include "platform/linux/signal_support_linux.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace
{

using namespace platform::linux_impl;

constexpr std::int64_t kTrialStopTimeoutNs = 1'000'000'000;
// A sample waits this long for its thread to stop (the host waits a little longer).
constexpr std::int64_t kSampleStopTimeoutNs = 100'000'000;
// The part of the stack a sample copies: enough for the frames a sample keeps.
constexpr std::size_t kSampleStackBytes = 128 * 1024;
constexpr std::uint64_t kRedZone = 128;

// One command and the descriptor that came with it (-1 when none). False when the host
// closed the channel or it failed.
bool receiveCommand(HelperCommand &command, int &fd)
{
    fd = -1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    iovec data{&command, sizeof command};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t got;
    do {
        got = recvmsg(kHelperChannelFd, &message, MSG_CMSG_CLOEXEC);
    } while (got < 0 && errno == EINTR);
    if (got != static_cast<ssize_t>(sizeof command))
        return false;
    if (const cmsghdr *header = CMSG_FIRSTHDR(&message);
        header && header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_RIGHTS)
        std::memcpy(&fd, CMSG_DATA(header), sizeof fd);
    return true;
}

bool reply(const void *bytes, std::size_t size)
{
    return send(kHelperChannelFd, bytes, size, MSG_NOSIGNAL) == static_cast<ssize_t>(size);
}

[[noreturn]] void stallForever()
{
    for (;;)
        pause();
}

// Stops the thread, reads its registers and copies its stack, lets it go, then walks the copy.
SampleAnswer sample(pid_t host, pid_t tid, bool stall, bool &threadStillTraced)
{
    static std::vector<std::uint8_t> copy(kSampleStackBytes);
    SampleAnswer answer;
    user_regs_struct registers{};
    StackCopy stack;
    answer.stopNs = monotonicNowNs();
    if (!stopThread(tid, answer.stopNs + kSampleStopTimeoutNs, threadStillTraced))
        return answer;
    // The host thread is stopped from here to releaseThread: system calls and a copy into
    // memory reserved before, no allocation, no lock, no log line.
    if (ptrace(PTRACE_GETREGS, tid, nullptr, &registers) == 0) {
        stack.address = registers.rsp - kRedZone;
        stack.bytes = copy.data();
        stack.size = ProcessMemory(host).read(stack.address, copy.data(), copy.size());
    }
    if (stall)
        stallForever();
    releaseThread(tid);
    answer.releaseNs = monotonicNowNs();
    if (stack.bytes) {
        answer.count = static_cast<std::uint32_t>(walkStoppedStack(
            host, tid, registers, stack, answer.frames, platform::kMaxStackFrames));
    }
    return answer;
}

DumpAnswer writeDump(pid_t host, int fd, bool stall, bool &threadsStillTraced)
{
    const TracedCapture traced = captureTracedProcess(host, stall ? &stallForever : nullptr);
    threadsStillTraced = traced.threadsStillTraced;
    DumpAnswer answer;
    answer.longestStopNs = traced.longestStopNs;
    if (traced.capture) {
        const std::optional<minidump::DumpLayout> layout =
            minidump::layOutMinidump(traced.capture->model);
        answer.written = layout && writeLayout(fd, *layout);
    }
    return answer;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3)
        return 2;
    const auto host = static_cast<pid_t>(std::strtol(argv[1], nullptr, 10));
    const auto hostThread = static_cast<pid_t>(std::strtol(argv[2], nullptr, 10));
    // Ends with the host thread that started it; the closed channel covers the rest.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != host)
        return 3; // the host ended before the line above
    // Descriptors the host left open without close-on-exec are not the helper's to hold.
    close_range(kHelperChannelFd + 1, ~0U, 0);
    // The stops of traced threads are awaited as SIGCHLD (stopThread).
    sigset_t childEvents;
    sigemptyset(&childEvents);
    sigaddset(&childEvents, SIGCHLD);
    sigprocmask(SIG_BLOCK, &childEvents, nullptr);
    const char *stallAt = std::getenv(kHelperStallVariable);
    const bool stallInDump = stallAt && std::strcmp(stallAt, "dump") == 0;
    const bool stallInSample = stallAt && std::strcmp(stallAt, "sample") == 0;

    HelperCommand command;
    int fd = -1;
    if (!receiveCommand(command, fd) || command.command != kGoCommand)
        return 4;
    // The host thread waits for this answer in a system call: stopping it costs it nothing.
    bool stillTraced = false;
    errno = 0;
    std::int32_t refusal = 0;
    if (argc < 4 || std::strcmp(argv[3], kChannelVersion) != 0)
        refusal = EPROTO;
    else if (stopThread(hostThread, monotonicNowNs() + kTrialStopTimeoutNs, stillTraced))
        releaseThread(hostThread);
    else
        refusal = errno != 0 ? errno : ETIMEDOUT;
    if (!reply(&refusal, sizeof refusal) || refusal != 0)
        return 5;

    while (receiveCommand(command, fd)) {
        bool threadsStillTraced = false;
        bool replied = true;
        if (command.command == kSampleCommand) {
            const SampleAnswer answer =
                sample(host, command.thread, stallInSample, threadsStillTraced);
            replied = reply(&answer, sizeof answer);
        } else if (command.command == kDumpCommand && fd >= 0) {
            const DumpAnswer answer = writeDump(host, fd, stallInDump, threadsStillTraced);
            replied = reply(&answer, sizeof answer);
        }
        if (fd >= 0)
            close(fd);
        if (!replied || threadsStillTraced)
            return 6; // ending releases every thread still traced
    }
    return 0;
}
