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

} // namespace testsupport
