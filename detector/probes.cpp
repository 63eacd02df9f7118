#include "detector/probes.h"

#include "detector/anr_collector.h"
#include "detector/anr_event_filter.h"
#include "log/log.h"

void aboutToBlockProbe(const ANREventFilter *filter)
{
    if (filter && filter->enabled.load(std::memory_order_relaxed) && filter->collector)
        filter->collector->iterationEnd();
}

void applicationStateProbe(ANRCollector *collector, Qt::ApplicationState state)
{
    const bool active = state == Qt::ApplicationActive;
    logMessage(active ? "[ANR] applicationState Active" : "[ANR] applicationState InActive");
    collector->setAppActive(active);
}

void backgroundStateProbe(ANRCollector *collector, bool active)
{
    logMessage(active ? "[ANR] backgroundState Active" : "[ANR] backgroundState InActive");
    collector->setAppActive(active);
}
