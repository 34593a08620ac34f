#include "WindowTestUtil.h"

#include "app/CloseConfirm.h"
#include "core/Language.h"


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
