#pragma once

#include <map>
#include <string>

struct CloudConfiguration {
    std::string isOpen;
    long long lagFirstTime;
    long long stuckFirstTime;
    long long lagSampleRate;
};

// Merges a delivered cloud configuration with "anr_config.ini" in the cache directory,
// remembers it there and, when the switch is "1", sends the start-up event, writes the
// thresholds into the collector and enables the event filter. The cached file is read only
// when it is a regular file (not a link) of at most 64 KiB, else handled as absent, and is
// replaced whole (0600), never written in place.
void applyCloudConfiguration(std::map<std::string, std::string> configuration);

// `text` as a whole base-10 long long (strtoll rules: leading white space and a sign
// allowed, nothing after the digits); `fallback` when it is not one or out of range.
long long toLongLongOr(const std::string &text, long long fallback);

// The configuration "anr_config.ini" holds (QSettings' INI form, keys under [General]);
// defaults for missing keys, 0 for numbers that are not numbers.
CloudConfiguration parseCachedConfiguration(const std::string &ini);
// The file's text for `configuration`, read back the same by QSettings and by the parser
// above (an isOpen that is not plain printable ASCII is written as "").
std::string cachedConfigurationText(const CloudConfiguration &configuration);
// The cached values when nothing was delivered; else the delivered switch and numbers
// (defaults for missing or malformed ones).
CloudConfiguration mergeCloudConfiguration(CloudConfiguration cached,
                                           std::map<std::string, std::string> delivered);
