// Retry of the reports that earlier runs left in the cache, and its report reader.
#pragma once

#include <string>

namespace cache
{
class Cache;
}

// Sends every report directory in the cache and deletes it, unless another process retries
// the same cache now (then nothing is done). What is newer than ten minutes before
// `startTimeMs` (wall clock) may be another run's work in progress and is not cleaned up.
void retryCachedReports(cache::Cache &cache, long long startTimeMs);

// What a cached report file holds, as the retry sends it.
struct CachedReport {
    std::string eventName;
    int first = 0;
    int second = 0;
    std::string text;
};

// Reads a report from its file name ("{event}.{first}.{second}.json"; pieces that are not
// numbers give 0) and its bytes. False with the reason in `why` when the name has fewer
// than three pieces, or the bytes are empty or not one JSON object.
bool readCachedReport(const std::string &fileName, const std::string &bytes, CachedReport &report,
                      std::string &why);
