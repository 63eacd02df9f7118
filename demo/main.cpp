// A small Qt host application that shows libkeelANR at work: it starts the module, has its
// (stand-in) analytics client switch detection on with short thresholds, hangs its GUI
// thread on purpose and prints what a developer receives.
#include "demo_options.h"
#include "demo_report.h"
#include "hang_scenarios.h"

#include "keel.h"
#include "keel_anr.h"
#include "keel_standin.h"
#include "upload_standin.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QWindow>

#include <cstdio>
#include <unistd.h>

namespace
{

// Without a display the demo runs offscreen; with one it shows a window.
void choosePlatform()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

// --json keeps standard output for the result: the module's log lines go to stderr.
int reserveStdoutForJson()
{
    std::fflush(stdout);
    const int savedStdout = dup(STDOUT_FILENO);
    dup2(STDERR_FILENO, STDOUT_FILENO);
    return savedStdout;
}

void configureClient(const DemoOptions &options)
{
    Keel::instance()->processName =
        QFileInfo(QCoreApplication::applicationFilePath()).fileName().toStdString();
    Tally::instance()->projectVersion = "demo-1.0";
    // The module's log lines ("<[keel]> ...") show what it does as it happens; they also
    // tell the demo when a lag dump has been written.
    standin::log::enable();
    standin::tally::setCloudConfiguration({{"lag_sw", "1"},
                                           {"lag_first_time", std::to_string(options.lagMs)},
                                           {"stuck_first_time", std::to_string(options.stuckMs)},
                                           {"lag_sample_rate", std::to_string(options.sampleMs)}});
}

// Waits until the watchdog has written the cached report of a failed upload: the report
// file appears last, after the dump has been moved.
QString waitForCachedReport(const QString &cacheDir)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 30'000) {
        QDirIterator it(cacheDir, {"*.json"}, QDir::Files, QDirIterator::Subdirectories);
        if (it.hasNext())
            return QFileInfo(it.next()).dir().dirName();
        QThread::msleep(10);
    }
    return {};
}

// The retry scenario: a stuck episode whose upload fails stays in the cache; a second
// process started on the same directory, with the upload working again, sends it.
QJsonObject runRetryScenario(DemoRun &run)
{
    standin::upload::setDefaultReply(standin::upload::error(503, "demo: upload service down"));
    run.hangs.append(runStuckScenarioWithFailingUpload());
    const QString guid = waitForCachedReport(run.cacheDir);
    QJsonObject retry{{"cached_guid", guid},
                      {"cached_before_second_start", cacheListing(run.cacheDir)}};

    QProcess second;
    second.setProcessChannelMode(QProcess::SeparateChannels);
    second.start(
        QCoreApplication::applicationFilePath(),
        {"--scenario", "retry", "--retry-second-run", "--dir", run.workDir, "--json", "--no-lldb"});
    second.waitForFinished(120'000);
    const QJsonObject secondResult =
        QJsonDocument::fromJson(second.readAllStandardOutput()).object();
    const QJsonArray events = secondResult["events"].toArray();
    bool sentWithOriginalGuid = false;
    for (const auto &event : events)
        sentWithOriginalGuid |= event.toObject()["guid"].toString() == guid && !guid.isEmpty();
    retry["second_start_events"] = events;
    retry["sent_with_original_guid"] = sentWithOriginalGuid;
    return retry;
}

// The second process of the retry scenario: the retry runs on its own thread at start.
void awaitRetryOfCachedReport(const DemoRun &run)
{
    standin::tally::waitForEvents("keel_stuck_info", 1, std::chrono::seconds(60));
    // The retry deletes the report's directory right after sending it.
    QElapsedTimer timer;
    timer.start();
    while (!QDir(run.cacheDir).entryList(QDir::Dirs | QDir::NoDotAndDotDot).isEmpty() &&
           timer.elapsed() < 30'000)
        QThread::msleep(10);
}

} // namespace

int main(int argc, char **argv)
{
    choosePlatform();
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // the module's log lines as they happen
    QGuiApplication application(argc, argv);
    const DemoOptions options = parseDemoOptions(application.arguments());
    const int resultOutput = options.json ? reserveStdoutForJson() : -1;

    QTemporaryDir temporary(QDir::temp().filePath("keel-anr-demo-XXXXXX"));
    temporary.setAutoRemove(false); // the dumps and reports are the point: keep them
    DemoRun run{
        options, options.workDir.isEmpty() ? temporary.path() : options.workDir, {}, {}, {}};
    QDir().mkpath(run.workDir);
    run.cacheDir = QDir(run.workDir).filePath("keel-anr-cache");
    standin::upload::setUploadDirectory(QDir(run.workDir).filePath("uploads").toStdString());

    QWindow window;
    if (QGuiApplication::platformName() != "offscreen") {
        window.setTitle("libkeelANR demo");
        window.resize(320, 120);
        window.show();
    }

    configureClient(options);
    KeelAnr::start(run.workDir);
    standin::tally::waitUntilIdle(); // the configuration has switched detection on

    using Scenario = DemoOptions::Scenario;
    switch (options.scenario) {
    case Scenario::Lag: run.hangs.append(runLagScenario()); break;
    case Scenario::Stuck: run.hangs.append(runStuckScenario()); break;
    case Scenario::Both:
        run.hangs.append(runLagScenario());
        run.hangs.append(runStuckScenario());
        break;
    case Scenario::Healthy: run.hangs.append(runHealthyScenario(options.lagMs)); break;
    case Scenario::Retry:
        if (options.retrySecondRun)
            awaitRetryOfCachedReport(run);
        else
            run.retry = runRetryScenario(run);
        break;
    }
    KeelAnr::stop();
    standin::upload::waitUntilIdle();

    const QJsonObject result = collectDemoResult(run);
    if (options.json) {
        const QByteArray text = QJsonDocument(result).toJson(QJsonDocument::Indented);
        std::fflush(stdout); // log lines still buffered belong to stderr
        dup2(resultOutput, STDOUT_FILENO);
        std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
        std::fflush(stdout);
        dup2(STDERR_FILENO, STDOUT_FILENO); // the module's last words at exit
    } else {
        printDemoResult(result);
    }
    std::fflush(stdout);
    return 0;
}
