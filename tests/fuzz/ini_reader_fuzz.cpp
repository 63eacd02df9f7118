// The two INI readers on arbitrary bytes: the build-number file's and anr_config.ini's.
#include "config/cloud_configuration.h"
#include "sysinfo/build_number.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);

    const std::string value = findIniValue(text, "build_info", "orla_ci_build_number");
    // A value comes from one piece of at most 254 characters, trimmed, before any NUL.
    if (value.size() > 254 || value.find('\n') != std::string::npos ||
        value.find('\0') != std::string::npos)
        std::abort();

    parseCachedConfiguration(text);
    return 0;
}
