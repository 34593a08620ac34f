#include "common/DeviceMap.h"

#include <windows.h>

#include <cstdlib>
#include <string>

namespace devicemap {
namespace {

typedef char*(CDECL* WineGetUnixFileNameFn)(const wchar_t*);

std::string UnixPathOf(const std::wstring& winPath)
{
    HMODULE k = GetModuleHandleW(L"kernel32.dll");
    WineGetUnixFileNameFn fn =
        k ? (WineGetUnixFileNameFn)(void*)GetProcAddress(k, "wine_get_unix_file_name") : NULL;
    if (!fn)
        return std::string();
    char* p = fn(winPath.c_str());
    if (!p)
        return std::string();
    std::string s(p);
    HeapFree(GetProcessHeap(), 0, p);
    return s;
}

std::string EnvA(const char* name)
{
    char buf[2048];
    DWORD n = GetEnvironmentVariableA(name, buf, sizeof(buf));
    if (n == 0 || n >= sizeof(buf))
        return std::string();
    return std::string(buf, n);
}

std::string DosDevicesDir()
{
    std::string prefix = EnvA("WINEPREFIX");
    if (prefix.empty()) {
        std::string home = EnvA("HOME");
        if (home.empty())
            return std::string();
        prefix = home + "/.wine";
    }
    return prefix + "/dosdevices";
}

std::wstring Widen(const std::string& s)
{
    int n = MultiByteToWideChar(CP_UTF8, 0, s.c_str(), (int)s.size(), NULL, 0);
    std::wstring w(n > 0 ? n : 0, L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, s.c_str(), (int)s.size(), &w[0], n);
    return w;
}

// Starts a Unix program (by its Z:\ path). Wine gives no usable process
// handle for a Unix program, so callers poll for its effect.
bool RunUnix(const std::wstring& program, const std::string& args)
{
    std::wstring cmd = L"\"" + program + L"\" " + Widen(args);
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    std::wstring exe = L"Z:" + program;
    for (size_t i = 0; i < exe.size(); ++i)
        if (exe[i] == L'/')
            exe[i] = L'\\';
    if (!CreateProcessW(exe.c_str(), &cmd[0], NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi))
        return false;
    if (pi.hThread)
        CloseHandle(pi.hThread);
    if (pi.hProcess)
        CloseHandle(pi.hProcess);
    return true;
}

bool Opens(const std::wstring& path)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(h);
    return true;
}

// Waits (up to rounds x 10 ms) until the Windows name opens, or no longer opens.
bool WaitUntil(const std::wstring& path, bool present, int rounds)
{
    for (int i = 0; i < rounds; ++i) {
        if (Opens(path) == present)
            return true;
        Sleep(10);
    }
    return false;
}

std::wstring VolumeDevice(wchar_t letter)
{
    return std::wstring(L"\\\\.\\") + (wchar_t)towupper(letter) + L":";
}

std::wstring DriveDevice(int n)
{
    return L"\\\\.\\PhysicalDrive" + std::to_wstring(n);
}

std::wstring DriveRoot(wchar_t letter)
{
    return std::wstring(1, (wchar_t)towupper(letter)) + L":\\";
}

std::string Quote(const std::string& s)
{
    return "\"" + s + "\"";
}

bool Link(const std::string& target, const std::string& name)
{
    std::string dir = DosDevicesDir();
    if (dir.empty() || target.empty())
        return false;
    return RunUnix(L"/bin/ln", "-sfn " + Quote(target) + " " + Quote(dir + "/" + name));
}

bool Unlink(const std::string& name)
{
    std::string dir = DosDevicesDir();
    if (dir.empty())
        return false;
    return RunUnix(L"/bin/rm", "-f " + Quote(dir + "/" + name));
}

std::string VolumeLinkName(wchar_t letter)
{
    char c = (char)towlower(letter);
    return std::string(1, c) + "::";
}

std::string DriveLinkName(int n)
{
    return "physicaldrive" + std::to_string(n);
}

}  // namespace

bool Available()
{
    return !UnixPathOf(L"C:\\").empty() && !DosDevicesDir().empty();
}

// Size and first 4 KiB of the file behind a name (device or path).
bool Fingerprint(const std::wstring& path, LONGLONG* size, std::string* head)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                           0, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER sz = {};
    GetFileSizeEx(h, &sz);
    *size = sz.QuadPart;
    head->assign(4096, '\0');
    DWORD got = 0;
    ReadFile(h, &(*head)[0], 4096, &got, NULL);
    head->resize(got);
    CloseHandle(h);
    return true;
}

// Waits (up to 10 s) until the device name shows the image: the link is made
// by another process, and may replace an older one.
bool WaitForImage(const std::wstring& device, const std::wstring& image)
{
    LONGLONG wantSize = 0;
    std::string wantHead;
    if (!Fingerprint(image, &wantSize, &wantHead))
        return false;
    for (int i = 0; i < 1000; ++i) {
        LONGLONG size = -1;
        std::string head;
        if (Fingerprint(device, &size, &head) && size == wantSize && head == wantHead)
            return true;
        Sleep(10);
    }
    return false;
}

bool MapVolume(wchar_t letter, const std::wstring& imagePath)
{
    return Link(UnixPathOf(imagePath), VolumeLinkName(letter)) && WaitForImage(VolumeDevice(letter), imagePath);
}

bool MapPhysicalDrive(int n, const std::wstring& imagePath)
{
    return Link(UnixPathOf(imagePath), DriveLinkName(n)) && WaitForImage(DriveDevice(n), imagePath);
}

bool MapDriveFolder(wchar_t letter, const std::wstring& folderPath)
{
    return Link(UnixPathOf(folderPath), std::string(1, (char)towlower(letter)) + ":") &&
           WaitUntil(DriveRoot(letter), true, 1000);
}

// Removal is confirmed as far as the name allows: a volume name may still
// open through its drive folder, so the wait is short and not required.
bool UnmapVolume(wchar_t letter)
{
    if (!Unlink(VolumeLinkName(letter)))
        return false;
    WaitUntil(VolumeDevice(letter), false, 200);
    return true;
}

bool UnmapPhysicalDrive(int n)
{
    if (!Unlink(DriveLinkName(n)))
        return false;
    return WaitUntil(DriveDevice(n), false, 1000);
}

bool UnmapDriveFolder(wchar_t letter)
{
    if (!Unlink(std::string(1, (char)towlower(letter)) + ":"))
        return false;
    WaitUntil(DriveRoot(letter), false, 200);
    return true;
}

int FreePhysicalDriveNumber()
{
    for (int n = 8; n < 16; ++n) {
        wchar_t path[64];
        swprintf(path, 64, L"\\\\.\\PhysicalDrive%d", n);
        HANDLE h = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                               0, NULL);
        if (h == INVALID_HANDLE_VALUE)
            return n;
        CloseHandle(h);
    }
    return -1;
}

CScopedDeviceMap::~CScopedDeviceMap()
{
    for (size_t i = 0; i < m_folders.size(); ++i)
        UnmapDriveFolder(m_folders[i]);
    for (size_t i = 0; i < m_volumes.size(); ++i)
        UnmapVolume(m_volumes[i]);
    for (size_t i = 0; i < m_drives.size(); ++i)
        UnmapPhysicalDrive(m_drives[i] - L'0');
}

bool CScopedDeviceMap::Volume(wchar_t letter, const std::wstring& imagePath)
{
    if (!MapVolume(letter, imagePath))
        return false;
    m_volumes += letter;
    return true;
}

bool CScopedDeviceMap::PhysicalDrive(int n, const std::wstring& imagePath)
{
    if (!MapPhysicalDrive(n, imagePath))
        return false;
    m_drives += (wchar_t)(L'0' + n);
    return true;
}

bool CScopedDeviceMap::DriveFolder(wchar_t letter, const std::wstring& folderPath)
{
    if (!MapDriveFolder(letter, folderPath))
        return false;
    m_folders += letter;
    return true;
}

}  // namespace devicemap
