// The Linux minidump writer, which writeProcessDump runs behind the fault guard.
#pragma once

namespace platform::linux_impl
{

// Writes a minidump of this process, every thread included, into the open file `fd` (which
// must be empty): system and misc information, threads with registers and stacks (the main
// thread first), modules with build ids, the stacks as memory, and the Linux streams (cpu
// info, status, LSB release, command line, auxv, maps, DSO debug); not the environment.
// True when the whole dump was written. One call at a time, like MiniDumpWriteDump;
// writeGuarded serialises its callers.
bool writeMinidump(int fd);

} // namespace platform::linux_impl
