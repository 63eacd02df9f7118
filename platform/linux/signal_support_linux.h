// Low-level pieces for interrupting threads of this process with a real-time signal: one
// chained handler per signal, telling our own signals from anyone else's, thread-directed
// sends, a thread's signal mask as the kernel reports it, and futex waits with a deadline.
//
// Each function says whether it may be called from a signal handler ("async-signal-safe").
#pragma once

#include <atomic>
#include <csignal>
#include <cstdint>
#include <sys/types.h>

namespace platform::linux_impl
{

// Our part of a signal's handling. Returns false when the signal is not one of ours; it is
// then passed on to the handler that was installed before ours (skipped when that was
// SIG_DFL or SIG_IGN). Runs in signal context, so it must be async-signal-safe. errno is
// saved and restored around it.
using OwnSignalHandler = bool (*)(int signal, siginfo_t *info, void *ucontext);

// Installs `handler` for `signal` with SA_SIGINFO | SA_RESTART and every signal blocked while
// it runs, keeping the disposition found there for chaining. Once per signal: a later call
// with the same handler returns true and changes nothing; a different handler for a signal
// already taken returns false. False when sigaction fails (nothing is changed then, so the
// caller may retry). Thread-safe; not async-signal-safe.
bool installChainedSignalHandler(int signal, OwnSignalHandler handler);

// True while our dispatcher is still the signal's disposition. Check it before sending: if
// someone replaced our handler, the signal would reach theirs or the default action (which
// terminates the process for a real-time signal). Not async-signal-safe (one sigaction call,
// but it is meant for the sending side).
bool chainedHandlerInstalled(int signal);

// The first signal that chainedHandlerInstalled found taken over by someone else, reported
// once: every later call returns 0, as do calls before any such finding. Thread-safe.
int takeReplacedHandlerNotice();

// async-signal-safe. True for a signal sent with tgkill/pthread_kill by a thread of this
// process: si_code SI_TKILL and our pid. Other processes cannot forge SI_TKILL (the kernel
// refuses it from rt_sigqueueinfo), so this rules out every sender outside the process; a
// caller tells its own requests from other in-process senders with its own request state.
bool sentByThisProcess(const siginfo_t *info);

// async-signal-safe. The calling thread's kernel id.
pid_t currentThreadId();

// async-signal-safe. Sends `signal` to thread `tid` of this process with tgkill. Returns 0 or
// the errno value: ESRCH when the thread has exited, EAGAIN when the queue of real-time
// signals is full. Signal 0 only checks that the thread exists.
int sendSignalToThread(pid_t tid, int signal);

// async-signal-safe. True while one of our handlers runs on thread `tid` (as far as a table of
// 64 threads at once tracks). The handlers run with every signal blocked, so meanwhile the
// thread's mask says nothing about the mask it goes back to.
bool ownHandlerRunningOn(pid_t tid);

enum class ThreadSignalState {
    accepting, // the thread exists, does not block the signal (or only while one of our
               // handlers runs on it) and has none of it pending
    pending,   // one is already waiting for the thread (blocked, or the thread is not running)
    blocking,  // none is waiting, but the thread blocks the signal: a handler would not run
    gone,      // no such thread in this process
};

// What the kernel reports for `tid` in /proc/self/task/TID/status (SigBlk, SigPnd), with a
// mask that blocks the signal only while one of our handlers runs taken as accepting. Reads no
// heap and takes no lock, so it may run while other threads are stopped; not async-signal-safe.
ThreadSignalState threadSignalState(pid_t tid, int signal);

// A 32-bit futex word shared by the threads of this process.
using FutexWord = std::atomic<std::uint32_t>;
static_assert(sizeof(FutexWord) == sizeof(std::uint32_t) && FutexWord::is_always_lock_free,
              "a futex word must be a plain 32-bit word");

// async-signal-safe. CLOCK_MONOTONIC in nanoseconds.
std::int64_t monotonicNowNs();

// async-signal-safe. Wakes every thread waiting on `word`.
void futexWakeAll(FutexWord &word);

// async-signal-safe. Sleeps while `word` holds `expected`, until woken or until the
// CLOCK_MONOTONIC time `deadlineNs` passes. Returns false once the deadline has passed.
// Wake-ups may be spurious: callers re-check their condition and call again.
bool futexWaitUntil(FutexWord &word, std::uint32_t expected, std::int64_t deadlineNs);

} // namespace platform::linux_impl
