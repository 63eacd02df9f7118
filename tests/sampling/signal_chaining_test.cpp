// Signals that are not ours reach whoever handled them before us; ours never do. Also what
// the kernel reports about a thread's signal state. Every case here uses its own signal
// number, and the sampler's signal gets a handler of the host's before the sampler installs
// its own (see HostHandlerFirst below), so the cases do not depend on their order.
#include "test_thread.h"

#include "platform/linux/sampling/thread_sampler_linux.h"
#include "platform/linux/signal_support_linux.h"
#include "platform/stack_sampler.h"

#include <gtest/gtest.h>

#include <csignal>
#include <pthread.h>
#include <unistd.h>

namespace sampling_test
{
namespace
{

namespace linux_impl = platform::linux_impl;

constexpr int kForeignValue = 0x4b45454c;

// What the handler that was there before ours received. Written in signal handlers.
struct Received {
    std::atomic<int> count{0};
    std::atomic<int> lastValue{0};
    std::atomic<int> lastCode{0};
};
Received receivedBy[_NSIG];

void previousSigaction(int signal, siginfo_t *info, void *)
{
    receivedBy[signal].lastValue = info->si_value.sival_int;
    receivedBy[signal].lastCode = info->si_code;
    receivedBy[signal].count.fetch_add(1);
}

void previousPlainHandler(int signal)
{
    receivedBy[signal].count.fetch_add(1);
}

void installPrevious(int signal, int flags, void (*plain)(int), bool withInfo)
{
    struct sigaction previous {
    };
    if (withInfo)
        previous.sa_sigaction = &previousSigaction;
    else
        previous.sa_handler = plain;
    previous.sa_flags = flags;
    sigemptyset(&previous.sa_mask);
    ASSERT_EQ(sigaction(signal, &previous, nullptr), 0);
}

void sendForeign(int signal)
{
    sigval value{};
    value.sival_int = kForeignValue;
    ASSERT_EQ(sigqueue(getpid(), signal, value), 0);
}

// Our part for the chaining cases: claims a signal only while `claimOwn` is set and it came
// from inside the process.
std::atomic<bool> claimOwn{false};
std::atomic<int> ownCountBy[_NSIG];
bool ownHandler(int signal, siginfo_t *info, void *)
{
    if (!claimOwn.load() || !linux_impl::sentByThisProcess(info))
        return false;
    ownCountBy[signal].fetch_add(1);
    return true;
}

// ---- The chained handler with each kind of previous disposition ----

enum class Previous { sigaction, plainHandler, ignored, defaultAction };

struct ChainCase {
    const char *name;
    int offsetFromRtMin;
    Previous previous;
    int expectedForeignDeliveries;
    friend void PrintTo(const ChainCase &chainCase, std::ostream *out) { *out << chainCase.name; }
};

class ChainedSignal : public testing::TestWithParam<ChainCase>
{
protected:
    int signal() const { return SIGRTMIN + GetParam().offsetFromRtMin; }
};

TEST_P(ChainedSignal, ForeignSignalsGoToThePreviousDispositionAndOursDoNot)
{
    const int sig = signal();
    switch (GetParam().previous) {
    case Previous::sigaction: installPrevious(sig, SA_SIGINFO, nullptr, true); break;
    case Previous::plainHandler: installPrevious(sig, 0, &previousPlainHandler, false); break;
    case Previous::ignored: installPrevious(sig, 0, SIG_IGN, false); break;
    case Previous::defaultAction: installPrevious(sig, 0, SIG_DFL, false); break;
    }
    ASSERT_TRUE(linux_impl::installChainedSignalHandler(sig, &ownHandler));
    EXPECT_TRUE(linux_impl::chainedHandlerInstalled(sig));

    // sigqueue delivers to this process before returning when the signal is unblocked here,
    // or to some other thread; either way the count settles.
    sendForeign(sig);
    ASSERT_TRUE(eventually(
        [&] { return receivedBy[sig].count.load() == GetParam().expectedForeignDeliveries; }));
    if (GetParam().previous == Previous::sigaction) {
        EXPECT_EQ(receivedBy[sig].lastValue.load(), kForeignValue);
        EXPECT_EQ(receivedBy[sig].lastCode.load(), SI_QUEUE);
    }

    // A thread-directed signal from inside the process while nothing of ours is expected.
    ASSERT_EQ(linux_impl::sendSignalToThread(linux_impl::currentThreadId(), sig), 0);
    EXPECT_EQ(receivedBy[sig].count.load(), 2 * GetParam().expectedForeignDeliveries);

    claimOwn = true;
    ASSERT_EQ(linux_impl::sendSignalToThread(linux_impl::currentThreadId(), sig), 0);
    claimOwn = false;
    EXPECT_EQ(ownCountBy[sig].load(), 1);
    EXPECT_EQ(receivedBy[sig].count.load(), 2 * GetParam().expectedForeignDeliveries);
}

INSTANTIATE_TEST_SUITE_P(PreviousDispositions, ChainedSignal,
                         testing::Values(ChainCase{"SigactionHandler", 5, Previous::sigaction, 1},
                                         ChainCase{"PlainHandler", 6, Previous::plainHandler, 1},
                                         // Ignored stays ignored; the default (terminate) is
                                         // skipped: the test process surviving is the check.
                                         ChainCase{"Ignored", 7, Previous::ignored, 0},
                                         ChainCase{"DefaultAction", 8, Previous::defaultAction, 0}),
                         [](const testing::TestParamInfo<ChainCase> &info) {
                             return info.param.name;
                         });

TEST(ChainedSignalInstall, OncePerSignalAndOnlyForTheSameHandler)
{
    const int sig = SIGRTMIN + 9;
    ASSERT_TRUE(linux_impl::installChainedSignalHandler(sig, &ownHandler));
    EXPECT_TRUE(linux_impl::installChainedSignalHandler(sig, &ownHandler));
    EXPECT_FALSE(linux_impl::installChainedSignalHandler(
        sig, [](int, siginfo_t *, void *) { return true; }));
    EXPECT_FALSE(linux_impl::installChainedSignalHandler(0, &ownHandler));
    EXPECT_FALSE(linux_impl::installChainedSignalHandler(_NSIG, &ownHandler));

    // Someone else takes the signal over afterwards.
    struct sigaction replacement {
    };
    replacement.sa_handler = SIG_IGN;
    ASSERT_EQ(sigaction(sig, &replacement, nullptr), 0);
    EXPECT_FALSE(linux_impl::chainedHandlerInstalled(sig));
}

// ---- The sampler on a signal the host already handles ----

class HostHandlerFirst : public testing::Environment
{
public:
    void SetUp() override
    {
        installPrevious(linux_impl::samplingSignal(), SA_SIGINFO, nullptr, true);
        ASSERT_NE(platform::loadStackSampler(), nullptr);
        linux_impl::setAnswerTimeoutForTesting(kSafetyNet);
    }
};
const testing::Environment *const hostHandlerFirst =
    testing::AddGlobalTestEnvironment(new HostHandlerFirst);

TEST(SamplerOnHostSignal, SamplesNeverReachTheHostsHandlerButItsOwnSignalsDo)
{
    const int sig = linux_impl::samplingSignal();
    const int before = receivedBy[sig].count.load();
    std::atomic<bool> stop{false};
    TestThread thread([&] {
        while (!stop.load())
            std::this_thread::yield();
    });
    std::uint64_t frames[platform::kMaxStackFrames];
    for (int i = 0; i < 200; ++i)
        EXPECT_GT(
            linux_impl::sampleThreadStack(thread.tid(), frames, platform::kMaxStackFrames, nullptr),
            0u);
    EXPECT_EQ(receivedBy[sig].count.load(), before);

    sendForeign(sig);
    EXPECT_TRUE(eventually([&] { return receivedBy[sig].count.load() == before + 1; }));
    EXPECT_EQ(receivedBy[sig].lastValue.load(), kForeignValue);
    ASSERT_EQ(pthread_kill(pthread_self(), sig), 0);
    EXPECT_EQ(receivedBy[sig].count.load(), before + 2);
    EXPECT_EQ(receivedBy[sig].lastCode.load(), SI_TKILL);
    stop = true;
}

TEST(SamplerOnHostSignal, GivesEmptyWithoutSendingOnceItsHandlerWasReplaced)
{
    const int sig = linux_impl::samplingSignal();
    struct sigaction ours {
    };
    struct sigaction replacement {
    };
    replacement.sa_handler = SIG_DFL; // our signal reaching it would terminate the process
    ASSERT_EQ(sigaction(sig, &replacement, &ours), 0);
    std::uint64_t frames[platform::kMaxStackFrames];
    EXPECT_EQ(linux_impl::sampleThreadStack(linux_impl::currentThreadId(), frames,
                                            platform::kMaxStackFrames, nullptr),
              0u);
    ASSERT_EQ(sigaction(sig, &ours, nullptr), 0);
    EXPECT_GT(linux_impl::sampleThreadStack(linux_impl::currentThreadId(), frames,
                                            platform::kMaxStackFrames, nullptr),
              0u);
}

// ---- What the kernel reports about a thread ----

TEST(ThreadSignalState, ReportsAcceptingBlockingPendingAndGone)
{
    const int sig = SIGRTMIN + 10;
    installPrevious(sig, SA_SIGINFO, nullptr, true);
    std::atomic<int> step{0};
    std::atomic<int> done{0};
    TestThread thread([&] {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, sig);
        eventually([&] { return step.load() == 1; });
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
        done = 1;
        eventually([&] { return step.load() == 2; });
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        done = 2;
    });
    EXPECT_EQ(linux_impl::threadSignalState(thread.tid(), sig),
              linux_impl::ThreadSignalState::accepting);
    step = 1;
    ASSERT_TRUE(eventually([&] { return done.load() == 1; }));
    EXPECT_EQ(linux_impl::threadSignalState(thread.tid(), sig),
              linux_impl::ThreadSignalState::blocking);
    ASSERT_EQ(linux_impl::sendSignalToThread(thread.tid(), sig), 0);
    EXPECT_EQ(linux_impl::threadSignalState(thread.tid(), sig),
              linux_impl::ThreadSignalState::pending)
        << "a blocked signal waits behind the block";
    step = 2;
    thread.join();
    EXPECT_EQ(receivedBy[sig].count.load(), 1) << "the pending signal arrived on unblocking";
    EXPECT_EQ(linux_impl::threadSignalState(thread.tid(), sig),
              linux_impl::ThreadSignalState::gone);
    EXPECT_EQ(linux_impl::sendSignalToThread(thread.tid(), 0), ESRCH);
}

} // namespace
} // namespace sampling_test
