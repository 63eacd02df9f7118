// The facade wires the layers below it: the report functions become the collector's
// episode reports, and the cloud configuration is applied to the collector and the filter.
#include "anr/keel_anr.h"

#include "cache/cache.h"
#include "config/cloud_configuration.h"
#include "config/startup_event.h"
#include "detector/anr_collector.h"
#include "detector/anr_event_filter.h"
#include "detector/probes.h"
#include "keel.h"
#include "log/log.h"
#include "platform/clock.h"
#include "platform/thread_handle.h"
#include "report/reports.h"
#include "report/retry.h"
#include "report/upload.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QGuiApplication>

#include <atomic>
#include <chrono>
#include <thread>

long long KeelAnr::startTime = 0;
QObject *KeelAnr::anrEventFilter = nullptr;

namespace
{

// The process's cache, opened by start before the filter is installed, so before any
// episode, configuration or retry uses it; never replaced afterwards, never destroyed (a
// watchdog left running at exit still finds it).
std::shared_ptr<cache::Cache> &processCache()
{
    static auto *const cache = new std::shared_ptr<cache::Cache>;
    return *cache;
}

// The module's one conversion of a path from text: the host's QString, in UTF-16.
platform::NativePath nativePathOf(const QString &path)
{
    return platform::nativePath(std::u16string(reinterpret_cast<const char16_t *>(path.utf16()),
                                               static_cast<std::size_t>(path.size())));
}

void reportStuckEpisode(std::string dump)
{
    reportStuck(processCache(), std::move(dump), KeelAnr::startTime);
}

void reportLagEpisode(std::string dump, long long durationMs)
{
    reportLag(processCache(), std::move(dump), durationMs, KeelAnr::startTime);
}

// The configuration handler: an open configuration announces the start, sets the
// collector's thresholds and then enables the filter (null before start).
void applyCloudConfiguration(std::map<std::string, std::string> delivered, ANRCollector *collector,
                             ANREventFilter *filter)
{
    const CloudConfiguration configuration =
        mergeCloudConfiguration(std::move(delivered), *processCache());
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
    if (const std::shared_ptr<cache::Cache> &cache = processCache())
        retryCachedReports(*cache, startTime);
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
    // An unusable cache keeps nothing: no dumps, and reports are sent directly.
    processCache() = cache::Cache::openUnder(nativePathOf(dir));
    collector->watchMainThread(platform::openCurrentThread(),
                               processCache()->usable() ? processCache().get() : nullptr);

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
