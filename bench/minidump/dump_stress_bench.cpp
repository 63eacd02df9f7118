// A stress run of the dump writer: 100 dumps of this process while another thread allocates
// as fast as it can. The writer must not need a lock (the allocator's above all) that a
// stopped thread may hold: every dump must be written, and none may last until the parked
// thread's handler gives up (ten seconds).
//
//   build-dir/bench/minidump/dump_stress_bench
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

BENCHMARK(DumpWhileAThreadAllocates)->Iterations(100)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
