// A minidump of a ten-thread Qt process written by the module, next to `gcore` (gdb's core
// file of the same process, what a Linux user would reach for otherwise): time, file size and
// how long the GUI thread stopped, then the ratios in one table.
//
//   build-dir/bench/minidump/dump_vs_gcore_bench [--benchmark_filter=...]
//
// The process is this program: a QGuiApplication whose GUI thread spins, reading the clock,
// with eight idle QThreads and the benchmark thread. The longest gap between two clock reads
// of the GUI thread while a dump is written is how long that dump stopped it.
#include "detector/anr_collector.h"

#include <QGuiApplication>
#include <QTemporaryDir>
#include <QThread>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;

constexpr int kIdleQtThreads = 8;
constexpr double kTargetDumpMs = 50;
constexpr double kTargetDumpBytes = 4 * 1024 * 1024;
constexpr double kTargetGuiStopMs = 20;
constexpr double kTargetRatio = 10;

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
};

std::vector<Sample> minidumpSamples;
std::vector<Sample> gcoreSamples;

long long fileSize(const std::string &path)
{
    struct stat status {
    };
    return stat(path.c_str(), &status) == 0 ? status.st_size : -1;
}

// Times `write`, which leaves one file (returned) that is measured and deleted.
template <typename Write>
bool measure(benchmark::State &state, std::vector<Sample> &samples, Write write)
{
    longestGapNs = 0;
    measuring = true;
    const auto start = Clock::now();
    const std::string path = write();
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    measuring = false;
    const long long bytes = path.empty() ? -1 : fileSize(path);
    if (bytes < 0) {
        state.SkipWithError("no file was written");
        return false;
    }
    unlink(path.c_str());
    samples.push_back({ms, double(bytes), longestGapNs.load() / 1e6});
    state.SetIterationTime(ms / 1e3);
    state.counters["bytes"] = double(bytes);
    state.counters["gui_stop_ms"] = samples.back().guiStopMs;
    return true;
}

void BM_KeelMinidump(benchmark::State &state)
{
    QTemporaryDir cache;
    auto collector = ANRCollector::createWithoutWatchdogForTesting();
    collector->cacheDir = cache.path();
    collector->writeMiniDump(); // loads the debugging support once, outside the timing
    for (auto _ : state) {
        if (!measure(state, minidumpSamples, [&] { return collector->writeMiniDump(); }))
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
        const bool ran = measure(state, gcoreSamples, [&] {
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
    if (minidumpSamples.empty() || gcoreSamples.empty()) {
        std::printf("\nno comparison: a benchmark did not run\n");
        return;
    }
    const double ms = median(minidumpSamples, &Sample::ms);
    const double bytes = median(minidumpSamples, &Sample::bytes);
    const double stop = median(minidumpSamples, &Sample::guiStopMs);
    const double gcoreMs = median(gcoreSamples, &Sample::ms);
    const double gcoreBytes = median(gcoreSamples, &Sample::bytes);
    const double gcoreStop = median(gcoreSamples, &Sample::guiStopMs);

    std::printf("\nmedians, %d threads        time ms    size KiB   GUI stopped ms\n",
                kIdleQtThreads + 2);
    std::printf("keelANR minidump     %12.2f %12.1f %12.2f   (max time %.2f, max stop %.2f)\n", ms,
                bytes / 1024, stop, maximum(minidumpSamples, &Sample::ms),
                maximum(minidumpSamples, &Sample::guiStopMs));
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

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    // gcore attaches to this process; under Yama's ptrace_scope 1 only a permitted tracer may.
    prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY);

    std::vector<std::unique_ptr<QThread>> threads;
    for (int i = 0; i < kIdleQtThreads; ++i) {
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
