// PLACEHOLDER until the Linux minidump writer lands: every dump fails.
#include "platform/linux/minidump_writer_linux.h"
#include "platform/minidump_file.h"

namespace platform {

namespace linux_impl {
bool writeMinidump(int) { return false; }
} // namespace linux_impl

DumpOutcome writeMiniDumpGuarded(EntryPoint, FileHandle, std::uint32_t)
{
    return DumpOutcome::Failed;
}

void injectFaultIntoNextDumpForTesting() {}

} // namespace platform
