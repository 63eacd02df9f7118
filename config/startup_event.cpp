#include "config/startup_event.h"

#include "keel.h"
#include "sysinfo/system_probes.h"

#include <functional>

std::string startupEventPayload(int type, bool isMainProcess, const std::string &processName,
                                const std::string &pid)
{
    const std::string flag = std::to_string(static_cast<int>(isMainProcess));
    const std::string typeText = std::to_string(type);
    std::string payload;
    // The name is inserted verbatim: an executable's file name holds no quote, backslash
    // or control character.
    payload.reserve(processName.size() + 17);
    payload += "{\"process_name\":\"";
    payload += processName;
    payload += "\"";
    payload += ",\"pid\":\"";
    payload += pid;
    payload += "\"";
    payload += ",\"type\":";
    payload += typeText;
    payload += ",\"is_main_process\":";
    payload += flag;
    payload += "}";
    return payload;
}

void sendStartupEvent(int type, bool isMainProcess, const std::string &processName)
{
    const std::string name = "keel_orlaanr_init";
    const std::string payload =
        startupEventPayload(type, isMainProcess, processName, getProcessIdString());
    const std::function<void(bool)> noCallback;
    Tally::instance()->event(name, payload, std::string(), 2, 1, noCallback);
}
