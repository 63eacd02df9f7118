#include "demo_options.h"

#include <QCommandLineParser>

namespace
{

const QStringList kScenarioNames{"lag", "stuck", "both", "healthy", "retry"};

} // namespace

QString scenarioName(DemoOptions::Scenario scenario)
{
    return kScenarioNames.at(static_cast<int>(scenario));
}

DemoOptions parseDemoOptions(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Starts libkeelANR in a small Qt application, hangs the GUI thread on purpose and "
        "shows what the module reports.");
    parser.addHelpOption();
    const QCommandLineOption scenario(
        "scenario", "What to do: lag, stuck, both (default), healthy, retry.", "name", "both");
    const QCommandLineOption lag("lag-ms", "lag_first_time the client delivers (300).", "ms",
                                 "300");
    const QCommandLineOption stuck("stuck-ms", "stuck_first_time the client delivers (1500).", "ms",
                                   "1500");
    const QCommandLineOption sample("sample-ms", "lag_sample_rate the client delivers (20).", "ms",
                                    "20");
    const QCommandLineOption dir("dir", "Working directory (default: a new temporary one).",
                                 "path");
    const QCommandLineOption json("json", "Print one JSON object instead of the text report.");
    const QCommandLineOption noLldb("no-lldb", "Do not read a backtrace from a dump with lldb.");
    QCommandLineOption secondRun("retry-second-run");
    secondRun.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOptions({scenario, lag, stuck, sample, dir, json, noLldb, secondRun});
    parser.process(arguments);

    DemoOptions options;
    const int scenarioIndex = kScenarioNames.indexOf(parser.value(scenario));
    if (scenarioIndex < 0) {
        qCritical("unknown scenario '%s'", qPrintable(parser.value(scenario)));
        parser.showHelp(2);
    }
    options.scenario = static_cast<DemoOptions::Scenario>(scenarioIndex);
    bool ok[3];
    options.lagMs = parser.value(lag).toLongLong(&ok[0]);
    options.stuckMs = parser.value(stuck).toLongLong(&ok[1]);
    options.sampleMs = parser.value(sample).toLongLong(&ok[2]);
    if (!ok[0] || !ok[1] || !ok[2] || options.lagMs <= 0 || options.stuckMs <= options.lagMs ||
        options.sampleMs <= 0) {
        qCritical("thresholds must be positive numbers with stuck-ms above lag-ms");
        parser.showHelp(2);
    }
    options.workDir = parser.value(dir);
    options.json = parser.isSet(json);
    options.lldb = !parser.isSet(noLldb);
    options.retrySecondRun = parser.isSet(secondRun);
    return options;
}
