// The Linux minidump writer: the platform's MiniDumpWriteDump.
#pragma once

namespace platform::linux_impl {

// Writes a minidump of this process, every thread included, into the open file `fd`.
// True when the whole dump was written.
bool writeMinidump(int fd);

} // namespace platform::linux_impl
