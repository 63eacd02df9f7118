// Shared ground for the fault tests: work that must not block, a canary tree outside the
// cache that must come through untouched, and ages for cache entries.
#pragma once

#include "config/cloud_configuration.h"
#include "support/report_fixture.h"

#include <QString>

#include <functional>
#include <map>
#include <string>

namespace faulttest
{

// Runs `work` on a thread of its own and waits for it a bounded time. False when it has not
// returned by then; it is left blocked (the test fails and its process ends soon after).
bool finishesInTime(std::function<void()> work);

// Files outside the cache, with a report, a dump and a configuration an attacker would
// like the module to use, and a canary file. snapshot() must stay the same.
class Outside
{
public:
    explicit Outside(const QString &directory);
    QString path(const QString &name) const;
    // Every file below the directory with its bytes, and its mode.
    std::map<QString, QByteArray> snapshot() const;

private:
    QString directory_;
};

// Merges `delivered` with "anr_config.ini" in `cacheDir` as the module does, writing the
// file with the cache's own writer.
CloudConfiguration mergeInCache(const QString &cacheDir,
                                const std::map<std::string, std::string> &delivered);

// Sets the entry's modification time (not following a link) `ageMs` into the past.
void age(const QString &path, long long ageMs);
// The entry's permission bits.
unsigned modeOf(const QString &path);

// Ages beyond which the retry takes an entry for an earlier run's.
constexpr long long kOld = 24LL * 3600 * 1000;

} // namespace faulttest
