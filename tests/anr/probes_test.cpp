// The event-loop and application-state probes, on a real QGuiApplication.
#include "anr/keel_anr.h"
#include "detector/anr_collector.h"
#include "detector/anr_event_filter.h"
#include "keel.h"
#include "support/module_fixture.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QTimer>
#include <gtest/gtest.h>
#include <qpa/qwindowsysteminterface.h>

#include <atomic>

namespace
{

std::atomic<long long> fakeNow{1000};
long long fakeClock()
{
    return fakeNow.load();
}

// Counts what reaches it and can run a nested delivery from inside its handler.
class Receiver : public QObject
{
public:
    bool event(QEvent *event) override
    {
        if (event->type() != QEvent::User)
            return QObject::event(event);
        ++received;
        if (onEvent)
            onEvent();
        return true;
    }
    int received = 0;
    std::function<void()> onEvent;
};

class EventFilterProbe : public testing::Test
{
protected:
    void SetUp() override
    {
        collector = ANRCollector::createWithoutWatchdogForTesting();
        collector->setClockForTesting(&fakeClock);
        filter = new ANREventFilter(collector.get(), qApp);
        qApp->installEventFilter(filter);
    }
    void TearDown() override { delete filter; }

    void send()
    {
        QEvent event(QEvent::User);
        QCoreApplication::sendEvent(&receiver, &event);
    }

    std::unique_ptr<ANRCollector> collector;
    ANREventFilter *filter = nullptr;
    Receiver receiver;
};

// Every event, a nested one too, starts a delivery at its own instant; none is consumed.
TEST_F(EventFilterProbe, EveryEventStartsADeliveryAndNoneIsConsumed)
{
    filter->enabled = true;
    Receiver inner;
    long long startSeenInside = -1;
    receiver.onEvent = [&] {
        fakeNow = 9000;
        QEvent nested(QEvent::User);
        QCoreApplication::sendEvent(&inner, &nested);
        startSeenInside = collector->delivery.iterationStart.load();
    };
    fakeNow = 1000;
    send();
    EXPECT_EQ(receiver.received, 1);
    EXPECT_EQ(inner.received, 1);
    EXPECT_EQ(startSeenInside, 9000) << "the nested event started a delivery of its own";
    EXPECT_EQ(collector->delivery.iterationStart.load(), 9000) << "open until the next event";

    QEvent event(QEvent::User);
    EXPECT_FALSE(filter->eventFilter(&receiver, &event));
    QEvent close(QEvent::Close);
    EXPECT_FALSE(filter->eventFilter(&receiver, &close));
}

// The module as started by a host: aboutToBlock and the two state probes.
class ModuleProbes : public testing::Test
{
protected:
    void SetUp() override
    {
        testsupport::startModuleOnce();
        standin::log::clear();
    }
};

TEST_F(ModuleProbes, AboutToBlockClosesTheDeliveryBeforeTheLoopWaits)
{
    testsupport::deliver(
        {{"lag_sw", "1"}, {"lag_first_time", "600000"}, {"stuck_first_time", "600000"}});
    ANRCollector *collector = testsupport::collector();

    // Connected after the module's probe, so it runs right after it. The first blocking
    // pass after the delivery quits the loop; the timer only bounds the test if the
    // dispatcher never announces one.
    QEventLoop loop;
    Receiver receiver;
    std::vector<long long> startsWhenBlocking;
    QAbstractEventDispatcher *dispatcher = QCoreApplication::eventDispatcher();
    auto connection = QObject::connect(
        dispatcher, &QAbstractEventDispatcher::aboutToBlock, dispatcher,
        [&] {
            startsWhenBlocking.push_back(collector->delivery.iterationStart.load());
            if (receiver.received > 0)
                loop.quit();
        },
        Qt::DirectConnection);

    long long startDuringDelivery = 0;
    receiver.onEvent = [&] { startDuringDelivery = collector->delivery.iterationStart.load(); };
    QCoreApplication::postEvent(&receiver, new QEvent(QEvent::User));
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    loop.exec();
    QObject::disconnect(connection);

    EXPECT_EQ(receiver.received, 1);
    EXPECT_GT(startDuringDelivery, 0);
    ASSERT_FALSE(startsWhenBlocking.empty());
    EXPECT_EQ(startsWhenBlocking.back(), 0) << "idle time never counts towards an episode";
}

void changeApplicationState(Qt::ApplicationState state)
{
    QWindowSystemInterface::handleApplicationStateChanged(state);
    QCoreApplication::processEvents();
}

// Both state probes, while the module runs and after stop, which leaves them connected.
TEST_F(ModuleProbes, StateProbesDriveAppActiveBeforeAndAfterStop)
{
    ANRCollector *collector = testsupport::collector();
    for (const bool stopped : {false, true}) {
        SCOPED_TRACE(stopped ? "after stop" : "running");
        if (stopped) {
            KeelAnr::stop();
            KeelAnr::stop();
            EXPECT_FALSE(Keel::instance()->initEventCallback);
            EXPECT_FALSE(testsupport::eventFilter()->enabled.load());
        }
        for (Qt::ApplicationState state : {Qt::ApplicationInactive, Qt::ApplicationHidden}) {
            standin::log::clear();
            changeApplicationState(Qt::ApplicationActive);
            EXPECT_TRUE(collector->appActive.load());
            EXPECT_TRUE(standin::log::contains("[ANR] applicationState Active"));
            changeApplicationState(state);
            EXPECT_FALSE(collector->appActive.load()) << state;
            EXPECT_TRUE(standin::log::contains("[ANR] applicationState InActive")) << state;
        }
        standin::keel::fireBackgroundState(true);
        EXPECT_TRUE(collector->appActive.load());
        EXPECT_TRUE(standin::log::contains("[ANR] backgroundState Active"));
        standin::keel::fireBackgroundState(false);
        EXPECT_FALSE(collector->appActive.load());
        EXPECT_TRUE(standin::log::contains("[ANR] backgroundState InActive"));
    }
}

} // namespace
