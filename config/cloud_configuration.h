#pragma once

#include <map>
#include <string>

// Merges a delivered cloud configuration with "anr_config.ini" in the cache directory,
// remembers it there and, when the switch is "1", sends the start-up event, writes the
// thresholds into the collector and enables the event filter.
void applyCloudConfiguration(std::map<std::string, std::string> configuration);

// `text` as a whole base-10 long long (strtoll rules: leading white space and a sign
// allowed, nothing after the digits); `fallback` when it is not one or out of range.
long long toLongLongOr(const std::string &text, long long fallback);
