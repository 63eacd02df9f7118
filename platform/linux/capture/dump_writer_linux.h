// The Linux minidump writer, which writeProcessDump runs behind the fault guard.
#pragma once

#include "minidump/layout.h"

#include <sys/types.h>
#include <sys/uio.h>

namespace platform::linux_impl
{

// Writes a minidump of this process, every thread included, into the open file `fd` (which
// must be empty), through the capture helper where it can trace this process, else here: system and
// misc information, threads with registers and stacks (the main thread first), modules with build
// ids, the stacks as memory, and the Linux streams (cpu info, status, LSB release, command line,
// auxv, maps, DSO debug); not the environment. True when the whole dump was written. One call at a
// time, like MiniDumpWriteDump; writeGuarded serialises its callers.
bool writeMinidump(int fd);

// pwritev's shape, so tests can hand writeLayout one that writes a little at a time or is
// interrupted.
using PositionalWriter = ssize_t (*)(int fd, const iovec *vectors, int count, off_t offset);

// Writes the layout's pieces into `fd` front to back, straight from where they are held, in
// pwritev batches; retries after EINTR and after short writes. The signature (the first four
// bytes) is written last, so a file cut short never passes for a dump. False on any other
// error or when nothing is written.
bool writeLayout(int fd, const minidump::DumpLayout &layout, PositionalWriter write = &::pwritev);

} // namespace platform::linux_impl
