#include "platform/stack_sampler.h"

#include "platform/linux/sampling/thread_sampler_linux.h"

namespace platform
{

StackSample captureThreadStack(const DebugEntryPoints &entryPoints, ThreadHandle thread)
{
    if (!entryPoints.stackWalk64 || thread.isNull())
        return {};
    const auto sampleStack =
        reinterpret_cast<linux_impl::SampleThreadStackFunction>(entryPoints.stackWalk64);
    // The room for the frames exists before the thread is interrupted; shrinking afterwards
    // does not reallocate.
    StackSample sample(kMaxStackFrames);
    sample.resize(
        sampleStack(static_cast<pid_t>(thread.value), sample.data(), sample.size(), nullptr));
    return sample;
}

} // namespace platform
