// The block of eleven fields that every stuck and lag report carries: module version,
// machine, host build and process.
#pragma once

#include <jansson.h>

// Adds, in this order: "keel_version", "cpu_type", "os_version", "os_build",
// "project_code", "project_build", "project_version", "protocol_version" (integer),
// "process_name", "pid" (decimal text) and "is_main_process" (integer 0 or 1).
// Bytes of a text that are not valid UTF-8 are replaced by U+FFFD; every key is present.
void fillCommonReportFields(json_t *report);
