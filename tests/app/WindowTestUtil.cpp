#include "WindowTestUtil.h"

#include "app/CloseConfirm.h"
#include "core/Language.h"

#include <winioctl.h>

#include <cstring>

namespace wintest {

std::vector<std::wstring> MessageLog::texts;
int MessageLog::answer = 7;

CFakePartitionScan* CFakePartitionScan::last = NULL;
HANDLE CFakePartitionScan::parseGate = NULL;
HANDLE CFakePartitionScan::inParse = NULL;
HWND CFakePartitionScan::watchWindow = NULL;
std::atomic<int> CFakePartitionScan::windowAliveAtRelease(-1);
std::atomic<int> CFakePartitionScan::enumerations(0);

std::wstring MessageText(const wchar_t* key)
{
    wchar_t buf[1024] = {};
    ReadLanguageText(L"Message", key, L"", buf, 1024, GetLanguageFilePath().c_str());
    return buf;
}

namespace {

// Wine's own mount-manager request (an extension of the mount manager).
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

std::string UnixPath(const std::wstring& winPath)
{
    typedef char*(CDECL * Fn)(const wchar_t*);
    Fn fn = (Fn)(void*)GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name");
    char* p = fn ? fn(winPath.c_str()) : NULL;
    std::string s(p ? p : "");
    HeapFree(GetProcessHeap(), 0, p);
    return s;
}

bool SendDrive(wchar_t letter, ULONG type, ULONG fsType, const std::string& mount, const std::string& device)
{
    std::vector<char> buf(sizeof(UnixDrive) + mount.size() + device.size() + 2, 0);
    UnixDrive* d = (UnixDrive*)buf.data();
    d->size = (ULONG)buf.size();
    d->type = type;
    d->fs_type = fsType;
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

bool CWineDrive::Define(wchar_t letter, const std::wstring& rootFolder, const std::wstring& image, unsigned fsType)
{
    const std::string mount = UnixPath(rootFolder), device = UnixPath(image);
    if (mount.empty() || device.empty() || !SendDrive(letter, DRIVE_FIXED, fsType, mount, device))
        return false;
    m_letter = letter;
    return true;
}

CWineDrive::~CWineDrive()
{
    if (!m_letter)
        return;
    SendDrive(m_letter, DRIVE_NO_ROOT_DIR, 0, std::string(), std::string());
    // The mount manager keeps the device link ("x::"); it goes too.
    char prefix[1024] = {};
    DWORD n = GetEnvironmentVariableA("WINEPREFIX", prefix, sizeof(prefix));
    if (n == 0 || n >= sizeof(prefix))
        return;
    std::wstring cmd = L"/bin/rm -f \"" + std::wstring(prefix, prefix + n) + L"/dosdevices/" +
                       (wchar_t)towlower(m_letter) + L"::\"";
    STARTUPINFOW si = {sizeof(si)};
    PROCESS_INFORMATION pi = {};
    if (CreateProcessW(L"Z:\\bin\\rm", &cmd[0], NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) {
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
}

void SetCloseConfirm(int value)
{
    HKEY key = NULL;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kCloseConfirmKey, 0, NULL, 0, KEY_WRITE, NULL, &key, NULL) !=
        ERROR_SUCCESS)
        return;
    if (value < 0) {
        RegDeleteValueW(key, kCloseConfirmValue);
    } else {
        DWORD v = (DWORD)value;
        RegSetValueExW(key, kCloseConfirmValue, 0, REG_DWORD, (const BYTE*)&v, sizeof(v));
    }
    RegCloseKey(key);
}

int GetCloseConfirm()
{
    DWORD v = 0, size = sizeof(v);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kCloseConfirmKey, kCloseConfirmValue, RRF_RT_REG_DWORD, NULL, &v, &size) !=
        ERROR_SUCCESS)
        return -1;
    return (int)v;
}

}  // namespace wintest
