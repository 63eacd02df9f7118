// Control surface of the stand-in SDK (libkeel, libtally), used by tests and the demo
// to play the host SDK's part: deliver a cloud configuration, accept or refuse events,
// read what was logged and sent, and fire the core's callbacks.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace standin
{

struct RecordedEvent {
    std::string name;
    std::string payload;
    std::string guid;
    int first = 0;
    int second = 0;
    bool hasDone = false;
};

// How Tally::event answers a non-empty `done`.
enum class EventReply {
    AcceptNow,   // done(true) inside event()
    RefuseNow,   // done(false) inside event()
    AcceptLater, // done(true) from the client's own thread
    RefuseLater, // done(false) from the client's own thread
};

namespace tally
{
void setEventReply(EventReply reply);
std::vector<RecordedEvent> events();
std::vector<RecordedEvent> eventsNamed(const std::string &name);
void clearEvents();
// Blocks until at least `count` events named `name` have been recorded; false on timeout.
bool waitForEvents(const std::string &name, std::size_t count, std::chrono::milliseconds timeout);

// The map handed to the next getCloudConfiguration callback (from the client's thread).
// Without one, getCloudConfiguration only registers the callback.
void setCloudConfiguration(std::map<std::string, std::string> configuration);
// Calls the registered configuration callback again with `configuration`, on the client's
// thread, and waits until it has returned. False when no callback is registered.
bool deliverCloudConfiguration(std::map<std::string, std::string> configuration);
// Waits until everything queued on the client's thread has run.
void waitUntilIdle();
// The next calls of Tally::generateGUID return these, in order, before random ones again.
void scriptGuids(std::vector<std::string> guids);
// Takes the next scripted GUID; false when none is left.
bool takeScriptedGuid(std::string &guid);
// Drops the registered callback, the preset configuration and the recorded events,
// and restores the default reply (AcceptNow).
void reset();
} // namespace tally

namespace log
{
std::vector<std::string> lines();
bool contains(const std::string &fragment);
std::size_t count(const std::string &fragment);
// Blocks until a line containing `fragment` has been written; false on timeout.
bool waitFor(const std::string &fragment, std::chrono::milliseconds timeout);
void clear();
// Sets KeelLogWriter's enabled/level so the module logs (enabled, level 1).
void enable();
} // namespace log

namespace keel
{
void fireInitEvent();
void fireBackgroundState(bool active);
} // namespace keel

} // namespace standin
