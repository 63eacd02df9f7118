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
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <thread>

namespace
{

using Sample = std::vector<std::uint64_t>;

// Runs `handler` on the GUI thread while it receives a QEvent::User.
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

// Blocks the GUI thread until `condition` holds, napping in short sleeps (ThreadSanitizer
// holds a signal back from a thread waiting on a condition variable, not from one asleep).
template <typename Condition>
bool napUntil(Condition condition)
{
    return testsupport::pollUntil(condition, std::chrono::seconds(30),
                                  std::chrono::milliseconds(1));
}

// What the watchdog did. Never destroyed: a tick in flight may still record after the test.
struct WatchdogRecord {
    std::mutex samplesMutex;
    std::vector<Sample> samples;
    std::atomic<int> dumps{0}, lagReports{0}, stuckReports{0};
};

TEST(ModuleSampling, HandlerBlockedInOnePlaceGivesExactlyOneLagDumpFromRealSamples)
{
    static WatchdogRecord &r = *new WatchdogRecord;
    ANRCollector *collector = KeelAnrInternals::collector();
    const auto *actions = new ANRCollector::EpisodeActions{
        [collector] {
            Sample sample = collector->captureMainThreadStack();
            std::lock_guard<std::mutex> lock(r.samplesMutex);
            r.samples.push_back(sample);
            return sample;
        },
        [] {
            r.dumps.fetch_add(1);
            return std::string("lag.dmp");
        },
        [](std::string, QString) { r.stuckReports.fetch_add(1); },
        [](std::string, long long, QString) { r.lagReports.fetch_add(1); }};
    collector->mainThread = platform::openCurrentThread();
    collector->thresholds.stuckFirstTime = 600'000;
    collector->thresholds.lagFirstTime = 50;
    collector->thresholds.lagSampleRate = 10;
    collector->setEpisodeActionsForTesting(actions);
    auto *filter = new ANREventFilter(collector, QCoreApplication::instance());
    filter->enabled = true;
    QCoreApplication::instance()->installEventFilter(filter);

    HandlerObject receiver;
    const auto deliver = [&](std::function<void()> handler) {
        receiver.handler = std::move(handler);
        QEvent event(QEvent::User);
        QCoreApplication::sendEvent(&receiver, &event);
    };
    deliver([&] { EXPECT_TRUE(napUntil([&] { return r.dumps.load() > 0; })); });
    // The lag is reported by a tick during the next delivery.
    deliver([&] { EXPECT_TRUE(napUntil([&] { return r.lagReports.load() > 0; })); });
    filter->enabled = false;
    collector->iterationEnd();

    std::lock_guard<std::mutex> lock(r.samplesMutex);
    EXPECT_EQ(r.dumps, 1);
    EXPECT_EQ(r.lagReports, 1);
    EXPECT_EQ(r.stuckReports, 0);
    ASSERT_FALSE(r.samples.empty());
    EXPECT_FALSE(r.samples.back().empty())
        << "the dump came from failed captures, not from real samples";
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
    std::thread([&] {
        EXPECT_TRUE(collector->captureMainThreadStack().empty());
        EXPECT_TRUE(collector->captureMainThreadStack().empty());
        dumpPath = collector->writeMiniDump();
    }).join();
    QFile dump(QString::fromStdString(dumpPath));
    ASSERT_TRUE(dump.open(QIODevice::ReadOnly)) << dumpPath;
    EXPECT_EQ(dump.read(4), "MDMP");
    EXPECT_EQ(standin::log::lines(),
              (std::vector<std::string>{"anr stack sampling off: libunwind.so.8 not loaded",
                                        "anr dump create success"}));

    platform::linux_impl::setUnwindLibraryForTesting(nullptr);
    std::thread([&] { EXPECT_FALSE(collector->captureMainThreadStack().empty()); }).join();
}

} // namespace
