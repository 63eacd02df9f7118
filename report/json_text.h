// Small jansson helpers shared by the report builders and the retry.
#pragma once

#include <jansson.h>

#include <string>

// `value` serialised with json_dumps and flags 0: one line, separators ", " and ": ",
// non-ASCII characters as raw UTF-8, keys in insertion order. "" if it cannot be serialised.
std::string jsonText(const json_t *value);

// Sets `key` of `object` to a new JSON string. jansson refuses text that is not valid
// UTF-8; the key is then left out and the object stays as it was.
void setJsonString(json_t *object, const std::string &key, const std::string &value);
