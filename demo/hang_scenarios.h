// GUI-thread event handlers that hang on purpose, each inside a function with a name that
// a developer would look for in a backtrace.
#pragma once

#include <QString>

struct Hang {
    QString function;    // where the GUI thread sat
    long long startedMs; // wall clock
    long long blockedMs;
    bool detected; // the module reacted before the safety timeout
};

// Blocks one event delivery in place until the module has written its lag dump (three
// identical stack samples), then lets a short follow-up delivery run until the lag report
// is sent.
Hang runLagScenario();
// Blocks one event delivery until the module has sent its stuck report.
Hang runStuckScenario();
// The same while the upload service is down: blocks until the module has given up the
// upload and cached the report.
Hang runStuckScenarioWithFailingUpload();
// A few quick deliveries; the module must stay silent.
Hang runHealthyScenario(long long lagMs);
