// Program entry: start-up in its fixed order, the run routine, shutdown.
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>

#include "app/Services.h"
#include "app/Startup.h"
#include "app/WndShadow.h"
#include "core/Helpers.h"
#include "core/Language.h"
#include "core/Log.h"
#include "core/Settings.h"
#include "net/ReportClient.h"
#include "net/Update.h"
#include "sectorengine/Blockmill.h"
#include "views/MediaPlayerWnd.h"

namespace {
// Folders, settings, partner settings, language texts, sector engine.
void InitCoreServices()
{
    InitApplicationPaths();
    g_ConfigSetting.Load();
    std::wstring oemPath = GetAppFilePath(L"oem.ini");
    g_OemInfo.LoadLanguage(oemPath.c_str());
    g_OemInfo.Load(oemPath.c_str());
    LoadLanguageStrings();
    // The media player offers the decoder package through the installer dialog.
    SetDecoderInstaller(ShowDecoderInstallDialog);
    // Sector engine: the bad-sector policy from "Config.ini".
    Blockmill::InitValue(g_ConfigSetting.m_bEnableSkipBadSector, g_ConfigSetting.m_uSkipBadSectorNums,
                         g_ConfigSetting.m_strBadSectorValue.c_str(), nullptr);
    DebugPrint(L"[Delvaro] start-up %s: code page %d, program folder %s\n", GetProgramVersion().c_str(),
               g_nUICodePage, g_strAppDir);
}
}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR commandLine, int)
{
    // Hardware faults on the window's thread end in the crash filter: the
    // compiler has no per-thread translator to turn them into exceptions
    // here. The update check turns its own faults into exceptions around
    // its body (net/SehGuard.h).
    SetUnhandledExceptionFilter(CrashFilter);
    // Libraries are looked up beside the program and in System32 only, not
    // in the working folder or along PATH (where the system has the call).
    typedef BOOL(WINAPI * SetDllDirsFn)(DWORD);
    if (SetDllDirsFn setDllDirs =
            (SetDllDirsFn)(void*)GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories"))
        setDllDirs(LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    // The updater loads the maker's library: built only now, with the search
    // limited, not during static initialisation before it.
    GetUpdater();
    CoInitialize(nullptr);
    INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_BAR_CLASSES | ICC_TREEVIEW_CLASSES};
    InitCommonControlsEx(&icc);
    CWndShadow::Initialize(instance);
    InitCoreServices();
    ConfigureReportClient();
    UploadPendingCrashDump();
    int rc = RunApplication(instance, commandLine ? commandLine : L"");
    // The window has gone by now. What is left may not hold the quit up on
    // a machine without a network: the update check, a report still on its
    // way and the exit report each get a short bounded wait (the exit report
    // is dropped when the one before it is still going), and the process
    // then ends whatever still runs.
    const DWORD kExitWaitMs = 250;
    const bool checkEnded = EndUpdateCheck(kExitWaitMs);
    bool reportEnded = g_ReportClient.WaitSending(kExitWaitMs);
    if (reportEnded && g_ReportClient.SendEvents(true))
        reportEnded = g_ReportClient.WaitSending(kExitWaitMs);
    CoUninitialize();
    // An update check still waiting for its server uses the settings and
    // the report client: the process ends it before anything is torn down.
    if (!checkEnded || !reportEnded)
        ExitProcess((UINT)rc);
    return rc;
}
