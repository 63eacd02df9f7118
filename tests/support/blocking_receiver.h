#pragma once

#include <QCoreApplication>
#include <QEvent>
#include <QObject>

#include <functional>

namespace testsupport
{

// Runs `handler` inside the delivery of a posted QEvent::User, as a slow event handler of
// the host would.
class BlockingReceiver : public QObject
{
public:
    explicit BlockingReceiver(std::function<void()> handler) : handler_(std::move(handler)) {}

    // Posts one event and lets the event loop deliver it.
    void deliverOnce()
    {
        QCoreApplication::postEvent(this, new QEvent(QEvent::User));
        QCoreApplication::processEvents();
    }

protected:
    bool event(QEvent *event) override
    {
        if (event->type() != QEvent::User)
            return QObject::event(event);
        handler_();
        return true;
    }

private:
    std::function<void()> handler_;
};

} // namespace testsupport
