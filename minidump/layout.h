// The one place where a dump's byte layout is decided: every object is placed at the next
// offset aligned for it, every offset and size is narrowed to 32 bits through one range
// check, and references are patched in once their target is placed.
//
// The layout holds no copy of the bulk data: small structures it builds itself (lists,
// strings, the header) live in its own buffer, while stacks, contexts and /proc copies are
// borrowed from the model and go to the file straight from there. The file is the pieces in
// order, gaps included, so it is written front to back without a hole.
#pragma once

#include "minidump/format.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

namespace minidump
{

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "structures are copied to disk as they are in memory");

// `value` as a 32-bit file offset or size; nullopt where it would not fit (never wraps).
std::optional<std::uint32_t> narrowTo32(std::uint64_t value);

// A run of the file's bytes, contiguous with the pieces before and after it.
struct DumpPiece {
    std::uint32_t offset = 0;
    std::uint32_t size = 0;
    const std::uint8_t *bytes = nullptr;
};

class DumpLayout
{
public:
    static constexpr std::size_t kDefaultAlignment = 8;

    // Copies `size` bytes from `bytes` (zeros when null) into the layout and places them at the
    // next offset that is a multiple of `alignment`. An empty object gets the absent location
    // {0, 0}.
    format::LocationDescriptor append(const void *bytes, std::size_t size,
                                      std::size_t alignment = kDefaultAlignment);

    // Places `size` bytes that stay where they are until the file is written.
    format::LocationDescriptor appendBorrowed(const void *bytes, std::size_t size,
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
        const format::LocationDescriptor list =
            append(nullptr, sizeof *count + entries.size() * sizeof(T));
        patch(list.rva, *count);
        if (!entries.empty())
            patchBytes(list.rva + sizeof *count, entries.data(), entries.size() * sizeof(T));
        return list;
    }

    // Overwrites bytes placed with append() earlier; ignored on a failed layout or where the
    // range is not inside one such object.
    template <typename T>
    void patch(format::Rva rva, const T &value)
    {
        patchBytes(rva, &value, sizeof value);
    }

    // Marks the layout unusable, for a value the format cannot hold; returns {0, 0}.
    format::LocationDescriptor fail();
    bool failed() const { return failed_; }

    std::uint64_t fileSize() const { return size_; }
    // The pieces in file order, valid until the layout changes.
    std::vector<DumpPiece> pieces() const;

private:
    // Where a piece's bytes are: `owned` indexes owned_, otherwise `borrowed` points at them.
    struct Placed {
        std::uint32_t offset;
        std::uint32_t size;
        const std::uint8_t *borrowed;
        std::size_t owned;
    };

    std::optional<std::uint32_t> place(std::size_t size, std::size_t alignment);
    void patchBytes(std::uint64_t rva, const void *bytes, std::size_t size);

    std::vector<Placed> placed_;
    std::vector<std::uint8_t> owned_;
    std::uint64_t size_ = 0;
    bool failed_ = false;
};

} // namespace minidump
