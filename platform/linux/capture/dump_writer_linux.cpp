#include "platform/linux/capture/dump_writer_linux.h"

#include "platform/linux/capture/process_capture_linux.h"
#include "platform/minidump/serialiser.h"

#include <cerrno>
#include <unistd.h>

namespace platform::linux_impl
{
namespace
{

bool writeAllAt(int fd, const std::uint8_t *bytes, std::size_t size, off_t offset)
{
    while (size > 0) {
        const ssize_t written = pwrite(fd, bytes, size, offset);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        bytes += written;
        size -= static_cast<std::size_t>(written);
        offset += written;
    }
    return true;
}

// The signature goes last, so a file cut short by a full disk never passes for a dump.
bool writeImage(int fd, const std::vector<std::uint8_t> &image)
{
    constexpr std::size_t kSignatureSize = 4;
    return image.size() >= kSignatureSize &&
           writeAllAt(fd, image.data() + kSignatureSize, image.size() - kSignatureSize,
                      kSignatureSize) &&
           writeAllAt(fd, image.data(), kSignatureSize, 0);
}

} // namespace

bool writeMinidump(int fd)
{
    const std::optional<ProcessCapture> capture = captureProcess();
    if (!capture)
        return false;
    const std::optional<std::vector<std::uint8_t>> image = serialiseMinidump(capture->model);
    return image && writeImage(fd, *image);
}

} // namespace platform::linux_impl
