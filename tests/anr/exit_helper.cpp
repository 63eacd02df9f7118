// A host that quits right after a stuck episode whose upload never completes (the stand-in
// library holds the reply). Prints "main-returned <ms>" on the monotonic clock as main
// returns; the test measures the rest of the exit. Argument: the directory for start.
#include "anr/keel_anr.h"
#include "keel_standin.h"
#include "platform/clock.h"
#include "support/blocking_receiver.h"
#include "upload_standin.h"

#include <QGuiApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    if (argc != 2)
        return 2;
    standin::log::enable();
    standin::upload::setDefaultReply(standin::upload::stored(standin::upload::Delivery::Held));
    standin::tally::setCloudConfiguration({{"lag_sw", "1"},
                                           {"lag_first_time", "600000"},
                                           {"stuck_first_time", "100"},
                                           {"lag_sample_rate", "10"}});
    KeelAnr::start(QString::fromLocal8Bit(argv[1]));
    standin::tally::waitUntilIdle();

    // The stuck report's upload is under way once its reply is held.
    bool uploading = false;
    testsupport::BlockingReceiver stuckHandler(
        [&] { uploading = standin::upload::waitForHeld(1, std::chrono::seconds(60)); });
    stuckHandler.deliverOnce();
    if (!uploading)
        return 3;
    std::printf("main-returned %lld\n", platform::monotonicMs());
    std::fflush(stdout);
    return 0;
}
