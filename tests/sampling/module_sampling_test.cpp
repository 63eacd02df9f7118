// The collector's capture and dump with and without libunwind. That the watchdog calls them
// during a long delivery is the end-to-end test's part.
#include "cache/cache.h"
#include "detector/anr_collector.h"
#include "keel_standin.h"
#include "platform/linux/sampling/thread_sampler_linux.h"
#include "platform/thread_handle.h"
#include "support/poll.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <thread>

namespace
{

// Without libunwind the collector samples nothing but still writes dumps, says so once, and
// starts sampling as soon as the library can be loaded.
TEST(SamplingWithoutLibunwind, DumpsAreStillWrittenAndTheAbsenceIsLoggedOnce)
{
    QTemporaryDir directory;
    const std::unique_ptr<ANRCollector> collector = ANRCollector::createWithoutWatchdogForTesting();
    const auto dumps = cache::Cache::open(directory.path().toStdString());
    collector->watchMainThread(platform::openCurrentThread(), dumps.get());
    standin::log::enable();
    standin::log::clear();

    platform::linux_impl::setUnwindLibraryForTesting("libkeelanr-test-missing.so.8");
    std::string dumpPath;
    std::thread([&] {
        EXPECT_TRUE(collector->captureMainThreadStack().empty());
        EXPECT_TRUE(collector->captureMainThreadStack().empty());
        dumpPath = collector->writeMiniDump();
    }).join();
    QFile dump(QString::fromStdString(dumpPath));
    ASSERT_TRUE(dump.open(QIODevice::ReadOnly)) << dumpPath;
    EXPECT_EQ(dump.read(4), "MDMP");
    EXPECT_EQ(standin::log::lines(),
              (std::vector<std::string>{
                  "anr stack sampling off: libunwind.so.8 not loaded",
                  "anr dumps taken in process: keelanr-capture not found beside the library",
                  "anr dump create success"}));

    // A real sample of this (blocked) thread; ThreadSanitizer may lose a signal now and then.
    platform::linux_impl::setUnwindLibraryForTesting(nullptr);
    std::thread([&] {
        EXPECT_TRUE(
            testsupport::pollUntil([&] { return !collector->captureMainThreadStack().empty(); }));
    }).join();
}

} // namespace
