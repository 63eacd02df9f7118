// Helpers for tests that dump this very process.
#pragma once

#include "minidump/minidump_reader.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace dumptest
{

// Only a safety net: every wait normally ends within milliseconds.
constexpr std::chrono::seconds kSafetyTimeout{30};

// A thread that sits idle until asked to run something.
class WorkerThread
{
public:
    WorkerThread();
    ~WorkerThread();
    WorkerThread(const WorkerThread &) = delete;
    WorkerThread &operator=(const WorkerThread &) = delete;

    pid_t threadId() const { return threadId_; }
    // Runs `task` on the worker; false when it has not finished within `timeout`.
    bool run(std::function<void()> task, std::chrono::milliseconds timeout = kSafetyTimeout);

private:
    void loop();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::function<void()> task_;
    bool taskDone_ = true;
    bool stop_ = false;
    pid_t threadId_ = 0;
    std::thread thread_;
};

// Blocks (or unblocks) every signal on the calling thread.
void blockAllSignals(bool block = true);

struct DumpResult {
    bool written = false;
    std::vector<pid_t> threadsAtDump; // listed by the dumping thread just before writing
    pid_t dumper = 0;
};

// Writes a dump into `path` on a thread of its own, as the watchdog would.
DumpResult dumpFromAnotherThread(const std::string &path);

// The dump at `path`, parsed; fails the test if it is invalid.
minidump_test::Minidump loadDump(const std::string &path);

// The GNU build id of the ELF file at `path`, as `readelf -n` reports it.
std::vector<std::uint8_t> buildIdFromReadelf(const std::string &path);

} // namespace dumptest
