#include "known_functions.h"

#include <thread>
#include <unistd.h>

// The linker defines __start_<section> and __stop_<section> around every section whose name
// is a C identifier.
#define SAMPLED_CODE(name) __attribute__((noinline, section(#name)))
#define SECTION_RANGE(name)                                                                        \
    extern "C" const char __start_##name[];                                                        \
    extern "C" const char __stop_##name[];                                                         \
    static CodeRange name##Range()                                                                 \
    {                                                                                              \
        return {reinterpret_cast<std::uintptr_t>(__start_##name),                                  \
                reinterpret_cast<std::uintptr_t>(__stop_##name)};                                  \
    }

namespace sampling_test
{

SECTION_RANGE(keel_sampled_sleep)
SECTION_RANGE(keel_sampled_read)
SECTION_RANGE(keel_sampled_mutex)
SECTION_RANGE(keel_sampled_spin)
SECTION_RANGE(keel_sampled_recursion)
SECTION_RANGE(keel_sampled_gate)

SAMPLED_CODE(keel_sampled_sleep)
std::chrono::steady_clock::duration sleepFor(std::chrono::milliseconds duration)
{
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(duration);
    return std::chrono::steady_clock::now() - start;
}
CodeRange sleepForRange()
{
    return keel_sampled_sleepRange();
}

SAMPLED_CODE(keel_sampled_read)
long readOneByte(int fd, char *byte, int *errorNumber)
{
    errno = 0;
    const long result = read(fd, byte, 1);
    *errorNumber = errno;
    return result;
}
CodeRange readOneByteRange()
{
    return keel_sampled_readRange();
}

SAMPLED_CODE(keel_sampled_mutex)
void lockAndUnlock(std::mutex &mutex)
{
    mutex.lock();
    mutex.unlock();
}
CodeRange lockAndUnlockRange()
{
    return keel_sampled_mutexRange();
}

SAMPLED_CODE(keel_sampled_spin)
void spinUntil(const std::atomic<bool> &stop, std::atomic<long> &laps)
{
    while (!stop.load(std::memory_order_relaxed))
        laps.fetch_add(1, std::memory_order_relaxed);
}
CodeRange spinUntilRange()
{
    return keel_sampled_spinRange();
}

namespace
{

SAMPLED_CODE(keel_sampled_gate)
void waitAtGate(const std::atomic<bool> &open)
{
    while (!open.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

} // namespace

void Gate::wait()
{
    waitAtGate(open_);
}
CodeRange waitAtGateRange()
{
    return keel_sampled_gateRange();
}

SAMPLED_CODE(keel_sampled_recursion)
void recurseThenWait(int depth, Gate &gate)
{
    if (depth <= 0) {
        gate.wait();
        return;
    }
    recurseThenWait(depth - 1, gate);
    // Keeps the recursive call from becoming a jump.
    asm volatile("" ::: "memory");
}
CodeRange recurseThenWaitRange()
{
    return keel_sampled_recursionRange();
}

namespace
{

SAMPLED_CODE(keel_sampled_spin)
void spinAtDepth(int depth, std::atomic<long> &laps)
{
    if (depth > 0) {
        spinAtDepth(depth - 1, laps);
        asm volatile("" ::: "memory");
        return;
    }
    for (int i = 0; i < 200; ++i)
        laps.fetch_add(1, std::memory_order_relaxed);
}

} // namespace

void wanderUntil(const std::atomic<bool> &stop, std::atomic<long> &laps)
{
    for (int lap = 0; !stop.load(std::memory_order_relaxed); ++lap)
        spinAtDepth(lap % 9, laps);
}

} // namespace sampling_test
