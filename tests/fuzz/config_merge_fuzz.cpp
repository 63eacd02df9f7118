// The cloud configuration merge: an arbitrary cached file merged with an arbitrary delivered
// map; what is cached afterwards must read back as the merged configuration.
#include "config/cloud_configuration.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

namespace
{

const char *const kKeys[] = {"lag_sw", "lag_first_time", "stuck_first_time", "lag_sample_rate",
                             "isOpen"};

bool isPlainText(const std::string &text)
{
    for (const char c : text)
        if (c < 0x20 || c >= 0x7f || c == '"' || c == '\\')
            return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    const CloudConfiguration cached =
        parseCachedConfiguration(input.ConsumeRandomLengthString(4096));
    std::map<std::string, std::string> delivered;
    while (input.remaining_bytes() > 0 && delivered.size() < 8) {
        const std::string key = input.ConsumeBool() ? input.PickValueInArray(kKeys)
                                                    : input.ConsumeRandomLengthString(16);
        delivered[key] = input.ConsumeRandomLengthString(64);
    }

    const CloudConfiguration merged = mergeCloudConfiguration(cached, delivered);
    const CloudConfiguration reread = parseCachedConfiguration(cachedConfigurationText(merged));
    if (reread.lagFirstTime != merged.lagFirstTime ||
        reread.stuckFirstTime != merged.stuckFirstTime ||
        reread.lagSampleRate != merged.lagSampleRate)
        std::abort();
    if (reread.isOpen != (isPlainText(merged.isOpen) ? merged.isOpen : std::string()))
        std::abort();
    // Only an exact "1" switches detection on, before and after the round trip.
    if ((reread.isOpen == "1") != (merged.isOpen == "1"))
        std::abort();
    return 0;
}
