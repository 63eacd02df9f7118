// Kept free of Qt, JSON and POSIX calls: this file is also built for Windows.
#include "sysinfo/build_number.h"

#include "platform/system_info.h"
#include "sysinfo/system_probes.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace
{

// fgets stores at most 254 characters and the terminating NUL in it, so a longer line is
// handled as several lines of up to 254 characters each.
constexpr int kLineBufferSize = 255;

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

std::string readIniValue(const std::wstring &path, const std::string &section,
                         const std::string &key)
{
    std::FILE *file = platform::openTextFileForReading(path);
    if (!file)
        return {};

    std::string currentSection;
    char buffer[kLineBufferSize];
    while (std::fgets(buffer, kLineBufferSize, file)) {
        const std::string line(buffer, std::strlen(buffer));
        if (isSectionHeader(line)) {
            currentSection = sectionName(line);
            continue;
        }
        const std::size_t equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        if (currentSection == section && trimmed(line.substr(0, equals)) == key) {
            std::fclose(file);
            // Trimming also drops the line's newline.
            return trimmed(line.substr(equals + 1));
        }
    }
    std::fclose(file);
    return {};
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
