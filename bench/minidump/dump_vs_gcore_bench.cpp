// A minidump of a ten-thread Qt process written by the module, next to `gcore` (gdb's core
// file of the same process, what a Linux user would reach for otherwise): time, file size,
// how long the GUI thread stopped and the dump's peak memory, then the ratios in one table.
//
//   build-dir/bench/minidump/dump_vs_gcore_bench [--threads=N] [--benchmark_filter=...]
//
// The process is this program: a QGuiApplication whose GUI thread spins, reading the clock,
// with idle QThreads and the benchmark thread, N threads in all (10 by default). The longest
// gap between two clock reads of the GUI thread while a dump is written is how long that dump
// stopped it.
//
// Peak memory beyond the stacks copied into the dump (which must all be held at once, in the
// capture's arena, until they are written): this program counts the bytes live through
// operator new (malloc_usable_size of each block) and their high-water mark; a dump's heap
// peak is that mark less the bytes live before it. The arena is mmap'd, not heap: besides the
// stacks it holds one slot per thread, counted as threads * sizeof(ThreadSlot). Blocks the C
// library takes with malloc for itself (opendir's buffer) are not counted. The kernel's
// VmHWM is no help here: it sums its per-CPU resident counts lazily and was off by hundreds
// of KiB for a single dump.
#include "cache/cache.h"
#include "detector/anr_collector.h"
#include "platform/linux/capture/thread_freezer_linux.h"

#include <QGuiApplication>
#include <QTemporaryDir>
#include <QThread>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <malloc.h>
#include <memory>
#include <new>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;

std::atomic<long long> heapLive{0};
std::atomic<long long> heapPeak{0};

void countAllocation(void *block)
{
    const long long live = heapLive.fetch_add(static_cast<long long>(malloc_usable_size(block))) +
                           static_cast<long long>(malloc_usable_size(block));
    for (long long peak = heapPeak.load();
         live > peak && !heapPeak.compare_exchange_weak(peak, live);) {
    }
}

int threadCount = 10; // the GUI thread, the benchmark thread and idle QThreads
constexpr double kTargetDumpMs = 50;
constexpr double kTargetDumpBytes = 4 * 1024 * 1024;
constexpr double kTargetGuiStopMs = 20;
constexpr double kTargetRatio = 10;
constexpr double kTargetBeyondStacksBytes = 1024 * 1024;

// The GUI thread's heartbeat: the longest gap seen while `measuring` is set.
std::atomic<bool> measuring{false};
std::atomic<long long> longestGapNs{0};
std::atomic<bool> finished{false};

__attribute__((noinline)) void keelBenchGuiThreadBusy()
{
    auto last = Clock::now();
    while (!finished.load(std::memory_order_relaxed)) {
        const auto now = Clock::now();
        const long long gap =
            std::chrono::duration_cast<std::chrono::nanoseconds>(now - last).count();
        last = now;
        if (measuring.load(std::memory_order_relaxed) &&
            gap > longestGapNs.load(std::memory_order_relaxed))
            longestGapNs.store(gap, std::memory_order_relaxed);
    }
}

struct Sample {
    double ms;
    double bytes;
    double guiStopMs;
    double heapPeakBytes = 0;     // heap live at once while dumping, beyond what was before
    double beyondStacksBytes = 0; // heapPeakBytes and the arena's thread slots
};

std::vector<Sample> minidumpSamples;
std::vector<Sample> gcoreSamples;

long long fileSize(const std::string &path)
{
    struct stat status {
    };
    return stat(path.c_str(), &status) == 0 ? status.st_size : -1;
}

// Times `write`, which leaves one file (returned) that is measured and deleted. With
// `inProcess`, the peak memory of the write is measured too.
template <typename Write>
bool measure(benchmark::State &state, std::vector<Sample> &samples, bool inProcess, Write write)
{
    const long long heapBefore = heapLive.load();
    heapPeak = heapBefore;
    longestGapNs = 0;
    measuring = true;
    const auto start = Clock::now();
    const std::string path = write();
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    measuring = false;
    const double heapPeakBytes = double(heapPeak.load() - heapBefore);
    const long long bytes = path.empty() ? -1 : fileSize(path);
    if (bytes < 0) {
        state.SkipWithError("no file was written");
        return false;
    }
    Sample sample{ms, double(bytes), longestGapNs.load() / 1e6};
    if (inProcess) {
        sample.heapPeakBytes = heapPeakBytes;
        sample.beyondStacksBytes =
            heapPeakBytes + double(threadCount) * sizeof(platform::linux_impl::ThreadSlot);
        state.counters["heap_peak_kib"] = sample.heapPeakBytes / 1024;
        state.counters["beyond_stacks_kib"] = sample.beyondStacksBytes / 1024;
    }
    unlink(path.c_str());
    samples.push_back(sample);
    state.SetIterationTime(ms / 1e3);
    state.counters["bytes"] = double(bytes);
    state.counters["gui_stop_ms"] = samples.back().guiStopMs;
    return true;
}

void BM_KeelMinidump(benchmark::State &state)
{
    QTemporaryDir cache;
    auto collector = ANRCollector::createWithoutWatchdogForTesting();
    const auto dumps = cache::Cache::open(cache.path().toStdString());
    collector->watchMainThread({}, dumps.get());
    collector->writeMiniDump(); // loads the debugging support once, outside the timing
    for (auto _ : state) {
        if (!measure(state, minidumpSamples, true, [&] { return collector->writeMiniDump(); }))
            return;
    }
}
BENCHMARK(BM_KeelMinidump)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(50);

void BM_Gcore(benchmark::State &state)
{
    QTemporaryDir cache;
    const std::string prefix = cache.filePath("core").toStdString();
    const std::string command =
        "gcore -o '" + prefix + "' " + std::to_string(getpid()) + " >/dev/null 2>&1";
    for (auto _ : state) {
        const bool ran = measure(state, gcoreSamples, false, [&] {
            return std::system(command.c_str()) == 0 ? prefix + "." + std::to_string(getpid())
                                                     : std::string();
        });
        if (!ran)
            return;
    }
}
BENCHMARK(BM_Gcore)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

double median(std::vector<Sample> samples, double Sample::*field)
{
    std::sort(samples.begin(), samples.end(),
              [field](const Sample &a, const Sample &b) { return a.*field < b.*field; });
    return samples[samples.size() / 2].*field;
}

double maximum(const std::vector<Sample> &samples, double Sample::*field)
{
    return (*std::max_element(
               samples.begin(), samples.end(),
               [field](const Sample &a, const Sample &b) { return a.*field < b.*field; })).*
           field;
}

const char *verdict(bool met)
{
    return met ? "met" : "MISSED";
}

void printComparison()
{
    if (minidumpSamples.empty()) {
        std::printf("\nno results: the minidump benchmark did not run\n");
        return;
    }
    const double ms = median(minidumpSamples, &Sample::ms);
    const double bytes = median(minidumpSamples, &Sample::bytes);
    const double stop = median(minidumpSamples, &Sample::guiStopMs);
    const double beyond = maximum(minidumpSamples, &Sample::beyondStacksBytes);

    std::printf("\nmedians, %d threads        time ms    size KiB   GUI stopped ms\n", threadCount);
    std::printf("keelANR minidump     %12.2f %12.1f %12.2f   (max time %.2f, max stop %.2f)\n", ms,
                bytes / 1024, stop, maximum(minidumpSamples, &Sample::ms),
                maximum(minidumpSamples, &Sample::guiStopMs));
    std::printf("peak memory of a dump beyond the stacks: heap median %.1f KiB, max %.1f KiB; "
                "with the arena's thread slots max %.1f KiB\n",
                median(minidumpSamples, &Sample::heapPeakBytes) / 1024,
                maximum(minidumpSamples, &Sample::heapPeakBytes) / 1024, beyond / 1024);
    std::printf("target: beyond the stacks <= 1024 KiB %s\n",
                verdict(beyond <= kTargetBeyondStacksBytes));
    if (gcoreSamples.empty()) {
        std::printf("no comparison: gcore did not run\n");
        return;
    }
    const double gcoreMs = median(gcoreSamples, &Sample::ms);
    const double gcoreBytes = median(gcoreSamples, &Sample::bytes);
    const double gcoreStop = median(gcoreSamples, &Sample::guiStopMs);
    std::printf("gcore                %12.2f %12.1f %12.2f\n", gcoreMs, gcoreBytes / 1024,
                gcoreStop);
    std::printf("gcore / minidump     %11.1fx %11.1fx %11.1fx\n", gcoreMs / ms, gcoreBytes / bytes,
                gcoreStop / stop);
    std::printf("\ntargets: time <= %.0f ms %s; size <= 4 MiB %s; GUI stop <= %.0f ms %s; "
                ">= %.0fx faster %s; >= %.0fx smaller %s\n",
                kTargetDumpMs, verdict(ms <= kTargetDumpMs), verdict(bytes <= kTargetDumpBytes),
                kTargetGuiStopMs, verdict(stop <= kTargetGuiStopMs), kTargetRatio,
                verdict(gcoreMs / ms >= kTargetRatio), kTargetRatio,
                verdict(gcoreBytes / bytes >= kTargetRatio));
}

// Takes "--threads=N" (at least 2) out of the arguments.
void takeThreadCount(int &argc, char **argv)
{
    constexpr char kOption[] = "--threads=";
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], kOption, sizeof kOption - 1) == 0)
            threadCount = std::max(2, std::atoi(argv[i] + sizeof kOption - 1));
        else
            argv[kept++] = argv[i];
    }
    argc = kept;
}

} // namespace

void *operator new(std::size_t size)
{
    void *block = std::malloc(size == 0 ? 1 : size);
    if (!block)
        throw std::bad_alloc();
    countAllocation(block);
    return block;
}

void operator delete(void *block) noexcept
{
    if (!block)
        return;
    heapLive -= static_cast<long long>(malloc_usable_size(block));
    std::free(block);
}

void operator delete(void *block, std::size_t) noexcept
{
    operator delete(block);
}

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    takeThreadCount(argc, argv);
    QGuiApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    // gcore attaches to this process; under Yama's ptrace_scope 1 only a permitted tracer may.
    prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY);

    std::vector<std::unique_ptr<QThread>> threads;
    for (int i = 0; i < threadCount - 2; ++i) {
        threads.push_back(std::make_unique<QThread>());
        threads.back()->start();
    }
    std::thread runner([] {
        benchmark::RunSpecifiedBenchmarks();
        finished = true;
    });
    keelBenchGuiThreadBusy();
    runner.join();
    for (auto &thread : threads) {
        thread->quit();
        thread->wait();
    }
    printComparison();
    return 0;
}
