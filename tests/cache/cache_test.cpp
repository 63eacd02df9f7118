// The cache on disk through its own face: where it is made (and where it is not), which GUIDs
// name a directory, what the quota keeps, one retrier at a time, and entries swapped under
// it. Qt-free, so the same cases run on Linux and, cross-built, under Wine.
#include "cache/cache.h"
#include "cache/report_guid.h"
#include "platform/clock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>

namespace
{

namespace fs = std::filesystem;
using cache::Cache;

// A fresh directory under the system's temporary one, removed with the object.
class TemporaryDirectory
{
public:
    TemporaryDirectory()
    {
        std::random_device random;
        path_ = fs::temp_directory_path() / ("keel-cache-test-" + std::to_string(random()));
        fs::create_directories(path_);
    }
    ~TemporaryDirectory()
    {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path &path() const { return path_; }

private:
    fs::path path_;
};

void writeFile(const fs::path &path, const std::string &bytes)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string readFile(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Every entry below `directory` as "relative/path" (directories end in '/'), sorted.
std::vector<std::string> tree(const fs::path &directory)
{
    std::vector<std::string> entries;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(directory, error);
         it != fs::recursive_directory_iterator(); it.increment(error)) {
        const std::string relative = fs::relative(it->path(), directory).generic_u8string();
        entries.push_back(relative + (it->is_directory() && !it->is_symlink() ? "/" : ""));
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

// One instant for all the files a case lays, so their ages compare as given however slowly
// they are laid.
const fs::file_time_type kLaidAt = fs::file_time_type::clock::now();

// Sets the file's size (sparse) and its modification time `ageMs` before kLaidAt.
void lay(const fs::path &path, long long bytes, long long ageMs)
{
    writeFile(path, "");
    fs::resize_file(path, static_cast<std::uintmax_t>(bytes));
    fs::last_write_time(path, kLaidAt - std::chrono::milliseconds(ageMs));
}

std::shared_ptr<Cache> openAt(const fs::path &path)
{
    return Cache::open(path.native());
}

// The host's directory does not exist yet, two levels under a name with Latin and CJK
// letters: the cache is made with its parents, and nothing is written beside it.
TEST(CacheDirectory, IsMadeWithItsParentsUnderANonAsciiNameOrNotAtAll)
{
    TemporaryDirectory root;
    const fs::path home = root.path() / fs::u8path(u8"José 张伟") / "AppData" / "Keel";
    const std::shared_ptr<Cache> made = Cache::openUnder(home.native());
    ASSERT_TRUE(made->usable());
    EXPECT_EQ(fs::path(made->path()), home / "keel-anr-cache");
    EXPECT_TRUE(made->writeReport("ab-12", "keel_lag_info", 5, 1019, "{}"));
    EXPECT_EQ(tree(root.path()),
              (std::vector<std::string>{u8"José 张伟/", u8"José 张伟/AppData/",
                                        u8"José 张伟/AppData/Keel/",
                                        u8"José 张伟/AppData/Keel/keel-anr-cache/",
                                        u8"José 张伟/AppData/Keel/keel-anr-cache/ab-12/",
                                        u8"José 张伟/AppData/Keel/keel-anr-cache/ab-12/"
                                        u8"keel_lag_info.5.1019.json"}));

    // A file in the cache's place, or below one: unusable, and nothing is made anywhere.
    writeFile(root.path() / "file" / "keel-anr-cache", "a file");
    const std::vector<std::string> before = tree(root.path());
    for (const fs::path &host : {root.path() / "file", root.path() / "file" / "keel-anr-cache"}) {
        const std::shared_ptr<Cache> unusable = Cache::openUnder(host.native());
        EXPECT_FALSE(unusable->usable()) << host;
        std::string name;
        EXPECT_EQ(unusable->createDump(1, name), platform::kInvalidFile);
        EXPECT_FALSE(unusable->writeReport("ab", "keel_lag_info", 5, 1019, "{}"));
        EXPECT_FALSE(unusable->writeConfiguration("[General]\n"));
        EXPECT_FALSE(unusable->lockForRetry().held());
    }
    EXPECT_EQ(tree(root.path()), before);
    EXPECT_EQ(readFile(root.path() / "file" / "keel-anr-cache"), "a file");
}

// Only GUID characters name a directory; anything else gets a fresh GUID, and what is
// written under it stays inside the cache.
TEST(ReportGuid, OnlyGuidCharactersNameADirectoryInsideTheCache)
{
    using namespace std::string_literals;
    static const std::regex randomGuid(
        "^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$");
    TemporaryDirectory root;
    const std::shared_ptr<Cache> cache = openAt(root.path() / "cache");
    for (const std::string &safe :
         {"0f8fad5b-d9cb-469f-a165-70867728950e"s, "{0F8FAD5B-D9CB-469F}"s, std::string(128, 'a')})
        EXPECT_EQ(cache::safeReportGuid(safe), safe);
    const std::string unsafe[] = {
        ""s,  "C:x"s,   "..\\x"s,   "\\\\?\\C:\\x"s, "CON"s,
        "..", "a/b",    "../../x"s, "ab\0cd"s,       "ab\ncd"s,
        "g"s, "ab cd"s, "ab.dmp",   "a:b",           std::string(129, 'a'),
    };
    std::vector<std::string> written;
    for (const std::string &guid : unsafe) {
        EXPECT_FALSE(cache->writeReport(guid, "keel_lag_info", 5, 1019, "{}")) << guid;
        const std::string replaced = cache::safeReportGuid(guid);
        EXPECT_TRUE(std::regex_match(replaced, randomGuid)) << guid << " -> " << replaced;
        EXPECT_NE(replaced, cache::safeReportGuid(guid)) << "a fresh one each time";
        ASSERT_TRUE(cache->writeReport(replaced, "keel_lag_info", 5, 1019, "{}"));
        written.push_back(replaced);
    }
    std::sort(written.begin(), written.end());
    EXPECT_EQ(cache->listReports(), written);
    const std::vector<std::string> outside = tree(root.path());
    EXPECT_TRUE(std::all_of(outside.begin(), outside.end(), [](const std::string &entry) {
        return entry.rfind("cache/", 0) == 0;
    })) << "nothing outside the cache";
    EXPECT_EQ(outside.size(), 1 + 2 * written.size()) << "the cache, and one report each";
}

// A second report file replaces the first only once it is whole.
TEST(ReportFile, ReplacesAnEarlierOneOnlyOnceTheNewOneIsWhole)
{
    TemporaryDirectory root;
    const std::shared_ptr<Cache> cache = openAt(root.path());
    const fs::path file = root.path() / "ab" / "keel_lag_info.-3.1019.json";
    ASSERT_TRUE(cache->writeReport("ab", "keel_lag_info", -3, 1019, R"({"n": 1})"));
    std::string seenWhileWriting;
    Cache::setBeforeCommitHookForTesting([&] { seenWhileWriting = readFile(file); });
    EXPECT_TRUE(cache->writeReport("ab", "keel_lag_info", -3, 1019, u8R"({"g": "后台"})"));
    Cache::setBeforeCommitHookForTesting(nullptr);

    EXPECT_EQ(seenWhileWriting, R"({"n": 1})");
    EXPECT_EQ(tree(root.path()),
              (std::vector<std::string>{"ab/", "ab/keel_lag_info.-3.1019.json"}));
    EXPECT_EQ(readFile(file), u8R"({"g": "后台"})");
}

// The quota deletes dumps no report refers to first, then the oldest.
TEST(CacheQuota, DropsDumpsNoReportTookFirstThenTheOldest)
{
    struct Laid {
        const char *path;
        long long bytes, ageMs; // whole seconds: some systems keep no finer file times
    };
    const struct {
        const char *name;
        cache::Quota quota;
        std::vector<Laid> laid;
        std::vector<std::string> left; // the dumps that stay
    } cases[] = {
        {"OrphansGoBeforeOlderReportDumps",
         {3, 1000},
         {{"a/1.dmp", 1, 9000000},
          {"b/2.dmp", 1, 8000000},
          {"3.dmp", 1, 10000},
          {"4.dmp", 1, 20000},
          {"5.dmp", 1, 30000}},
         {"3.dmp", "a/1.dmp", "b/2.dmp"}},
        {"ThenTheOldestReportDumps",
         {2, 1000},
         {{"a/1.dmp", 1, 9000000},
          {"b/2.dmp", 1, 8000000},
          {"c/3.dmp", 1, 7000000},
          {"4.dmp", 1, 10000}},
         {"b/2.dmp", "c/3.dmp"}},
        {"BytesCountToo",
         {50, 100},
         {{"a/1.dmp", 40, 9000000}, {"b/2.dmp", 40, 8000000}, {"c/3.dmp", 40, 7000000}},
         {"b/2.dmp", "c/3.dmp"}},
        {"ExactlyAtTheLimitsStays",
         {2, 100},
         {{"a/1.dmp", 60, 9000000}, {"2.dmp", 40, 10000}},
         {"2.dmp", "a/1.dmp"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TemporaryDirectory root;
        for (const Laid &dump : c.laid) {
            if (std::string(dump.path).find('/') != std::string::npos)
                writeFile(root.path() / fs::path(dump.path).parent_path() /
                              "keel_lag_info.5.1019.json",
                          "{}");
            lay(root.path() / dump.path, dump.bytes, dump.ageMs);
        }
        const std::shared_ptr<Cache> cache = openAt(root.path());
        cache->setQuotaForTesting(c.quota);
        cache->enforceQuota();
        std::vector<std::string> left;
        for (const std::string &entry : tree(root.path()))
            if (entry.size() > 4 && entry.compare(entry.size() - 4, 4, ".dmp") == 0)
                left.push_back(entry);
        EXPECT_EQ(left, c.left);
    }
}

// A process that takes lag dumps one after another, none of which a report takes, keeps at
// most the quota's number, always the newest, and the reports' dumps survive them.
TEST(CacheQuota, HoldsWhileAProcessTakesTwoHundredDumpsInARow)
{
    TemporaryDirectory root;
    const std::shared_ptr<Cache> cache = openAt(root.path());
    cache->setQuotaForTesting({5, 1LL << 40});
    writeFile(root.path() / "ab" / "keel_stuck_info.5.1019.json", "{}");
    lay(root.path() / "ab" / "1.dmp", 10, 60'000);
    const long long start = 1'700'000'000'000;
    for (long long i = 0; i < 200; ++i) {
        std::string name;
        const platform::FileHandle file = cache->createDump(start + i, name);
        ASSERT_NE(file, platform::kInvalidFile) << i;
        platform::closeDumpFile(file);
        const std::string path = cache->finishDump(name, true);
        ASSERT_EQ(fs::u8path(path), root.path() / (std::to_string(start + i) + ".dmp"));
        int dumps = 0;
        for (const std::string &entry : tree(root.path()))
            dumps += entry.size() > 4 && entry.compare(entry.size() - 4, 4, ".dmp") == 0;
        ASSERT_LE(dumps, 5) << "after dump " << i;
        ASSERT_TRUE(fs::exists(fs::u8path(path))) << "the newest is kept";
    }
    EXPECT_TRUE(fs::exists(root.path() / "ab" / "1.dmp")) << "the report's dump is never an orphan";
}

// What a start cleans: root dumps and temporary files an earlier run left, not fresh ones.
TEST(CacheCleanUp, RemovesWhatEarlierRunsLeftAndKeepsFreshWork)
{
    TemporaryDirectory root;
    constexpr long long kOld = 3'600'000, kFresh = 1000;
    lay(root.path() / "100.dmp", 1, kOld);
    lay(root.path() / "101.DMP", 1, kOld);
    lay(root.path() / "102.dmp", 1, kFresh);
    lay(root.path() / ".anr_config.ini.1.0.tmp", 1, kOld); // a write a kill cut short
    lay(root.path() / ".anr_config.ini.2.0.tmp", 1, kFresh);
    lay(root.path() / "ab" / "7.dmp", 1, kOld);
    const std::shared_ptr<Cache> cache = openAt(root.path());
    // Measured from when the files were laid, however long ago that was.
    const long long laidMs =
        platform::wallClockMs() - std::chrono::duration_cast<std::chrono::milliseconds>(
                                      fs::file_time_type::clock::now() - kLaidAt)
                                      .count();
    const cache::CleanUp done = cache->cleanUp(laidMs - cache::kLeftBehindAgeMs);
    EXPECT_EQ(done.dumpsNoReportTook, 2);
    EXPECT_EQ(done.dumpsOverQuota, 0);
    EXPECT_EQ(tree(root.path()),
              (std::vector<std::string>{".anr_config.ini.2.0.tmp", "102.dmp", "ab/", "ab/7.dmp"}));
}

// One retrier per cache: a second opening of the same cache (as another process would) is
// refused while the first holds it, and gets it once released.
TEST(RetrierLock, OneHolderPerCacheAtATime)
{
    TemporaryDirectory root;
    const std::shared_ptr<Cache> first = openAt(root.path()), second = openAt(root.path());
    {
        const platform::FileLock held = first->lockForRetry();
        ASSERT_TRUE(held.held());
        EXPECT_FALSE(second->lockForRetry().held());
    }
    EXPECT_TRUE(second->lockForRetry().held());
}

#ifndef _WIN32
// A report directory swapped for a link between the listing and its use is refused, and
// nothing behind the link is read or removed; removing the report removes the link only.
TEST(ReportDirectory, SwappedForALinkAfterTheListingIsRefused)
{
    TemporaryDirectory root;
    const fs::path outside = root.path() / "outside";
    writeFile(outside / "keel_lag_info.5.1019.json", R"({"outside": true})");
    const std::shared_ptr<Cache> cache = openAt(root.path() / "cache");
    ASSERT_TRUE(cache->writeReport("ab", "keel_lag_info", 5, 1019, "{}"));
    const std::vector<std::string> listed = cache->listReports();
    ASSERT_EQ(listed, std::vector<std::string>{"ab"});

    Cache::setBeforeOpenReportHookForTesting([&](const std::string &guid) {
        fs::remove_all(root.path() / "cache" / guid);
        fs::create_directory_symlink(outside, root.path() / "cache" / guid);
    });
    const cache::ReportDirectory report = cache->openReport(listed[0]);
    Cache::setBeforeOpenReportHookForTesting(nullptr);
    std::string bytes;
    EXPECT_FALSE(report.isOpen());
    EXPECT_NE(report.readReport(bytes), platform::FileRead::Read);
    EXPECT_FALSE(report.removeReportFile());
    EXPECT_TRUE(cache->removeReport(listed[0]));
    EXPECT_FALSE(fs::exists(fs::symlink_status(root.path() / "cache" / "ab")));
    EXPECT_EQ(readFile(outside / "keel_lag_info.5.1019.json"), R"({"outside": true})");
}
#endif

} // namespace
