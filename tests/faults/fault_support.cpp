#include "fault_support.h"

#include "platform/clock.h"
#include "report/report_cache.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>

#include <future>
#include <memory>
#include <thread>

namespace faulttest
{

bool finishesInTime(std::function<void()> work)
{
    auto task = std::make_shared<std::packaged_task<void()>>(std::move(work));
    std::future<void> done = task->get_future();
    std::thread([task] { (*task)(); }).detach();
    return done.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
}

Outside::Outside(const QString &directory) : directory_(directory)
{
    reporttest::writeFile(path("canary.txt"), "must survive");
    reporttest::writeFile(path("keel_lag_info.5.1019.json"), R"({"outside": true})");
    reporttest::writeFile(path("1.dmp"), "outside dump");
    reporttest::writeFile(path("anr_config.ini"), "[General]\nisOpen=\"1\"\nlag_first_time=1\n");
}

QString Outside::path(const QString &name) const
{
    return QDir(directory_).filePath(name);
}

std::map<QString, QByteArray> Outside::snapshot() const
{
    std::map<QString, QByteArray> files;
    QDirIterator it(directory_, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString file = it.next();
        files[file] = reporttest::readFile(file) + " mode " + QByteArray::number(modeOf(file), 8);
    }
    return files;
}

CloudConfiguration mergeInCache(const QString &cacheDir,
                                const std::map<std::string, std::string> &delivered)
{
    return mergeCloudConfiguration(delivered, cacheDir, &writeCacheFileDurably);
}

void age(const QString &path, long long ageMs)
{
    const long long at = platform::wallClockMs() - ageMs;
    const timespec times[2] = {{at / 1000, (at % 1000) * 1000000},
                               {at / 1000, (at % 1000) * 1000000}};
    ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, AT_SYMLINK_NOFOLLOW);
}

unsigned modeOf(const QString &path)
{
    struct stat status {
    };
    ::lstat(QFile::encodeName(path).constData(), &status);
    return status.st_mode & 07777;
}

} // namespace faulttest
