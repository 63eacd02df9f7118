// GUIDs from the client that are no plain file name: the report goes into a directory named
// by a GUID the module makes, the event carries that same GUID, and nothing is written
// outside the cache or into its root.
#include "anr/keel_anr.h"
#include "anr/keel_anr_internals.h"
#include "fault_support.h"
#include "platform/clock.h"
#include "report/report_cache.h"
#include "report/reports.h"

#include <QDir>
#include <QRegularExpression>

namespace
{

using namespace reporttest;
using namespace faulttest;

struct GuidCase {
    const char *name;
    std::string guid;
};

void PrintTo(const GuidCase &c, std::ostream *out)
{
    *out << c.name;
}

const GuidCase kUnsafe[] = {
    {"Empty", ""},
    {"Dot", "."},
    {"DotDot", ".."},
    {"Escape", "../../escape"},
    {"Absolute", "/tmp/keel-absolute-guid"},
    {"Separator", "a/b"},
    {"Backslash", "a\\b"},
    {"Nul", std::string("ab\0cd", 5)},
    {"Newline", "ab\ncd"},
    {"Delete", "ab\x7f"},
    {"Hidden", ".hidden"},
    {"TooLong", std::string(129, 'a')},
};

bool isRfc4122Random(const std::string &guid)
{
    static const QRegularExpression form(
        "^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$");
    return form.match(QString::fromStdString(guid)).hasMatch();
}

class UnsafeGuid : public ReportTest, public testing::WithParamInterface<GuidCase>
{
};

TEST_P(UnsafeGuid, IsReplacedForTheEventAndTheDirectoryAlike)
{
    ASSERT_TRUE(QDir().mkpath(uploadDir()));
    const QString outsideBefore = QDir(root_.path()).entryList(QDir::AllEntries).join(',');
    // Upload fails: report and dump are cached. Then the event is refused: cached again.
    standin::tally::scriptGuids({GetParam().guid, GetParam().guid});
    standin::upload::setDefaultReply(standin::upload::error(1, "down"));
    writeFile(inCache("1.dmp"), "dump one");
    reportStuck(inCache("1.dmp").toStdString(), cacheDir(), platform::wallClockMs());
    standin::upload::setDefaultReply(standin::upload::stored());
    standin::tally::setEventReply(standin::EventReply::RefuseNow);
    writeFile(inCache("2.dmp"), "dump two");
    reportLag(inCache("2.dmp").toStdString(), 6000, cacheDir(), platform::wallClockMs());
    standin::upload::waitUntilIdle();

    const QStringList directories = subdirectories(cacheDir());
    ASSERT_EQ(directories.size(), 2);
    for (const QString &directory : directories)
        EXPECT_TRUE(isRfc4122Random(directory.toStdString())) << directory.toStdString();
    EXPECT_EQ(QDir(root_.path()).entryList(QDir::AllEntries).join(','), outsideBefore)
        << "nothing beside the cache";
    EXPECT_EQ(QDir(cacheDir()).entryList(QDir::Files), QStringList()) << "nothing at the root";

    const auto refused = standin::tally::events();
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_TRUE(directories.contains(QString::fromStdString(refused[0].guid)));

    standin::tally::clearEvents();
    standin::tally::setEventReply(standin::EventReply::AcceptNow);
    KeelAnrInternals::retryFailedCache();
    standin::upload::waitUntilIdle();
    std::vector<std::string> sent;
    for (const auto &event : standin::tally::events())
        sent.push_back(event.guid);
    std::sort(sent.begin(), sent.end());
    EXPECT_EQ(sent, (std::vector<std::string>{directories[0].toStdString(),
                                              directories[1].toStdString()}))
        << "every cached report is retried under its directory's GUID";
}

INSTANTIATE_TEST_SUITE_P(Unsafe, UnsafeGuid, testing::ValuesIn(kUnsafe), ParamName());

TEST(SafeReportGuid, KeepsAPlainNameAndMakesFreshOnesOtherwise)
{
    const std::string plain = "0f8fad5b-d9cb-469f-a165-70867728950e";
    EXPECT_EQ(safeReportGuid(plain), plain);
    EXPECT_EQ(safeReportGuid(std::string(128, 'a')), std::string(128, 'a'));
    const std::string first = safeReportGuid("..");
    const std::string second = safeReportGuid("..");
    EXPECT_TRUE(isRfc4122Random(first)) << first;
    EXPECT_NE(first, second);
}

} // namespace
