// The minidump structures this writer puts on disk, little-endian, laid out as dbghelp
// declares them. Only MINIDUMP_MODULE needs dbghelp's packing at 4 (108 bytes, not 112); the
// others come out the same with natural alignment. Every offset LLDB relies on is pinned by a
// static_assert.
#pragma once

#include <cstddef>
#include <cstdint>

namespace minidump::format
{

using Rva = std::uint32_t;

constexpr std::uint32_t kSignature = 0x504D444D; // "MDMP"
constexpr std::uint32_t kVersion = 0xA793;

enum StreamType : std::uint32_t {
    kThreadListStream = 3,
    kModuleListStream = 4,
    kMemoryListStream = 5,
    kSystemInfoStream = 7,
    kMiscInfoStream = 0xF,
    kLinuxCpuInfoStream = 0x47670003,
    kLinuxProcStatusStream = 0x47670004,
    kLinuxLsbReleaseStream = 0x47670005,
    kLinuxCmdLineStream = 0x47670006,
    kLinuxAuxvStream = 0x47670008,
    kLinuxMapsStream = 0x47670009,
    kLinuxDsoDebugStream = 0x4767000A,
};

constexpr std::uint16_t kProcessorArchitectureAmd64 = 9;
constexpr std::uint32_t kPlatformIdLinux = 0x8201;
constexpr std::uint32_t kMiscInfoProcessId = 0x1;
constexpr std::uint32_t kCodeViewElfSignature = 0x4270454C; // "LEpB" on disk
constexpr std::uint32_t kFixedFileInfoSignature = 0xFEEF04BD;
constexpr std::uint32_t kFixedFileInfoVersion = 0x00010000;

// AMD64 context flags: the CPU bit plus the register groups present.
constexpr std::uint32_t kContextAmd64 = 0x00100000;
constexpr std::uint32_t kContextControl = kContextAmd64 | 0x1;
constexpr std::uint32_t kContextInteger = kContextAmd64 | 0x2;
constexpr std::uint32_t kContextFloatingPoint = kContextAmd64 | 0x8;
// Control, integer and floating point: what a signal's ucontext provides.
constexpr std::uint32_t kContextFull = kContextControl | kContextInteger | kContextFloatingPoint;

struct Header {
    std::uint32_t signature;
    std::uint32_t version;
    std::uint32_t numberOfStreams;
    Rva streamDirectoryRva;
    std::uint32_t checkSum;
    std::uint32_t timeDateStamp;
    std::uint64_t flags;
};

struct LocationDescriptor {
    std::uint32_t dataSize;
    Rva rva;
};

struct Directory {
    std::uint32_t streamType;
    LocationDescriptor location;
};

struct MemoryDescriptor {
    std::uint64_t startOfMemoryRange;
    LocationDescriptor memory;
};

struct Thread {
    std::uint32_t threadId;
    std::uint32_t suspendCount;
    std::uint32_t priorityClass;
    std::uint32_t priority;
    std::uint64_t teb;
    MemoryDescriptor stack;
    LocationDescriptor threadContext;
};

struct FixedFileInfo {
    std::uint32_t signature;
    std::uint32_t strucVersion;
    std::uint32_t fileVersionMs;
    std::uint32_t fileVersionLs;
    std::uint32_t productVersionMs;
    std::uint32_t productVersionLs;
    std::uint32_t fileFlagsMask;
    std::uint32_t fileFlags;
    std::uint32_t fileOs;
    std::uint32_t fileType;
    std::uint32_t fileSubtype;
    std::uint32_t fileDateMs;
    std::uint32_t fileDateLs;
};

#pragma pack(push, 4)
struct Module {
    std::uint64_t baseOfImage;
    std::uint32_t sizeOfImage;
    std::uint32_t checkSum;
    std::uint32_t timeDateStamp;
    Rva moduleNameRva;
    FixedFileInfo versionInfo;
    LocationDescriptor cvRecord;
    LocationDescriptor miscRecord;
    std::uint64_t reserved0;
    std::uint64_t reserved1;
};
#pragma pack(pop)

struct SystemInfo {
    std::uint16_t processorArchitecture;
    std::uint16_t processorLevel;
    std::uint16_t processorRevision;
    std::uint8_t numberOfProcessors;
    std::uint8_t productType;
    std::uint32_t majorVersion;
    std::uint32_t minorVersion;
    std::uint32_t buildNumber;
    std::uint32_t platformId;
    Rva csdVersionRva;
    std::uint16_t suiteMask;
    std::uint16_t reserved2;
    std::uint32_t vendorId[3];
    std::uint32_t versionInformation;
    std::uint32_t featureInformation;
    std::uint32_t amdExtendedCpuFeatures;
};

struct MiscInfo {
    std::uint32_t sizeOfInfo;
    std::uint32_t flags1;
    std::uint32_t processId;
    std::uint32_t processCreateTime;
    std::uint32_t processUserTime;
    std::uint32_t processKernelTime;
};

// The Windows CONTEXT for AMD64.
struct ContextAmd64 {
    std::uint64_t parameterHome[6];
    std::uint32_t contextFlags;
    std::uint32_t mxCsr;
    std::uint16_t cs, ds, es, fs, gs, ss;
    std::uint32_t eflags;
    std::uint64_t dr0, dr1, dr2, dr3, dr6, dr7;
    std::uint64_t rax, rcx, rdx, rbx, rsp, rbp, rsi, rdi;
    std::uint64_t r8, r9, r10, r11, r12, r13, r14, r15;
    std::uint64_t rip;
    std::uint8_t fltSave[512]; // the FXSAVE image
    std::uint8_t vectorRegister[26 * 16];
    std::uint64_t vectorControl;
    std::uint64_t debugControl;
    std::uint64_t lastBranchToRip;
    std::uint64_t lastBranchFromRip;
    std::uint64_t lastExceptionToRip;
    std::uint64_t lastExceptionFromRip;
};

// The DSO debug stream's head (Breakpad's MDRawDebug64, natural alignment); a copy of the
// executable's _DYNAMIC array follows it inside the stream.
struct DsoDebug {
    std::uint32_t version;
    Rva map;
    std::uint32_t dsoCount;
    std::uint32_t padding;
    std::uint64_t brk;
    std::uint64_t ldBase;
    std::uint64_t dynamic;
};

struct LinkMap {
    std::uint64_t address;
    Rva name;
    std::uint32_t padding;
    std::uint64_t ld;
};

static_assert(sizeof(Header) == 32);
static_assert(sizeof(Directory) == 12);
static_assert(sizeof(MemoryDescriptor) == 16);
static_assert(sizeof(Thread) == 48 && offsetof(Thread, stack) == 0x18 &&
              offsetof(Thread, threadContext) == 0x28);
static_assert(sizeof(FixedFileInfo) == 52);
static_assert(sizeof(Module) == 108 && offsetof(Module, moduleNameRva) == 0x14 &&
              offsetof(Module, cvRecord) == 0x4C && offsetof(Module, reserved1) == 0x64);
static_assert(sizeof(SystemInfo) == 56 && offsetof(SystemInfo, platformId) == 0x14 &&
              offsetof(SystemInfo, csdVersionRva) == 0x18 &&
              offsetof(SystemInfo, vendorId) == 0x20);
static_assert(sizeof(MiscInfo) == 24);
static_assert(sizeof(ContextAmd64) == 1232 && offsetof(ContextAmd64, contextFlags) == 0x30 &&
              offsetof(ContextAmd64, cs) == 0x38 && offsetof(ContextAmd64, eflags) == 0x44 &&
              offsetof(ContextAmd64, rax) == 0x78 && offsetof(ContextAmd64, rsp) == 0x98 &&
              offsetof(ContextAmd64, r8) == 0xB8 && offsetof(ContextAmd64, rip) == 0xF8 &&
              offsetof(ContextAmd64, fltSave) == 0x100 &&
              offsetof(ContextAmd64, vectorRegister) == 0x300 &&
              offsetof(ContextAmd64, debugControl) == 0x4A8);
static_assert(sizeof(DsoDebug) == 40 && offsetof(DsoDebug, brk) == 0x10);
static_assert(sizeof(LinkMap) == 24 && offsetof(LinkMap, ld) == 0x10);

} // namespace minidump::format
