// The hang detector: measures the GUI thread's event deliveries and, from a watchdog thread,
// recognises stuck deliveries and lags (a long delivery whose stack does not move).
#pragma once

#include "platform/stack_sampler.h"
#include "platform/thread_handle.h"

#include <QString>

#include <atomic>
#include <chrono>
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
    // Milliseconds; durations use a monotonic clock, dump names the wall clock.
    using Clock = long long (*)();

    // A tick that comes this long after it was due (the process was stopped, the system
    // suspended) restarts the measurement of the delivery under way instead of judging it.
    static constexpr long long kLateTickMs = 1000;
    // The watchdog pauses at least this long between ticks, whatever the configuration.
    static constexpr long long kShortestPauseMs = 1;
    // At most one dump per episode kind (lag, stuck) in this many milliseconds, whatever
    // the thresholds; an episode past the limit is reported without a dump.
    static constexpr long long kDumpIntervalMs = 10'000;

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
    // The duration clock (platform::monotonicMs by default) and the clock that names dumps
    // (platform::wallClockMs); null restores the default.
    void setClockForTesting(Clock clock);
    void setWallClockForTesting(Clock clock);
    // The watchdog thread, whose CPU time benchmarks read.
    std::thread::native_handle_type watchdogHandleForTesting()
    {
        return watchdogThread.native_handle();
    }

    // Ends the watchdog: it finishes its tick (an upload under way should be cut short
    // first) and stops. Waits at most `limit`; true when it has ended, false when it was
    // left running (detached). Only ever left running on the process's own collector,
    // which is never destroyed.
    bool stopWatchdog(std::chrono::milliseconds limit);

    // GUI thread: a delivery starts.
    void iterationBegin();
    // GUI thread: the current delivery ended (next event, idle, or stop).
    void iterationEnd();
    // GUI thread: iterationEnd then iterationBegin at one reading of the clock, so the next
    // delivery starts at the instant the last one ended (the event filter's path).
    void iterationNext();
    // Any thread.
    void setAppActive(bool active);
    // Watchdog thread only. `dueMs` is when the tick was due on the collector's clock (0:
    // no schedule); see kLateTickMs.
    void watchdogTick(long long dueMs = 0);

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
    // iterationStart 0 or the next delivery's start); the watchdog marks the open one
    // (stuckReported set, sameStackCount counted) and consumes a closed lag (lagDuration reset).
    struct DeliveryState {
        // 0: no delivery watched. A late tick also writes it, by compare-and-swap from the
        // value it read, so it can only restart the delivery it saw.
        std::atomic<long long> iterationStart{0};
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
    // released: stopWatchdog sets it, the watchdog reads it. appActive: the state probes
    // write it (last one wins), the watchdog reads it.
    std::atomic<bool> released{false};
    std::atomic<bool> appActive{true};

private:
    struct NoWatchdog {
    };
    ANRCollector(NoWatchdog, ReportStuck reportStuck, ReportLag reportLag);

    void watchdogLoop();
    // Returns when the next tick is due.
    long long pauseBetweenTicks();
    // A dump, unless one of the same kind was written less than kDumpIntervalMs ago.
    std::string writeDumpUnlessRecent(long long &lastDumpMs);
    void beginDelivery(long long now);
    // Records a lag when the delivery under way, ending at `now`, was one; the caller then
    // clears or restarts iterationStart.
    void closeDelivery(long long now);
    // Debug builds check that the GUI-thread methods run on the application's thread.
    static bool onGuiThread();
    const EpisodeActions &actions() const { return *actions_.load(std::memory_order_acquire); }
    long long now() const { return clock_.load(std::memory_order_relaxed)(); }
    long long wallNow() const { return wallClock_.load(std::memory_order_relaxed)(); }

    EpisodeActions realActions_;
    std::atomic<const EpisodeActions *> actions_{&realActions_};
    std::atomic<Clock> clock_;
    std::atomic<Clock> wallClock_;
    // Watchdog thread only: when each kind last dumped (0: never).
    long long lastLagDumpMs_ = 0;
    long long lastStuckDumpMs_ = 0;
    // Lets stopWatchdog cut a long pause short and wait for the loop's end.
    std::mutex pauseMutex_;
    std::condition_variable pauseWake_;
    bool watchdogEnded_ = false; // guarded by pauseMutex_
    std::thread watchdogThread;
};

static_assert(std::atomic<long long>::is_always_lock_free, "collector fields must be lock-free");
