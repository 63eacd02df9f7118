// The cloud configuration: the switch, the two thresholds and the sampling period, merged
// from what the analytics client delivers and the copy cached in "anr_config.ini".
#pragma once

#include <map>
#include <string>

struct CloudConfiguration {
    // The delivered "lag_sw" as text; detection runs with the values below when it is "1".
    std::string isOpen;
    long long lagFirstTime = 5000;
    long long stuckFirstTime = 8000;
    long long lagSampleRate = 100;

    bool open() const { return isOpen == "1"; }
};

namespace cache
{
class Cache;
}

// Merges a delivered configuration with "anr_config.ini" in the cache and remembers a
// non-empty delivery there. An empty delivery means "use the cached one". The cached file is
// read only when it is a regular file (not a link) of at most 64 KiB, else handled as absent.
CloudConfiguration mergeCloudConfiguration(std::map<std::string, std::string> delivered,
                                           cache::Cache &cache);

// `text` as a whole base-10 long long (strtoll rules: leading white space and a sign
// allowed, nothing after the digits); `fallback` when it is not one or out of range.
long long toLongLongOr(const std::string &text, long long fallback);

// The configuration "anr_config.ini" holds (QSettings' INI form, keys under [General]);
// defaults for missing keys and for numbers that are not whole numbers above 0.
CloudConfiguration parseCachedConfiguration(const std::string &ini);
// The file's text for `configuration`, the same bytes from the Qt 5 and the Qt 6 build and
// read back the same by QSettings of either and by the parser above. isOpen is written in
// quotes when it is plain printable ASCII without '"' or '\\', else as "" (it is not "1"
// either); numbers are written as decimal digits.
std::string cachedConfigurationText(const CloudConfiguration &configuration);
// The cached values when nothing was delivered; else the delivered switch and numbers
// (defaults for missing ones and for any that is not a whole number above 0).
CloudConfiguration mergeCloudConfiguration(CloudConfiguration cached,
                                           std::map<std::string, std::string> delivered);
