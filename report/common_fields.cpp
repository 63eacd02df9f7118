#include "report/common_fields.h"

#include "keel.h"
#include "report/json_text.h"
#include "sysinfo/build_number.h"
#include "sysinfo/system_probes.h"

namespace
{
// This module's version as the reports name it; kept equal to the project's version.
constexpr char kKeelVersion[] = "1.5.0";
constexpr int kProtocolVersion = 1;
} // namespace

void fillCommonReportFields(json_t *report)
{
    setJsonString(report, "keel_version", kKeelVersion);
    setJsonString(report, "cpu_type", getCpuType());
    setJsonString(report, "os_version", getOsVersion());
    setJsonString(report, "os_build", getOsBuild());
    setJsonString(report, "project_code", getExecutableName());
    setJsonString(report, "project_build", getBuildNumber());
    setJsonString(report, "project_version", Tally::instance()->projectVersion);
    json_object_set_new(report, "protocol_version", json_integer(kProtocolVersion));
    setJsonString(report, "process_name", Keel::instance()->processName);
    setJsonString(report, "pid", getProcessIdString());
    json_object_set_new(report, "is_main_process",
                        json_integer(Keel::instance()->isMainProcess ? 1 : 0));
}
