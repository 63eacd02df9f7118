// Which signals a handler may take as this process's own requests.
#include "platform/linux/signal_support_linux.h"

#include <gtest/gtest.h>

#include <csignal>
#include <unistd.h>

namespace
{

TEST(SentByThisProcess, OnlyATgkillFromOurOwnPid)
{
    const struct {
        int code;
        pid_t pid;
        bool ours;
    } cases[] = {
        {SI_TKILL, getpid(), true},
        {SI_TKILL, getpid() + 1, false}, // tgkill from another process
        {SI_USER, getpid(), false},      // kill(), which any process may send
        {SI_QUEUE, getpid(), false},
    };
    for (const auto &c : cases) {
        siginfo_t info{};
        info.si_code = c.code;
        info.si_pid = c.pid;
        EXPECT_EQ(c.ours, platform::linux_impl::sentByThisProcess(&info)) << c.code;
    }
    EXPECT_FALSE(platform::linux_impl::sentByThisProcess(nullptr));
}

} // namespace
