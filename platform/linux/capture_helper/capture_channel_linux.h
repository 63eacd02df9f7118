// What the host and its capture helper say to each other. They share a SOCK_SEQPACKET socket
// pair, so each message arrives whole; the helper's end is descriptor kHelperChannelFd.
//
// Every command is a HelperCommand:
//   host -> helper  kGoCommand once the host has allowed the helper to trace it
//   helper -> host  an int32 errno of its trial stop of the host thread that started it
//                   (0: tracing works; anything else: the helper ends)
//   host -> helper  kDumpCommand with the empty dump file's descriptor (SCM_RIGHTS)
//   helper -> host  a DumpAnswer
//   host -> helper  kSampleCommand for `thread`
//   helper -> host  a SampleAnswer
//
// The helper ends when the channel closes (the host ended or gave up on it).
#pragma once

#include "platform/stack_sampler.h"

#include <cstdint>

namespace platform::linux_impl
{

constexpr int kHelperChannelFd = 3;
// Passed as the helper's third argument; changes with any message above. A helper of another
// version (whose messages may differ) answers the trial with EPROTO instead, and the host
// takes its samples and dumps itself.
constexpr char kChannelVersion[] = "keelanr-capture-channel-2";
constexpr char kGoCommand = 'g';
constexpr char kDumpCommand = 'd';
constexpr char kSampleCommand = 's';

struct HelperCommand {
    char command = 0;
    std::int32_t thread = 0; // the thread to sample
};

struct DumpAnswer {
    std::uint32_t written = 0;      // 1 when the whole dump was written
    std::int64_t longestStopNs = 0; // the longest any one thread was held stopped
};

struct SampleAnswer {
    // CLOCK_MONOTONIC (the same in both processes): just before the thread was asked to stop,
    // and just after it was let go.
    std::int64_t stopNs = 0;
    std::int64_t releaseNs = 0;
    std::uint32_t count = 0; // 0 when the thread could not be stopped
    std::uint64_t frames[kMaxStackFrames] = {};
};

// The helper's file name, beside the library or in its libexec directory.
constexpr char kCaptureHelperName[] = "keelanr-capture";

// Test switch, in the helper's environment: "dump" or "sample" makes it hang while it holds a
// host thread stopped during one, so tests can check what the host does to a helper that hangs.
constexpr char kHelperStallVariable[] = "KEELANR_CAPTURE_HELPER_STALL";

} // namespace platform::linux_impl
