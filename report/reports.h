// Stuck and lag reports: build the JSON report, upload its minidump, send it as an
// analytics event, and cache what cannot be delivered.
#pragma once

#include <memory>
#include <string>

namespace cache
{
class Cache;
}

// Watchdog thread. `dumpPath` is a dump the cache kept, "" when the episode has none
// (none could be written, or past the dump limit). A report without a dump is sent at once
// with its stack-dump key empty; a dump is deleted once uploaded, or moved with its report
// into the cache when the upload fails. `appStartTime` is the wall-clock millisecond at which
// the module started.
void reportStuck(std::shared_ptr<cache::Cache> cache, std::string dumpPath, long long appStartTime);
void reportLag(std::shared_ptr<cache::Cache> cache, std::string dumpPath, long long durationMs,
               long long appStartTime);

// "stuck_stack_dump" for "keel_stuck_info", "lag_stack_dump" for "keel_lag_info", else "".
std::string stackDumpKey(const std::string &eventName);
