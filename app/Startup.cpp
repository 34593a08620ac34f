#include "app/Startup.h"

#include <objbase.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <vector>
namespace Gdiplus {
using std::max;
using std::min;
}
#include <dbghelp.h>
#include <gdiplus.h>

#include "app/MainFrame.h"
#include "app/MessageDlg.h"
#include "app/Services.h"
#include "app/WindowImplBaseShw.h"
#include "core/Helpers.h"
#include "core/Language.h"
#include "core/Log.h"
#include "core/Settings.h"
#include "engine/DeepScanEngine.h"
#include "engine/MainFrameServices.h"
#include "net/Downloader.h"

bool g_bDebugSwitch = false;

namespace {

void DefaultCrashBox(const wchar_t* text)
{
    MessageBoxW(NULL, text, L"except", MB_OK);
}
CrashBoxProc g_pfnCrashBox = DefaultCrashBox;

// The UI language's resource language: zh-CN, zh-TW or English.
WORD DialogLanguage(int codePage)
{
    if (codePage == 936)
        return MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED);
    if (codePage == 950)
        return MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_TRADITIONAL);
    return MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
}

struct SkinLostState
{
    HFONT hLinkFont;
};

INT_PTR CALLBACK SkinLostProc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp)
{
    SkinLostState* state = (SkinLostState*)GetWindowLongPtrW(dlg, DWLP_USER);
    switch (msg) {
    case WM_INITDIALOG: {
        state = (SkinLostState*)lp;
        SetWindowLongPtrW(dlg, DWLP_USER, (LONG_PTR)state);
        HWND link = GetDlgItem(dlg, 1002);
        if (link && state) {
            LOGFONTW lf = {};
            HFONT font = (HFONT)SendMessageW(link, WM_GETFONT, 0, 0);
            if (font && GetObjectW(font, sizeof(lf), &lf)) {
                lf.lfUnderline = TRUE;
                state->hLinkFont = CreateFontIndirectW(&lf);
                if (state->hLinkFont)
                    SendMessageW(link, WM_SETFONT, (WPARAM)state->hLinkFont, TRUE);
            }
        }
        RECT rc, screen;
        GetWindowRect(dlg, &rc);
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &screen, 0);
        SetWindowPos(dlg, NULL, screen.left + (screen.right - screen.left - (rc.right - rc.left)) / 2,
                     screen.top + (screen.bottom - screen.top - (rc.bottom - rc.top)) / 2, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER);
        return TRUE;
    }
    case WM_CTLCOLORSTATIC: {
        int id = GetDlgCtrlID((HWND)lp);
        if (id == 1003 || id == 1002) {
            SetTextColor((HDC)wp, id == 1003 ? RGB(0, 0x80, 0) : RGB(0, 0, 0xFF));
            SetBkMode((HDC)wp, TRANSPARENT);
            return (INT_PTR)GetStockObject(NULL_BRUSH);
        }
        return FALSE;
    }
    case WM_SETCURSOR:
        if ((HWND)wp == GetDlgItem(dlg, 1002)) {
            SetCursor(LoadCursor(NULL, IDC_HAND));
            SetWindowLongPtrW(dlg, DWLP_MSGRESULT, TRUE);
            return TRUE;
        }
        return FALSE;
    case WM_COMMAND:
        if (LOWORD(wp) == 1001 || LOWORD(wp) == IDCANCEL) {
            EndDialog(dlg, 2);
            return TRUE;
        }
        if (LOWORD(wp) == 1002) {
            OpenUrl(CDefaultUrls::Get().m_strSupportUrl.c_str(), dlg);
            return TRUE;
        }
        return FALSE;
    case WM_DESTROY:
        if (state && state->hLinkFont) {
            DeleteObject(state->hLinkFont);
            state->hLinkFont = NULL;
        }
        return FALSE;
    }
    return FALSE;
}

bool FileExists(const std::wstring& path)
{
    DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

CommandLineOptions ParseCommandLine(const wchar_t* commandLine)
{
    CommandLineOptions o = {};
    const std::wstring cmd = commandLine ? commandLine : L"";
    o.bUninstall = cmd.find(L"/uninstall") != std::wstring::npos;
    o.bReportUninstall = cmd.find(L"/reportuninstall") != std::wstring::npos;
    o.bDebug = cmd.find(L"/debug") != std::wstring::npos;
    o.bInstallGuide = cmd.find(L"/install-guide") != std::wstring::npos;
    size_t at = cmd.find(L"/pathfile:");
    if (at != std::wstring::npos) {
        o.bPathFile = true;
        size_t i = at + 10;
        if (i < cmd.size() && cmd[i] == L'"') {
            size_t end = cmd.find(L'"', i + 1);
            o.strPathFile = cmd.substr(i + 1, end == std::wstring::npos ? std::wstring::npos : end - i - 1);
        } else {
            size_t end = cmd.find_first_of(L" \t", i);
            o.strPathFile = cmd.substr(i, end == std::wstring::npos ? std::wstring::npos : end - i);
        }
    }
    return o;
}

// Creates a folder and any of its parents that are missing (a new user's
// temporary folder may not exist yet).
static void CreateFolderChain(const std::wstring& folder)
{
    for (size_t at = folder.find(L'\\', 3); at != std::wstring::npos; at = folder.find(L'\\', at + 1))
        CreateDirectoryW(folder.substr(0, at).c_str(), NULL);
    CreateDirectoryW(folder.c_str(), NULL);
}

bool PrepareSkinArchive(HMODULE module, int codePage, const std::wstring& programFolder,
                        const std::wstring& skinFolder)
{
    CreateFolderChain(skinFolder);
    const std::wstring target = skinFolder + L"SKIN.zip";
    if (codePage == 936) {
        HRSRC res = FindResourceW(module, MAKEINTRESOURCEW(218), L"DATA");
        HGLOBAL data = res ? LoadResource(module, res) : NULL;
        const void* bytes = data ? LockResource(data) : NULL;
        DWORD size = res ? SizeofResource(module, res) : 0;
        bool written = false;
        if (bytes && size) {
            HANDLE h = CreateFileW(target.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
            if (h != INVALID_HANDLE_VALUE) {
                DWORD done = 0;
                written = WriteFile(h, bytes, size, &done, NULL) && done == size;
                CloseHandle(h);
            }
        }
        return written || FileExists(target);
    }
    std::wstring source = programFolder;
    if (!source.empty() && source.back() != L'\\')
        source += L'\\';
    source += codePage == 950 ? L"skin\\skin_tr.skin" : L"skin\\skin_en.skin";
    if (!FileExists(source))
        return false;
    if (CopyFileW(source.c_str(), target.c_str(), FALSE))
        return true;
    return FileExists(target);
}

std::wstring FormatCrashText(DWORD code, const void* address)
{
    wchar_t buf[160];
    swprintf(buf, 160, L"\u7a0b\u5e8f\u53d1\u751f\u5f02\u5e38\u5d29\u6e83( code:%lx address:%0*llX )",
             (unsigned long)code, (int)(sizeof(void*) * 2), (unsigned long long)(uintptr_t)address);
    return buf;
}

CrashBoxProc SetCrashBoxProc(CrashBoxProc proc)
{
    CrashBoxProc old = g_pfnCrashBox;
    g_pfnCrashBox = proc ? proc : DefaultCrashBox;
    return old;
}

LONG HandleCrash(const std::wstring& dumpPath, EXCEPTION_POINTERS* pointers)
{
    // The dump first: the box may never be answered.
    HANDLE file = CreateFileW(dumpPath.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file != INVALID_HANDLE_VALUE) {
        MINIDUMP_EXCEPTION_INFORMATION mei = {};
        mei.ThreadId = GetCurrentThreadId();
        mei.ExceptionPointers = pointers;
        mei.ClientPointers = FALSE;
        MiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file, MiniDumpNormal, pointers ? &mei : NULL,
                          NULL, NULL);
        CloseHandle(file);
    }
    DWORD code = pointers && pointers->ExceptionRecord ? pointers->ExceptionRecord->ExceptionCode : 0;
    const void* address = pointers && pointers->ExceptionRecord ? pointers->ExceptionRecord->ExceptionAddress : NULL;
    g_pfnCrashBox(FormatCrashText(code, address).c_str());
    return EXCEPTION_EXECUTE_HANDLER;
}

LONG WINAPI CrashFilter(EXCEPTION_POINTERS* pointers)
{
    return HandleCrash(GetAppFilePath(L"Error.tmp"), pointers);
}

INT_PTR ShowSkinLostDialog(HMODULE module, HWND owner, int codePage)
{
    HRSRC res = FindResourceExW(module, RT_DIALOG, MAKEINTRESOURCEW(234), DialogLanguage(codePage));
    if (!res)
        res = FindResourceW(module, MAKEINTRESOURCEW(234), RT_DIALOG);
    HGLOBAL data = res ? LoadResource(module, res) : NULL;
    const DLGTEMPLATE* tmpl = data ? (const DLGTEMPLATE*)LockResource(data) : NULL;
    if (!tmpl)
        return 2;
    SkinLostState state = {NULL};
    DialogBoxIndirectParamW(module, tmpl, owner, SkinLostProc, (LPARAM)&state);
    return 2;
}

int RunApplication(HINSTANCE instance, const wchar_t* commandLine)
{
    const std::wstring skinFolder = GetSkinFolderPath();
    if (!PrepareSkinArchive(instance, g_nUICodePage, g_strAppDir, skinFolder)) {
        if (g_nUICodePage != 936)
            SetThreadUILanguage(g_nUICodePage == 950 ? 1028 : 1033);
        ShowSkinLostDialog(instance, GetActiveWindow(), g_nUICodePage);
        return 0;
    }
    CPaintManagerUI::SetInstance(instance);
    // DuiLib opens the archive relative to its resource path.
    CPaintManagerUI::SetResourcePath(skinFolder.c_str());
    CPaintManagerUI::SetResourceZip(L"SKIN.ZIP", true);
    SetMessageDlgProc(ShowSkinMessageDlg);

    const CommandLineOptions opts = ParseCommandLine(commandLine);
    if (opts.bUninstall) {
        HWND running = FindWindowW(L"DelvaroWndClass", NULL);
        if (MessageBoxByBase64Key("VW5pbnN0VGV4dA==", running, MB_ICONQUESTION | MB_YESNO, 0) == IDYES) {
            if ((running = FindWindowW(L"DelvaroWndClass", NULL)) != NULL)
                PostMessageW(running, WM_CLOSE, 0, 0);
            ShellExecuteW(NULL, L"open", GetAppFilePath(L"uninst.exe").c_str(), NULL, g_strAppDir, SW_SHOW);
        }
        return 0;
    }
    if (opts.bReportUninstall) {
        UsageReporter().SendAction(2, false);
        return 0;
    }
    if (opts.bDebug) {
        g_bDebugSwitch = true;
        CDeepScanEngine::s_bDebugTrace = true;
    }
    if (opts.bInstallGuide && g_OemInfo.m_bGuideMobileRecover)
        ShowInstallGuide(NULL, false);
    if (opts.bPathFile)
        g_strPathFilter = opts.strPathFile;

    // One instance: the running one comes to the front.
    if (HWND running = FindWindowW(L"DelvaroWndClass", NULL)) {
        SetForegroundWindow(running);
        if (IsIconic(running))
            ShowWindow(running, SW_RESTORE);
        return 0;
    }
    // What an earlier run's installer left in its private folder.
    RemoveStaleDownloadFolders();
    if (RunPendingInstaller())
        return 0;

    LoadLanguageSection(L"Extname", GetLanguageFilePath().c_str());
    // "ext.dll" from the per-user folder is not loaded: code that any user
    // can drop there has no place in a process that reads raw disks.

    ULONG_PTR gdiplusToken = 0;
    Gdiplus::GdiplusStartupInput gdiplusInput;
    Gdiplus::GdiplusStartup(&gdiplusToken, &gdiplusInput, NULL);
    UsageReporter().SendAction(3, true);

    CMainFrame* frame = new CMainFrame;
    const std::wstring title = g_strLangProductName.empty() ? std::wstring(L"Delvaro6") : g_strLangProductName;
    if (frame->Create(NULL, title.c_str(), WS_VISIBLE | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX, 0,
                      0, 0, 800, 600)) {
        frame->CenterWindow();
        frame->SetIcon(201);
        StartDailyUpdateCheck(frame->GetFrameWindow());
        CPaintManagerUI::MessageLoop();
    }
    if (gdiplusToken)
        Gdiplus::GdiplusShutdown(gdiplusToken);
    return 0;
}
