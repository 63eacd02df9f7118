#include "config/cloud_configuration.h"

#include "base/log.h"
#include "base/qt_compat.h"

#include <QDir>
#include <QSettings>

#include <cerrno>
#include <cstdlib>

namespace
{

constexpr long long kDefaultLagFirstTime = CloudConfiguration{}.lagFirstTime;
constexpr long long kDefaultStuckFirstTime = CloudConfiguration{}.stuckFirstTime;
constexpr long long kDefaultLagSampleRate = CloudConfiguration{}.lagSampleRate;

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

CloudConfiguration mergeCloudConfiguration(std::map<std::string, std::string> delivered,
                                           const QString &cacheDir)
{
    qtcompat::IniSettings cache(QDir(cacheDir).filePath("anr_config.ini"));

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
    // QSettings writes pending values to disk when `cache` goes out of scope.
    return {configuration.isOpen == "1", configuration.lagFirstTime, configuration.stuckFirstTime,
            configuration.lagSampleRate};
}
