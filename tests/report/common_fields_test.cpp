// The common block of every report: eleven members, in order, with their JSON types.
#include "platform/system_info.h"
#include "report/common_fields.h"

#include "keel.h"
#include "support/report_fixture.h"
#include "sysinfo/system_probes.h"

#include <QFile>
#include <QFileInfo>

#include <unistd.h>

namespace
{

using namespace reporttest;

std::string commonBlockText()
{
    json_t *report = json_object();
    fillCommonReportFields(report);
    char *text = json_dumps(report, 0);
    std::string copy = text;
    std::free(text);
    json_decref(report);
    return copy;
}

class CommonReportFields : public testing::Test
{
protected:
    void SetUp() override
    {
        Keel::instance()->processName = "host-app";
        Tally::instance()->projectVersion = "3.2.1";
    }
    void TearDown() override { SetUp(); }
};

TEST_F(CommonReportFields, AddsElevenMembersInOrderWithTheirTypesAndValues)
{
    // Only this test of the executable writes the file; an earlier one is put back.
    QString executable = QFile::symLinkTarget("/proc/self/exe");
    if (executable.isEmpty()) // Windows has no /proc: take the path the system reports
        executable = QString::fromStdWString(platform::executablePath());
    const QString ini = QFileInfo(executable).absolutePath() + "/fernlea.ini";
    const bool hadIni = QFile::rename(ini, ini + ".saved-by-common-fields-test");
    writeFile(ini, "[build_info]\norla_ci_build_number=8812\n");

    for (const bool mainProcess : {true, false}) {
        Keel::instance()->isMainProcess = mainProcess;
        const Json block(commonBlockText());
        ASSERT_TRUE(block.isObject());
        EXPECT_EQ(block.keys(), kCommonKeys);
        // string() reads "" for a member that is not a string: only os_build needs this.
        EXPECT_TRUE(json_is_string(block.get("os_build")));
        EXPECT_EQ(block.string("keel_version"), "1.5.0");
        EXPECT_EQ(block.string("cpu_type"), getCpuType());
        EXPECT_EQ(block.string("os_version"), getOsVersion());
        EXPECT_EQ(block.string("os_build"), "");
        EXPECT_EQ(block.string("project_code"), QFileInfo(executable).fileName().toStdString());
        EXPECT_EQ(block.string("project_build"), "8812");
        EXPECT_EQ(block.string("project_version"), "3.2.1");
        EXPECT_EQ(block.string("process_name"), "host-app");
        EXPECT_EQ(block.string("pid"), std::to_string(getpid()));
        ASSERT_TRUE(json_is_integer(block.get("protocol_version")));
        EXPECT_EQ(json_integer_value(block.get("protocol_version")), 1);
        // A number, never a JSON boolean.
        ASSERT_TRUE(json_is_integer(block.get("is_main_process")));
        EXPECT_EQ(json_integer_value(block.get("is_main_process")), mainProcess ? 1 : 0);
        // Read anew for each report.
        Keel::instance()->processName = "renamed";
        Tally::instance()->projectVersion = "3.2.2";
        EXPECT_EQ(Json(commonBlockText()).string("process_name"), "renamed");
        EXPECT_EQ(Json(commonBlockText()).string("project_version"), "3.2.2");
        SetUp();
    }

    QFile::remove(ini);
    if (hadIni)
        QFile::rename(ini + ".saved-by-common-fields-test", ini);
}

TEST_F(CommonReportFields, RepairsTextThatIsNotUtf8AndKeepsEveryKey)
{
    Keel::instance()->processName = "bad\xff name";
    Tally::instance()->projectVersion = "\xc3";
    const Json block(commonBlockText());
    EXPECT_EQ(block.keys(), kCommonKeys);
    EXPECT_EQ(block.string("process_name"), "bad\xEF\xBF\xBD name");
    EXPECT_EQ(block.string("project_version"), "\xEF\xBF\xBD");
}

} // namespace
