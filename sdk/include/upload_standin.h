// Control surface of the stand-in upload library (liborlacppupload), used by tests and the
// demo. By default every upload copies its file into a local upload directory under a
// fresh key and answers {"data":"<key>"} from a thread of the library's own. Tests can
// script the answer and the moment of each completion, and read back what was uploaded.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace standin::upload
{

// When the completion callback runs.
enum class Delivery {
    Inline,            // inside Upload_Engine_StartUpload, before it returns
    FromLibraryThread, // later, from a thread of the library's own
    Held,              // not until releaseHeld(); never, if nothing releases it
};

struct Reply {
    enum class Kind {
        Store, // copy the file into the upload directory and answer {"data":"<key>"}
        Body,  // answer `body` verbatim, whatever it holds
        Error, // report an error with `errorCode` and `errorMessage`
    };
    Kind kind = Kind::Store;
    std::string body;
    int errorCode = 0;
    std::string errorMessage;
    Delivery delivery = Delivery::FromLibraryThread;
};

Reply stored(Delivery delivery = Delivery::FromLibraryThread);
Reply body(std::string body, Delivery delivery = Delivery::FromLibraryThread);
Reply error(int code, std::string message, Delivery delivery = Delivery::FromLibraryThread);

// Which reply an upload gets: the one set for its path, else the next queued one, else
// the default. A missing or empty path turns a Store reply into an error.
void setDefaultReply(Reply reply);
void queueReply(Reply reply);
void setReplyForPath(const std::string &path, Reply reply);

// Where stored files go: setUploadDirectory, else $KEEL_UPLOAD_DIR, else
// $TMPDIR/keel-uploads (or /tmp/keel-uploads). Created on first use.
void setUploadDirectory(const std::string &directory);
std::string uploadDirectory();

struct RecordedUpload {
    std::string appName;
    bool testEnvironment = false;
    std::string path;
    std::string business;
    std::string suffix;
};
std::vector<RecordedUpload> uploads();

// Engines and resources created and not yet destroyed.
std::size_t liveHandles();
// How many engines or resources were destroyed while an upload still worked with them
// (after its start, before its completion was called).
std::size_t handlesDestroyedInUse();

// Waits until at least `count` completions are held; false on timeout.
bool waitForHeld(std::size_t count, std::chrono::milliseconds timeout);
// Delivers every held completion, each from a thread of the library's own, and waits
// until their callbacks have returned.
void releaseHeld();
// Waits until every completion started from a library thread has returned.
void waitUntilIdle();
// Waits for pending completions, drops held ones without calling them, forgets the
// recorded uploads and every scripted reply, and restores the default upload directory.
void reset();

} // namespace standin::upload
