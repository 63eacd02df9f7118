// The dump of a hang, opened as a developer opens it: with LLDB beside the executable. The
// helper hangs its GUI thread in keelDemoHangInPaintHandler while the module dumps it.
#include "minidump/minidump_reader.h"
#include "support/sanitizers.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <cstdio>
#include <sstream>
#include <string>

namespace
{

constexpr char kSafetyTimeout[] = "timeout 120 "; // only against a helper that never ends
// In the helper's environment, which must stay out of the dump.
constexpr char kSecret[] = "keel-secret-3f9a1c7e5b";

std::string runCommand(const std::string &command)
{
    std::string output;
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe)
        return output;
    char chunk[4096];
    while (const std::size_t got = std::fread(chunk, 1, sizeof chunk, pipe))
        output.append(chunk, got);
    pclose(pipe);
    return output;
}

std::string valueAfter(const std::string &output, const std::string &label)
{
    const std::size_t at = output.find(label + " ");
    if (at == std::string::npos)
        return {};
    const std::size_t start = at + label.size() + 1;
    return output.substr(start, output.find('\n', start) - start);
}

// The part of `bt all` output that belongs to thread #1.
std::string firstThreadBacktrace(const std::string &output)
{
    const std::size_t start = output.find("* thread #1\n");
    if (start == std::string::npos)
        return {};
    const std::size_t end = output.find("thread #2", start);
    return output.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// The GUI thread answers the dump signal (every register), or blocks it and is seen from its
// system call (stack and instruction pointers only): LLDB finds the paint handler either way.
TEST(LldbOpensTheDump, FirstThreadHangsInThePaintHandlerAndEveryThreadIsListed)
{
    if (testsupport::kThreadSanitizer)
        GTEST_SKIP() << "ThreadSanitizer defers the dump signal of a thread blocked in a call";
    // A thread described from its system-call stop shows at least its innermost frames; in
    // a plain build LLDB unwinds from there into the hanging handler.
    const char *const partialFrame =
        testsupport::kAddressSanitizer ? "__GI___libc_read" : "keelDemoHangInPaintHandler";
    const struct {
        const char *helperArgument;
        std::uint32_t contextFlags;
        const char *frame;
    } cases[] = {{"", 0x0010000B, "keelDemoHangInPaintHandler"},
                 {"--block-signals", 0x00100001, partialFrame}};
    for (const auto &[helperArgument, contextFlags, frame] : cases) {
        SCOPED_TRACE(helperArgument);
        QTemporaryDir cache;
        const std::string helperOutput = runCommand(
            std::string("KEEL_DUMP_SECRET=") + kSecret + " " + kSafetyTimeout +
            "'" KEEL_HANG_HELPER "' '" + cache.path().toStdString() + "' " + helperArgument);
        const std::string dump = valueAfter(helperOutput, "dump");
        const int threadCount = std::atoi(valueAfter(helperOutput, "threads").c_str());
        ASSERT_FALSE(dump.empty()) << helperOutput;
        ASSERT_GE(threadCount, 10) << helperOutput;

        std::string error;
        const std::optional<minidump_test::Minidump> parsed =
            minidump_test::Minidump::load(dump, error);
        ASSERT_TRUE(parsed) << error;
        EXPECT_EQ(static_cast<std::size_t>(threadCount), parsed->threads.size());
        ASSERT_FALSE(parsed->threads.empty());
        EXPECT_EQ(contextFlags,
                  parsed->contextValue(parsed->threads[0], 0x30).value_or(0) & 0xFFFFFFFF)
            << "the GUI thread's context";
        const std::string bytes(parsed->bytes.begin(), parsed->bytes.end());
        EXPECT_EQ(std::string::npos, bytes.find(kSecret)) << "the environment leaked into the dump";

        if (runCommand("command -v lldb").empty())
            continue; // the dump itself is checked above
        const std::string lldb =
            runCommand(std::string(kSafetyTimeout) +
                       "lldb --batch -o 'target create " KEEL_HANG_HELPER " --core " + dump +
                       "' -o 'thread list' -o 'bt all' 2>&1");
        EXPECT_NE(std::string::npos, lldb.find("was loaded")) << lldb;

        // `thread list` prints one "thread #N: tid = ..." line per thread.
        int count = 0;
        std::istringstream lines(lldb);
        for (std::string line; std::getline(lines, line);)
            count += line.find("thread #") != std::string::npos &&
                     line.find(": tid = ") != std::string::npos;
        EXPECT_EQ(threadCount, count) << lldb;
        EXPECT_NE(std::string::npos, firstThreadBacktrace(lldb).find(frame)) << lldb;
    }
}

} // namespace
