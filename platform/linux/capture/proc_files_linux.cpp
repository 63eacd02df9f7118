#include "platform/linux/capture/proc_files_linux.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <dirent.h>
#include <fcntl.h>
#include <string_view>
#include <unistd.h>

namespace platform::linux_impl
{
namespace
{

// Reads the hexadecimal or decimal number at the front of `text` and drops it; false when
// there is none.
bool takeNumber(std::string_view &text, std::uint64_t &value, int base)
{
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc() || end == text.data())
        return false;
    text.remove_prefix(static_cast<std::size_t>(end - text.data()));
    return true;
}

bool takeChar(std::string_view &text, char expected)
{
    if (text.empty() || text.front() != expected)
        return false;
    text.remove_prefix(1);
    return true;
}

// A "0x"-prefixed hexadecimal number, as /proc/PID/syscall prints them.
bool takePrefixedHex(std::string_view &text, std::uint64_t &value)
{
    return takeChar(text, '0') && takeChar(text, 'x') && takeNumber(text, value, 16);
}

void skipSpaces(std::string_view &text)
{
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
}

// "start-end perms offset major:minor inode   path"
std::optional<MapsEntry> parseMapsLine(std::string_view line)
{
    MapsEntry entry;
    std::uint64_t major = 0;
    std::uint64_t minor = 0;
    if (!takeNumber(line, entry.start, 16) || !takeChar(line, '-') ||
        !takeNumber(line, entry.end, 16) || !takeChar(line, ' ') || line.size() < 5 ||
        entry.end < entry.start)
        return std::nullopt;
    entry.readable = line[0] == 'r';
    entry.executable = line[2] == 'x';
    line.remove_prefix(4);
    if (!takeChar(line, ' ') || !takeNumber(line, entry.offset, 16) || !takeChar(line, ' ') ||
        !takeNumber(line, major, 16) || !takeChar(line, ':') || !takeNumber(line, minor, 16) ||
        !takeChar(line, ' ') || !takeNumber(line, entry.inode, 10))
        return std::nullopt;
    skipSpaces(line);
    entry.path = std::string(line);
    return entry;
}

} // namespace

std::optional<std::string> readWholeFile(const char *path)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::string content;
    char chunk[16384];
    for (;;) {
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            close(fd);
            if (got < 0)
                return std::nullopt;
            return content;
        }
        content.append(chunk, static_cast<std::size_t>(got));
    }
}

std::vector<MapsEntry> parseMaps(const std::string &text)
{
    std::vector<MapsEntry> entries;
    std::string_view rest(text);
    while (!rest.empty()) {
        const std::size_t newline = rest.find('\n');
        const std::string_view line = rest.substr(0, newline);
        rest.remove_prefix(newline == std::string_view::npos ? rest.size() : newline + 1);
        if (std::optional<MapsEntry> entry = parseMapsLine(line))
            entries.push_back(std::move(*entry));
    }
    return entries;
}

// async-signal-safe.
const MapsEntry *findMapping(const std::vector<MapsEntry> &maps, std::uint64_t address)
{
    const auto after = std::upper_bound(
        maps.begin(), maps.end(), address,
        [](std::uint64_t value, const MapsEntry &entry) { return value < entry.start; });
    if (after == maps.begin())
        return nullptr;
    const MapsEntry &candidate = *(after - 1);
    return address < candidate.end ? &candidate : nullptr;
}

std::optional<std::uint64_t> argumentStringsStart(const std::string &stat)
{
    // Field 2, the command name, is in parentheses and may hold spaces and ')'; the fields
    // after the last ')' start with field 3.
    constexpr int kArgStartField = 48;
    const std::size_t nameEnd = stat.rfind(')');
    if (nameEnd == std::string::npos)
        return std::nullopt;
    std::string_view rest = std::string_view(stat).substr(nameEnd + 1);
    for (int field = 3; field < kArgStartField; ++field) {
        skipSpaces(rest);
        const std::size_t space = rest.find(' ');
        if (space == std::string_view::npos)
            return std::nullopt;
        rest.remove_prefix(space);
    }
    skipSpaces(rest);
    std::uint64_t start = 0;
    if (!takeNumber(rest, start, 10) || start == 0)
        return std::nullopt;
    return start;
}

std::optional<SyscallStop> parseSyscallStop(const std::string &text)
{
    constexpr int kArguments = 6;
    std::string_view rest(text);
    std::uint64_t number = 0;
    if (!takeNumber(rest, number, 10) || number > std::uint64_t{INT32_MAX})
        return std::nullopt;
    std::uint64_t ignored = 0;
    for (int i = 0; i < kArguments; ++i) {
        if (!takeChar(rest, ' ') || !takePrefixedHex(rest, ignored))
            return std::nullopt;
    }
    SyscallStop stop;
    stop.number = static_cast<std::int64_t>(number);
    if (!takeChar(rest, ' ') || !takePrefixedHex(rest, stop.sp) || !takeChar(rest, ' ') ||
        !takePrefixedHex(rest, stop.pc) || (!rest.empty() && rest != "\n"))
        return std::nullopt;
    return stop;
}

std::string procDirectory(pid_t pid)
{
    return pid == 0 ? std::string("/proc/self") : "/proc/" + std::to_string(pid);
}

std::optional<SyscallStop> readSyscallStop(pid_t tid, pid_t pid)
{
    const std::string path = procDirectory(pid) + "/task/" + std::to_string(tid) + "/syscall";
    const std::optional<std::string> text = readWholeFile(path.c_str());
    return text ? parseSyscallStop(*text) : std::nullopt;
}

std::vector<pid_t> listThreadIds(pid_t pid)
{
    std::vector<pid_t> ids;
    DIR *tasks = opendir((procDirectory(pid) + "/task").c_str());
    if (!tasks)
        return ids;
    while (const dirent *entry = readdir(tasks)) {
        std::uint64_t id = 0;
        std::string_view name(entry->d_name);
        if (takeNumber(name, id, 10) && name.empty() && id > 0)
            ids.push_back(static_cast<pid_t>(id));
    }
    closedir(tasks);
    return ids;
}

} // namespace platform::linux_impl
