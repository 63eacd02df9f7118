// Prints what the probes say about this executable, one fact per line, for tests that copy it
// to an unusual place and run it there: the path as UTF-8, the name's report bytes in hex,
// the build number read beside it and the operating system's version.
#include "platform/path_text.h"
#include "sysinfo/build_number.h"
#include "sysinfo/system_probes.h"

#include <cstdio>

int main()
{
    std::printf("%s\n", platform::pathToBytes(getExecutablePath()).c_str());
    for (const unsigned char byte : getExecutableName())
        std::printf("%02X ", byte);
    std::printf("\n%s\n%s\n", getBuildNumber().c_str(), getOsVersion().c_str());
    return 0;
}
