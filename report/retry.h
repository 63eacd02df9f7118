// Retry of the reports that earlier runs left in the cache directory.
#pragma once

#include <QDir>
#include <QString>

// Sends every report directory under `cacheDir` once and deletes it; nothing when
// `cacheDir` is empty.
void retryCachedReports(const QString &cacheDir);

// Absolute path of the first file in `directory` (by name, ignoring case) whose name ends
// in "." + `suffix`, in any case; hidden files are not considered. "" when there is none.
QString findFileBySuffix(QDir directory, const QString &suffix);
