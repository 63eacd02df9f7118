// Stand-in analytics client. Events are recorded, not sent; replies and configuration
// deliveries that the real client makes from its own threads come from one worker thread
// here, so a test can wait for them deterministically.
#include "keel.h"
#include "keel_standin.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <random>
#include <thread>

namespace
{

// A single thread of the client's own with a FIFO of tasks. Never stopped.
class ClientThread
{
public:
    ClientThread() : worker_([this] { run(); }) {}
    void post(std::function<void()> task)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            tasks_.push_back(std::move(task));
        }
        wake_.notify_all();
    }

    void waitUntilIdle()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        idle_.wait(lock, [this] { return tasks_.empty() && !busy_; });
    }

private:
    void run()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return !tasks_.empty(); });
            auto task = std::move(tasks_.front());
            tasks_.pop_front();
            busy_ = true;
            lock.unlock();
            task();
            lock.lock();
            busy_ = false;
            if (tasks_.empty())
                idle_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<std::function<void()>> tasks_;
    bool busy_ = false;
    std::thread worker_;
};

using Configuration = std::map<std::string, std::string>;
using ConfigurationCallback = std::function<void(Configuration)>;

struct ClientState {
    std::mutex mutex;
    std::condition_variable eventRecorded;
    std::vector<standin::RecordedEvent> events;
    standin::EventReply reply = standin::EventReply::AcceptNow;
    bool hasPresetConfiguration = false;
    Configuration presetConfiguration;
    ConfigurationCallback configurationCallback;
};

// The client and its thread live as long as the process, as the real client does: the
// module may call it from static destructors and detached threads.
ClientState &state()
{
    static auto *instance = new ClientState;
    return *instance;
}

// Set once the client's thread exists.
std::atomic<ClientThread *> startedClientThread{nullptr};

ClientThread &clientThread()
{
    static auto *thread = [] {
        auto *created = new ClientThread;
        startedClientThread.store(created);
        return created;
    }();
    return *thread;
}

} // namespace

Tally *Tally::instance()
{
    static auto *client = new Tally;
    return client;
}

std::string Tally::generateGUID()
{
    if (std::string scripted; standin::tally::takeScriptedGuid(scripted))
        return scripted;
    // 128 random bits as 32 lower-case hex digits in the usual 8-4-4-4-12 groups.
    static std::mutex mutex;
    static std::mt19937_64 generator{std::random_device{}()};
    static std::atomic<unsigned> sequence{0};
    std::uint64_t high;
    std::uint64_t low;
    {
        std::lock_guard<std::mutex> lock(mutex);
        high = generator();
        low = generator() ^ sequence.fetch_add(1);
    }
    char text[37];
    std::snprintf(text, sizeof text, "%08x-%04x-%04x-%04x-%012llx",
                  static_cast<unsigned>(high >> 32), static_cast<unsigned>((high >> 16) & 0xffff),
                  static_cast<unsigned>(high & 0xffff), static_cast<unsigned>(low >> 48),
                  static_cast<unsigned long long>(low & 0xffffffffffffULL));
    return text;
}

void Tally::event(const std::string &name, const std::string &payload, const std::string &guid,
                  int first, int second, const std::function<void(bool)> &done)
{
    auto &s = state();
    standin::EventReply reply;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.events.push_back({name, payload, guid, first, second, static_cast<bool>(done)});
        reply = s.reply;
    }
    s.eventRecorded.notify_all();
    if (!done)
        return;
    switch (reply) {
    case standin::EventReply::AcceptNow: done(true); break;
    case standin::EventReply::RefuseNow: done(false); break;
    case standin::EventReply::AcceptLater: clientThread().post([done] { done(true); }); break;
    case standin::EventReply::RefuseLater: clientThread().post([done] { done(false); }); break;
    }
}

void Tally::getCloudConfiguration(const std::function<void(Configuration)> &callback)
{
    auto &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.configurationCallback = callback;
    if (s.hasPresetConfiguration && callback)
        clientThread().post(
            [callback, configuration = s.presetConfiguration] { callback(configuration); });
}

namespace standin::tally
{

void setEventReply(EventReply reply)
{
    std::lock_guard<std::mutex> lock(state().mutex);
    state().reply = reply;
}

std::vector<RecordedEvent> events()
{
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().events;
}

std::vector<RecordedEvent> eventsNamed(const std::string &name)
{
    std::vector<RecordedEvent> named;
    for (auto &event : events())
        if (event.name == name)
            named.push_back(std::move(event));
    return named;
}

void clearEvents()
{
    std::lock_guard<std::mutex> lock(state().mutex);
    state().events.clear();
}

bool waitForEvents(const std::string &name, std::size_t count, std::chrono::milliseconds timeout)
{
    auto &s = state();
    std::unique_lock<std::mutex> lock(s.mutex);
    return s.eventRecorded.wait_for(lock, timeout, [&] {
        std::size_t n = 0;
        for (const auto &event : s.events)
            n += event.name == name ? 1 : 0;
        return n >= count;
    });
}

void setCloudConfiguration(Configuration configuration)
{
    std::lock_guard<std::mutex> lock(state().mutex);
    state().hasPresetConfiguration = true;
    state().presetConfiguration = std::move(configuration);
}

bool deliverCloudConfiguration(Configuration configuration)
{
    ConfigurationCallback callback;
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        callback = state().configurationCallback;
    }
    if (!callback)
        return false;
    clientThread().post(
        [callback, configuration = std::move(configuration)] { callback(configuration); });
    clientThread().waitUntilIdle();
    return true;
}

void waitUntilIdle()
{
    // Without its thread nothing was ever posted. Starting the thread only to wait would leave
    // it being born as a short test process exits, which hangs that exit under Wine.
    if (ClientThread *thread = startedClientThread.load())
        thread->waitUntilIdle();
}

namespace
{
std::mutex guidMutex;
std::deque<std::string> scriptedGuids;
} // namespace

void scriptGuids(std::vector<std::string> guids)
{
    std::lock_guard<std::mutex> lock(guidMutex);
    scriptedGuids.assign(guids.begin(), guids.end());
}

bool takeScriptedGuid(std::string &guid)
{
    std::lock_guard<std::mutex> lock(guidMutex);
    if (scriptedGuids.empty())
        return false;
    guid = std::move(scriptedGuids.front());
    scriptedGuids.pop_front();
    return true;
}

void reset()
{
    scriptGuids({});
    waitUntilIdle();
    std::lock_guard<std::mutex> lock(state().mutex);
    auto &s = state();
    s.events.clear();
    s.reply = EventReply::AcceptNow;
    s.hasPresetConfiguration = false;
    s.presetConfiguration.clear();
    s.configurationCallback = nullptr;
}

} // namespace standin::tally
