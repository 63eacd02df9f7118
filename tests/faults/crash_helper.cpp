// A host process that caches one stuck report (its upload fails) or retries the cache, and
// kills itself with SIGKILL after a given step of the cache's writers or the retry;
// retry-and-hang retries until a dump's upload that never ends ("step upload hangs").
//   crash_helper write|retry|retry-and-hang <cache dir> <journal> <kill after step, 0: never>
// The journal gets "step <name>" after each step and "sent <guid> <payload>" for each event,
// written before any kill.
#include "cache/cache.h"
#include "keel_standin.h"
#include "platform/clock.h"
#include "report/reports.h"
#include "report/retry.h"
#include "upload_standin.h"

#include <QDir>
#include <QFile>

#include <csignal>
#include <cstdio>
#include <string>
#include <thread>
#include <unistd.h>

namespace
{

std::FILE *journal = nullptr;
std::size_t journaledEvents = 0;
int steps = 0;
int killAfter = 0;

void journalEvents()
{
    const auto events = standin::tally::events();
    for (; journaledEvents < events.size(); ++journaledEvents)
        std::fprintf(journal, "sent %s %s\n", events[journaledEvents].guid.c_str(),
                     events[journaledEvents].payload.c_str());
}

void onStep(const char *step)
{
    journalEvents();
    std::fprintf(journal, "step %s\n", step);
    // Unbuffered: what is written is in the kernel's hands before the kill.
    if (++steps == killAfter)
        ::kill(::getpid(), SIGKILL);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 5)
        return 2;
    const std::string mode = argv[1];
    const QString cacheDir = QString::fromLocal8Bit(argv[2]);
    journal = std::fopen(argv[3], "a");
    if (!journal)
        return 2;
    std::setvbuf(journal, nullptr, _IONBF, 0);
    killAfter = std::stoi(argv[4]);
    // Everything a writer left counts as left behind for the retry.
    const long long startTime = platform::wallClockMs() + 24LL * 3600 * 1000;
    standin::upload::setUploadDirectory(QDir(cacheDir).filePath("../uploads").toStdString());
    cache::setCacheStepHookForTesting(onStep);
    const std::shared_ptr<cache::Cache> cache = cache::Cache::open(argv[2]);

    if (mode == "write") {
        const QString dump = QDir(cacheDir).filePath("1700000000000.dmp");
        QFile file(dump);
        if (!file.open(QIODevice::WriteOnly) || file.write("dump bytes") != 10)
            return 2;
        file.close();
        standin::upload::setDefaultReply(standin::upload::error(1, "down"));
        reportStuck(cache, dump.toStdString(), startTime);
    } else if (mode == "retry") {
        standin::upload::setDefaultReply(standin::upload::stored());
        retryCachedReports(*cache, startTime);
    } else if (mode == "retry-and-hang") {
        // Retries until the dump's upload, which never ends: the retrier lock stays held
        // until the process is killed.
        standin::upload::setDefaultReply(standin::upload::stored(standin::upload::Delivery::Held));
        std::thread([] {
            if (standin::upload::waitForHeld(1, std::chrono::minutes(2)))
                onStep("upload hangs");
        }).detach();
        retryCachedReports(*cache, startTime);
    } else {
        return 2;
    }
    standin::upload::waitUntilIdle();
    journalEvents();
    return 0;
}
