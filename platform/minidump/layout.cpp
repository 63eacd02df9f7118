#include "platform/minidump/layout.h"

#include <limits>

namespace platform::linux_impl
{

std::optional<std::uint32_t> narrowTo32(std::uint64_t value)
{
    if (value > std::numeric_limits<std::uint32_t>::max())
        return std::nullopt;
    return static_cast<std::uint32_t>(value);
}

format::LocationDescriptor DumpImage::fail()
{
    failed_ = true;
    return {0, 0};
}

format::LocationDescriptor DumpImage::append(const void *bytes, std::size_t size,
                                             std::size_t alignment)
{
    if (failed_ || size == 0)
        return {0, 0};
    const std::uint64_t start = (bytes_.size() + alignment - 1) / alignment * alignment;
    const std::optional<std::uint32_t> rva = narrowTo32(start);
    const std::optional<std::uint32_t> dataSize = narrowTo32(size);
    // The end must be addressable too: a reader checks rva + size against the file size.
    if (!rva || !dataSize || !narrowTo32(start + size))
        return fail();
    bytes_.resize(start); // zero-fills the alignment gap
    const auto *source = static_cast<const std::uint8_t *>(bytes);
    if (source)
        bytes_.insert(bytes_.end(), source, source + size);
    else
        bytes_.resize(start + size);
    return {*dataSize, *rva};
}

} // namespace platform::linux_impl
