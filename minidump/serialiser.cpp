#include "minidump/serialiser.h"

#include "base/utf8_text.h"
#include "minidump/layout.h"

#include <cstring>

namespace minidump
{
namespace
{

using format::LocationDescriptor;
using format::Rva;

struct Serialisation {
    const DumpModel &model;
    DumpLayout image;
    // Per thread: the file offsets of the location descriptors that must point at its stack
    // bytes (its thread record and its memory-list entry). The bytes themselves go last.
    std::vector<std::vector<Rva>> stackReferences;
};

constexpr Rva offsetInList(Rva listRva, std::size_t index, std::size_t entrySize, std::size_t field)
{
    // Narrowing is safe: the list was placed, so every byte of it lies below 4 GiB.
    return static_cast<Rva>(listRva + sizeof(std::uint32_t) + index * entrySize + field);
}

// MINIDUMP_STRING: byte length, UTF-16LE text, an uncounted terminating NUL.
Rva appendString(DumpLayout &image, const std::string &text)
{
    std::u16string units = utf16FromUtf8(text);
    const std::uint32_t byteLength = static_cast<std::uint32_t>(units.size() * sizeof(char16_t));
    units.push_back(u'\0');
    std::vector<std::uint8_t> block(sizeof byteLength + units.size() * sizeof(char16_t));
    std::memcpy(block.data(), &byteLength, sizeof byteLength);
    std::memcpy(block.data() + sizeof byteLength, units.data(), units.size() * sizeof(char16_t));
    return image.append(block.data(), block.size()).rva;
}

LocationDescriptor writeSystemInfo(Serialisation &s)
{
    const SystemFacts &facts = s.model.system;
    format::SystemInfo info{};
    info.processorArchitecture = format::kProcessorArchitectureAmd64;
    info.processorLevel = facts.processorLevel;
    info.processorRevision = facts.processorRevision;
    info.numberOfProcessors = facts.numberOfProcessors;
    info.majorVersion = facts.majorVersion;
    info.minorVersion = facts.minorVersion;
    info.buildNumber = facts.buildNumber;
    info.platformId = format::kPlatformIdLinux;
    info.csdVersionRva = appendString(s.image, facts.csdVersion);
    std::memcpy(info.vendorId, facts.vendorId, sizeof info.vendorId);
    info.versionInformation = facts.versionInformation;
    info.featureInformation = facts.featureInformation;
    info.amdExtendedCpuFeatures = facts.amdExtendedCpuFeatures;
    return s.image.appendObject(info);
}

LocationDescriptor writeMiscInfo(Serialisation &s)
{
    format::MiscInfo info{};
    info.sizeOfInfo = sizeof info;
    info.flags1 = format::kMiscInfoProcessId;
    info.processId = s.model.processId;
    return s.image.appendObject(info);
}

LocationDescriptor writeThreadList(Serialisation &s)
{
    const std::vector<DumpThread> &threads = s.model.threads;
    std::vector<format::Thread> records(threads.size());
    for (std::size_t i = 0; i < threads.size(); ++i) {
        records[i].threadId = threads[i].threadId;
        records[i].stack.startOfMemoryRange = threads[i].stack.address;
        if (threads[i].context)
            records[i].threadContext =
                s.image.appendBorrowed(&*threads[i].context, sizeof *threads[i].context);
    }
    const LocationDescriptor list = s.image.appendList(records);
    for (std::size_t i = 0; i < threads.size(); ++i) {
        s.stackReferences[i].push_back(offsetInList(
            list.rva, i, sizeof(format::Thread),
            offsetof(format::Thread, stack) + offsetof(format::MemoryDescriptor, memory)));
    }
    return list;
}

// Every stack is listed here too: LLDB reads memory only through this list.
LocationDescriptor writeMemoryList(Serialisation &s)
{
    const std::vector<DumpThread> &threads = s.model.threads;
    std::vector<format::MemoryDescriptor> descriptors;
    std::vector<std::size_t> owners;
    for (std::size_t i = 0; i < threads.size(); ++i) {
        if (threads[i].stack.bytes.size == 0)
            continue;
        format::MemoryDescriptor descriptor{};
        descriptor.startOfMemoryRange = threads[i].stack.address;
        descriptors.push_back(descriptor);
        owners.push_back(i);
    }
    const LocationDescriptor list = s.image.appendList(descriptors);
    for (std::size_t j = 0; j < owners.size(); ++j) {
        s.stackReferences[owners[j]].push_back(
            offsetInList(list.rva, j, sizeof(format::MemoryDescriptor),
                         offsetof(format::MemoryDescriptor, memory)));
    }
    return list;
}

LocationDescriptor appendCodeView(DumpLayout &image, const std::vector<std::uint8_t> &buildId)
{
    if (buildId.empty())
        return {0, 0};
    std::vector<std::uint8_t> record(sizeof format::kCodeViewElfSignature + buildId.size());
    std::memcpy(record.data(), &format::kCodeViewElfSignature,
                sizeof format::kCodeViewElfSignature);
    std::memcpy(record.data() + sizeof format::kCodeViewElfSignature, buildId.data(),
                buildId.size());
    return image.append(record.data(), record.size());
}

LocationDescriptor writeModuleList(Serialisation &s)
{
    std::vector<format::Module> records;
    for (const DumpModule &module : s.model.modules) {
        const std::optional<std::uint32_t> size = narrowTo32(module.size);
        if (!size)
            return s.image.fail();
        format::Module record{};
        record.baseOfImage = module.base;
        record.sizeOfImage = *size;
        record.moduleNameRva = appendString(s.image, module.path);
        record.versionInfo.signature = format::kFixedFileInfoSignature;
        record.versionInfo.strucVersion = format::kFixedFileInfoVersion;
        record.cvRecord = appendCodeView(s.image, module.buildId);
        records.push_back(record);
    }
    return s.image.appendList(records);
}

// The Linux streams that are a /proc or /etc file copied as it was read.
template <std::string DumpModel::*file>
LocationDescriptor writeFileCopy(Serialisation &s)
{
    const std::string &bytes = s.model.*file;
    return s.image.appendBorrowed(bytes.data(), bytes.size());
}

LocationDescriptor writeDsoDebug(Serialisation &s)
{
    const DsoDebugInfo &debug = *s.model.dsoDebug;
    std::vector<format::LinkMap> linkMap;
    for (const LinkMapEntry &entry : debug.linkMap) {
        format::LinkMap record{};
        record.address = entry.address;
        record.name = appendString(s.image, entry.name);
        record.ld = entry.ld;
        linkMap.push_back(record);
    }
    format::DsoDebug head{};
    head.version = debug.version;
    head.map = linkMap.empty()
                   ? 0
                   : s.image.append(linkMap.data(), linkMap.size() * sizeof linkMap[0]).rva;
    head.dsoCount = static_cast<std::uint32_t>(linkMap.size());
    head.brk = debug.brk;
    head.ldBase = debug.ldBase;
    head.dynamic = debug.dynamicAddress;
    // The dynamic section follows the head directly (its size keeps the next offset aligned).
    static_assert(sizeof head % DumpLayout::kDefaultAlignment == 0);
    LocationDescriptor stream = s.image.appendObject(head);
    stream.dataSize += s.image.appendBorrowed(debug.dynamic.data(), debug.dynamic.size()).dataSize;
    return stream;
}

bool hasDsoDebug(const DumpModel &model)
{
    return model.dsoDebug.has_value();
}

struct StreamWriter {
    format::StreamType type;
    LocationDescriptor (*write)(Serialisation &);
    bool (*present)(const DumpModel &); // null: always written
};

// One entry per stream type, so the directory can never hold a type twice.
constexpr StreamWriter kStreamWriters[] = {
    {format::kSystemInfoStream, writeSystemInfo, nullptr},
    {format::kMiscInfoStream, writeMiscInfo, nullptr},
    {format::kThreadListStream, writeThreadList, nullptr},
    {format::kModuleListStream, writeModuleList, nullptr},
    {format::kMemoryListStream, writeMemoryList, nullptr},
    {format::kLinuxCpuInfoStream, writeFileCopy<&DumpModel::cpuInfo>, nullptr},
    {format::kLinuxProcStatusStream, writeFileCopy<&DumpModel::procStatus>, nullptr},
    {format::kLinuxLsbReleaseStream, writeFileCopy<&DumpModel::lsbRelease>, nullptr},
    {format::kLinuxCmdLineStream, writeFileCopy<&DumpModel::cmdLine>, nullptr},
    {format::kLinuxAuxvStream, writeFileCopy<&DumpModel::auxv>, nullptr},
    {format::kLinuxMapsStream, writeFileCopy<&DumpModel::maps>, nullptr},
    {format::kLinuxDsoDebugStream, writeDsoDebug, hasDsoDebug},
};

// The stacks go last, each placed once and referenced from every descriptor that names it.
void placeStacks(Serialisation &s)
{
    for (std::size_t i = 0; i < s.model.threads.size(); ++i) {
        const ByteView &bytes = s.model.threads[i].stack.bytes;
        if (bytes.size == 0)
            continue;
        const LocationDescriptor location = s.image.appendBorrowed(bytes.data, bytes.size);
        for (const Rva reference : s.stackReferences[i])
            s.image.patch(reference, location);
    }
}

} // namespace

std::optional<DumpLayout> layOutMinidump(const DumpModel &model)
{
    Serialisation s{model, {}, std::vector<std::vector<Rva>>(model.threads.size())};

    std::vector<const StreamWriter *> writers;
    for (const StreamWriter &writer : kStreamWriters) {
        if (!writer.present || writer.present(model))
            writers.push_back(&writer);
    }
    s.image.append(nullptr, sizeof(format::Header));
    const Rva directoryRva =
        s.image.append(nullptr, writers.size() * sizeof(format::Directory)).rva;

    for (std::size_t i = 0; i < writers.size(); ++i) {
        const format::Directory entry{writers[i]->type, writers[i]->write(s)};
        s.image.patch(static_cast<Rva>(directoryRva + i * sizeof entry), entry);
    }
    placeStacks(s);

    format::Header header{};
    header.signature = format::kSignature;
    header.version = format::kVersion;
    header.numberOfStreams = static_cast<std::uint32_t>(writers.size());
    header.streamDirectoryRva = directoryRva;
    header.timeDateStamp = model.timeDateStamp;
    s.image.patch(0, header);
    if (s.image.failed())
        return std::nullopt;
    return std::move(s.image);
}

} // namespace minidump
