#include "report/upload.h"

#include "base/log.h"
#include "keel.h"
#include "orlacppupload.h"

#include <jansson.h>

#include <atomic>
#include <cstdint>
#include <future>
#include <mutex>
#include <unordered_map>

namespace
{

// A completion that never comes must not hold the watchdog (or the retry) for ever: after
// this long the upload counts as failed, and the report keeps its dump in the cache for
// the retry at the next start. A normal minidump is a few hundred kilobytes and uploads in
// seconds; the bound leaves room for slow links and the library's own retries while
// keeping the watchdog blind for at most a minute.
constexpr std::chrono::milliseconds kDefaultUploadTimeLimit{60'000};
std::atomic<long long> uploadTimeLimitMs{kDefaultUploadTimeLimit.count()};

// The uploads whose completion is still awaited. The library gets an id as user data, not
// the address of a promise: a completion arriving after uploadFile gave up finds no entry
// and is dropped, instead of writing into a promise that no longer exists.
class PendingUploads
{
public:
    // 0 (and no upload) once uploads are cut short.
    std::uint64_t add(std::future<std::string> &result)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (cutShort_)
            return 0;
        const std::uint64_t id = nextId_++;
        result = waiting_[id].get_future();
        return id;
    }

    // Every awaited upload fails at once, and so does every later one.
    void cutShort()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        cutShort_ = true;
        for (auto &entry : waiting_)
            entry.second.set_value({});
        waiting_.clear();
    }

    // Fulfils the upload's promise; nothing when it is no longer awaited.
    void fulfil(std::uint64_t id, std::string value)
    {
        std::promise<std::string> promise;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const auto entry = waiting_.find(id);
            if (entry == waiting_.end())
                return;
            promise = std::move(entry->second);
            waiting_.erase(entry);
        }
        promise.set_value(std::move(value));
    }

    // Stops awaiting the upload. False when its completion has already taken the promise,
    // which it then fulfils without delay.
    bool abandon(std::uint64_t id)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return waiting_.erase(id) > 0;
    }

private:
    std::mutex mutex_;
    std::uint64_t nextId_ = 1;
    bool cutShort_ = false;
    std::unordered_map<std::uint64_t, std::promise<std::string>> waiting_;
};

PendingUploads &pendingUploads()
{
    // Never destroyed: a library thread may deliver a late completion while the process
    // exits.
    static PendingUploads *uploads = new PendingUploads;
    return *uploads;
}

void *userDataFor(std::uint64_t id)
{
    return reinterpret_cast<void *>(static_cast<std::uintptr_t>(id));
}

std::uint64_t idOf(void *userData)
{
    return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(userData));
}

void onUploadProgress(void *, float) {}

void onUploadComplete(void *userData, void *response, void *, void *error)
{
    if (error) {
        logMessage("[Error] code: %d, message: %s\n", Upload_Error_code_get(error),
                   Upload_Error_message_get(error));
        pendingUploads().fulfil(idOf(userData), {});
        return;
    }

    const char *data = Upload_Buffer_GetData(response);
    const int size = Upload_Buffer_GetSize(response);
    const std::string body =
        data && size > 0 ? std::string(data, static_cast<std::size_t>(size)) : std::string();
    json_t *document = json_loads(body.c_str(), 0, nullptr);
    if (!document) {
        pendingUploads().fulfil(idOf(userData), {});
        return;
    }
    const char *reference = json_string_value(json_object_get(document, "data"));
    pendingUploads().fulfil(idOf(userData), reference ? reference : "");
    json_decref(document);
    logMessage("[Upload Success] %s\n", body.c_str());
}

std::string awaitOutcome(std::uint64_t id, std::future<std::string> &result)
{
    const std::chrono::milliseconds limit{uploadTimeLimitMs.load(std::memory_order_relaxed)};
    if (result.wait_for(limit) == std::future_status::ready || !pendingUploads().abandon(id))
        return result.get();
    return {};
}

} // namespace

std::string uploadFile(std::string filePath)
{
    std::future<std::string> result;
    const std::uint64_t id = pendingUploads().add(result);
    if (id == 0)
        return {};

    void *config = Upload_Config_Create("keel", "");
    Upload_Config_test_set(config, Tally::instance()->testEnvironment);
    void *engine = Upload_Engine_Create(config);
    Upload_Config_Destroy(config);

    void *resource = Upload_Resource_Create(filePath.c_str(), "tally");
    Upload_Resource_suffix_set(resource, "dmp");

    Upload_Engine_StartUpload(engine, userDataFor(id), resource, onUploadProgress,
                              onUploadComplete);
    std::string reference = awaitOutcome(id, result);

    Upload_Resource_Destroy(resource);
    Upload_Engine_Destroy(engine);
    return reference;
}

void cutUploadsShort()
{
    pendingUploads().cutShort();
}

void setUploadTimeLimitForTesting(std::chrono::milliseconds limit)
{
    uploadTimeLimitMs.store(limit.count() > 0 ? limit.count() : kDefaultUploadTimeLimit.count(),
                            std::memory_order_relaxed);
}
