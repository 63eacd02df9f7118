// The dump of a hung Qt application, checked by the strict reader against what the process
// knows about itself, then opened as a developer opens it: with LLDB beside the executable.
// The helper hangs its GUI thread in keelDemoHangInPaintHandler while the module dumps it.
#include "minidump/command_output.h"
#include "minidump/minidump_reader.h"
#include "platform/linux/capture/proc_files_linux.h"
#include "support/sanitizers.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QTemporaryDir>

#include <algorithm>
#include <string>

namespace
{

using minidump_test::between;
using minidump_test::kContextRip;
using minidump_test::kContextRsp;
using minidump_test::Minidump;
using minidump_test::runCommand;

constexpr char kSafetyTimeout[] = "timeout 120 "; // only against a helper that never ends
// In the helper's environment, which must stay out of the dump.
constexpr char kSecret[] = "keel-secret-3f9a1c7e5b";

TEST(HangHelperDump, HoldsEveryThreadModuleAndProcessFactButNotTheEnvironmentAndLldbReadsIt)
{
    if (testsupport::kThreadSanitizer)
        GTEST_SKIP() << "ThreadSanitizer defers the dump signal of a thread blocked in a call";
    QTemporaryDir cache;
    const std::string helperOutput =
        runCommand(std::string("KEEL_DUMP_SECRET=") + kSecret + " " + kSafetyTimeout +
                   "'" KEEL_HANG_HELPER "' '" + cache.path().toStdString() + "'");
    const std::string path = between(helperOutput, "dump ", "\n");
    const std::string pid = between(helperOutput, "pid ", "\n");
    const int threadCount = std::atoi(between(helperOutput, "threads ", "\n").c_str());
    ASSERT_FALSE(path.empty()) << helperOutput;
    ASSERT_GE(threadCount, 10) << helperOutput;

    std::string error;
    const std::optional<Minidump> loaded = Minidump::load(path, error);
    ASSERT_TRUE(loaded) << error;
    const Minidump &dump = *loaded;
    ASSERT_EQ(static_cast<std::size_t>(threadCount), dump.threads.size());
    EXPECT_EQ(pid, std::to_string(dump.threads[0].threadId)) << "the GUI thread first";
    std::size_t withStack = 0;
    for (const minidump_test::Thread &thread : dump.threads) {
        SCOPED_TRACE("thread " + std::to_string(thread.threadId));
        withStack += thread.stack.size > 0;
        // No thread here blocks the dump signal: each has a full context.
        EXPECT_EQ(0x0010000Bu, dump.contextFlags(thread)) << "control, integer and floating point";
        EXPECT_TRUE(dump.readMemory(dump.contextValue(thread, kContextRsp).value_or(0), 8))
            << "the stack copy covers the stack pointer";
        EXPECT_TRUE(dump.inSomeModule(dump.contextValue(thread, kContextRip).value_or(0)))
            << "the instruction pointer lies in a module";
    }
    EXPECT_EQ(withStack, dump.memory.size()) << "every stack, and nothing else, is in memory";

    ASSERT_FALSE(dump.modules.empty());
    EXPECT_EQ(KEEL_HANG_HELPER, dump.modules[0].name);
    const std::string qtCoreName = "/libQt" QT_STRINGIFY(QT_VERSION_MAJOR) "Core.so";
    const auto qtCore = std::find_if(dump.modules.begin(), dump.modules.end(), [&](const auto &m) {
        return m.name.find(qtCoreName) != std::string::npos;
    });
    ASSERT_NE(dump.modules.end(), qtCore);
    for (const minidump_test::Module *module : {&dump.modules[0], &*qtCore}) {
        const QByteArray codeView(reinterpret_cast<const char *>(module->codeView.data()),
                                  static_cast<int>(module->codeView.size()));
        EXPECT_EQ("LEpB" +
                      between(runCommand("readelf -n '" + module->name + "'"), "Build ID: ", "\n"),
                  (codeView.left(4) + codeView.mid(4).toHex()).toStdString());
    }
    // The dynamic linker's own list agrees on where Qt Core was loaded.
    const auto linked = std::find_if(dump.linkMap.begin(), dump.linkMap.end(),
                                     [&](const auto &e) { return e.address == qtCore->base; });
    ASSERT_NE(dump.linkMap.end(), linked);
    EXPECT_NE(std::string::npos, linked->name.find(qtCoreName)) << linked->name;

    EXPECT_EQ(0u, dump.csdVersion.rfind("Linux ", 0));
    EXPECT_EQ(pid, std::to_string(dump.processId.value_or(0)));
    EXPECT_NE(std::string::npos, dump.streamText(0x47670004).find("Pid:\t" + pid + "\n"));
    EXPECT_EQ(std::string(KEEL_HANG_HELPER "\0", sizeof KEEL_HANG_HELPER) +
                  cache.path().toStdString() + '\0',
              dump.streamText(0x47670006));
    EXPECT_EQ(0u, dump.streamText(0x47670003).rfind("processor", 0));
    EXPECT_EQ(platform::linux_impl::readWholeFile("/etc/lsb-release").value_or(""),
              dump.streamText(0x47670005));
    EXPECT_NE(std::string::npos, dump.streamText(0x47670009).find(dump.modules[0].name));
    const std::string auxv = dump.streamText(0x47670008);
    ASSERT_GE(auxv.size(), 16u);
    EXPECT_EQ(std::string(16, '\0'), auxv.substr(auxv.size() - 16)) << "ends with AT_NULL";
    EXPECT_EQ(nullptr, dump.findStream(0x47670007)) << "no environment stream";
    EXPECT_EQ(std::string::npos, std::string(dump.bytes.begin(), dump.bytes.end()).find(kSecret))
        << "the environment leaked into the dump";

    if (runCommand("command -v lldb").empty())
        return; // the dump itself is checked above
    const std::string lldb =
        runCommand(std::string(kSafetyTimeout) +
                   "lldb --batch -o 'target create " KEEL_HANG_HELPER " --core " + path +
                   "' -o 'thread list' -o 'bt all' 2>&1");
    EXPECT_NE(std::string::npos, lldb.find("was loaded")) << lldb;
    // `thread list` prints one "thread #N: tid = ..." line per thread.
    int count = 0;
    for (std::size_t at = 0; (at = lldb.find(": tid = ", at + 1)) != std::string::npos;)
        ++count;
    EXPECT_EQ(threadCount, count) << lldb;
    EXPECT_NE(std::string::npos,
              between(lldb, "* thread #1\n", "thread #2").find("keelDemoHangInPaintHandler"))
        << lldb;
}

} // namespace
