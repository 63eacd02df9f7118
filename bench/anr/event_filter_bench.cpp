// The GUI thread's cost per event delivery: the filter alone (disabled, enabled), a
// synchronous sendEvent with and without the filter, and a loop of posted events through
// the Qt event loop with the module absent and enabled, interleaved in one run so the
// throughput ratio is read from a single process on the same machine state.
#include "detector/anr_collector.h"
#include "detector/anr_event_filter.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QGuiApplication>
#include <benchmark/benchmark.h>

#include <memory>

namespace
{

class Sink : public QObject
{
public:
    bool event(QEvent *event) override
    {
        if (event->type() == QEvent::User) {
            ++delivered;
            return true;
        }
        return QObject::event(event);
    }
    long long delivered = 0;
};

struct Module {
    Module() : collector(ANRCollector::createWithoutWatchdogForTesting()), filter(collector.get())
    {
    }
    std::unique_ptr<ANRCollector> collector;
    ANREventFilter filter;
};

Module &module()
{
    static Module instance;
    return instance;
}

void BM_FilterCall(benchmark::State &state)
{
    Module &m = module();
    m.filter.enabled = state.range(0) != 0;
    Sink sink;
    QEvent event(QEvent::User);
    for (auto _ : state)
        benchmark::DoNotOptimize(m.filter.eventFilter(&sink, &event));
    m.filter.enabled = false;
}
BENCHMARK(BM_FilterCall)->ArgName("enabled")->Arg(0)->Arg(1);

void BM_SendEvent(benchmark::State &state)
{
    Module &m = module();
    const bool installed = state.range(0) != 0;
    if (installed) {
        m.filter.enabled = true;
        qApp->installEventFilter(&m.filter);
    }
    Sink sink;
    QEvent event(QEvent::User);
    for (auto _ : state)
        QCoreApplication::sendEvent(&sink, &event);
    qApp->removeEventFilter(&m.filter);
    m.filter.enabled = false;
}
BENCHMARK(BM_SendEvent)->ArgName("filter")->Arg(0)->Arg(1);

// Nanoseconds per posted event for one batch.
double postedBatch(Sink &sink, int events)
{
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < events; ++i)
        QCoreApplication::postEvent(&sink, new QEvent(QEvent::User));
    QCoreApplication::processEvents();
    return double(timer.nsecsElapsed()) / events;
}

void BM_PostedEventLoopRatio(benchmark::State &state)
{
    Module &m = module();
    Sink sink;
    constexpr int kBatch = 2000;
    double absentNs = 0;
    double enabledNs = 0;
    for (auto _ : state) {
        absentNs += postedBatch(sink, kBatch);
        m.filter.enabled = true;
        qApp->installEventFilter(&m.filter);
        enabledNs += postedBatch(sink, kBatch);
        qApp->removeEventFilter(&m.filter);
        m.filter.enabled = false;
    }
    const double batches = double(state.iterations());
    state.counters["absent_ns_per_event"] = absentNs / batches;
    state.counters["enabled_ns_per_event"] = enabledNs / batches;
    // Throughput with the module relative to without it (1.0 = no cost).
    state.counters["throughput_ratio"] = absentNs / enabledNs;
}
BENCHMARK(BM_PostedEventLoopRatio)->Unit(benchmark::kMillisecond)->MinTime(2.0);

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
