#include "platform/linux/signal_support_linux.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/futex.h>
#include <mutex>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform::linux_impl
{

namespace
{

// One slot per signal number. `previous` is written before `own` is published and before the
// dispatcher is installed, and never changes afterwards, so the handler reads it unlocked.
struct ChainSlot {
    std::atomic<OwnSignalHandler> own{nullptr};
    struct sigaction previous {
    };
};

ChainSlot chainSlots[_NSIG];

// The threads inside dispatchSignal, one per seat (0 = free). A thread takes a seat on entry
// and frees it just before it returns; with every seat taken it goes untracked.
constexpr std::size_t kHandlerSeats = 64;
std::atomic<pid_t> threadsInHandler[kHandlerSeats];
static_assert(std::atomic<pid_t>::is_always_lock_free,
              "the handler may only use lock-free atomics");
std::mutex installMutex;
std::atomic<int> replacedSignal{0};
std::atomic<bool> replacementReported{false};

bool isValidSignal(int signal)
{
    return signal > 0 && signal < _NSIG;
}

// ---- Reachable from signal handlers: everything in this block is async-signal-safe. ----

// async-signal-safe: calls the disposition that was in place before ours.
void passToPreviousHandler(const struct sigaction &previous, int signal, siginfo_t *info,
                           void *ucontext)
{
    if (previous.sa_flags & SA_SIGINFO) {
        if (previous.sa_sigaction)
            previous.sa_sigaction(signal, info, ucontext);
        return;
    }
    // The default action of a real-time signal terminates the process; a signal that is not
    // ours must not do that just because we took the slot, so SIG_DFL is skipped like SIG_IGN.
    if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN)
        previous.sa_handler(signal);
}

// async-signal-safe: a lock-free claim of a free seat; null when every seat is taken.
std::atomic<pid_t> *takeHandlerSeat(pid_t tid)
{
    for (std::atomic<pid_t> &seat : threadsInHandler) {
        pid_t free = 0;
        if (seat.load(std::memory_order_relaxed) == 0 &&
            seat.compare_exchange_strong(free, tid, std::memory_order_seq_cst))
            return &seat;
    }
    return nullptr;
}

// async-signal-safe: the one handler installed for every chained signal.
void dispatchSignal(int signal, siginfo_t *info, void *ucontext)
{
    const int savedErrno = errno;
    std::atomic<pid_t> *seat = takeHandlerSeat(currentThreadId());
    ChainSlot &slot = chainSlots[signal];
    const OwnSignalHandler own = slot.own.load(std::memory_order_acquire);
    if (!own || !own(signal, info, ucontext))
        passToPreviousHandler(slot.previous, signal, info, ucontext);
    if (seat)
        seat->store(0, std::memory_order_seq_cst);
    errno = savedErrno;
}

// async-signal-safe: one futex system call.
long futexCall(FutexWord &word, int operation, std::uint32_t value, const timespec *timeout)
{
    return syscall(SYS_futex, reinterpret_cast<std::uint32_t *>(&word), operation, value, timeout,
                   nullptr, FUTEX_BITSET_MATCH_ANY);
}

} // namespace

// async-signal-safe (as are the functions below up to the end of the block).
bool sentByThisProcess(const siginfo_t *info)
{
    return info && info->si_code == SI_TKILL && info->si_pid == getpid();
}

pid_t currentThreadId()
{
    return static_cast<pid_t>(syscall(SYS_gettid));
}

bool ownHandlerRunningOn(pid_t tid)
{
    for (const std::atomic<pid_t> &seat : threadsInHandler) {
        if (tid > 0 && seat.load(std::memory_order_seq_cst) == tid)
            return true;
    }
    return false;
}

int sendSignalToThread(pid_t tid, int signal)
{
    if (tid <= 0)
        return ESRCH;
    const int savedErrno = errno;
    const long result = syscall(SYS_tgkill, getpid(), tid, signal);
    const int error = result == 0 ? 0 : errno;
    errno = savedErrno;
    return error;
}

std::int64_t monotonicNowNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

void futexWakeAll(FutexWord &word)
{
    const int savedErrno = errno;
    futexCall(word, FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr);
    errno = savedErrno;
}

bool futexWaitUntil(FutexWord &word, std::uint32_t expected, std::int64_t deadlineNs)
{
    if (monotonicNowNs() >= deadlineNs)
        return false;
    // FUTEX_WAIT_BITSET takes an absolute CLOCK_MONOTONIC deadline, so retries after a
    // spurious wake-up or EINTR never stretch the total wait.
    const timespec deadline{static_cast<time_t>(deadlineNs / 1'000'000'000),
                            static_cast<long>(deadlineNs % 1'000'000'000)};
    const int savedErrno = errno;
    const long result = futexCall(word, FUTEX_WAIT_BITSET_PRIVATE, expected, &deadline);
    const bool timedOut = result != 0 && errno == ETIMEDOUT;
    errno = savedErrno;
    return !timedOut;
}

// ---- End of the async-signal-safe block. ----

bool installChainedSignalHandler(int signal, OwnSignalHandler handler)
{
    if (!isValidSignal(signal) || !handler)
        return false;
    std::lock_guard<std::mutex> lock(installMutex);
    ChainSlot &slot = chainSlots[signal];
    if (const OwnSignalHandler installed = slot.own.load(std::memory_order_relaxed))
        return installed == handler;

    struct sigaction previous {
    };
    if (sigaction(signal, nullptr, &previous) != 0)
        return false;
    slot.previous = previous;
    slot.own.store(handler, std::memory_order_release);

    struct sigaction ours {
    };
    ours.sa_sigaction = &dispatchSignal;
    ours.sa_flags = SA_SIGINFO | SA_RESTART;
    sigfillset(&ours.sa_mask);
    if (sigaction(signal, &ours, nullptr) != 0) {
        slot.own.store(nullptr, std::memory_order_relaxed);
        return false;
    }
    return true;
}

bool chainedHandlerInstalled(int signal)
{
    if (!isValidSignal(signal) || !chainSlots[signal].own.load(std::memory_order_acquire))
        return false;
    struct sigaction current {
    };
    const bool installed = sigaction(signal, nullptr, &current) == 0 &&
                           (current.sa_flags & SA_SIGINFO) &&
                           current.sa_sigaction == &dispatchSignal;
    int none = 0;
    if (!installed)
        replacedSignal.compare_exchange_strong(none, signal);
    return installed;
}

int takeReplacedHandlerNotice()
{
    const int signal = replacedSignal.load();
    return signal != 0 && !replacementReported.exchange(true) ? signal : 0;
}

namespace
{

// The hexadecimal mask after "<field>:" in a /proc status text; 0 when missing.
std::uint64_t statusMask(const char *status, const char *field)
{
    const char *line = std::strstr(status, field);
    if (!line)
        return 0;
    unsigned long long mask = 0;
    std::sscanf(line + std::strlen(field), "%llx", &mask);
    return mask;
}

} // namespace

ThreadSignalState threadSignalState(pid_t tid, int signal)
{
    if (tid <= 0 || !isValidSignal(signal))
        return ThreadSignalState::gone;
    // Looked at before and after the read: a handler that ran at either moment may be the
    // reason the mask read shows the signal blocked.
    const bool inOwnHandler = ownHandlerRunningOn(tid);
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/task/%d/status", static_cast<int>(tid));
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return ThreadSignalState::gone;
    char status[4096];
    std::size_t length = 0;
    for (ssize_t got; length < sizeof status - 1 &&
                      (got = read(fd, status + length, sizeof status - 1 - length)) != 0;) {
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            break;
        length += static_cast<std::size_t>(got);
    }
    close(fd);
    status[length] = '\0';
    // A thread that exited after open() leaves an empty file.
    if (length == 0)
        return ThreadSignalState::gone;

    const std::uint64_t bit = std::uint64_t{1} << (signal - 1);
    if (statusMask(status, "\nSigPnd:") & bit)
        return ThreadSignalState::pending;
    if ((statusMask(status, "\nSigBlk:") & bit) && !inOwnHandler && !ownHandlerRunningOn(tid))
        return ThreadSignalState::blocking;
    return ThreadSignalState::accepting;
}

} // namespace platform::linux_impl
