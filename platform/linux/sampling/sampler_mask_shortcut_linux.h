// libunwind (as Debian builds it) blocks every signal around each access to its cache: two
// rt_sigprocmask system calls per frame, about two thirds of a walk's time. Inside the
// sampling handler every signal is already blocked (its sa_mask is full), so those calls
// change nothing. This points the loaded libunwind's own import of sigprocmask at a function
// that skips the system call while the calling thread is the one walking in the sampling
// handler, and passes every other call on to the real sigprocmask unchanged.
#pragma once

namespace platform::linux_impl
{

// Redirects the sigprocmask import of `library` (a dlopen handle). False, with nothing
// changed, when the import cannot be found or its slot cannot be written; walks then still
// work, only slower. Call once, before the sampling handler can run. Not async-signal-safe.
bool shortcutMaskChangesWhileWalking(void *library);

// async-signal-safe. Marks the calling thread as the walking one; false when another thread
// holds the mark (its walk keeps the system calls then). Pair a true result with
// endWalkWithoutMaskChanges().
bool beginWalkWithoutMaskChanges();
// async-signal-safe.
void endWalkWithoutMaskChanges();

} // namespace platform::linux_impl
