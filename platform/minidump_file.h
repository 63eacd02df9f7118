// Writing a minidump of the running process into a file.
#pragma once

#include "platform/debug_library.h"

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
// Deletes the file; the result is not examined by callers.
void deleteDumpFile(const std::wstring &path);

enum class DumpOutcome { Written, Failed, Faulted };

// Calls the platform's MiniDumpWriteDump for this process (no exception, user-stream or
// callback information) with a guard that turns a fault inside the writer into Faulted.
DumpOutcome writeMiniDumpGuarded(EntryPoint miniDumpWriteDump, FileHandle file,
                                 std::uint32_t dumpType);

// The first signal whose handler, installed by this library to stop threads, the host was
// found to have replaced, reported once (0 otherwise; always 0 where no such handler exists).
// Dumps are still written then, with less of each thread.
int takeReplacedSignalHandlerNotice();

// Makes the next dump written on the calling thread fault (an invalid memory access) inside
// the writer, so tests can check that the guard catches it.
void injectFaultIntoNextDumpForTesting();

} // namespace platform
