#include "minidump/minidump_reader.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

namespace minidump_test
{
namespace
{

constexpr std::uint32_t kSignature = 0x504D444D;
constexpr std::uint32_t kVersion = 0xA793;
constexpr std::uint32_t kThreadList = 3;
constexpr std::uint32_t kModuleList = 4;
constexpr std::uint32_t kMemoryList = 5;
constexpr std::uint32_t kSystemInfo = 7;
constexpr std::uint32_t kMiscInfo = 0xF;
constexpr std::uint32_t kDsoDebug = 0x4767000A;
constexpr std::size_t kSystemInfoSize = 56;
constexpr std::size_t kMiscInfoSize = 24;
constexpr std::size_t kDsoDebugSize = 40;
constexpr std::size_t kLinkMapSize = 24;
// LLDB reads contexts no smaller than this (its struct without the FP area).
constexpr std::size_t kMinContextSize = 736;

// Bounds-checked little-endian reads from the file image.
class Bytes
{
public:
    explicit Bytes(const std::vector<std::uint8_t> &image) : image_(image) {}

    bool contains(std::uint64_t offset, std::uint64_t size) const
    {
        return offset <= image_.size() && size <= image_.size() - offset;
    }
    bool contains(const Location &location) const { return contains(location.rva, location.size); }

    template <typename T>
    T get(std::uint64_t offset) const
    {
        T value{};
        if (contains(offset, sizeof value))
            std::memcpy(&value, image_.data() + offset, sizeof value);
        return value;
    }
    Location location(std::uint64_t offset) const
    {
        return {get<std::uint32_t>(offset), get<std::uint32_t>(offset + 4)};
    }

    // A MINIDUMP_STRING as UTF-8; nullopt when out of bounds, odd-sized or not valid UTF-16.
    std::optional<std::string> string(std::uint32_t rva) const
    {
        const std::uint32_t length = get<std::uint32_t>(rva);
        if (!contains(rva, 4) || length % 2 != 0 || !contains(std::uint64_t{rva} + 4, length))
            return std::nullopt;
        std::string text;
        for (std::uint64_t at = std::uint64_t{rva} + 4; at < std::uint64_t{rva} + 4 + length;
             at += 2) {
            char32_t c = get<std::uint16_t>(at);
            if (c >= 0xDC00 && c <= 0xDFFF)
                return std::nullopt;
            if (c >= 0xD800 && c <= 0xDBFF) {
                at += 2;
                const char32_t low = get<std::uint16_t>(at);
                if (at >= std::uint64_t{rva} + 4 + length || low < 0xDC00 || low > 0xDFFF)
                    return std::nullopt;
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
            }
            appendUtf8(text, c);
        }
        return text;
    }

private:
    static void appendUtf8(std::string &out, char32_t c)
    {
        const int extra = c < 0x80 ? 0 : c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
        const char32_t lead = extra ? (0xFF << (7 - extra)) & 0xFF : 0;
        out += static_cast<char>(lead | (c >> (6 * extra)));
        for (int i = extra - 1; i >= 0; --i)
            out += static_cast<char>(0x80 | ((c >> (6 * i)) & 0x3F));
    }

    const std::vector<std::uint8_t> &image_;
};

bool fail(std::string &error, std::string reason)
{
    error = std::move(reason);
    return false;
}

} // namespace

std::optional<Minidump> Minidump::parse(std::vector<std::uint8_t> bytes, std::string &error)
{
    Minidump dump;
    dump.bytes = std::move(bytes);
    if (!dump.parseAll(error))
        return std::nullopt;
    return dump;
}

std::optional<Minidump> Minidump::load(const std::string &path, std::string &error)
{
    std::ifstream file(path, std::ios::binary);
    return parse(std::vector<std::uint8_t>(std::istreambuf_iterator<char>(file), {}), error);
}

bool Minidump::parseAll(std::string &error)
{
    const Bytes b(bytes);
    if (!b.contains(0, 32) || b.get<std::uint32_t>(0) != kSignature ||
        (b.get<std::uint32_t>(4) & 0xFFFF) != kVersion)
        return fail(error, "bad header");
    const std::uint32_t streamCount = b.get<std::uint32_t>(8);
    const std::uint32_t directory = b.get<std::uint32_t>(12);
    if (!b.contains(directory, std::uint64_t{streamCount} * 12))
        return fail(error, "directory outside the file");
    for (std::uint32_t i = 0; i < streamCount; ++i) {
        const std::uint32_t type = b.get<std::uint32_t>(directory + i * 12);
        const Location location = b.location(directory + i * 12 + 4);
        if (!b.contains(location))
            return fail(error, "a stream outside the file");
        if (type == 0 && location.size == 0)
            continue; // an unused entry, which readers skip
        if (!streams.emplace(type, location).second)
            return fail(error, "a duplicate stream type");
    }

    const Location *systemInfo = findStream(kSystemInfo);
    if (!systemInfo || systemInfo->size < kSystemInfoSize)
        return fail(error, "no system information");
    processorArchitecture = b.get<std::uint16_t>(systemInfo->rva);
    const std::optional<std::string> csd = b.string(b.get<std::uint32_t>(systemInfo->rva + 0x18));
    if (!csd)
        return fail(error, "bad CSD version string");
    csdVersion = *csd;

    if (const Location *misc = findStream(kMiscInfo)) {
        if (misc->size < kMiscInfoSize)
            return fail(error, "misc information too small");
        if (b.get<std::uint32_t>(misc->rva + 4) & 1)
            processId = b.get<std::uint32_t>(misc->rva + 8);
    }

    // Calls `entry` with the offset of each entry of a list stream of 4 + n * entrySize bytes.
    const auto eachEntry = [&](std::uint32_t type, std::uint32_t entrySize, const char *what,
                               const auto &entry) {
        const Location *list = findStream(type);
        const std::uint32_t count = list ? b.get<std::uint32_t>(list->rva) : 0;
        if (list && (list->size < 4 || list->size != 4 + std::uint64_t{count} * entrySize))
            return fail(error, std::string(what) + " list of the wrong size");
        for (std::uint32_t i = 0; i < count; ++i)
            if (!entry(list->rva + 4 + std::uint64_t{i} * entrySize))
                return false;
        return true;
    };
    const bool listsValid =
        eachEntry(
            kThreadList, 48, "thread",
            [&](std::uint64_t at) {
                const Thread thread{b.get<std::uint32_t>(at), b.get<std::uint64_t>(at + 0x18),
                                    b.location(at + 0x20), b.location(at + 0x28)};
                threads.push_back(thread);
                return (b.contains(thread.stack) && b.contains(thread.context) &&
                        (thread.context.size == 0 || thread.context.size >= kMinContextSize)) ||
                       fail(error, "a thread with a bad stack or context");
            }) &&
        eachEntry(
            kModuleList, 108, "module",
            [&](std::uint64_t at) {
                const std::optional<std::string> name = b.string(b.get<std::uint32_t>(at + 0x14));
                const Location cv = b.location(at + 0x4C);
                if (!name || !b.contains(cv))
                    return fail(error, "a module with a bad name or CodeView");
                modules.push_back({b.get<std::uint64_t>(at), b.get<std::uint32_t>(at + 8), *name,
                                   std::vector<std::uint8_t>(bytes.begin() + cv.rva,
                                                             bytes.begin() + cv.rva + cv.size)});
                return true;
            }) &&
        eachEntry(kMemoryList, 16, "memory", [&](std::uint64_t at) {
            memory.push_back({b.get<std::uint64_t>(at), b.location(at + 8)});
            return b.contains(memory.back().bytes) || fail(error, "memory outside the file");
        });
    if (!listsValid)
        return false;
    std::vector<MemoryRange> sorted = memory;
    std::sort(sorted.begin(), sorted.end(),
              [](const MemoryRange &x, const MemoryRange &y) { return x.start < y.start; });
    for (std::size_t i = 1; i < sorted.size(); ++i)
        if (sorted[i - 1].start + sorted[i - 1].bytes.size > sorted[i].start)
            return fail(error, "overlapping memory ranges");

    if (const Location *debug = findStream(kDsoDebug)) {
        const std::uint32_t map = b.get<std::uint32_t>(debug->rva + 4);
        const std::uint32_t count = b.get<std::uint32_t>(debug->rva + 8);
        if (debug->size < kDsoDebugSize ||
            (count > 0 && !b.contains(map, std::uint64_t{count} * kLinkMapSize)))
            return fail(error, "bad DSO debug stream");
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint64_t at = map + std::uint64_t{i} * kLinkMapSize;
            const std::optional<std::string> name = b.string(b.get<std::uint32_t>(at + 8));
            if (!name)
                return fail(error, "bad link map name");
            linkMap.push_back({b.get<std::uint64_t>(at), *name, b.get<std::uint64_t>(at + 0x10)});
        }
    }
    return true;
}

const Location *Minidump::findStream(std::uint32_t type) const
{
    const auto found = streams.find(type);
    return found == streams.end() ? nullptr : &found->second;
}

std::string Minidump::streamText(std::uint32_t type) const
{
    const Location *stream = findStream(type);
    return stream ? std::string(bytes.begin() + stream->rva,
                                bytes.begin() + stream->rva + stream->size)
                  : std::string();
}

std::optional<std::uint64_t> Minidump::contextValue(const Thread &thread, std::size_t offset) const
{
    if (thread.context.size < offset + 8)
        return std::nullopt;
    return Bytes(bytes).get<std::uint64_t>(thread.context.rva + offset);
}

std::uint32_t Minidump::contextFlags(const Thread &thread) const
{
    return static_cast<std::uint32_t>(contextValue(thread, 0x30).value_or(0));
}

const Thread *Minidump::findThread(std::uint32_t threadId) const
{
    const auto found = std::find_if(threads.begin(), threads.end(),
                                    [&](const Thread &t) { return t.threadId == threadId; });
    return found == threads.end() ? nullptr : &*found;
}

bool Minidump::inSomeModule(std::uint64_t address) const
{
    return std::any_of(modules.begin(), modules.end(), [&](const Module &m) {
        return address >= m.base && address - m.base < m.size;
    });
}

std::optional<std::vector<std::uint8_t>> Minidump::readMemory(std::uint64_t address,
                                                              std::size_t size) const
{
    for (const MemoryRange &range : memory) {
        if (address >= range.start && address - range.start + size <= range.bytes.size) {
            const auto first = bytes.begin() + range.bytes.rva + (address - range.start);
            return std::vector<std::uint8_t>(first, first + size);
        }
    }
    return std::nullopt;
}

} // namespace minidump_test
