// Upload of one file (a report's minidump) through the SDK's upload library.
#pragma once

#include <chrono>
#include <string>

// Uploads the file and waits for the outcome. Returns the service's reference to it (the
// string member "data" of the response, which may itself be empty) or "" on any failure:
// a library error, a body that is not JSON or has no string "data", or no completion
// within the upload time limit (60 s), when `timedOut` (if given) is set. Never called on
// the GUI thread. The library's engine and resource are destroyed only after the completion
// has arrived: by this function, or by a completion that comes after the limit.
std::string uploadFile(std::string filePath, bool *timedOut = nullptr);

// At exit: every upload under way stops waiting as if its time limit had passed (its report
// stays in the cache), and every later one fails at once without reaching the library.
void cutUploadsShort();

// Replaces the upload time limit; a zero or negative value restores the default.
void setUploadTimeLimitForTesting(std::chrono::milliseconds limit);
