// Where the detector's minidumps go. The detector asks for a new file, writes the dump into
// it, closes it and hands it back; the sink decides where it lives and what it keeps.
#pragma once

#include "platform/process_dump.h"

#include <string>

namespace cache
{

class DumpSink
{
public:
    virtual ~DumpSink() = default;
    // A new, empty file for a dump taken at wall-clock `ms`, named in `name`; kInvalidFile
    // when none can be made.
    virtual platform::FileHandle createDump(long long ms, std::string &name) = 0;
    // The closed file: kept when `written` (its name is returned), else deleted ("").
    virtual std::string finishDump(const std::string &name, bool written) = 0;
};

} // namespace cache
