// Sampling real threads through the platform interface, and the signal chaining beneath it:
// signals that are not ours reach whoever handled them before us, ours never do. The
// sampler's signal gets a handler of the host's before the sampler installs its own.
#include "support/poll.h"
#include "support/sanitizers.h"

#include "platform/linux/sampling/thread_sampler_linux.h"
#include "platform/linux/signal_support_linux.h"
#include "platform/stack_sampler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <dlfcn.h>
#include <functional>
#include <future>
#include <set>
#include <stdexcept>
#include <thread>
#include <unistd.h>

// Functions that sampled threads block or spin in, all in one code section so that a test
// knows their exact address range; the linker defines __start_ and __stop_ around it.
#define KNOWN __attribute__((noinline, section("keel_sampled")))
extern "C" const char __start_keel_sampled[];
extern "C" const char __stop_keel_sampled[];

namespace
{

using platform::StackSample;
using testsupport::kSafetyTimeout;
using testsupport::pollUntil;
namespace linux_impl = platform::linux_impl;
using State = linux_impl::ThreadSignalState;

bool known(std::uint64_t pc)
{
    return pc >= reinterpret_cast<std::uintptr_t>(__start_keel_sampled) &&
           pc < reinterpret_cast<std::uintptr_t>(__stop_keel_sampled);
}

// At the bottom of `depth` frames: blocked in read(), or under ThreadSanitizer (which holds a
// signal back from a thread in read()) napping until released, however many samples a lost
// signal costs.
KNOWN long blockAtDepth(int depth, int fd, char *byte, const std::atomic<bool> &released)
{
    long result = 0;
    if (depth > 0)
        result = blockAtDepth(depth - 1, fd, byte, released);
    else if (!testsupport::kThreadSanitizer)
        result = read(fd, byte, 1);
    else
        while (!released.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
    asm volatile("" ::: "memory"); // keeps each call a real frame, not a tail call
    return result;
}

KNOWN void spinAtDepth(int depth, std::atomic<long> &laps)
{
    if (depth > 0) {
        spinAtDepth(depth - 1, laps);
        asm volatile("" ::: "memory");
        return;
    }
    for (int i = 0; i < 200; ++i)
        laps.fetch_add(1, std::memory_order_relaxed);
}

// True once `counter` has moved on from its present value: the thread was not left stopped.
bool keepsMoving(const std::atomic<long> &counter)
{
    const long before = counter.load();
    return pollUntil([&] { return counter.load() > before; });
}

// Runs a body on a thread whose kernel id is known before the body starts. `release` runs
// before the join, also when an assertion leaves the test early.
class TestThread
{
public:
    explicit TestThread(
        std::function<void()> body, std::function<void()> release = [] {})
        : release_(std::move(release)), thread_([this, body = std::move(body)] {
              tid_.set_value(linux_impl::currentThreadId());
              body();
          })
    {
        tidValue_ = tid_.get_future().get();
    }
    ~TestThread() { join(); }
    pid_t tid() const { return tidValue_; }
    void join()
    {
        if (release_)
            std::exchange(release_, nullptr)();
        if (thread_.joinable())
            thread_.join();
    }

private:
    std::function<void()> release_;
    std::promise<pid_t> tid_;
    pid_t tidValue_ = 0;
    std::thread thread_;
};

// ---- The host's handler, installed before ours ----

constexpr int kForeignValue = 0x4b45454c;

struct Received {
    std::atomic<int> count{0}, lastValue{0}, lastCode{0};
};
Received receivedBy[_NSIG];

void previousSigaction(int signal, siginfo_t *info, void *)
{
    receivedBy[signal].lastValue = info->si_value.sival_int;
    receivedBy[signal].lastCode = info->si_code;
    receivedBy[signal].count.fetch_add(1);
}

void installPrevious(int signal, int flags, void (*plain)(int))
{
    struct sigaction previous {
    };
    if (flags & SA_SIGINFO)
        previous.sa_sigaction = &previousSigaction;
    else
        previous.sa_handler = plain;
    previous.sa_flags = flags;
    sigemptyset(&previous.sa_mask);
    ASSERT_EQ(sigaction(signal, &previous, nullptr), 0);
}

// Answers come in microseconds; the long timeout only keeps a loaded machine from turning a
// slow answer into a failed test. ThreadSanitizer holds back a signal that arrives outside a
// blocking call and, now and then, never hands it over: there a short timeout turns the loss
// into one empty sample, which sampleUntil() follows with a new request.
constexpr std::chrono::nanoseconds kAnswerTimeout =
    testsupport::kThreadSanitizer ? std::chrono::nanoseconds(std::chrono::seconds(2))
                                  : kSafetyTimeout;

class HostHandlerFirst : public testing::Environment
{
public:
    void SetUp() override
    {
        installPrevious(linux_impl::samplingSignal(), SA_SIGINFO, nullptr);
        ASSERT_NE(platform::loadStackSampler(), nullptr);
        linux_impl::setAnswerTimeoutForTesting(kAnswerTimeout);
    }
};
const testing::Environment *const hostHandlerFirst =
    testing::AddGlobalTestEnvironment(new HostHandlerFirst);

StackSample sample(pid_t tid)
{
    return platform::sampleThread(*platform::loadStackSampler(), platform::ThreadHandle{tid});
}

// Samples `tid` until a sample satisfies `accept`; that sample (empty after kSafetyTimeout).
template <typename Accept>
StackSample sampleUntil(pid_t tid, Accept accept)
{
    StackSample last;
    return pollUntil([&] { return accept(last = sample(tid)); }) ? last : StackSample{};
}

bool answered(const StackSample &sample)
{
    return !sample.empty();
}

// True when sampling `tid` gave up without waiting for an answer.
bool emptyAtOnce(pid_t tid)
{
    const auto start = std::chrono::steady_clock::now();
    return sample(tid).empty() && std::chrono::steady_clock::now() - start < kAnswerTimeout / 2;
}

// The thread blocks SIGUSR1 of its own; sampling must not change its mask, nor cut its read.
TEST(ThreadSampler, ABlockedThreadGivesIdenticalSamplesEndingAtItsBaseOrTheLimit)
{
    for (const int depth : {0, 100}) {
        SCOPED_TRACE(depth);
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        long readResult = 0;
        char byte = 0;
        std::atomic<bool> released{false};
        {
            TestThread thread(
                [&] {
                    sigset_t user1;
                    sigemptyset(&user1);
                    sigaddset(&user1, SIGUSR1);
                    pthread_sigmask(SIG_SETMASK, &user1, nullptr);
                    readResult = blockAtDepth(depth, fds[0], &byte, released);
                },
                [&] {
                    released = true;
                    EXPECT_EQ(write(fds[1], "k", 1), 1);
                });
            // Blocked once two samples in a row agree (it may first be caught on its way in).
            StackSample previous;
            const StackSample s = sampleUntil(thread.tid(), [&](const StackSample &next) {
                return std::any_of(next.begin(), next.end(), known) &&
                       std::exchange(previous, next) == next;
            });
            ASSERT_FALSE(s.empty()) << "never settled inside the blocking function";
            for (int i = 0; i < 3; ++i)
                EXPECT_EQ(sampleUntil(thread.tid(), answered), s) << "sample " << i;
            // Right after an answer the thread may still be inside the handler, where every
            // signal is blocked (and counts as accepting); once it has left and is back in its
            // call its own mask is in force again.
            EXPECT_TRUE(pollUntil([&] {
                return !linux_impl::ownHandlerRunningOn(thread.tid()) &&
                       linux_impl::threadSignalState(thread.tid(), SIGUSR2) == State::accepting;
            }));
            EXPECT_EQ(linux_impl::threadSignalState(thread.tid(), SIGUSR1), State::blocking);
            EXPECT_EQ(linux_impl::threadSignalState(thread.tid(), linux_impl::samplingSignal()),
                      State::accepting);
            if (depth == 0) {
                EXPECT_LT(s.size(), platform::kMaxStackFrames)
                    << "a shallow stack ends at its base";
            } else {
                // The blocking call's own frames, then the recursion all the way to the cut.
                ASSERT_EQ(s.size(), platform::kMaxStackFrames);
                const auto firstKnown = std::find_if(s.begin(), s.end(), known);
                ASSERT_LT(firstKnown - s.begin(), 16);
                EXPECT_TRUE(std::all_of(firstKnown, s.end(), known));
            }
        }
        if (!testsupport::kThreadSanitizer) {
            EXPECT_EQ(readResult, 1) << "the samples interrupted the read";
            EXPECT_EQ(byte, 'k');
        }
        close(fds[0]);
        close(fds[1]);
    }
}

// Each lap throws through a stack of another depth, so samples differ while the unwinder
// and the sampler take turns.
TEST(ThreadSampler, AMovingThreadGivesDifferingSamplesAndItsExceptionsStillUnwind)
{
    // libunwind also defines the C++ unwinding ABI; loaded, it must not have taken it over
    // (the process's own copy is libgcc_s's, or a sanitizer's wrapper around it).
    ASSERT_NE(dlopen("libunwind.so.8", RTLD_NOW | RTLD_NOLOAD), nullptr);
    Dl_info where{};
    ASSERT_NE(dladdr(dlsym(RTLD_DEFAULT, "_Unwind_RaiseException"), &where), 0);
    EXPECT_EQ(std::string(where.dli_fname).find("libunwind"), std::string::npos) << where.dli_fname;

    std::atomic<bool> stop{false};
    std::atomic<long> laps{0}, caught{0}, cleanedUp{0};
    TestThread thread([&] {
        struct Cleanup {
            std::atomic<long> &count;
            ~Cleanup() { count.fetch_add(1); }
        };
        for (int lap = 0; !stop.load(); ++lap) {
            try {
                Cleanup cleanup{cleanedUp};
                spinAtDepth(lap % 9, laps);
                throw std::runtime_error("thrown while sampled");
            } catch (const std::runtime_error &) {
                caught.fetch_add(1);
            }
        }
    });
    // The first throw sets up the unwinder and may take longer than a sample.
    ASSERT_TRUE(pollUntil([&] { return caught.load() > 0; }));
    std::set<StackSample> distinct;
    for (int i = 0; i < 20; ++i) {
        const StackSample s = sampleUntil(thread.tid(), answered);
        EXPECT_FALSE(s.empty());
        distinct.insert(s);
        // The woken requester can take the CPU from the sampled thread as soon as its handler
        // returns; let it move before the next sample.
        ASSERT_TRUE(keepsMoving(caught));
    }
    EXPECT_GE(distinct.size(), 2u);
    EXPECT_EQ(receivedBy[linux_impl::samplingSignal()].count.load(), 0) << "ours reached the host";
    // ThreadSanitizer runs the handler at the thread's next call into its runtime, never
    // inside a loop of plain code.
    if (!testsupport::kThreadSanitizer) {
        const StackSample inLoop = sampleUntil(
            thread.tid(), [](const StackSample &s) { return !s.empty() && known(s.front()); });
        EXPECT_FALSE(inLoop.empty()) << "element 0 never was the interrupted loop's own PC";
    }
    stop = true;
    thread.join();
    EXPECT_EQ(caught.load(), cleanedUp.load());
}

// Two threads block the signal. The first one's late signal, arriving while a request to
// the second waits, must not answer that request with its own stack.
TEST(ThreadSampler, AThreadBlockingTheSignalTimesOutIsNeverLeftStoppedAndOnceGoneIsNotWaitedFor)
{
    const int sig = linux_impl::samplingSignal();
    const int hostDeliveries = receivedBy[sig].count.load();
    const auto setSignal = [sig](int how) {
        sigset_t sampling;
        sigemptyset(&sampling);
        sigaddset(&sampling, sig);
        pthread_sigmask(how, &sampling, nullptr);
    };
    std::atomic<bool> blocking{false}, unblock{false}, unblocked{false}, stop{false};
    std::atomic<long> laps{0};
    TestThread thread(
        [&] {
            setSignal(SIG_BLOCK);
            blocking = true;
            while (!unblock.load())
                laps.fetch_add(1);
            // The signal left pending by the timed-out request arrives here and is dropped.
            setSignal(SIG_UNBLOCK);
            unblocked = true;
            while (!stop.load())
                laps.fetch_add(1);
        },
        [&] { unblock = stop = true; });
    const pid_t tid = thread.tid();
    ASSERT_TRUE(pollUntil([&] { return blocking.load(); }));
    EXPECT_EQ(linux_impl::threadSignalState(tid, sig), State::blocking);

    constexpr std::uint64_t kUntouched = 0x5a5a5a5a5a5a5a5a;
    std::uint64_t frames[platform::kMaxStackFrames];
    std::fill(std::begin(frames), std::end(frames), kUntouched);
    linux_impl::setAnswerTimeoutForTesting(std::chrono::milliseconds(50));
    EXPECT_EQ(linux_impl::sampleThreadStack(tid, frames, platform::kMaxStackFrames, nullptr), 0u);
    EXPECT_EQ(linux_impl::threadSignalState(tid, sig), State::pending);
    // While it is pending, the next request gives up without waiting or sending.
    EXPECT_TRUE(emptyAtOnce(tid));
    EXPECT_TRUE(keepsMoving(laps)) << "a timed-out sample left the thread stopped";

    std::atomic<bool> secondBlocking{false}, releaseSecond{false};
    TestThread second(
        [&] {
            setSignal(SIG_BLOCK);
            secondBlocking = true;
            while (!releaseSecond.load())
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            setSignal(SIG_UNBLOCK);
        },
        [&] { releaseSecond = true; });
    ASSERT_TRUE(pollUntil([&] { return secondBlocking.load(); }));
    std::thread unblocker([&] {
        pollUntil(
            [&] { return linux_impl::threadSignalState(second.tid(), sig) == State::pending; });
        unblock = true;
    });
    linux_impl::setAnswerTimeoutForTesting(std::chrono::seconds(2));
    EXPECT_EQ(
        linux_impl::sampleThreadStack(second.tid(), frames, platform::kMaxStackFrames, nullptr),
        0u);
    linux_impl::setAnswerTimeoutForTesting(kAnswerTimeout);
    unblocker.join();

    ASSERT_TRUE(pollUntil([&] { return unblocked.load(); }));
    EXPECT_TRUE(keepsMoving(laps)) << "the late signal left the thread stopped";
    EXPECT_TRUE(std::all_of(std::begin(frames), std::end(frames), [](std::uint64_t pc) {
        return pc == kUntouched;
    })) << "a late answer wrote into a request that had been given up";
    EXPECT_FALSE(sampleUntil(tid, answered).empty()) << "the thread answers again once it unblocks";
    second.join();
    EXPECT_EQ(receivedBy[sig].count.load(), hostDeliveries) << "a late signal of ours leaked";

    thread.join();
    EXPECT_EQ(linux_impl::threadSignalState(tid, sig), State::gone);
    EXPECT_EQ(linux_impl::sendSignalToThread(tid, 0), ESRCH);
    EXPECT_EQ(linux_impl::sendSignalToThread(0, 0), ESRCH) << "no thread counts as gone";
    EXPECT_EQ(linux_impl::threadSignalState(linux_impl::currentThreadId(), 0), State::gone)
        << "and so does no signal";
    EXPECT_TRUE(emptyAtOnce(tid)) << "waited for an answer from a thread that exited";
    EXPECT_TRUE(emptyAtOnce(0));
}

// ---- The chained handler with each kind of previous disposition ----

// Claims a signal only while `claimOwn` is set and it came from inside the process.
std::atomic<bool> claimOwn{false};
std::atomic<int> ownCountBy[_NSIG];
bool ownHandler(int signal, siginfo_t *info, void *)
{
    if (!claimOwn.load() || !linux_impl::sentByThisProcess(info))
        return false;
    ownCountBy[signal].fetch_add(1);
    return true;
}

TEST(ChainedSignal, InstalledOnceForOneHandlerForeignSignalsGoToThePreviousDisposition)
{
    EXPECT_FALSE(linux_impl::chainedHandlerInstalled(SIGRTMIN + 5)) << "never installed";
    EXPECT_FALSE(linux_impl::chainedHandlerInstalled(0));
    EXPECT_EQ(0, linux_impl::takeReplacedHandlerNotice()) << "nothing of ours was replaced";
    EXPECT_FALSE(linux_impl::installChainedSignalHandler(0, &ownHandler));
    EXPECT_FALSE(linux_impl::installChainedSignalHandler(_NSIG, &ownHandler));
    // Each kind of previous disposition on a signal of its own. Ignored stays ignored; the
    // default (terminate) is never reached: surviving is the check.
    const std::pair<int, void (*)(int)> previous[] = {
        {SA_SIGINFO, nullptr},
        {0, [](int signal) { receivedBy[signal].count.fetch_add(1); }},
        {0, SIG_IGN},
        {0, SIG_DFL}};
    for (int i = 0; i < 4; ++i) {
        const int sig = SIGRTMIN + 5 + i;
        const auto [flags, plain] = previous[i];
        const int foreignDeliveries = i < 2 ? 1 : 0;
        SCOPED_TRACE(sig);
        installPrevious(sig, flags, plain);
        ASSERT_TRUE(linux_impl::installChainedSignalHandler(sig, &ownHandler));
        EXPECT_TRUE(linux_impl::installChainedSignalHandler(sig, &ownHandler));
        EXPECT_FALSE(linux_impl::installChainedSignalHandler(
            sig, [](int, siginfo_t *, void *) { return true; }));
        EXPECT_TRUE(linux_impl::chainedHandlerInstalled(sig));

        // sigqueue delivers to this thread before returning, or to some other thread; either
        // way the count settles.
        ASSERT_EQ(sigqueue(getpid(), sig, sigval{kForeignValue}), 0);
        ASSERT_TRUE(pollUntil([&] { return receivedBy[sig].count.load() == foreignDeliveries; }));
        if (flags & SA_SIGINFO) {
            EXPECT_EQ(receivedBy[sig].lastValue.load(), kForeignValue);
            EXPECT_EQ(receivedBy[sig].lastCode.load(), SI_QUEUE);
        }
        // A thread-directed signal from inside the process while nothing of ours is expected.
        ASSERT_EQ(linux_impl::sendSignalToThread(linux_impl::currentThreadId(), sig), 0);
        EXPECT_EQ(receivedBy[sig].count.load(), 2 * foreignDeliveries);

        claimOwn = true;
        ASSERT_EQ(linux_impl::sendSignalToThread(linux_impl::currentThreadId(), sig), 0);
        claimOwn = false;
        EXPECT_EQ(ownCountBy[sig].load(), 1);
        EXPECT_EQ(receivedBy[sig].count.load(), 2 * foreignDeliveries);
    }
}

// ---- The sampler on a signal the host already handles ----

TEST(SamplerOnHostSignal, OnlyTheHostsOwnSignalsReachItAndAReplacedHandlerIsNoticedOnce)
{
    const int sig = linux_impl::samplingSignal();
    ASSERT_EQ(pthread_kill(pthread_self(), sig), 0);
    EXPECT_EQ(receivedBy[sig].count.load(), 1);
    EXPECT_EQ(receivedBy[sig].lastCode.load(), SI_TKILL);

    // Once its handler is replaced, the sampler gives nothing without sending, and says so once.
    struct sigaction ours {
    };
    struct sigaction replacement {
    };
    replacement.sa_handler = SIG_DFL; // our signal reaching it would terminate the process
    ASSERT_EQ(sigaction(sig, &replacement, &ours), 0);
    EXPECT_TRUE(sample(linux_impl::currentThreadId()).empty());
    EXPECT_EQ(sig, linux_impl::takeReplacedHandlerNotice());
    EXPECT_EQ(0, linux_impl::takeReplacedHandlerNotice());
    ASSERT_EQ(sigaction(sig, &ours, nullptr), 0);
    EXPECT_FALSE(sample(linux_impl::currentThreadId()).empty());
}

} // namespace
