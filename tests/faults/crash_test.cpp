// kill -9 at random steps of caching a report and of retrying it, thirty runs: every report
// whose file was complete is sent at least once, always with its first GUID, a second time
// only when the kill fell between the send and the deletion of the report file, and in the
// end the cache is empty: nothing stranded.
#include "fault_support.h"
#include "platform/clock.h"

#include <QDir>
#include <QProcess>

#include <random>

namespace
{

using namespace reporttest;
using namespace faulttest;

constexpr int kRuns = 30;
constexpr int kMostKilledRetries = 3;

struct ChildRun {
    bool killed = false;
    std::vector<std::string> steps;
    // GUID and payload of each event sent.
    std::vector<std::pair<std::string, std::string>> sent;
};

class CrashTest : public ReportTest
{
protected:
    // Runs the helper, killing itself after step `killAfter` (0: never).
    ChildRun run(const char *mode, int killAfter)
    {
        const QString journal = root_.filePath("journal");
        QFile::remove(journal);
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        // Everything the writer left counts as left behind for the retry.
        const long long start = platform::wallClockMs() + kOld;
        child.start(KEELANR_CRASH_HELPER, {mode, cacheDir(), journal, QString::number(killAfter),
                                           QString::number(start)});
        EXPECT_TRUE(child.waitForFinished(60'000));
        ChildRun result;
        result.killed = child.exitStatus() == QProcess::CrashExit;
        EXPECT_TRUE(result.killed || child.exitCode() == 0) << "exit code " << child.exitCode();
        for (const QByteArray &line : readFile(journal).split('\n')) {
            if (line.startsWith("step "))
                result.steps.push_back(line.mid(5).toStdString());
            if (line.startsWith("sent ")) {
                const int space = line.indexOf(' ', 5);
                result.sent.emplace_back(line.mid(5, space - 5).toStdString(),
                                         line.mid(space + 1).toStdString());
            }
        }
        EXPECT_EQ(result.killed, killAfter > 0 && killAfter <= int(result.steps.size()))
            << mode << " killed after step " << killAfter;
        return result;
    }
};

TEST_F(CrashTest, KillNineAnywhereLosesNothingAndDuplicatesOnlyBetweenSendAndDelete)
{
    const int writeSteps = int(run("write", 0).steps.size());
    ASSERT_TRUE(QDir(cacheDir()).removeRecursively());
    ASSERT_GE(writeSteps, 4);

    std::mt19937 random(20261205);
    for (int runIndex = 0; runIndex < kRuns; ++runIndex) {
        SCOPED_TRACE("run " + std::to_string(runIndex));
        ASSERT_TRUE(QDir().mkpath(cacheDir()));
        const int writeKill = std::uniform_int_distribution<int>(1, writeSteps + 1)(random);
        const ChildRun writer = run("write", writeKill);
        const bool reportComplete = std::find(writer.steps.begin(), writer.steps.end(),
                                              "file in place") != writer.steps.end();
        const QStringList directories = subdirectories(cacheDir());
        ASSERT_LE(directories.size(), 1);
        const bool dumpMoved =
            std::find(writer.steps.begin(), writer.steps.end(), "dump moved") != writer.steps.end();
        EXPECT_TRUE(!dumpMoved || reportComplete)
            << "the report is on disk before its dump moves in";

        std::vector<std::pair<std::string, std::string>> sent;
        int duplicatesAllowed = 0;
        for (int retry = 0;; ++retry) {
            const int kill =
                retry < kMostKilledRetries ? std::uniform_int_distribution<int>(1, 6)(random) : 0;
            const ChildRun retried = run("retry", kill);
            sent.insert(sent.end(), retried.sent.begin(), retried.sent.end());
            if (retried.killed && retried.steps.back() == "report sent")
                ++duplicatesAllowed;
            if (!retried.killed)
                break;
        }

        EXPECT_EQ(tree(cacheDir()), QStringList()) << "nothing stranded";
        if (!reportComplete) {
            EXPECT_TRUE(sent.empty()) << "killed after step " << writeKill;
            ASSERT_TRUE(QDir(cacheDir()).removeRecursively());
            continue;
        }
        ASSERT_EQ(directories.size(), 1);
        ASSERT_GE(sent.size(), 1u) << "a complete report is sent";
        EXPECT_LE(sent.size(), 1u + duplicatesAllowed);
        for (const auto &[guid, payload] : sent) {
            EXPECT_EQ(guid, directories[0].toStdString());
            EXPECT_TRUE(Json(payload).isObject()) << payload;
        }
        ASSERT_TRUE(QDir(cacheDir()).removeRecursively());
    }
}

} // namespace
