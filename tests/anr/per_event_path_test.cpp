// The GUI thread's per-event path allocates nothing and logs nothing. Operator new is
// replaced in this executable to count allocations made by the calling thread.
#include "detector/anr_collector.h"
#include "detector/anr_event_filter.h"
#include "keel_standin.h"
#include "support/sanitizers.h"

#include <QEvent>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace
{
thread_local long long allocationsOnThisThread = 0;
}

void *operator new(std::size_t size)
{
    ++allocationsOnThisThread;
    if (void *memory = std::malloc(size ? size : 1))
        return memory;
    throw std::bad_alloc();
}
void operator delete(void *memory) noexcept
{
    std::free(memory);
}
void operator delete(void *memory, std::size_t) noexcept
{
    std::free(memory);
}

namespace
{

// Advances one millisecond per reading, so every delivery has a duration.
long long steppingClock()
{
    static std::atomic<long long> now{1};
    return now.fetch_add(1);
}

TEST(PerEventPath, EnabledFilterAllocatesAndLogsNothing)
{
    if (testsupport::kThreadSanitizer)
        GTEST_SKIP() << "ThreadSanitizer's operator new bypasses the counting one";
    standin::log::enable();
    auto collector = ANRCollector::createWithoutWatchdogForTesting();
    collector->setClockForTesting(&steppingClock);
    collector->delivery.sameStackCount = 3;
    collector->thresholds.lagFirstTime = -1; // every delivery ends as a "lag": the longest path
    ANREventFilter filter(collector.get());
    filter.enabled = true;
    QObject target;
    QEvent event(QEvent::User);
    const std::size_t linesBefore = standin::log::lines().size();

    // The counter counts at all.
    long long before = allocationsOnThisThread;
    delete new int(7);
    ASSERT_EQ(allocationsOnThisThread - before, 1);

    before = allocationsOnThisThread;
    for (int i = 0; i < 1000; ++i) {
        filter.eventFilter(&target, &event);
        collector->delivery.sameStackCount.store(3, std::memory_order_relaxed);
    }
    collector->iterationEnd();
    const long long allocations = allocationsOnThisThread - before;

    EXPECT_EQ(allocations, 0);
    EXPECT_EQ(standin::log::lines().size(), linesBefore);
    EXPECT_GT(collector->delivery.lagDuration.load(), 0) << "the lag branch was taken";
}

} // namespace
