// A DLL whose DllMain, on attaching to the process, stays until the test releases it, holding
// the loader's lock all the while: the hang of a GUI thread stuck loading a plugin. The test
// names the two events by its process id.
#include <windows.h>

#include <string>

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    const std::wstring prefix = L"keelanr-dllmain-" + std::to_wstring(GetCurrentProcessId());
    const HANDLE entered = OpenEventW(EVENT_MODIFY_STATE, FALSE, (prefix + L"-entered").c_str());
    const HANDLE release = OpenEventW(SYNCHRONIZE, FALSE, (prefix + L"-release").c_str());
    if (entered && release)
        SignalObjectAndWait(entered, release, INFINITE, FALSE);
    CloseHandle(entered);
    CloseHandle(release);
    return TRUE;
}
