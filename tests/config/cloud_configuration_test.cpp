// How a delivered cloud configuration and the cached "anr_config.ini" combine, and the startup
// event an open one announces.
#include "config/cloud_configuration.h"
#include "config/startup_event.h"
#include "support/module_fixture.h"
#include "support/report_fixture.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QStringList>
#include <gtest/gtest.h>
#include <jansson.h>

#include <climits>

namespace
{

QString iniPath()
{
    return QDir(testsupport::moduleDirectory()).filePath("keel-anr-cache/anr_config.ini");
}

// The file's bytes before a delivery: "" for no file, "/" for a directory in its place
// (QSettings can neither read nor write it).
void prepareCache(const std::string &bytes)
{
    if (bytes == "/") {
        ASSERT_TRUE(QDir().mkpath(iniPath()));
    } else if (!bytes.empty()) {
        reporttest::writeFile(iniPath(), QByteArray::fromStdString(bytes));
    }
}

// "isOpen|lag_first_time|stuck_first_time|lag_sample_rate" as QSettings reads the file.
QString readIni()
{
    QSettings ini(iniPath(), QSettings::IniFormat);
    QStringList values;
    for (const char *key : {"isOpen", "lag_first_time", "stuck_first_time", "lag_sample_rate"})
        values << ini.value(key).toString();
    return values.join('|');
}

struct MergeCase {
    const char *name;
    std::string cache;     // as prepareCache takes it
    const char *delivered; // "key=value|key=value"
    const char *applied;   // as testsupport::appliedState()
    const char *iniAfter;  // as readIni(); null: not written
};

void PrintTo(const MergeCase &c, std::ostream *out)
{
    *out << c.name;
}

// Each case runs in a process of its own: the module starts with its default thresholds.
using CloudConfigurationMerge = testing::TestWithParam<MergeCase>;

TEST_P(CloudConfigurationMerge, AppliesAndCachesTheMergedValues)
{
    const MergeCase &c = GetParam();
    testsupport::startModuleOnce();
    prepareCache(c.cache);
    testsupport::Configuration delivered;
    for (const QString &pair : QString::fromUtf8(c.delivered).split('|', Qt::SkipEmptyParts))
        delivered[pair.section('=', 0, 0).toStdString()] = pair.section('=', 1).toStdString();

    testsupport::deliver(delivered);

    EXPECT_EQ(testsupport::appliedState(), c.applied);
    const bool open = c.applied[1] == 'n';
    EXPECT_EQ(standin::tally::eventsNamed("keel_orlaanr_init").size(), open ? 1u : 0u);
    EXPECT_EQ(standin::log::count("Keel ANR getCloudConfiguration from cache isOpen = "), 1u);
    EXPECT_EQ(standin::log::count("Keel ANR getCloudConfiguration isOpen = "),
              delivered.empty() ? 0u : 1u);
    if (c.cache == "/") {
        EXPECT_TRUE(QFileInfo(iniPath()).isDir()) << "the directory is left alone";
    } else if (c.iniAfter) {
        EXPECT_EQ(readIni(), QString::fromUtf8(c.iniAfter));
    } else if (c.cache.empty()) {
        EXPECT_FALSE(QFile::exists(iniPath())) << "an empty delivery writes nothing";
    }
}

const char *const kOff = "off|5000|8000|100";
const char *const kOnDefaults = "on|5000|8000|100";
const char *const kOpenDefaults = "1|5000|8000|100";
const char *const kUnswitchedDefaults = "|5000|8000|100";
const char *const kOpen300 =
    "[General]\nisOpen=1\nlag_first_time=300\nstuck_first_time=900\nlag_sample_rate=50\n";

const MergeCase kMergeCases[] = {
    {"FirstRunEmptyMap", "", "", kOff, nullptr},
    {"SwitchOnlyUsesDefaults", "", "lag_sw=1", kOnDefaults, kOpenDefaults},
    {"AllValues", "", "lag_sw=1|lag_first_time=3000|stuck_first_time=7000|lag_sample_rate=20",
     "on|3000|7000|20", "1|3000|7000|20"},
    {"DigitsThenLetters", kOpen300, "lag_sw=1|lag_first_time=3000ms", kOnDefaults, kOpenDefaults},
    {"BeyondSixtyFourBits", "",
     "lag_sw=1|lag_first_time=9223372036854775808|stuck_first_time=-9223372036854775809|"
     "lag_sample_rate=9223372036854775807",
     "on|5000|8000|9223372036854775807", "1|5000|8000|9223372036854775807"},
    {"EmptyAndHexNumbers", "", "lag_sw=1|lag_first_time=|lag_sample_rate=0x10", kOnDefaults,
     kOpenDefaults},
    // Numbers not above 0, delivered or cached, and cached text that is no number are the
    // defaults, applied and cached as such: a bad configuration cannot flood the host.
    {"DeliveredNumbersNotAboveZeroAreDefaults", "",
     "lag_sw=1|lag_first_time=-1|stuck_first_time=0|lag_sample_rate=-100", kOnDefaults,
     kOpenDefaults},
    {"CachedOpenEmptyMap", kOpen300, "", "on|300|900|50", "1|300|900|50"},
    {"CachedGarbageNumbersAreDefaults",
     "[General]\nisOpen=1\nlag_first_time=abc\nstuck_first_time=12x\nlag_sample_rate=-5\n", "",
     kOnDefaults, nullptr},
    {"CachedOpenMapWithoutSwitch", kOpen300, "other=x", kOff, kUnswitchedDefaults},
    {"IsOpenKeyInMapIgnored", "", "isOpen=1", kOff, kUnswitchedDefaults},
    // Only the exact text "1" switches detection on.
    {"LeadingZeroIsNotOpen", "", "lag_sw=01", kOff, "01|5000|8000|100"},
    // The file keeps the switch only as plain printable ASCII; anything else is cached as "",
    // the same bytes from either Qt build.
    {"SpaceAndTildeAreCachedAsIs", "", "lag_sw= 1~", kOff, " 1~|5000|8000|100"},
    {"DeleteCharacterIsCachedEmpty", "", "lag_sw=1\x7f", kOff, kUnswitchedDefaults},
    {"NonAsciiSwitchIsCachedEmpty", "", "lag_sw=1\xc3\xa9|lag_first_time=3000", kOff,
     "|3000|8000|100"},
    {"IniSyntaxInSwitchIsCachedEmpty", "", "lag_sw=1\";\\", kOff, kUnswitchedDefaults},
    {"CachedClosedEmptyMap", "[General]\nisOpen=0\n", "", kOff, "0|||"},
    {"BinaryGarbageCache", std::string("\x00\xff[[[=\n=\x01isOpen\n\xfe\xfe", 15), "lag_sw=1",
     kOnDefaults, kOpenDefaults},
    {"UnwritableCacheStillApplies", "/", "lag_sw=1|lag_first_time=1234", "on|1234|8000|100",
     nullptr},
};

INSTANTIATE_TEST_SUITE_P(Cases, CloudConfigurationMerge, testing::ValuesIn(kMergeCases),
                         [](const testing::TestParamInfo<MergeCase> &info) {
                             return std::string(info.param.name);
                         });

// Later deliveries: each open one (or an empty one over an open cache) announces the start
// again, and a closed one does not switch detection off in this run.
TEST(CloudConfiguration, LaterDeliveriesAnnounceAgainAndAClosedOneDoesNotSwitchOff)
{
    testsupport::startModuleOnce();
    standin::tally::clearEvents();
    testsupport::deliver({{"lag_sw", "1"}, {"lag_first_time", "1500"}});
    testsupport::deliver({{"lag_sw", "1"}, {"lag_first_time", "1500"}});
    testsupport::deliver({});
    testsupport::deliver({{"lag_sw", "0"}, {"lag_first_time", "2500"}});

    EXPECT_EQ(standin::tally::eventsNamed("keel_orlaanr_init").size(), 3u);
    EXPECT_EQ(testsupport::appliedState(), "on|1500|8000|100");
    EXPECT_EQ(readIni().section('|', 0, 1), "0|2500") << "the next run starts closed";
}

// "", hex, trailing letters, 0 and both overflows are merge cases above; strtoll stops at an
// embedded NUL.
TEST(CloudConfiguration, ToLongLongOrParsesWholeDecimalTextOrFallsBack)
{
    for (const std::string &text :
         {std::string(" "), std::string("-"), std::string("3000 "), std::string("3.5"),
          std::string("1e3"), std::string("12\0003", 4)})
        EXPECT_EQ(toLongLongOr(text, -42), -42) << testing::PrintToString(text);
    EXPECT_EQ(toLongLongOr(" \t3000", -42), 3000);
    EXPECT_EQ(toLongLongOr("+3", -42), 3);
    EXPECT_EQ(toLongLongOr("-5", -42), -5);
    EXPECT_EQ(toLongLongOr("00012", -42), 12);
    EXPECT_EQ(toLongLongOr("-9223372036854775808", -42), LLONG_MIN);
}

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
