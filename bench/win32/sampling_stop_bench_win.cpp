// How long one stack sample stops the sampled thread, seen from that thread: a thread spins
// under 24 frames of recursion reading the performance counter, and the largest gap between
// two of its reads while a sample is taken is the time it stood still (plus any time the
// scheduler took it away, so run it on a machine that is otherwise idle). Also reports how
// long the whole sampleThread call took.
//
// Usage: sampling_stop_bench_win.exe [samples, default 2000] [--sym-initialize]
// --sym-initialize registers the process with dbghelp's symbol handler first, for samplers
// that walk only after it.
#include "platform/stack_sampler.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace
{

long long counterNow()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

struct Spinner {
    std::atomic<bool> stop{false};
    std::atomic<long long> largestGap{0};
    std::atomic<long> turns{0};
    std::atomic<std::intptr_t> handle{0};
};

__attribute__((noinline)) void spin(Spinner &spinner, int depth)
{
    if (depth > 0) {
        spin(spinner, depth - 1);
        asm volatile("" ::: "memory"); // a real frame, not a tail call
        return;
    }
    long long last = counterNow();
    while (!spinner.stop.load(std::memory_order_relaxed)) {
        const long long now = counterNow();
        if (now - last > spinner.largestGap.load(std::memory_order_relaxed))
            spinner.largestGap.store(now - last, std::memory_order_relaxed);
        last = now;
        spinner.turns.fetch_add(1, std::memory_order_relaxed);
    }
}

double percentile(std::vector<double> values, double fraction)
{
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1))];
}

} // namespace

int main(int argc, char **argv)
{
    int samples = 2000;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--sym-initialize") == 0) {
            using SymInitializeFunction = BOOL(WINAPI *)(HANDLE, PCSTR, BOOL);
            const auto symInitialize =
                reinterpret_cast<SymInitializeFunction>(reinterpret_cast<void (*)()>(
                    GetProcAddress(LoadLibraryA("dbghelp.dll"), "SymInitialize")));
            if (!symInitialize || !symInitialize(GetCurrentProcess(), nullptr, TRUE))
                return std::puts("SymInitialize failed"), 1;
        } else {
            samples = std::max(1, std::atoi(argv[i]));
        }
    }
    const platform::StackSampler *sampler = platform::loadStackSampler();
    if (!sampler)
        return std::puts("no stack sampler"), 1;

    Spinner spinner;
    std::thread target([&] {
        spinner.handle = platform::openCurrentThread().value;
        spin(spinner, 24);
    });
    while (!spinner.handle.load() || spinner.turns.load() == 0)
        std::this_thread::yield();
    const platform::ThreadHandle thread{spinner.handle.load()};

    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    const double usPerTick = 1e6 / static_cast<double>(frequency.QuadPart);
    std::vector<double> stoppedUs;
    std::vector<double> callUs;
    std::size_t frames = 0;
    int empty = 0;
    for (int i = 0; i < samples; ++i) {
        spinner.largestGap.store(0);
        const long turnsBefore = spinner.turns.load();
        const long long start = counterNow();
        const platform::StackSample sample = platform::sampleThread(*sampler, thread);
        callUs.push_back(static_cast<double>(counterNow() - start) * usPerTick);
        // Two more turns: the spinner has read the counter after it ran again.
        while (spinner.turns.load() < turnsBefore + 2)
            std::this_thread::yield();
        stoppedUs.push_back(static_cast<double>(spinner.largestGap.load()) * usPerTick);
        frames = std::max(frames, sample.size());
        empty += sample.empty();
    }
    spinner.stop = true;
    target.join();

    std::printf("%d samples, %d empty, up to %zu frames\n", samples, empty, frames);
    std::printf("thread stopped per sample: median %.0f us, p99 %.0f us, max %.0f us\n",
                percentile(stoppedUs, 0.5), percentile(stoppedUs, 0.99),
                percentile(stoppedUs, 1.0));
    std::printf("sampleThread call: median %.0f us, p99 %.0f us\n", percentile(callUs, 0.5),
                percentile(callUs, 0.99));
    return 0;
}
