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

// Whatever the name holds, the payload parses, keeps its four members in order and carries
// the name (repaired where it is not UTF-8).
struct NameCase {
    std::string name;
    std::string expected; // what "process_name" reads back
};

TEST(StartupEvent, AnyNameYieldsValidJson)
{
    const std::string fffd = "\xEF\xBF\xBD";
    const std::vector<NameCase> cases = {
        {"host.exe", "host.exe"},
        {"say \"hi\"", "say \"hi\""},
        {"back\\slash\\", "back\\slash\\"},
        {"tab\tnew\nline\x01\x1f\x7f", "tab\tnew\nline\x01\x1f\x7f"},
        {std::string("nul\0inside", 10), std::string("nul\0inside", 10)},
        {"\xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80", "\xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80"},
        // The highest below each limit: U+07FF, U+D7FF (below the surrogates), U+10FFFF.
        {"\xDF\xBF\xED\x9F\xBF\xF4\x8F\xBF\xBF", "\xDF\xBF\xED\x9F\xBF\xF4\x8F\xBF\xBF"},
        {"bad\xFF", "bad" + fffd},
        {"\x80stray", fffd + "stray"},
        {"cut\xE2\x82", "cut" + fffd + fffd},
        {"overlong\xC0\xAF", "overlong" + fffd + fffd},
        {"surrogate\xED\xA0\x80", "surrogate" + fffd + fffd + fffd},
        {"beyond\xF4\x90\x80\x80", "beyond" + fffd + fffd + fffd + fffd},
        {"\"},{\"x\":\"", "\"},{\"x\":\""},
    };
    for (const NameCase &c : cases) {
        const std::string payload = startupEventPayload(1, true, c.name, "42");
        json_error_t error;
        json_t *parsed = json_loadb(payload.data(), payload.size(), JSON_ALLOW_NUL, &error);
        ASSERT_NE(parsed, nullptr) << payload << ": " << error.text;
        std::vector<std::string> keys;
        const char *key;
        json_t *value;
        json_object_foreach(parsed, key, value) keys.push_back(key);
        EXPECT_EQ(keys,
                  (std::vector<std::string>{"process_name", "pid", "type", "is_main_process"}));
        const json_t *name = json_object_get(parsed, "process_name");
        EXPECT_EQ(std::string(json_string_value(name), json_string_length(name)), c.expected);
        EXPECT_EQ(payload.find_first_of("\n\r"), std::string::npos) << "one line";
        json_decref(parsed);
    }
}

} // namespace
