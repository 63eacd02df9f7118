#include "config/startup_event.h"

#include "base/utf8_text.h"
#include "keel.h"
#include "sysinfo/system_probes.h"

#include <jansson.h>

#include <cstdlib>
#include <functional>

namespace
{

// A JSON string of `text` with invalid UTF-8 replaced; NUL bytes are kept (as \u0000).
json_t *jsonStringOf(const std::string &text)
{
    const std::string valid = validUtf8(text);
    return json_stringn(valid.data(), valid.size());
}

} // namespace

std::string startupEventPayload(int type, bool isMainProcess, const std::string &processName,
                                const std::string &pid)
{
    // Members in the order the client expects; compact separators, as the event always had.
    json_t *payload = json_object();
    json_object_set_new(payload, "process_name", jsonStringOf(processName));
    json_object_set_new(payload, "pid", jsonStringOf(pid));
    json_object_set_new(payload, "type", json_integer(type));
    json_object_set_new(payload, "is_main_process", json_integer(isMainProcess ? 1 : 0));
    char *text = json_dumps(payload, JSON_COMPACT);
    json_decref(payload);
    // json_dumps fails only when out of memory; the event is then not worth sending.
    std::string copy = text ? text : "";
    std::free(text);
    return copy;
}

void sendStartupEvent(int type, bool isMainProcess, const std::string &processName)
{
    const std::string name = "keel_orlaanr_init";
    const std::string payload =
        startupEventPayload(type, isMainProcess, processName, getProcessIdString());
    if (payload.empty())
        return;
    const std::function<void(bool)> noCallback;
    Tally::instance()->event(name, payload, std::string(), 2, 1, noCallback);
}
