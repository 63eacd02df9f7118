// End to end through the module: the real watchdog samples the real GUI thread while a
// GUI-thread event handler runs past lagFirstTime. Only the dump and the reports are recorded
// instead of done; the samples are real.

#include "anr/keel_anr_internals.h"
#include "detector/anr_collector.h"
#include "detector/anr_event_filter.h"
#include "keel_standin.h"
#include "platform/linux/sampling/thread_sampler_linux.h"
#include "platform/thread_handle.h"
#include "support/poll.h"

#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <QObject>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <thread>

namespace sampling_test
{
namespace
{

using Sample = std::vector<std::uint64_t>;

// The only time limit: a safety net for waits that end on a condition.
constexpr std::chrono::seconds kSafetyNet{30};

// What the watchdog did. Lives as long as the process: a tick in flight may still run the
// actions after a test has returned.
struct WatchdogRecord {
    std::mutex samplesMutex;
    std::vector<Sample> samples;
    std::atomic<int> dumps{0};
    std::atomic<int> lagReports{0};
    std::atomic<int> stuckReports{0};

    void reset()
    {
        std::lock_guard<std::mutex> lock(samplesMutex);
        samples.clear();
        dumps = lagReports = stuckReports = 0;
    }
};

WatchdogRecord &record()
{
    static auto *const watchdogRecord = new WatchdogRecord;
    return *watchdogRecord;
}

const ANRCollector::EpisodeActions &recordingActions(ANRCollector *collector)
{
    static auto *const actions = new ANRCollector::EpisodeActions{
        [collector] {
            Sample sample = collector->captureMainThreadStack();
            WatchdogRecord &r = record();
            {
                std::lock_guard<std::mutex> lock(r.samplesMutex);
                r.samples.push_back(sample);
            }
            return sample;
        },
        [] {
            record().dumps.fetch_add(1);
            return std::string("lag.dmp");
        },
        [](std::string, QString) { record().stuckReports.fetch_add(1); },
        [](std::string, long long, QString) { record().lagReports.fetch_add(1); }};
    return *actions;
}

// Receives the test's events on the GUI thread and runs the handler it is given.
class HandlerObject : public QObject
{
public:
    std::function<void()> handler;
    bool event(QEvent *event) override
    {
        if (event->type() != QEvent::User)
            return QObject::event(event);
        handler();
        return true;
    }
};

class ModuleSampling : public testing::Test
{
protected:
    void SetUp() override
    {
        record().reset();
        collector = KeelAnrInternals::collector();
        collector->mainThread = platform::openCurrentThread();
        collector->thresholds.stuckFirstTime = 600'000;
        collector->thresholds.lagFirstTime = 50;
        collector->thresholds.lagSampleRate = 10;
        collector->setEpisodeActionsForTesting(&recordingActions(collector));
        filter = new ANREventFilter(collector, QCoreApplication::instance());
        filter->enabled = true;
        QCoreApplication::instance()->installEventFilter(filter);
    }
    void TearDown() override
    {
        filter->enabled = false;
        collector->iterationEnd();
    }

    // Delivers one event whose handler runs `handler` on this (the GUI) thread.
    void deliver(std::function<void()> handler)
    {
        receiver.handler = std::move(handler);
        QEvent event(QEvent::User);
        QCoreApplication::sendEvent(&receiver, &event);
    }

    ANRCollector *collector = nullptr;
    ANREventFilter *filter = nullptr;
    HandlerObject receiver;
};

// Blocks the GUI thread until `condition` holds, napping in short sleeps (ThreadSanitizer
// holds a signal back from a thread waiting on a condition variable, not from one asleep).
template <typename Condition>
bool napUntil(Condition condition)
{
    return testsupport::pollUntil(condition, kSafetyNet, std::chrono::milliseconds(1));
}

TEST_F(ModuleSampling, HandlerBlockedInOnePlaceGivesExactlyOneLagDump)
{
    WatchdogRecord &r = record();
    deliver([&] { EXPECT_TRUE(napUntil([&] { return r.dumps.load() > 0; })); });
    // The lag is reported by a tick during the next delivery.
    deliver([&] { EXPECT_TRUE(napUntil([&] { return r.lagReports.load() > 0; })); });
    collector->iterationEnd();

    std::lock_guard<std::mutex> lock(r.samplesMutex);
    EXPECT_EQ(r.dumps, 1);
    EXPECT_EQ(r.lagReports, 1);
    EXPECT_EQ(r.stuckReports, 0);
    ASSERT_GE(r.samples.size(), 3u);
    const Sample &last = r.samples.back();
    EXPECT_FALSE(last.empty()) << "the dump came from failed captures, not from real samples";
    EXPECT_EQ(r.samples[r.samples.size() - 2], last);
    EXPECT_EQ(r.samples[r.samples.size() - 3], last);
}

// Without libunwind the collector samples nothing but still writes dumps, says so once, and
// starts sampling as soon as the library can be loaded.
TEST(SamplingWithoutLibunwind, DumpsAreStillWrittenAndTheAbsenceIsLoggedOnce)
{
    QTemporaryDir directory;
    const std::unique_ptr<ANRCollector> collector = ANRCollector::createWithoutWatchdogForTesting();
    collector->cacheDir = directory.path();
    collector->mainThread = platform::openCurrentThread();
    standin::log::enable();
    standin::log::clear();

    platform::linux_impl::setUnwindLibraryForTesting("libkeelanr-test-missing.so.8");
    std::string dumpPath;
    std::thread watchdog([&] {
        EXPECT_TRUE(collector->captureMainThreadStack().empty());
        EXPECT_TRUE(collector->captureMainThreadStack().empty());
        dumpPath = collector->writeMiniDump();
    });
    watchdog.join();
    ASSERT_FALSE(dumpPath.empty());
    QFile dump(QString::fromStdString(dumpPath));
    ASSERT_TRUE(dump.open(QIODevice::ReadOnly));
    EXPECT_EQ(dump.read(4), "MDMP");
    EXPECT_EQ(standin::log::lines(),
              (std::vector<std::string>{"anr stack sampling off: libunwind.so.8 not loaded",
                                        "anr dump create success"}));

    platform::linux_impl::setUnwindLibraryForTesting(nullptr);
    std::thread([&] { EXPECT_FALSE(collector->captureMainThreadStack().empty()); }).join();
}

} // namespace
} // namespace sampling_test
