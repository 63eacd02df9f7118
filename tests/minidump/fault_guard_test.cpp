// The guard catches faults of the writing thread inside the writer, and only those.
#include "platform/linux/capture/fault_guard_linux.h"
#include "platform/linux/signal_support_linux.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>

namespace
{

using platform::DumpOutcome;

const volatile char *inaccessiblePage()
{
    static void *const page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return static_cast<const volatile char *>(page);
}

// A page of a file that has been cut to nothing: touching it raises SIGBUS.
const volatile char *pageBeyondEndOfFile()
{
    FILE *file = tmpfile();
    if (!file || ftruncate(fileno(file), 4096) != 0)
        return nullptr;
    void *page = mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fileno(file), 0);
    if (page == MAP_FAILED || ftruncate(fileno(file), 0) != 0)
        return nullptr;
    return static_cast<const volatile char *>(page);
}

DumpOutcome guarded(platform::linux_impl::DumpWriter writer)
{
    return platform::linux_impl::writeGuarded(writer, -1);
}

// Whether `signal` is handled as `expected` says.
bool hasDisposition(int signal, const struct sigaction &expected)
{
    struct sigaction a {
    };
    sigaction(signal, nullptr, &a);
    return (a.sa_flags & SA_SIGINFO) == (expected.sa_flags & SA_SIGINFO) &&
           ((a.sa_flags & SA_SIGINFO) ? a.sa_sigaction == expected.sa_sigaction
                                      : a.sa_handler == expected.sa_handler);
}

TEST(FaultGuard, AFaultInsideTheWriterIsCaughtOtherwiseItsResultIsPassedOn)
{
    EXPECT_EQ(DumpOutcome::Failed, guarded([](int) { return false; }));
    EXPECT_EQ(DumpOutcome::Failed, platform::writeProcessDump(platform::kInvalidFile));
    struct sigaction segvBefore {
    }, busBefore{};
    sigaction(SIGSEGV, nullptr, &segvBefore);
    sigaction(SIGBUS, nullptr, &busBefore);
    const auto segvWriter = [](int) { return *inaccessiblePage() == 0; };
    EXPECT_EQ(DumpOutcome::Faulted, guarded(segvWriter));
    EXPECT_EQ(DumpOutcome::Faulted, guarded([](int) { return *pageBeyondEndOfFile() == 0; }));
    // The guard is usable again: nothing stayed locked or installed.
    EXPECT_EQ(DumpOutcome::Written, guarded([](int) { return true; }));
    EXPECT_EQ(DumpOutcome::Faulted, guarded(segvWriter));

    EXPECT_TRUE(hasDisposition(SIGSEGV, segvBefore));
    EXPECT_TRUE(hasDisposition(SIGBUS, busBefore));

    // A handler the host installs while the writer runs stays in place.
    static struct sigaction hosts {
    };
    hosts.sa_sigaction = [](int, siginfo_t *, void *) {};
    hosts.sa_flags = SA_SIGINFO;
    EXPECT_EQ(DumpOutcome::Written,
              guarded([](int) { return sigaction(SIGBUS, &hosts, nullptr) == 0; }));
    EXPECT_TRUE(hasDisposition(SIGBUS, hosts));
    sigaction(SIGBUS, &busBefore, nullptr);
}

// Faults the guard must not take reach the host's handler (in a child process).
void hostHandler(int, siginfo_t *, void *)
{
    static const char message[] = "host handler saw the fault\n";
    static_cast<void>(write(STDERR_FILENO, message, sizeof message - 1));
    _exit(42);
}

TEST(FaultGuard, AFaultElsewhereReachesTheHostsHandler)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::pair<const char *, void (*)()> places[] = {
        {"OtherThreadDuringTheWriter",
         [] {
             guarded([](int) {
                 std::thread([] { static_cast<void>(*inaccessiblePage()); }).join();
                 return true;
             });
         }},
        {"WriterThreadAfterTheWriter",
         [] {
             guarded([](int) { return true; });
             static_cast<void>(*inaccessiblePage());
         }},
        {"SignalSentToTheWriterThread", // not a fault of the writer's code
         [] {
             guarded([](int) {
                 platform::linux_impl::sendSignalToThread(platform::linux_impl::currentThreadId(),
                                                          SIGSEGV);
                 return true;
             });
         }},
    };
    for (const auto &[name, faultElsewhere] : places) {
        const auto run = [faultElsewhere = faultElsewhere] {
            struct sigaction action {
            };
            sigemptyset(&action.sa_mask);
            action.sa_sigaction = &hostHandler;
            action.sa_flags = SA_SIGINFO;
            sigaction(SIGSEGV, &action, nullptr);
            faultElsewhere();
            std::fputs("the fault was swallowed\n", stderr);
            std::exit(0);
        };
        EXPECT_EXIT(run(), testing::ExitedWithCode(42), "host handler saw the fault") << name;
    }
}

} // namespace
