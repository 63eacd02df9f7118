// Kept free of Qt, JSON and POSIX calls: this file is also built for Windows.
#include "sysinfo/build_number.h"

#include "platform/regular_file.h"
#include "platform/system_info.h"
#include "sysinfo/system_probes.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace
{

// The reader behaves as an fgets loop with this buffer would: at most 254 characters and
// the terminating NUL, so a longer line is handled as several lines of up to 254 characters.
constexpr std::size_t kLineBufferSize = 255;

// A build-number file is a few lines; a larger one is not read at all.
constexpr std::size_t kMaxIniBytes = 64 * 1024;

bool isSpace(char c)
{
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

std::string trimmed(const std::string &text)
{
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && isSpace(text[begin]))
        ++begin;
    while (end > begin && isSpace(text[end - 1]))
        --end;
    return text.substr(begin, end - begin);
}

// The section named by a header line: the text after its first '[' up to the next ']'
// (or the end of the line), trimmed.
std::string sectionName(const std::string &line)
{
    const std::size_t open = line.find('[');
    const std::size_t close = line.find(']', open + 1);
    const std::size_t length = close == std::string::npos ? std::string::npos : close - open - 1;
    return trimmed(line.substr(open + 1, length));
}

bool isSectionHeader(const std::string &line)
{
    return line.find('[') != std::string::npos && line.find(']') != std::string::npos;
}

} // namespace

std::string findIniValue(const std::string &text, const std::string &section,
                         const std::string &key)
{
    std::string currentSection;
    std::size_t at = 0;
    while (at < text.size()) {
        // A piece as fgets would store it: up to the newline (kept) or 254 characters, and
        // as strlen sees it, ending at an embedded NUL.
        const std::size_t newline = text.find('\n', at);
        const std::size_t lineEnd = newline == std::string::npos ? text.size() : newline + 1;
        const std::size_t pieceEnd = std::min(lineEnd, at + kLineBufferSize - 1);
        const std::string raw = text.substr(at, pieceEnd - at);
        const std::string line = raw.substr(0, std::strlen(raw.c_str()));
        at = pieceEnd;

        if (isSectionHeader(line)) {
            currentSection = sectionName(line);
            continue;
        }
        const std::size_t equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        // Trimming also drops the line's newline.
        if (currentSection == section && trimmed(line.substr(0, equals)) == key)
            return trimmed(line.substr(equals + 1));
    }
    return {};
}

std::string readIniValue(const std::wstring &path, const std::string &section,
                         const std::string &key)
{
    // A link beside the executable may well be the packager's; it is followed, but only to
    // a regular file, which is opened without blocking.
    std::string text;
    if (platform::readRegularFile(path, kMaxIniBytes, text, platform::Links::Follow) !=
        platform::FileRead::Read)
        return {};
    return findIniValue(text, section, key);
}

std::string getBuildNumber()
{
    static std::string cached;
    if (!cached.empty())
        return cached;

    const std::wstring executable = getExecutablePath();
    const std::size_t separator = executable.find_last_of(L"\\/");
    const std::wstring directory =
        separator == std::wstring::npos ? executable : executable.substr(0, separator);
    cached = readIniValue(directory + L"/fernlea.ini", "build_info", "orla_ci_build_number");
    return cached;
}
