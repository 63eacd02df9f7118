// A Qt application whose GUI thread hangs in a paint handler while another thread dumps it
// into the cache directory argv[1]. Prints "dump <path>", "threads <count at the dump>" and
// "pid <its id>", or exits 1 without a dump.
#include "cache/cache.h"
#include "detector/anr_collector.h"
#include "platform/linux/capture/proc_files_linux.h"

#include <QGuiApplication>
#include <QSemaphore>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <future>
#include <memory>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

constexpr int kIdleQtThreads = 8; // ten threads in all, like a typical Qt application

// The function the dump's first thread must show: a paint handler stuck on I/O.
__attribute__((noinline)) void keelDemoHangInPaintHandler(int wakeUp, std::promise<void> &hanging)
{
    hanging.set_value();
    char byte = 0;
    while (read(wakeUp, &byte, 1) < 0) {
    }
    asm volatile("" ::: "memory"); // keeps this frame from becoming a tail call
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return 1;
    QGuiApplication application(argc, argv);
    // A thread that has not run yet still has every signal blocked (pthread_create's start
    // mask) and could not answer the dump; each one says when it runs.
    QSemaphore running;
    std::vector<std::unique_ptr<QThread>> threads;
    for (int i = 0; i < kIdleQtThreads; ++i) {
        threads.push_back(std::make_unique<QThread>());
        QObject::connect(threads.back().get(), &QThread::started,
                         [&running] { running.release(); });
        threads.back()->start();
    }
    running.acquire(kIdleQtThreads);

    int wakeUp[2];
    if (pipe(wakeUp) != 0)
        return 1;
    std::promise<void> hanging;
    std::string dumpPath;
    std::size_t threadCount = 0;
    std::thread watchdog([&] {
        hanging.get_future().wait();
        auto collector = ANRCollector::createWithoutWatchdogForTesting();
        const auto dumps = cache::Cache::open(argv[1]);
        collector->watchMainThread({}, dumps.get());
        threadCount = platform::linux_impl::listThreadIds().size();
        dumpPath = collector->writeMiniDump();
        static_cast<void>(write(wakeUp[1], "x", 1));
    });
    QTimer::singleShot(0, [&] {
        keelDemoHangInPaintHandler(wakeUp[0], hanging);
        application.quit();
    });
    application.exec();
    watchdog.join();
    for (auto &thread : threads) {
        thread->quit();
        thread->wait();
    }
    if (dumpPath.empty())
        return 1;
    std::printf("dump %s\nthreads %zu\npid %d\n", dumpPath.c_str(), threadCount, getpid());
    return 0;
}
