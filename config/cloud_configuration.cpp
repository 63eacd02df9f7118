#include "config/cloud_configuration.h"

#include "anr/anr_collector.h"
#include "anr/anr_event_filter.h"
#include "anr/keel_anr_internals.h"
#include "anr/log.h"
#include "base/qt_compat.h"
#include "config/startup_event.h"
#include "keel.h"

#include <QDir>
#include <QSettings>

#include <cerrno>
#include <cstdlib>

namespace
{

constexpr long long kDefaultLagFirstTime = 5000;
constexpr long long kDefaultStuckFirstTime = 8000;
constexpr long long kDefaultLagSampleRate = 100;

struct Configuration {
    std::string isOpen;
    long long lagFirstTime;
    long long stuckFirstTime;
    long long lagSampleRate;
};

Configuration readCached(const QSettings &cache)
{
    return {cache.value("isOpen", QString()).toString().toStdString(),
            cache.value("lag_first_time", kDefaultLagFirstTime).toLongLong(),
            cache.value("stuck_first_time", kDefaultStuckFirstTime).toLongLong(),
            cache.value("lag_sample_rate", kDefaultLagSampleRate).toLongLong()};
}

void writeCached(QSettings &cache, const Configuration &configuration)
{
    cache.setValue("isOpen", QString::fromStdString(configuration.isOpen));
    cache.setValue("lag_first_time", QVariant(qlonglong(configuration.lagFirstTime)));
    cache.setValue("stuck_first_time", QVariant(qlonglong(configuration.stuckFirstTime)));
    cache.setValue("lag_sample_rate", QVariant(qlonglong(configuration.lagSampleRate)));
}

} // namespace

long long toLongLongOr(const std::string &text, long long fallback)
{
    const char *begin = text.c_str();
    char *end = nullptr;
    errno = 0;
    const long long value = std::strtoll(begin, &end, 10);
    // strtoll stops at an embedded NUL; comparing with the std::string's length catches it.
    if (end == begin || errno == ERANGE || static_cast<std::size_t>(end - begin) != text.size())
        return fallback;
    return value;
}

void applyCloudConfiguration(std::map<std::string, std::string> delivered)
{
    ANRCollector *collector = KeelAnrInternals::collector();
    qtcompat::IniSettings cache(QDir(collector->cacheDir).filePath("anr_config.ini"));

    Configuration configuration = readCached(cache);
    logMessage("Keel ANR getCloudConfiguration from cache isOpen = %s",
               configuration.isOpen.c_str());

    if (!delivered.empty()) {
        configuration.isOpen = delivered["lag_sw"];
        logMessage("Keel ANR getCloudConfiguration isOpen = %s", configuration.isOpen.c_str());
        configuration.lagFirstTime =
            toLongLongOr(delivered["lag_first_time"], kDefaultLagFirstTime);
        configuration.stuckFirstTime =
            toLongLongOr(delivered["stuck_first_time"], kDefaultStuckFirstTime);
        logMessage("Keel ANR getCloudConfiguration lag_first_time = %lld, stuck_first_time= %lld",
                   configuration.lagFirstTime, configuration.stuckFirstTime);
        configuration.lagSampleRate =
            toLongLongOr(delivered["lag_sample_rate"], kDefaultLagSampleRate);
        writeCached(cache, configuration);
    }

    if (configuration.isOpen == "1") {
        const Keel *keel = Keel::instance();
        sendStartupEvent(0, keel->isMainProcess, keel->processName);
        collector->lagFirstTime.store(configuration.lagFirstTime, std::memory_order_relaxed);
        collector->stuckFirstTime.store(configuration.stuckFirstTime, std::memory_order_relaxed);
        collector->lagSampleRate.store(configuration.lagSampleRate, std::memory_order_relaxed);
        if (ANREventFilter *filter = KeelAnrInternals::eventFilter())
            filter->enabled.store(true, std::memory_order_relaxed);
    }
    // QSettings writes pending values to disk when `cache` goes out of scope.
}
