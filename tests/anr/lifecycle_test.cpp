// KeelAnr::start and stop as a host calls them, and the probes they wire: the event filter,
// aboutToBlock and the two application-state callbacks, on a real QGuiApplication.
#include "anr/keel_anr.h"
#include "config/startup_event.h"
#include "keel.h"
#include "platform/clock.h"
#include "support/blocking_receiver.h"
#include "support/module_fixture.h"
#include "support/sanitizers.h"

#include <QAbstractEventDispatcher>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QTimer>
#include <gtest/gtest.h>
#include <qpa/qwindowsysteminterface.h>

#include <atomic>
#include <cstdlib>
#include <new>

// Counts the event path's allocations. Not on Windows: the C++ runtime DLL allocates out of sight.
#if !defined(_WIN32)
thread_local long long allocationsOnThisThread = 0;

void *operator new(std::size_t size)
{
    ++allocationsOnThisThread;
    if (void *memory = std::malloc(size ? size : 1))
        return memory;
    throw std::bad_alloc();
}
void operator delete(void *memory) noexcept
{
    std::free(memory);
}
void operator delete(void *memory, std::size_t) noexcept
{
    std::free(memory);
}
#endif

namespace
{

using testsupport::BlockingReceiver;

std::atomic<long long> fakeNow{1000};

// Every event, a nested one too, starts a delivery at its own instant; none is consumed, and
// the GUI thread's path allocates and logs nothing.
TEST(EventFilter, EveryEventStartsADeliveryNoneIsConsumedAndNothingIsAllocated)
{
    auto collector = ANRCollector::createWithoutWatchdogForTesting();
    collector->setClockForTesting([] { return fakeNow.fetch_add(1); }); // every delivery lasts
    ANREventFilter filter(collector.get());
    qApp->installEventFilter(&filter);
    filter.enabled = true;
    long long startSeenInside = -1;
    BlockingReceiver inner([] {});
    BlockingReceiver outer([&] {
        fakeNow = 9000;
        QEvent nested(QEvent::User);
        QCoreApplication::sendEvent(&inner, &nested);
        startSeenInside = collector->deliveryStartForTesting();
    });
    QEvent event(QEvent::User);
    QCoreApplication::sendEvent(&outer, &event);
    EXPECT_EQ(startSeenInside, 9000) << "the nested event started a delivery of its own";
    EXPECT_EQ(collector->deliveryStartForTesting(), 9000) << "open until the next event";
    EXPECT_FALSE(filter.eventFilter(&outer, &event));

#if !defined(_WIN32)
    if (testsupport::kThreadSanitizer)
        return; // its operator new bypasses the counting one
    standin::log::enable();
    const std::size_t linesBefore = standin::log::lines().size();
    // Every delivery becomes a lag before the filter closes it: the longest path.
    collector->applyThresholds({1, 1'000'000'000, 1});
    const ANRCollector::EpisodeActions still{[] { return std::vector<std::uint64_t>{1}; },
                                             [] { return std::string(); }, [](std::string) {},
                                             [](std::string, long long) {}};
    collector->setEpisodeActionsForTesting(&still);
    long long before = allocationsOnThisThread;
    int *volatile probe = new int(7); // volatile: the compiler may drop a new-delete pair
    delete probe;
    ASSERT_EQ(allocationsOnThisThread - before, 1) << "the counter counts";
    long long onTheEventPath = 0;
    for (int i = 0; i < 200; ++i) {
        for (int tick = 0; tick < 4; ++tick)
            collector->watchdogTick();
        before = allocationsOnThisThread;
        filter.eventFilter(&outer, &event);
        onTheEventPath += allocationsOnThisThread - before;
    }
    EXPECT_EQ(onTheEventPath, 0);
    EXPECT_EQ(standin::log::lines().size(), linesBefore);
    EXPECT_GT(collector->pendingLagForTesting(), 0) << "the lag branch was taken";
    collector->setEpisodeActionsForTesting(nullptr);
#endif
}

void changeApplicationState(Qt::ApplicationState state)
{
    QWindowSystemInterface::handleApplicationStateChanged(state);
    QCoreApplication::processEvents();
}

// One host's run: start twice, deliveries before and after detection is switched on, the loop
// going idle, the init callback, the state probes, then stop twice (the probes stay connected).
TEST(Lifecycle, StartWiresEverythingOnceAndStopUnwiresTheEventPath)
{
    standin::log::enable();
    Keel::instance()->processName = "lifecycle host";
    const long long before = platform::wallClockMs();
    testsupport::startModuleOnce();
    const long long after = platform::wallClockMs();

    EXPECT_GE(KeelAnr::startTime, before);
    EXPECT_LE(KeelAnr::startTime, after);
    EXPECT_TRUE(standin::log::contains("KeelAnr start 1 lifecycle host"));
    ANRCollector *collector = KeelAnrInternals::collector();
    const QString cacheDir = QDir(testsupport::moduleDirectory()).filePath("keel-anr-cache");
    EXPECT_NE(collector->dumpSink(), nullptr);
    EXPECT_TRUE(QFileInfo(cacheDir).isDir());
    const ANREventFilter *filter = KeelAnrInternals::eventFilter();
    ASSERT_NE(filter, nullptr);
    EXPECT_EQ(filter->parent(), qApp);
    EXPECT_FALSE(filter->enabled.load()) << "installed disabled";

    // A second start changes nothing and says so in one line.
    standin::log::clear();
    QTemporaryDir other;
    KeelAnr::start(other.path());
    standin::tally::waitUntilIdle();
    EXPECT_EQ(standin::log::lines(),
              std::vector<std::string>{"KeelAnr start ignored: already started"});
    EXPECT_EQ(KeelAnrInternals::eventFilter(), filter) << "no second filter";
    EXPECT_FALSE(QDir(other.path()).exists("keel-anr-cache")) << "no second cache either";

    // Nothing is measured before detection is on; aboutToBlock closes the delivery before the
    // loop waits, so idle time never counts. The timer only bounds the test.
    long long startSeen = -1;
    BlockingReceiver receiver([&] { startSeen = collector->deliveryStartForTesting(); });
    receiver.deliverOnce();
    EXPECT_EQ(startSeen, 0);
    testsupport::deliver(
        {{"lag_sw", "1"}, {"lag_first_time", "600000"}, {"stuck_first_time", "600000"}});
    QEventLoop loop;
    long long startWhenBlocking = -1;
    QAbstractEventDispatcher *dispatcher = QCoreApplication::eventDispatcher();
    auto connection = QObject::connect(
        dispatcher, &QAbstractEventDispatcher::aboutToBlock, dispatcher,
        [&] {
            startWhenBlocking = collector->deliveryStartForTesting();
            if (startSeen > 0)
                loop.quit();
        },
        Qt::DirectConnection);
    QCoreApplication::postEvent(&receiver, new QEvent(QEvent::User));
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    loop.exec();
    QObject::disconnect(connection);
    EXPECT_GT(startSeen, 0);
    EXPECT_EQ(startWhenBlocking, 0);

    // The init callback sends the identity the host has when it fires it.
    standin::tally::clearEvents();
    Keel::instance()->processName = "renamed";
    Keel::instance()->isMainProcess = false;
    standin::keel::fireInitEvent();
    const auto events = standin::tally::eventsNamed("keel_orlaanr_init");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].payload,
              startupEventPayload(1, false, "renamed",
                                  std::to_string(QCoreApplication::applicationPid())));
    EXPECT_EQ(events[0].guid, "");
    EXPECT_EQ(events[0].first, 2);
    EXPECT_EQ(events[0].second, 1);
    EXPECT_FALSE(events[0].hasDone) << "sent without a callback";

    for (const bool stopped : {false, true}) {
        SCOPED_TRACE(stopped ? "after stop" : "running");
        if (stopped) {
            KeelAnr::stop();
            KeelAnr::stop();
            EXPECT_FALSE(KeelAnrInternals::eventFilter()->enabled.load());
            standin::keel::fireInitEvent();
            EXPECT_EQ(standin::tally::eventsNamed("keel_orlaanr_init").size(), 1u);
        }
        for (Qt::ApplicationState state : {Qt::ApplicationInactive, Qt::ApplicationHidden}) {
            standin::log::clear();
            changeApplicationState(Qt::ApplicationActive);
            EXPECT_TRUE(collector->isAppActive());
            EXPECT_TRUE(standin::log::contains("[ANR] applicationState Active"));
            changeApplicationState(state);
            EXPECT_FALSE(collector->isAppActive()) << state;
            EXPECT_TRUE(standin::log::contains("[ANR] applicationState InActive")) << state;
        }
        standin::keel::fireBackgroundState(true);
        EXPECT_TRUE(collector->isAppActive());
        EXPECT_TRUE(standin::log::contains("[ANR] backgroundState Active"));
        standin::keel::fireBackgroundState(false);
        EXPECT_FALSE(collector->isAppActive());
        EXPECT_TRUE(standin::log::contains("[ANR] backgroundState InActive"));
    }
    testsupport::deliver({{"lag_sw", "1"}});
    ASSERT_EQ(standin::tally::eventsNamed("keel_orlaanr_init").size(), 2u)
        << "an open delivery still announces the start after stop";
    EXPECT_NE(standin::tally::eventsNamed("keel_orlaanr_init")[1].payload.find("\"type\":0"),
              std::string::npos);
}

// A cache that cannot be made (a file where it belongs) keeps nothing anywhere, not even in
// the working directory: a stuck episode has no dump and its report is sent directly.
TEST(Lifecycle, UnusableCacheWritesNothingAndSendsReportsDirectly)
{
    QTemporaryDir parent, workingDirectory;
    const QString cacheInTheWay = parent.filePath("keel-anr-cache");
    QFile file(cacheInTheWay);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write("a file") == 6);
    file.close();
    ASSERT_TRUE(QDir::setCurrent(workingDirectory.path()));
    standin::log::enable();
    standin::tally::setCloudConfiguration({{"lag_sw", "1"},
                                           {"lag_first_time", "600000"},
                                           {"stuck_first_time", "100"},
                                           {"lag_sample_rate", "10"}});

    KeelAnr::start(parent.path());
    standin::tally::waitUntilIdle();
    EXPECT_EQ(KeelAnrInternals::collector()->dumpSink(), nullptr);
    EXPECT_NE(KeelAnrInternals::eventFilter(), nullptr) << "start completes all the same";
    ASSERT_TRUE(KeelAnrInternals::eventFilter()->enabled.load()) << "the delivered switch applies";
    testsupport::BlockingReceiver([] {
        EXPECT_TRUE(
            standin::tally::waitForEvents("keel_stuck_info", 1, testsupport::kSafetyTimeout));
    }).deliverOnce();
    KeelAnr::stop();

    const auto sent = standin::tally::eventsNamed("keel_stuck_info");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_NE(sent[0].payload.find(R"("stuck_stack_dump": "")"), std::string::npos);
    EXPECT_EQ(standin::log::count("[ANR] cache unusable, nothing is kept on disk: "), 1u);
    EXPECT_EQ(QDir(workingDirectory.path())
                  .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList());
    EXPECT_EQ(QDir(parent.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList({"keel-anr-cache"}));
    EXPECT_TRUE(QFileInfo(cacheInTheWay).isFile());
}

} // namespace
