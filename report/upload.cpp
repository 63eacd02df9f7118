#include "report/upload.h"

#include "keel.h"
#include "log/log.h"
#include "orlacppupload.h"

#include <jansson.h>

#include <atomic>
#include <cstdint>
#include <future>
#include <mutex>
#include <optional>
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

// The uploads whose completion has not arrived yet. The library gets an id as user data,
// not the address of a promise. The engine and resource stay in the library's hands until
// the completion arrives: when uploadFile has stopped waiting by then, the late completion
// destroys them; otherwise uploadFile does once it has the outcome.
//
// At exit the uploads are cut short: every waiting uploadFile stops waiting as if its time
// limit had passed (the completion, when it comes, still destroys the handles) and later
// uploads fail at once. A promise holds nothing when its upload was cut short.
class PendingUploads
{
public:
    using Outcome = std::optional<std::string>;

    // 0 (nothing added) once uploads are cut short.
    std::uint64_t add(std::future<Outcome> &result, void *engine, void *resource)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (cutShort_)
            return 0;
        const std::uint64_t id = nextId_++;
        Pending &pending = waiting_[id];
        pending.engine = engine;
        pending.resource = resource;
        result = pending.promise.get_future();
        return id;
    }

    // Hands the outcome to the waiting uploadFile, or releases the handles when it no
    // longer waits.
    void complete(std::uint64_t id, std::string value)
    {
        Pending pending;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const auto entry = waiting_.find(id);
            if (entry == waiting_.end())
                return;
            pending = std::move(entry->second);
            waiting_.erase(entry);
        }
        if (pending.abandoned)
            destroyHandles(pending.engine, pending.resource);
        else
            pending.promise.set_value(std::move(value));
    }

    // Stops waiting; the completion, when it comes, destroys the handles. False when the
    // completion has already taken the entry, which then fulfils the promise without delay.
    bool abandon(std::uint64_t id)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto entry = waiting_.find(id);
        if (entry == waiting_.end())
            return false;
        entry->second.abandoned = true;
        return true;
    }

    void cutShort()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        cutShort_ = true;
        for (auto &entry : waiting_) {
            if (!entry.second.abandoned) {
                entry.second.abandoned = true;
                entry.second.promise.set_value(std::nullopt);
            }
        }
    }

    bool isCutShort()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return cutShort_;
    }

    static void destroyHandles(void *engine, void *resource)
    {
        Upload_Resource_Destroy(resource);
        Upload_Engine_Destroy(engine);
    }

private:
    struct Pending {
        std::promise<Outcome> promise;
        void *engine = nullptr;
        void *resource = nullptr;
        bool abandoned = false;
    };

    std::mutex mutex_;
    std::uint64_t nextId_ = 1;
    bool cutShort_ = false;
    std::unordered_map<std::uint64_t, Pending> waiting_;
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
        pendingUploads().complete(idOf(userData), {});
        return;
    }

    const char *data = Upload_Buffer_GetData(response);
    const int size = Upload_Buffer_GetSize(response);
    const std::string body =
        data && size > 0 ? std::string(data, static_cast<std::size_t>(size)) : std::string();
    json_t *document = json_loads(body.c_str(), 0, nullptr);
    if (!document) {
        pendingUploads().complete(idOf(userData), {});
        return;
    }
    const char *text = json_string_value(json_object_get(document, "data"));
    std::string reference = text ? text : "";
    json_decref(document);
    logMessage("[Upload Success] %s\n", body.c_str());
    pendingUploads().complete(idOf(userData), std::move(reference));
}

// The outcome, or nothing when no completion came within the limit or the upload was cut
// short.
PendingUploads::Outcome awaitOutcome(std::uint64_t id, std::future<PendingUploads::Outcome> &result)
{
    const std::chrono::milliseconds limit{uploadTimeLimitMs.load(std::memory_order_relaxed)};
    if (result.wait_for(limit) == std::future_status::ready || !pendingUploads().abandon(id))
        return result.get();
    return std::nullopt;
}

} // namespace

std::string uploadFile(std::string filePath, bool *timedOut)
{
    if (timedOut)
        *timedOut = false;
    if (pendingUploads().isCutShort()) {
        if (timedOut)
            *timedOut = true; // the process is exiting: the report waits for the next start
        return {};
    }
    void *config = Upload_Config_Create("keel", "");
    Upload_Config_test_set(config, Tally::instance()->testEnvironment);
    void *engine = Upload_Engine_Create(config);
    Upload_Config_Destroy(config);

    void *resource = Upload_Resource_Create(filePath.c_str(), "tally");
    Upload_Resource_suffix_set(resource, "dmp");

    std::future<PendingUploads::Outcome> result;
    const std::uint64_t id = pendingUploads().add(result, engine, resource);
    if (id == 0) { // cut short meanwhile; the library never saw the handles
        PendingUploads::destroyHandles(engine, resource);
        if (timedOut)
            *timedOut = true;
        return {};
    }
    Upload_Engine_StartUpload(engine, userDataFor(id), resource, onUploadProgress,
                              onUploadComplete);
    std::optional<std::string> reference = awaitOutcome(id, result);
    if (!reference) {
        if (timedOut)
            *timedOut = true;
        return {}; // The handles are the late completion's to destroy.
    }
    PendingUploads::destroyHandles(engine, resource);
    return *reference;
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
