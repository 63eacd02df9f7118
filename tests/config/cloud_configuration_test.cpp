// How a delivered cloud configuration and the cached "anr_config.ini" combine.
#include "config/cloud_configuration.h"
#include "support/module_fixture.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QStringList>
#include <gtest/gtest.h>

#include <climits>

namespace
{

QString iniPath()
{
    return QDir(KeelAnrInternals::collector()->cacheDir).filePath("anr_config.ini");
}

// The file's bytes before a delivery: "" for no file, "/" for a directory in its place
// (QSettings can neither read nor write it).
void prepareCache(const std::string &bytes)
{
    QFile::remove(iniPath());
    QDir(iniPath()).removeRecursively();
    QFile file(iniPath());
    if (bytes == "/") {
        ASSERT_TRUE(QDir().mkpath(iniPath()));
    } else if (!bytes.empty()) {
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes.data(), static_cast<qint64>(bytes.size()));
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

class CloudConfigurationMerge : public testing::TestWithParam<MergeCase>
{
protected:
    void SetUp() override
    {
        testsupport::startModuleOnce();
        ANRCollector *collector = KeelAnrInternals::collector();
        collector->thresholds.lagFirstTime = 5000;
        collector->thresholds.stuckFirstTime = 8000;
        collector->thresholds.lagSampleRate = 100;
        KeelAnrInternals::eventFilter()->enabled = false;
        standin::tally::clearEvents();
        standin::log::clear();
    }
};

TEST_P(CloudConfigurationMerge, AppliesAndCachesTheMergedValues)
{
    const MergeCase &c = GetParam();
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
    {"ZeroSampleRate", "", "lag_sw=1|lag_sample_rate=0", "on|5000|8000|0", "1|5000|8000|0"},
    {"CachedOpenEmptyMap", kOpen300, "", "on|300|900|50", "1|300|900|50"},
    {"CachedGarbageNumbersReadAsZero",
     "[General]\nisOpen=1\nlag_first_time=abc\nstuck_first_time=12x\n", "", "on|0|0|100", nullptr},
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
    prepareCache("");
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

} // namespace
