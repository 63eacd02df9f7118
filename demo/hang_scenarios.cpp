#include "hang_scenarios.h"

#include "keel_standin.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QEvent>
#include <QObject>

#include <chrono>
#include <functional>
#include <thread>

namespace
{

// The module reports an episode within a second or so, under Wine too; this only bounds a
// broken run.
constexpr std::chrono::seconds kSafetyTimeout{120};

class Handler : public QObject
{
public:
    explicit Handler(std::function<void()> body) : body_(std::move(body)) {}

    // Posts one event and lets the event loop deliver it, as a host's own event would be.
    void deliver()
    {
        QCoreApplication::postEvent(this, new QEvent(QEvent::User));
        QCoreApplication::processEvents();
    }

protected:
    bool event(QEvent *event) override
    {
        if (event->type() != QEvent::User)
            return QObject::event(event);
        body_();
        return true;
    }

private:
    std::function<void()> body_;
};

// Runs `hang` inside an event delivery and measures it.
Hang timedDelivery(const QString &function, const std::function<bool()> &hang)
{
    Hang result{function, QDateTime::currentMSecsSinceEpoch(), 0, false};
    QElapsedTimer timer;
    timer.start();
    Handler handler([&] { result.detected = hang(); });
    handler.deliver();
    result.blockedMs = timer.elapsed();
    return result;
}

} // namespace

// noinline keeps each name on the stack, where the dump's backtrace shows it.
__attribute__((noinline)) bool demoHangInLayoutPass()
{
    return standin::log::waitFor("anr dump create", kSafetyTimeout);
}

__attribute__((noinline)) bool demoHangInStuckHandler()
{
    return standin::tally::waitForEvents("keel_stuck_info", 1, kSafetyTimeout);
}

__attribute__((noinline)) bool demoHangWhileUploadsFail()
{
    return standin::log::waitFor("[ANR] upload failed", kSafetyTimeout);
}

__attribute__((noinline)) bool demoShortFollowUpWork()
{
    return standin::tally::waitForEvents("keel_lag_info", 1, kSafetyTimeout);
}

Hang runLagScenario()
{
    standin::log::clear();
    Hang hang = timedDelivery("demoHangInLayoutPass", [] { return demoHangInLayoutPass(); });
    // The lag is reported by the first watchdog tick that finds a later delivery under way.
    const Hang followUp =
        timedDelivery("demoShortFollowUpWork", [] { return demoShortFollowUpWork(); });
    hang.detected = hang.detected && followUp.detected;
    return hang;
}

Hang runStuckScenario()
{
    return timedDelivery("demoHangInStuckHandler", [] { return demoHangInStuckHandler(); });
}

Hang runStuckScenarioWithFailingUpload()
{
    standin::log::clear();
    return timedDelivery("demoHangWhileUploadsFail", [] { return demoHangWhileUploadsFail(); });
}

Hang runHealthyScenario(long long lagMs)
{
    Hang run{"demoQuickHandler", QDateTime::currentMSecsSinceEpoch(), 0, false};
    QElapsedTimer timer;
    timer.start();
    // Each delivery stays well below the lag threshold.
    Handler quick([lagMs] { std::this_thread::sleep_for(std::chrono::milliseconds(lagMs / 10)); });
    for (int i = 0; i < 10; ++i)
        quick.deliver();
    run.blockedMs = timer.elapsed();
    return run;
}
