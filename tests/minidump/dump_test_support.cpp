#include "minidump/dump_test_support.h"

#include "platform/linux/capture/proc_files_linux.h"
#include "platform/linux/signal_support_linux.h"
#include "platform/process_dump.h"

#include <gtest/gtest.h>

#include <cctype>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace dumptest
{

WorkerThread::WorkerThread()
{
    std::unique_lock<std::mutex> lock(mutex_);
    thread_ = std::thread([this] { loop(); });
    wake_.wait(lock, [this] { return threadId_ != 0; });
}

WorkerThread::~WorkerThread()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

bool WorkerThread::run(std::function<void()> task, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex_);
    task_ = std::move(task);
    taskDone_ = false;
    wake_.notify_all();
    return wake_.wait_for(lock, timeout, [this] { return taskDone_; });
}

void WorkerThread::loop()
{
    std::unique_lock<std::mutex> lock(mutex_);
    threadId_ = platform::linux_impl::currentThreadId();
    wake_.notify_all();
    for (;;) {
        wake_.wait(lock, [this] { return stop_ || !taskDone_; });
        if (stop_)
            return;
        std::function<void()> task = std::move(task_);
        lock.unlock();
        task();
        lock.lock();
        taskDone_ = true;
        wake_.notify_all();
    }
}

void blockAllSignals(bool block)
{
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(block ? SIG_BLOCK : SIG_UNBLOCK, &all, nullptr);
}

DumpResult dumpFromAnotherThread(const std::string &path)
{
    DumpResult result;
    std::thread([&] {
        result.dumper = platform::linux_impl::currentThreadId();
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0)
            return;
        result.threadsAtDump = platform::linux_impl::listThreadIds();
        result.written = platform::writeProcessDump(fd) == platform::DumpOutcome::Written;
        close(fd);
    }).join();
    return result;
}

minidump_test::Minidump loadDump(const std::string &path)
{
    std::string error;
    std::optional<minidump_test::Minidump> dump = minidump_test::Minidump::load(path, error);
    EXPECT_TRUE(dump) << path << ": " << error;
    return dump ? *dump : minidump_test::Minidump();
}

std::vector<std::uint8_t> buildIdFromReadelf(const std::string &path)
{
    const std::string command = "readelf -n '" + path + "' 2>/dev/null";
    FILE *pipe = popen(command.c_str(), "r");
    std::string output;
    char chunk[4096];
    while (const std::size_t got = pipe ? std::fread(chunk, 1, sizeof chunk, pipe) : 0)
        output.append(chunk, got);
    if (pipe)
        pclose(pipe);
    const std::string label = "Build ID: ";
    const std::size_t at = output.find(label);
    if (at == std::string::npos)
        return {};
    std::vector<std::uint8_t> id;
    for (std::size_t i = at + label.size(); i + 1 < output.size() && std::isxdigit(output[i]);
         i += 2)
        id.push_back(static_cast<std::uint8_t>(std::stoi(output.substr(i, 2), nullptr, 16)));
    return id;
}

} // namespace dumptest
