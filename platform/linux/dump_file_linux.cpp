#include "platform/linux/signal_support_linux.h"
#include "platform/path_text.h"
#include "platform/process_dump.h"

#include <fcntl.h>
#include <unistd.h>

namespace platform
{

const FileHandle kInvalidFile = -1;

FileHandle createDumpFile(const std::wstring &path)
{
    // O_EXCL gives CREATE_NEW's "fail if it exists"; 0600 because a dump holds process memory.
    const int fd = ::open(pathToBytes(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    return fd < 0 ? kInvalidFile : fd;
}

void closeDumpFile(FileHandle file)
{
    ::close(static_cast<int>(file));
}

int takeReplacedSignalHandlerNotice()
{
    return linux_impl::takeReplacedHandlerNotice();
}

} // namespace platform
