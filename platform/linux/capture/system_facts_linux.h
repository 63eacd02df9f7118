// The system information stream's facts: processor (cpuid) and kernel (uname).
#pragma once

#include "minidump/model.h"

namespace platform::linux_impl
{

minidump::SystemFacts readSystemFacts();

} // namespace platform::linux_impl
