// The hang detector: measures the GUI thread's event deliveries and, from a watchdog thread,
// recognises stuck deliveries and lags (a long delivery whose stack does not move).
#pragma once

#include "platform/debug_library.h"
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
    // Any thread.
    void setAppActive(bool active);
    // Watchdog thread only. `dueMs` is when the tick was due on the collector's clock (0:
    // no schedule); see kLateTickMs.
    void watchdogTick(long long dueMs = 0);

    // Watchdog thread: the GUI thread's program counters, innermost first; empty on failure.
    std::vector<std::uint64_t> captureMainThreadStack();
    // Watchdog thread: a minidump of the process in cacheDir; its UTF-8 path, empty on failure.
    std::string writeMiniDump();
    // Loads the platform's debugging support once; null while that fails.
    platform::ModuleHandle loadDbgHelp();

    // Relaxed-atomic protocol. Every field below is one machine word with a single writer
    // per role, read whole by the other threads; no ordering between fields is needed
    // because a tick works only with the iterationStart it read once, and a value written
    // while a tick runs is seen by a later tick.
    //   Thresholds: written by the configuration handler (before it enables the filter),
    //     read by the watchdog and by iterationEnd.
    std::atomic<long long> lagFirstTime{5000};
    std::atomic<long long> stuckFirstTime{8000};
    std::atomic<long long> lagSampleRate{100};
    //   Written by start before anything reads them.
    platform::ThreadHandle mainThread;
    QString cacheDir;
    //   iterationStart: GUI thread writes (0 = nothing watched), watchdog reads. The one
    //     exception to relaxed ordering: iterationBegin stores with release and the tick
    //     loads with acquire, which hands cacheDir and mainThread to the watchdog. A late
    //     tick also writes it, by compare-and-swap from the value it read, so it can only
    //     restart the delivery it saw.
    std::atomic<long long> iterationStart{0};
    //   stuckReported: watchdog sets, GUI thread clears in iterationEnd.
    std::atomic<bool> stuckReported{false};
    //   sameStackCount: watchdog counts, GUI thread resets in iterationBegin, reads in
    //     iterationEnd.
    std::atomic<int> sameStackCount{0};
    //   Watchdog thread only.
    std::vector<std::uint64_t> lastStack;
    std::string lagDumpPath;
    //   lagDuration: GUI thread sets when a lag ends, watchdog consumes and resets.
    std::atomic<long long> lagDuration{0};
    //   Debugging support, filled once under dbghelpMutex; dbghelpModule is tested without
    //     the lock first, so it is published last with release ordering.
    std::atomic<platform::ModuleHandle> dbghelpModule{nullptr};
    platform::DebugEntryPoints debugEntryPoints;
    std::mutex dbghelpMutex;
    //   released: stopWatchdog sets, watchdog reads. appActive: state probes write.
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
