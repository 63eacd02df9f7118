// The hang detector: measures the GUI thread's event deliveries and, from a watchdog thread,
// recognises stuck deliveries and lags (a long delivery whose stack does not move).
#pragma once

#include "cache/dump_sink.h"
#include "detector/delivery_word.h"
#include "platform/stack_sampler.h"
#include "platform/thread_handle.h"

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
    // The dump is what the dump sink kept ("" when none).
    using ReportStuck = std::function<void(std::string dump)>;
    using ReportLag = std::function<void(std::string dump, long long durationMs)>;
    struct EpisodeActions {
        std::function<std::vector<std::uint64_t>()> captureStack;
        std::function<std::string()> writeDump;
        ReportStuck reportStuck;
        ReportLag reportLag;
    };
    // Milliseconds; durations use a monotonic clock, dump names the wall clock.
    using Clock = long long (*)();

    // Milliseconds. A value that is not above 0 stands for its default.
    struct Thresholds {
        long long lagFirstTime = 5000;
        long long stuckFirstTime = 8000;
        long long lagSampleRate = 100;
    };

    // A tick that comes this long after it was due (the process was stopped, the system
    // suspended) restarts the measurement of the delivery under way instead of judging it.
    static constexpr long long kLateTickMs = 1000;
    // At most one dump per episode kind (lag, stuck) in this many milliseconds, whatever
    // the thresholds; an episode past the limit is reported without a dump.
    static constexpr long long kDumpIntervalMs = 10'000;

    // Starts the watchdog thread, which hands the episodes it recognises to the two report
    // functions. Only KeelAnr::anrCollector() constructs it.
    ANRCollector(ReportStuck reportStuck, ReportLag reportLag);
    ~ANRCollector();
    ANRCollector(const ANRCollector &) = delete;
    ANRCollector &operator=(const ANRCollector &) = delete;

    // Ends the watchdog: it finishes its tick (an upload under way should be cut short
    // first) and stops. Waits at most `limit`; true when it has ended, false when it was
    // left running (detached). Only ever left running on the process's own collector,
    // which is never destroyed.
    bool stopWatchdog(std::chrono::milliseconds limit);

    // Start, on the GUI thread, before any delivery is marked: the thread to sample and dump
    // (the caller's own) and where dumps go (the cache; null: no dump is written; not owned).
    void watchMainThread(platform::ThreadHandle mainThread, cache::DumpSink *dumpSink);
    // The thresholds in one step; a value not above 0 is replaced by its default.
    void applyThresholds(Thresholds thresholds);
    Thresholds thresholds() const;

    // GUI thread: a delivery starts.
    void iterationBegin();
    // GUI thread: the current delivery ended (next event, idle, or stop).
    void iterationEnd();
    // GUI thread: iterationEnd then iterationBegin at one reading of the clock, so the next
    // delivery starts at the instant the last one ended (the event filter's path).
    void iterationNext();
    // Any thread.
    void setAppActive(bool active);
    bool isAppActive() const { return appActive_.load(std::memory_order_relaxed); }
    // Watchdog thread only. `dueMs` is when the tick was due on the collector's clock (0:
    // no schedule); see kLateTickMs.
    void watchdogTick(long long dueMs = 0);

    // Watchdog thread: the GUI thread's program counters, innermost first; empty on failure.
    std::vector<std::uint64_t> captureMainThreadStack();
    // Watchdog thread: a minidump of the process handed to the dump sink; what the sink
    // kept, empty on failure or without a sink.
    std::string writeMiniDump();

    cache::DumpSink *dumpSink() const { return dumpSink_; }

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
        return watchdogThread_.native_handle();
    }
    // When the delivery under way started on the collector's clock; 0 when none is.
    long long deliveryStartForTesting() const;
    // The duration of a finished lag that awaits its report; 0 when none does.
    long long pendingLagForTesting() const { return lagDuration_.load(std::memory_order_relaxed); }

private:
    struct NoWatchdog {
    };
    ANRCollector(NoWatchdog, ReportStuck reportStuck, ReportLag reportLag);

    void watchdogLoop();
    // Returns when the next tick is due.
    long long pauseBetweenTicks();
    // A dump, unless one of the same kind was written less than kDumpIntervalMs ago.
    std::string writeDumpUnlessRecent(long long &lastDumpMs);
    // Records the lag that the closed word `closed` describes, if it was one, at `now`.
    void recordLagIfAny(DeliveryWord::Bits closed, long long now);
    // Watchdog: one sample of the delivery `observed` describes, counted unless the delivery
    // changed while it was taken; the lag mark and dump on the third identical one.
    void sampleDelivery(DeliveryWord::Bits observed);
    // Debug builds check that the GUI-thread methods run on the application's thread.
    static bool onGuiThread();
    const EpisodeActions &actions() const { return *actions_.load(std::memory_order_acquire); }
    long long now() const { return clock_.load(std::memory_order_relaxed)(); }
    long long wallNow() const { return wallClock_.load(std::memory_order_relaxed)(); }
    long long threshold(const std::atomic<long long> &value) const
    {
        return value.load(std::memory_order_relaxed);
    }

    // Written by start (watchMainThread) before the first delivery is opened; the open's
    // release and the tick's acquire hand them to the watchdog.
    platform::ThreadHandle mainThread_;
    cache::DumpSink *dumpSink_ = nullptr;

    // Written together by applyThresholds (the configuration handler's thread), each read on
    // its own: a tick that reads one old and one new value judges one delivery by a mix, which
    // is harmless.
    std::atomic<long long> lagFirstTime_{Thresholds{}.lagFirstTime};
    std::atomic<long long> stuckFirstTime_{Thresholds{}.stuckFirstTime};
    std::atomic<long long> lagSampleRate_{Thresholds{}.lagSampleRate};

    DeliveryWord delivery_;
    // A finished lag's duration awaiting its report (0: none). The GUI thread sets it when it
    // closes a lag; the watchdog takes it. No second lag can be marked while one waits, as
    // the tick reports a pending lag before it samples.
    std::atomic<long long> lagDuration_{0};
    std::atomic<bool> appActive_{true};
    // stopWatchdog sets it, the watchdog reads it.
    std::atomic<bool> released_{false};

    // Watchdog thread only: the delivery being sampled (its word without marks), its count of
    // identical samples, the last sample, the last lag dump and when each kind last dumped.
    DeliveryWord::Bits sampledDelivery_ = 0;
    int sameStackCount_ = 0;
    std::vector<std::uint64_t> lastStack_;
    std::string lagDumpPath_;
    long long lastLagDumpMs_ = 0;
    long long lastStuckDumpMs_ = 0;

    EpisodeActions realActions_;
    std::atomic<const EpisodeActions *> actions_{&realActions_};
    std::atomic<Clock> clock_;
    std::atomic<Clock> wallClock_;
    // Lets stopWatchdog cut a long pause short and wait for the loop's end.
    std::mutex pauseMutex_;
    std::condition_variable pauseWake_;
    bool watchdogEnded_ = false; // guarded by pauseMutex_
    std::thread watchdogThread_;
};

static_assert(std::atomic<long long>::is_always_lock_free, "collector fields must be lock-free");
