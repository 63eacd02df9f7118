// kill -9 at random steps of caching a report and of retrying it: every report whose file
// was complete is sent, always with its first GUID, a second time only when the kill fell
// between the send and the deletion of the report file, and nothing is stranded.
#include "support/report_fixture.h"

#include <QDir>
#include <QProcess>

#include <random>

namespace
{

using namespace reporttest;

using CrashTest = ReportTest;

TEST_F(CrashTest, KillNineAnywhereLosesNothingAndDuplicatesOnlyBetweenSendAndDelete)
{
    struct ChildRun {
        bool killed = false;
        std::vector<std::string> steps, sentGuids;
    };
    // Runs the helper, which kills itself after step `killAfter` (0: never).
    const auto run = [this](const char *mode, int killAfter) {
        const QString journal = root_.filePath("journal");
        QFile::remove(journal);
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        child.start(KEELANR_CRASH_HELPER, {mode, cacheDir(), journal, QString::number(killAfter)});
        EXPECT_TRUE(child.waitForFinished(60'000));
        ChildRun result;
        result.killed = child.exitStatus() == QProcess::CrashExit;
        EXPECT_TRUE(result.killed || child.exitCode() == 0) << "exit code " << child.exitCode();
        for (const QByteArray &line : readFile(journal).split('\n')) {
            if (line.startsWith("step "))
                result.steps.push_back(line.mid(5).toStdString());
            if (line.startsWith("sent ")) {
                const QList<QByteArray> fields = line.split(' ');
                result.sentGuids.push_back(fields.value(1).toStdString());
                EXPECT_TRUE(Json(line.mid(6 + fields.value(1).size()).toStdString()).isObject());
            }
        }
        EXPECT_EQ(result.killed, killAfter > 0 && killAfter <= int(result.steps.size()));
        return result;
    };
    const auto has = [](const ChildRun &r, const char *step) {
        return std::find(r.steps.begin(), r.steps.end(), step) != r.steps.end();
    };
    const int writeSteps = int(run("write", 0).steps.size());
    ASSERT_TRUE(QDir(cacheDir()).removeRecursively());
    ASSERT_GE(writeSteps, 4);

    std::mt19937 random(20261205);
    for (int runIndex = 0; runIndex < 30; ++runIndex) {
        SCOPED_TRACE("run " + std::to_string(runIndex));
        ASSERT_TRUE(QDir().mkpath(cacheDir()));
        const ChildRun writer =
            run("write", std::uniform_int_distribution<int>(1, writeSteps + 1)(random));
        const bool complete = has(writer, "file in place");
        EXPECT_TRUE(!has(writer, "dump moved") || complete)
            << "the report is on disk before its dump moves in";
        const QStringList directories =
            QDir(cacheDir()).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        ASSERT_TRUE(complete ? directories.size() == 1 : directories.size() <= 1);

        std::vector<std::string> sent;
        std::size_t duplicatesAllowed = 0;
        for (int retry = 0;; ++retry) {
            const int kill = retry < 3 ? std::uniform_int_distribution<int>(1, 6)(random) : 0;
            const ChildRun retried = run("retry", kill);
            sent.insert(sent.end(), retried.sentGuids.begin(), retried.sentGuids.end());
            duplicatesAllowed += retried.killed && retried.steps.back() == "report sent";
            if (!retried.killed)
                break;
        }
        EXPECT_EQ(tree(cacheDir()), QStringList()) << "nothing stranded";
        EXPECT_EQ(complete, !sent.empty());
        EXPECT_LE(sent.size(), 1u + duplicatesAllowed);
        for (const std::string &guid : sent)
            EXPECT_EQ(guid, directories.value(0).toStdString()) << "always the first GUID";
        ASSERT_TRUE(QDir(cacheDir()).removeRecursively());
    }
}

// Two processes of the host on one cache: while one retries it (its upload hangs, so it
// holds the cache's retrier lock), another's retry skips the cache instead of sending the same
// report; once the first is gone, the next start sends the report once.
TEST_F(CrashTest, TwoProcessesOnOneCacheSendEachReportOnce)
{
    writeFile(inCache("ab/keel_stuck_info.5.1019.json"), R"({"r": 1})");
    writeFile(inCache("ab/1.dmp"), "dump");
    const auto journalOf = [this](const char *name) { return root_.filePath(name); };
    const auto start = [&](QProcess &child, const char *mode, const char *journal) {
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        child.start(KEELANR_CRASH_HELPER, {mode, cacheDir(), journalOf(journal), "0"});
    };
    QProcess hanging, second, third;
    start(hanging, "retry-and-hang", "hanging");
    ASSERT_TRUE(testsupport::pollUntil(
        [&] { return readFile(journalOf("hanging")).contains("step upload hangs"); }));
    start(second, "retry", "second");
    ASSERT_TRUE(second.waitForFinished(60'000));
    EXPECT_FALSE(readFile(journalOf("second")).contains("sent ")) << "the first one retries";
    hanging.kill();
    ASSERT_TRUE(hanging.waitForFinished(60'000));

    start(third, "retry", "third");
    ASSERT_TRUE(third.waitForFinished(60'000));
    EXPECT_EQ(readFile(journalOf("third")).count("sent ab "), 1);
    EXPECT_EQ(tree(cacheDir()), QStringList());
}

} // namespace
