// Writing a minidump of the running process into a file.
#pragma once

#include <cstdint>
#include <string>

namespace platform
{

// Windows: a HANDLE; Linux: a file descriptor. kInvalidFile when creation failed.
using FileHandle = std::intptr_t;
extern const FileHandle kInvalidFile;

// Creates `path` for writing only if no file of that name exists (CREATE_NEW / O_EXCL),
// readable by the owner only where the platform has such permissions.
FileHandle createDumpFile(const std::wstring &path);
void closeDumpFile(FileHandle file);

enum class DumpOutcome { Written, Failed, Faulted };

// Whether dumps can be written: the capture helper's writer needs nothing; Windows' in-process
// fallback loads dbghelp.dll once (a failed load is tried again by the next call) for its
// MiniDumpWriteDump. Thread-safe.
bool loadDumpWriter();

// Writes a minidump of this process, every thread included, into the empty file `file`: by
// the capture helper from outside where it runs, else inside the process (Linux: this
// library's own writer; Windows: MiniDumpWriteDump with MiniDumpNormal and no exception,
// user-stream or callback information). A fault inside the writer gives Faulted instead of
// ending the process; Failed when the writer failed or cannot be loaded, and at once for
// kInvalidFile. Concurrent calls take turns.
DumpOutcome writeProcessDump(FileHandle file);

// The first signal whose handler, installed by this library to stop threads, the host was
// found to have replaced, reported once (0 otherwise; always 0 where no such handler exists).
// Dumps are still written then, with less of each thread.
int takeReplacedSignalHandlerNotice();

// Makes the next dump written on the calling thread fault (an invalid memory access) inside
// the writer, so tests can check that the guard catches it.
void injectFaultIntoNextDumpForTesting();

} // namespace platform
