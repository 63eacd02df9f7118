#include "config/cloud_configuration.h"

#include "cache/cache.h"
#include "log/log.h"

#include <QString>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace
{

const long long kDefaultLagFirstTime = CloudConfiguration{}.lagFirstTime;
const long long kDefaultStuckFirstTime = CloudConfiguration{}.stuckFirstTime;
const long long kDefaultLagSampleRate = CloudConfiguration{}.lagSampleRate;

// A value as QSettings' INI format reads it: a quoted string with its escapes undone, or
// the text up to a ';' comment, trimmed.
std::string iniValue(const std::string &raw)
{
    const QString text = QString::fromUtf8(raw.data(), static_cast<int>(raw.size())).trimmed();
    if (!text.startsWith('"')) {
        const int comment = text.indexOf(';');
        return (comment < 0 ? text : text.left(comment)).trimmed().toStdString();
    }
    QString value;
    for (int i = 1; i < text.size() && text[i] != '"'; ++i) {
        if (text[i] == '\\' && i + 1 < text.size())
            ++i;
        value += text[i];
    }
    return value.toStdString();
}

// Text QSettings reads back as `value` itself: printable ASCII without quotes or
// backslashes, in quotes. Anything else is cached as "" (it is not "1" either).
std::string quotedIniString(const std::string &value)
{
    const bool plain = std::all_of(value.begin(), value.end(), [](char c) {
        return c >= 0x20 && c < 0x7f && c != '"' && c != '\\';
    });
    return "\"" + (plain ? value : std::string()) + "\"";
}

// The threshold `key` of `values`: its default when missing, and when it is not a whole
// number above 0 (logged), so that a bad value from either source can neither flood the host
// with false reports nor reach the cached file.
long long thresholdOr(const std::map<std::string, std::string> &values, const char *key,
                      long long fallback)
{
    const auto found = values.find(key);
    if (found == values.end())
        return fallback;
    const long long value = toLongLongOr(found->second, 0);
    if (value > 0)
        return value;
    logMessage("Keel ANR %s ignored: not a number above 0; %lld used", key, fallback);
    return fallback;
}

CloudConfiguration readCached(const cache::Cache &cache)
{
    std::string text;
    const platform::FileRead read = cache.readConfiguration(text);
    if (read == platform::FileRead::TooLarge || read == platform::FileRead::NotRegular)
        logMessage("Keel ANR anr_config.ini ignored: not a regular file of at most 64 KiB");
    return parseCachedConfiguration(read == platform::FileRead::Read ? text : std::string());
}

} // namespace

CloudConfiguration parseCachedConfiguration(const std::string &ini)
{
    std::map<std::string, std::string> values;
    bool inGeneral = true;
    std::size_t at = 0;
    while (at < ini.size()) {
        const std::size_t newline = ini.find('\n', at);
        const std::size_t end = newline == std::string::npos ? ini.size() : newline;
        const QString line =
            QString::fromUtf8(ini.data() + at, static_cast<int>(end - at)).trimmed();
        at = end + 1;
        if (line.startsWith('[')) {
            inGeneral = line == "[General]";
            continue;
        }
        const int equals = line.indexOf('=');
        if (!inGeneral || equals <= 0)
            continue;
        const std::string key = line.left(equals).trimmed().toStdString();
        if (values.count(key) == 0)
            values[key] = iniValue(line.mid(equals + 1).toStdString());
    }
    const auto isOpen = values.find("isOpen");
    return {isOpen == values.end() ? std::string() : isOpen->second,
            thresholdOr(values, "lag_first_time", kDefaultLagFirstTime),
            thresholdOr(values, "stuck_first_time", kDefaultStuckFirstTime),
            thresholdOr(values, "lag_sample_rate", kDefaultLagSampleRate)};
}

std::string cachedConfigurationText(const CloudConfiguration &configuration)
{
    return "[General]\nisOpen=" + quotedIniString(configuration.isOpen) +
           "\nlag_first_time=" + std::to_string(configuration.lagFirstTime) +
           "\nstuck_first_time=" + std::to_string(configuration.stuckFirstTime) +
           "\nlag_sample_rate=" + std::to_string(configuration.lagSampleRate) + "\n";
}

CloudConfiguration mergeCloudConfiguration(CloudConfiguration cached,
                                           std::map<std::string, std::string> delivered)
{
    if (delivered.empty())
        return cached;
    return {delivered["lag_sw"], thresholdOr(delivered, "lag_first_time", kDefaultLagFirstTime),
            thresholdOr(delivered, "stuck_first_time", kDefaultStuckFirstTime),
            thresholdOr(delivered, "lag_sample_rate", kDefaultLagSampleRate)};
}

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
                                           cache::Cache &cache)
{
    const CloudConfiguration cached = readCached(cache);
    logMessage("Keel ANR getCloudConfiguration from cache isOpen = %s", cached.isOpen.c_str());

    const bool wasDelivered = !delivered.empty();
    const CloudConfiguration configuration = mergeCloudConfiguration(cached, std::move(delivered));
    if (wasDelivered) {
        logMessage("Keel ANR getCloudConfiguration isOpen = %s", configuration.isOpen.c_str());
        logMessage("Keel ANR getCloudConfiguration lag_first_time = %lld, stuck_first_time= %lld",
                   configuration.lagFirstTime, configuration.stuckFirstTime);
        // Result not examined: an unwritten cache only means the next start begins closed.
        cache.writeConfiguration(cachedConfigurationText(configuration));
    }
    return configuration;
}
