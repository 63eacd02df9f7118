// Foundation version: the report bodies arrive with the reports work.
#include "report/reports.h"

#include "anr/log.h"

void reportStuck(std::string, QString) { logMessage("[ANR] report anr"); }

void reportLag(std::string, long long durationMs, QString)
{
    logMessage("[ANR] report lag %lld ms", durationMs);
}

std::string stackDumpKey(const std::string &eventName)
{
    if (eventName == "keel_stuck_info")
        return "stuck_stack_dump";
    if (eventName == "keel_lag_info")
        return "lag_stack_dump";
    return {};
}
