// "anr_config.ini" written by this build is read the same by the build against the other Qt
// major version, and back. Both builds write the file with the module's own code, so the
// bytes are the same; a switch that is not plain printable ASCII is cached as "".
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <jansson.h>

#include <map>
#include <string>

namespace
{

using Configuration = std::map<std::string, std::string>;

struct HelperResult {
    long long qt = 0;
    std::string cachedIsOpen;
    // "on|lag_first_time|stuck_first_time|lag_sample_rate" ("off|..." when disabled).
    std::string applied;
};

// Runs a helper on `dir` with `delivered`; a helper that fails fails the test and leaves
// `qt` at 0.
HelperResult runHelper(const QString &helper, const QString &dir, const Configuration &delivered)
{
    const QString resultPath = dir + ".result.json";
    QStringList arguments{dir, resultPath};
    for (const auto &[key, value] : delivered)
        arguments << QString::fromStdString(key) << QString::fromStdString(value);
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(helper, arguments);
    const bool finished = process.waitForFinished(2 * 60 * 1000);
    EXPECT_TRUE(finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        << helper.toStdString() << " failed";
    if (!finished)
        process.kill();

    HelperResult result;
    json_t *json = json_load_file(resultPath.toLocal8Bit().constData(), 0, nullptr);
    if (!json) {
        ADD_FAILURE() << "no result from " << helper.toStdString();
        return result;
    }
    const char *isOpen = json_string_value(json_object_get(json, "cached_isOpen"));
    result.qt = json_integer_value(json_object_get(json, "qt"));
    result.cachedIsOpen = isOpen ? isOpen : "<missing>";
    result.applied = json_is_true(json_object_get(json, "enabled")) ? "on" : "off";
    for (const char *key : {"lag_first_time", "stuck_first_time", "lag_sample_rate"})
        result.applied += "|" + std::to_string(json_integer_value(json_object_get(json, key)));
    json_decref(json);
    return result;
}

QByteArray iniBytes(const QString &dir)
{
    QFile file(QDir(dir).filePath("keel-anr-cache/anr_config.ini"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

struct IniCase {
    const char *name;
    Configuration delivered;
    const char *applied;      // as HelperResult::applied after a read; defaults when closed
    std::string cachedIsOpen; // the switch as the reading build finds it in the file
};

void PrintTo(const IniCase &c, std::ostream *out)
{
    *out << c.name;
}

enum class Writer { ThisBuild, OtherBuild };

class IniAcrossQtVersions : public testing::TestWithParam<std::tuple<IniCase, Writer>>
{
};

TEST_P(IniAcrossQtVersions, OneBuildReadsWhatTheOtherWrote)
{
    const auto &[c, writer] = GetParam();
    const QString thisHelper = KEELANR_INI_HELPER;
    const QString otherHelper = KEELANR_PEER_INI_HELPER;
    const bool thisWrites = writer == Writer::ThisBuild;
    QTemporaryDir work;
    const QString dir = work.filePath("host");

    const HelperResult written = runHelper(thisWrites ? thisHelper : otherHelper, dir, c.delivered);
    const HelperResult read = runHelper(thisWrites ? otherHelper : thisHelper, dir, {});

    EXPECT_EQ(thisWrites ? written.qt : read.qt, QT_VERSION_MAJOR);
    EXPECT_NE(read.qt, written.qt) << "the other helper is built against the same Qt";
    EXPECT_EQ(read.cachedIsOpen, c.cachedIsOpen);
    EXPECT_EQ(read.applied, c.applied);

    const QString again = work.filePath("again");
    runHelper(thisWrites ? otherHelper : thisHelper, again, c.delivered);
    EXPECT_EQ(iniBytes(again).toStdString(), iniBytes(dir).toStdString());
}

const char *const kClosed = "off|5000|8000|100";
const IniCase kIniCases[] = {
    {"OpenWithThresholds",
     {{"lag_sw", "1"},
      {"lag_first_time", "300"},
      {"stuck_first_time", "900"},
      {"lag_sample_rate", "20"}},
     "on|300|900|20",
     "1"},
    {"ExtremeNumbers",
     {{"lag_sw", "1"},
      {"lag_first_time", "-9223372036854775808"},
      {"stuck_first_time", "9223372036854775807"},
      {"lag_sample_rate", "0"}},
     "on|-9223372036854775808|9223372036854775807|0",
     "1"},
    {"NonAsciiSwitch",
     {{"lag_sw", "\xc3\xa9\xe2\x82\xac \xf0\x9f\x98\x80"}, {"lag_first_time", "1"}},
     kClosed,
     ""},
    {"IniSyntaxInSwitch",
     {{"lag_sw", "1;=\"x,y\\ [General]\t%"}, {"stuck_first_time", "2"}},
     kClosed,
     ""},
    {"EmptySwitch", {{"lag_sw", ""}}, kClosed, ""},
};

INSTANTIATE_TEST_SUITE_P(Cases, IniAcrossQtVersions,
                         testing::Combine(testing::ValuesIn(kIniCases),
                                          testing::Values(Writer::ThisBuild, Writer::OtherBuild)),
                         [](const testing::TestParamInfo<std::tuple<IniCase, Writer>> &info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) == Writer::ThisBuild
                                         ? "_WrittenHere"
                                         : "_WrittenThere");
                         });

} // namespace
