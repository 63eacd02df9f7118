// Lays a captured dump model out as minidump bytes. Knows the format, not the process: it
// reads nothing but the model.
#pragma once

#include "platform/minidump/model.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform::linux_impl
{

// The whole file: header, stream directory right after it, then the streams (system
// information, misc information, threads, modules, memory list, the Linux streams and, when
// the model has it, DSO debug), each stack's bytes last and shared by its thread record and
// its memory-list entry. nullopt when the file would not fit the 4 GiB that 32-bit RVAs
// address.
std::optional<std::vector<std::uint8_t>> serialiseMinidump(const DumpModel &model);

// UTF-16 for a MINIDUMP_STRING. Bytes that are not valid UTF-8 become U+FFFD, because readers
// drop a module whose name is not valid UTF-16.
std::u16string utf16FromUtf8(const std::string &text);

} // namespace platform::linux_impl
