#pragma once

#include <jansson.h>

// {"memory_total": "...", "memory_free": "<in use>", "memory_avialiable": "..."}, byte
// counts as decimal strings; {} when the figures cannot be read. The caller owns it.
json_t *getMemoryInfo();
