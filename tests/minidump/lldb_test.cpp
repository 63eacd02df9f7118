// The dump of a hang, opened as a developer opens it: with LLDB beside the executable. The
// helper hangs its GUI thread in keelDemoHangInPaintHandler while the module dumps it.
#include "minidump/minidump_reader.h"
#include "support/sanitizers.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <cstdio>
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
    char chunk[4096];
    while (const std::size_t got = pipe ? std::fread(chunk, 1, sizeof chunk, pipe) : 0)
        output.append(chunk, got);
    if (pipe)
        pclose(pipe);
    return output;
}

// The text between `from` and `to` in `output`; empty without `from`.
std::string between(const std::string &output, const std::string &from, const std::string &to)
{
    const std::size_t start = output.find(from);
    if (start == std::string::npos)
        return {};
    const std::size_t end = output.find(to, start + from.size());
    return output.substr(start + from.size(),
                         end == std::string::npos ? end : end - start - from.size());
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
        const std::string dump = between(helperOutput, "dump ", "\n");
        const int threadCount = std::atoi(between(helperOutput, "threads ", "\n").c_str());
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
        for (std::size_t at = 0; (at = lldb.find(": tid = ", at + 1)) != std::string::npos;)
            ++count;
        EXPECT_EQ(threadCount, count) << lldb;
        EXPECT_NE(std::string::npos, between(lldb, "* thread #1\n", "thread #2").find(frame))
            << lldb;
    }
}

} // namespace
