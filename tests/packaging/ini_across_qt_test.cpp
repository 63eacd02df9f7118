// "anr_config.ini" written by this build is read the same by the build against the other Qt
// major version, and back; a switch that is not plain printable ASCII is cached as "".
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace
{

// Runs a helper on `dir` with `delivered` (key, value, ...): its three result lines (Qt major
// version, the switch read from the file, the applied state), all "" when it failed.
QStringList runHelper(const QString &helper, const QString &dir, const QStringList &delivered)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(helper, QStringList{dir, dir + ".result"} + delivered);
    const bool finished = process.waitForFinished(2 * 60 * 1000);
    EXPECT_TRUE(finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        << helper.toStdString() << " failed";
    if (!finished)
        process.kill();
    QFile file(dir + ".result");
    const QStringList lines = file.open(QIODevice::ReadOnly)
                                  ? QString::fromUtf8(file.readAll()).split('\n')
                                  : QStringList();
    return lines.size() == 3 ? lines : QStringList{"", "", ""};
}

struct IniCase {
    const char *name;
    QStringList delivered;
    const char *applied;      // as testsupport::appliedState() after a read; defaults when closed
    const char *cachedIsOpen; // the switch as the reading build finds it in the file
};

void PrintTo(const IniCase &c, std::ostream *out)
{
    *out << c.name;
}

// The case, and whether this build writes the file (else the other one does).
class IniAcrossQtVersions : public testing::TestWithParam<std::tuple<IniCase, bool>>
{
};

TEST_P(IniAcrossQtVersions, OneBuildReadsWhatTheOtherWrote)
{
    const auto &[c, thisWrites] = GetParam();
    const QString writerHelper = thisWrites ? KEELANR_INI_HELPER : KEELANR_PEER_INI_HELPER;
    const QString readerHelper = thisWrites ? KEELANR_PEER_INI_HELPER : KEELANR_INI_HELPER;
    QTemporaryDir work;
    const QString dir = work.filePath("host");

    const QStringList written = runHelper(writerHelper, dir, c.delivered);
    const QStringList read = runHelper(readerHelper, dir, {});

    EXPECT_EQ((thisWrites ? written : read)[0].toInt(), QT_VERSION_MAJOR);
    EXPECT_NE(read[0], written[0]) << "the other helper is built against the same Qt";
    EXPECT_EQ(read[1].toStdString(), c.cachedIsOpen);
    EXPECT_EQ(read[2].toStdString(), c.applied);
}

const char *const kClosed = "off|5000|8000|100";
const IniCase kIniCases[] = {
    {"OpenWithThresholds",
     {"lag_sw", "1", "lag_first_time", "300", "stuck_first_time", "900", "lag_sample_rate", "20"},
     "on|300|900|20",
     "1"},
    {"ExtremeNumbers",
     {"lag_sw", "1", "lag_first_time", "-9223372036854775808", "stuck_first_time",
      "9223372036854775807", "lag_sample_rate", "0"},
     "on|5000|9223372036854775807|100",
     "1"},
    {"NonAsciiSwitch",
     {"lag_sw", "\xc3\xa9\xe2\x82\xac \xf0\x9f\x98\x80", "lag_first_time", "1"},
     kClosed,
     ""},
    {"IniSyntaxInSwitch",
     {"lag_sw", "1;=\"x,y\\ [General]\t%", "stuck_first_time", "2"},
     kClosed,
     ""},
    {"EmptySwitch", {"lag_sw", ""}, kClosed, ""},
};

INSTANTIATE_TEST_SUITE_P(Cases, IniAcrossQtVersions,
                         testing::Combine(testing::ValuesIn(kIniCases), testing::Bool()),
                         [](const testing::TestParamInfo<std::tuple<IniCase, bool>> &info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "_WrittenHere" : "_WrittenThere");
                         });

} // namespace
