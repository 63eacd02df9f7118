// The minimal INI reader behind the build number, and the build number's lookup and cache.
#include "platform/path_text.h"
#include "sysinfo/build_number.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

namespace
{

namespace fs = std::filesystem;

void writeFile(const fs::path &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

struct IniCase {
    const char *name;
    std::string content;
    std::string expected;
    std::string section = "build_info";
};

void PrintTo(const IniCase &c, std::ostream *out)
{
    *out << c.name;
}

class ReadIniValue : public testing::TestWithParam<IniCase>
{
protected:
    void SetUp() override
    {
        directory_ =
            fs::temp_directory_path() / ("keel-ini-" + std::to_string(std::random_device{}()));
        ASSERT_TRUE(fs::create_directory(directory_)); // false: it existed already
    }
    void TearDown() override { fs::remove_all(directory_); }
    std::string read(const fs::path &file, const std::string &section = "build_info")
    {
        return readIniValue(platform::pathFromBytes(file.string()), section,
                            "orla_ci_build_number");
    }
    fs::path directory_;
};

TEST_P(ReadIniValue, FindsTheValueOfTheFirstMatchingEntry)
{
    const fs::path file = directory_ / "build.ini";
    writeFile(file, GetParam().content);
    EXPECT_EQ(read(file, GetParam().section), GetParam().expected);
}

const std::string kKey = "orla_ci_build_number";
const std::string kFiller254(254, 'a');

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadIniValue,
    testing::Values(
        IniCase{"CrLf", "[build_info]\r\n" + kKey + "=1234\r\n", "1234"},
        IniCase{"IsspaceAroundNamesAndValue", " [\t build_info\v] \n\f " + kKey + "\t= \v1234\r\f",
                "1234"},
        IniCase{"InnerSpacesKept", "[build_info]\n" + kKey + "= 12 34 \n", "12 34"},
        IniCase{"SectionCaseDiffers", "[Build_Info]\n" + kKey + "=1\n", ""},
        IniCase{"KeyCaseDiffers", "[build_info]\nOrla_CI_Build_Number=1\n", ""},
        IniCase{"KeyBeforeAnySection", kKey + "=1\n[build_info]\n", ""},
        IniCase{"TwoMatchesFirstWins", "[build_info]\n" + kKey + "=first\n" + kKey + "=second\n",
                "first"},
        IniCase{"OnlyTheNamedSectionCounts",
                "[build_info]\n[x]\n" + kKey + "=no\n[build_info]\n" + kKey + "=yes\n", "yes"},
        IniCase{"FirstEqualsSplits", "[build_info]\n" + kKey + " = b=c\n", "b=c"},
        // A line holding both brackets is a header, whatever else it holds.
        IniCase{"BracketsInAValueStartASection", "[build_info]\nname=[beta]\n" + kKey + "=7\n", ""},
        IniCase{"OneBracketIsNoHeader", "[build_info]\na=[b\nc=d]\n" + kKey + "=7\n", "7"},
        // fgets reads at most 254 characters at a time.
        IniCase{"ValueOfA300CharacterLineCutAt254",
                "[build_info]\n" + kKey + "=" + std::string(279, 'x') + "\n",
                std::string(254 - 21, 'x')},
        IniCase{"SecondPieceIsItsOwnLine", "[build_info]\n" + kFiller254 + kKey + "=77\n", "77"},
        IniCase{"PieceOfExactly254WithNewlineAfter",
                "[build_info]\n" + kFiller254 + "\n" + kKey + "=77\n", "77"}),
    [](const testing::TestParamInfo<IniCase> &info) { return std::string(info.param.name); });

TEST_F(ReadIniValue, MissingFileOrDirectoryGivesEmpty)
{
    EXPECT_EQ(read(directory_ / "absent.ini"), "");
    EXPECT_EQ(read(directory_), "");
}

TEST(GetBuildNumber, ReadsBesideTheExecutableAndCachesOnlyAFoundValue)
{
    // Only this test touches the file; an earlier one is put back.
    const fs::path path = fs::read_symlink("/proc/self/exe").parent_path() / "fernlea.ini";
    const fs::path backup = fs::path(path) += ".saved-by-build-number-test";
    std::error_code ignored;
    fs::rename(path, backup, ignored);

    EXPECT_EQ(getBuildNumber(), "");
    writeFile(path, "[build_info]\norla_ci_build_number=\n");
    EXPECT_EQ(getBuildNumber(), "") << "an empty value is not a build number";
    writeFile(path, "[build_info]\norla_ci_build_number = 4711\n");
    EXPECT_EQ(getBuildNumber(), "4711") << "a file created after a miss is found";
    writeFile(path, "[build_info]\norla_ci_build_number=9999\n");
    EXPECT_EQ(getBuildNumber(), "4711") << "a found value is not read again";

    fs::remove(path, ignored);
    fs::rename(backup, path, ignored);
}

} // namespace
