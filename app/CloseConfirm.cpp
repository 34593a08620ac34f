#include "app/CloseConfirm.h"

#include "app/MessageDlg.h"
#include "core/Language.h"

const wchar_t kCloseConfirmKey[] = L"Software\\Microsoft\\Delvaro";
const wchar_t kCloseConfirmValue[] = L"CloseConfirm";

bool ConfirmClose(HWND mainWindow)
{
    DWORD value = 1, size = sizeof(value), type = 0;
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCloseConfirmKey, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        if (RegQueryValueExW(key, kCloseConfirmValue, NULL, &type, (BYTE*)&value, &size) != ERROR_SUCCESS ||
            type != REG_DWORD)
            value = 1;
        RegCloseKey(key);
    }
    if (value == 0)
        return true;

    CMessageDlg* dlg = new CMessageDlg(GetUIText(L"CloseProgram").c_str(), GetMessageTitle().c_str(), 4, false);
    bool allowed = true;
    if (dlg->CreateOver(mainWindow)) {
        dlg->SetCheckBoxText(L"DontShowAgain");
        dlg->ShowCheckBox(true);
        dlg->SetChecked(false);
        dlg->CenterWindow();
        dlg->ShowModal();
        allowed = dlg->GetResult() == 6;
        if (dlg->IsChecked()) {
            DWORD zero = 0;
            if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kCloseConfirmKey, 0, NULL, 0, KEY_WRITE, NULL, &key, NULL) ==
                ERROR_SUCCESS) {
                RegSetValueExW(key, kCloseConfirmValue, 0, REG_DWORD, (const BYTE*)&zero, sizeof(zero));
                RegCloseKey(key);
            }
        }
    }
    delete dlg;
    return allowed;
}
