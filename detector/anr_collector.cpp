#include "detector/anr_collector.h"

#include "base/log.h"
#include "platform/clock.h"

#include <algorithm>
#include <chrono>

namespace
{
constexpr auto relaxed = std::memory_order_relaxed;
}

ANRCollector::ANRCollector(NoWatchdog, ReportStuck reportStuck, ReportLag reportLag)
    : realActions_{[this] { return captureMainThreadStack(); }, [this] { return writeMiniDump(); },
                   std::move(reportStuck), std::move(reportLag)},
      // The per-event path reads the clock twice; the coarse clock keeps that within a few ns
      // and its tick (4 ms here, ~15 ms on Windows) is far below any threshold.
      clock_(&platform::coarseWallClockMs)
{
    logMessage("ANRCollector create.");
}

ANRCollector::ANRCollector(ReportStuck reportStuck, ReportLag reportLag)
    : ANRCollector(NoWatchdog{}, std::move(reportStuck), std::move(reportLag))
{
    watchdogThread = std::thread([this] { watchdogLoop(); });
}

ANRCollector::~ANRCollector()
{
    logMessage("ANRCollector release.");
    {
        std::lock_guard<std::mutex> lock(pauseMutex_);
        released.store(true, relaxed);
    }
    pauseWake_.notify_all();
    if (watchdogThread.joinable())
        watchdogThread.join();
}

std::unique_ptr<ANRCollector> ANRCollector::createWithoutWatchdogForTesting()
{
    return std::unique_ptr<ANRCollector>(new ANRCollector(
        NoWatchdog{}, [](std::string, QString) {}, [](std::string, long long, QString) {}));
}

void ANRCollector::setEpisodeActionsForTesting(const EpisodeActions *testActions)
{
    actions_.store(testActions ? testActions : &realActions_, std::memory_order_release);
}

void ANRCollector::setClockForTesting(Clock clock)
{
    clock_.store(clock ? clock : &platform::coarseWallClockMs, relaxed);
}

void ANRCollector::watchdogLoop()
{
    while (!released.load(relaxed)) {
        watchdogTick();
        pauseBetweenTicks();
    }
}

void ANRCollector::pauseBetweenTicks()
{
    // A period beyond a day is taken as a day: the clock arithmetic of the wait would
    // overflow for the largest configurable values.
    constexpr long long kLongestPauseMs = 24LL * 60 * 60 * 1000;
    const long long pause = std::min(lagSampleRate.load(relaxed), kLongestPauseMs);
    if (pause <= 0)
        return;
    std::unique_lock<std::mutex> lock(pauseMutex_);
    pauseWake_.wait_for(lock, std::chrono::milliseconds(pause),
                        [this] { return released.load(relaxed); });
}

void ANRCollector::iterationBegin()
{
    // Release: what start wrote before the first delivery (cacheDir, mainThread) is visible to
    // the watchdog once it sees a delivery under way. A plain store on x86-64.
    iterationStart.store(now(), std::memory_order_release);
    sameStackCount.store(0, relaxed);
}

void ANRCollector::iterationEnd()
{
    if (stuckReported.load(relaxed)) {
        // A stuck delivery never becomes a lag.
        stuckReported.store(false, relaxed);
        iterationStart.store(0, relaxed);
        return;
    }
    const long long start = iterationStart.load(relaxed);
    if (start <= 0)
        return;
    const long long duration = now() - start;
    if (duration > lagFirstTime.load(relaxed) && sameStackCount.load(relaxed) >= 3)
        lagDuration.store(duration, relaxed);
    iterationStart.store(0, relaxed);
}

void ANRCollector::setAppActive(bool active)
{
    appActive.store(active, relaxed);
}

void ANRCollector::watchdogTick()
{
    const long long start = iterationStart.load(std::memory_order_acquire);
    if (stuckReported.load(relaxed) || start == 0 || !appActive.load(relaxed))
        return;

    const long long elapsed = now() - start;
    const EpisodeActions &episode = actions();
    if (elapsed > stuckFirstTime.load(relaxed)) {
        stuckReported.store(true, relaxed);
        episode.reportStuck(episode.writeDump(), cacheDir);
        return;
    }

    if (const long long pendingLag = lagDuration.load(relaxed); pendingLag != 0) {
        episode.reportLag(lagDumpPath, pendingLag, cacheDir);
        lagDuration.store(0, relaxed);
    }
    if (sameStackCount.load(relaxed) >= 3 || elapsed <= lagFirstTime.load(relaxed))
        return;

    const std::vector<std::uint64_t> sample = episode.captureStack();
    if (sample == lastStack) {
        sameStackCount.fetch_add(1, relaxed);
    } else {
        sameStackCount.store(1, relaxed);
        lastStack = sample;
    }
    if (sameStackCount.load(relaxed) == 3)
        lagDumpPath = episode.writeDump();
}
