#include "app/GuideDlg.h"

#include <minizip/unzip.h>
// After unzip.h, which brings the declarations it relies on.
#include <minizip/iowin32.h>

#include <vector>

#include "app/MainFrame.h"
#include "app/Services.h"
#include "app/WindowMessages.h"

const wchar_t kGuideKey[] = L"Software\\OvoDelvaro6";
const wchar_t kGuideValue[] = L"Guide";

namespace {

// One guide at a time; the window's thread signals this to end it.
HANDLE GuideStopEvent()
{
    static HANDLE stop = CreateEventW(NULL, TRUE, FALSE, NULL);
    return stop;
}

// What the guide thread is given: its own copies, made on the window's thread.
struct GuideRun
{
    HWND hMain;
    int nValue;
    RECT rcMain;
    bool bPointer;
    POINT ptPointer;
    std::wstring strLayout;
    HANDLE hStop;
};

// A file of the skin archive, read with a handle of its own (DuiLib's open
// archive belongs to the window's thread).
bool ReadSkinFile(const wchar_t* name, std::string& out)
{
    out.clear();
    const std::wstring archive = GetSkinFolderPath() + L"SKIN.zip";
    zlib_filefunc64_def io;
    fill_win32_filefunc64W(&io);
    unzFile zip = unzOpen2_64(archive.c_str(), &io);
    if (!zip)
        return false;
    char narrow[MAX_PATH] = {};
    WideCharToMultiByte(CP_UTF8, 0, name, -1, narrow, MAX_PATH - 1, NULL, NULL);
    bool ok = false;
    unz_file_info64 info = {};
    if (unzLocateFile(zip, narrow, 2) == UNZ_OK && unzGetCurrentFileInfo64(zip, &info, NULL, 0, NULL, 0, NULL, 0) == UNZ_OK &&
        info.uncompressed_size < (1u << 20) && unzOpenCurrentFile(zip) == UNZ_OK) {
        out.resize((size_t)info.uncompressed_size);
        const int got = out.empty() ? 0 : unzReadCurrentFile(zip, &out[0], (unsigned)out.size());
        ok = got == (int)out.size() && unzCloseCurrentFile(zip) == UNZ_OK;
    }
    unzClose(zip);
    if (!ok)
        out.clear();
    return ok;
}

std::wstring Utf8ToWide(const std::string& text)
{
    size_t skip = text.size() >= 3 && (unsigned char)text[0] == 0xEF && (unsigned char)text[1] == 0xBB &&
                          (unsigned char)text[2] == 0xBF
                      ? 3
                      : 0;
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data() + skip, (int)(text.size() - skip), NULL, 0);
    std::wstring out(n > 0 ? n : 0, L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.data() + skip, (int)(text.size() - skip), &out[0], n);
    return out;
}

// The picture files a layout names (file='...' and bkimage="...").
std::vector<std::wstring> PicturesOf(const std::wstring& layout)
{
    std::vector<std::wstring> names;
    const wchar_t* marks[2] = {L"file='", L"bkimage=\""};
    for (const wchar_t* mark : marks) {
        const size_t len = wcslen(mark);
        const wchar_t close = mark[len - 1];
        for (size_t at = layout.find(mark); at != std::wstring::npos; at = layout.find(mark, at + len)) {
            const size_t end = layout.find(close, at + len);
            if (end == std::wstring::npos)
                break;
            std::wstring name = layout.substr(at + len, end - at - len);
            if (name.find(L'.') != std::wstring::npos && name.find(L'=') == std::wstring::npos)
                names.push_back(name);
        }
    }
    return names;
}

DWORD WINAPI GuideThreadProc(LPVOID param)
{
    GuideRun* run = static_cast<GuideRun*>(param);
    // A moment for the page the guide explains to settle; a close of the
    // program cuts it short.
    if (WaitForSingleObject(run->hStop, 100) == WAIT_TIMEOUT) {
        CGuideDlg* guide = new CGuideDlg(run->hMain, run->nValue, run->strLayout, run->rcMain);
        if (guide->Create(run->hMain, L"", kDialogStyle, 0)) {
            if (run->bPointer)
                guide->SetPointerPosition(run->ptPointer.x, run->ptPointer.y);
            guide->RunModal(run->hStop);  // the guide deletes itself with its window
        } else {
            delete guide;
        }
    }
    ::PostMessageW(run->hMain, WMU_GuideDone, 0, 0);
    delete run;
    return 0;
}

}  // namespace

DWORD ReadGuideMask()
{
    DWORD mask = 0, size = sizeof(mask), type = 0;
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kGuideKey, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        if (RegQueryValueExW(key, kGuideValue, NULL, &type, (BYTE*)&mask, &size) != ERROR_SUCCESS || type != REG_DWORD)
            mask = 0;
        RegCloseKey(key);
    }
    return mask;
}

void WriteGuideMask(DWORD mask)
{
    HKEY key = NULL;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kGuideKey, 0, NULL, 0, KEY_WRITE, NULL, &key, NULL) == ERROR_SUCCESS) {
        RegSetValueExW(key, kGuideValue, 0, REG_DWORD, (const BYTE*)&mask, sizeof(mask));
        RegCloseKey(key);
    }
}

int GuideValueFor(int page, bool scanning, DWORD mask)
{
    const int value = scanning ? GUIDE_SCANNING : page;
    // Only the states that have a guide; the mask records guides shown, so
    // reaching another page first never hides one.
    if (value != GUIDE_DISK_LIST && value != GUIDE_RESULTS && value != GUIDE_SCANNING)
        return 0;
    return (mask & (DWORD)value) ? 0 : value;
}

HANDLE StartFirstUseGuide(CMainFrame* frame)
{
    HWND main = frame ? frame->GetFrameWindow() : NULL;
    if (!main || IsIconic(main) || GetLastActivePopup(main) != main || !frame->FindControl(L"tabMain"))
        return NULL;
    const bool scanning = frame->GetScanDiskDlg()->IsScanRunning() || frame->GetPartitionScan().IsRunning();
    const DWORD mask = ReadGuideMask();
    const int value = GuideValueFor(frame->GetCurrentPage(), scanning, mask);
    if (!value)
        return NULL;
    std::string bytes;
    GuideRun* run = new GuideRun;
    run->hMain = main;
    run->nValue = value;
    run->hStop = GuideStopEvent();
    run->bPointer = false;
    if (!GetWindowRect(main, &run->rcMain) || !ReadSkinFile(L"dlg_guide.xml", bytes)) {
        delete run;
        return NULL;
    }
    run->strLayout = Utf8ToWide(bytes);
    if (value == GUIDE_DISK_LIST) {
        if (CControlUI* button = frame->FindControl(L"lostPartBtn")) {
            const RECT rc = button->GetPos();
            run->bPointer = true;
            run->ptPointer.x = rc.left;
            run->ptPointer.y = rc.top;
        }
    }
    // The pictures are loaded here, where the skin archive is read, into the
    // shared store in which the guide's window finds them.
    CPaintManagerUI& pm = frame->GetPaintManager();
    for (const std::wstring& picture : PicturesOf(run->strLayout))
        if (!pm.GetImage(picture.c_str()))
            pm.AddImage(picture.c_str(), (LPCTSTR)NULL, 0, false, true);
    ResetEvent(run->hStop);
    HANDLE thread = CreateThread(NULL, 0, GuideThreadProc, run, 0, NULL);
    if (!thread) {
        delete run;
        return NULL;
    }
    WriteGuideMask(mask | (DWORD)value);
    return thread;
}

void StopFirstUseGuide()
{
    SetEvent(GuideStopEvent());
}

// ---- the overlay ----

CGuideDlg::CGuideDlg(HWND mainWindow, int value, const std::wstring& layoutText, const RECT& mainRect)
    : CSkinDialog(L"dlg_guide"),
      m_nValue(value),
      m_hMainWnd(mainWindow),
      m_pResultGuide(NULL),
      m_pDiskGuide(NULL),
      m_strLayout(layoutText),
      m_rcMain(mainRect)
{
}

CDuiString CGuideDlg::GetSkinFile()
{
    // The layout's text: DuiLib builds it without going to the archive.
    return m_strLayout.empty() ? CSkinDialog::GetSkinFile() : CDuiString(m_strLayout.c_str());
}

void CGuideDlg::SetPointerPosition(int left, int top)
{
    CControlUI* pointer = FindControl(L"Guide1-2");
    if (!pointer)
        return;
    const int w = pointer->GetFixedWidth(), h = pointer->GetFixedHeight();
    const std::wstring pos = std::to_wstring(left - 5) + L"," + std::to_wstring(top - 50) + L"," +
                             std::to_wstring(left - 5 + w) + L"," + std::to_wstring(top - 50 + h);
    pointer->SetAttribute(L"pos", pos.c_str());
}

void CGuideDlg::Notify(TNotifyUI& msg)
{
    if (msg.sType == DUI_MSGTYPE_WINDOWINIT)
        OnWindowInit();
}

void CGuideDlg::OnWindowInit()
{
    if (m_rcMain.right <= m_rcMain.left || m_rcMain.bottom <= m_rcMain.top) {
        Close(IDCANCEL);
        return;
    }
    SetWindowPos(m_hWnd, NULL, m_rcMain.left, m_rcMain.top, m_rcMain.right - m_rcMain.left,
                 m_rcMain.bottom - m_rcMain.top, SWP_NOZORDER | SWP_NOACTIVATE);
    auto tab = [&](const wchar_t* name) {
        CControlUI* c = FindControl(name);
        return c ? static_cast<DuiLib::CTabLayoutUI*>(c->GetInterface(DUI_CTR_TABLAYOUT)) : NULL;
    };
    m_pDiskGuide = tab(L"DiskGuide");
    m_pResultGuide = tab(L"ResultGuide");
    DuiLib::CTabLayoutUI* view = tab(L"viewMode");
    const int page = m_nValue == GUIDE_DISK_LIST ? 0 : m_nValue == GUIDE_SCANNING ? 1 : m_nValue == GUIDE_RESULTS ? 2 : -1;
    if (!view || page < 0) {
        Close(IDCANCEL);
        return;
    }
    view->SelectItem(page);
    // The main window stays faintly visible under the hints.
    m_PaintManager.SetOpacity(230);
    SetTimer(m_hWnd, kCloseTimer, kCloseAfterMs, NULL);
}

void CGuideDlg::OnClick()
{
    DuiLib::CTabLayoutUI* pages = m_nValue == GUIDE_DISK_LIST ? m_pDiskGuide : m_nValue == GUIDE_RESULTS ? m_pResultGuide : NULL;
    if (m_nValue == GUIDE_SCANNING) {
        Close(IDOK);
    } else if (pages) {
        if (pages->GetCurSel() + 1 < pages->GetCount())
            pages->SelectItem(pages->GetCurSel() + 1);
        else
            Close(IDOK);
    }
}

LRESULT CGuideDlg::HandleCustomMessage(UINT uMsg, WPARAM wParam, LPARAM, BOOL& bHandled)
{
    bHandled = FALSE;
    if (uMsg == WM_TIMER && wParam == kCloseTimer) {
        KillTimer(m_hWnd, kCloseTimer);
        Close(IDOK);
        bHandled = TRUE;
    } else if (uMsg == WM_LBUTTONDOWN) {
        OnClick();
        bHandled = TRUE;
    }
    return 0;
}

void CGuideDlg::RunModal(HANDLE stop)
{
    // The window exists: from here the object goes with it. Locals only
    // below, as it is gone once its window is.
    m_bSelfDeleting = true;
    HWND self = m_hWnd;
    HWND main = m_hMainWnd;
    HWND owner = GetWindow(self, GW_OWNER);
    ::ShowWindow(self, SW_SHOWNORMAL);
    if (owner)
        EnableWindow(owner, FALSE);
    bool closing = false, quit = false;
    WPARAM quitCode = 0;
    while (IsWindow(self) && !quit) {
        const DWORD woke = MsgWaitForMultipleObjects(stop ? 1 : 0, &stop, FALSE, 250, QS_ALLINPUT);
        // Stopped by the program's close, or the main window went to the
        // task bar: the guide goes.
        if (!closing && ((stop && woke == WAIT_OBJECT_0) || IsIconic(main))) {
            closing = true;
            ::PostMessageW(self, WM_CLOSE, 0, 0);
        }
        MSG msg;
        while (PeekMessageW(&msg, NULL, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                quit = true;
                quitCode = msg.wParam;
                break;
            }
            if (msg.message == WM_CLOSE && msg.hwnd == self && owner) {
                EnableWindow(owner, TRUE);
                SetForegroundWindow(owner);
            }
            if (!CPaintManagerUI::TranslateMessage(&msg)) {
                ::TranslateMessage(&msg);
                ::DispatchMessageW(&msg);
            }
        }
    }
    if (owner) {
        EnableWindow(owner, TRUE);
        SetForegroundWindow(owner);
    }
    if (quit)
        PostQuitMessage((int)quitCode);
}
