// The facade wires the layers below it: the report functions become the collector's
// episode reports, and the cloud configuration is applied to the collector and the filter.
#include "anr/keel_anr.h"

#include "config/cloud_configuration.h"
#include "config/startup_event.h"
#include "detector/anr_collector.h"
#include "detector/anr_event_filter.h"
#include "detector/probes.h"
#include "keel.h"
#include "log/log.h"
#include "platform/clock.h"
#include "platform/thread_handle.h"
#include "report/report_cache.h"
#include "report/reports.h"
#include "report/retry.h"
#include "report/upload.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDir>
#include <QGuiApplication>

#include <atomic>
#include <chrono>
#include <thread>

long long KeelAnr::startTime = 0;
QObject *KeelAnr::anrEventFilter = nullptr;

namespace
{

void reportStuckEpisode(std::string dumpPath, QString cacheDir)
{
    reportStuck(std::move(dumpPath), std::move(cacheDir), KeelAnr::startTime);
}

void reportLagEpisode(std::string dumpPath, long long durationMs, QString cacheDir)
{
    reportLag(std::move(dumpPath), durationMs, std::move(cacheDir), KeelAnr::startTime);
}

// The configuration handler: an open configuration announces the start, sets the
// collector's thresholds and then enables the filter (null before start).
void applyCloudConfiguration(std::map<std::string, std::string> delivered, ANRCollector *collector,
                             ANREventFilter *filter)
{
    const CloudConfiguration configuration = mergeCloudConfiguration(
        std::move(delivered), collector->cacheDirectory(), &writeCacheFileDurably);
    if (!configuration.open())
        return;
    const Keel *keel = Keel::instance();
    sendStartupEvent(0, keel->isMainProcess, keel->processName);
    collector->applyThresholds(
        {configuration.lagFirstTime, configuration.stuckFirstTime, configuration.lagSampleRate});
    if (filter)
        filter->enabled.store(true, std::memory_order_relaxed);
}

// How long exit may wait for the watchdog to finish its tick. A tick whose upload is cut
// short only writes its report into the cache (milliseconds); a tick blocked by the disk
// or the host SDK is left behind after this.
constexpr std::chrono::milliseconds kExitWaitForWatchdog{800};

// Ends the watchdog when the application object is destroyed (the usual end of main), and
// at the latest at static destruction or module unload; the second time is a no-op. Once
// ended, detection stays off for the rest of the process. The collector itself is never
// destroyed, so a watchdog left running past the wait still finds its fields, its episode
// actions and the upload table (also never destroyed) in place.
std::atomic<ANRCollector *> processCollector{nullptr};

void stopWatchdogForExit()
{
    cutUploadsShort();
    if (!processCollector.load()->stopWatchdog(kExitWaitForWatchdog))
        logMessage("ANRCollector watchdog left running at exit.");
}

struct WatchdogAtExit {
    ~WatchdogAtExit() { stopWatchdogForExit(); }
};

} // namespace

ANRCollector *KeelAnr::anrCollector()
{
    // Deliberately never deleted; see WatchdogAtExit.
    static ANRCollector *const collector = [] {
        auto *created = new ANRCollector(&reportStuckEpisode, &reportLagEpisode);
        processCollector.store(created);
        return created;
    }();
    static WatchdogAtExit stopAtExit;
    return collector;
}

void KeelAnr::retryFailedCache()
{
    retryCachedReports(anrCollector()->cacheDirectory(), startTime);
}

void KeelAnr::start(const QString &dir)
{
    // A second start would install a second filter and a second retry over the same cache.
    static std::atomic<bool> started{false};
    if (started.exchange(true)) {
        logMessage("KeelAnr start ignored: already started");
        return;
    }
    Keel *keel = Keel::instance();
    logMessage("KeelAnr start %d %s", static_cast<int>(keel->isMainProcess),
               keel->processName.c_str());

    startTime = platform::wallClockMs();

    ANRCollector *collector = anrCollector();
    const QString cachePath = QDir(dir).filePath("keel-anr-cache");
    collector->watchMainThread(platform::openCurrentThread(),
                               makeCacheDirectory(cachePath) ? cachePath : QString());

    QCoreApplication *application = QCoreApplication::instance();
    qAddPostRoutine(&stopWatchdogForExit);
    auto *filter = new ANREventFilter(collector, application);
    anrEventFilter = filter;
    application->installEventFilter(filter);

    if (QAbstractEventDispatcher *dispatcher = QCoreApplication::eventDispatcher())
        QObject::connect(
            dispatcher, &QAbstractEventDispatcher::aboutToBlock, dispatcher,
            [] { aboutToBlockProbe(static_cast<const ANREventFilter *>(anrEventFilter)); },
            Qt::DirectConnection);

    if (auto *guiApplication = qobject_cast<QGuiApplication *>(application))
        QObject::connect(
            guiApplication, &QGuiApplication::applicationStateChanged, guiApplication,
            [collector](Qt::ApplicationState state) { applicationStateProbe(collector, state); },
            Qt::DirectConnection);

    keel->initEventCallback = [] {
        const Keel *core = Keel::instance();
        sendStartupEvent(1, core->isMainProcess, core->processName);
    };
    keel->backgroundStateCallback = [collector](bool active) {
        backgroundStateProbe(collector, active);
    };

    Tally::instance()->getCloudConfiguration([](std::map<std::string, std::string> configuration) {
        applyCloudConfiguration(std::move(configuration), anrCollector(),
                                static_cast<ANREventFilter *>(anrEventFilter));
    });

    std::thread([] { KeelAnr::retryFailedCache(); }).detach();
}

void KeelAnr::stop()
{
    auto *filter = static_cast<ANREventFilter *>(anrEventFilter);
    if (!filter)
        return;
    if (filter->enabled.load(std::memory_order_relaxed) && filter->collector)
        filter->collector->iterationEnd();
    filter->enabled.store(false, std::memory_order_relaxed);
    Keel::instance()->initEventCallback = nullptr;
}
