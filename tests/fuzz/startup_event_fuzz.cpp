// Arbitrary process names, versions and build numbers through the start-up event and the
// reports' common block: every result must parse as JSON and carry every key.
#include "base/utf8_text.h"
#include "config/startup_event.h"
#include "keel.h"
#include "report/common_fields.h"

#include <jansson.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace
{

void check(bool condition)
{
    if (!condition)
        std::abort();
}

// The input split at the first two 0x00 0xFF pairs into three texts.
std::string takeText(const std::string &input, std::size_t &at)
{
    const std::size_t end = input.find(std::string("\0\xFF", 2), at);
    const std::string text = input.substr(at, end == std::string::npos ? end : end - at);
    at = end == std::string::npos ? input.size() : end + 2;
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char *>(data), size);
    std::size_t at = 0;
    const std::string name = takeText(input, at);
    const std::string version = takeText(input, at);
    const std::string other = takeText(input, at);
    const int type = size > 0 ? static_cast<std::int8_t>(data[0]) : 0;

    // Repaired text is what the JSON library accepts, and valid text is left as it is.
    const std::string repaired = validUtf8(other);
    json_t *string = json_stringn(repaired.data(), repaired.size());
    check(string != nullptr);
    json_decref(string);
    check(validUtf8(repaired) == repaired);

    const std::string payload = startupEventPayload(type, size % 2 == 0, name, other);
    json_t *event = json_loadb(payload.data(), payload.size(), JSON_ALLOW_NUL, nullptr);
    check(event != nullptr && json_object_size(event) == 4);
    const json_t *processName = json_object_get(event, "process_name");
    check(std::string(json_string_value(processName), json_string_length(processName)) ==
          validUtf8(name));
    json_decref(event);

    Keel::instance()->processName = name;
    Tally::instance()->projectVersion = version;
    json_t *report = json_object();
    fillCommonReportFields(report);
    char *text = json_dumps(report, 0);
    json_decref(report);
    check(text != nullptr);
    json_t *parsed = json_loads(text, 0, nullptr);
    std::free(text);
    check(parsed != nullptr && json_object_size(parsed) == 11);
    json_decref(parsed);
    return 0;
}
