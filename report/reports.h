// Stuck and lag reports: build the JSON report, upload its minidump, send it as an
// analytics event, and cache what cannot be delivered.
#pragma once

#include <QString>

#include <string>

// Watchdog thread. The dump may be empty (none could be written); it is deleted once
// uploaded, or moved into the report's cache directory when the upload fails.
// `appStartTime` is the wall-clock millisecond at which the module started.
void reportStuck(std::string dumpPath, QString cacheDir, long long appStartTime);
void reportLag(std::string dumpPath, long long durationMs, QString cacheDir,
               long long appStartTime);

// "stuck_stack_dump" for "keel_stuck_info", "lag_stack_dump" for "keel_lag_info", else "".
std::string stackDumpKey(const std::string &eventName);
