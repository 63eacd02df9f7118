// What a dump holds, captured from the process and not yet laid out. The capture fills it;
// the serialiser turns it into bytes and knows nothing about where the data came from, so
// tests hand it a model of their own.
#pragma once

#include "minidump/format.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace minidump
{

// Bytes owned elsewhere (the capture's arena); they must outlive the file's writing.
struct ByteView {
    const std::uint8_t *data = nullptr;
    std::size_t size = 0;
};

// A copy of process memory that started at `address`.
struct CapturedMemory {
    std::uint64_t address = 0;
    ByteView bytes;
};

struct DumpThread {
    std::uint32_t threadId = 0;
    // Every register for a thread that answered the dump signal; CONTROL only for one seen
    // in a system call from outside; absent when neither worked.
    std::optional<format::ContextAmd64> context;
    CapturedMemory stack; // empty when no context told where the stack is
};

struct DumpModule {
    std::uint64_t base = 0;
    std::uint64_t size = 0;
    std::string path;                  // UTF-8 (as the file system gave it)
    std::vector<std::uint8_t> buildId; // the ELF NT_GNU_BUILD_ID payload; empty if none
};

struct SystemFacts {
    std::uint16_t processorLevel = 0;    // CPU family
    std::uint16_t processorRevision = 0; // (model << 8) | stepping
    std::uint8_t numberOfProcessors = 0;
    std::uint32_t majorVersion = 0;
    std::uint32_t minorVersion = 0;
    std::uint32_t buildNumber = 0;
    std::string csdVersion; // "sysname release version machine"
    std::uint32_t vendorId[3] = {};
    std::uint32_t versionInformation = 0;     // cpuid(1).eax
    std::uint32_t featureInformation = 0;     // cpuid(1).edx
    std::uint32_t amdExtendedCpuFeatures = 0; // cpuid(0x80000001).edx
};

struct LinkMapEntry {
    std::uint64_t address = 0; // l_addr, the load bias
    std::string name;
    std::uint64_t ld = 0; // l_ld, the module's dynamic section
};

// The dynamic linker's view of the loaded objects (r_debug and its link_map chain).
struct DsoDebugInfo {
    std::uint32_t version = 0;
    std::uint64_t brk = 0;
    std::uint64_t ldBase = 0;
    std::uint64_t dynamicAddress = 0;  // the executable's _DYNAMIC
    std::vector<std::uint8_t> dynamic; // its entries up to and including DT_NULL
    std::vector<LinkMapEntry> linkMap;
};

struct DumpModel {
    std::uint32_t processId = 0;
    std::uint32_t timeDateStamp = 0;
    SystemFacts system;
    // The process's main thread first: LLDB selects the first thread.
    std::vector<DumpThread> threads;
    // The main executable first.
    std::vector<DumpModule> modules;
    // Raw /proc and /etc contents for the Linux streams; empty when unreadable.
    std::string cpuInfo;
    std::string procStatus;
    std::string lsbRelease;
    std::string cmdLine;
    std::string auxv;
    std::string maps;
    std::optional<DsoDebugInfo> dsoDebug;
};

} // namespace minidump
