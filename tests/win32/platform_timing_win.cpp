// Prints how long a stack sample of a parked thread and a MiniDumpWriteDump of this process
// take here. A measurement, not a test.
#include "parked_thread_win.h"
#include "platform/process_dump.h"
#include "platform/stack_sampler.h"
#include "test_files_win.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace
{

void report(const char *what, int runs, const std::function<void()> &operation)
{
    std::vector<double> times;
    for (int run = 0; run < runs; ++run) {
        LARGE_INTEGER start, end, frequency;
        QueryPerformanceCounter(&start);
        operation();
        QueryPerformanceCounter(&end);
        QueryPerformanceFrequency(&frequency);
        times.push_back(double(end.QuadPart - start.QuadPart) * 1000.0 /
                        double(frequency.QuadPart));
    }
    const double first = times.front();
    std::sort(times.begin(), times.end());
    std::printf("%-34s median %8.2f ms  min %8.2f  max %8.2f  first %8.2f  (%d runs)\n", what,
                times[times.size() / 2], times.front(), times.back(), first, runs);
}

} // namespace

int main()
{
    const platform::StackSampler *sampler = platform::loadStackSampler();
    if (!sampler || !platform::loadDumpWriter() || !registerProcessWithSymbolHandler()) {
        std::printf("dbghelp.dll could not be loaded or initialised\n");
        return 1;
    }
    for (const int depth : {5, 40}) {
        ParkedThread parked(depth);
        std::size_t frames = 0;
        report(depth == 5 ? "stack sample, 5 frames deep" : "stack sample, 31 of 40+ frames", 50,
               [&] { frames = platform::sampleThread(*sampler, parked.handle()).size(); });
        std::printf("%-34s %zu frames\n", "", frames);
    }

    TemporaryDirectory directory;
    int dump = 0;
    report("MiniDumpWriteDump, type 0", 5, [&] {
        const std::wstring path = directory / (std::to_wstring(++dump) + L".dmp");
        const platform::FileHandle file = platform::createDumpFile(path);
        platform::writeProcessDump(file);
        platform::closeDumpFile(file);
    });
    std::printf("%-34s %zu bytes\n", "", readFile(directory / L"1.dmp").size());
    return 0;
}
