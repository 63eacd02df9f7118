#include "platform/linux/capture/dump_writer_linux.h"

#include "minidump/serialiser.h"
#include "platform/linux/capture/process_capture_linux.h"
#include "platform/linux/capture_helper/capture_client_linux.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <vector>

namespace platform::linux_impl
{

using minidump::DumpLayout;
using minidump::DumpPiece;
using minidump::layOutMinidump;
namespace format = minidump::format;

namespace
{

constexpr std::size_t kSignatureSize = sizeof format::kSignature;

// Writes every byte `vectors` describe to `offset` onwards; consumes `vectors` as it goes.
bool writeAllAt(int fd, iovec *vectors, std::size_t count, off_t offset, PositionalWriter write)
{
    while (count > 0) {
        const int batch = static_cast<int>(std::min<std::size_t>(count, IOV_MAX));
        const ssize_t written = write(fd, vectors, batch, offset);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        offset += written;
        auto left = static_cast<std::size_t>(written);
        for (; count > 0 && left >= vectors->iov_len; ++vectors, --count)
            left -= vectors->iov_len;
        if (left > 0) {
            vectors->iov_base = static_cast<char *>(vectors->iov_base) + left;
            vectors->iov_len -= left;
        }
    }
    return true;
}

} // namespace

bool writeLayout(int fd, const DumpLayout &layout, PositionalWriter write)
{
    const std::vector<DumpPiece> pieces = layout.pieces();
    if (pieces.empty() || pieces.front().offset != 0 || pieces.front().size < kSignatureSize)
        return false;
    std::vector<iovec> vectors;
    vectors.reserve(pieces.size());
    for (const DumpPiece &piece : pieces)
        vectors.push_back({const_cast<std::uint8_t *>(piece.bytes), piece.size});
    iovec signature{vectors.front().iov_base, kSignatureSize};
    vectors.front().iov_base = static_cast<char *>(vectors.front().iov_base) + kSignatureSize;
    vectors.front().iov_len -= kSignatureSize;
    return writeAllAt(fd, vectors.data(), vectors.size(), kSignatureSize, write) &&
           writeAllAt(fd, &signature, 1, 0, write);
}

bool writeMinidump(int fd)
{
    switch (writeDumpThroughHelper(fd)) {
    case HelperDump::written: return true;
    case HelperDump::failed: return false;
    case HelperDump::unavailable: break; // taken in process below
    }
    const std::optional<ProcessCapture> capture = captureProcess();
    if (!capture)
        return false;
    const std::optional<DumpLayout> layout = layOutMinidump(capture->model);
    return layout && writeLayout(fd, *layout);
}

} // namespace platform::linux_impl
