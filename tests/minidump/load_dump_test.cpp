// Dumps of this process while busy threads load every core, its main thread standing in for
// the GUI thread parked in a known function. Lag episodes sample the GUI thread three times
// and dump at once, as the watchdog does; stuck episodes dump without sampling. Every dump
// must hold the GUI thread's context, and LLDB must name the function it is parked in.
// A lag dump can find the GUI thread still inside the sampling handler; the last case here
// holds it inside one of our handlers for as long as the dump needs.
#include "minidump/live_dump_support.h"
#include "minidump/minidump_reader.h"
#include "platform/capture_helper.h"
#include "platform/linux/capture/proc_files_linux.h"
#include "platform/linux/capture/thread_freezer_linux.h"
#include "platform/linux/capture_helper/capture_client_linux.h"
#include "platform/linux/sampling/thread_sampler_linux.h"
#include "platform/linux/signal_support_linux.h"
#include "platform/process_dump.h"
#include "platform/stack_sampler.h"
#include "support/poll.h"
#include "support/sanitizers.h"

#include <gtest/gtest.h>

#include <sched.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

using minidump_test::Minidump;
using namespace minidump_test;

constexpr int kEpisodesOfEachKind = 50;
constexpr int kSamplesPerLag = 3;
constexpr char kLldbTimeout[] = "timeout 300 "; // only against an LLDB that never ends

// The GUI thread's function for the whole test: it waits for a byte and returns it.
__attribute__((noinline)) char keelLoadTestParkedGuiThread(int wakeUp)
{
    char byte = 0;
    while (read(wakeUp, &byte, 1) < 0) {
    }
    asm volatile("" ::: "memory"); // keeps this frame from becoming a tail call
    return byte;
}

// Two spinning threads per core, started with the object and stopped with it.
class BusyLoad
{
public:
    BusyLoad()
    {
        const unsigned count = 2 * std::max(1u, std::thread::hardware_concurrency());
        for (unsigned i = 0; i < count; ++i) {
            threads_.emplace_back([this] {
                while (!stop_.load(std::memory_order_relaxed)) {
                }
            });
        }
    }
    ~BusyLoad()
    {
        stop_.store(true);
        for (std::thread &thread : threads_)
            thread.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::vector<std::thread> threads_;
};

// Puts the calling thread on the first CPU it may use. The GUI thread and the watchdog share
// it, as they do on a loaded machine: whichever the scheduler runs, the other waits.
void shareFirstCpu()
{
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0)
        return;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &allowed)) {
            cpu_set_t one;
            CPU_ZERO(&one);
            CPU_SET(cpu, &one);
            sched_setaffinity(0, sizeof one, &one);
            return;
        }
    }
}

// The host's own handler for the sampling signal, installed before ours: ours passes the
// host's signals on to it, so while it runs the thread is inside one of our handlers. It
// holds the thread there until released.
std::atomic<bool> hostHandlerEntered{false};
std::atomic<bool> hostHandlerReleased{false};

void holdingHostHandler(int, siginfo_t *, void *)
{
    hostHandlerEntered.store(true);
    while (!hostHandlerReleased.load())
        sched_yield();
}

class HostHandlerFirst : public testing::Environment
{
public:
    void SetUp() override
    {
        struct sigaction host {
        };
        host.sa_sigaction = &holdingHostHandler;
        host.sa_flags = SA_SIGINFO;
        sigemptyset(&host.sa_mask);
        ASSERT_EQ(0, sigaction(platform::linux_impl::samplingSignal(), &host, nullptr));
        ASSERT_NE(nullptr, platform::loadStackSampler());
        ASSERT_TRUE(platform::loadDumpWriter());
    }
};
const testing::Environment *const hostHandlerFirst =
    testing::AddGlobalTestEnvironment(new HostHandlerFirst);

INSTANTIATE_TEST_SUITE_P(Paths, DumpByPath, testing::ValuesIn(kCapturePaths),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_P(DumpByPath, EveryLagAndStuckDumpHoldsTheParkedGuiThreadAndLldbNamesItsFunction)
{
    const platform::StackSampler *sampler = platform::loadStackSampler();
    char directoryTemplate[] = "/tmp/keel-load-dumps-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(directoryTemplate));
    const std::string directory = directoryTemplate;
    int wakeUp[2];
    ASSERT_EQ(0, pipe(wakeUp));

    const pid_t gui = getpid();
    std::atomic<int> parkings{0};
    std::vector<std::string> dumps;
    std::thread watchdog;
    {
        BusyLoad load;
        watchdog = std::thread([&] {
            shareFirstCpu();
            for (int episode = 0; episode < 2 * kEpisodesOfEachKind; ++episode) {
                testsupport::pollUntil([&] {
                    return parkings.load() == episode + 1 &&
                           platform::linux_impl::readSyscallStop(gui).has_value();
                });
                if (episode % 2 == 0) {
                    for (int i = 0; i < kSamplesPerLag; ++i)
                        platform::sampleThread(*sampler, platform::ThreadHandle{gui});
                }
                dumps.push_back(
                    dumpInto(directory + "/episode-" + std::to_string(episode) + ".dmp"));
                static_cast<void>(write(wakeUp[1], "c", 1));
            }
            static_cast<void>(write(wakeUp[1], "q", 1));
        });
        shareFirstCpu();
        do
            parkings.fetch_add(1);
        while (keelLoadTestParkedGuiThread(wakeUp[0]) != 'q');
        watchdog.join();
    }
    close(wakeUp[0]);
    close(wakeUp[1]);
    const bool inProcess = *GetParam().helper == '\0';
    EXPECT_EQ(inProcess, !platform::takeCaptureFallbackNotice().empty());

    int withFullContext = 0;
    for (std::size_t episode = 0; episode < dumps.size(); ++episode) {
        SCOPED_TRACE((episode % 2 == 0 ? "lag episode " : "stuck episode ") +
                     std::to_string(episode));
        ASSERT_FALSE(dumps[episode].empty());
        std::string error;
        const std::optional<Minidump> dump = Minidump::load(dumps[episode], error);
        ASSERT_TRUE(dump) << error;
        const minidump_test::Thread *thread = dump->findThread(static_cast<std::uint32_t>(gui));
        ASSERT_NE(nullptr, thread);
        // The thread waits in a system call: it answers the dump signal, so the dump has all of
        // its registers, not just what the kernel reports from outside.
        const bool full = dump->contextFlags(*thread) == kFullContext;
        withFullContext += full;
        EXPECT_TRUE(full) << std::hex << dump->contextFlags(*thread);
        EXPECT_TRUE(dump->inSomeModule(
            dump->contextValue(*thread, minidump_test::kContextRip).value_or(0)));
    }
    std::printf("GUI thread's full context in %d of %zu dumps\n", withFullContext, dumps.size());

    if (!minidump_test::runCommand("command -v lldb").empty()) {
        const std::vector<std::string> backtraces = firstThreadBacktraces(dumps);
        ASSERT_EQ(dumps.size(), backtraces.size());
        for (std::size_t episode = 0; episode < backtraces.size(); ++episode) {
            EXPECT_NE(std::string::npos, backtraces[episode].find("keelLoadTestParkedGuiThread"))
                << backtraces[episode];
        }
    }
    for (const std::string &path : dumps)
        unlink(path.c_str());
    rmdir(directory.c_str());
}

TEST(DumpInProcess, AThreadInsideOneOfOurHandlersIsAskedAndAnswersOnceItLeaves)
{
    if (testsupport::kThreadSanitizer)
        GTEST_SKIP() << "ThreadSanitizer defers signals to a thread blocked in a call";
    namespace linux_impl = platform::linux_impl;
    linux_impl::setCaptureHelperPathForTesting("");
    int wakeUp[2];
    ASSERT_EQ(0, pipe(wakeUp));
    std::promise<pid_t> guiId;
    std::thread gui([&] {
        guiId.set_value(linux_impl::currentThreadId());
        keelLoadTestParkedGuiThread(wakeUp[0]);
    });
    const pid_t guiTid = guiId.get_future().get();
    testsupport::pollUntil([&] { return linux_impl::readSyscallStop(guiTid).has_value(); });
    // Queued rather than sent with tgkill, the signal is the host's, not the sampler's.
    ASSERT_EQ(0, pthread_sigqueue(gui.native_handle(), linux_impl::samplingSignal(), sigval{}));
    ASSERT_TRUE(testsupport::pollUntil([] { return hostHandlerEntered.load(); }));

    char directory[] = "/tmp/keel-held-dump-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(directory));
    const std::string path = std::string(directory) + "/held.dmp";
    std::future<std::string> written =
        std::async(std::launch::async, [&] { return dumpInto(path); });
    // The thread's mask shows every signal blocked while it is held. It is let go once the
    // dump signal waits for it, or once the dump has given up on it.
    testsupport::pollUntil([&] {
        return written.wait_for(std::chrono::seconds(0)) == std::future_status::ready ||
               linux_impl::threadSignalState(guiTid, linux_impl::dumpSignalNumber()) ==
                   linux_impl::ThreadSignalState::pending;
    });
    hostHandlerReleased.store(true);
    ASSERT_EQ(path, written.get());
    static_cast<void>(write(wakeUp[1], "q", 1));
    gui.join();
    close(wakeUp[0]);
    close(wakeUp[1]);

    std::string error;
    const std::optional<Minidump> dump = Minidump::load(path, error);
    unlink(path.c_str());
    rmdir(directory);
    ASSERT_TRUE(dump) << error;
    const minidump_test::Thread *thread = dump->findThread(static_cast<std::uint32_t>(guiTid));
    ASSERT_NE(nullptr, thread);
    EXPECT_EQ(kFullContext, dump->contextFlags(*thread)) << "it answered the dump signal";
}

} // namespace
