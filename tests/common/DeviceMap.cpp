#include "common/DeviceMap.h"

#include <windows.h>
#include <winioctl.h>

#include <cstring>
#include <vector>

namespace devicemap {
namespace {

std::string UnixPathOf(const std::wstring& winPath)
{
    typedef char*(CDECL * Fn)(const wchar_t*);
    Fn fn = (Fn)(void*)GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name");
    char* p = fn ? fn(winPath.c_str()) : NULL;
    std::string s(p ? p : "");
    HeapFree(GetProcessHeap(), 0, p);
    return s;
}

// The tests run with WINEPREFIX set (ctest and scripts/wine-env.sh set it).
std::string DosDevicesDir()
{
    char buf[2048];
    DWORD n = GetEnvironmentVariableA("WINEPREFIX", buf, sizeof(buf));
    return n > 0 && n < sizeof(buf) ? std::string(buf, n) + "/dosdevices" : std::string();
}

// Starts a Unix program; Wine gives no waitable handle for it, so callers
// poll for its effect.
bool RunUnix(const wchar_t* exe, const std::string& args)
{
    std::wstring cmd = std::wstring(L"\"") + exe + L"\" " + std::wstring(args.begin(), args.end());
    STARTUPINFOW si = {sizeof(si)};
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(exe, &cmd[0], NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi))
        return false;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return true;
}

// Size and first 4 KiB of what a name opens; empty when it does not open.
std::string Fingerprint(const std::wstring& path)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return std::string();
    LARGE_INTEGER sz = {};
    GetFileSizeEx(h, &sz);
    char head[4096];
    DWORD got = 0;
    ReadFile(h, head, sizeof(head), &got, NULL);
    CloseHandle(h);
    return std::to_string(sz.QuadPart) + ":" + std::string(head, got);
}

// Polls (up to rounds x 10 ms) until what the name opens satisfies done.
template <class Done>
bool Poll(const std::wstring& name, int rounds, Done done)
{
    for (int i = 0; i < rounds; ++i) {
        if (done(Fingerprint(name)))
            return true;
        Sleep(10);
    }
    return false;
}

// Until the name opens what want describes: anything when want is "*",
// nothing when want is empty.
bool WaitFor(const std::wstring& name, const std::string& want, int rounds)
{
    return Poll(name, rounds, [&](const std::string& got) { return want == "*" ? !got.empty() : got == want; });
}

// Until the name no longer opens what shown describes: it opens nothing, or,
// when shown is given, something else.
bool WaitUntilGone(const std::wstring& name, const std::string& shown, int rounds)
{
    return Poll(name, rounds,
                [&](const std::string& got) { return got.empty() || (!shown.empty() && got != shown); });
}

// "\\.\X:", the volume device of a drive letter.
std::wstring VolumeDeviceName(wchar_t letter)
{
    return std::wstring(L"\\\\.\\") + (wchar_t)towupper(letter) + L":";
}

}  // namespace

bool Available()
{
    return !UnixPathOf(L"C:\\").empty() && !DosDevicesDir().empty();
}

bool CScopedDeviceMap::Map(const std::string& link, const std::wstring& device, const std::wstring& target,
                           bool image)
{
    const std::string dir = DosDevicesDir(), unix = UnixPathOf(target);
    if (dir.empty() || unix.empty() ||
        !RunUnix(L"Z:\\bin\\ln", "-sfn \"" + unix + "\" \"" + dir + "/" + link + "\""))
        return false;
    const std::string shown = image ? Fingerprint(target) : std::string();
    // Only the first disk is kept by what it showed: once its link is gone,
    // Wine opens an empty disk of its own under that name.
    m_links.push_back(Link{link, device, link == "physicaldrive0" ? shown : std::string()});
    // A link may replace an older one: wait until the name shows this target.
    return WaitFor(device, image ? shown : "*", 1000);
}

bool CScopedDeviceMap::Volume(wchar_t letter, const std::wstring& imagePath)
{
    return Map(std::string(1, (char)towlower(letter)) + "::", VolumeDeviceName(letter), imagePath, true);
}

bool CScopedDeviceMap::PhysicalDrive(int n, const std::wstring& imagePath)
{
    return Map("physicaldrive" + std::to_string(n), L"\\\\.\\PhysicalDrive" + std::to_wstring(n), imagePath, true);
}

bool CScopedDeviceMap::DriveFolder(wchar_t letter, const std::wstring& folder)
{
    return Map(std::string(1, (char)towlower(letter)) + ":", std::wstring(1, (wchar_t)towupper(letter)) + L":\\",
               folder, false);
}

// A volume name may go on opening through its drive folder for a moment, so
// the wait for a removal is short and not required. A disk name has no such
// second way: its wait is long, so that an rm still to run (its process
// cannot be waited for) never removes the link the next user makes. The
// first disk's name is gone once it shows anything but the image.
CScopedDeviceMap::~CScopedDeviceMap()
{
    const std::string dir = DosDevicesDir();
    for (size_t i = 0; i < m_links.size(); ++i)
        RunUnix(L"Z:\\bin\\rm", "-f \"" + dir + "/" + m_links[i].name + "\"");
    for (size_t i = 0; i < m_links.size(); ++i)
        WaitUntilGone(m_links[i].device, m_links[i].shown,
                      m_links[i].name.compare(0, 13, "physicaldrive") == 0 ? 3000 : 500);
}

namespace {
// Wine's own mount-manager request (its extension of the mount manager).
const DWORD kDefineUnixDrive = CTL_CODE(0x6D, 32, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS);
struct UnixDrive
{
    ULONG size;
    ULONG type;
    ULONG fs_type;
    DWORD serial;
    ULONGLONG unix_dev;
    WCHAR letter;
    USHORT mount_point_offset;
    USHORT device_offset;
    USHORT label_offset;
};

bool SendDrive(wchar_t letter, ULONG type, const std::string& mount, const std::string& device)
{
    std::vector<char> buf(sizeof(UnixDrive) + mount.size() + device.size() + 2, 0);
    UnixDrive* d = (UnixDrive*)buf.data();
    d->size = (ULONG)buf.size();
    d->type = type;
    d->letter = (WCHAR)towlower(letter);
    if (!mount.empty()) {
        d->mount_point_offset = (USHORT)sizeof(UnixDrive);
        memcpy(buf.data() + d->mount_point_offset, mount.c_str(), mount.size() + 1);
    }
    if (!device.empty()) {
        d->device_offset = (USHORT)(sizeof(UnixDrive) + mount.size() + 1);
        memcpy(buf.data() + d->device_offset, device.c_str(), device.size() + 1);
    }
    HANDLE mgr = CreateFileW(L"\\\\.\\MountPointManager", GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    if (mgr == INVALID_HANDLE_VALUE)
        return false;
    DWORD got = 0;
    BOOL ok = DeviceIoControl(mgr, kDefineUnixDrive, buf.data(), (DWORD)buf.size(), NULL, 0, &got, NULL);
    CloseHandle(mgr);
    return ok != FALSE;
}
}  // namespace

bool CMountedDrive::Define(wchar_t letter, const std::wstring& rootFolder, const std::wstring& imagePath)
{
    const std::string mount = UnixPathOf(rootFolder), device = UnixPathOf(imagePath);
    if (mount.empty() || device.empty() || !SendDrive(letter, DRIVE_FIXED, mount, device))
        return false;
    m_letter = letter;
    // The volume device reads the image once the mount manager's link is
    // there; without it the name opens the mount manager's own device, which
    // names the file system but reads nothing.
    return WaitFor(VolumeDeviceName(letter), Fingerprint(imagePath), 1000);
}

// The mount manager keeps the device link ("x::"), so it goes by rm. That
// process cannot be waited for: the removal is done once the volume name
// opens nothing, so that an rm still to run never takes away the link of the
// next definition of the letter.
CMountedDrive::~CMountedDrive()
{
    if (!m_letter)
        return;
    SendDrive(m_letter, DRIVE_NO_ROOT_DIR, std::string(), std::string());
    const std::string dir = DosDevicesDir();
    if (!dir.empty() &&
        RunUnix(L"Z:\\bin\\rm", "-f \"" + dir + "/" + std::string(1, (char)towlower(m_letter)) + "::\""))
        WaitUntilGone(VolumeDeviceName(m_letter), std::string(), 3000);
}

}  // namespace devicemap
