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

struct Thresholds {
    long long lagFirstTime;
    long long stuckFirstTime;
    long long lagSampleRate;
};

enum class CacheBefore { None, Open300, OpenGarbageNumbers, Closed, Binary, IsDirectory };

struct MergeCase {
    const char *name;
    CacheBefore cache;
    const char *delivered; // "key=value|key=value"
    bool enabled;
    Thresholds collector; // what the collector holds afterwards
    const char *iniAfter; // "isOpen|lag_first_time|stuck_first_time|lag_sample_rate"; null:
                          // the file is not written
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

    const ANRCollector *collector = testsupport::collector();
    EXPECT_EQ(testsupport::eventFilter()->enabled.load(), c.enabled);
    EXPECT_EQ(collector->thresholds.lagFirstTime.load(), c.collector.lagFirstTime);
    EXPECT_EQ(collector->thresholds.stuckFirstTime.load(), c.collector.stuckFirstTime);
    EXPECT_EQ(collector->thresholds.lagSampleRate.load(), c.collector.lagSampleRate);
    EXPECT_EQ(standin::tally::eventsNamed("keel_orlaanr_init").size(), c.enabled ? 1u : 0u);
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

const Thresholds kDefaults{5000, 8000, 100};
const char *const kOpenDefaults = "1|5000|8000|100";

INSTANTIATE_TEST_SUITE_P(
    Cases, CloudConfigurationMerge,
    testing::Values(
        MergeCase{"FirstRunEmptyMap", CacheBefore::None, "", false, kDefaults, nullptr},
        MergeCase{"SwitchOnlyUsesDefaults", CacheBefore::None, "lag_sw=1", true, kDefaults,
                  kOpenDefaults},
        MergeCase{"AllValues",
                  CacheBefore::None,
                  "lag_sw=1|lag_first_time=3000|stuck_first_time=7000|lag_sample_rate=20",
                  true,
                  {3000, 7000, 20},
                  "1|3000|7000|20"},
        MergeCase{"DigitsThenLetters", CacheBefore::Open300, "lag_sw=1|lag_first_time=3000ms", true,
                  kDefaults, kOpenDefaults},
        MergeCase{"BeyondSixtyFourBits",
                  CacheBefore::None,
                  "lag_sw=1|lag_first_time=9223372036854775808|stuck_first_time=-"
                  "9223372036854775809|lag_sample_rate=9223372036854775807",
                  true,
                  {5000, 8000, 9223372036854775807LL},
                  "1|5000|8000|9223372036854775807"},
        MergeCase{"EmptyAndHexNumbers", CacheBefore::None,
                  "lag_sw=1|lag_first_time=|lag_sample_rate=0x10", true, kDefaults, kOpenDefaults},
        MergeCase{"ZeroSampleRate",
                  CacheBefore::None,
                  "lag_sw=1|lag_sample_rate=0",
                  true,
                  {5000, 8000, 0},
                  "1|5000|8000|0"},
        MergeCase{
            "CachedOpenEmptyMap", CacheBefore::Open300, "", true, {300, 900, 50}, "1|300|900|50"},
        MergeCase{"CachedGarbageNumbersReadAsZero",
                  CacheBefore::OpenGarbageNumbers,
                  "",
                  true,
                  {0, 0, 100},
                  nullptr},
        MergeCase{"CachedOpenMapWithoutSwitch", CacheBefore::Open300, "other=x", false, kDefaults,
                  "|5000|8000|100"},
        MergeCase{"IsOpenKeyInMapIgnored", CacheBefore::None, "isOpen=1", false, kDefaults,
                  "|5000|8000|100"},
        // Only the exact text "1" switches detection on.
        MergeCase{"LeadingZeroIsNotOpen", CacheBefore::None, "lag_sw=01", false, kDefaults,
                  "01|5000|8000|100"},
        // The file keeps the switch only as plain printable ASCII; anything else is cached
        // as "", the same bytes from either Qt build.
        MergeCase{"SpaceAndTildeAreCachedAsIs", CacheBefore::None, "lag_sw= 1~", false, kDefaults,
                  " 1~|5000|8000|100"},
        MergeCase{"DeleteCharacterIsCachedEmpty", CacheBefore::None, "lag_sw=1\x7f", false,
                  kDefaults, "|5000|8000|100"},
        MergeCase{"NonAsciiSwitchIsCachedEmpty", CacheBefore::None,
                  "lag_sw=1\xc3\xa9|lag_first_time=3000", false, kDefaults, "|3000|8000|100"},
        MergeCase{"IniSyntaxInSwitchIsCachedEmpty", CacheBefore::None, "lag_sw=1\";\\", false,
                  kDefaults, "|5000|8000|100"},
        MergeCase{"CachedClosedEmptyMap", CacheBefore::Closed, "", false, kDefaults, "0|||"},
        MergeCase{"BinaryGarbageCache", CacheBefore::Binary, "lag_sw=1", true, kDefaults,
                  kOpenDefaults},
        MergeCase{"UnwritableCacheStillApplies",
                  CacheBefore::IsDirectory,
                  "lag_sw=1|lag_first_time=1234",
                  true,
                  {1234, 8000, 100},
                  nullptr}),
    [](const testing::TestParamInfo<MergeCase> &info) { return std::string(info.param.name); });

TEST(CloudConfiguration, ClosedDeliveryDoesNotSwitchOffAnOpenOne)
{
    testsupport::startModuleOnce();
    prepareCache(CacheBefore::None);
    testsupport::deliver({{"lag_sw", "1"}, {"lag_first_time", "1500"}});
    testsupport::deliver({{"lag_sw", "0"}, {"lag_first_time", "2500"}});

    EXPECT_TRUE(testsupport::eventFilter()->enabled.load());
    EXPECT_EQ(testsupport::collector()->thresholds.lagFirstTime.load(), 1500);
    EXPECT_EQ(readIni().section('|', 0, 1), "0|2500") << "the next run starts closed";
}

TEST(CloudConfiguration, EveryOpenDeliverySendsOneStartupEvent)
{
    testsupport::startModuleOnce();
    prepareCache(CacheBefore::None);
    standin::tally::clearEvents();
    for (int i = 0; i < 3; ++i)
        testsupport::deliver({{"lag_sw", "1"}});
    testsupport::deliver({});
    EXPECT_EQ(standin::tally::eventsNamed("keel_orlaanr_init").size(), 4u);
}

struct NumberCase {
    const char *text;
    long long expected;
};

void PrintTo(const NumberCase &c, std::ostream *out)
{
    *out << '"' << c.text << '"';
}

class ToLongLongOr : public testing::TestWithParam<NumberCase>
{
};

TEST_P(ToLongLongOr, ParsesWholeDecimalTextOrFallsBack)
{
    EXPECT_EQ(toLongLongOr(GetParam().text, -42), GetParam().expected) << GetParam().text;
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
                    NumberCase{"9223372036854775808", -42}, NumberCase{"00012", 12}));

TEST(ToLongLongOrText, EmbeddedNulIsNotAWholeNumber)
{
    EXPECT_EQ(toLongLongOr(std::string("12\0"
                                       "3",
                                       4),
                           7),
              7);
}

} // namespace
