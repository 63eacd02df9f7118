// Host process for the end-to-end test: "hang <dir> <uploads> <result>" caches a stuck
// report while uploads fail; "restart ..." waits until the retry has sent it and emptied the
// cache. Writes the events received to <result>; exit code 0 when the phase got that far.
#include "anr/keel_anr.h"
#include "keel_standin.h"
#include "support/poll.h"
#include "upload_standin.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QTimer>
#include <jansson.h>

namespace
{

// Bounds a broken run only: Wine's dbghelp takes 15 to 35 s to dump a Qt process.
constexpr std::chrono::seconds kSafetyTimeout{120};
// The retry's listing of the cache is taken before it sends this report.
constexpr char kSentinelEvent[] = "keel_e2e_sentinel";
constexpr std::chrono::milliseconds kNap{5};

QStringList reportDirectories(const QString &cache)
{
    return QDir(cache).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
}

void writeResult(const char *path)
{
    json_t *events = json_array();
    for (const auto &event : standin::tally::events()) {
        json_t *record = json_object();
        json_object_set_new(record, "name", json_string(event.name.c_str()));
        json_object_set_new(record, "payload", json_string(event.payload.c_str()));
        json_object_set_new(record, "guid", json_string(event.guid.c_str()));
        json_object_set_new(record, "first", json_integer(event.first));
        json_object_set_new(record, "second", json_integer(event.second));
        json_array_append_new(events, record);
    }
    json_dump_file(events, path, 0);
    json_decref(events);
}

int hang(const QString &dir, QGuiApplication &application)
{
    const QString cache = QDir(dir).filePath("keel-anr-cache");
    QDir().mkpath(cache + "/sentinel");
    QFile sentinel(cache + "/sentinel/" + kSentinelEvent + ".1.1.json");
    if (!sentinel.open(QIODevice::WriteOnly) || sentinel.write("{}") != 2)
        return 2;
    sentinel.close();

    standin::upload::setDefaultReply(standin::upload::error(503, "service unavailable"));
    standin::tally::setCloudConfiguration({{"lag_sw", "1"},
                                           {"lag_first_time", "50"},
                                           {"stuck_first_time", "200"},
                                           {"lag_sample_rate", "10"}});
    KeelAnr::start(dir);
    // The configuration has switched detection on, and the retry has listed the cache, so
    // the report made below is left for the next start.
    standin::tally::waitUntilIdle();
    if (!standin::tally::waitForEvents(kSentinelEvent, 1, kSafetyTimeout))
        return 3;

    bool cached = false;
    QTimer::singleShot(0, &application, [&] {
        cached = testsupport::pollUntil(
            [&] {
                for (const QString &name : reportDirectories(cache))
                    if (QFile::exists(cache + "/" + name + "/keel_stuck_info.5.1019.json"))
                        return true;
                return false;
            },
            kSafetyTimeout, kNap);
        application.quit();
    });
    application.exec();
    return cached ? 0 : 4;
}

int restart(const QString &dir)
{
    const QString cache = QDir(dir).filePath("keel-anr-cache");
    KeelAnr::start(dir);
    if (!standin::tally::waitForEvents("keel_stuck_info", 1, kSafetyTimeout))
        return 3;
    const auto emptied = [&] { return reportDirectories(cache).isEmpty(); };
    return testsupport::pollUntil(emptied, kSafetyTimeout, kNap) ? 0 : 4;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 5)
        return 64;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    const QString phase = argv[1];
    const QString dir = QString::fromLocal8Bit(argv[2]);
    standin::upload::setUploadDirectory(argv[3]);

    const int status = phase == "hang" ? hang(dir, application) : restart(dir);
    standin::upload::waitUntilIdle();
    standin::tally::waitUntilIdle();
    writeResult(argv[4]);
    return status;
}
