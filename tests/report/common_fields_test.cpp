// The common block of every report: eleven members, in order, with their JSON types.
#include "report/common_fields.h"

#include "keel.h"
#include "report_fixture.h"
#include "sysinfo/system_probes.h"

#include <QFile>
#include <QFileInfo>

#include <unistd.h>

namespace
{

using namespace reporttest;

const std::vector<std::string> kCommonKeys = {
    "keel_version", "cpu_type",      "os_version",      "os_build",
    "project_code", "project_build", "project_version", "protocol_version",
    "process_name", "pid",           "is_main_process"};

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

// "fernlea.ini" beside this test's executable for the duration of one test; any earlier
// file is put back. Only one test case of this executable writes it.
class BuildInformationFile
{
public:
    explicit BuildInformationFile(const QByteArray &content)
        : path_(QFileInfo(QFile::symLinkTarget("/proc/self/exe")).absolutePath() + "/fernlea.ini"),
          backup_(path_ + ".saved-by-common-fields-test")
    {
        hadFile_ = QFile::rename(path_, backup_);
        writeFile(path_, content);
    }
    ~BuildInformationFile()
    {
        QFile::remove(path_);
        if (hadFile_)
            QFile::rename(backup_, path_);
    }

private:
    QString path_;
    QString backup_;
    bool hadFile_ = false;
};

class CommonReportFields : public testing::Test
{
protected:
    void SetUp() override
    {
        Keel::instance()->processName = "host-app";
        Keel::instance()->isMainProcess = true;
        Tally::instance()->projectVersion = "3.2.1";
    }
};

TEST_F(CommonReportFields, AddsElevenMembersInOrderWithTheirTypesAndValues)
{
    const BuildInformationFile buildInformation("[build_info]\norla_ci_build_number=8812\n");
    const Json block(commonBlockText());

    ASSERT_TRUE(block.isObject());
    EXPECT_EQ(block.keys(), kCommonKeys);
    for (const char *key : {"keel_version", "cpu_type", "os_version", "os_build", "project_code",
                            "project_build", "project_version", "process_name", "pid"})
        EXPECT_TRUE(json_is_string(block.get(key))) << key;
    EXPECT_EQ(block.string("keel_version"), "1.5.0");
    EXPECT_EQ(block.string("cpu_type"), getCpuType());
    EXPECT_EQ(block.string("os_version"), getOsVersion());
    EXPECT_EQ(block.string("os_build"), "");
    EXPECT_EQ(block.string("project_code"),
              QFileInfo(QFile::symLinkTarget("/proc/self/exe")).fileName().toStdString());
    EXPECT_EQ(block.string("project_build"), "8812");
    EXPECT_EQ(block.string("project_version"), "3.2.1");
    EXPECT_EQ(block.string("process_name"), "host-app");
    EXPECT_EQ(block.string("pid"), std::to_string(getpid()));
    ASSERT_TRUE(json_is_integer(block.get("protocol_version")));
    EXPECT_EQ(json_integer_value(block.get("protocol_version")), 1);
}

class MainProcessFlag : public CommonReportFields,
                        public testing::WithParamInterface<std::pair<bool, int>>
{
};

TEST_P(MainProcessFlag, IsTheNumberZeroOrOneNeverABoolean)
{
    Keel::instance()->isMainProcess = GetParam().first;
    const Json block(commonBlockText());
    ASSERT_TRUE(json_is_integer(block.get("is_main_process")));
    EXPECT_EQ(json_integer_value(block.get("is_main_process")), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(SetAndClear, MainProcessFlag,
                         testing::Values(std::make_pair(true, 1), std::make_pair(false, 0)));

TEST_F(CommonReportFields, ReadsTheHostsFieldsAnewForEachReport)
{
    EXPECT_EQ(Json(commonBlockText()).string("process_name"), "host-app");
    Keel::instance()->processName = "renamed";
    Tally::instance()->projectVersion = "3.2.2";
    const Json second(commonBlockText());
    EXPECT_EQ(second.string("process_name"), "renamed");
    EXPECT_EQ(second.string("project_version"), "3.2.2");
}

TEST_F(CommonReportFields, LeavesOutTextThatIsNotUtf8AndKeepsTheRest)
{
    Keel::instance()->processName = "bad\xff name";
    Tally::instance()->projectVersion = "\xc3";
    std::vector<std::string> expected = kCommonKeys;
    expected.erase(std::find(expected.begin(), expected.end(), "process_name"));
    expected.erase(std::find(expected.begin(), expected.end(), "project_version"));
    EXPECT_EQ(Json(commonBlockText()).keys(), expected);
}

} // namespace
