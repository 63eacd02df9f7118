#include "detector/anr_collector.h"

#include "detector/collector_dump.h"
#include "log/log.h"

std::vector<std::uint64_t> ANRCollector::captureMainThreadStack()
{
    // The platform loads its sampler once per process and tries again while that fails.
    // Only sampling needs it: without it samples are empty and dumps are still written.
    const platform::StackSampler *sampler = platform::loadStackSampler();
    if (!sampler) {
        static std::atomic<bool> absenceLogged{false};
        if (!absenceLogged.exchange(true))
            logMessage("anr stack sampling off: %s not loaded",
                       platform::stackSamplerLibraryName());
        return {};
    }
    std::vector<std::uint64_t> sample = platform::sampleThread(*sampler, mainThread_);
    logCaptureFallback();
    return sample;
}
