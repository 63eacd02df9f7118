// A stress run of the dump writer: 100 dumps of this process while another thread allocates
// as fast as it can. The writer must not need a lock (the allocator's above all) that a
// stopped thread may hold: every dump must be written, and none may last until the parked
// thread's handler gives up (ten seconds). Then how long a dump of 10 and of 300 threads
// takes, in process (signals) and through the capture helper (ptrace).
//
//   build-dir/bench/minidump/dump_stress_bench
#include "platform/linux/capture_helper/capture_client_linux.h"
#include "platform/process_dump.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

void DumpWhileAThreadAllocates(benchmark::State &state)
{
    char directory[] = "/tmp/keelanr-dump-stress-XXXXXX";
    if (!mkdtemp(directory)) {
        state.SkipWithError("no temporary directory");
        return;
    }
    const std::string path = std::string(directory) + "/stress.dmp";

    std::atomic<bool> stop{false};
    std::thread allocator([&] {
        // Allocations of assorted sizes, each freed at once or a little later.
        std::vector<void *> held(64, nullptr);
        for (unsigned i = 0; !stop.load(std::memory_order_relaxed); ++i) {
            std::free(held[i % held.size()]);
            held[i % held.size()] = std::malloc(16 + (i * 7919) % 8192);
        }
        for (void *block : held)
            std::free(block);
    });

    int failed = 0;
    double slowestMs = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        failed += fd < 0 || platform::writeProcessDump(fd) != platform::DumpOutcome::Written;
        if (fd >= 0)
            close(fd);
        slowestMs = std::max(slowestMs, std::chrono::duration<double, std::milli>(
                                            std::chrono::steady_clock::now() - start)
                                            .count());
    }
    stop = true;
    allocator.join();

    char signature[4] = {};
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const bool isDump =
        fd >= 0 && read(fd, signature, 4) == 4 && std::string(signature, 4) == "MDMP";
    if (fd >= 0)
        close(fd);
    unlink(path.c_str());
    rmdir(directory);

    state.counters["failed_dumps"] = failed;
    state.counters["slowest_ms"] = slowestMs;
    if (failed != 0 || !isDump)
        state.SkipWithError("a dump was not written");
    else if (slowestMs >= 5000)
        state.SkipWithError("a dump waited for a stopped thread");
}

// range(0): threads in the process; range(1): 0 = in process, 1 = through the helper.
void DumpOfThreads(benchmark::State &state)
{
    platform::linux_impl::setCaptureHelperPathForTesting(
        state.range(1) != 0 ? KEELANR_CAPTURE_HELPER : "");
    char directory[] = "/tmp/keelanr-dump-threads-XXXXXX";
    int wake[2];
    if (!mkdtemp(directory) || pipe(wake) != 0) {
        state.SkipWithError("no temporary directory or pipe");
        return;
    }
    const std::string path = std::string(directory) + "/threads.dmp";
    // Threads waiting in read(), as most threads of an application wait somewhere.
    std::vector<std::thread> waiting;
    for (std::int64_t i = 1; i < state.range(0); ++i) {
        waiting.emplace_back([&] {
            char byte;
            benchmark::DoNotOptimize(read(wake[0], &byte, 1));
        });
    }
    std::vector<double> milliseconds;
    double longestStopMs = 0; // through the helper
    int failed = 0;
    for (auto _ : state) {
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const auto start = std::chrono::steady_clock::now();
        failed += fd < 0 || platform::writeProcessDump(fd) != platform::DumpOutcome::Written;
        milliseconds.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
        if (fd >= 0)
            close(fd);
        longestStopMs = std::max(
            longestStopMs, platform::linux_impl::longestStopInLastHelperDumpNsForTesting() / 1e6);
    }
    for (std::size_t i = 0; i < waiting.size(); ++i)
        benchmark::DoNotOptimize(write(wake[1], "x", 1));
    for (std::thread &thread : waiting)
        thread.join();
    close(wake[0]);
    close(wake[1]);
    unlink(path.c_str());
    rmdir(directory);
    std::sort(milliseconds.begin(), milliseconds.end());
    state.counters["median_ms"] = milliseconds[milliseconds.size() / 2];
    state.counters["slowest_ms"] = milliseconds.back();
    state.counters["failed_dumps"] = failed;
    if (state.range(1) != 0)
        state.counters["longest_thread_stop_ms"] = longestStopMs;
    platform::linux_impl::setCaptureHelperPathForTesting(nullptr);
}

BENCHMARK(DumpWhileAThreadAllocates)->Iterations(100)->Unit(benchmark::kMillisecond);
BENCHMARK(DumpOfThreads)
    ->ArgNames({"threads", "helper"})
    ->ArgsProduct({{10, 300}, {0, 1}})
    ->Iterations(20)
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
