// Design
//
// The walk runs inside the signal handler, on the sampled thread. A walk made by the watchdog
// while the thread is parked would, on a libunwind cache miss, call dl_iterate_phdr, which
// takes the dynamic loader's lock; if the parked thread holds that lock (inside dlopen, e.g.
// Qt loading a plugin) the watchdog deadlocks. On the sampled thread the lock is recursive,
// so the walk re-enters it. The thread is stopped only while its handler walks, never
// parked, so a watchdog that gives up cannot leave it stopped.
//
// libunwind is loaded with dlopen(RTLD_LOCAL). Debian's libunwind.so.8 also defines the C++
// exception ABI (_Unwind_RaiseException and the rest); linked normally, it could take the
// process's exception unwinding over from libgcc_s. Its static archive is not
// position-independent, so it cannot go into this shared library either. Loaded locally, its
// symbols never enter the global scope, so exceptions keep binding to libgcc_s; a missing
// libunwind only means empty samples, as a missing dbghelp.dll does on Windows.
//
// One request at a time (requestMutex). The request word holds generation | tid | state:
//   requester  stores pending(gen, tid), counts one signal in flight, sends it with tgkill and
//              waits on `answers` until the word reads answered(gen, tid) or time runs out.
//   handler    takes an in-process SI_TKILL as ours only while one of our signals is in
//              flight (anything else goes to the previous handler); claims the request with a
//              CAS pending -> walking, only if it is pending for its own thread; walks into
//              `frames`; stores answered; bumps `answers` and wakes the requester.
//   time out   the requester CASes pending -> idle, so a signal that arrives later finds
//              nothing to answer and is dropped. If a handler already claimed the request
//              (walking), the requester leaves without the frames, and later requests return
//              empty until that walk has finished with the buffer.
// A foreign in-process signal that arrives while ours is in flight may answer our request
// (it is the same thread's stack); ours then arrives with nothing in flight and goes to the
// previous handler, so that handler still sees exactly one signal.
#include "platform/linux/sampling/thread_sampler_linux.h"

#include "platform/linux/signal_support_linux.h"
#include "platform/stack_sampler.h"

#define UNW_LOCAL_ONLY
#include <libunwind.h>

#include <algorithm>
#include <cerrno>
#include <dlfcn.h>
#include <mutex>
#include <pthread.h>

namespace platform::linux_impl
{

namespace
{

// The entry points of libunwind's local unwinder, resolved once before the handler is
// installed and never changed afterwards (the library is never unloaded).
struct Unwinder {
    decltype(&unw_init_local2) initLocal2 = nullptr;
    decltype(&unw_step) step = nullptr;
    decltype(&unw_get_reg) getReg = nullptr;
};

enum class RequestState : std::uint64_t { idle = 0, pending = 1, walking = 2, answered = 3 };

constexpr unsigned kStateBits = 2;
constexpr unsigned kTidBits = 32;
constexpr std::uint64_t kStateMask = (std::uint64_t{1} << kStateBits) - 1;
constexpr std::uint32_t kGenerationLimit = std::uint32_t{1} << (64 - kStateBits - kTidBits);

constexpr std::uint64_t packRequest(std::uint32_t generation, pid_t tid, RequestState state)
{
    return (std::uint64_t{generation} << (kStateBits + kTidBits)) |
           (std::uint64_t{static_cast<std::uint32_t>(tid)} << kStateBits) |
           static_cast<std::uint64_t>(state);
}
constexpr RequestState stateOf(std::uint64_t request)
{
    return static_cast<RequestState>(request & kStateMask);
}
constexpr pid_t tidOf(std::uint64_t request)
{
    return static_cast<pid_t>(static_cast<std::uint32_t>(request >> kStateBits));
}
constexpr std::uint64_t withState(std::uint64_t request, RequestState state)
{
    return (request & ~kStateMask) | static_cast<std::uint64_t>(state);
}

// Shared between the requester and the sampled thread's handler. Plain fields are written by
// the side that owns the request word's current state and published by its release store.
struct SampleSlot {
    std::atomic<std::uint64_t> request{0};
    FutexWord answers{0};
    std::atomic<int> signalsInFlight{0};
    std::size_t capacity = 0;
    std::size_t frameCount = 0;
    std::uint64_t frames[kMaxStackFrames] = {};
    SampleTiming timing;
};
static_assert(std::atomic<std::uint64_t>::is_always_lock_free &&
                  std::atomic<int>::is_always_lock_free,
              "the handler may only use lock-free atomics");

Unwinder unwinder;
SampleSlot slot;

// ---- Reachable from the signal handler: everything in this block is async-signal-safe. ----

// async-signal-safe: libunwind documents unw_init_local2, unw_step and unw_get_reg on the
// local address space as safe in a signal handler.
std::size_t walkInterruptedStack(void *ucontext, std::uint64_t *frames, std::size_t capacity)
{
    unw_cursor_t cursor;
    // On x86-64 unw_context_t is ucontext_t. UNW_INIT_SIGNAL_FRAME looks frame 0 up at the
    // exact interrupted instruction rather than at a return address minus one.
    if (unwinder.initLocal2(&cursor, static_cast<unw_context_t *>(ucontext),
                            UNW_INIT_SIGNAL_FRAME) < 0)
        return 0;
    std::size_t count = 0;
    do {
        unw_word_t pc = 0;
        if (unwinder.getReg(&cursor, UNW_REG_IP, &pc) < 0 || pc == 0)
            break;
        frames[count++] = pc;
    } while (count < capacity && unwinder.step(&cursor) > 0);
    return count;
}

// async-signal-safe: a lock-free decrement that never goes below zero.
bool takeSignalInFlight()
{
    int inFlight = slot.signalsInFlight.load(std::memory_order_relaxed);
    while (inFlight > 0) {
        if (slot.signalsInFlight.compare_exchange_weak(inFlight, inFlight - 1,
                                                       std::memory_order_acq_rel))
            return true;
    }
    return false;
}

// async-signal-safe: the sampling signal's handler (see the protocol at the top).
bool answerSampleRequest(int, siginfo_t *info, void *ucontext)
{
    if (!sentByThisProcess(info) || !takeSignalInFlight())
        return false;
    const std::int64_t entryNs = monotonicNowNs();
    std::uint64_t request = slot.request.load(std::memory_order_acquire);
    if (stateOf(request) != RequestState::pending || tidOf(request) != currentThreadId())
        return true; // ours, but its request was withdrawn: drop it
    if (!slot.request.compare_exchange_strong(request, withState(request, RequestState::walking),
                                              std::memory_order_acq_rel))
        return true;
    slot.frameCount = walkInterruptedStack(ucontext, slot.frames, slot.capacity);
    slot.timing = {entryNs, monotonicNowNs()};
    slot.request.store(withState(request, RequestState::answered), std::memory_order_release);
    slot.answers.fetch_add(1, std::memory_order_release);
    futexWakeAll(slot.answers);
    return true;
}

// ---- End of the async-signal-safe block; what follows runs on the requesting side. ----

std::atomic<const char *> unwindLibraryName{kUnwindLibrary};

std::mutex requestMutex;
std::uint32_t lastGeneration = 0;
// The thread whose last request timed out, if any. The signal mask is not checked before
// every request: it is read from /proc (~15 us), and while a thread is finishing our own
// handler its mask shows the signal blocked, which would read as a refusal.
pid_t unansweredTid = 0;

std::atomic<std::int64_t> answerTimeoutOverrideNs{0};

#define KEELANR_NAME_OF(symbol) KEELANR_QUOTE(symbol)
#define KEELANR_QUOTE(symbol) #symbol

// dlopen and dlsym never run in the handler.
bool loadUnwinder()
{
    void *library = dlopen(unwindLibraryName.load(), RTLD_NOW | RTLD_LOCAL);
    if (!library)
        return false;
    Unwinder loaded;
    loaded.initLocal2 = reinterpret_cast<decltype(loaded.initLocal2)>(
        dlsym(library, KEELANR_NAME_OF(unw_init_local2)));
    loaded.step =
        reinterpret_cast<decltype(loaded.step)>(dlsym(library, KEELANR_NAME_OF(unw_step)));
    loaded.getReg =
        reinterpret_cast<decltype(loaded.getReg)>(dlsym(library, KEELANR_NAME_OF(unw_get_reg)));
    if (!loaded.initLocal2 || !loaded.step || !loaded.getReg) {
        dlclose(library);
        return false;
    }
    unwinder = loaded;
    return true;
}

std::int64_t answerTimeoutNs()
{
    const std::int64_t overrideNs = answerTimeoutOverrideNs.load(std::memory_order_relaxed);
    return overrideNs > 0 ? overrideNs : std::chrono::nanoseconds(kAnswerTimeout).count();
}

// Called with requestMutex held.
std::uint32_t nextGeneration()
{
    lastGeneration = lastGeneration % (kGenerationLimit - 1) + 1;
    return lastGeneration;
}

// Called with requestMutex held. Waits for the handler to answer `pending`. True when it did; false
// after the timeout, in which case the request is withdrawn and a late handler will not write the
// frames.
bool awaitAnswer(std::uint64_t pending)
{
    const std::uint64_t answered = withState(pending, RequestState::answered);
    const std::int64_t deadlineNs = monotonicNowNs() + answerTimeoutNs();
    for (;;) {
        const std::uint32_t answersSeen = slot.answers.load(std::memory_order_acquire);
        if (slot.request.load(std::memory_order_acquire) == answered)
            return true;
        if (!futexWaitUntil(slot.answers, answersSeen, deadlineNs))
            break;
    }
    std::uint64_t expected = pending;
    if (slot.request.compare_exchange_strong(expected, 0, std::memory_order_acq_rel)) {
        // No handler claimed it. The signal is still queued for the thread (and will be
        // dropped when it arrives) unless the thread has exited and taken it along.
        if (sendSignalToThread(tidOf(pending), 0) == ESRCH)
            takeSignalInFlight();
        else
            unansweredTid = tidOf(pending);
        return false;
    }
    // Answered at the last moment, or still walking (that late walk is abandoned).
    return expected == answered;
}

} // namespace

int samplingSignal()
{
    return SIGRTMIN + 3;
}

bool installThreadSampler()
{
    if (!unwinder.initLocal2 && !loadUnwinder())
        return false;
    if (!installChainedSignalHandler(samplingSignal(), &answerSampleRequest))
        return false;
    sigset_t blocked;
    if (pthread_sigmask(SIG_BLOCK, nullptr, &blocked) == 0 &&
        !sigismember(&blocked, samplingSignal())) {
        std::uint64_t frames[kMaxStackFrames];
        sampleThreadStack(currentThreadId(), frames, kMaxStackFrames, nullptr);
    }
    return true;
}

std::size_t sampleThreadStack(pid_t tid, std::uint64_t *frames, std::size_t capacity,
                              SampleTiming *timing)
{
    capacity = std::min(capacity, kMaxStackFrames);
    if (tid <= 0 || !frames || capacity == 0)
        return 0;
    std::lock_guard<std::mutex> lock(requestMutex);
    const int signal = samplingSignal();
    if (!chainedHandlerInstalled(signal))
        return 0;
    if (stateOf(slot.request.load(std::memory_order_acquire)) == RequestState::walking)
        return 0; // a late walk still owns the buffer
    if (tid == unansweredTid) {
        // While it blocks the signal, or its last one is still waiting (stuck in the kernel),
        // it cannot answer, and sending more would only fill the queue.
        if (threadSignalState(tid, signal) != ThreadSignalState::accepting)
            return 0;
        unansweredTid = 0;
    }

    const std::uint64_t pending = packRequest(nextGeneration(), tid, RequestState::pending);
    slot.capacity = capacity;
    slot.request.store(pending, std::memory_order_release);
    slot.signalsInFlight.fetch_add(1, std::memory_order_acq_rel);
    if (sendSignalToThread(tid, signal) != 0) {
        takeSignalInFlight();
        std::uint64_t expected = pending;
        slot.request.compare_exchange_strong(expected, 0, std::memory_order_acq_rel);
        return 0;
    }
    if (!awaitAnswer(pending))
        return 0;
    const std::size_t count = std::min(slot.frameCount, capacity);
    std::copy(slot.frames, slot.frames + count, frames);
    if (timing)
        *timing = slot.timing;
    return count;
}

void setUnwindLibraryForTesting(const char *fileName)
{
    unwindLibraryName.store(fileName ? fileName : kUnwindLibrary);
}

void setAnswerTimeoutForTesting(std::chrono::nanoseconds timeout)
{
    answerTimeoutOverrideNs.store(timeout.count(), std::memory_order_relaxed);
}

} // namespace platform::linux_impl
