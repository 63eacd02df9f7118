// A thread for sampling tests: runs a body, publishes its kernel thread id before the body
// starts, and is joined when the object goes away.
#pragma once

#include "platform/linux/signal_support_linux.h"

#include <chrono>
#include <functional>
#include <future>
#include <thread>

namespace sampling_test
{

class TestThread
{
public:
    explicit TestThread(std::function<void()> body)
        : thread_([this, body = std::move(body)] {
              tidPromise_.set_value(platform::linux_impl::currentThreadId());
              body();
          })
    {
        tid_ = tidPromise_.get_future().get();
    }
    ~TestThread() { join(); }
    TestThread(const TestThread &) = delete;
    TestThread &operator=(const TestThread &) = delete;

    pid_t tid() const { return tid_; }
    void join()
    {
        if (thread_.joinable())
            thread_.join();
    }

private:
    std::promise<pid_t> tidPromise_;
    pid_t tid_ = 0;
    std::thread thread_;
};

// Runs `action` when the scope ends, also when an assertion leaves it early. Declared after a
// TestThread, it releases the thread before the thread is joined.
template <typename Action>
class AtScopeExit
{
public:
    explicit AtScopeExit(Action action) : action_(std::move(action)) {}
    ~AtScopeExit() { action_(); }
    AtScopeExit(const AtScopeExit &) = delete;
    AtScopeExit &operator=(const AtScopeExit &) = delete;

private:
    Action action_;
};

// The only time limit tests use: a safety net for waits that end on a condition.
constexpr std::chrono::seconds kSafetyNet{30};

// Polls `condition` until it holds or kSafetyNet passes; the last result.
template <typename Condition>
bool eventually(Condition condition)
{
    const auto deadline = std::chrono::steady_clock::now() + kSafetyNet;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::yield();
    }
    return true;
}

} // namespace sampling_test
