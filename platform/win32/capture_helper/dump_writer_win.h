// Lays a captured Windows process out as a minidump that Windows debuggers and LLDB read:
// thread list (full AMD64 contexts), module list (names, CodeView records so debuggers find
// the PDBs), memory list (the stacks), system and misc information.
#pragma once

#include "remote_capture_win.h"

namespace keelanr_capture
{

// Writes the dump into `file` (empty, opened for writing), the header's signature last so a
// file cut short never looks valid. False when the layout or a write failed.
bool writeWindowsMinidump(HANDLE file, const RemoteProcess &process);

} // namespace keelanr_capture
