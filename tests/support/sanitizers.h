#pragma once

namespace testsupport
{

// ThreadSanitizer holds signals back from a thread blocked in a system call and replaces
// operator new: tests that sample blocked threads or count allocations cannot run under it.
#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitizer = true;
#else
constexpr bool kThreadSanitizer = false;
#endif

// AddressSanitizer's interceptors sit between libc and the caller: from a system-call stop
// alone LLDB unwinds the libc frames but not through the interceptor.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif

} // namespace testsupport
