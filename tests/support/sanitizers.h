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

} // namespace testsupport
