// A fresh cache and upload directory per test with the stand-ins reset, and file/JSON helpers.
#pragma once

#include "cache/cache.h"
#include "keel_standin.h"
#include "support/poll.h"
#include "upload_standin.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <jansson.h>

#include <cctype>
#include <memory>
#include <string>
#include <vector>

namespace reporttest
{

using testsupport::kSafetyTimeout;

// The members every report carries, in order.
inline const std::vector<std::string> kCommonKeys = {
    "keel_version", "cpu_type",      "os_version",      "os_build",
    "project_code", "project_build", "project_version", "protocol_version",
    "process_name", "pid",           "is_main_process"};

void writeFile(const QString &path, const QByteArray &bytes);
QByteArray readFile(const QString &path);
// The native form of a path held as text, as the module's facade makes it.
platform::NativePath nativePathOf(const QString &path);
// Every entry below `directory`, relative to it, sorted; directories end in '/'. The
// retrier's lock file at the top is left out: it stays once made.
QStringList tree(const QString &directory);

// Test names from the parameters' printed form, letters and digits only.
struct ParamName {
    template <class P>
    std::string operator()(const testing::TestParamInfo<P> &info) const
    {
        std::string name;
        for (const char c : testing::PrintToString(info.param))
            if (std::isalnum(static_cast<unsigned char>(c)))
                name += c;
        return name;
    }
};

// A parsed JSON document, released with the object.
class Json
{
public:
    explicit Json(const std::string &text) : value_(json_loads(text.c_str(), 0, nullptr)) {}
    explicit Json(json_t *value) : value_(value) {} // takes the reference
    ~Json() { json_decref(value_); }
    Json(const Json &) = delete;
    Json &operator=(const Json &) = delete;

    bool isObject() const { return json_is_object(value_); }
    std::vector<std::string> keys() const;
    // Null when absent.
    const json_t *get(const std::string &key) const { return json_object_get(value_, key.c_str()); }
    // "" when absent or not a string.
    std::string string(const std::string &key) const;

private:
    json_t *value_;
};

class ReportTest : public testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    QString cacheDir() const { return root_.filePath("keel-anr-cache"); }
    QString uploadDir() const { return root_.filePath("uploads"); }
    QString inCache(const QString &relative) const { return cacheDir() + "/" + relative; }
    // The file the stand-in stored under `key`.
    QByteArray uploadedFile(const std::string &key) const
    {
        return readFile(uploadDir() + "/" + QString::fromStdString(key));
    }
    // "uploaded <dump>", "sent[+done] <event> <guid> <first> <second> <text>", the "[ANR]" log
    // lines, then "left <entry>" for what the cache holds.
    std::vector<std::string> cacheOutcome() const;

    QTemporaryDir root_;
    // The cache on cacheDir(), opened by SetUp.
    std::shared_ptr<cache::Cache> cache_;
};

} // namespace reporttest

namespace standin::upload
{
void PrintTo(Delivery delivery, std::ostream *out);
} // namespace standin::upload
