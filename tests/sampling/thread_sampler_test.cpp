// Sampling real threads through the platform interface: blocked, spinning, deep, allocating,
// exited and signal-blocking threads.
#include "known_functions.h"
#include "support/sanitizers.h"
#include "test_thread.h"

#include "platform/linux/sampling/thread_sampler_linux.h"
#include "platform/linux/signal_support_linux.h"
#include "platform/stack_sampler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <dlfcn.h>
#include <memory>
#include <set>
#include <stdexcept>
#include <unistd.h>

namespace sampling_test
{
namespace
{

using platform::StackSample;
namespace linux_impl = platform::linux_impl;

using testsupport::kThreadSanitizer;

bool containsPcIn(const StackSample &sample, CodeRange range)
{
    return std::any_of(sample.begin(), sample.end(),
                       [&](std::uint64_t pc) { return range.contains(pc); });
}

class Pipe
{
public:
    Pipe()
    {
        if (pipe(fds_) != 0)
            throw std::runtime_error("pipe");
    }
    ~Pipe()
    {
        close(fds_[0]);
        close(fds_[1]);
    }
    int readEnd() const { return fds_[0]; }
    void writeByte(char byte) { ASSERT_EQ(write(fds_[1], &byte, 1), 1); }

private:
    int fds_[2] = {-1, -1};
};

class ThreadSampler : public testing::Test
{
protected:
    void SetUp() override
    {
        sampler = platform::loadStackSampler();
        ASSERT_NE(sampler, nullptr);
        // Answers come in microseconds; the long timeout only keeps a loaded machine from
        // turning a slow answer into a failed test.
        linux_impl::setAnswerTimeoutForTesting(kSafetyNet);
    }

    StackSample sample(pid_t tid) const
    {
        return platform::sampleThread(*sampler, platform::ThreadHandle{tid});
    }

    // Samples `tid` until a sample satisfies `accept`; that sample (empty after kSafetyNet).
    template <typename Accept>
    StackSample sampleUntil(pid_t tid, Accept accept) const
    {
        StackSample last;
        eventually([&] {
            last = sample(tid);
            return accept(last);
        });
        return accept(last) ? last : StackSample{};
    }

    const platform::StackSampler *sampler = nullptr;
};

// ---- Threads blocked in a known function ----

struct Blocker {
    virtual ~Blocker() = default;
    virtual CodeRange range() const = 0;
    // On the sampled thread: blocks in the known function until released.
    virtual void block() = 0;
    virtual void release() = 0;
    // After the thread has finished: the blocked call did what it should.
    virtual void expectCompletedNormally() const = 0;
};

class SleepBlocker : public Blocker
{
public:
    CodeRange range() const override { return sleepForRange(); }
    void block() override { slept_ = sleepFor(kSleep); }
    void release() override {}
    void expectCompletedNormally() const override
    {
        EXPECT_GE(slept_, kSleep) << "samples must not cut the sleep short";
    }

private:
    static constexpr std::chrono::milliseconds kSleep{3000};
    std::chrono::steady_clock::duration slept_{};
};

class ReadBlocker : public Blocker
{
public:
    CodeRange range() const override { return readOneByteRange(); }
    void block() override { result_ = readOneByte(pipe_.readEnd(), &byte_, &errorNumber_); }
    void release() override { pipe_.writeByte('k'); }
    void expectCompletedNormally() const override
    {
        EXPECT_EQ(result_, 1) << "errno " << errorNumber_
                              << (errorNumber_ == EINTR ? " (EINTR)" : "");
        EXPECT_EQ(byte_, 'k');
    }

private:
    Pipe pipe_;
    long result_ = 0;
    char byte_ = 0;
    int errorNumber_ = 0;
};

class MutexBlocker : public Blocker
{
public:
    MutexBlocker() { mutex_.lock(); }
    CodeRange range() const override { return lockAndUnlockRange(); }
    void block() override
    {
        lockAndUnlock(mutex_);
        acquired_ = true;
    }
    void release() override { mutex_.unlock(); }
    void expectCompletedNormally() const override { EXPECT_TRUE(acquired_); }

private:
    std::mutex mutex_;
    bool acquired_ = false;
};

struct BlockingCase {
    const char *name;
    std::unique_ptr<Blocker> (*make)();
    // ThreadSanitizer holds an asynchronous signal back until the thread leaves a call that
    // it does not treat as blocking (read(), pthread_mutex_lock): such a thread cannot be
    // sampled in that build. Sleeping and condition-variable waits are delivered at once.
    bool sampledUnderThreadSanitizer;
    friend void PrintTo(const BlockingCase &blockingCase, std::ostream *out)
    {
        *out << blockingCase.name;
    }
};

class BlockedThread : public ThreadSampler, public testing::WithParamInterface<BlockingCase>
{
};

TEST_P(BlockedThread, RepeatedSamplesAreIdenticalAndShowTheBlockingFunction)
{
    if (kThreadSanitizer && !GetParam().sampledUnderThreadSanitizer)
        GTEST_SKIP() << "ThreadSanitizer defers signals until this call returns";
    const std::unique_ptr<Blocker> blocker = GetParam().make();
    bool released = false;
    TestThread thread([&] { blocker->block(); });
    const AtScopeExit releaseOnExit([&] {
        if (!released)
            blocker->release();
    });

    // Blocked once two samples in a row agree (it may first be caught on its way in).
    StackSample previous;
    const StackSample first = sampleUntil(thread.tid(), [&](const StackSample &s) {
        const bool settled = containsPcIn(s, blocker->range()) && s == previous;
        previous = s;
        return settled;
    });
    ASSERT_FALSE(first.empty()) << "the thread never settled inside the blocking function";
    EXPECT_LE(first.size(), platform::kMaxStackFrames);
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(sample(thread.tid()), first) << "sample " << i;

    blocker->release();
    released = true;
    thread.join();
    blocker->expectCompletedNormally();
}

INSTANTIATE_TEST_SUITE_P(
    KnownFunctions, BlockedThread,
    testing::Values(
        BlockingCase{"SleepFor", [] { return std::unique_ptr<Blocker>(new SleepBlocker); }, true},
        BlockingCase{"ReadOnPipe", [] { return std::unique_ptr<Blocker>(new ReadBlocker); }, false},
        BlockingCase{"LockHeldMutex", [] { return std::unique_ptr<Blocker>(new MutexBlocker); },
                     false}),
    [](const testing::TestParamInfo<BlockingCase> &info) { return info.param.name; });

// ---- Moving threads ----

TEST_F(ThreadSampler, SpinningThreadIsInterruptedInsideItsLoopAndKeepsRunning)
{
    std::atomic<bool> stop{false};
    std::atomic<long> laps{0};
    TestThread thread([&] { spinUntil(stop, laps); });
    const AtScopeExit stopOnExit([&] { stop = true; });

    const StackSample inLoop = sampleUntil(thread.tid(), [](const StackSample &s) {
        return !s.empty() && spinUntilRange().contains(s.front());
    });
    EXPECT_FALSE(inLoop.empty()) << "element 0 never was the interrupted loop's own PC";
    const long lapsAfterSampling = laps.load();
    EXPECT_TRUE(eventually([&] { return laps.load() > lapsAfterSampling; }));
}

TEST_F(ThreadSampler, ThreadThatKeepsMovingGivesDifferingSamples)
{
    std::atomic<bool> stop{false};
    std::atomic<long> laps{0};
    TestThread thread([&] { wanderUntil(stop, laps); });
    const AtScopeExit stopOnExit([&] { stop = true; });

    std::set<StackSample> distinct;
    for (int i = 0; i < 50; ++i) {
        const StackSample s = sample(thread.tid());
        EXPECT_FALSE(s.empty());
        distinct.insert(s);
        // On a busy machine the woken requester can take the CPU from the sampled thread as
        // soon as its handler returns; let it move before the next sample.
        const long lapsAfterSample = laps.load();
        ASSERT_TRUE(eventually([&] { return laps.load() > lapsAfterSample; }));
    }
    EXPECT_GE(distinct.size(), 2u);
}

// ---- Depth ----

TEST_F(ThreadSampler, StackDeeperThanTheLimitGivesExactlyTheLimit)
{
    Gate gate;
    TestThread thread([&] { recurseThenWait(100, gate); });
    const AtScopeExit openOnExit([&] { gate.open(); });

    const StackSample deep = sampleUntil(
        thread.tid(), [](const StackSample &s) { return containsPcIn(s, waitAtGateRange()); });
    ASSERT_EQ(deep.size(), platform::kMaxStackFrames);
    // The wait's own frames, then the recursion all the way to the cut.
    const auto firstRecursion = std::find_if(deep.begin(), deep.end(), [](std::uint64_t pc) {
        return recurseThenWaitRange().contains(pc);
    });
    ASSERT_LT(firstRecursion - deep.begin(), 16);
    for (auto pc = firstRecursion; pc != deep.end(); ++pc)
        EXPECT_TRUE(recurseThenWaitRange().contains(*pc)) << "frame " << pc - deep.begin();
}

TEST_F(ThreadSampler, ShallowStackEndsAtTheThreadsBase)
{
    Gate gate;
    TestThread thread([&] { gate.wait(); });
    const AtScopeExit openOnExit([&] { gate.open(); });

    const StackSample shallow = sampleUntil(
        thread.tid(), [](const StackSample &s) { return containsPcIn(s, waitAtGateRange()); });
    ASSERT_FALSE(shallow.empty());
    EXPECT_LT(shallow.size(), platform::kMaxStackFrames);
}

TEST_F(ThreadSampler, ExceptionsUnwindNormallyWhileTheSamplerIsLoaded)
{
    // libunwind also defines the C++ unwinding ABI; loaded, it must not have taken it over
    // (the process's own copy is libgcc_s's, or a sanitizer's wrapper around it).
    ASSERT_NE(dlopen("libunwind.so.8", RTLD_NOW | RTLD_NOLOAD), nullptr);
    Dl_info where{};
    ASSERT_NE(dladdr(dlsym(RTLD_DEFAULT, "_Unwind_RaiseException"), &where), 0);
    EXPECT_EQ(std::string(where.dli_fname).find("libunwind"), std::string::npos) << where.dli_fname;

    std::atomic<bool> stop{false};
    std::atomic<long> caught{0};
    std::atomic<long> cleanedUp{0};
    TestThread thread([&] {
        struct Cleanup {
            std::atomic<long> &count;
            ~Cleanup() { count.fetch_add(1); }
        };
        while (!stop.load()) {
            try {
                Cleanup cleanup{cleanedUp};
                throw std::runtime_error("thrown while sampled");
            } catch (const std::runtime_error &) {
                caught.fetch_add(1);
            }
        }
    });
    for (int i = 0; i < 1000; ++i)
        EXPECT_FALSE(sample(thread.tid()).empty());
    stop = true;
    thread.join();
    EXPECT_GT(caught.load(), 0);
    EXPECT_EQ(caught.load(), cleanedUp.load());
}

TEST_F(ThreadSampler, SampledThreadKeepsItsOwnSignalMask)
{
    Gate gate;
    std::atomic<bool> masked{false};
    TestThread thread([&] {
        sigset_t user1;
        sigemptyset(&user1);
        sigaddset(&user1, SIGUSR1);
        pthread_sigmask(SIG_SETMASK, &user1, nullptr);
        masked = true;
        gate.wait();
    });
    const AtScopeExit openOnExit([&] { gate.open(); });
    ASSERT_TRUE(eventually([&] { return masked.load(); }));
    for (int i = 0; i < 100; ++i)
        EXPECT_FALSE(sample(thread.tid()).empty());
    // Right after an answer the thread may still be inside the handler, where every signal is
    // blocked; once it is back at the gate its own mask is in force again.
    EXPECT_TRUE(eventually([&] {
        return linux_impl::threadSignalState(thread.tid(), SIGUSR2) ==
               linux_impl::ThreadSignalState::accepting;
    }));
    EXPECT_EQ(linux_impl::threadSignalState(thread.tid(), SIGUSR1),
              linux_impl::ThreadSignalState::blocking);
    EXPECT_EQ(linux_impl::threadSignalState(thread.tid(), linux_impl::samplingSignal()),
              linux_impl::ThreadSignalState::accepting);
}

// ---- Threads that cannot answer ----

TEST_F(ThreadSampler, ExitedOrNullThreadGivesAnEmptySampleAtOnce)
{
    TestThread thread([] {});
    thread.join();

    for (const pid_t tid : {thread.tid(), pid_t{0}}) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(sample(tid).empty()) << tid;
        EXPECT_LT(std::chrono::steady_clock::now() - start, kSafetyNet / 2)
            << "waited for an answer from a thread that does not exist";
    }
}

TEST_F(ThreadSampler, ThreadBlockingTheSignalTimesOutAndIsNeverLeftStopped)
{
    std::atomic<bool> blocking{false};
    std::atomic<bool> unblock{false};
    std::atomic<bool> unblocked{false};
    std::atomic<bool> stop{false};
    std::atomic<long> laps{0};
    TestThread thread([&] {
        sigset_t sampling;
        sigemptyset(&sampling);
        sigaddset(&sampling, linux_impl::samplingSignal());
        pthread_sigmask(SIG_BLOCK, &sampling, nullptr);
        blocking = true;
        while (!unblock.load())
            laps.fetch_add(1);
        // The signal left pending by the timed-out request arrives here and must be dropped.
        pthread_sigmask(SIG_UNBLOCK, &sampling, nullptr);
        unblocked = true;
        while (!stop.load())
            laps.fetch_add(1);
    });
    const AtScopeExit stopOnExit([&] { unblock = stop = true; });
    ASSERT_TRUE(eventually([&] { return blocking.load(); }));

    constexpr std::uint64_t kUntouched = 0x5a5a5a5a5a5a5a5a;
    std::uint64_t frames[platform::kMaxStackFrames];
    std::fill(std::begin(frames), std::end(frames), kUntouched);
    linux_impl::setAnswerTimeoutForTesting(std::chrono::milliseconds(50));
    EXPECT_EQ(
        linux_impl::sampleThreadStack(thread.tid(), frames, platform::kMaxStackFrames, nullptr),
        0u);

    // Its signal is still pending: the next request gives up without waiting or sending.
    linux_impl::setAnswerTimeoutForTesting(kSafetyNet);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(sample(thread.tid()).empty());
    EXPECT_LT(std::chrono::steady_clock::now() - start, kSafetyNet / 2);

    const long lapsAfterTimeout = laps.load();
    EXPECT_TRUE(eventually([&] { return laps.load() > lapsAfterTimeout; }))
        << "a timed-out sample left the thread stopped";

    unblock = true;
    ASSERT_TRUE(eventually([&] { return unblocked.load(); }));
    const long lapsAfterLateSignal = laps.load();
    EXPECT_TRUE(eventually([&] { return laps.load() > lapsAfterLateSignal; }))
        << "the late signal left the thread stopped";
    EXPECT_TRUE(std::all_of(std::begin(frames), std::end(frames), [](std::uint64_t pc) {
        return pc == kUntouched;
    })) << "a late answer wrote into a request that had been given up";

    EXPECT_FALSE(sample(thread.tid()).empty()) << "the thread answers again once it unblocks";
}

} // namespace
} // namespace sampling_test
