// Loading a run-time library once per process, safe to call from any thread.
#pragma once

#include <atomic>
#include <mutex>

namespace platform
{

// Holds what a load produced: a pointer to an object the load filled, never freed. A failed
// load (null) is tried again by the next call; a successful one is never repeated.
template <typename Loaded>
class LoadOnce
{
public:
    // Returns the loaded object, calling `load` (which returns `const Loaded *`) under the
    // lock while there is none yet. The pointer is published with release ordering after
    // `load` has filled the object, so a caller that sees it also sees the object's fields.
    template <typename Load>
    const Loaded *get(Load load)
    {
        if (const Loaded *loaded = loaded_.load(std::memory_order_acquire))
            return loaded;
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!loaded_.load(std::memory_order_relaxed))
            loaded_.store(load(), std::memory_order_release);
        return loaded_.load(std::memory_order_relaxed);
    }

private:
    std::atomic<const Loaded *> loaded_{nullptr};
    std::mutex mutex_;
};

} // namespace platform
