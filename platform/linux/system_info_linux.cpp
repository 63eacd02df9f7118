#include "platform/path_text.h"
#include "platform/system_info.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/utsname.h>
#include <unistd.h>

namespace platform
{
namespace
{

// The rest of the first line of `text` that starts with `prefix`; empty when none does.
std::string lineAfter(const std::string &text, const std::string &prefix)
{
    for (std::size_t lineStart = 0; lineStart < text.size();) {
        std::size_t lineEnd = text.find('\n', lineStart);
        if (lineEnd == std::string::npos)
            lineEnd = text.size();
        if (text.compare(lineStart, prefix.size(), prefix) == 0)
            return text.substr(lineStart + prefix.size(), lineEnd - lineStart - prefix.size());
        lineStart = lineEnd + 1;
    }
    return {};
}

// `KEY=value` of an os-release file, without the quotes the value may carry.
std::string osReleaseValue(const std::string &text, const std::string &key)
{
    std::string value = lineAfter(text, key + "=");
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
        value = value.substr(1, value.size() - 2);
    return value;
}

std::string readWholeFile(const char *path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// "MemTotal:   16384 kB" entries of /proc/meminfo, in bytes.
bool meminfoBytes(const std::string &text, const std::string &key, std::uint64_t &bytes)
{
    const std::string value = lineAfter(text, key + ":");
    char *end = nullptr;
    errno = 0;
    const unsigned long long kilobytes = std::strtoull(value.c_str(), &end, 10);
    if (end == value.c_str() || errno == ERANGE)
        return false;
    bytes = static_cast<std::uint64_t>(kilobytes) * 1024;
    return true;
}

} // namespace

bool readMemoryStatus(MemoryStatus &status)
{
    const std::string meminfo = readWholeFile("/proc/meminfo");
    return meminfoBytes(meminfo, "MemTotal", status.totalPhysical) &&
           meminfoBytes(meminfo, "MemAvailable", status.availablePhysical);
}

std::uint16_t processorArchitecture()
{
    utsname name{};
    if (uname(&name) != 0)
        return 0xFFFF;
    const std::string machine = name.machine;
    if (machine == "x86_64")
        return 9;
    if (machine == "aarch64")
        return 12;
    if (machine.size() == 4 && machine[0] == 'i' && machine.substr(2) == "86")
        return 0;
    return 0xFFFF;
}

std::string osVersionText()
{
    const std::string release = readWholeFile("/etc/os-release");
    const std::string id = osReleaseValue(release, "ID");
    if (!id.empty())
        return id + osReleaseValue(release, "VERSION_ID") + "_64";
    utsname name{};
    unsigned major = 0;
    unsigned minor = 0;
    if (uname(&name) == 0)
        std::sscanf(name.release, "%u.%u", &major, &minor);
    return "Linux" + std::to_string(major) + "." + std::to_string(minor) + "_64";
}

std::wstring executablePath()
{
    std::string buffer(256, '\0');
    for (;;) {
        const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length < 0)
            return {};
        if (static_cast<std::size_t>(length) < buffer.size()) {
            buffer.resize(static_cast<std::size_t>(length));
            return pathFromBytes(buffer);
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::uint32_t currentProcessId()
{
    return static_cast<std::uint32_t>(getpid());
}

} // namespace platform
