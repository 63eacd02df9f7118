#include "anr/keel_anr.h"

#include "anr/anr_collector.h"
#include "anr/anr_event_filter.h"
#include "anr/keel_anr_internals.h"
#include "anr/log.h"
#include "anr/probes.h"
#include "config/cloud_configuration.h"
#include "config/startup_event.h"
#include "keel.h"
#include "platform/clock.h"
#include "platform/thread_handle.h"
#include "report/report_cache.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDir>
#include <QGuiApplication>

#include <thread>

long long KeelAnr::startTime = 0;
QObject *KeelAnr::anrEventFilter = nullptr;

ANRCollector *KeelAnr::anrCollector()
{
    static ANRCollector collector;
    return &collector;
}

ANREventFilter *KeelAnrInternals::eventFilter()
{
    return static_cast<ANREventFilter *>(KeelAnr::anrEventFilter);
}

void KeelAnr::start(const QString &dir)
{
    Keel *keel = Keel::instance();
    logMessage("KeelAnr start %d %s", static_cast<int>(keel->isMainProcess),
               keel->processName.c_str());

    startTime = platform::wallClockMs();

    ANRCollector *collector = anrCollector();
    collector->mainThread = platform::openCurrentThread();

    const QString cachePath = QDir(dir).filePath("keel-anr-cache");
    collector->cacheDir = makeCacheDirectory(cachePath) ? cachePath : QString();

    QCoreApplication *application = QCoreApplication::instance();
    auto *filter = new ANREventFilter(collector, application);
    anrEventFilter = filter;
    application->installEventFilter(filter);

    if (QAbstractEventDispatcher *dispatcher = QCoreApplication::eventDispatcher())
        QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, dispatcher,
                         &aboutToBlockProbe, Qt::DirectConnection);

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
        applyCloudConfiguration(std::move(configuration));
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
