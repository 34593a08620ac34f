// The window layer's way to the updater and the installer dialogs.
#include "app/InstallAppDlg.h"
#include "app/Services.h"
#include "app/UpdateDlg.h"
#include "app/WindowMessages.h"
#include "core/Helpers.h"
#include "core/Language.h"
#include "net/Update.h"

static_assert(kNewVersionFoundMessage == WMU_NewVersionFound, "the updater posts the window's message");

namespace {

template <class Dialog>
void RunDialog(Dialog* dlg, HWND owner)
{
    if (dlg->CreateOver(owner)) {
        dlg->CenterWindow();
        dlg->ShowModal();
    }
    delete dlg;
}

}  // namespace

bool RunPendingInstaller()
{
    return GetUpdater().IsUpdateEnabled() && GetUpdater().HasNewInstaller() && GetUpdater().RunPendingInstaller() == 1;
}

void StartDailyUpdateCheck(HWND reportWindow)
{
    if (!GetUpdater().IsChecking())
        GetUpdater().StartDailyCheck(reportWindow);
}

void StartManualUpdateCheck(HWND reportWindow, HICON icon)
{
    GetUpdater().CheckNow(reportWindow, icon);
}

void OnUpdateCheckResult(HWND owner, WPARAM what)
{
    if (what == kCheckFoundVersion)
        ShowUpdateDialog(owner);
    else if (what == kCheckNoVersion)
        MessageBoxByBase64Key("Tm9WZXJzaW9u", owner, MB_ICONINFORMATION, 0);  // "NoVersion"
    else if (what == kCheckNotNewer)
        MessageBoxByKey(L"NotUpdate", owner, MB_ICONINFORMATION, 0);
}

bool EndUpdateCheck(DWORD ms)
{
    return GetUpdater().WaitForCheck(ms) != FALSE;
}

void ShowUpdateDialog(HWND owner)
{
    RunDialog(new CUpdateDlg(owner), owner);
}

void ShowInstallGuide(HWND owner, bool inProgram)
{
    if (inProgram && IsNonChineseLocale())
        RunDialog(new CInstallAppDlg(0), owner);
    else
        RunDialog(new CInstallGuideDlg(inProgram), owner);
}

void ShowDecoderInstallDialog(HWND owner)
{
    RunDialog(new CInstallAppDlg(3), owner);
}
