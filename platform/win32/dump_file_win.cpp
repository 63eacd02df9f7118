#include "platform/process_dump.h"

#include <windows.h>

namespace platform
{

const FileHandle kInvalidFile = reinterpret_cast<FileHandle>(INVALID_HANDLE_VALUE);

FileHandle createDumpFile(const std::wstring &path)
{
    // CREATE_NEW fails when a file of that name exists: two dumps within one millisecond
    // never share a file. No sharing while it is written.
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    return reinterpret_cast<FileHandle>(file);
}

void closeDumpFile(FileHandle file)
{
    CloseHandle(reinterpret_cast<HANDLE>(file));
}

int takeReplacedSignalHandlerNotice()
{
    return 0; // Windows stops threads without signals
}

} // namespace platform
