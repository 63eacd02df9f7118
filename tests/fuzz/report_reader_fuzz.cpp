// The retry's report reader on an arbitrary file name and content: what it accepts is sent
// as an event, so it must be a JSON object the client can take as a C string.
#include "report/retry.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <jansson.h>

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    const std::string fileName = input.ConsumeRandomLengthString(64);
    const std::string bytes = input.ConsumeRemainingBytesAsString();

    CachedReport report;
    std::string why;
    if (!readCachedReport(fileName, bytes, report, why)) {
        if (why.empty())
            std::abort();
        return 0;
    }
    if (report.text.empty() || report.text.find('\0') != std::string::npos ||
        report.eventName.find('.') != std::string::npos)
        std::abort();
    json_t *document = json_loads(report.text.c_str(), 0, nullptr);
    if (!json_is_object(document))
        std::abort();
    json_decref(document);
    return 0;
}
