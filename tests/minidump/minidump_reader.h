// A strict minidump reader for tests, in portable C++ so that Windows dumps get the same
// checks: parse() refuses whatever a debugger could trip over.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace minidump_test
{

struct Location {
    std::uint32_t size = 0;
    std::uint32_t rva = 0;
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

struct Minidump {
    static std::optional<Minidump> parse(std::vector<std::uint8_t> bytes, std::string &error);
    static std::optional<Minidump> load(const std::string &path, std::string &error);

    const Location *findStream(std::uint32_t type) const;
    std::string streamText(std::uint32_t type) const; // empty when absent
    // A 64-bit value at `offset` in the thread's context; nullopt without a context.
    std::optional<std::uint64_t> contextValue(const Thread &thread, std::size_t offset) const;
    std::uint32_t contextFlags(const Thread &thread) const; // 0 without a context
    const Thread *findThread(std::uint32_t threadId) const;
    bool inSomeModule(std::uint64_t address) const;
    // The memory list's bytes for [address, address + size), if one range covers all of it.
    std::optional<std::vector<std::uint8_t>> readMemory(std::uint64_t address,
                                                        std::size_t size) const;

    std::vector<std::uint8_t> bytes;
    std::map<std::uint32_t, Location> streams; // by type
    std::vector<Thread> threads;
    std::vector<Module> modules;
    std::vector<MemoryRange> memory;
    std::vector<LinkMapEntry> linkMap;
    std::uint16_t processorArchitecture = 0;
    std::string csdVersion;
    std::optional<std::uint32_t> processId; // from the misc information stream

private:
    bool parseAll(std::string &error);
};

// Offsets into the AMD64 context.
constexpr std::size_t kContextRsp = 0x98;
constexpr std::size_t kContextRip = 0xF8;

} // namespace minidump_test
