#include "support/recording_actions.h"

#include "support/module_fixture.h"

namespace testsupport
{

RecordingActions *RecordingActions::createForProcess(ANRCollector *collector)
{
    return new RecordingActions(collector); // deliberately never deleted
}

RecordingActions::RecordingActions(ANRCollector *collector)
{
    actions_.captureStack = [this, collector] {
        auto sample = collector->captureMainThreadStack();
        std::lock_guard<std::mutex> lock(mutex_);
        ++captures_;
        changed_.notify_all();
        return sample;
    };
    actions_.writeDump = [this] {
        std::lock_guard<std::mutex> lock(mutex_);
        ++dumps_;
        changed_.notify_all();
        return "recorded-" + std::to_string(dumps_) + ".dmp";
    };
    actions_.reportStuck = [this](std::string dumpPath, QString) {
        std::lock_guard<std::mutex> lock(mutex_);
        stuckReports_.push_back(std::move(dumpPath));
        changed_.notify_all();
    };
    actions_.reportLag = [this](std::string dumpPath, long long durationMs, QString) {
        std::lock_guard<std::mutex> lock(mutex_);
        lagReports_.push_back({std::move(dumpPath), durationMs});
        changed_.notify_all();
    };
}

bool RecordingActions::waitUntil(const std::function<bool()> &condition)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kSafetyTimeout, condition);
}

bool RecordingActions::waitForDumps(int n)
{
    return waitUntil([&] { return dumps_ >= n; });
}

bool RecordingActions::waitForLagReports(int n)
{
    return waitUntil([&] { return static_cast<int>(lagReports_.size()) >= n; });
}

int RecordingActions::dumps() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return dumps_;
}

int RecordingActions::captures() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return captures_;
}

std::vector<std::string> RecordingActions::stuckReports() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return stuckReports_;
}

std::vector<RecordingActions::LagReport> RecordingActions::lagReports() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return lagReports_;
}

} // namespace testsupport
