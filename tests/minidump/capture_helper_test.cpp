// The capture helper against what the in-process path cannot do, and against its own
// failures: a GUI thread that blocks every signal while it computes, a helper that hangs while
// it holds a thread stopped, and a process that a tracer already holds.
#include "minidump/live_dump_support.h"
#include "minidump/minidump_reader.h"
#include "platform/capture_helper.h"
#include "platform/linux/capture/proc_files_linux.h"
#include "platform/linux/signal_support_linux.h"
#include "platform/stack_sampler.h"
#include "support/poll.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace
{

using namespace minidump_test;
namespace linux_impl = platform::linux_impl;

// The GUI thread's function while every signal is blocked: it computes until told to stop.
__attribute__((noinline)) void keelSpinningGuiThread(const std::atomic<bool> &stop)
{
    while (!stop.load(std::memory_order_relaxed)) {
        asm volatile("" ::: "memory");
    }
}

// A host thread's life in system calls that any signal cuts short, SA_RESTART or not. Counts
// the calls that returned EINTR.
__attribute__((noinline)) void keelSleepingThread(const std::atomic<bool> &stop,
                                                  std::atomic<int> &interrupted)
{
    while (!stop.load()) {
        const timespec nap{0, 200'000};
        if (nanosleep(&nap, nullptr) != 0 && errno == EINTR)
            interrupted.fetch_add(1);
        if (poll(nullptr, 0, 1) < 0 && errno == EINTR)
            interrupted.fetch_add(1);
    }
    asm volatile("" ::: "memory"); // keeps the calls above from becoming tail calls
}

// A directory for one test's dumps, removed with them.
class DumpDirectory
{
public:
    DumpDirectory()
    {
        char name[] = "/tmp/keel-helper-dumps-XXXXXX";
        path_ = mkdtemp(name) ? name : "";
    }
    ~DumpDirectory()
    {
        for (const std::string &file : files_)
            unlink(file.c_str());
        rmdir(path_.c_str());
    }
    std::string file(const std::string &name)
    {
        files_.push_back(path_ + "/" + name);
        return files_.back();
    }

private:
    std::string path_;
    std::vector<std::string> files_;
};

// Whether any thread of this process is in a ptrace stop ('t' in /proc/self/task/TID/stat).
bool anyThreadTraceStopped()
{
    for (const pid_t tid : linux_impl::listThreadIds()) {
        const std::string stat =
            linux_impl::readWholeFile(("/proc/self/task/" + std::to_string(tid) + "/stat").c_str())
                .value_or("");
        const std::size_t state = stat.rfind(") ");
        if (state != std::string::npos && stat.compare(state + 2, 1, "t") == 0)
            return true;
    }
    return false;
}

Minidump loadDump(const std::string &path)
{
    std::string error;
    std::optional<Minidump> dump = Minidump::load(path, error);
    EXPECT_TRUE(dump) << path << ": " << error;
    return dump ? *dump : Minidump();
}

TEST_P(DumpByPath, AGuiThreadComputingWithEverySignalBlockedHasItsFullContextOnlyThroughTheHelper)
{
    DumpDirectory directory;
    const std::string path = directory.file("spinning.dmp");
    std::atomic<bool> stop{false};
    std::string written;
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &before);
    std::thread dumper([&] {
        written = dumpInto(path);
        stop.store(true);
    });
    keelSpinningGuiThread(stop);
    dumper.join();
    pthread_sigmask(SIG_SETMASK, &before, nullptr);

    ASSERT_EQ(path, written);
    const Minidump dump = loadDump(path);
    ASSERT_FALSE(dump.threads.empty());
    const bool throughHelper = *GetParam().helper != '\0';
    // In process, a thread that refuses the signal and sits in no system call has no context.
    EXPECT_EQ(throughHelper ? kFullContext : 0u, dump.contextFlags(dump.threads[0]));
    if (throughHelper) {
        for (const std::string &backtrace : firstThreadBacktraces({path}))
            EXPECT_NE(std::string::npos, backtrace.find("keelSpinningGuiThread")) << backtrace;
    }
}

// Where the helper hangs, holding this process's main thread (the first it stops in a dump,
// the one sampled here) stopped.
class HungHelper : public testing::TestWithParam<const char *>
{
};
INSTANTIATE_TEST_SUITE_P(Points, HungHelper, testing::Values("dump", "sample"));

// A dump, or a sample of the main thread: true when it succeeded.
bool captureAt(const std::string &point, DumpDirectory &directory, const std::string &name)
{
    if (point == "dump")
        return !dumpInto(directory.file(name)).empty();
    return !platform::sampleThread(*platform::loadStackSampler(), platform::ThreadHandle{getpid()})
                .empty();
}

TEST_P(HungHelper, IsKilledItsWorkFailsNoThreadStaysStoppedAndTheNextCaptureHasANewOne)
{
    if (testsupport::kThreadSanitizer)
        GTEST_SKIP() << "ThreadSanitizer defers signals to a thread blocked in a call";
    const std::string point = GetParam();
    linux_impl::setCaptureHelperPathForTesting(KEELANR_CAPTURE_HELPER);
    linux_impl::setCaptureHelperTimeoutForTesting(std::chrono::milliseconds(1000));
    DumpDirectory directory;
    bool first = true;
    bool second = false;
    // The captures run on a thread of their own while this (the main) thread waits in a
    // system call, held stopped by the hung helper.
    std::thread([&] {
        linux_impl::setCaptureHelperStallForTesting(point.c_str());
        first = captureAt(point, directory, "hung.dmp");
        EXPECT_FALSE(anyThreadTraceStopped());
        EXPECT_EQ(-1, waitpid(-1, nullptr, WNOHANG)) << "the hung helper was ended and reaped";
        linux_impl::setCaptureHelperStallForTesting(nullptr);
        second = captureAt(point, directory, "next.dmp");
    }).join();
    EXPECT_FALSE(first) << "what the hung helper was doing failed";
    EXPECT_TRUE(second) << "the next capture had a helper of its own";
    EXPECT_EQ("", platform::takeCaptureFallbackNotice());
    linux_impl::setCaptureHelperTimeoutForTesting(std::chrono::milliseconds(0));
    linux_impl::setCaptureHelperPathForTesting(nullptr);
}

TEST(CaptureHelper, AProcessAlreadyTracedFallsBackWithOneNoticeAndItsDumpsStillComplete)
{
    if (testsupport::kThreadSanitizer)
        GTEST_SKIP() << "ThreadSanitizer defers signals to a thread blocked in a call";
    linux_impl::setCaptureHelperPathForTesting(KEELANR_CAPTURE_HELPER);
    DumpDirectory directory;
    std::string dumps[2];
    std::string notices[2];
    std::thread([&] {
        // A child traces this thread as a debugger would, passing on every signal, until it
        // is killed.
        const pid_t traced = linux_impl::currentThreadId();
        prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0); // where Yama asks for it
        const pid_t tracer = fork();
        if (tracer == 0) {
            if (ptrace(PTRACE_SEIZE, traced, nullptr, nullptr) != 0)
                _exit(1);
            for (int status = 0; waitpid(traced, &status, __WALL) == traced;) {
                const bool signalStop = WIFSTOPPED(status) && (status >> 16) == 0;
                ptrace(PTRACE_CONT, traced, nullptr, signalStop ? WSTOPSIG(status) : 0);
            }
            _exit(0);
        }
        const std::string status = "/proc/self/task/" + std::to_string(traced) + "/status";
        ASSERT_TRUE(testsupport::pollUntil([&] {
            const std::string text = linux_impl::readWholeFile(status.c_str()).value_or("");
            return text.find("\nTracerPid:\t0\n") == std::string::npos;
        }));
        for (int i = 0; i < 2; ++i) {
            dumps[i] = dumpInto(directory.file("traced-" + std::to_string(i) + ".dmp"));
            notices[i] = platform::takeCaptureFallbackNotice();
        }
        kill(tracer, SIGKILL);
        waitpid(tracer, nullptr, 0);
    }).join();
    EXPECT_EQ("anr dumps taken in process: tracing refused: a tracer is already attached",
              notices[0]);
    EXPECT_EQ("", notices[1]) << "one notice for one reason";
    for (const std::string &path : dumps) {
        ASSERT_NE("", path);
        const Minidump dump = loadDump(path);
        ASSERT_FALSE(dump.threads.empty());
        EXPECT_EQ(kFullContext, dump.contextFlags(dump.threads[0]));
    }
    linux_impl::setCaptureHelperPathForTesting(nullptr);
}

TEST(CaptureHelper, ItsSamplesAndDumpsInterruptNoSystemCallAndTheSamplesReachTheCaller)
{
    if (testsupport::kThreadSanitizer)
        GTEST_SKIP() << "ThreadSanitizer defers signals to a thread blocked in a call";
    constexpr int kSamples = 200;
    constexpr int kSamplesPerDump = 40;
    linux_impl::setCaptureHelperPathForTesting(KEELANR_CAPTURE_HELPER);
    DumpDirectory directory;
    std::atomic<bool> stop{false};
    std::atomic<int> interrupted{0};
    std::atomic<pid_t> sleeperId{0};
    std::thread sleeper([&] {
        sleeperId.store(linux_impl::currentThreadId());
        keelSleepingThread(stop, interrupted);
    });
    ASSERT_TRUE(testsupport::pollUntil([&] { return sleeperId.load() != 0; }));
    const auto function = reinterpret_cast<std::uintptr_t>(&keelSleepingThread);
    int reachingTheCaller = 0;
    int dumps = 0;
    for (int i = 0; i < kSamples; ++i) {
        const platform::StackSample sample = platform::sampleThread(
            *platform::loadStackSampler(), platform::ThreadHandle{sleeperId.load()});
        // A return address into the loop lies a few dozen bytes into it.
        reachingTheCaller += std::any_of(sample.begin(), sample.end(), [&](std::uint64_t pc) {
            return pc > function && pc - function < 512;
        });
        if (i % kSamplesPerDump == 0)
            dumps += !dumpInto(directory.file("sleeping-" + std::to_string(i) + ".dmp")).empty();
    }
    stop.store(true);
    sleeper.join();
    EXPECT_EQ(0, interrupted.load());
    EXPECT_EQ(kSamples, reachingTheCaller);
    EXPECT_EQ(kSamples / kSamplesPerDump, dumps);
    EXPECT_EQ("", platform::takeCaptureFallbackNotice());
    linux_impl::setCaptureHelperPathForTesting(nullptr);
}

} // namespace
