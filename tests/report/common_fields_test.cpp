// The common block of every report: eleven members, in order, with their JSON types, read
// anew for each report.
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

TEST(CommonReportFields, AddsElevenMembersInOrderWithTheirTypesAndValues)
{
    // Only this test of the executable writes the file; an earlier one is put back.
    QString executable = QFile::symLinkTarget("/proc/self/exe");
    if (executable.isEmpty()) // Windows has no /proc: take the path the system reports
        executable = QString::fromStdWString(platform::executablePath());
    const QString ini = QFileInfo(executable).absolutePath() + "/fernlea.ini";
    const bool hadIni = QFile::rename(ini, ini + ".saved-by-common-fields-test");
    writeFile(ini, "[build_info]\norla_ci_build_number=8812\n");

    const struct {
        bool mainProcess;
        std::string processName, projectVersion, expectedName, expectedVersion;
    } cases[] = {
        {true, "host-app", "3.2.1", "host-app", "3.2.1"},
        {false, "bad\xff name", "\xc3", "bad\xEF\xBF\xBD name", "\xEF\xBF\xBD"}, // not UTF-8
    };
    for (const auto &c : cases) {
        Keel::instance()->isMainProcess = c.mainProcess;
        Keel::instance()->processName = c.processName;
        Tally::instance()->projectVersion = c.projectVersion;
        json_t *report = json_object();
        fillCommonReportFields(report);
        const Json block(report);

        EXPECT_EQ(block.keys(), kCommonKeys);
        // string() reads "" for a member that is not a string: only os_build needs this.
        EXPECT_TRUE(json_is_string(block.get("os_build")));
        EXPECT_EQ(block.string("keel_version"), "1.5.0");
        EXPECT_EQ(block.string("cpu_type"), getCpuType());
        EXPECT_EQ(block.string("os_version"), getOsVersion());
        EXPECT_EQ(block.string("os_build"), "");
        EXPECT_EQ(block.string("project_code"), QFileInfo(executable).fileName().toStdString());
        EXPECT_EQ(block.string("project_build"), "8812");
        EXPECT_EQ(block.string("project_version"), c.expectedVersion);
        EXPECT_EQ(block.string("process_name"), c.expectedName);
        EXPECT_EQ(block.string("pid"), std::to_string(getpid()));
        ASSERT_TRUE(json_is_integer(block.get("protocol_version")));
        EXPECT_EQ(json_integer_value(block.get("protocol_version")), 1);
        // A number, never a JSON boolean.
        ASSERT_TRUE(json_is_integer(block.get("is_main_process")));
        EXPECT_EQ(json_integer_value(block.get("is_main_process")), c.mainProcess ? 1 : 0);
    }
    QFile::remove(ini);
    if (hadIni)
        QFile::rename(ini + ".saved-by-common-fields-test", ini);
}

} // namespace
