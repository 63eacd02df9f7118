#pragma once

namespace testsupport
{

// ThreadSanitizer holds a signal back from a thread blocked in a system call until the call
// returns, and replaces operator new with its own: tests that sample or park blocked threads,
// or count allocations, cannot run under it.
#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitizer = true;
#else
constexpr bool kThreadSanitizer = false;
#endif

// AddressSanitizer puts its interceptors between libc and the caller: from a thread's
// system-call stop alone (instruction and stack pointer, no frame pointer) LLDB unwinds the
// libc frames but not through the interceptor.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif

} // namespace testsupport
