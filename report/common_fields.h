// The block of eleven fields that every stuck and lag report carries: module version,
// machine, host build and process.
#pragma once

#include <jansson.h>

// Adds, in this order: "keel_version", "cpu_type", "os_version", "os_build",
// "project_code", "project_build", "project_version", "protocol_version" (integer),
// "process_name", "pid" (decimal text) and "is_main_process" (integer 0 or 1).
// A text that is not valid UTF-8 leaves its key out; the others are still added.
void fillCommonReportFields(json_t *report);
