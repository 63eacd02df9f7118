// Episode actions for tests that run the real watchdog thread: they record what the
// watchdog asked for and let a test wait for it.
#pragma once

#include "detector/anr_collector.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace testsupport
{

class RecordingActions
{
public:
    struct LagReport {
        std::string dumpPath;
        long long durationMs;
    };

    // A recorder that is never destroyed: the watchdog thread may still call its actions
    // after a test body has returned, up to the collector's own destruction at exit.
    static RecordingActions *createForProcess(ANRCollector *collector);

    const ANRCollector::EpisodeActions &actions() const { return actions_; }

    // Each waits until the count reaches `n`; false when the safety timeout passes first.
    bool waitForDumps(int n);
    bool waitForLagReports(int n);

    int dumps() const;
    int captures() const;
    std::vector<std::string> stuckReports() const;
    std::vector<LagReport> lagReports() const;

private:
    // Stack samples come from the collector's real capture.
    explicit RecordingActions(ANRCollector *collector);
    bool waitUntil(const std::function<bool()> &condition);

    ANRCollector::EpisodeActions actions_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    int dumps_ = 0;
    int captures_ = 0;
    std::vector<std::string> stuckReports_;
    std::vector<LagReport> lagReports_;
};

} // namespace testsupport
