// How a delivered cloud configuration and the cached "anr_config.ini" combine.
#include "config/cloud_configuration.h"
#include "support/module_fixture.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QStringList>
#include <gtest/gtest.h>

#include <algorithm>

namespace
{

using testsupport::Configuration;

QString iniPath()
{
    return QDir(testsupport::collector()->cacheDir).filePath("anr_config.ini");
}

enum class CacheBefore { None, Open300, OpenGarbageNumbers, Closed, Binary, IsDirectory };

struct MergeCase {
    const char *name;
    CacheBefore cache;
    const char *delivered; // "key=value|key=value"
    // The filter and the collector afterwards: "on|lag_first_time|stuck_first_time|
    // lag_sample_rate" ("off|..." when disabled).
    const char *applied;
    // The file afterwards: "isOpen|lag_first_time|stuck_first_time|lag_sample_rate"; null:
    // not written.
    const char *iniAfter;
};

Configuration parseDelivered(const std::string &text)
{
    Configuration configuration;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find('|', at), text.size());
        const std::string pair = text.substr(at, end - at);
        const std::size_t equals = pair.find('=');
        configuration[pair.substr(0, equals)] = pair.substr(equals + 1);
        at = end + 1;
    }
    return configuration;
}

void PrintTo(const MergeCase &c, std::ostream *out)
{
    *out << c.name;
}

void prepareCache(CacheBefore cache)
{
    QFile::remove(iniPath());
    QDir(iniPath()).removeRecursively();
    switch (cache) {
    case CacheBefore::None: break;
    case CacheBefore::Open300: {
        QSettings ini(iniPath(), QSettings::IniFormat);
        ini.setValue("isOpen", "1");
        ini.setValue("lag_first_time", 300);
        ini.setValue("stuck_first_time", 900);
        ini.setValue("lag_sample_rate", 50);
        break;
    }
    case CacheBefore::OpenGarbageNumbers: {
        QFile file(iniPath());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("[General]\nisOpen=1\nlag_first_time=abc\nstuck_first_time=12x\n");
        break;
    }
    case CacheBefore::Closed: {
        QSettings ini(iniPath(), QSettings::IniFormat);
        ini.setValue("isOpen", "0");
        break;
    }
    case CacheBefore::Binary: {
        QFile file(iniPath());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        static const char garbage[] = "\x00\xff[[[=\n=\x01isOpen\n\xfe\xfe";
        file.write(garbage, sizeof garbage - 1);
        break;
    }
    case CacheBefore::IsDirectory:
        // A directory where the file should be: QSettings can neither read nor write it.
        ASSERT_TRUE(QDir().mkpath(iniPath()));
        break;
    }
}

QString readIni()
{
    QSettings ini(iniPath(), QSettings::IniFormat);
    QStringList values;
    for (const char *key : {"isOpen", "lag_first_time", "stuck_first_time", "lag_sample_rate"})
        values << ini.value(key).toString();
    return values.join('|');
}

QString applied()
{
    const ANRCollector *collector = testsupport::collector();
    return QStringList{testsupport::eventFilter()->enabled.load() ? "on" : "off",
                       QString::number(collector->thresholds.lagFirstTime.load()),
                       QString::number(collector->thresholds.stuckFirstTime.load()),
                       QString::number(collector->thresholds.lagSampleRate.load())}
        .join('|');
}

class CloudConfigurationMerge : public testing::TestWithParam<MergeCase>
{
protected:
    void SetUp() override
    {
        testsupport::startModuleOnce();
        ANRCollector *collector = testsupport::collector();
        collector->thresholds.lagFirstTime = 5000;
        collector->thresholds.stuckFirstTime = 8000;
        collector->thresholds.lagSampleRate = 100;
        testsupport::eventFilter()->enabled = false;
        standin::tally::clearEvents();
        standin::log::clear();
    }
};

TEST_P(CloudConfigurationMerge, AppliesAndCachesTheMergedValues)
{
    const MergeCase &c = GetParam();
    prepareCache(c.cache);

    testsupport::deliver(parseDelivered(c.delivered));

    EXPECT_EQ(applied(), QString::fromUtf8(c.applied));
    const bool open = c.applied[1] == 'n';
    EXPECT_EQ(standin::tally::eventsNamed("keel_orlaanr_init").size(), open ? 1u : 0u);
    EXPECT_EQ(standin::log::count("Keel ANR getCloudConfiguration from cache isOpen = "), 1u);
    EXPECT_EQ(standin::log::count("Keel ANR getCloudConfiguration isOpen = "),
              *c.delivered ? 1u : 0u);

    if (c.cache == CacheBefore::IsDirectory) {
        EXPECT_TRUE(QFileInfo(iniPath()).isDir()) << "the directory is left alone";
        return;
    }
    if (!c.iniAfter) {
        if (c.cache == CacheBefore::None) {
            EXPECT_FALSE(QFile::exists(iniPath())) << "an empty delivery writes nothing";
        }
        return;
    }
    EXPECT_EQ(readIni(), QString::fromUtf8(c.iniAfter));
}

const char *const kOff = "off|5000|8000|100";
const char *const kOnDefaults = "on|5000|8000|100";
const char *const kOpenDefaults = "1|5000|8000|100";
const char *const kUnswitchedDefaults = "|5000|8000|100";

using Cache = CacheBefore;
const MergeCase kMergeCases[] = {
    {"FirstRunEmptyMap", Cache::None, "", kOff, nullptr},
    {"SwitchOnlyUsesDefaults", Cache::None, "lag_sw=1", kOnDefaults, kOpenDefaults},
    {"AllValues", Cache::None,
     "lag_sw=1|lag_first_time=3000|stuck_first_time=7000|lag_sample_rate=20", "on|3000|7000|20",
     "1|3000|7000|20"},
    {"DigitsThenLetters", Cache::Open300, "lag_sw=1|lag_first_time=3000ms", kOnDefaults,
     kOpenDefaults},
    {"BeyondSixtyFourBits", Cache::None,
     "lag_sw=1|lag_first_time=9223372036854775808|stuck_first_time=-9223372036854775809|"
     "lag_sample_rate=9223372036854775807",
     "on|5000|8000|9223372036854775807", "1|5000|8000|9223372036854775807"},
    {"EmptyAndHexNumbers", Cache::None, "lag_sw=1|lag_first_time=|lag_sample_rate=0x10",
     kOnDefaults, kOpenDefaults},
    {"ZeroSampleRate", Cache::None, "lag_sw=1|lag_sample_rate=0", "on|5000|8000|0",
     "1|5000|8000|0"},
    {"CachedOpenEmptyMap", Cache::Open300, "", "on|300|900|50", "1|300|900|50"},
    {"CachedGarbageNumbersReadAsZero", Cache::OpenGarbageNumbers, "", "on|0|0|100", nullptr},
    {"CachedOpenMapWithoutSwitch", Cache::Open300, "other=x", kOff, kUnswitchedDefaults},
    {"IsOpenKeyInMapIgnored", Cache::None, "isOpen=1", kOff, kUnswitchedDefaults},
    // Only the exact text "1" switches detection on.
    {"LeadingZeroIsNotOpen", Cache::None, "lag_sw=01", kOff, "01|5000|8000|100"},
    // The file keeps the switch only as plain printable ASCII; anything else is cached as "",
    // the same bytes from either Qt build.
    {"SpaceAndTildeAreCachedAsIs", Cache::None, "lag_sw= 1~", kOff, " 1~|5000|8000|100"},
    {"DeleteCharacterIsCachedEmpty", Cache::None, "lag_sw=1\x7f", kOff, kUnswitchedDefaults},
    {"NonAsciiSwitchIsCachedEmpty", Cache::None, "lag_sw=1\xc3\xa9|lag_first_time=3000", kOff,
     "|3000|8000|100"},
    {"IniSyntaxInSwitchIsCachedEmpty", Cache::None, "lag_sw=1\";\\", kOff, kUnswitchedDefaults},
    {"CachedClosedEmptyMap", Cache::Closed, "", kOff, "0|||"},
    {"BinaryGarbageCache", Cache::Binary, "lag_sw=1", kOnDefaults, kOpenDefaults},
    {"UnwritableCacheStillApplies", Cache::IsDirectory, "lag_sw=1|lag_first_time=1234",
     "on|1234|8000|100", nullptr},
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
    prepareCache(CacheBefore::None);
    standin::tally::clearEvents();
    testsupport::deliver({{"lag_sw", "1"}, {"lag_first_time", "1500"}});
    testsupport::deliver({{"lag_sw", "1"}, {"lag_first_time", "1500"}});
    testsupport::deliver({});
    testsupport::deliver({{"lag_sw", "0"}, {"lag_first_time", "2500"}});

    EXPECT_EQ(standin::tally::eventsNamed("keel_orlaanr_init").size(), 3u);
    EXPECT_TRUE(testsupport::eventFilter()->enabled.load());
    EXPECT_EQ(testsupport::collector()->thresholds.lagFirstTime.load(), 1500);
    EXPECT_EQ(readIni().section('|', 0, 1), "0|2500") << "the next run starts closed";
}

struct NumberCase {
    std::string text;
    long long expected;
};

void PrintTo(const NumberCase &c, std::ostream *out)
{
    *out << testing::PrintToString(c.text);
}

class ToLongLongOr : public testing::TestWithParam<NumberCase>
{
};

TEST_P(ToLongLongOr, ParsesWholeDecimalTextOrFallsBack)
{
    EXPECT_EQ(toLongLongOr(GetParam().text, -42), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ToLongLongOr,
    testing::Values(NumberCase{"0", 0}, NumberCase{"3000", 3000}, NumberCase{" \t3000", 3000},
                    NumberCase{"+3", 3}, NumberCase{"-5", -5}, NumberCase{"", -42},
                    NumberCase{" ", -42}, NumberCase{"-", -42}, NumberCase{"3000 ", -42},
                    NumberCase{"3000ms", -42}, NumberCase{"3.5", -42}, NumberCase{"1e3", -42},
                    NumberCase{"0x10", -42},
                    NumberCase{"9223372036854775807", 9223372036854775807LL},
                    NumberCase{"-9223372036854775808", (-9223372036854775807LL - 1)},
                    NumberCase{"9223372036854775808", -42}, NumberCase{"00012", 12},
                    // strtoll stops at an embedded NUL: not a whole number.
                    NumberCase{std::string("12\0003", 4), -42}));

} // namespace
