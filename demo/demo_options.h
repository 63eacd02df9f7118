// Command line of the demo host application.
#pragma once

#include <QString>
#include <QStringList>

struct DemoOptions {
    enum class Scenario { Lag, Stuck, Both, Healthy, Retry };

    Scenario scenario = Scenario::Both;
    long long lagMs = 300;
    long long stuckMs = 1500;
    long long sampleMs = 20;
    QString workDir; // empty: a fresh temporary directory
    bool json = false;
    bool lldb = true;
    // Internal: the second process of the retry scenario.
    bool retrySecondRun = false;
};

// Parses the arguments; on error or --help prints usage and exits.
DemoOptions parseDemoOptions(const QStringList &arguments);

QString scenarioName(DemoOptions::Scenario scenario);
