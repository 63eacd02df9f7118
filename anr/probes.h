// The three probes besides the event filter: event loop about to block, application state
// (Qt) and background state (host SDK).
#pragma once

#include <Qt>

class ANRCollector;

void aboutToBlockProbe();
void applicationStateProbe(ANRCollector *collector, Qt::ApplicationState state);
void backgroundStateProbe(ANRCollector *collector, bool active);
