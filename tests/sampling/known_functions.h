// Functions that sampled test threads block or spin in, each alone in its own code section so
// that a test knows its exact address range.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

namespace sampling_test
{

struct CodeRange {
    std::uintptr_t begin = 0;
    std::uintptr_t end = 0;
    bool contains(std::uint64_t pc) const { return pc >= begin && pc < end; }
};

// Sleeps with std::this_thread::sleep_for. Returns how long the sleep really took.
std::chrono::steady_clock::duration sleepFor(std::chrono::milliseconds duration);
CodeRange sleepForRange();

// Reads one byte from `fd`; returns read()'s result and sets `errorNumber` to errno.
long readOneByte(int fd, char *byte, int *errorNumber);
CodeRange readOneByteRange();

// Locks `mutex` (which another thread holds) and unlocks it again.
void lockAndUnlock(std::mutex &mutex);
CodeRange lockAndUnlockRange();

// Spins until `stop` is set, counting laps in `laps`.
void spinUntil(const std::atomic<bool> &stop, std::atomic<long> &laps);
CodeRange spinUntilRange();

// A door that threads wait at until it is opened. Waiting naps in short sleeps rather than on
// a condition variable: ThreadSanitizer runs a signal's handler at once for a thread in
// nanosleep, but holds it back from one waiting on a condition variable until the wait ends.
class Gate
{
public:
    void open() { open_ = true; }
    // Waits in the known function waitAtGate until the gate is open.
    void wait();

private:
    std::atomic<bool> open_{false};
};
CodeRange waitAtGateRange();

// Recurses `depth` frames deep, then waits at `gate`.
void recurseThenWait(int depth, Gate &gate);
CodeRange recurseThenWaitRange();

// Until `stop` is set: recurses to a depth that changes every lap and spins there briefly.
void wanderUntil(const std::atomic<bool> &stop, std::atomic<long> &laps);

} // namespace sampling_test
