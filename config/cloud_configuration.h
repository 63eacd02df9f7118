// The cloud configuration: the switch, the two thresholds and the sampling period, merged
// from what the analytics client delivers and the copy cached in "anr_config.ini".
#pragma once

#include <QString>

#include <map>
#include <string>

struct CloudConfiguration {
    // "lag_sw" was exactly "1": detection runs with the values below.
    bool open = false;
    long long lagFirstTime = 5000;
    long long stuckFirstTime = 8000;
    long long lagSampleRate = 100;
};

// Merges a delivered configuration with "anr_config.ini" in `cacheDir` and remembers a
// non-empty delivery there. An empty delivery means "use the cached one".
CloudConfiguration mergeCloudConfiguration(std::map<std::string, std::string> delivered,
                                           const QString &cacheDir);

// `text` as a whole base-10 long long (strtoll rules: leading white space and a sign
// allowed, nothing after the digits); `fallback` when it is not one or out of range.
long long toLongLongOr(const std::string &text, long long fallback);
