// Access to KeelAnr's private parts for tests; the module's own code never uses it.
#pragma once

#include "anr/keel_anr.h"
#include "detector/anr_event_filter.h"

struct KeelAnrInternals {
    static ANRCollector *collector() { return KeelAnr::anrCollector(); }
    // Null before start.
    static ANREventFilter *eventFilter()
    {
        return static_cast<ANREventFilter *>(KeelAnr::anrEventFilter);
    }
    static void retryFailedCache() { KeelAnr::retryFailedCache(); }
};
