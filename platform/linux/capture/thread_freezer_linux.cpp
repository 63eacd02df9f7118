#include "platform/linux/capture/thread_freezer_linux.h"

#include "platform/linux/capture/fault_guard_linux.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <limits>
#include <new>

namespace platform::linux_impl
{
namespace
{

enum SlotState : std::uint32_t {
    notSent = 0,
    requested,
    saving,
    parked,
    released,
    abandoned,
    refused, // blocked the signal when asked; looked at again once the others are done
};

// A parked handler lets itself go after this long even if the dumper never released it (the
// dumper thread was killed, say), so no thread can stay parked for good.
constexpr std::int64_t kLongestParkNs = 10'000'000'000;
// After a freeze, handlers that are still inside (released but not yet returned, or late) get
// this long to leave before the slot memory is given up for good instead of unmapped.
constexpr std::int64_t kDrainTimeoutNs = 2'000'000'000;
// While waiting for an answer the dumper looks this often whether the thread has exited (it
// then never answers), so an exiting thread does not cost the whole timeout.
constexpr std::int64_t kExitCheckIntervalNs = 5'000'000;

constexpr std::uint64_t kPageSize = 4096;
constexpr std::uint64_t kRedZone = 128;

struct Freeze {
    ThreadSlot *slots;
    std::size_t count;
};

// The freeze in progress, published for the handlers; null between freezes.
std::atomic<Freeze *> activeFreeze{nullptr};
// How many handlers are between reading activeFreeze and leaving; the dumper waits for zero
// before the slots can go away.
FutexWord handlersInside{0};
std::atomic<bool> signalBlockingThreads{false};

// ---- Run by the signal handler, or by the dumper while threads are stopped (when it must
// ---- neither allocate nor lock): everything in this block is async-signal-safe.

// async-signal-safe.
ThreadSlot *slotOf(Freeze *freeze, pid_t threadId)
{
    if (!freeze)
        return nullptr;
    for (std::size_t i = 0; i < freeze->count; ++i) {
        if (freeze->slots[i].threadId == threadId)
            return &freeze->slots[i];
    }
    return nullptr;
}

// async-signal-safe. Saves the registers and parks until the dumper has copied the stack.
void parkForDump(ThreadSlot &slot, const ucontext_t &context)
{
    std::uint32_t expected = requested;
    if (!slot.state.compare_exchange_strong(expected, saving, std::memory_order_acq_rel))
        return; // given up already: a late signal
    saveRegisters(context, slot.registers);
    expected = saving;
    if (!slot.state.compare_exchange_strong(expected, parked, std::memory_order_acq_rel))
        return; // given up while saving; the dumper ignores the registers
    futexWakeAll(slot.state);
    const std::int64_t deadline = monotonicNowNs() + kLongestParkNs;
    while (slot.state.load(std::memory_order_acquire) == parked &&
           futexWaitUntil(slot.state, parked, deadline)) {
    }
}

// async-signal-safe. The dump signal's handler.
bool answerDumpSignal(int, siginfo_t *info, void *context)
{
    if (!sentByThisProcess(info))
        return false;
    handlersInside.fetch_add(1, std::memory_order_seq_cst);
    ThreadSlot *slot = slotOf(activeFreeze.load(std::memory_order_seq_cst), currentThreadId());
    if (slot)
        parkForDump(*slot, *static_cast<const ucontext_t *>(context));
    if (handlersInside.fetch_sub(1, std::memory_order_seq_cst) == 1)
        futexWakeAll(handlersInside);
    // A signal for no slot of the current freeze is a late one of ours, or another in-process
    // sender's: the handler that was there before ours gets it.
    return slot != nullptr;
}

// async-signal-safe.
void release(ThreadSlot &slot)
{
    slot.state.store(released, std::memory_order_release);
    futexWakeAll(slot.state);
}

// async-signal-safe. True once the thread is parked; false when the deadline passed first or
// the thread exited (the slot is then abandoned).
bool awaitParked(ThreadSlot &slot, std::int64_t deadlineNs)
{
    for (;;) {
        std::uint32_t state = slot.state.load(std::memory_order_acquire);
        if (state == parked)
            return true;
        if (state != requested && state != saving)
            return false;
        const std::int64_t sliceEnd = std::min(deadlineNs, monotonicNowNs() + kExitCheckIntervalNs);
        if (futexWaitUntil(slot.state, state, sliceEnd))
            continue;
        const bool givingUp =
            monotonicNowNs() >= deadlineNs || sendSignalToThread(slot.threadId, 0) == ESRCH;
        if (givingUp &&
            slot.state.compare_exchange_strong(state, abandoned, std::memory_order_acq_rel))
            return false;
    }
}

// async-signal-safe. Copies the parked thread's stack into the arena.
void copyStack(ThreadSlot &slot, const std::vector<MapsEntry> &maps, DumpArena &arena,
               const FreezeLimits &limits)
{
    const StackRange range =
        stackRangeFor(static_cast<std::uint64_t>(slot.registers.gregs[REG_RSP]), maps,
                      std::min(limits.maxStackBytes, arena.remaining()), limits.stackCeiling);
    auto *buffer = static_cast<std::uint8_t *>(arena.allocate(range.size, 16));
    if (!buffer)
        return;
    slot.stack.address = range.start;
    slot.stack.bytes = {buffer, OwnProcessMemory().read(range.start, buffer, range.size)};
}

// async-signal-safe. Ends the freeze: no handler can reach the slots once this returns true.
bool endFreeze()
{
    activeFreeze.store(nullptr, std::memory_order_seq_cst);
    const std::int64_t deadline = monotonicNowNs() + kDrainTimeoutNs;
    for (std::uint32_t inside; (inside = handlersInside.load(std::memory_order_seq_cst)) != 0;) {
        if (!futexWaitUntil(handlersInside, inside, deadline))
            return false;
    }
    return true;
}

// ---- End of the async-signal-safe block. ----

bool isSignalFree(int signal)
{
    struct sigaction current {
    };
    return sigaction(signal, nullptr, &current) == 0 && !(current.sa_flags & SA_SIGINFO) &&
           current.sa_handler == SIG_DFL;
}

// The first real-time signal from SIGRTMIN+4 on that nobody has a handler for; the sampler
// has SIGRTMIN+3.
int takeDumpSignal()
{
    for (int signal = SIGRTMIN + 4; signal <= SIGRTMIN + 12 && signal <= SIGRTMAX; ++signal) {
        if (isSignalFree(signal) && installChainedSignalHandler(signal, &answerDumpSignal))
            return signal;
    }
    return 0;
}

// The state a thread's slot starts in. Reads /proc without the heap or a lock, so it also
// runs while threads are stopped.
SlotState firstState(pid_t threadId, int signal)
{
    // Our own handler would park the caller waiting for itself.
    if (threadId == currentThreadId())
        return notSent;
    switch (threadSignalState(threadId, signal)) {
    case ThreadSignalState::accepting: return requested;
    case ThreadSignalState::blocking:
        return signalBlockingThreads.load(std::memory_order_relaxed) ? requested : refused;
    case ThreadSignalState::pending: // an earlier signal is still waiting: it will not answer
    case ThreadSignalState::gone: return notSent;
    }
    return notSent;
}

// Sends the dump signal to every requested slot; a send that fails abandons the slot.
// async-signal-safe.
void sendRequests(ThreadSlot *slots, std::size_t count, int signal)
{
    for (std::size_t i = 0; i < count; ++i) {
        if (slots[i].state.load(std::memory_order_relaxed) == requested &&
            sendSignalToThread(slots[i].threadId, signal) != 0)
            slots[i].state.store(abandoned, std::memory_order_relaxed);
    }
}

// Takes the requested threads in order: waits for each to park, copies its stack, releases
// it. Between a park and its release nothing is allocated or locked. async-signal-safe.
void collectParked(ThreadSlot *slots, std::size_t count, const std::vector<MapsEntry> &maps,
                   DumpArena &arena, const FreezeLimits &limits, std::int64_t deadlineNs)
{
    for (std::size_t i = 0; i < count; ++i) {
        if (!awaitParked(slots[i], deadlineNs))
            continue;
        slots[i].hasRegisters = true;
        copyStack(slots[i], maps, arena, limits);
        // An injected fault strikes while a thread is parked, so its recovery is tested too.
        faultHereIfInjectedForTesting(arena.guardPage());
        release(slots[i]);
    }
}

// A thread that refused the signal may only have been finishing a handler of ours when it was
// asked (the moment between the handler's last step and the kernel restoring its mask): asks
// again those that accept it now. True when any was asked.
bool requestRefusedAgain(ThreadSlot *slots, std::size_t count, int signal)
{
    bool asked = false;
    for (std::size_t i = 0; i < count; ++i) {
        if (slots[i].state.load(std::memory_order_relaxed) != refused)
            continue;
        const bool accepts =
            threadSignalState(slots[i].threadId, signal) == ThreadSignalState::accepting;
        slots[i].state.store(accepts ? requested : notSent, std::memory_order_relaxed);
        asked = asked || accepts;
    }
    return asked;
}

} // namespace

int dumpSignalNumber()
{
    static const int signal = takeDumpSignal();
    return signal;
}

void setSignalBlockingThreadsForTesting(bool signal)
{
    signalBlockingThreads.store(signal, std::memory_order_relaxed);
}

// async-signal-safe.
StackRange stackRangeFor(std::uint64_t sp, const std::vector<MapsEntry> &maps, std::size_t maxBytes,
                         std::uint64_t ceiling)
{
    std::uint64_t start = (sp > kRedZone ? sp - kRedZone : 0) & ~(kPageSize - 1);
    std::uint64_t end = std::numeric_limits<std::uint64_t>::max();
    if (const MapsEntry *mapping = findMapping(maps, sp)) {
        start = std::max(start, mapping->start);
        end = mapping->end;
    }
    if (ceiling > sp)
        end = std::min(end, ceiling);
    return {start, static_cast<std::size_t>(std::min<std::uint64_t>(end - start, maxBytes))};
}

ThreadSlot *freezeThreadsAndCopyStacks(const std::vector<pid_t> &threadIds,
                                       const std::vector<MapsEntry> &maps, DumpArena &arena,
                                       const FreezeLimits &limits)
{
    auto *slots = static_cast<ThreadSlot *>(
        arena.allocate(threadIds.size() * sizeof(ThreadSlot), alignof(ThreadSlot)));
    auto *freeze = static_cast<Freeze *>(arena.allocate(sizeof(Freeze), alignof(Freeze)));
    if (!slots || !freeze)
        return nullptr;
    const int signal = dumpSignalNumber();
    const bool canSignal = signal != 0 && chainedHandlerInstalled(signal);
    const std::size_t count = threadIds.size();
    for (std::size_t i = 0; i < count; ++i) {
        new (&slots[i]) ThreadSlot;
        slots[i].threadId = threadIds[i];
        if (canSignal)
            slots[i].state.store(firstState(threadIds[i], signal), std::memory_order_relaxed);
    }
    *freeze = Freeze{slots, count};
    activeFreeze.store(freeze, std::memory_order_seq_cst);

    // From here until endFreeze() threads may be stopped: no allocation, no locks.
    sendRequests(slots, count, signal);
    collectParked(slots, count, maps, arena, limits, monotonicNowNs() + limits.answerTimeoutNs);
    if (requestRefusedAgain(slots, count, signal)) {
        sendRequests(slots, count, signal);
        collectParked(slots, count, maps, arena, limits, monotonicNowNs() + limits.answerTimeoutNs);
    }
    faultHereIfInjectedForTesting(arena.guardPage()); // no thread was parked
    if (!endFreeze())
        arena.leak(); // a handler may still read its slot
    return slots;
}

void releaseThreadsAfterFault()
{
    if (Freeze *freeze = activeFreeze.load(std::memory_order_seq_cst)) {
        for (std::size_t i = 0; i < freeze->count; ++i) {
            std::uint32_t state = freeze->slots[i].state.load(std::memory_order_acquire);
            if (state == parked)
                release(freeze->slots[i]);
            else if (state == requested || state == saving)
                freeze->slots[i].state.compare_exchange_strong(state, abandoned);
        }
    }
    endFreeze();
}

} // namespace platform::linux_impl
