#include "detector/anr_collector.h"

#include "log/log.h"
#include "platform/clock.h"

#include <QCoreApplication>
#include <QThread>

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
        std::clamp(thresholds.lagSampleRate.load(relaxed), kShortestPauseMs, kLongestPauseMs);
    const long long due = now() + pause;
    std::unique_lock<std::mutex> lock(pauseMutex_);
    pauseWake_.wait_for(lock, std::chrono::milliseconds(pause),
                        [this] { return released.load(relaxed); });
    return due;
}

bool ANRCollector::onGuiThread()
{
    const QCoreApplication *application = QCoreApplication::instance();
    return !application || QThread::currentThread() == application->thread();
}

void ANRCollector::iterationBegin()
{
    Q_ASSERT(onGuiThread());
    beginDelivery(now());
}

void ANRCollector::iterationEnd()
{
    Q_ASSERT(onGuiThread());
    closeDelivery(now());
    delivery.iterationStart.store(0, relaxed);
}

void ANRCollector::iterationNext()
{
    Q_ASSERT(onGuiThread());
    // The event filter's path, once per event: one clock read, and the next delivery's start
    // overwrites the last one's without clearing it first.
    const long long instant = now();
    closeDelivery(instant);
    beginDelivery(instant);
}

inline void ANRCollector::beginDelivery(long long instant)
{
    // Release: what start wrote before the first delivery (cacheDir, mainThread) is visible to
    // the watchdog once it sees a delivery under way. A plain store on x86-64.
    delivery.iterationStart.store(instant, std::memory_order_release);
    delivery.sameStackCount.store(0, relaxed);
}

inline void ANRCollector::closeDelivery(long long instant)
{
    if (delivery.stuckReported.load(relaxed)) {
        // A stuck delivery never becomes a lag.
        delivery.stuckReported.store(false, relaxed);
        return;
    }
    const long long start = delivery.iterationStart.load(relaxed);
    const long long duration = instant - start;
    if (start > 0 && duration > thresholds.lagFirstTime.load(relaxed) &&
        delivery.sameStackCount.load(relaxed) >= 3)
        delivery.lagDuration.store(duration, relaxed);
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
    long long start = delivery.iterationStart.load(std::memory_order_acquire);
    if (delivery.stuckReported.load(relaxed) || start == 0 || !appActive.load(relaxed))
        return;

    const long long tickMs = now();
    if (dueMs != 0 && tickMs - dueMs > kLateTickMs) {
        // The whole process stood still, the GUI thread with it: what looks like a long
        // delivery is the pause. Measure it afresh, unless it has ended meanwhile.
        if (delivery.iterationStart.compare_exchange_strong(start, tickMs, relaxed))
            delivery.sameStackCount.store(0, relaxed);
        return;
    }

    const long long elapsed = tickMs - start;
    const EpisodeActions &episode = actions();
    if (elapsed > thresholds.stuckFirstTime.load(relaxed)) {
        delivery.stuckReported.store(true, relaxed);
        episode.reportStuck(writeDumpUnlessRecent(lastStuckDumpMs_), cacheDir);
        return;
    }

    if (const long long pendingLag = delivery.lagDuration.load(relaxed); pendingLag != 0) {
        episode.reportLag(watchdog.lagDumpPath, pendingLag, cacheDir);
        delivery.lagDuration.store(0, relaxed);
    }
    if (delivery.sameStackCount.load(relaxed) >= 3 ||
        elapsed <= thresholds.lagFirstTime.load(relaxed))
        return;

    const std::vector<std::uint64_t> sample = episode.captureStack();
    if (sample == watchdog.lastStack) {
        delivery.sameStackCount.fetch_add(1, relaxed);
    } else {
        delivery.sameStackCount.store(1, relaxed);
        watchdog.lastStack = sample;
    }
    if (delivery.sameStackCount.load(relaxed) == 3)
        watchdog.lagDumpPath = writeDumpUnlessRecent(lastLagDumpMs_);
}
