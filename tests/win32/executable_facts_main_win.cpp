// Prints the probes' view of this executable, for tests that copy it to unusual places: path
// (UTF-8), name bytes in hex, build number beside it, operating system version.
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
