#include "detector/anr_collector.h"
#include "log/log.h"

const platform::StackSampler *ANRCollector::loadDbgHelp()
{
    if (const platform::StackSampler *sampler = dbghelpModule.load(std::memory_order_acquire))
        return sampler;
    const platform::StackSampler *sampler = platform::loadStackSampler();
    if (sampler) {
        dbghelpModule.store(sampler, std::memory_order_release);
    } else {
        // Only sampling needs the library; dumps are written without it.
        static std::atomic<bool> absenceLogged{false};
        if (!absenceLogged.exchange(true))
            logMessage("anr stack sampling off: %s not loaded",
                       platform::stackSamplerLibraryName());
    }
    return sampler;
}

std::vector<std::uint64_t> ANRCollector::captureMainThreadStack()
{
    const platform::StackSampler *sampler = loadDbgHelp();
    return sampler ? platform::sampleThread(*sampler, mainThread) : platform::StackSample{};
}
