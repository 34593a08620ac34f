/* A library that someone put beside downloaded code, in the updater tests.
 * When it is loaded and DELVARO_PLANTED_MARK names a file, it appends the
 * loading program's path to that file as a line, and it sets
 * DELVARO_PLANTED_LOADED=1 in the loading process. */
#include <windows.h>

__declspec(dllexport) int PlantedValue(void)
{
    return 7;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)instance;
    (void)reserved;
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    SetEnvironmentVariableW(L"DELVARO_PLANTED_LOADED", L"1");
    wchar_t path[MAX_PATH];
    DWORD n = GetEnvironmentVariableW(L"DELVARO_PLANTED_MARK", path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return TRUE;
    HANDLE f = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS, 0, NULL);
    if (f == INVALID_HANDLE_VALUE)
        return TRUE;
    wchar_t self[MAX_PATH];
    DWORD len = GetModuleFileNameW(NULL, self, MAX_PATH);
    char line[MAX_PATH * 3 + 2];
    int m = len ? WideCharToMultiByte(CP_UTF8, 0, self, (int)len, line, MAX_PATH * 3, NULL, NULL) : 0;
    if (m < 0)
        m = 0;
    line[m++] = '\n';
    DWORD written;
    WriteFile(f, line, (DWORD)m, &written, NULL);
    CloseHandle(f);
    return TRUE;
}
