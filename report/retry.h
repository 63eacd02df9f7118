// Retry of the reports that earlier runs left in the cache directory, and its report reader.
#pragma once

#include <QString>

#include <string>

// Sends every report directory under `cacheDir` and deletes it; nothing when `cacheDir` is
// empty. What is newer than ten minutes before `startTimeMs` (wall clock) may be another
// run's work in progress and is not cleaned up.
void retryCachedReports(const QString &cacheDir, long long startTimeMs);

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
