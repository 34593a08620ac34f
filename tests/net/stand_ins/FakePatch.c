/* Stand-in for the downloaded patch library in the updater tests: loading
 * it sets DELVARO_FAKE_PATCH_LOADED=1 in the loading process. Built with
 * FAKE_PATCH_IMPORTS_PLANTED it also imports "planted_dep.dll", a library
 * that is not in System32. */
#include <windows.h>

#ifdef FAKE_PATCH_IMPORTS_PLANTED
__declspec(dllimport) int PlantedValue(void);
__declspec(dllexport) int PatchValue(void)
{
    return PlantedValue();
}
#endif

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)instance;
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH)
        SetEnvironmentVariableW(L"DELVARO_FAKE_PATCH_LOADED", L"1");
    return TRUE;
}
