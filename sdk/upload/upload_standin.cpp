// Stand-in upload library. Its transport is a local directory: an upload copies the file
// there under a fresh key and answers {"data":"<key>"}, so a host works on one machine with
// nothing else running. Tests script other answers through upload_standin.h.
#include "upload_standin.h"
#include "orlacppupload.h"

#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>

namespace fs = std::filesystem;
using standin::upload::Delivery;
using standin::upload::RecordedUpload;
using standin::upload::Reply;

namespace
{

struct UploadConfig {
    std::string appName;
    bool testEnvironment = false;
};

struct UploadEngine {
    UploadConfig config;
};

struct UploadResource {
    std::string path;
    std::string business;
    std::string suffix;
};

struct ResponseBuffer {
    std::string body;
};

struct UploadError {
    int code = 0;
    std::string message;
};

// Everything one completion call needs, copied out of the engine and the resource so that
// the caller may destroy both before a held or late completion arrives.
struct Completion {
    void *engine = nullptr;
    void *resource = nullptr;
    void *userData = nullptr;
    Upload_ProgressCallback onProgress = nullptr;
    Upload_CompleteCallback onComplete = nullptr;
    RecordedUpload request;
    bool failed = false;
    ResponseBuffer response;
    UploadError error;

    void deliver();
};

struct LibraryState {
    ~LibraryState()
    {
        for (auto &thread : threads)
            thread.join();
    }

    std::mutex mutex;
    std::condition_variable heldChanged;
    Reply defaultReply;
    std::deque<Reply> queued;
    std::map<std::string, Reply> byPath;
    std::string directory;
    std::vector<RecordedUpload> uploads;
    std::vector<Completion> held;
    std::vector<std::thread> threads;
    std::mt19937_64 keys{std::random_device{}()};
    // Engines and resources not yet destroyed, and those an upload still works with (from
    // its start until its completion is called).
    std::set<void *> live;
    std::multiset<void *> inUse;
    std::size_t destroyedInUse = 0;
};

LibraryState &state()
{
    static LibraryState instance;
    return instance;
}

void Completion::deliver()
{
    {
        auto &s = state();
        std::lock_guard<std::mutex> lock(s.mutex);
        for (void *handle : {engine, resource})
            if (const auto found = s.inUse.find(handle); found != s.inUse.end())
                s.inUse.erase(found);
    }
    if (onProgress)
        onProgress(userData, 1.0f);
    if (onComplete)
        onComplete(userData, &response, &request, failed ? &error : nullptr);
}

void *created(void *handle)
{
    std::lock_guard<std::mutex> lock(state().mutex);
    state().live.insert(handle);
    return handle;
}

void destroyed(void *handle)
{
    std::lock_guard<std::mutex> lock(state().mutex);
    state().live.erase(handle);
    if (state().inUse.count(handle) > 0)
        ++state().destroyedInUse;
}

// Caller holds the state's mutex.
Reply takeReply(LibraryState &s, const std::string &path)
{
    if (auto scripted = s.byPath.find(path); scripted != s.byPath.end())
        return scripted->second;
    if (s.queued.empty())
        return s.defaultReply;
    Reply reply = std::move(s.queued.front());
    s.queued.pop_front();
    return reply;
}

// Caller holds the state's mutex.
std::string freshKey(LibraryState &s, const RecordedUpload &upload)
{
    char random[17];
    std::snprintf(random, sizeof random, "%016llx", static_cast<unsigned long long>(s.keys()));
    return upload.business + "-" + random + "." + upload.suffix;
}

void fail(Completion &completion, int code, std::string message)
{
    completion.failed = true;
    completion.error = {code, std::move(message)};
}

// The default transport: a copy of the file in the upload directory.
void store(Completion &completion, const std::string &key)
{
    // Paths are UTF-8, as the library's contract has them (never the ANSI code page).
    const std::string &path = completion.request.path;
    if (path.empty())
        return fail(completion, 1, "no file to upload");
    std::error_code error;
    if (!fs::is_regular_file(fs::u8path(path), error))
        return fail(completion, 2, "cannot read " + path);
    const fs::path directory = fs::u8path(standin::upload::uploadDirectory());
    fs::create_directories(directory, error);
    if (!fs::copy_file(fs::u8path(path), directory / key, error))
        return fail(completion, 3, "cannot store " + path + ": " + error.message());
    completion.response.body = "{\"data\":\"" + key + "\"}";
}

std::string text(const char *value)
{
    return value ? value : "";
}

} // namespace

extern "C" {

void *Upload_Config_Create(const char *appName, const char *)
{
    return new UploadConfig{text(appName)};
}

void Upload_Config_test_set(void *config, bool testEnvironment)
{
    if (config)
        static_cast<UploadConfig *>(config)->testEnvironment = testEnvironment;
}

void Upload_Config_Destroy(void *config)
{
    delete static_cast<UploadConfig *>(config);
}

void *Upload_Engine_Create(void *config)
{
    return created(
        new UploadEngine{config ? *static_cast<UploadConfig *>(config) : UploadConfig{}});
}

void Upload_Engine_Destroy(void *engine)
{
    destroyed(engine);
    delete static_cast<UploadEngine *>(engine);
}

void *Upload_Resource_Create(const char *filePath, const char *business)
{
    return created(new UploadResource{text(filePath), text(business), {}});
}

void Upload_Resource_suffix_set(void *resource, const char *suffix)
{
    if (resource)
        static_cast<UploadResource *>(resource)->suffix = text(suffix);
}

void Upload_Resource_Destroy(void *resource)
{
    destroyed(resource);
    delete static_cast<UploadResource *>(resource);
}

void Upload_Engine_StartUpload(void *engine, void *userData, void *resource,
                               Upload_ProgressCallback onProgress,
                               Upload_CompleteCallback onComplete)
{
    Completion completion;
    completion.engine = engine;
    completion.resource = resource;
    completion.userData = userData;
    completion.onProgress = onProgress;
    completion.onComplete = onComplete;
    if (engine) {
        const auto *config = &static_cast<UploadEngine *>(engine)->config;
        completion.request.appName = config->appName;
        completion.request.testEnvironment = config->testEnvironment;
    }
    if (resource) {
        const auto *file = static_cast<UploadResource *>(resource);
        completion.request.path = file->path;
        completion.request.business = file->business;
        completion.request.suffix = file->suffix;
    }

    auto &s = state();
    Reply reply;
    std::string key;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.inUse.insert(engine);
        s.inUse.insert(resource);
        s.uploads.push_back(completion.request);
        reply = takeReply(s, completion.request.path);
        key = freshKey(s, completion.request);
    }

    if (!engine || !resource)
        fail(completion, 4, "no engine or no resource");
    else if (reply.kind == Reply::Kind::Store)
        store(completion, key);
    else if (reply.kind == Reply::Kind::Body)
        completion.response.body = reply.body;
    else
        fail(completion, reply.errorCode, reply.errorMessage);

    switch (reply.delivery) {
    case Delivery::Inline: completion.deliver(); break;
    case Delivery::FromLibraryThread: {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.threads.emplace_back([completion]() mutable { completion.deliver(); });
        break;
    }
    case Delivery::Held: {
        {
            std::lock_guard<std::mutex> lock(s.mutex);
            s.held.push_back(std::move(completion));
        }
        s.heldChanged.notify_all();
        break;
    }
    }
}

const char *Upload_Buffer_GetData(void *buffer)
{
    return buffer ? static_cast<ResponseBuffer *>(buffer)->body.data() : "";
}

int Upload_Buffer_GetSize(void *buffer)
{
    return buffer ? static_cast<int>(static_cast<ResponseBuffer *>(buffer)->body.size()) : 0;
}

int Upload_Error_code_get(void *error)
{
    return error ? static_cast<UploadError *>(error)->code : 0;
}

const char *Upload_Error_message_get(void *error)
{
    return error ? static_cast<UploadError *>(error)->message.c_str() : "";
}

} // extern "C"

namespace standin::upload
{

Reply stored(Delivery delivery)
{
    Reply reply;
    reply.delivery = delivery;
    return reply;
}

Reply body(std::string body, Delivery delivery)
{
    Reply reply;
    reply.kind = Reply::Kind::Body;
    reply.body = std::move(body);
    reply.delivery = delivery;
    return reply;
}

Reply error(int code, std::string message, Delivery delivery)
{
    Reply reply;
    reply.kind = Reply::Kind::Error;
    reply.errorCode = code;
    reply.errorMessage = std::move(message);
    reply.delivery = delivery;
    return reply;
}

void setDefaultReply(Reply reply)
{
    std::lock_guard<std::mutex> lock(state().mutex);
    state().defaultReply = std::move(reply);
}

void queueReply(Reply reply)
{
    std::lock_guard<std::mutex> lock(state().mutex);
    state().queued.push_back(std::move(reply));
}

void setReplyForPath(const std::string &path, Reply reply)
{
    std::lock_guard<std::mutex> lock(state().mutex);
    state().byPath[path] = std::move(reply);
}

void setUploadDirectory(const std::string &directory)
{
    std::lock_guard<std::mutex> lock(state().mutex);
    state().directory = directory;
}

std::string uploadDirectory()
{
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        if (!state().directory.empty())
            return state().directory;
    }
    if (const char *configured = std::getenv("KEEL_UPLOAD_DIR"); configured && *configured)
        return configured;
    const char *temporary = std::getenv("TMPDIR");
    return std::string(temporary && *temporary ? temporary : "/tmp") + "/keel-uploads";
}

std::vector<RecordedUpload> uploads()
{
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().uploads;
}

std::size_t liveHandles()
{
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().live.size();
}

std::size_t handlesDestroyedInUse()
{
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().destroyedInUse;
}

bool waitForHeld(std::size_t count, std::chrono::milliseconds timeout)
{
    auto &s = state();
    std::unique_lock<std::mutex> lock(s.mutex);
    return s.heldChanged.wait_for(lock, timeout, [&] { return s.held.size() >= count; });
}

void releaseHeld()
{
    auto &s = state();
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        for (auto &completion : s.held)
            s.threads.emplace_back([completion]() mutable { completion.deliver(); });
        s.held.clear();
    }
    waitUntilIdle();
}

void waitUntilIdle()
{
    auto &s = state();
    for (;;) {
        std::vector<std::thread> running;
        {
            std::lock_guard<std::mutex> lock(s.mutex);
            running.swap(s.threads);
        }
        if (running.empty())
            return;
        for (auto &thread : running)
            thread.join();
    }
}

void reset()
{
    waitUntilIdle();
    auto &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.defaultReply = Reply{};
    s.queued.clear();
    s.byPath.clear();
    s.directory.clear();
    s.uploads.clear();
    s.held.clear();
    s.destroyedInUse = 0;
}

} // namespace standin::upload
