// Access to KeelAnr's private parts for the module's own handlers (the cloud
// configuration handler, the probes) and for tests.
#pragma once

#include "anr/keel_anr.h"

class ANREventFilter;

struct KeelAnrInternals {
    static ANRCollector *collector() { return KeelAnr::anrCollector(); }
    // Null before start.
    static ANREventFilter *eventFilter();
    static void retryFailedCache() { KeelAnr::retryFailedCache(); }
};
