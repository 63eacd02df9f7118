// What the live dump tests share: writing a dump of this process, reading it with LLDB, and
// the two ways a dump is taken (a test table's parameter).
#pragma once

#include "minidump/command_output.h"
#include "platform/linux/capture_helper/capture_client_linux.h"
#include "platform/process_dump.h"
#include "support/sanitizers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <unistd.h>
#include <vector>

namespace minidump_test
{

constexpr std::uint32_t kFullContext = 0x0010000B; // control, integer and floating point
constexpr int kDumpsPerLldbRun = 25;
constexpr char kLldbTimeout[] = "timeout 300 "; // only against an LLDB that never ends

inline std::string dumpInto(const std::string &path)
{
    const platform::FileHandle file =
        platform::createDumpFile(std::wstring(path.begin(), path.end()));
    const platform::DumpOutcome outcome = platform::writeProcessDump(file);
    platform::closeDumpFile(file);
    return outcome == platform::DumpOutcome::Written ? path : std::string();
}

inline std::string ownExecutable()
{
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string();
}

// LLDB's backtrace of thread #1 (the main thread, dumped first) in each dump, in order; empty
// without LLDB.
inline std::vector<std::string> firstThreadBacktraces(const std::vector<std::string> &dumps)
{
    std::vector<std::string> backtraces;
    if (runCommand("command -v lldb").empty())
        return backtraces;
    const std::string marker = "Core file '";
    for (std::size_t first = 0; first < dumps.size(); first += kDumpsPerLldbRun) {
        std::string command = std::string(kLldbTimeout) + "lldb --batch";
        const std::size_t end = std::min(dumps.size(), first + kDumpsPerLldbRun);
        for (std::size_t i = first; i < end; ++i) {
            command += " -o 'target create " + ownExecutable() + " --core " + dumps[i] + "'" +
                       " -o 'thread backtrace 1'";
        }
        const std::string output = runCommand(command + " 2>&1");
        for (std::size_t at = output.find(marker); at != std::string::npos;) {
            const std::size_t next = output.find(marker, at + marker.size());
            backtraces.push_back(output.substr(at, next == std::string::npos ? next : next - at));
            at = next;
        }
    }
    return backtraces;
}

// Dumps taken in process with signals, or by the capture helper with ptrace.
struct CapturePath {
    const char *name;
    const char *helper; // "" makes the helper missing
};
inline void PrintTo(const CapturePath &path, std::ostream *out)
{
    *out << path.name;
}
inline const CapturePath kCapturePaths[] = {{"InProcess", ""}, {"Helper", KEELANR_CAPTURE_HELPER}};

// Instantiated once for the executable, in load_dump_test.cpp.
class DumpByPath : public testing::TestWithParam<CapturePath>
{
protected:
    void SetUp() override
    {
        if (testsupport::kThreadSanitizer)
            GTEST_SKIP() << "ThreadSanitizer defers signals to a thread blocked in a call";
        platform::linux_impl::setCaptureHelperPathForTesting(GetParam().helper);
    }
    void TearDown() override { platform::linux_impl::setCaptureHelperPathForTesting(nullptr); }
};

} // namespace minidump_test
