// One run of a host against a cache directory, for checking "anr_config.ini" between builds
// against different Qt versions: "<dir> <result> [key value]..." starts the module on <dir>
// with the given map delivered (none: an empty map, so only the cached file counts) and
// writes to <result> the Qt major version and what the handler made of the file.
#include "anr/keel_anr.h"
#include "anr/keel_anr_internals.h"
#include "detector/anr_collector.h"
#include "detector/anr_event_filter.h"
#include "keel_standin.h"

#include <QGuiApplication>
#include <jansson.h>

#include <map>
#include <string>

namespace
{

constexpr char kCachedSwitchLine[] = "Keel ANR getCloudConfiguration from cache isOpen = ";

// The switch text the handler read from the file, taken from its log line.
std::string cachedSwitch()
{
    for (const std::string &line : standin::log::lines()) {
        const std::size_t at = line.find(kCachedSwitchLine);
        if (at != std::string::npos)
            return line.substr(at + sizeof kCachedSwitchLine - 1);
    }
    return "<not logged>";
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3 || argc % 2 != 1)
        return 64;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);

    std::map<std::string, std::string> delivered;
    for (int i = 3; i + 1 < argc; i += 2)
        delivered[argv[i]] = argv[i + 1];
    standin::log::enable();
    standin::tally::setCloudConfiguration(delivered);
    KeelAnr::start(QString::fromLocal8Bit(argv[1]));
    standin::tally::waitUntilIdle();

    const ANRCollector *collector = KeelAnrInternals::collector();
    json_t *result = json_object();
    json_object_set_new(result, "qt", json_integer(QT_VERSION_MAJOR));
    json_object_set_new(result, "cached_isOpen", json_string(cachedSwitch().c_str()));
    json_object_set_new(result, "enabled",
                        json_boolean(KeelAnrInternals::eventFilter()->enabled.load()));
    json_object_set_new(result, "lag_first_time",
                        json_integer(collector->thresholds.lagFirstTime.load()));
    json_object_set_new(result, "stuck_first_time",
                        json_integer(collector->thresholds.stuckFirstTime.load()));
    json_object_set_new(result, "lag_sample_rate",
                        json_integer(collector->thresholds.lagSampleRate.load()));
    const int written = json_dump_file(result, argv[2], 0);
    json_decref(result);
    KeelAnr::stop();
    return written == 0 ? 0 : 2;
}
