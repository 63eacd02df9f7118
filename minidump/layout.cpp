#include "minidump/layout.h"

#include <algorithm>
#include <limits>

namespace minidump
{
namespace
{

// What alignment gaps are written from; no alignment asked for is larger.
constexpr std::uint8_t kZeros[16] = {};

} // namespace

std::optional<std::uint32_t> narrowTo32(std::uint64_t value)
{
    if (value > std::numeric_limits<std::uint32_t>::max())
        return std::nullopt;
    return static_cast<std::uint32_t>(value);
}

format::LocationDescriptor DumpLayout::fail()
{
    failed_ = true;
    return {0, 0};
}

std::optional<std::uint32_t> DumpLayout::place(std::size_t size, std::size_t alignment)
{
    if (failed_ || size == 0 || alignment > sizeof kZeros)
        return std::nullopt;
    const std::uint64_t start = (size_ + alignment - 1) / alignment * alignment;
    // The end must be addressable too: a reader checks rva + size against the file size.
    if (!narrowTo32(start) || !narrowTo32(size) || !narrowTo32(start + size)) {
        fail();
        return std::nullopt;
    }
    if (start > size_) {
        placed_.push_back({static_cast<std::uint32_t>(size_),
                           static_cast<std::uint32_t>(start - size_), kZeros, 0});
    }
    size_ = start + size;
    return static_cast<std::uint32_t>(start);
}

format::LocationDescriptor DumpLayout::append(const void *bytes, std::size_t size,
                                              std::size_t alignment)
{
    const std::optional<std::uint32_t> rva = place(size, alignment);
    if (!rva)
        return {0, 0};
    placed_.push_back({*rva, static_cast<std::uint32_t>(size), nullptr, owned_.size()});
    const auto *source = static_cast<const std::uint8_t *>(bytes);
    if (source)
        owned_.insert(owned_.end(), source, source + size);
    else
        owned_.resize(owned_.size() + size);
    return {static_cast<std::uint32_t>(size), *rva};
}

format::LocationDescriptor DumpLayout::appendBorrowed(const void *bytes, std::size_t size,
                                                      std::size_t alignment)
{
    const std::optional<std::uint32_t> rva = place(size, alignment);
    if (!rva)
        return {0, 0};
    placed_.push_back(
        {*rva, static_cast<std::uint32_t>(size), static_cast<const std::uint8_t *>(bytes), 0});
    return {static_cast<std::uint32_t>(size), *rva};
}

void DumpLayout::patchBytes(std::uint64_t rva, const void *bytes, std::size_t size)
{
    if (failed_)
        return;
    // The last piece starting at or before `rva`.
    const auto after = std::upper_bound(
        placed_.begin(), placed_.end(), rva,
        [](std::uint64_t value, const Placed &piece) { return value < piece.offset; });
    if (after == placed_.begin())
        return;
    const Placed &piece = *(after - 1);
    if (piece.borrowed || rva + size > std::uint64_t{piece.offset} + piece.size)
        return;
    std::memcpy(owned_.data() + piece.owned + (rva - piece.offset), bytes, size);
}

std::vector<DumpPiece> DumpLayout::pieces() const
{
    std::vector<DumpPiece> pieces;
    pieces.reserve(placed_.size());
    for (const Placed &piece : placed_) {
        pieces.push_back({piece.offset, piece.size,
                          piece.borrowed ? piece.borrowed : owned_.data() + piece.owned});
    }
    return pieces;
}

} // namespace minidump
