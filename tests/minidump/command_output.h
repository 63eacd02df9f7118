// Running a shell command (LLDB, readelf) and cutting pieces out of what it prints.
#pragma once

#include <cstdio>
#include <string>

namespace minidump_test
{

inline std::string runCommand(const std::string &command)
{
    std::string output;
    FILE *pipe = popen(command.c_str(), "r");
    char chunk[4096];
    while (const std::size_t got = pipe ? std::fread(chunk, 1, sizeof chunk, pipe) : 0)
        output.append(chunk, got);
    if (pipe)
        pclose(pipe);
    return output;
}

// The text between `from` and `to` in `output` (to its end without `to`); empty without `from`.
inline std::string between(const std::string &output, const std::string &from,
                           const std::string &to)
{
    const std::size_t start = output.find(from);
    if (start == std::string::npos)
        return {};
    const std::size_t end = output.find(to, start + from.size());
    return output.substr(start + from.size(),
                         end == std::string::npos ? end : end - start - from.size());
}

} // namespace minidump_test
