#include "support/report_fixture.h"

#include "cache/cache.h"
#include "keel.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>

namespace reporttest
{

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    file.write(bytes);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

platform::NativePath nativePathOf(const QString &path)
{
    return platform::nativePath(std::u16string(reinterpret_cast<const char16_t *>(path.utf16()),
                                               static_cast<std::size_t>(path.size())));
}

QStringList tree(const QString &directory)
{
    QStringList entries;
    const QDir base(directory);
    QDirIterator it(directory,
                    QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QString entry = base.relativeFilePath(it.filePath());
        if (entry != cache::kRetryLockName)
            entries << entry + (it.fileInfo().isDir() ? "/" : "");
    }
    entries.sort();
    return entries;
}

std::vector<std::string> Json::keys() const
{
    std::vector<std::string> names;
    const char *key;
    json_t *member;
    json_object_foreach(value_, key, member) names.push_back(key);
    return names;
}

std::string Json::string(const std::string &key) const
{
    const char *text = json_string_value(get(key));
    return text ? text : "";
}

void ReportTest::SetUp()
{
    ASSERT_TRUE(root_.isValid());
    ASSERT_TRUE(QDir().mkpath(cacheDir()));
    cache_ = cache::Cache::open(nativePathOf(cacheDir()));
    ASSERT_TRUE(cache_->usable());
    standin::tally::reset();
    standin::upload::reset();
    standin::upload::setUploadDirectory(uploadDir().toStdString());
    standin::log::clear();
    standin::log::enable();
    Keel::instance()->isBackground = false;
}

void ReportTest::TearDown()
{
    // Nothing may still run against this test's directories once they are removed.
    standin::upload::waitUntilIdle();
    standin::tally::waitUntilIdle();
}

std::vector<std::string> ReportTest::cacheOutcome() const
{
    std::vector<std::string> outcome;
    for (const auto &upload : standin::upload::uploads())
        outcome.push_back(
            "uploaded " +
            QDir(cacheDir()).relativeFilePath(QString::fromStdString(upload.path)).toStdString());
    for (const auto &event : standin::tally::events())
        outcome.push_back((event.hasDone ? "sent+done " : "sent ") + event.name + " " + event.guid +
                          " " + std::to_string(event.first) + " " + std::to_string(event.second) +
                          " " + event.payload);
    for (const std::string &line : standin::log::lines())
        if (line.rfind("[ANR]", 0) == 0)
            outcome.push_back(line);
    for (const QString &entry : tree(cacheDir()))
        outcome.push_back("left " + entry.toStdString());
    return outcome;
}

} // namespace reporttest

void standin::upload::PrintTo(Delivery delivery, std::ostream *out)
{
    switch (delivery) {
    case Delivery::Inline: *out << "Inline"; break;
    case Delivery::FromLibraryThread: *out << "FromLibraryThread"; break;
    case Delivery::Held: *out << "Held"; break;
    }
}
