#include "config/startup_event.h"

#include <gtest/gtest.h>
#include <jansson.h>

namespace
{

TEST(StartupEvent, PayloadIsBuiltPieceByPiece)
{
    EXPECT_EQ(startupEventPayload(0, true, "host.exe", "4242"),
              R"({"process_name":"host.exe","pid":"4242","type":0,"is_main_process":1})");
    EXPECT_EQ(startupEventPayload(1, false, "a.exe", "7"),
              R"({"process_name":"a.exe","pid":"7","type":1,"is_main_process":0})");
}

// Whatever the name holds, the payload parses (so no raw control characters) and carries the
// name, with U+FFFD for what is not UTF-8.
TEST(StartupEvent, AnyNameYieldsValidJson)
{
    const std::string fffd = "\xEF\xBF\xBD";
    std::vector<std::pair<std::string, std::string>> cases = {
        {"bad\xFF", "bad" + fffd},
        {"\x80stray", fffd + "stray"},
        {"cut\xE2\x82", "cut" + fffd + fffd},
        {"overlong\xC0\xAF", "overlong" + fffd + fffd},
        {"surrogate\xED\xA0\x80", "surrogate" + fffd + fffd + fffd},
        {"beyond\xF4\x90\x80\x80", "beyond" + fffd + fffd + fffd + fffd}};
    // Valid: the highest below each limit is U+07FF, U+D7FF (below the surrogates), U+10FFFF.
    for (const char *valid :
         {"say \"hi\"", "back\\slash\\", "tab\tnew\nline\x01\x1f\x7f", "\"},{\"x\":\"",
          "\xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80", "\xDF\xBF\xED\x9F\xBF\xF4\x8F\xBF\xBF"})
        cases.emplace_back(valid, valid);
    cases.emplace_back(std::string("nul\0inside", 10), std::string("nul\0inside", 10));
    for (const auto &[name, expected] : cases) {
        const std::string payload = startupEventPayload(1, true, name, "42");
        json_error_t error;
        json_t *parsed = json_loadb(payload.data(), payload.size(), JSON_ALLOW_NUL, &error);
        ASSERT_NE(parsed, nullptr) << payload << ": " << error.text;
        const json_t *read = json_object_get(parsed, "process_name");
        EXPECT_EQ(std::string(json_string_value(read), json_string_length(read)), expected);
        json_decref(parsed);
    }
}

} // namespace
