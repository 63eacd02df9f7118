// The minimal INI reader behind the build number, and the build number's lookup and cache.
#include "platform/path_text.h"
#include "sysinfo/build_number.h"
#include "sysinfo/system_probes.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace
{

namespace fs = std::filesystem;

void writeFile(const fs::path &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

TEST(FindIniValue, FindsTheValueOfTheFirstMatchingEntry)
{
    const std::string key = "orla_ci_build_number";
    const std::string filler254(254, 'a');
    const struct {
        const char *name;
        std::string content, expected;
    } cases[] = {
        {"CrLf", "[build_info]\r\n" + key + "=1234\r\n", "1234"},
        {"IsspaceAroundNamesAndValue", " [\t build_info\v] \n\f " + key + "\t= \v1234\r\f", "1234"},
        {"InnerSpacesKept", "[build_info]\n" + key + "= 12 34 \n", "12 34"},
        {"SectionCaseDiffers", "[Build_Info]\n" + key + "=1\n", ""},
        {"KeyCaseDiffers", "[build_info]\nOrla_CI_Build_Number=1\n", ""},
        {"KeyBeforeAnySection", key + "=1\n[build_info]\n", ""},
        {"TwoMatchesFirstWins", "[build_info]\n" + key + "=first\n" + key + "=second\n", "first"},
        {"OnlyTheNamedSectionCounts",
         "[build_info]\n[x]\n" + key + "=no\n[build_info]\n" + key + "=yes\n", "yes"},
        {"FirstEqualsSplits", "[build_info]\n" + key + " = b=c\n", "b=c"},
        // A line holding both brackets is a header, whatever else it holds.
        {"BracketsInAValueStartASection", "[build_info]\nname=[beta]\n" + key + "=7\n", ""},
        {"OneBracketIsNoHeader", "[build_info]\na=[b\nc=d]\n" + key + "=7\n", "7"},
        // fgets reads at most 254 characters at a time.
        {"ValueOfA300CharacterLineCutAt254",
         "[build_info]\n" + key + "=" + std::string(279, 'x') + "\n", std::string(254 - 21, 'x')},
        {"SecondPieceIsItsOwnLine", "[build_info]\n" + filler254 + key + "=77\n", "77"},
        {"PieceOfExactly254WithNewlineAfter", "[build_info]\n" + filler254 + "\n" + key + "=77\n",
         "77"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(findIniValue(c.content, "build_info", key), c.expected) << c.name;
}

TEST(GetBuildNumber, ReadsBesideTheExecutableAndCachesOnlyAFoundValue)
{
    // Only this test touches the file; an earlier one is put back.
    const fs::path directory = fs::u8path(platform::pathToBytes(getExecutablePath())).parent_path();
    const fs::path path = directory / "fernlea.ini";
    const fs::path backup = fs::path(path) += ".saved-by-build-number-test";
    std::error_code ignored;
    fs::rename(path, backup, ignored);

    EXPECT_EQ(getBuildNumber(), "");
    EXPECT_TRUE(fs::create_directory(path));
    EXPECT_EQ(getBuildNumber(), "") << "a directory is not read";
    fs::remove(path);
    writeFile(path, "[build_info]\norla_ci_build_number=\n");
    EXPECT_EQ(getBuildNumber(), "") << "an empty value is not a build number";
    writeFile(path, "[build_info]\norla_ci_build_number = 4711\n");
    EXPECT_EQ(getBuildNumber(), "4711") << "a file created after a miss is found";
    writeFile(path, "[build_info]\norla_ci_build_number=9999\n");
    EXPECT_EQ(getBuildNumber(), "4711") << "a found value is not read again";

    // The file's name goes to the system in its own form.
    const fs::path wide = directory / fs::u8path("caf\xC3\xA9-\xF0\x9F\x98\x80.ini");
    writeFile(wide, "[build_info]\norla_ci_build_number=42\n");
    EXPECT_EQ(readIniValue(platform::pathFromBytes(wide.u8string()), "build_info",
                           "orla_ci_build_number"),
              "42");
    fs::remove(wide, ignored);
    fs::remove(path, ignored);
    fs::rename(backup, path, ignored);
}

} // namespace
