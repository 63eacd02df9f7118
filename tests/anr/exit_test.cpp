// Exit is not held by the watchdog: a host that quits while a stuck report's upload hangs
// ends at once, and the report waits in the cache for the next start.
#include "platform/clock.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace
{

TEST(Exit, IsNotHeldByAHangingUploadAndTheReportStaysInTheCache)
{
    QTemporaryDir dir;
    QProcess host;
    host.setProcessChannelMode(QProcess::SeparateChannels);
    host.start(KEEL_EXIT_HELPER, {dir.path()});
    // Generous safety net: the upload would hang for 60 s.
    ASSERT_TRUE(host.waitForFinished(120'000));
    const long long ended = platform::monotonicMs();
    const QString output = QString::fromLocal8Bit(host.readAllStandardOutput());
    ASSERT_EQ(host.exitStatus(), QProcess::NormalExit);
    ASSERT_EQ(host.exitCode(), 0) << output.toStdString();

    const int at = output.indexOf("main-returned ");
    ASSERT_GE(at, 0) << output.toStdString();
    const long long mainReturned = output.mid(at + 14).section('\n', 0, 0).trimmed().toLongLong();
    const long long exitMs = ended - mainReturned;
    std::printf("exit took %lld ms after main returned\n", exitMs);
    // The module waits at most a second; the rest is the process's own teardown on a
    // loaded machine.
    EXPECT_LT(exitMs, 5000);

    const QDir cache(dir.filePath("keel-anr-cache"));
    const QStringList reports = cache.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    ASSERT_EQ(reports.size(), 1) << output.toStdString();
    const QDir report(cache.filePath(reports[0]));
    EXPECT_EQ(report.entryList({"keel_stuck_info.5.1019.json"}, QDir::Files).size(), 1);
    EXPECT_EQ(report.entryList({"*.dmp"}, QDir::Files).size(), 1) << "the dump stays with it";
}

} // namespace
