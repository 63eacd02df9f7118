#include "report/common_fields.h"

#include "base/utf8_text.h"
#include "keel.h"
#include "report/json_text.h"
#include "sysinfo/build_number.h"
#include "sysinfo/system_probes.h"

namespace
{
// This module's version as the reports name it; kept equal to the project's version.
constexpr char kKeelVersion[] = "1.5.0";
constexpr int kProtocolVersion = 1;

// The texts come from outside (file names, the build file, the host SDK): invalid UTF-8 is
// replaced rather than costing the report its key.
void setText(json_t *report, const char *key, const std::string &value)
{
    setJsonString(report, key, validUtf8(value));
}
} // namespace

void fillCommonReportFields(json_t *report)
{
    setText(report, "keel_version", kKeelVersion);
    setText(report, "cpu_type", getCpuType());
    setText(report, "os_version", getOsVersion());
    setText(report, "os_build", getOsBuild());
    setText(report, "project_code", getExecutableName());
    setText(report, "project_build", getBuildNumber());
    setText(report, "project_version", Tally::instance()->projectVersion);
    json_object_set_new(report, "protocol_version", json_integer(kProtocolVersion));
    setText(report, "process_name", Keel::instance()->processName);
    setText(report, "pid", getProcessIdString());
    json_object_set_new(report, "is_main_process",
                        json_integer(Keel::instance()->isMainProcess ? 1 : 0));
}
