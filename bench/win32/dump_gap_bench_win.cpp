// How long a dump of this process takes and how long it holds its threads still: a thread
// ticks every millisecond and the largest gap between two of its ticks during the dump is
// the longest it stood still (plus the scheduler's share on a busy machine). Compares the
// helper (keelanr-capture.exe beside this program) with the in-process writer.
//
// Usage: dump_gap_bench_win.exe [--rounds N] [DLL ...]
// The DLLs (Qt's, say) are loaded first, so the process has the modules of a real host.
#include "platform/process_dump.h"
#include "platform/thread_handle.h"
#include "platform/win32/capture_helper_win.h"
#include "platform/win32/capture_protocol_win.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cwchar>
#include <string>
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

double millisecondsOf(long long ticks)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(ticks) / static_cast<double>(frequency.QuadPart);
}

struct Ticker {
    std::atomic<bool> stop{false};
    std::atomic<long long> largestGap{0};
};

struct Measurement {
    double dumpMs = 0;
    double largestGapMs = 0;
    bool written = false;
};

Measurement measureDump(Ticker &ticker, const std::wstring &path)
{
    DeleteFileW(path.c_str());
    const platform::FileHandle file = platform::createDumpFile(path);
    ticker.largestGap = 0;
    const long long start = counterNow();
    const bool written = platform::writeProcessDump(file) == platform::DumpOutcome::Written;
    Measurement measured{millisecondsOf(counterNow() - start), 0, written};
    Sleep(20); // a few more ticks, so a gap that ends after the dump is counted
    measured.largestGapMs = millisecondsOf(ticker.largestGap.load());
    platform::closeDumpFile(file);
    DeleteFileW(path.c_str());
    return measured;
}

void report(const char *name, const std::vector<Measurement> &rounds)
{
    double worstDump = 0;
    double worstGap = 0;
    int written = 0;
    for (const Measurement &m : rounds) {
        worstDump = std::max(worstDump, m.dumpMs);
        worstGap = std::max(worstGap, m.largestGapMs);
        written += m.written;
    }
    std::printf("%-22s %d/%zu written; dump time: first %.0f ms, worst %.0f ms; largest tick gap "
                "%.1f ms\n",
                name, written, rounds.size(), rounds.front().dumpMs, worstDump, worstGap);
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    int rounds = 3;
    int modules = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::wcscmp(argv[i], L"--rounds") == 0 && i + 1 < argc)
            rounds = std::max(1, _wtoi(argv[++i]));
        else
            modules += LoadLibraryW(argv[i]) != nullptr;
    }
    wchar_t self[MAX_PATH];
    const std::wstring program(self, GetModuleFileNameW(nullptr, self, MAX_PATH));
    const std::wstring folder = program.substr(0, program.find_last_of(L'\\') + 1);

    Ticker ticker;
    std::thread ticking([&] {
        platform::openCurrentThread(); // the watched thread, listed first
        long long last = counterNow();
        while (!ticker.stop.load()) {
            Sleep(1);
            const long long now = counterNow();
            if (now - last > ticker.largestGap.load())
                ticker.largestGap = now - last;
            last = now;
        }
    });
    Sleep(100);
    ticker.largestGap = 0;
    Sleep(1000);
    std::printf("%d extra modules loaded; largest tick gap in 1 s without dumps: %.1f ms\n",
                modules, millisecondsOf(ticker.largestGap.load()));

    const std::wstring dumpPath = folder + L"dump_gap_bench.dmp";
    std::vector<Measurement> helper;
    platform::win32_impl::setCaptureHelperForTesting(
        folder + platform::win32_impl::kCaptureHelperName, L"", 60000);
    for (int i = 0; i < rounds; ++i)
        helper.push_back(measureDump(ticker, dumpPath));
    report("helper process", helper);

    std::vector<Measurement> inProcess;
    platform::win32_impl::setCaptureHelperForTesting(L"", L"", 60000);
    for (int i = 0; i < rounds; ++i)
        inProcess.push_back(measureDump(ticker, dumpPath));
    report("in process (dbghelp)", inProcess);

    ticker.stop = true;
    ticking.join();
    return 0;
}
