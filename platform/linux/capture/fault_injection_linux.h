// The Linux counterpart of the structured-exception guard around MiniDumpWriteDump: while the
// writer runs, SIGSEGV and SIGBUS raised by the writing thread itself jump back out of it;
// every other fault goes on to the disposition the host had installed.
#pragma once

namespace platform::linux_impl
{

// async-signal-safe. When injectFaultIntoNextDumpForTesting() was called on this thread and
// has not fired yet, reads `inaccessible` (a page whose every access faults).
void faultIfInjected(const volatile char *inaccessible);

} // namespace platform::linux_impl
