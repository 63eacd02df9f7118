// What a developer receives from the module, gathered from the stand-in SDK after a run:
// the events with their reports, the uploaded dumps, what stayed in the cache, and the GUI
// thread's backtrace read from a dump with lldb.
#pragma once

#include "demo_options.h"
#include "hang_scenarios.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>

struct DemoRun {
    DemoOptions options;
    QString workDir;
    QString cacheDir;
    QList<Hang> hangs;
    // The retry scenario: what the first process cached and what the second one sent.
    QJsonObject retry;
};

// The files under `cacheDir`, relative to it.
QJsonArray cacheListing(const QString &cacheDir);

// Everything above as one JSON object.
QJsonObject collectDemoResult(const DemoRun &run);
// The same for a person: what was detected, when, how long, where the dump went.
void printDemoResult(const QJsonObject &result);
