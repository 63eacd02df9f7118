// KeelAnr::start and stop as a host calls them.
#include "anr/keel_anr.h"
#include "keel.h"
#include "platform/clock.h"
#include "support/blocking_receiver.h"
#include "support/module_fixture.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace
{

using testsupport::BlockingReceiver;

TEST(Lifecycle, StartWiresEverythingOnceAndMeasuresOnlyOnceSwitchedOn)
{
    standin::log::enable();
    Keel::instance()->processName = "lifecycle host";
    const long long before = platform::wallClockMs();
    testsupport::startModuleOnce();
    const long long after = platform::wallClockMs();

    EXPECT_GE(KeelAnr::startTime, before);
    EXPECT_LE(KeelAnr::startTime, after);
    EXPECT_TRUE(standin::log::contains("KeelAnr start 1 lifecycle host"));
    EXPECT_TRUE(standin::log::contains("ANRCollector create."));
    const QString cacheDir = QDir(testsupport::moduleDirectory()).filePath("keel-anr-cache");
    EXPECT_EQ(testsupport::collector()->cacheDir, cacheDir);
    EXPECT_TRUE(QFileInfo(cacheDir).isDir());
    EXPECT_FALSE(testsupport::collector()->mainThread.isNull());
    const ANREventFilter *filter = testsupport::eventFilter();
    ASSERT_NE(filter, nullptr);
    EXPECT_EQ(filter->parent(), qApp);
    EXPECT_FALSE(filter->enabled.load()) << "installed disabled";
    EXPECT_TRUE(Keel::instance()->initEventCallback);
    EXPECT_TRUE(Keel::instance()->backgroundStateCallback);

    // A second start changes nothing and says so in one line.
    const long long startTime = KeelAnr::startTime;
    standin::log::clear();
    QTemporaryDir other;
    KeelAnr::start(other.path());
    standin::tally::waitUntilIdle();
    EXPECT_EQ(standin::log::lines(),
              std::vector<std::string>{"KeelAnr start ignored: already started"});
    EXPECT_EQ(testsupport::eventFilter(), filter) << "no second filter";
    EXPECT_EQ(KeelAnr::startTime, startTime);
    EXPECT_EQ(testsupport::collector()->cacheDir, cacheDir);
    EXPECT_FALSE(QDir(other.path()).exists("keel-anr-cache")) << "nothing retried there either";

    // Nothing is measured until a configuration switches detection on.
    long long startSeen = -1;
    BlockingReceiver receiver(
        [&] { startSeen = testsupport::collector()->delivery.iterationStart.load(); });
    receiver.deliverOnce();
    EXPECT_EQ(startSeen, 0);
    testsupport::deliver({{"lag_sw", "1"}});
    receiver.deliverOnce();
    EXPECT_GT(startSeen, 0);
}

TEST(Lifecycle, CacheDirectoryThatCannotBeMadeLeavesCacheDirEmpty)
{
    QTemporaryDir parent;
    const QString aFile = parent.filePath("not-a-directory");
    QFile file(aFile);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();

    KeelAnr::start(aFile);
    standin::tally::waitUntilIdle();
    EXPECT_TRUE(testsupport::collector()->cacheDir.isEmpty());
    EXPECT_NE(testsupport::eventFilter(), nullptr) << "start completes all the same";
    EXPECT_TRUE(Keel::instance()->initEventCallback);
}

} // namespace
