#include "anr/probes.h"

#include "anr/anr_collector.h"
#include "anr/anr_event_filter.h"
#include "anr/keel_anr_internals.h"
#include "anr/log.h"

void aboutToBlockProbe()
{
    ANREventFilter *filter = KeelAnrInternals::eventFilter();
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
