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

// Recurses `depth` frames deep, then reads one byte from `fd`; returns the byte.
char recurseThenRead(int depth, int fd);
CodeRange recurseThenReadRange();

// Until `stop` is set: recurses to a depth that changes every lap and spins there briefly.
void wanderUntil(const std::atomic<bool> &stop, std::atomic<long> &laps);

} // namespace sampling_test
