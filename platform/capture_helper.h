// Captures (stack samples, dumps) are taken by a helper process installed beside the module
// (keelanr-capture) where the system allows it, and inside the process where it does not.
#pragma once

#include <string>

namespace platform
{

// Why captures were taken inside the process, as one log line, once for each new reason (the
// helper missing, tracing refused); empty when there is nothing new to say.
std::string takeCaptureFallbackNotice();

} // namespace platform
