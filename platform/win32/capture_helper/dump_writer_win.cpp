#include "dump_writer_win.h"

#include "minidump/layout.h"

#include <cstring>

namespace keelanr_capture
{
namespace
{

using minidump::DumpLayout;
using minidump::format::LocationDescriptor;

constexpr std::uint32_t kPlatformIdWindowsNt = 2; // VER_PLATFORM_WIN32_NT
constexpr std::uint32_t kSignatureSize = sizeof minidump::format::kSignature;

// MINIDUMP_STRING: byte length, UTF-16LE text, an uncounted terminating NUL.
minidump::format::Rva appendString(DumpLayout &image, const std::wstring &text)
{
    static_assert(sizeof(wchar_t) == 2, "Windows strings are UTF-16");
    const auto byteLength = static_cast<std::uint32_t>(text.size() * sizeof(wchar_t));
    std::vector<std::uint8_t> block(sizeof byteLength + byteLength + sizeof(wchar_t), 0);
    std::memcpy(block.data(), &byteLength, sizeof byteLength);
    std::memcpy(block.data() + sizeof byteLength, text.data(), byteLength);
    return image.append(block.data(), block.size()).rva;
}

LocationDescriptor appendSystemInfo(DumpLayout &image, const RemoteSystem &system)
{
    minidump::format::SystemInfo info{};
    info.processorArchitecture = system.info.wProcessorArchitecture;
    info.processorLevel = system.info.wProcessorLevel;
    info.processorRevision = system.info.wProcessorRevision;
    info.numberOfProcessors = static_cast<std::uint8_t>(system.info.dwNumberOfProcessors);
    info.productType = system.version.wProductType;
    info.majorVersion = system.version.dwMajorVersion;
    info.minorVersion = system.version.dwMinorVersion;
    info.buildNumber = system.version.dwBuildNumber;
    info.platformId = kPlatformIdWindowsNt;
    info.csdVersionRva = appendString(image, system.version.szCSDVersion);
    info.suiteMask = system.version.wSuiteMask;
    return image.appendObject(info);
}

LocationDescriptor appendMiscInfo(DumpLayout &image, DWORD processId)
{
    minidump::format::MiscInfo info{};
    info.sizeOfInfo = sizeof info;
    info.flags1 = minidump::format::kMiscInfoProcessId;
    info.processId = processId;
    return image.appendObject(info);
}

LocationDescriptor appendModuleList(DumpLayout &image, const std::vector<RemoteModule> &modules)
{
    std::vector<minidump::format::Module> records;
    for (const RemoteModule &module : modules) {
        minidump::format::Module record{};
        record.baseOfImage = module.base;
        record.sizeOfImage = module.size;
        record.checkSum = module.checkSum;
        record.timeDateStamp = module.timeDateStamp;
        record.moduleNameRva = appendString(image, module.path);
        record.versionInfo.signature = minidump::format::kFixedFileInfoSignature;
        record.versionInfo.strucVersion = minidump::format::kFixedFileInfoVersion;
        record.cvRecord = image.append(module.codeView.data(), module.codeView.size());
        records.push_back(record);
    }
    return image.appendList(records);
}

// The thread list and the memory list, which point at the same stack bytes.
void appendThreadsAndStacks(DumpLayout &image, const std::vector<RemoteThread> &threads,
                            LocationDescriptor &threadList, LocationDescriptor &memoryList)
{
    std::vector<minidump::format::Thread> records;
    std::vector<minidump::format::MemoryDescriptor> stacks;
    for (const RemoteThread &thread : threads) {
        if (thread.context.empty())
            continue; // ended before it could be read
        minidump::format::Thread record{};
        record.threadId = thread.id;
        record.suspendCount = thread.suspendCount;
        record.teb = thread.teb;
        record.threadContext = image.append(thread.context.data(), thread.context.size(), 16);
        if (!thread.stack.empty()) {
            record.stack.startOfMemoryRange = thread.stackStart;
            record.stack.memory = image.appendBorrowed(thread.stack.data(), thread.stack.size());
            stacks.push_back(record.stack);
        }
        records.push_back(record);
    }
    threadList = image.appendList(records);
    memoryList = image.appendList(stacks);
}

bool writeAll(HANDLE file, const std::uint8_t *bytes, std::size_t size)
{
    while (size > 0) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1 << 20));
        if (!WriteFile(file, bytes, chunk, &written, nullptr) || written == 0)
            return false;
        bytes += written;
        size -= written;
    }
    return true;
}

} // namespace

bool writeWindowsMinidump(HANDLE file, const RemoteProcess &process)
{
    DumpLayout image;
    image.append(nullptr, sizeof(minidump::format::Header));
    constexpr std::uint32_t kStreams = 5;
    const minidump::format::Rva directoryRva =
        image.append(nullptr, kStreams * sizeof(minidump::format::Directory)).rva;
    LocationDescriptor threadList{};
    LocationDescriptor memoryList{};
    appendThreadsAndStacks(image, process.threads, threadList, memoryList);
    const minidump::format::Directory directory[kStreams] = {
        {minidump::format::kThreadListStream, threadList},
        {minidump::format::kModuleListStream, appendModuleList(image, process.modules)},
        {minidump::format::kMemoryListStream, memoryList},
        {minidump::format::kSystemInfoStream, appendSystemInfo(image, process.system)},
        {minidump::format::kMiscInfoStream, appendMiscInfo(image, process.processId)},
    };
    image.patch(directoryRva, directory);

    minidump::format::Header header{};
    header.signature = minidump::format::kSignature;
    header.version = minidump::format::kVersion;
    header.numberOfStreams = kStreams;
    header.streamDirectoryRva = directoryRva;
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const ULONGLONG ticks = (ULONGLONG{now.dwHighDateTime} << 32) | now.dwLowDateTime;
    header.timeDateStamp = static_cast<std::uint32_t>(ticks / 10000000 - 11644473600ULL);
    image.patch(0, header);
    if (image.failed())
        return false;

    // Everything but the signature, then the signature.
    const std::vector<minidump::DumpPiece> pieces = image.pieces();
    bool written = true;
    for (std::size_t i = 0; written && i < pieces.size(); ++i) {
        const std::size_t skip = i == 0 ? kSignatureSize : 0;
        LARGE_INTEGER at{};
        at.QuadPart = pieces[i].offset + skip;
        written = SetFilePointerEx(file, at, nullptr, FILE_BEGIN) &&
                  writeAll(file, pieces[i].bytes + skip, pieces[i].size - skip);
    }
    LARGE_INTEGER start{};
    return written && SetFilePointerEx(file, start, nullptr, FILE_BEGIN) &&
           writeAll(file, pieces.front().bytes, kSignatureSize);
}

} // namespace keelanr_capture
