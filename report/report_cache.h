// Writers of the report cache. Under the cache directory each undelivered report has a
// directory named by its GUID holding "{event}.{first}.{second}.json" (the report text)
// and, when its dump could not be uploaded, the dump itself. Nothing is reported back:
// a file that cannot be written is lost, a dump that cannot be moved stays where it was.
#pragma once

#include <QString>

#include <functional>
#include <string>

// Writes `reportText` as "{eventName}.{first}.{second}.json" into the report's directory
// (made if missing), replacing an earlier file of that name. The text appears under its
// final name only once it is complete, so a retry running meanwhile never reads half a
// report.
void writeCachedReport(const std::string &eventName, const std::string &reportText,
                       const std::string &guid, int first, int second, const QString &cacheDir);

// Moves the dump into the report's directory (made if missing), keeping its file name.
void moveDumpToCache(const std::string &dumpPath, const std::string &guid, const QString &cacheDir);

// Runs after a report's text is written and before it is put in place under its final
// name. Set it before any writer runs; an empty function removes it.
void setBeforeReportCommitHookForTesting(std::function<void()> hook);
