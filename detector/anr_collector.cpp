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
      clock_(&platform::monotonicMs), wallClock_(&platform::wallClockMs)
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
    // Only collectors without a watchdog, or whose watchdog ends at once, are destroyed
    // (the process's own is not), so the wait is never cut short.
    stopWatchdog(std::chrono::hours(24));
}

bool ANRCollector::stopWatchdog(std::chrono::milliseconds limit)
{
    std::unique_lock<std::mutex> lock(pauseMutex_);
    if (!released.exchange(true, relaxed))
        logMessage("ANRCollector release.");
    pauseWake_.notify_all();
    if (!watchdogThread.joinable())
        return true;
    if (!pauseWake_.wait_for(lock, limit, [this] { return watchdogEnded_; })) {
        watchdogThread.detach();
        return false;
    }
    lock.unlock();
    watchdogThread.join();
    return true;
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
    clock_.store(clock ? clock : &platform::monotonicMs, relaxed);
}

void ANRCollector::setWallClockForTesting(Clock clock)
{
    wallClock_.store(clock ? clock : &platform::wallClockMs, relaxed);
}

void ANRCollector::watchdogLoop()
{
    long long due = 0;
    while (!released.load(relaxed)) {
        watchdogTick(due);
        due = pauseBetweenTicks();
    }
    std::lock_guard<std::mutex> lock(pauseMutex_);
    watchdogEnded_ = true;
    pauseWake_.notify_all();
}

long long ANRCollector::pauseBetweenTicks()
{
    // A period beyond a day is taken as a day: the clock arithmetic of the wait would
    // overflow for the largest configurable values.
    constexpr long long kLongestPauseMs = 24LL * 60 * 60 * 1000;
    const long long pause =
        std::clamp(lagSampleRate.load(relaxed), kShortestPauseMs, kLongestPauseMs);
    const long long due = now() + pause;
    std::unique_lock<std::mutex> lock(pauseMutex_);
    pauseWake_.wait_for(lock, std::chrono::milliseconds(pause),
                        [this] { return released.load(relaxed); });
    return due;
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

std::string ANRCollector::writeDumpUnlessRecent(long long &lastDumpMs)
{
    const long long at = now();
    if (lastDumpMs != 0 && at - lastDumpMs < kDumpIntervalMs)
        return {};
    lastDumpMs = at;
    return actions().writeDump();
}

void ANRCollector::watchdogTick(long long dueMs)
{
    long long start = iterationStart.load(std::memory_order_acquire);
    if (stuckReported.load(relaxed) || start == 0 || !appActive.load(relaxed))
        return;

    const long long tickMs = now();
    if (dueMs != 0 && tickMs - dueMs > kLateTickMs) {
        // The whole process stood still, the GUI thread with it: what looks like a long
        // delivery is the pause. Measure it afresh, unless it has ended meanwhile.
        if (iterationStart.compare_exchange_strong(start, tickMs, relaxed))
            sameStackCount.store(0, relaxed);
        return;
    }

    const long long elapsed = tickMs - start;
    const EpisodeActions &episode = actions();
    if (elapsed > stuckFirstTime.load(relaxed)) {
        stuckReported.store(true, relaxed);
        episode.reportStuck(writeDumpUnlessRecent(lastStuckDumpMs_), cacheDir);
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
        lagDumpPath = writeDumpUnlessRecent(lastLagDumpMs_);
}
