// Shared ground for the report tests: a fresh cache and upload directory per test, the
// stand-in SDK and upload library reset, and small helpers to lay out and read back files
// and JSON.
#pragma once

#include "keel_standin.h"
#include "upload_standin.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <jansson.h>

#include <chrono>
#include <string>
#include <vector>

namespace reporttest
{

constexpr std::chrono::seconds kSafetyTimeout{60};

void writeFile(const QString &path, const QByteArray &bytes);
QByteArray readFile(const QString &path);
// Every entry below `directory`, relative to it, sorted; directories end in '/'.
QStringList tree(const QString &directory);
QStringList sorted(QStringList names);
// The sub-directories of `directory`, sorted.
QStringList subdirectories(const QString &directory);

// Names for test parameters and failure messages.
std::string nameOf(standin::upload::Delivery delivery);
std::string nameOf(standin::EventReply reply);

// A parsed JSON document, released with the object.
class Json
{
public:
    explicit Json(const std::string &text);
    ~Json();
    Json(const Json &) = delete;
    Json &operator=(const Json &) = delete;

    bool isObject() const;
    std::vector<std::string> keys() const;
    // Null when absent.
    const json_t *get(const char *key) const;
    // "" when absent or not a string.
    std::string string(const char *key) const;

private:
    json_t *value_;
};

// The text `object` would have after adding `key` = `value` the way the module does.
std::string withStringMember(const std::string &objectText, const char *key,
                             const std::string &value);

class ReportTest : public testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    // <root>/keel-anr-cache, made by SetUp.
    QString cacheDir() const;
    QString uploadDir() const;
    QString inCache(const QString &relative) const;
    // The file the stand-in stored under `key`.
    QByteArray uploadedFile(const std::string &key) const;

    QTemporaryDir root_;
};

} // namespace reporttest

namespace standin
{
inline void PrintTo(EventReply reply, std::ostream *out)
{
    *out << reporttest::nameOf(reply);
}
namespace upload
{
inline void PrintTo(Delivery delivery, std::ostream *out)
{
    *out << reporttest::nameOf(delivery);
}
} // namespace upload
} // namespace standin
