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
using Word = DeliveryWord;
} // namespace

ANRCollector::ANRCollector(NoWatchdog, ReportStuck reportStuck, ReportLag reportLag)
    : realActions_{[this] { return captureMainThreadStack(); }, [this] { return writeMiniDump(); },
                   std::move(reportStuck), std::move(reportLag)},
      // The per-event path reads the clock once; the coarse clock keeps that within a few ns
      // and its tick (4 ms here, ~15 ms on Windows) is far below any threshold.
      clock_(&platform::monotonicMs), wallClock_(&platform::wallClockMs)
{
    logMessage("ANRCollector create.");
}

ANRCollector::ANRCollector(ReportStuck reportStuck, ReportLag reportLag)
    : ANRCollector(NoWatchdog{}, std::move(reportStuck), std::move(reportLag))
{
    watchdogThread_ = std::thread([this] { watchdogLoop(); });
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
    if (!released_.exchange(true, relaxed))
        logMessage("ANRCollector release.");
    pauseWake_.notify_all();
    if (!watchdogThread_.joinable())
        return true;
    if (!pauseWake_.wait_for(lock, limit, [this] { return watchdogEnded_; })) {
        watchdogThread_.detach();
        return false;
    }
    lock.unlock();
    watchdogThread_.join();
    return true;
}

void ANRCollector::watchMainThread(platform::ThreadHandle mainThread, cache::DumpSink *dumpSink)
{
    Q_ASSERT(onGuiThread());
    mainThread_ = mainThread;
    dumpSink_ = dumpSink;
}

void ANRCollector::applyThresholds(Thresholds thresholds)
{
    constexpr Thresholds defaults;
    const auto positiveOr = [](long long value, long long fallback) {
        return value > 0 ? value : fallback;
    };
    lagFirstTime_.store(positiveOr(thresholds.lagFirstTime, defaults.lagFirstTime), relaxed);
    stuckFirstTime_.store(positiveOr(thresholds.stuckFirstTime, defaults.stuckFirstTime), relaxed);
    lagSampleRate_.store(positiveOr(thresholds.lagSampleRate, defaults.lagSampleRate), relaxed);
}

ANRCollector::Thresholds ANRCollector::thresholds() const
{
    return {threshold(lagFirstTime_), threshold(stuckFirstTime_), threshold(lagSampleRate_)};
}

std::unique_ptr<ANRCollector> ANRCollector::createWithoutWatchdogForTesting()
{
    return std::unique_ptr<ANRCollector>(new ANRCollector(
        NoWatchdog{}, [](std::string) {}, [](std::string, long long) {}));
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

long long ANRCollector::deliveryStartForTesting() const
{
    const Word::Bits word = delivery_.load();
    return Word::isOpen(word) ? Word::startOf(word) : 0;
}

void ANRCollector::watchdogLoop()
{
    long long due = 0;
    while (!released_.load(relaxed)) {
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
    const long long pause = std::min(threshold(lagSampleRate_), kLongestPauseMs);
    const long long due = now() + pause;
    std::unique_lock<std::mutex> lock(pauseMutex_);
    pauseWake_.wait_for(lock, std::chrono::milliseconds(pause),
                        [this] { return released_.load(relaxed); });
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
    const long long instant = now();
    recordLagIfAny(delivery_.open(instant), instant);
}

void ANRCollector::iterationEnd()
{
    Q_ASSERT(onGuiThread());
    const Word::Bits closed = delivery_.close();
    if (Word::isLag(closed))
        recordLagIfAny(closed, now());
}

void ANRCollector::iterationNext()
{
    Q_ASSERT(onGuiThread());
    // The event filter's path, once per event: one clock read and one exchange that closes
    // the last delivery and opens the next.
    const long long instant = now();
    recordLagIfAny(delivery_.open(instant), instant);
}

inline void ANRCollector::recordLagIfAny(Word::Bits closed, long long instant)
{
    // Only a delivery the watchdog marked as a lag, and not stuck: a stuck delivery never
    // becomes a lag. The mark was set past lagFirstTime, so the duration is past it too.
    if (Word::isOpen(closed) && Word::isLag(closed) && !Word::isStuck(closed))
        lagDuration_.store(instant - Word::startOf(closed), relaxed);
}

void ANRCollector::setAppActive(bool active)
{
    appActive_.store(active, relaxed);
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
    const Word::Bits observed = delivery_.load();
    if (!Word::isOpen(observed) || Word::isStuck(observed) || !appActive_.load(relaxed))
        return;

    const long long tickMs = now();
    if (dueMs != 0 && tickMs - dueMs > kLateTickMs) {
        // The whole process stood still, the GUI thread with it: what looks like a long
        // delivery is the pause. Measure it afresh, unless it has ended meanwhile.
        delivery_.restart(observed, tickMs);
        return;
    }

    const long long elapsed = tickMs - Word::startOf(observed);
    const EpisodeActions &episode = actions();
    if (elapsed > threshold(stuckFirstTime_)) {
        // Only the delivery that was judged is marked; one that has ended meanwhile is not
        // stuck, and its successor is judged by a later tick.
        if (delivery_.mark(observed, Word::kStuck))
            episode.reportStuck(writeDumpUnlessRecent(lastStuckDumpMs_));
        return;
    }

    if (const long long pendingLag = lagDuration_.exchange(0, relaxed); pendingLag != 0)
        episode.reportLag(lagDumpPath_, pendingLag);
    if (!Word::isLag(observed) && elapsed > threshold(lagFirstTime_))
        sampleDelivery(observed);
}

void ANRCollector::sampleDelivery(Word::Bits observed)
{
    if (!Word::sameDelivery(observed, sampledDelivery_)) {
        sampledDelivery_ = observed & ~(Word::kStuck | Word::kLag);
        sameStackCount_ = 0;
    }
    const std::vector<std::uint64_t> sample = actions().captureStack();
    // A sample that spans the delivery's end belongs to neither delivery: dropped.
    if (!Word::sameDelivery(observed, delivery_.load()))
        return;
    // The first sample of a delivery counts 1 even when it equals the last one of an earlier
    // delivery.
    if (sameStackCount_ > 0 && sample == lastStack_) {
        ++sameStackCount_;
    } else {
        sameStackCount_ = 1;
        lastStack_ = sample;
    }
    if (sameStackCount_ == 3 && delivery_.mark(observed, Word::kLag))
        lagDumpPath_ = writeDumpUnlessRecent(lastLagDumpMs_);
}
