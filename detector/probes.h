// The three probes besides the event filter: event loop about to block, application state
// (Qt) and background state (host SDK).
#pragma once

#include <Qt>

class ANRCollector;
class ANREventFilter;

// `filter` is the installed filter as read at the time of the call; null before start.
void aboutToBlockProbe(const ANREventFilter *filter);
void applicationStateProbe(ANRCollector *collector, Qt::ApplicationState state);
void backgroundStateProbe(ANRCollector *collector, bool active);
