// The Linux counterpart of the structured-exception guard around MiniDumpWriteDump: while the
// writer runs, SIGSEGV and SIGBUS raised by the writing thread itself jump back out of it;
// every other fault goes on to the disposition the host had installed.
#pragma once

#include "platform/process_dump.h"

namespace platform::linux_impl
{

// A dump writer: writes into the open, empty file `fd`; true when the whole dump was written.
using DumpWriter = bool (*)(int fd);

// Runs `write` on `fd` behind the guard. Faulted when a fault of the calling thread cut it
// short (threads it had parked are released then). Concurrent calls take turns.
DumpOutcome writeGuarded(DumpWriter write, int fd);

// async-signal-safe. A place in the writer where an injected fault strikes: when
// injectFaultIntoNextDumpForTesting() was called on this thread and has not fired yet, reads
// `inaccessible` (a page whose every access faults). Does nothing otherwise.
void faultHereIfInjectedForTesting(const volatile char *inaccessible);

} // namespace platform::linux_impl
