// The one place where a dump's byte layout is decided: every object is appended at the next
// offset aligned for it (gaps zero-filled), every offset and size is narrowed to 32 bits
// through one range check, and references are patched in once their target is placed.
#pragma once

#include "platform/minidump/format.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

namespace platform::linux_impl
{

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "structures are copied to disk as they are in memory");

// `value` as a 32-bit file offset or size; nullopt where it would not fit (never wraps).
std::optional<std::uint32_t> narrowTo32(std::uint64_t value);

// A dump file image under construction. Once anything would lie beyond what a 32-bit RVA
// can address, appends return {0, 0} and failed() stays true: the image must be discarded.
class DumpImage
{
public:
    static constexpr std::size_t kDefaultAlignment = 8;

    // Copies `size` bytes from `bytes` (zeros when null) to the next offset that is a
    // multiple of `alignment`. An empty object gets the absent location {0, 0}.
    format::LocationDescriptor append(const void *bytes, std::size_t size,
                                      std::size_t alignment = kDefaultAlignment);

    template <typename T>
    format::LocationDescriptor appendObject(const T &object)
    {
        return append(&object, sizeof object);
    }

    // A minidump list: a 32-bit count followed directly by the entries, its location
    // covering exactly 4 + n * sizeof(T) bytes (readers locate entries by that size).
    template <typename T>
    format::LocationDescriptor appendList(const std::vector<T> &entries)
    {
        const std::optional<std::uint32_t> count = narrowTo32(entries.size());
        if (!count)
            return fail();
        std::vector<std::uint8_t> block(sizeof *count + entries.size() * sizeof(T));
        std::memcpy(block.data(), &*count, sizeof *count);
        if (!entries.empty())
            std::memcpy(block.data() + sizeof *count, entries.data(), entries.size() * sizeof(T));
        return append(block.data(), block.size());
    }

    // Overwrites bytes appended earlier; ignored on a failed image.
    template <typename T>
    void patch(format::Rva rva, const T &value)
    {
        if (!failed_ && std::uint64_t{rva} + sizeof value <= bytes_.size())
            std::memcpy(bytes_.data() + rva, &value, sizeof value);
    }

    // Marks the image unusable, for a value the format cannot hold; returns {0, 0}.
    format::LocationDescriptor fail();
    bool failed() const { return failed_; }
    std::vector<std::uint8_t> takeBytes() { return std::move(bytes_); }

private:
    std::vector<std::uint8_t> bytes_;
    bool failed_ = false;
};

} // namespace platform::linux_impl
