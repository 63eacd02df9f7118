#include "demo_report.h"

#include "keel_standin.h"
#include "upload_standin.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>

#include <cstdio>

namespace
{

QJsonObject eventToJson(const standin::RecordedEvent &event)
{
    QJsonObject json{{"name", QString::fromStdString(event.name)},
                     {"guid", QString::fromStdString(event.guid)},
                     {"first", event.first},
                     {"second", event.second}};
    const QJsonDocument payload = QJsonDocument::fromJson(QByteArray::fromStdString(event.payload));
    if (payload.isObject())
        json["report"] = payload.object();
    else
        json["payload"] = QString::fromStdString(event.payload);
    return json;
}

QString uploadedFile(const QString &key)
{
    const QDir uploads(QString::fromStdString(standin::upload::uploadDirectory()));
    for (const QFileInfo &file : uploads.entryInfoList(QDir::Files))
        if (file.fileName().startsWith(key))
            return file.absoluteFilePath();
    return {};
}

// "frame #3: 0x... keel-anr-demo`demoHangInStuckHandler() + 21 at hang_scenarios.cpp:71"
QJsonObject backtraceFromDump(const QString &dump, const QString &hangFunction)
{
    QJsonObject result{{"dump", dump}};
    const QString lldb = QStandardPaths::findExecutable("lldb");
    if (lldb.isEmpty() || dump.isEmpty()) {
        result["error"] = lldb.isEmpty() ? "lldb is not installed" : "no dump to read";
        return result;
    }
    QProcess process;
    process.start(lldb, {"--batch", "--no-lldbinit", "-o",
                         QString("target create \"%1\" --core \"%2\"")
                             .arg(QCoreApplication::applicationFilePath(), dump),
                         "-o", "thread list", "-o", "bt"});
    if (!process.waitForFinished(120'000)) {
        process.kill();
        result["error"] = "lldb did not finish";
        return result;
    }
    const QString output = QString::fromUtf8(process.readAllStandardOutput());
    QJsonArray frames;
    int threads = 0;
    static const QRegularExpression framePattern(R"(frame #\d+: .*)");
    static const QRegularExpression threadPattern(R"(^\s*\*?\s*thread #\d+)");
    for (const QString &line : output.split('\n')) {
        const auto frame = framePattern.match(line);
        if (frame.hasMatch())
            frames.append(frame.captured(0).trimmed());
        else if (threadPattern.match(line).hasMatch())
            ++threads;
    }
    result["threads_listed"] = threads;
    result["gui_thread_frames"] = frames;
    result["shows_hang_function"] = output.contains(hangFunction + "(");
    result["hang_function"] = hangFunction;
    return result;
}

} // namespace

QJsonArray cacheListing(const QString &cacheDir)
{
    // Sorted: the directory's own order changes from run to run.
    QStringList names;
    QDirIterator it(cacheDir, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        names.append(QDir(cacheDir).relativeFilePath(it.next()));
    names.sort();
    return QJsonArray::fromStringList(names);
}

QJsonObject collectDemoResult(const DemoRun &run)
{
    QJsonArray hangs;
    for (const Hang &hang : run.hangs)
        hangs.append(QJsonObject{{"function", hang.function},
                                 {"started_ms", hang.startedMs},
                                 {"blocked_ms", hang.blockedMs},
                                 {"detected", hang.detected}});

    QJsonArray events;
    QJsonArray episodes;
    QString stuckDump;
    for (const auto &event : standin::tally::events()) {
        const QJsonObject json = eventToJson(event);
        events.append(json);
        if (event.name != "keel_stuck_info" && event.name != "keel_lag_info")
            continue;
        const QString kind = event.name == "keel_stuck_info" ? "stuck" : "lag";
        const QJsonObject report = json["report"].toObject();
        const QString key = report[kind + "_stack_dump"].toString();
        const QString file = key.isEmpty() ? QString() : uploadedFile(key);
        if (kind == "stuck" && stuckDump.isEmpty())
            stuckDump = file;
        episodes.append(QJsonObject{{"kind", kind},
                                    {"guid", QString::fromStdString(event.guid)},
                                    {"reported_ms", report[kind + "_time"]},
                                    {"duration", report[kind + "_duration"]},
                                    {"dump_key", key},
                                    {"dump_file", file}});
    }

    QJsonObject result{{"scenario", scenarioName(run.options.scenario)},
                       {"work_dir", run.workDir},
                       {"cache_dir", run.cacheDir},
                       {"thresholds", QJsonObject{{"lag_first_time", run.options.lagMs},
                                                  {"stuck_first_time", run.options.stuckMs},
                                                  {"lag_sample_rate", run.options.sampleMs}}},
                       {"hangs", hangs},
                       {"episodes", episodes},
                       {"events", events},
                       {"upload_dir", QString::fromStdString(standin::upload::uploadDirectory())},
                       {"left_in_cache", cacheListing(run.cacheDir)}};
    if (!run.retry.isEmpty())
        result["retry"] = run.retry;
    if (run.options.lldb && !stuckDump.isEmpty())
        result["backtrace"] = backtraceFromDump(stuckDump, "demoHangInStuckHandler");
    return result;
}

namespace
{

qint64 integer(const QJsonValue &value)
{
    return static_cast<qint64>(value.toDouble());
}

QString clockTime(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms).toString("HH:mm:ss.zzz");
}

void line(const QString &text)
{
    std::printf("%s\n", qPrintable(text));
}

} // namespace

void printDemoResult(const QJsonObject &result)
{
    const QJsonObject thresholds = result["thresholds"].toObject();
    line(QString("libkeelANR demo: scenario '%1' in %2")
             .arg(result["scenario"].toString(), result["work_dir"].toString()));
    line(QString("  cloud configuration: lag_sw=1, lag_first_time=%1 ms, stuck_first_time=%2 ms, "
                 "lag_sample_rate=%3 ms")
             .arg(integer(thresholds["lag_first_time"]))
             .arg(integer(thresholds["stuck_first_time"]))
             .arg(integer(thresholds["lag_sample_rate"])));
    line("");
    line("GUI thread:");
    for (const auto &value : result["hangs"].toArray()) {
        const QJsonObject hang = value.toObject();
        line(QString("  %1  blocked %2 ms in %3()%4")
                 .arg(clockTime(integer(hang["started_ms"])))
                 .arg(integer(hang["blocked_ms"]), 5)
                 .arg(hang["function"].toString(),
                      hang["detected"].toBool() ? "" : "  (module stayed silent)"));
    }
    line("");
    const QJsonArray episodes = result["episodes"].toArray();
    line(QString("Detected and reported: %1 episode(s)").arg(episodes.size()));
    for (const auto &value : episodes) {
        const QJsonObject episode = value.toObject();
        const bool stuck = episode["kind"].toString() == "stuck";
        line(QString("  %1  %2  %3, event keel_%4_info, guid %5")
                 .arg(clockTime(integer(episode["reported_ms"])), episode["kind"].toString(),
                      stuck ? QString("stuck (past %1 ms)")
                                  .arg(integer(thresholds["stuck_first_time"]))
                            : QString("lag of %1 ms").arg(integer(episode["duration"])),
                      episode["kind"].toString(), episode["guid"].toString()));
        line(QString("      dump uploaded as %1 -> %2")
                 .arg(episode["dump_key"].toString(), episode["dump_file"].toString()));
    }
    if (result.contains("retry")) {
        const QJsonObject retry = result["retry"].toObject();
        line(QString("  upload failed: the stuck report was cached as %1/")
                 .arg(retry["cached_guid"].toString()));
        for (const auto &file : retry["cached_before_second_start"].toArray())
            line("      " + file.toString());
        line(QString("  second start (a new process): %1 event(s) sent, %2")
                 .arg(retry["second_start_events"].toArray().size())
                 .arg(retry["sent_with_original_guid"].toBool()
                          ? "the cached report with its original guid"
                          : "NOT the cached report"));
    }
    const QJsonArray cached = result["left_in_cache"].toArray();
    line(QString("Left in the cache %1: %2 file(s)")
             .arg(result["cache_dir"].toString())
             .arg(cached.size()));
    for (const auto &file : cached)
        line("  " + file.toString());

    line("");
    line("Events sent to the analytics client:");
    for (const auto &value : result["events"].toArray()) {
        const QJsonObject event = value.toObject();
        const QJsonValue body =
            event.contains("report") ? QJsonValue(event["report"]) : event["payload"];
        const QString text =
            body.isObject()
                ? QString::fromUtf8(QJsonDocument(body.toObject()).toJson(QJsonDocument::Compact))
                : body.toString();
        line(QString("  %1 (%2, %3)  %4")
                 .arg(event["name"].toString())
                 .arg(event["first"].toInt())
                 .arg(event["second"].toInt())
                 .arg(text));
    }

    if (result.contains("backtrace")) {
        const QJsonObject backtrace = result["backtrace"].toObject();
        line("");
        line(QString("GUI thread's backtrace from %1 (lldb, %2 threads in the dump):")
                 .arg(backtrace["dump"].toString())
                 .arg(backtrace["threads_listed"].toInt()));
        if (backtrace.contains("error"))
            line("  " + backtrace["error"].toString());
        for (const auto &frame : backtrace["gui_thread_frames"].toArray()) {
            const QString text = frame.toString();
            line((text.contains(backtrace["hang_function"].toString()) ? "=> " : "   ") + text);
        }
    }
}
