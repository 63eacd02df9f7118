// A strict minidump reader for tests, in portable C++ only, so that Linux dumps and (in a
// mingw build) Windows dumps get the same checks. parse() rejects a bad header, anything
// outside the file, a duplicate stream type, no system information, a list stream whose size
// is not exactly 4 + n * entry size, an odd or invalid UTF-16 name, overlapping memory ranges.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace minidump_test
{

struct Location {
    std::uint32_t size = 0;
    std::uint32_t rva = 0;
};

struct Stream {
    std::uint32_t type = 0;
    Location location;
};

struct Thread {
    std::uint32_t threadId = 0;
    std::uint64_t stackStart = 0;
    Location stack;
    Location context;
};

struct Module {
    std::uint64_t base = 0;
    std::uint32_t size = 0;
    std::string name; // UTF-8
    std::vector<std::uint8_t> codeView;
};

struct MemoryRange {
    std::uint64_t start = 0;
    Location bytes;
};

struct LinkMapEntry {
    std::uint64_t address = 0;
    std::string name;
    std::uint64_t ld = 0;
};

class Minidump
{
public:
    // nullopt with the reason in `error` when the bytes are not a valid dump.
    static std::optional<Minidump> parse(std::vector<std::uint8_t> bytes, std::string &error);
    static std::optional<Minidump> load(const std::string &path, std::string &error);

    const std::vector<std::uint8_t> &bytes() const { return bytes_; }
    std::uint32_t timeDateStamp() const { return timeDateStamp_; }
    const std::vector<Stream> &streams() const { return streams_; }
    const Stream *findStream(std::uint32_t type) const;
    // The stream's bytes; empty when it is absent.
    std::vector<std::uint8_t> streamBytes(std::uint32_t type) const;
    std::string streamText(std::uint32_t type) const;

    const std::vector<Thread> &threads() const { return threads_; }
    const std::vector<Module> &modules() const { return modules_; }
    const std::vector<MemoryRange> &memory() const { return memory_; }
    const std::vector<LinkMapEntry> &linkMap() const { return linkMap_; }

    std::uint16_t processorArchitecture() const { return processorArchitecture_; }
    std::uint32_t platformId() const { return platformId_; }
    const std::string &csdVersion() const { return csdVersion_; }
    // From the misc information stream, when it has the process id.
    std::optional<std::uint32_t> processId() const { return processId_; }

    // A 64-bit value at `offset` in the thread's context; nullopt without a context.
    std::optional<std::uint64_t> contextValue(const Thread &thread, std::size_t offset) const;
    std::optional<std::uint32_t> contextFlags(const Thread &thread) const;
    // The memory list's bytes for [address, address + size), if one range covers all of it.
    std::optional<std::vector<std::uint8_t>> readMemory(std::uint64_t address,
                                                        std::size_t size) const;

private:
    bool parseAll(std::string &error);

    std::vector<std::uint8_t> bytes_;
    std::uint32_t timeDateStamp_ = 0;
    std::vector<Stream> streams_;
    std::vector<Thread> threads_;
    std::vector<Module> modules_;
    std::vector<MemoryRange> memory_;
    std::vector<LinkMapEntry> linkMap_;
    std::uint16_t processorArchitecture_ = 0;
    std::uint32_t platformId_ = 0;
    std::string csdVersion_;
    std::optional<std::uint32_t> processId_;
};

// Offsets into the AMD64 context.
constexpr std::size_t kContextRsp = 0x98;
constexpr std::size_t kContextRip = 0xF8;

} // namespace minidump_test
