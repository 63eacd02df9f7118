#include "sysinfo/memory_info.h"
#include "platform/system_info.h"

json_t *getMemoryInfo()
{
    json_t *memory = json_object();
    platform::MemoryStatus status;
    if (!platform::readMemoryStatus(status))
        return memory;
    const auto text = [](std::uint64_t bytes) {
        return json_string(std::to_string(bytes).c_str());
    };
    json_object_set_new(memory, "memory_total", text(status.totalPhysical));
    json_object_set_new(memory, "memory_free",
                        text(status.totalPhysical - status.availablePhysical));
    json_object_set_new(memory, "memory_avialiable", text(status.availablePhysical));
    return memory;
}
