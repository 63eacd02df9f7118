#include "detector/anr_event_filter.h"

#include "detector/anr_collector.h"

ANREventFilter::ANREventFilter(ANRCollector *collector, QObject *parent)
    : QObject(parent), collector(collector)
{
}

ANREventFilter::~ANREventFilter()
{
    collector = nullptr;
}

bool ANREventFilter::eventFilter(QObject *watched, QEvent *event)
{
    if (enabled.load(std::memory_order_relaxed) && collector) {
        collector->iterationNext();
    }
    return QObject::eventFilter(watched, event);
}
