// What the watchdog costs a host that does nothing wrong, and what one episode does to it.
//
//   watchdog_cost_bench idle [SECONDS=30] [SAMPLE_MS=100]
//     An idle QGuiApplication with detection on; prints the watchdog thread's CPU time as a
//     share of one core.
//   watchdog_cost_bench signals
//     One lag episode, then (10 s later) one stuck episode, with the GUI thread and a second thread
//     sitting in poll(); prints how many times each poll returned EINTR, which is how many
//     of the module's signals reached that thread while it waited (the sampling and dump
//     signals interrupt poll even with SA_RESTART).
#include "anr/keel_anr.h"
#include "anr/keel_anr_internals.h"
#include "detector/anr_collector.h"
#include "keel_standin.h"

#include <QDir>
#include <QGuiApplication>
#include <QTimer>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <thread>

namespace
{

double cpuSeconds(clockid_t clock)
{
    timespec used{};
    clock_gettime(clock, &used);
    return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) / 1e9;
}

int runIdle(QGuiApplication &app, int seconds, const std::string &sampleMs)
{
    standin::tally::setCloudConfiguration({{"lag_sw", "1"}, {"lag_sample_rate", sampleMs}});
    KeelAnr::start(QDir::tempPath() + "/keel-anr-watchdog-bench");
    standin::tally::waitUntilIdle();

    clockid_t watchdogClock{};
    if (pthread_getcpuclockid(KeelAnrInternals::collector()->watchdogHandleForTesting(),
                              &watchdogClock) != 0)
        return 1;
    const double watchdogBefore = cpuSeconds(watchdogClock);
    const double processBefore = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    const auto wallBefore = std::chrono::steady_clock::now();
    QTimer::singleShot(seconds * 1000, &app, &QCoreApplication::quit);
    app.exec();
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
    const double watchdog = cpuSeconds(watchdogClock) - watchdogBefore;
    const double process = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - processBefore;
    std::printf("idle %.1f s, lag_sample_rate %s ms: watchdog CPU %.3f ms = %.4f %% of a core "
                "(whole process %.4f %%)\n",
                wall, sampleMs.c_str(), watchdog * 1e3, 100 * watchdog / wall,
                100 * process / wall);
    return 0;
}

// Waits in poll() in slices of 10 ms until `done` holds, counting interrupted waits.
template <typename Done>
void pollCountingEintr(Done done, std::atomic<int> &interrupted)
{
    while (!done())
        if (poll(nullptr, 0, 10) < 0 && errno == EINTR)
            ++interrupted;
}

class Episode : public QObject
{
public:
    std::function<bool()> done;
    std::atomic<int> interrupted{0};
    bool event(QEvent *event) override
    {
        if (event->type() != QEvent::User)
            return QObject::event(event);
        pollCountingEintr(done, interrupted);
        return true;
    }
};

int runSignals()
{
    standin::log::enable();
    standin::tally::setCloudConfiguration({{"lag_sw", "1"},
                                           {"lag_first_time", "300"},
                                           {"stuck_first_time", "600000"},
                                           {"lag_sample_rate", "20"}});
    KeelAnr::start(QDir::tempPath() + "/keel-anr-signal-bench");
    standin::tally::waitUntilIdle();

    std::atomic<bool> stop{false};
    std::atomic<int> otherInterrupted{0};
    std::thread other([&] { pollCountingEintr([&] { return stop.load(); }, otherInterrupted); });

    const auto deliver = [](Episode &episode) {
        QCoreApplication::postEvent(&episode, new QEvent(QEvent::User));
        QCoreApplication::processEvents();
    };
    const auto dumpsWritten = [] { return standin::log::count("anr dump create success"); };

    // A still delivery past the lag threshold, ended once its lag dump is written.
    Episode lag;
    lag.done = [&] { return dumpsWritten() >= 1; };
    deliver(lag);
    const int otherAfterLag = otherInterrupted.load();
    // Past the dump rate limit, so that the stuck episode writes both of its dumps.
    std::this_thread::sleep_for(std::chrono::milliseconds(ANRCollector::kDumpIntervalMs + 500));

    // A still delivery that turns stuck (its lag dump comes first), ended once the stuck
    // report has been sent. Signals sent while no poll waits are not counted; the threads
    // spend nearly all their time in poll.
    standin::tally::deliverCloudConfiguration({{"lag_sw", "1"},
                                               {"lag_first_time", "300"},
                                               {"stuck_first_time", "1000"},
                                               {"lag_sample_rate", "20"}});
    Episode stuck;
    stuck.done = [] { return standin::log::count("[ANR] report anr") >= 1; };
    deliver(stuck);

    stop = true;
    other.join();
    std::printf("lag episode: GUI thread interrupted %d times, another thread %d\n",
                lag.interrupted.load(), otherAfterLag);
    std::printf("stuck episode: GUI thread interrupted %d times, another thread %d\n",
                stuck.interrupted.load(), otherInterrupted.load() - otherAfterLag);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    const std::string mode = argc > 1 ? argv[1] : "idle";
    if (mode == "idle")
        return runIdle(app, argc > 2 ? std::atoi(argv[2]) : 30, argc > 3 ? argv[3] : "100");
    if (mode == "signals")
        return runSignals();
    std::fprintf(stderr, "usage: %s idle [SECONDS] [SAMPLE_MS] | signals\n", argv[0]);
    return 2;
}
