// Host process for the end-to-end test: "hang <dir>" quits while a stuck report's upload
// hangs; "restart <dir>" waits until the retry has sent it and emptied the cache. Prints
// "sent <guid> <payload>" for each stuck report sent, then "main-returned <ms>" on the monotonic
// clock as main returns; exit code 0 when the phase got that far.
#include "anr/keel_anr.h"
#include "keel_standin.h"
#include "platform/clock.h"
#include "support/blocking_receiver.h"
#include "support/poll.h"
#include "upload_standin.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>

#include <cstdio>

namespace
{

// Bounds a whole helper process's broken run only (a dump takes well under a second, under
// Wine too).
constexpr std::chrono::seconds kHelperRunLimit{120};
// The retry's listing of the cache is taken before it sends this report.
constexpr char kSentinelEvent[] = "keel_e2e_sentinel";
constexpr std::chrono::milliseconds kNap{5};

int hang(const QString &dir)
{
    const QString cache = QDir(dir).filePath("keel-anr-cache");
    QDir().mkpath(cache + "/sentinel");
    QFile sentinel(cache + "/sentinel/" + kSentinelEvent + ".1.1.json");
    if (!sentinel.open(QIODevice::WriteOnly) || sentinel.write("{}") != 2)
        return 2;
    sentinel.close();

    standin::upload::setDefaultReply(standin::upload::stored(standin::upload::Delivery::Held));
    standin::tally::setCloudConfiguration({{"lag_sw", "1"},
                                           {"lag_first_time", "50"},
                                           {"stuck_first_time", "200"},
                                           {"lag_sample_rate", "10"}});
    KeelAnr::start(dir);
    // The configuration has switched detection on, and the retry has listed the cache, so
    // the report made below is left for the next start.
    standin::tally::waitUntilIdle();
    if (!standin::tally::waitForEvents(kSentinelEvent, 1, kHelperRunLimit))
        return 3;

    // The GUI thread hangs until the stuck report's upload is under way, and never finishes.
    bool uploading = false;
    testsupport::BlockingReceiver([&] {
        uploading = standin::upload::waitForHeld(1, kHelperRunLimit);
    }).deliverOnce();
    return uploading ? 0 : 4;
}

int restart(const QString &dir)
{
    const QString cache = QDir(dir).filePath("keel-anr-cache");
    KeelAnr::start(dir);
    if (!standin::tally::waitForEvents("keel_stuck_info", 1, kHelperRunLimit))
        return 3;
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
    const QString phase = argv[1];
    const QString dir = QString::fromLocal8Bit(argv[2]);
    standin::upload::setUploadDirectory(QDir(dir).filePath("uploads").toLocal8Bit().constData());

    const int status = phase == "hang" ? hang(dir) : restart(dir);
    if (phase != "hang")
        standin::upload::waitUntilIdle();
    standin::tally::waitUntilIdle();
    for (const auto &event : standin::tally::eventsNamed("keel_stuck_info"))
        std::printf("sent %s %s\n", event.guid.c_str(), event.payload.c_str());
    std::printf("main-returned %lld\n", platform::monotonicMs());
    std::fflush(stdout);
    return status;
}
