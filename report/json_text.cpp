#include "report/json_text.h"

#include <cstdlib>

std::string jsonText(const json_t *value)
{
    char *text = json_dumps(value, 0);
    if (!text)
        return {};
    std::string copy(text);
    std::free(text);
    return copy;
}

void setJsonString(json_t *object, const std::string &key, const std::string &value)
{
    // json_object_set_new takes over the new value's reference, and releases nothing when
    // json_string refused the text and handed it null.
    json_object_set_new(object, key.c_str(), json_string(value.c_str()));
}
