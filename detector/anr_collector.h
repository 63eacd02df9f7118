// The hang detector: measures the GUI thread's event deliveries and, from a watchdog thread,
// recognises stuck deliveries and lags (a long delivery whose stack does not move).
#pragma once

#include "platform/stack_sampler.h"
#include "platform/thread_handle.h"

#include <QString>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class ANRCollector
{
public:
    // What the watchdog does when it recognises an episode. Production uses the real
    // capture, dump and report functions; tests replace them.
    using ReportStuck = std::function<void(std::string dumpPath, QString cacheDir)>;
    using ReportLag =
        std::function<void(std::string dumpPath, long long durationMs, QString cacheDir)>;
    struct EpisodeActions {
        std::function<std::vector<std::uint64_t>()> captureStack;
        std::function<std::string()> writeDump;
        ReportStuck reportStuck;
        ReportLag reportLag;
    };
    // Wall-clock milliseconds.
    using Clock = long long (*)();

    // Starts the watchdog thread, which hands the episodes it recognises to the two report
    // functions. Only KeelAnr::anrCollector() constructs it.
    ANRCollector(ReportStuck reportStuck, ReportLag reportLag);
    ~ANRCollector();
    ANRCollector(const ANRCollector &) = delete;
    ANRCollector &operator=(const ANRCollector &) = delete;

    // A collector without a watchdog thread, whose ticks a test drives with watchdogTick();
    // its report functions do nothing.
    static std::unique_ptr<ANRCollector> createWithoutWatchdogForTesting();
    // `actions` must outlive the collector or be replaced first; null restores the real ones.
    void setEpisodeActionsForTesting(const EpisodeActions *actions);
    void setClockForTesting(Clock clock);

    // GUI thread: a delivery starts.
    void iterationBegin();
    // GUI thread: the current delivery ended (next event, idle, or stop).
    void iterationEnd();
    // GUI thread: iterationEnd then iterationBegin at one reading of the clock, so the next
    // delivery starts at the instant the last one ended (the event filter's path).
    void iterationNext();
    // Any thread.
    void setAppActive(bool active);
    // Watchdog thread only.
    void watchdogTick();

    // Watchdog thread: the GUI thread's program counters, innermost first; empty on failure.
    std::vector<std::uint64_t> captureMainThreadStack();
    // Watchdog thread: a minidump of the process in cacheDir; its UTF-8 path, empty on failure.
    std::string writeMiniDump();
    // Loads the platform's stack walker once; null while that fails (logged once).
    const platform::StackSampler *loadDbgHelp();

    // Relaxed-atomic protocol. Every atomic below is one machine word read whole by the
    // other threads; no ordering between fields is needed because a tick works only with
    // the iterationStart it read once, and a value written while a tick runs is seen by a
    // later tick.

    // Thresholds in ms. Single writer: the configuration handler, before it enables the
    // filter; read by the watchdog and by iterationEnd.
    struct Thresholds {
        std::atomic<long long> lagFirstTime{5000};
        std::atomic<long long> stuckFirstTime{8000};
        std::atomic<long long> lagSampleRate{100};
    } thresholds;

    // Written by start before the first delivery is marked. iterationBegin stores
    // iterationStart with release and the tick loads it with acquire, which hands them to
    // the watchdog.
    platform::ThreadHandle mainThread;
    QString cacheDir;

    // The delivery under way. Each field has one writer at a time, handed over by the
    // delivery's life: the GUI thread opens a delivery (iterationStart set, sameStackCount
    // reset) and closes it (lagDuration set when it was a lag, stuckReported cleared,
    // iterationStart 0); the watchdog marks the open one (stuckReported set, sameStackCount
    // counted) and consumes a closed lag (lagDuration reset).
    struct DeliveryState {
        std::atomic<long long> iterationStart{0}; // 0: no delivery watched
        std::atomic<bool> stuckReported{false};
        std::atomic<int> sameStackCount{0};
        std::atomic<long long> lagDuration{0};
    } delivery;

    // Watchdog thread only.
    struct WatchdogState {
        std::vector<std::uint64_t> lastStack;
        std::string lagDumpPath;
    } watchdog;

    // The loaded stack walker: set once by loadDbgHelp, never cleared.
    std::atomic<const platform::StackSampler *> dbghelpModule{nullptr};
    // released: the destructor sets it, the watchdog reads it. appActive: the state probes
    // write it (last one wins), the watchdog reads it.
    std::atomic<bool> released{false};
    std::atomic<bool> appActive{true};

private:
    struct NoWatchdog {
    };
    ANRCollector(NoWatchdog, ReportStuck reportStuck, ReportLag reportLag);

    void watchdogLoop();
    void pauseBetweenTicks();
    void beginDelivery(long long now);
    void endDelivery(long long now);
    // Debug builds check that the GUI-thread methods run on the application's thread.
    static bool onGuiThread();
    const EpisodeActions &actions() const { return *actions_.load(std::memory_order_acquire); }
    long long now() const { return clock_.load(std::memory_order_relaxed)(); }

    EpisodeActions realActions_;
    std::atomic<const EpisodeActions *> actions_{&realActions_};
    std::atomic<Clock> clock_;
    // Lets the destructor cut a long pause short.
    std::mutex pauseMutex_;
    std::condition_variable pauseWake_;
    std::thread watchdogThread;
};

static_assert(std::atomic<long long>::is_always_lock_free, "collector fields must be lock-free");
