// The collector's state machine as a table of scripts run against a collector without a
// watchdog thread, with a fake clock and recorded episode actions.
#include "detector/anr_collector.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <sstream>
#include <utility>

namespace
{

std::atomic<long long> fakeNow{0};
std::atomic<long long> clockStep{0}; // how far each reading moves the clock on
// Runs once at the next reading of the clock: the GUI thread acting between a tick's read of
// the delivery and what it decides from it.
std::function<void()> atNextReading;
long long fakeClock()
{
    if (atNextReading)
        std::exchange(atNextReading, nullptr)();
    return fakeNow.fetch_add(clockStep.load());
}

using Sample = std::vector<std::uint64_t>;
constexpr long long t0 = 1'000'000;

enum class Stack { Still, Moving, Empty };

// A script is a list of steps separated by spaces; times are ms after t0.
//   bT iterationBegin, eT iterationEnd, nT iterationNext (the event filter's call),
//   tT one unscheduled watchdog tick, tA..B a tick every 100 ms from A to B, lT@D a tick at T
//   that was due at D, i / a app inactive / active, c every clock reading from now on moves
//   the clock 10 ms on; x the delivery ends and the next begins at the next clock reading
//   (inside the next tick, after it read the delivery), y the same during the next sample.
// Set-up: TL,S,R applyThresholds (default 5000, 8000, 100); m samples that move, z empty
//   samples (default: one still stack); f dumps that fail.
// Expectations so far: Cn captures, Dn dumps, Sn stuck reports, Ln lag reports.
// `reports`: every report in order, "stuck:<dump>" or "lag:<dump>:<ms>".
struct Script {
    const char *name;
    const char *steps;
    const char *reports = "";
};

void PrintTo(const Script &script, std::ostream *out)
{
    *out << script.name;
}

class CollectorScript : public testing::TestWithParam<Script>
{
protected:
    void SetUp() override
    {
        fakeNow = t0;
        clockStep = 0;
        collector_ = ANRCollector::createWithoutWatchdogForTesting();
        collector_->setClockForTesting(&fakeClock);

        actions_.captureStack = [this] {
            ++captures_;
            if (nextDeliveryDuringSample_) {
                nextDeliveryDuringSample_ = false;
                collector_->iterationNext();
            }
            if (stack_ == Stack::Moving)
                return Sample{0x4000 + static_cast<std::uint64_t>(captures_), 0x2000};
            return stack_ == Stack::Empty ? Sample{} : Sample{0x1000, 0x2000, 0x3000};
        };
        actions_.writeDump = [this] {
            ++dumps_;
            return dumpsFail_ ? std::string() : "dump-" + std::to_string(dumps_) + ".dmp";
        };
        actions_.reportStuck = [this](std::string dumpPath) {
            ++stuckReports_;
            record("stuck:" + dumpPath);
        };
        actions_.reportLag = [this](std::string dumpPath, long long durationMs) {
            ++lagReports_;
            record("lag:" + dumpPath + ":" + std::to_string(durationMs));
        };
        collector_->setEpisodeActionsForTesting(&actions_);
    }

    void record(const std::string &report) { reports_ += (reports_.empty() ? "" : " ") + report; }

    ANRCollector *at(long long t)
    {
        fakeNow = t0 + t;
        return collector_.get();
    }

    void run(const std::string &step)
    {
        const char act = step[0];
        const std::size_t range = step.find("..");
        const long long value = step.size() > 1 ? std::stoll(step.substr(1)) : 0;
        switch (act) {
        case 'b': at(value)->iterationBegin(); break;
        case 'e': at(value)->iterationEnd(); break;
        case 'n': at(value)->iterationNext(); break;
        case 't': {
            const long long last =
                range == std::string::npos ? value : std::stoll(step.substr(range + 2));
            for (long long t = value; t <= last; t += 100)
                at(t)->watchdogTick();
            break;
        }
        case 'l': at(value)->watchdogTick(t0 + std::stoll(step.substr(step.find('@') + 1))); break;
        case 'i': collector_->setAppActive(false); break;
        case 'a': collector_->setAppActive(true); break;
        case 'T': {
            std::istringstream values(step.substr(1));
            ANRCollector::Thresholds thresholds;
            char comma;
            values >> thresholds.lagFirstTime >> comma >> thresholds.stuckFirstTime >> comma >>
                thresholds.lagSampleRate;
            collector_->applyThresholds(thresholds);
            break;
        }
        case 'x': atNextReading = [this] { collector_->iterationNext(); }; break;
        case 'y': nextDeliveryDuringSample_ = true; break;
        case 'm': stack_ = Stack::Moving; break;
        case 'z': stack_ = Stack::Empty; break;
        case 'f': dumpsFail_ = true; break;
        case 'c': clockStep = 10; break;
        case 'C': EXPECT_EQ(captures_, value); break;
        case 'D': EXPECT_EQ(dumps_, value); break;
        case 'S': EXPECT_EQ(stuckReports_, value); break;
        case 'L': EXPECT_EQ(lagReports_, value); break;
        default: FAIL() << "unknown step " << step;
        }
    }

    std::unique_ptr<ANRCollector> collector_;
    ANRCollector::EpisodeActions actions_;
    Stack stack_ = Stack::Still;
    bool dumpsFail_ = false;
    bool nextDeliveryDuringSample_ = false;
    int captures_ = 0;
    int dumps_ = 0;
    int stuckReports_ = 0;
    int lagReports_ = 0;
    std::string reports_;
};

TEST_P(CollectorScript, ReportsWhatTheScriptExpects)
{
    std::istringstream steps(GetParam().steps);
    for (std::string step; steps >> step;) {
        SCOPED_TRACE(step);
        run(step);
    }
    EXPECT_EQ(reports_, GetParam().reports);
}

const Script kScripts[] = {
    {"IdleCollectorDoesNothing", "t0..20000 C0 D0"},
    // Not at exactly the threshold; once; the end clears the mark, so a stuck delivery is
    // never a lag and the next stuck one is reported again.
    {"StuckIsReportedOnceAtTheFirstTickPastTheThreshold",
     "b0 t8000 S0 t8001 S1 t8100..20000 D1 e21000 b21100 t21200 t29101",
     "stuck:dump-1.dmp stuck:dump-2.dmp"},
    // Sampling starts past lagFirstTime and stops after three identical samples; the lag
    // is reported only once a later delivery runs.
    {"StillDeliveryBecomesOneLagReportedOnTheNextDelivery",
     "b0 t5000 C0 t5050..5950 C3 D1 e6000 t6050 L0 b7000 t7050 L1 t7150 L1", "lag:dump-1.dmp:6000"},
    // The event filter's call reads the clock once: the delivery that ends does so at the
    // instant of the call although every reading moves the clock on.
    {"EventFilterEndsAndBeginsAtTheSameInstant", "b0 t5100..5300 c n6000 t6050",
     "lag:dump-1.dmp:6000"},
    {"MovingStackIsNeitherLagNorStuck", "m b0 t100..6000 n6000 t6200 C10 D0"},
    // The next delivery's first sample equals the last one's, and still counts one.
    {"FirstSampleOfADeliveryCountsOneEvenIfItMatchesThePrevious",
     "b0 t5100..5200 n5300 t10400..10500 D0 t10600 D1"},
    {"DeliveryEndingBeforeTheThirdSampleIsNoLag", "b0 t5100..5200 e5250 b5300 t5400 L0 D0"},
    {"StuckAfterALagCaptureSuppressesTheLag", "b0 t5100..5300 D1 t8100 e9000 b9100 t9200",
     "stuck:dump-2.dmp"},
    // Past stuckFirstTime while inactive: recorded as a lag with its full duration; the
    // delivery under way when the application is active again is stuck by then.
    {"InactiveApplicationPausesSamplingStuckAndLagReports",
     "b0 t5100..5300 i t5400..12000 S0 e12000 b12100 t12200..30000 L0 C3 a t30100 L0 "
     "e30200 b30300 t30400",
     "stuck:dump-2.dmp lag:dump-1.dmp:12000"},
    {"StuckThresholdNotAboveTheLagThresholdMeansNoLagEver",
     "T3000,3000,100 b0 t100..3100 C0 e4000 b4100 t4200", "stuck:dump-1.dmp"},
    // Values not above 0, as a bad configuration delivers them, stand for the defaults: no
    // report before 5 s, the lag and stuck thresholds of 5 and 8 s.
    {"ThresholdsNotAboveZeroAreTheDefaults",
     "T-1,0,-5 b0 t1..5000 C0 D0 S0 t5100..5300 C3 D1 t8000 S0 t8100 S1", "stuck:dump-2.dmp"},
    {"EmptySamplesCompareEqualAndStillCaptureALag", "z b0 t5100..5300 C3 D1 e5400 b5500 t5600",
     "lag:dump-1.dmp:5400"},
    {"FailedLagDumpIsReportedWithAnEmptyPath", "f b0 t5100..5300 e5500 b5600 t5700", "lag::5500"},
    {"PendingLagIsReportedBeforeTheNextLongDeliveryIsSampled",
     "b0 t5100..5300 e5400 b5500 t10600 C4", "lag:dump-1.dmp:5400"},
    {"ClockSteppingBackIsNoEpisode", "b0 t-60000 C0"},
    // A stopped process (SIGSTOP, suspend) wakes with every thread at once: a tick more than
    // kLateTickMs (1 s) late measures the delivery afresh, its samples too. Unscheduled
    // ticks are never late.
    {"TickLateByTheLimitIsJudged", "b0 t100..5300 C3 l9000@8000 S1", "stuck:dump-2.dmp"},
    {"TickPastTheLimitRestartsTheDelivery",
     "b0 t100..5300 C3 l9000@7999 S0 t9100..17000 S0 C6 t17100 S1", "stuck:dump-2.dmp"},
    // At most one dump per kind in kDumpIntervalMs (10 s); the episode is still reported.
    {"StuckDumpsAreRateLimited", "T1,1,100 b0 t2 e2 b9000 t10000 e10000 b10000 t10002 D2",
     "stuck:dump-1.dmp stuck: stuck:dump-2.dmp"},
    // Lags have their own budget: a lag right after a stuck dump still gets one.
    {"LagDumpsAreRateLimitedApartFromStuckOnes",
     "T100,1000,100 b0 t1001 e1100 b1200 t1350..1550 e1600 b1700 t1850..2050 e2100 b2200 t2300 "
     "D2",
     "stuck:dump-1.dmp lag:dump-2.dmp:400 lag::400"},
    // The GUI thread ends the delivery and begins the next between the tick's read and its
    // decision: the ended one is not marked stuck, and the next one's hang is reported.
    {"StuckDecisionAcrossADeliveryBoundaryIsDropped",
     "m T1000,2000,100 b0 x t2100 S0 t2200..4100 S0 t4200 S1 t4300..60000", "stuck:dump-1.dmp"},
    // A sample taken while one delivery ends and the next begins counts for neither: the
    // next delivery needs three samples of its own for its lag.
    {"SampleAcrossADeliveryBoundaryIsDropped",
     "b0 t5100..5200 y t5300 C3 t5400..10500 D0 t10600 D1 C6"},
};

INSTANTIATE_TEST_SUITE_P(Scripts, CollectorScript, testing::ValuesIn(kScripts),
                         [](const testing::TestParamInfo<Script> &info) {
                             return std::string(info.param.name);
                         });

} // namespace
