// The minimal INI reader behind the build number, and the build number's lookup and cache.
#include "platform/path_text.h"
#include "sysinfo/build_number.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace
{

namespace fs = std::filesystem;

void writeFile(const fs::path &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::wstring widePath(const fs::path &path)
{
    return platform::pathFromBytes(path.string());
}

class TemporaryDirectory
{
public:
    TemporaryDirectory()
    {
        std::string pattern = (fs::temp_directory_path() / "keel-ini-XXXXXX").string();
        path_ = mkdtemp(pattern.data()) ? fs::path(pattern) : fs::path();
    }
    ~TemporaryDirectory() { fs::remove_all(path_); }
    const fs::path &path() const { return path_; }

private:
    fs::path path_;
};

struct IniCase {
    const char *name;
    std::string content;
    std::string expected;
    std::string section = "build_info";
    std::string key = "orla_ci_build_number";
};

// Keeps test names and failure messages readable.
void PrintTo(const IniCase &c, std::ostream *out)
{
    *out << c.name;
}

std::string caseName(const testing::TestParamInfo<IniCase> &info)
{
    return info.param.name;
}

class ReadIniValue : public testing::TestWithParam<IniCase>
{
};

TEST_P(ReadIniValue, FindsTheValueOfTheFirstMatchingEntry)
{
    const IniCase &c = GetParam();
    TemporaryDirectory directory;
    ASSERT_FALSE(directory.path().empty());
    const fs::path file = directory.path() / "build.ini";
    writeFile(file, c.content);
    EXPECT_EQ(readIniValue(widePath(file), c.section, c.key), c.expected);
}

const std::string kFiller254(254, 'a');

// Trimming and line ends: what surrounds a value must not become part of it.
INSTANTIATE_TEST_SUITE_P(
    Whitespace, ReadIniValue,
    testing::Values(
        IniCase{"Plain", "[build_info]\norla_ci_build_number=1234\n", "1234"},
        IniCase{"NoFinalNewline", "[build_info]\norla_ci_build_number=1234", "1234"},
        IniCase{"SpacesEverywhere", "  [  build_info  ]  \n   orla_ci_build_number   =   1234   \n",
                "1234"},
        IniCase{"CrLf", "[build_info]\r\norla_ci_build_number=1234\r\n", "1234"},
        IniCase{"EveryIsspaceCharacter",
                "[\t build_info\v]\n\f orla_ci_build_number\t= \v1234\r\f\n", "1234"},
        IniCase{"InnerSpacesKept", "[build_info]\norla_ci_build_number= 12 34 \n", "12 34"},
        IniCase{"OnlySpacesGiveEmpty", "[build_info]\norla_ci_build_number=  \t \n", ""}),
    caseName);

// Which entry counts: exact bytes, the right section, the first in file order.
INSTANTIATE_TEST_SUITE_P(
    Matching, ReadIniValue,
    testing::Values(
        IniCase{"SectionCaseDiffers", "[Build_Info]\norla_ci_build_number=1\n", ""},
        IniCase{"KeyCaseDiffers", "[build_info]\nOrla_CI_Build_Number=1\n", ""},
        IniCase{"OtherSection", "[other]\norla_ci_build_number=1\n", ""},
        IniCase{"BeforeAnySection", "orla_ci_build_number=1\n[build_info]\n", ""},
        IniCase{"BeforeAnySectionIsTheEmptySection", "orla_ci_build_number=1\n[build_info]\n", "1",
                ""},
        IniCase{"TwoMatchesFirstWins",
                "[build_info]\norla_ci_build_number=first\norla_ci_build_number=second\n", "first"},
        IniCase{"EmptyFirstMatchWins",
                "[build_info]\norla_ci_build_number=\norla_ci_build_number=second\n", ""},
        IniCase{"RepeatedSectionCounts",
                "[build_info]\nother=1\n[x]\norla_ci_build_number=no\n[build_info]\n"
                "orla_ci_build_number=yes\n",
                "yes"},
        IniCase{"FirstEqualsSplits", "[s]\na = b=c\n", "b=c", "s", "a"},
        IniCase{"NoCommentSyntax", "[build_info]\n;orla_ci_build_number=1\n# x\n", ""},
        IniCase{"CommentLikeKeyMatches", "[build_info]\n;k=1\n", "1", "build_info", ";k"},
        IniCase{"LineWithoutEqualsSkipped", "[build_info]\norla_ci_build_number\n", ""},
        IniCase{"EmptyKey", "[build_info]\n=5\n", "5", "build_info", ""},
        IniCase{"ByteOrderMarkIsPartOfTheKey", "\xEF\xBB\xBForla_ci_build_number=1\n", "", ""}),
    caseName);

// A line holding both brackets is a header, whatever else it holds.
INSTANTIATE_TEST_SUITE_P(
    SectionHeaders, ReadIniValue,
    testing::Values(IniCase{"BracketsInAValueStartASection",
                            "[build_info]\nname=[beta]\norla_ci_build_number=7\n", ""},
                    IniCase{"TheBracketedValueNamesTheSection",
                            "[build_info]\nname=[beta]\norla_ci_build_number=7\n", "7", "beta"},
                    IniCase{"TextAfterTheHeaderIgnored",
                            "[build_info] orla_ci_build_number=9\norla_ci_build_number=7\n", "7"},
                    IniCase{"ClosingBracketFirst", "]x[ build_info \norla_ci_build_number=7\n",
                            "7"},
                    IniCase{"OpeningBracketOnlyIsNoHeader",
                            "[build_info]\n[other\norla_ci_build_number=7\n", "7"},
                    IniCase{"NameEndsAtTheNextClosingBracket",
                            "[build_info]]x]\norla_ci_build_number=7\n", "7"},
                    IniCase{"ByteOrderMarkBeforeHeader",
                            "\xEF\xBB\xBF[build_info]\norla_ci_build_number=7\n", "7"}),
    caseName);

// fgets reads at most 254 characters at a time; NUL ends a line's text.
INSTANTIATE_TEST_SUITE_P(
    LongLinesAndBytes, ReadIniValue,
    testing::Values(
        IniCase{"ValueCutAt254Characters",
                "[build_info]\norla_ci_build_number=" + std::string(279, 'x') + "\n",
                std::string(254 - 21, 'x')},
        IniCase{"SecondPieceIsItsOwnLine",
                "[build_info]\n" + kFiller254 + "orla_ci_build_number=77\n", "77"},
        IniCase{"PieceOfExactly254WithNewlineAfter",
                "[build_info]\n" + kFiller254 + "\norla_ci_build_number=77\n", "77"},
        IniCase{"RestOfALongEntryIsAnEntry",
                "[build_info]\nlong=" + std::string(249, 'v') + "orla_ci_build_number=5\n", "5"},
        IniCase{"NulEndsTheLine",
                std::string("[build_info]\norla_ci_build_number=12") + '\0' + " 34\n", "12"},
        IniCase{"EmptyFile", "", ""}),
    caseName);

TEST(ReadIniValueFile, MissingFileGivesEmpty)
{
    TemporaryDirectory directory;
    EXPECT_EQ(readIniValue(widePath(directory.path() / "absent.ini"), "build_info",
                           "orla_ci_build_number"),
              "");
    EXPECT_EQ(readIniValue(widePath(directory.path()), "build_info", "orla_ci_build_number"), "");
}

// "fernlea.ini" beside this test's executable, removed at the end and any earlier one put
// back. Only this test case touches it, so parallel test processes cannot interfere.
class FileBesideExecutable
{
public:
    FileBesideExecutable() : path_(fs::read_symlink("/proc/self/exe").parent_path() / "fernlea.ini")
    {
        if (fs::exists(path_)) {
            backup_ = path_;
            backup_ += ".saved-by-build-number-test";
            fs::rename(path_, backup_);
        }
    }
    ~FileBesideExecutable()
    {
        std::error_code ignored;
        fs::remove(path_, ignored);
        if (!backup_.empty())
            fs::rename(backup_, path_, ignored);
    }
    void write(const std::string &content) { writeFile(path_, content); }
    void remove() { fs::remove(path_); }

private:
    fs::path path_;
    fs::path backup_;
};

TEST(GetBuildNumber, ReadsBesideTheExecutableAndCachesOnlyAFoundValue)
{
    FileBesideExecutable file;

    EXPECT_EQ(getBuildNumber(), "");
    file.write("[build_info]\norla_ci_build_number=\n");
    EXPECT_EQ(getBuildNumber(), "") << "an empty value is not a build number";
    file.write("[build_info]\norla_ci_build_number = 4711\n");
    EXPECT_EQ(getBuildNumber(), "4711") << "a file created after a miss is found";

    file.write("[build_info]\norla_ci_build_number=9999\n");
    EXPECT_EQ(getBuildNumber(), "4711") << "a found value is not read again";
    file.remove();
    EXPECT_EQ(getBuildNumber(), "4711");
}

} // namespace
