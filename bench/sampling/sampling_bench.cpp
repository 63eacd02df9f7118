// Cost of one stack sample, taken in process (signal) or by the capture helper (ptrace): how
// long the sampled thread is kept from its own work (its signal handler's run, or its ptrace
// stop) and how long the requester waits for the answer, for a thread blocked deep in a call
// chain and for one spinning there, walking 5 and 31 frames. How many system calls of a
// thread looping in nanosleep and poll 200 samples cut short (EINTR), by either path. The
// helper's CPU time and memory at rest. Then a stress run: 10,000 samples of a thread that
// allocates as fast as it can must all succeed, and the thread must keep going (a walk
// needing the allocator's lock would hang it).
//
//   build/bench/sampling/sampling_bench
#include "platform/linux/capture/proc_files_linux.h"
#include "platform/linux/capture_helper/capture_client_linux.h"
#include "platform/linux/sampling/thread_sampler_linux.h"
#include "platform/linux/signal_support_linux.h"
#include "platform/stack_sampler.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <future>
#include <memory>
#include <poll.h>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

namespace linux_impl = platform::linux_impl;

constexpr int kCallDepth = 40; // deeper than any walk, so every walk is full length

__attribute__((noinline)) void runAtDepth(int depth, const std::function<void()> &leaf)
{
    if (depth > 0) {
        runAtDepth(depth - 1, leaf);
        asm volatile("" ::: "memory");
        return;
    }
    leaf();
}

constexpr char kHelper[] = KEELANR_CAPTURE_HELPER;

// range `path`: 0 = in process (the helper made missing), 1 = through the helper.
void choosePath(std::int64_t path)
{
    linux_impl::setCaptureHelperPathForTesting(path != 0 ? kHelper : "");
}

double percentile(std::vector<double> values, double fraction)
{
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(fraction * (values.size() - 1))];
}

// range(0): frames walked; range(1): 0 = target blocked in read(), 1 = target spinning;
// range(2): the path.
void SampleThread(benchmark::State &state)
{
    if (!platform::loadStackSampler()) {
        state.SkipWithError("libunwind could not be loaded");
        return;
    }
    const auto frames = static_cast<std::size_t>(state.range(0));
    const bool spinning = state.range(1) != 0;
    const bool throughHelper = state.range(2) != 0;
    choosePath(state.range(2));

    int wake[2];
    if (pipe(wake) != 0) {
        state.SkipWithError("pipe");
        return;
    }
    std::atomic<bool> stop{false};
    std::promise<pid_t> tid;
    std::thread target([&] {
        tid.set_value(linux_impl::currentThreadId());
        runAtDepth(kCallDepth, [&] {
            if (spinning) {
                while (!stop.load(std::memory_order_relaxed)) {
                }
            } else {
                char byte;
                benchmark::DoNotOptimize(read(wake[0], &byte, 1));
            }
        });
    });
    const pid_t targetTid = tid.get_future().get();

    std::vector<double> stolenUs;
    std::vector<double> roundTripUs;
    std::uint64_t pcs[platform::kMaxStackFrames];
    for (auto _ : state) {
        linux_impl::SampleTiming timing;
        const std::int64_t requestNs = linux_impl::monotonicNowNs();
        const std::size_t walked =
            throughHelper
                ? linux_impl::sampleThroughHelper(targetTid, pcs, frames, &timing).value_or(0)
                : linux_impl::sampleThreadStack(targetTid, pcs, frames, &timing);
        const std::int64_t answerNs = linux_impl::monotonicNowNs();
        if (walked != frames) {
            // The first samples come before the target has reached its depth.
            continue;
        }
        stolenUs.push_back((timing.handlerExitNs - timing.handlerEntryNs) / 1e3);
        roundTripUs.push_back((answerNs - requestNs) / 1e3);
    }
    stop = true;
    char byte = 'x';
    benchmark::DoNotOptimize(write(wake[1], &byte, 1));
    target.join();
    close(wake[0]);
    close(wake[1]);

    if (stolenUs.size() < 1000) {
        state.SkipWithError("fewer than 1000 full-depth samples");
        return;
    }
    state.counters["full_samples"] = static_cast<double>(stolenUs.size());
    state.counters["stolen_median_us"] = percentile(stolenUs, 0.5);
    state.counters["stolen_p99_us"] = percentile(stolenUs, 0.99);
    state.counters["round_trip_median_us"] = percentile(roundTripUs, 0.5);
    state.counters["round_trip_p99_us"] = percentile(roundTripUs, 0.99);
}

__attribute__((noinline)) void sleepInCalls(const std::atomic<bool> &stop,
                                            std::atomic<int> &interrupted)
{
    while (!stop.load()) {
        const timespec nap{0, 200'000};
        if (nanosleep(&nap, nullptr) != 0 && errno == EINTR)
            interrupted.fetch_add(1);
        if (poll(nullptr, 0, 1) < 0 && errno == EINTR)
            interrupted.fetch_add(1);
    }
}

// range(0): the path. Counts the EINTR returns of a thread's nanosleep and poll calls.
void InterruptedCallsOfASampledThread(benchmark::State &state)
{
    const platform::StackSampler *sampler = platform::loadStackSampler();
    if (!sampler) {
        state.SkipWithError("libunwind could not be loaded");
        return;
    }
    choosePath(state.range(0));
    std::atomic<bool> stop{false};
    std::atomic<int> interrupted{0};
    std::promise<pid_t> tid;
    std::thread target([&] {
        tid.set_value(linux_impl::currentThreadId());
        sleepInCalls(stop, interrupted);
    });
    const platform::ThreadHandle thread{tid.get_future().get()};
    long empty = 0;
    for (auto _ : state)
        empty += platform::sampleThread(*sampler, thread).empty();
    stop = true;
    target.join();
    state.counters["eintr"] = interrupted.load();
    state.counters["empty_samples"] = static_cast<double>(empty);
}

// The helper after one sample, left alone for a second: its CPU time and resident memory.
void HelperAtRest(benchmark::State &state)
{
    choosePath(1);
    std::uint64_t pcs[platform::kMaxStackFrames];
    if (!linux_impl::sampleThroughHelper(linux_impl::currentThreadId(), pcs, 1, nullptr)) {
        state.SkipWithError("no helper");
        return;
    }
    const std::string proc = "/proc/" + std::to_string(linux_impl::captureHelperPidForTesting());
    const auto cpuTicks = [&] {
        std::istringstream stat(linux_impl::readWholeFile((proc + "/stat").c_str()).value_or(""));
        std::string field;
        long long ticks = 0;
        for (int i = 1; stat >> field && i <= 15; ++i) {
            if (i >= 14)
                ticks += std::atoll(field.c_str()); // utime, stime
        }
        return ticks;
    };
    for (auto _ : state) {
        const long long before = cpuTicks();
        std::this_thread::sleep_for(std::chrono::seconds(1));
        state.counters["cpu_ticks_per_s"] = static_cast<double>(cpuTicks() - before);
    }
    const std::string status = linux_impl::readWholeFile((proc + "/status").c_str()).value_or("");
    const std::size_t rss = status.find("VmRSS:");
    state.counters["rss_kib"] = rss == std::string::npos ? -1 : std::atof(status.c_str() + rss + 6);
}

void SampleAllocatingThread(benchmark::State &state)
{
    choosePath(0);
    const platform::StackSampler *sampler = platform::loadStackSampler();
    if (!sampler) {
        state.SkipWithError("libunwind could not be loaded");
        return;
    }
    std::atomic<bool> stop{false};
    std::atomic<long> rounds{0};
    std::promise<pid_t> tid;
    std::thread target([&] {
        tid.set_value(linux_impl::currentThreadId());
        while (!stop.load(std::memory_order_relaxed)) {
            std::vector<std::unique_ptr<char[]>> blocks;
            for (std::size_t size = 16; size < 64 * 1024; size *= 2)
                blocks.emplace_back(new char[size]);
            rounds.fetch_add(1, std::memory_order_relaxed);
        }
    });
    const platform::ThreadHandle thread{tid.get_future().get()};

    long empty = 0;
    for (auto _ : state)
        empty += platform::sampleThread(*sampler, thread).empty();
    const long roundsAfterSampling = rounds.load();
    const std::int64_t deadlineNs = linux_impl::monotonicNowNs() + 10'000'000'000;
    while (rounds.load() == roundsAfterSampling && linux_impl::monotonicNowNs() < deadlineNs)
        std::this_thread::yield();
    const bool progressed = rounds.load() > roundsAfterSampling;
    stop = true;
    target.join();

    state.counters["empty_samples"] = static_cast<double>(empty);
    if (empty != 0)
        state.SkipWithError("some samples of the allocating thread were empty");
    else if (!progressed)
        state.SkipWithError("the allocating thread stopped making progress");
}

BENCHMARK(SampleThread)
    ->ArgNames({"frames", "spinning", "helper"})
    ->ArgsProduct({{5, 31}, {0, 1}, {0, 1}})
    ->Iterations(3000)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(InterruptedCallsOfASampledThread)->ArgName("helper")->Arg(0)->Arg(1)->Iterations(200);
BENCHMARK(HelperAtRest)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(SampleAllocatingThread)->Iterations(10'000)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
