// Lays a captured dump model out as a minidump file. Knows the format, not the process: it
// reads nothing but the model.
#pragma once

#include "minidump/layout.h"
#include "minidump/model.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace minidump
{

// The whole file: header, stream directory right after it, then the streams (system
// information, misc information, threads, modules, memory list, the Linux streams and, when
// the model has it, DSO debug), each stack's bytes last and shared by its thread record and
// its memory-list entry. nullopt when the file would not fit the 4 GiB that 32-bit RVAs
// address. The layout borrows the model's stacks, contexts and file copies: the model must
// outlive it and stay unchanged.
std::optional<DumpLayout> layOutMinidump(const DumpModel &model);

} // namespace minidump
