// Host process for the end-to-end test, started twice on one directory:
//   "fail <dir>": a stuck episode whose dump upload fails, so report and dump are cached;
//   "restart <dir>": the upload works; waits until the retry has sent the report and emptied
//   the cache.
// Prints "sent <guid> <payload>" for each stuck report sent, "applied <state>" with the
// configuration the module applied, then "main-returned <ms>" on the monotonic clock as main
// returns; exit code 0 when the phase got that far.
#include "anr/keel_anr.h"
#include "anr/keel_anr_internals.h"
#include "cache/cache.h"
#include "detector/anr_collector.h"
#include "detector/anr_event_filter.h"
#include "keel_standin.h"
#include "platform/clock.h"
#include "support/blocking_receiver.h"
#include "support/poll.h"
#include "upload_standin.h"

#include <QDir>
#include <QDirIterator>
#include <QGuiApplication>

#include <cstdio>

namespace
{

// Bounds a whole helper process's broken run only (a dump takes well under a second, under
// Wine too).
constexpr std::chrono::seconds kHelperRunLimit{120};
constexpr std::chrono::milliseconds kNap{5};

platform::NativePath nativePathOf(const QString &path)
{
    return platform::nativePath(std::u16string(reinterpret_cast<const char16_t *>(path.utf16()),
                                               static_cast<std::size_t>(path.size())));
}

// A report directory that holds its dump: the last step of caching a report.
bool reportCachedWithDump(const QString &cache)
{
    return QDirIterator(cache, {"*.dmp"}, QDir::Files, QDirIterator::Subdirectories).hasNext() &&
           !QDir(cache).entryList({"*.dmp"}, QDir::Files).size();
}

int failUpload(const QString &dir)
{
    standin::upload::setDefaultReply(standin::upload::error(503, "unavailable"));
    standin::tally::setCloudConfiguration({{"lag_sw", "1"},
                                           {"lag_first_time", "600000"},
                                           {"stuck_first_time", "200"},
                                           {"lag_sample_rate", "10"}});
    KeelAnr::start(dir);
    standin::tally::waitUntilIdle();
    // Held to the end, so this start's own retry cannot take the report made below (it is
    // skipped, or was over before the lock was taken).
    const auto cache = cache::Cache::openUnder(nativePathOf(dir));
    platform::FileLock retrier;
    if (!testsupport::pollUntil([&] { return (retrier = cache->lockForRetry()).held(); },
                                kHelperRunLimit, kNap))
        return 3;

    // The GUI thread hangs until the stuck report and its dump are cached.
    const QString cachePath = QDir(dir).filePath("keel-anr-cache");
    bool cached = false;
    testsupport::BlockingReceiver([&] {
        cached = testsupport::pollUntil([&] { return reportCachedWithDump(cachePath); },
                                        kHelperRunLimit, kNap);
    }).deliverOnce();
    return cached ? 0 : 4;
}

int restart(const QString &dir)
{
    standin::tally::setCloudConfiguration({}); // the cached configuration decides
    KeelAnr::start(dir);
    if (!standin::tally::waitForEvents("keel_stuck_info", 1, kHelperRunLimit))
        return 3;
    const QString cache = QDir(dir).filePath("keel-anr-cache");
    const auto emptied = [&] {
        return QDir(cache).entryList(QDir::Dirs | QDir::NoDotAndDotDot).isEmpty();
    };
    return testsupport::pollUntil(emptied, kHelperRunLimit, kNap) ? 0 : 4;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3)
        return 64;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    // The arguments as UTF-16 (on Windows argv is in the ANSI code page).
    const QString phase = QCoreApplication::arguments().value(1);
    const QString dir = QCoreApplication::arguments().value(2);
    standin::upload::setUploadDirectory(QDir(dir).filePath("uploads").toUtf8().toStdString());

    const int status = phase == "fail" ? failUpload(dir) : restart(dir);
    standin::upload::waitUntilIdle();
    standin::tally::waitUntilIdle();
    for (const auto &event : standin::tally::eventsNamed("keel_stuck_info"))
        std::printf("sent %s %s\n", event.guid.c_str(), event.payload.c_str());
    const ANRCollector::Thresholds applied = KeelAnrInternals::collector()->thresholds();
    std::printf("applied %s|%lld|%lld|%lld\n",
                KeelAnrInternals::eventFilter()->enabled.load() ? "on" : "off",
                applied.lagFirstTime, applied.stuckFirstTime, applied.lagSampleRate);
    std::printf("main-returned %lld\n", platform::monotonicMs());
    std::fflush(stdout);
    return status;
}
