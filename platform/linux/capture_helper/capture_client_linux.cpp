#include "platform/linux/capture_helper/capture_client_linux.h"

#include "platform/capture_helper.h"

#include "platform/linux/capture/proc_files_linux.h"
#include "platform/linux/capture_helper/capture_channel_linux.h"
#include "platform/linux/signal_support_linux.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

extern char **environ;

namespace platform::linux_impl
{
namespace
{

// A dump of a few hundred threads takes the helper well under a second; a helper silent for
// this long is taken for hung.
constexpr std::chrono::milliseconds kDumpTimeout{10'000};
constexpr std::chrono::milliseconds kStartTimeout{2'000};
// The helper waits up to 100 ms for a thread to stop; a sample is given up a little after.
constexpr std::chrono::milliseconds kSampleTimeout{150};

struct Helper {
    pid_t pid = 0;
    int channel = -1;
};

std::mutex helperMutex;
Helper helper;          // guarded by helperMutex
std::string lastReason; // guarded by helperMutex; the reason last noticed
std::string pendingNotice;

std::optional<std::string> pathOverride;
std::string stallForTesting; // where a new helper hangs; empty: nowhere
std::chrono::milliseconds dumpTimeout = kDumpTimeout;
std::int64_t longestStopInLastDumpNs = 0;
// A helper that could not start is tried again after this long (a debugger may have left).
constexpr std::int64_t kRetryAfterRefusalNs = 60'000'000'000;
std::int64_t nextStartNs = 0; // guarded by helperMutex

bool fileExecutable(const std::string &path)
{
    return access(path.c_str(), X_OK) == 0;
}

// Beside the library (or the executable it is linked into), else in PREFIX/libexec/keelanr
// when the library sits in PREFIX/lib or PREFIX/lib/<multiarch>. Empty when none exists.
std::string findHelper()
{
    if (pathOverride)
        return fileExecutable(*pathOverride) ? *pathOverride : std::string();
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(&writeDumpThroughHelper), &info) == 0 || !info.dli_fname)
        return {};
    char resolved[PATH_MAX];
    if (!realpath(info.dli_fname, resolved))
        return {};
    std::string directory = resolved;
    directory.erase(directory.rfind('/'));
    if (const std::string beside = directory + "/" + kCaptureHelperName; fileExecutable(beside))
        return beside;
    for (int up = 0; up < 2 && directory.rfind('/') != std::string::npos; ++up) {
        directory.erase(directory.rfind('/'));
        const std::string inLibexec = directory + "/libexec/keelanr/" + kCaptureHelperName;
        if (fileExecutable(inLibexec))
            return inLibexec;
    }
    return {};
}

// Milliseconds left until `deadlineNs`, for poll().
int millisecondsUntil(std::int64_t deadlineNs)
{
    const std::int64_t left = deadlineNs - monotonicNowNs();
    return left <= 0 ? 0 : static_cast<int>((left + 999'999) / 1'000'000);
}

// Waits for one message from the helper until the timeout; false on timeout, error or EOF.
bool receiveReply(int channel, void *buffer, std::size_t size, std::chrono::milliseconds timeout)
{
    const std::int64_t deadline = monotonicNowNs() + std::chrono::nanoseconds(timeout).count();
    for (;;) {
        pollfd ready{channel, POLLIN, 0};
        const int polled = poll(&ready, 1, millisecondsUntil(deadline));
        if (polled < 0 && errno == EINTR)
            continue;
        if (polled <= 0)
            return false;
        const ssize_t got = recv(channel, buffer, size, 0);
        if (got < 0 && errno == EINTR)
            continue;
        return got == static_cast<ssize_t>(size);
    }
}

bool sendCommand(int channel, char command, int fd, pid_t thread = 0)
{
    HelperCommand message{command, static_cast<std::int32_t>(thread)};
    iovec data{&message, sizeof message};
    msghdr header{};
    header.msg_iov = &data;
    header.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    if (fd >= 0) {
        header.msg_control = control;
        header.msg_controllen = sizeof control;
        cmsghdr *rights = CMSG_FIRSTHDR(&header);
        rights->cmsg_level = SOL_SOCKET;
        rights->cmsg_type = SCM_RIGHTS;
        rights->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(rights), &fd, sizeof fd);
    }
    ssize_t sent;
    do {
        sent = sendmsg(channel, &header, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(sizeof message);
}

// Called with helperMutex held. Ends the helper (its death releases any thread it holds).
void stopHelper()
{
    // Only while it is still our unreaped child: a host that reaps every child could have
    // reaped it already, and its id could name another process by now.
    if (helper.pid > 0 && waitpid(helper.pid, nullptr, WNOHANG) == 0) {
        kill(helper.pid, SIGKILL);
        while (waitpid(helper.pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    if (helper.channel >= 0)
        close(helper.channel);
    helper = Helper{};
}

// Why the helper may not trace this process, from the error of its trial stop.
std::string refusalReason(int error)
{
    if (error == EPROTO)
        return std::string(kCaptureHelperName) + " is of another version than the library";
    // The calling thread is the one the helper tried to stop.
    const std::string status = readWholeFile("/proc/thread-self/status").value_or("");
    const std::size_t tracer = status.find("\nTracerPid:\t");
    if (tracer != std::string::npos && status.compare(tracer + 12, 2, "0\n") != 0)
        return "tracing refused: a tracer is already attached";
    const std::string scope = readWholeFile("/proc/sys/kernel/yama/ptrace_scope").value_or("");
    if (!scope.empty() && scope[0] >= '2')
        return "tracing refused: Yama ptrace_scope " + scope.substr(0, 1);
    return std::string("tracing refused: ") + std::strerror(error);
}

// Called with helperMutex held. Starts the helper and waits until it has stopped and released
// this thread once. Empty on success, else why not.
std::string startHelper()
{
    const std::string path = findHelper();
    if (path.empty())
        return std::string(kCaptureHelperName) + " not found beside the library";
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0)
        return std::string("no channel to the helper: ") + std::strerror(errno);
    // dup2 onto the same number would keep close-on-exec set.
    if (ends[1] == kHelperChannelFd) {
        const int moved = fcntl(ends[1], F_DUPFD_CLOEXEC, kHelperChannelFd + 1);
        close(ends[1]);
        ends[1] = moved;
    }
    const std::string hostPid = std::to_string(getpid());
    const std::string hostThread = std::to_string(currentThreadId());
    char *arguments[] = {const_cast<char *>(path.c_str()), const_cast<char *>(hostPid.c_str()),
                         const_cast<char *>(hostThread.c_str()),
                         const_cast<char *>(kChannelVersion), nullptr};
    std::vector<char *> environment;
    for (char **variable = environ; variable && *variable; ++variable)
        environment.push_back(*variable);
    std::string stall = std::string(kHelperStallVariable) + "=" + stallForTesting;
    if (!stallForTesting.empty())
        environment.push_back(stall.data());
    environment.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], kHelperChannelFd);
    posix_spawnattr_init(&attributes);
    // The helper starts with no signal blocked and every disposition at its default,
    // whatever the host's thread had.
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    const int spawned = ends[1] < 0 ? EMFILE
                                    : posix_spawn(&pid, path.c_str(), &actions, &attributes,
                                                  arguments, environment.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (ends[1] >= 0)
        close(ends[1]);
    if (spawned != 0) {
        close(ends[0]);
        return std::string("the helper did not start: ") + std::strerror(spawned);
    }
    helper = Helper{pid, ends[0]};

    // Without Yama this fails with EINVAL, and the helper may trace us anyway.
    prctl(PR_SET_PTRACER, static_cast<unsigned long>(pid), 0, 0, 0);
    std::int32_t refusal = 0;
    if (!sendCommand(helper.channel, kGoCommand, -1) ||
        !receiveReply(helper.channel, &refusal, sizeof refusal, kStartTimeout)) {
        stopHelper();
        return "the helper did not answer";
    }
    if (refusal != 0) {
        stopHelper();
        return refusalReason(refusal);
    }
    return {};
}

// Called with helperMutex held.
void noteReason(const std::string &reason)
{
    if (reason != lastReason && !reason.empty())
        pendingNotice = "anr dumps taken in process: " + reason;
    lastReason = reason;
}

// Called with helperMutex held. True once a helper runs, started anew if the last one died.
bool helperRunning()
{
    if (helper.pid > 0 && waitpid(helper.pid, nullptr, WNOHANG) != 0) {
        helper.pid = 0; // it died (or was reaped by the host): start anew
        stopHelper();
    }
    // Where it could not start, it is not tried again for every sample: a start that is
    // refused costs a process.
    const std::int64_t now = monotonicNowNs();
    if (helper.pid == 0 && now >= nextStartNs) {
        const std::string reason = startHelper();
        noteReason(reason);
        nextStartNs = reason.empty() ? 0 : now + kRetryAfterRefusalNs;
    }
    return helper.pid > 0;
}

} // namespace

HelperDump writeDumpThroughHelper(int fd)
{
    std::lock_guard<std::mutex> lock(helperMutex);
    if (!helperRunning())
        return HelperDump::unavailable;
    DumpAnswer answer;
    if (!sendCommand(helper.channel, kDumpCommand, fd) ||
        !receiveReply(helper.channel, &answer, sizeof answer, dumpTimeout)) {
        stopHelper();
        return HelperDump::failed;
    }
    longestStopInLastDumpNs = answer.longestStopNs;
    return answer.written == 1 ? HelperDump::written : HelperDump::failed;
}

std::optional<std::size_t> sampleThroughHelper(pid_t tid, std::uint64_t *frames,
                                               std::size_t capacity, SampleTiming *timing)
{
    std::lock_guard<std::mutex> lock(helperMutex);
    if (!helperRunning())
        return std::nullopt;
    SampleAnswer answer;
    if (!sendCommand(helper.channel, kSampleCommand, -1, tid) ||
        !receiveReply(helper.channel, &answer, sizeof answer, kSampleTimeout)) {
        stopHelper();
        return 0;
    }
    const std::size_t count = std::min<std::size_t>({answer.count, capacity, kMaxStackFrames});
    std::copy(answer.frames, answer.frames + count, frames);
    if (timing)
        *timing = {answer.stopNs, answer.releaseNs};
    return count;
}

void setCaptureHelperPathForTesting(const char *path)
{
    std::lock_guard<std::mutex> lock(helperMutex);
    pathOverride = path ? std::optional<std::string>(path) : std::nullopt;
    stopHelper();
    lastReason.clear();
    pendingNotice.clear();
    nextStartNs = 0;
}

void setCaptureHelperStallForTesting(const char *where)
{
    std::lock_guard<std::mutex> lock(helperMutex);
    stallForTesting = where ? where : "";
    stopHelper();
}

void setCaptureHelperTimeoutForTesting(std::chrono::milliseconds timeout)
{
    std::lock_guard<std::mutex> lock(helperMutex);
    dumpTimeout = timeout.count() > 0 ? timeout : kDumpTimeout;
}

pid_t captureHelperPidForTesting()
{
    std::lock_guard<std::mutex> lock(helperMutex);
    return helper.pid;
}

std::int64_t longestStopInLastHelperDumpNsForTesting()
{
    std::lock_guard<std::mutex> lock(helperMutex);
    return longestStopInLastDumpNs;
}

} // namespace platform::linux_impl

std::string platform::takeCaptureFallbackNotice()
{
    std::lock_guard<std::mutex> lock(linux_impl::helperMutex);
    return std::exchange(linux_impl::pendingNotice, std::string());
}
