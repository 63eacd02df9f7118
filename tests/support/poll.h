#pragma once

#include <chrono>
#include <thread>

namespace testsupport
{

// Bounds a wait that only a broken run reaches.
constexpr std::chrono::seconds kSafetyTimeout{60};

// Polls `condition` until it holds; false once `limit` (a safety net only) has passed first.
// Between polls the thread yields, or naps for `nap` where it must sit in a system call
// (ThreadSanitizer hands a signal at once only to a thread asleep).
template <typename Condition>
bool pollUntil(Condition condition, std::chrono::steady_clock::duration limit = kSafetyTimeout,
               std::chrono::milliseconds nap = std::chrono::milliseconds(0))
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        if (nap.count() > 0)
            std::this_thread::sleep_for(nap);
        else
            std::this_thread::yield();
    }
    return true;
}

} // namespace testsupport
