// Lookup used by the retry of cached reports (KeelAnr::retryFailedCache).
#pragma once

#include <QDir>
#include <QString>

// Absolute path of the first file in `directory` (by name, ignoring case) whose name ends
// in "." + `suffix`, in any case; hidden files are not considered. "" when there is none.
QString findFileBySuffix(QDir directory, const QString &suffix);
