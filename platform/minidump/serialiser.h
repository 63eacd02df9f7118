// Lays a captured dump model out as a minidump file. Knows the format, not the process: it
// reads nothing but the model.
#pragma once

#include "platform/minidump/layout.h"
#include "platform/minidump/model.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform::minidump
{

// The whole file: header, stream directory right after it, then the streams (system
// information, misc information, threads, modules, memory list, the Linux streams and, when
// the model has it, DSO debug), each stack's bytes last and shared by its thread record and
// its memory-list entry. nullopt when the file would not fit the 4 GiB that 32-bit RVAs
// address. The layout borrows the model's stacks, contexts and file copies: the model must
// outlive it and stay unchanged.
std::optional<DumpLayout> layOutMinidump(const DumpModel &model);

// UTF-16 for a MINIDUMP_STRING. Bytes that are not valid UTF-8 become U+FFFD, because readers
// drop a module whose name is not valid UTF-16.
std::u16string utf16FromUtf8(const std::string &text);

} // namespace platform::minidump
