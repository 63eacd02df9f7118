// Dumps written by a helper process beside the module (Windows: keelanr-capture.exe).
#pragma once

namespace platform
{

// True once per process after a dump was written inside the process because the helper was
// missing beside the module (only the module's file was copied), so the caller logs that
// once. Always false where dumps need no helper.
bool takeDumpHelperMissingNotice();

} // namespace platform
