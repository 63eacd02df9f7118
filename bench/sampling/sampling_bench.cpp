// Cost of one stack sample: how long the sampled thread is kept from its own work (its
// signal handler's run, timed inside the handler) and how long the requester waits for the
// answer, for a thread blocked deep in a call chain and for one spinning there, walking 5 and
// 31 frames. Then a stress run: 10,000 samples of a thread that allocates as fast as it can
// must all succeed, and the thread must keep going (a walk needing the allocator's lock
// would hang it).
//
//   build/bench/sampling/sampling_bench
#include "platform/linux/sampling/thread_sampler_linux.h"
#include "platform/linux/signal_support_linux.h"
#include "platform/stack_sampler.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <memory>
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

double percentile(std::vector<double> values, double fraction)
{
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(fraction * (values.size() - 1))];
}

// range(0): frames walked; range(1): 0 = target blocked in read(), 1 = target spinning.
void SampleThread(benchmark::State &state)
{
    if (!platform::loadStackSampler()) {
        state.SkipWithError("libunwind could not be loaded");
        return;
    }
    const auto frames = static_cast<std::size_t>(state.range(0));
    const bool spinning = state.range(1) != 0;

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
        const std::size_t walked = linux_impl::sampleThreadStack(targetTid, pcs, frames, &timing);
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

void SampleAllocatingThread(benchmark::State &state)
{
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
    ->ArgNames({"frames", "spinning"})
    ->ArgsProduct({{5, 31}, {0, 1}})
    ->Iterations(3000)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(SampleAllocatingThread)->Iterations(10'000)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
