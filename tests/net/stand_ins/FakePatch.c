/* Stand-in for the downloaded patch library in the updater tests: loading
 * it sets DELVARO_FAKE_PATCH_LOADED=1 in the loading process. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)instance;
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH)
        SetEnvironmentVariableW(L"DELVARO_FAKE_PATCH_LOADED", L"1");
    return TRUE;
}
