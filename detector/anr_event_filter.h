// Application-wide event filter: marks where each GUI-thread event delivery begins.
// It never consumes or changes an event.
#pragma once

#include <QObject>

#include <atomic>

class ANRCollector;

class ANREventFilter : public QObject
{
public:
    explicit ANREventFilter(ANRCollector *collector, QObject *parent = nullptr);
    ~ANREventFilter() override;

    bool eventFilter(QObject *watched, QEvent *event) override;

    ANRCollector *collector;
    // Written by the configuration handler's thread and by stop; read per event.
    std::atomic<bool> enabled{false};
};
