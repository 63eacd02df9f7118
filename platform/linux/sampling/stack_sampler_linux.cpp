// Linux's stack walker: the capture helper where it may trace this process
// (capture_client_linux.h), else libunwind walking inside the sampling signal handler on the
// sampled thread (thread_sampler_linux.h).
#include "platform/stack_sampler.h"

#include "platform/linux/capture_helper/capture_client_linux.h"
#include "platform/linux/sampling/thread_sampler_linux.h"
#include "platform/load_once.h"

namespace platform
{

// Linux keeps the sampler's state with its signal handler; this only proves it is installed.
struct StackSampler {
};

const StackSampler *loadStackSampler()
{
    static const StackSampler installed;
    static LoadOnce<StackSampler> once;
    return once.get([]() -> const StackSampler * {
        return linux_impl::installThreadSampler() ? &installed : nullptr;
    });
}

const char *stackSamplerLibraryName()
{
    return linux_impl::kUnwindLibrary;
}

StackSample sampleThread(const StackSampler &, ThreadHandle thread)
{
    if (thread.isNull())
        return {};
    // The room for the frames exists before the thread is interrupted; shrinking afterwards
    // does not reallocate.
    StackSample sample(kMaxStackFrames);
    const auto tid = static_cast<pid_t>(thread.value);
    const std::optional<std::size_t> byHelper =
        linux_impl::sampleThroughHelper(tid, sample.data(), sample.size(), nullptr);
    sample.resize(byHelper
                      ? *byHelper
                      : linux_impl::sampleThreadStack(tid, sample.data(), sample.size(), nullptr));
    return sample;
}

} // namespace platform
