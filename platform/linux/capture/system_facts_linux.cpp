#include "platform/linux/capture/system_facts_linux.h"

#include <algorithm>
#include <cpuid.h>
#include <cstdio>
#include <sys/utsname.h>
#include <unistd.h>

#if !defined(__x86_64__)
#error "The Linux minidump writer records AMD64 processor facts and contexts only."
#endif

namespace platform::linux_impl
{

using minidump::SystemFacts;

namespace
{

void readProcessor(SystemFacts &facts)
{
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(0, &eax, &ebx, &ecx, &edx))
        return;
    // The vendor string is spelt by ebx, edx, ecx in that order.
    facts.vendorId[0] = ebx;
    facts.vendorId[1] = edx;
    facts.vendorId[2] = ecx;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx)) {
        facts.versionInformation = eax;
        facts.featureInformation = edx;
        const unsigned stepping = eax & 0xF;
        unsigned model = (eax >> 4) & 0xF;
        unsigned family = (eax >> 8) & 0xF;
        // The extended fields count only for the families that define them.
        if (family == 0xF)
            family += (eax >> 20) & 0xFF;
        if (family == 0x6 || family >= 0xF)
            model += ((eax >> 16) & 0xF) << 4;
        facts.processorLevel = static_cast<std::uint16_t>(family);
        facts.processorRevision = static_cast<std::uint16_t>((model << 8) | stepping);
    }
    if (__get_cpuid(0x80000001, &eax, &ebx, &ecx, &edx))
        facts.amdExtendedCpuFeatures = edx;
}

void readKernel(SystemFacts &facts)
{
    utsname names{};
    if (uname(&names) != 0)
        return;
    facts.csdVersion = std::string(names.sysname) + ' ' + names.release + ' ' + names.version +
                       ' ' + names.machine;
    // "6.1.0-18-amd64": major, minor, patch level.
    unsigned major = 0, minor = 0, patch = 0;
    std::sscanf(names.release, "%u.%u.%u", &major, &minor, &patch);
    facts.majorVersion = major;
    facts.minorVersion = minor;
    facts.buildNumber = patch;
}

} // namespace

SystemFacts readSystemFacts()
{
    SystemFacts facts;
    readProcessor(facts);
    readKernel(facts);
    const long processors = sysconf(_SC_NPROCESSORS_ONLN);
    facts.numberOfProcessors = static_cast<std::uint8_t>(std::clamp(processors, 1L, 255L));
    return facts;
}

} // namespace platform::linux_impl
