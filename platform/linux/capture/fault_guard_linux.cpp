#include "platform/linux/capture/fault_guard_linux.h"

#include "platform/linux/capture/dump_writer_linux.h"
#include "platform/linux/capture/thread_freezer_linux.h"
#include "platform/linux/signal_support_linux.h"

#include <atomic>
#include <csetjmp>
#include <csignal>
#include <mutex>

namespace platform
{
namespace linux_impl
{
namespace
{

// The thread inside the guarded writer (0: none) and where its faults jump to. Written only
// by writeGuarded, under writerMutex.
std::atomic<pid_t> writerThread{0};
sigjmp_buf writerJump;
std::mutex writerMutex;

// Dispositions found when the guard was installed; read by the handler to pass faults on.
struct sigaction previousSegv;
struct sigaction previousBus;

std::atomic<pid_t> faultInjectionThread{0};

// ---- Reachable from signal handlers: everything in this block is async-signal-safe. ----

// async-signal-safe.
void onFault(int signal, siginfo_t *info, void *)
{
    // si_code > 0: raised by the thread's own instruction, not sent with kill/tgkill.
    if (info->si_code > 0 && writerThread.load(std::memory_order_relaxed) == currentThreadId())
        siglongjmp(writerJump, 1);
    // Not ours: give the host's disposition back, and let the fault happen again under it.
    sigaction(signal, signal == SIGSEGV ? &previousSegv : &previousBus, nullptr);
    if (info->si_code <= 0)
        sendSignalToThread(currentThreadId(), signal); // a sent signal does not recur by itself
}

// ---- End of the async-signal-safe block. ----

bool isOurHandler(const struct sigaction &action)
{
    return (action.sa_flags & SA_SIGINFO) && action.sa_sigaction == &onFault;
}

// Installs onFault for SIGSEGV and SIGBUS for its lifetime. A disposition someone else set in
// the meantime is left in place at the end.
class FaultHandlers
{
public:
    FaultHandlers()
    {
        install(SIGSEGV, previousSegv);
        install(SIGBUS, previousBus);
    }
    ~FaultHandlers()
    {
        restore(SIGSEGV, previousSegv);
        restore(SIGBUS, previousBus);
    }
    FaultHandlers(const FaultHandlers &) = delete;
    FaultHandlers &operator=(const FaultHandlers &) = delete;

private:
    static void install(int signal, struct sigaction &previous)
    {
        // `previous` is filled before onFault can run and read it.
        sigaction(signal, nullptr, &previous);
        struct sigaction ours {
        };
        ours.sa_sigaction = &onFault;
        // SA_ONSTACK: a host that set up an alternate signal stack keeps its use.
        ours.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&ours.sa_mask);
        sigaction(signal, &ours, nullptr);
    }
    static void restore(int signal, const struct sigaction &previous)
    {
        struct sigaction current {
        };
        sigaction(signal, &previous, &current);
        if (!isOurHandler(current))
            sigaction(signal, &current, nullptr);
    }
};

} // namespace

// async-signal-safe.
void faultHereIfInjectedForTesting(const volatile char *inaccessible)
{
    pid_t self = currentThreadId();
    if (faultInjectionThread.load(std::memory_order_relaxed) == self &&
        faultInjectionThread.compare_exchange_strong(self, 0)) {
        static_cast<void>(*inaccessible);
    }
}

DumpOutcome writeGuarded(DumpWriter write, int fd)
{
    std::lock_guard<std::mutex> lock(writerMutex);
    FaultHandlers handlers;
    volatile DumpOutcome outcome = DumpOutcome::Failed;
    writerThread.store(currentThreadId(), std::memory_order_relaxed);
    if (sigsetjmp(writerJump, 1) == 0) {
        outcome = write(fd) ? DumpOutcome::Written : DumpOutcome::Failed;
    } else {
        // The frames between here and the fault were skipped: their heap memory is lost,
        // and threads they had parked are still waiting.
        releaseThreadsAfterFault();
        outcome = DumpOutcome::Faulted;
    }
    writerThread.store(0, std::memory_order_relaxed);
    return outcome;
}

} // namespace linux_impl

bool loadDumpWriter()
{
    return true;
}

DumpOutcome writeProcessDump(FileHandle file)
{
    if (file == kInvalidFile)
        return DumpOutcome::Failed;
    return linux_impl::writeGuarded(&linux_impl::writeMinidump, static_cast<int>(file));
}

void injectFaultIntoNextDumpForTesting()
{
    linux_impl::faultInjectionThread.store(linux_impl::currentThreadId());
}

} // namespace platform
