/* Stand-in for a downloaded installer in the updater tests. It appends
 * "<its own path>|<its command line>" as a line to the file named by
 * DELVARO_FAKE_INSTALL_MARK and exits with DELVARO_FAKE_INSTALL_RC (0 when
 * unset). With DELVARO_FAKE_INSTALL_APP set to 1 (Android) or 2 (iPhone)
 * and DELVARO_FAKE_INSTALL_DIR to a folder, a run with "/S" also
 * "installs" that companion program: a copy of itself under the
 * program's name in the folder, recorded in the registry where the
 * program looks for it. With DELVARO_PLANTED_MARK set it first loads
 * "planted_dep.dll" by its bare name, as installers load their helper
 * libraries: from its own folder before any other. */
#include <windows.h>
#include <stdlib.h>
#include <wchar.h>

static DWORD Env(const wchar_t* name, wchar_t* buf, DWORD cap)
{
    DWORD n = GetEnvironmentVariableW(name, buf, cap);
    return n < cap ? n : 0;
}

static void Mark(const wchar_t* self, const wchar_t* cmd)
{
    wchar_t path[MAX_PATH];
    if (!Env(L"DELVARO_FAKE_INSTALL_MARK", path, MAX_PATH))
        return;
    HANDLE f = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS, 0, NULL);
    if (f == INVALID_HANDLE_VALUE)
        return;
    char line[2048];
    int n = WideCharToMultiByte(CP_UTF8, 0, self, -1, line, 1000, NULL, NULL);
    if (n <= 0)
        n = 1;
    line[n - 1] = '|';
    int m = WideCharToMultiByte(CP_UTF8, 0, cmd, -1, line + n, 1000, NULL, NULL);
    if (m <= 0)
        m = 1;
    line[n + m - 1] = '\n';
    DWORD written;
    WriteFile(f, line, (DWORD)(n + m), &written, NULL);
    CloseHandle(f);
}

static void InstallCompanion(const wchar_t* self)
{
    wchar_t kind[8], dir[MAX_PATH];
    if (!Env(L"DELVARO_FAKE_INSTALL_APP", kind, 8) || !Env(L"DELVARO_FAKE_INSTALL_DIR", dir, MAX_PATH))
        return;
    const wchar_t* key = kind[0] == L'2' ? L"SOFTWARE\\OvoFennick" : L"SOFTWARE\\OvoPalomet";
    const wchar_t* exe = kind[0] == L'2' ? L"\\Fennick.exe" : L"\\palomet.exe";
    wchar_t target[MAX_PATH * 2];
    CreateDirectoryW(dir, NULL);
    swprintf(target, MAX_PATH * 2, L"%ls%ls", dir, exe);
    CopyFileW(self, target, FALSE);
    HKEY h;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, NULL, 0, KEY_SET_VALUE, NULL, &h, NULL) == ERROR_SUCCESS) {
        RegSetValueExW(h, L"Path", 0, REG_SZ, (const BYTE*)dir, (DWORD)((wcslen(dir) + 1) * sizeof(wchar_t)));
        RegCloseKey(h);
    }
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE prev, LPWSTR args, int show)
{
    (void)instance;
    (void)prev;
    (void)show;
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(NULL, self, MAX_PATH);
    if (GetEnvironmentVariableW(L"DELVARO_PLANTED_MARK", NULL, 0) > 0)
        LoadLibraryW(L"planted_dep.dll");
    Mark(self, GetCommandLineW());
    if (args && wcsstr(args, L"/S"))
        InstallCompanion(self);
    wchar_t rc[16];
    return Env(L"DELVARO_FAKE_INSTALL_RC", rc, 16) ? _wtoi(rc) : 0;
}
