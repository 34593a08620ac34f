#include "app/GuideDlg.h"

#include "app/MainFrame.h"
#include "app/Services.h"
#include "app/WindowMessages.h"

const wchar_t kGuideKey[] = L"Software\\OvoDelvaro6";
const wchar_t kGuideValue[] = L"Guide";

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

int TakeFirstUseGuide(CMainFrame* frame)
{
    HWND main = frame ? frame->GetFrameWindow() : NULL;
    if (!main || IsIconic(main) || GetLastActivePopup(main) != main || !frame->FindControl(L"tabMain"))
        return 0;
    const bool scanning = frame->GetScanDiskDlg()->IsScanRunning() || frame->GetPartitionScan().IsRunning();
    // Recorded only when it is shown: a guide that finds a dialog over the
    // window is still due next time.
    return GuideValueFor(frame->GetCurrentPage(), scanning, ReadGuideMask());
}

HWND ShowFirstUseGuide(CMainFrame* frame, int value)
{
    HWND main = frame ? frame->GetFrameWindow() : NULL;
    // The state may have changed in the moment before: a minimised window or
    // one with a dialog over it gets no overlay.
    if (!value || !main || IsIconic(main) || GetLastActivePopup(main) != main)
        return NULL;
    CGuideDlg* guide = new CGuideDlg(main, value);
    if (!guide->CreateOver(main)) {
        delete guide;
        return NULL;
    }
    if (value == GUIDE_DISK_LIST) {
        if (CControlUI* button = frame->FindControl(L"lostPartBtn")) {
            const RECT rc = button->GetPos();
            guide->SetPointerPosition(rc.left, rc.top);
        }
    }
    if (value == GUIDE_SCANNING) {
        // The scan's progress stays in sight through the overlay.
        const wchar_t* uncovered[] = {L"scanProgressCtl", L"ScanTitle", L"btnPause", L"btnStop"};
        for (const wchar_t* name : uncovered) {
            CControlUI* c = frame->FindControl(name);
            if (c && c->IsVisible())
                guide->Uncover(c->GetPos());
        }
    }
    HWND hwnd = guide->GetHWND();
    guide->Start();  // from here the guide goes with its window
    WriteGuideMask(ReadGuideMask() | (DWORD)value);
    return hwnd;
}

void CloseFirstUseGuide(HWND guide)
{
    if (guide && IsWindow(guide))
        DestroyWindow(guide);
}

// ---- the overlay ----

CGuideDlg::CGuideDlg(HWND mainWindow, int value)
    : CSkinDialog(L"dlg_guide"),
      m_nValue(value),
      m_hMainWnd(mainWindow),
      m_pResultGuide(NULL),
      m_pDiskGuide(NULL),
      m_hOwner(NULL),
      m_hUncovered(NULL)
{
}

CGuideDlg::~CGuideDlg()
{
    if (m_hUncovered)
        DeleteObject(m_hUncovered);
}

void CGuideDlg::Uncover(const RECT& mainClientRect)
{
    if (mainClientRect.right <= mainClientRect.left || mainClientRect.bottom <= mainClientRect.top)
        return;
    // From the main window's client area to this window, which lies exactly
    // over the main window.
    RECT main = {};
    POINT origin = {0, 0};
    if (!GetWindowRect(m_hMainWnd, &main) || !ClientToScreen(m_hMainWnd, &origin))
        return;
    RECT rc = mainClientRect;
    OffsetRect(&rc, origin.x - main.left, origin.y - main.top);
    HRGN hole = CreateRectRgnIndirect(&rc);
    if (!m_hUncovered) {
        m_hUncovered = hole;
    } else {
        CombineRgn(m_hUncovered, m_hUncovered, hole, RGN_OR);
        DeleteObject(hole);
    }
}

void CGuideDlg::ApplyRegion()
{
    RECT rc;
    if (!m_hUncovered || !GetWindowRect(m_hWnd, &rc))
        return;
    HRGN shape = CreateRectRgn(0, 0, rc.right - rc.left, rc.bottom - rc.top);
    CombineRgn(shape, shape, m_hUncovered, RGN_DIFF);
    SetWindowRgn(m_hWnd, shape, TRUE);  // the system owns the region now
}

LRESULT CGuideDlg::OnSize(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled)
{
    LRESULT r = CSkinDialog::OnSize(uMsg, wParam, lParam, bHandled);
    ApplyRegion();
    return r;
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
    RECT main = {};
    if (!GetWindowRect(m_hMainWnd, &main) || main.right <= main.left || main.bottom <= main.top) {
        Close(IDCANCEL);
        return;
    }
    SetWindowPos(m_hWnd, NULL, main.left, main.top, main.right - main.left, main.bottom - main.top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
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
    SetTimer(m_hWnd, kWatchTimer, kWatchEveryMs, NULL);
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
    } else if (uMsg == WM_TIMER && wParam == kWatchTimer) {
        // The main window went to the task bar: the guide goes.
        if (IsIconic(m_hMainWnd)) {
            KillTimer(m_hWnd, kWatchTimer);
            Close(IDCANCEL);
        }
        bHandled = TRUE;
    } else if (uMsg == WM_LBUTTONDOWN) {
        OnClick();
        bHandled = TRUE;
    }
    return 0;
}

void CGuideDlg::Start()
{
    // Laid over its owner, which is disabled until the guide goes; the
    // window thread's own loop runs it. A guide with holes (the one over a
    // running scan) leaves its owner enabled, so that what shows through
    // them (Pause and Stop) still answers.
    m_bSelfDeleting = true;
    m_hOwner = GetWindow(m_hWnd, GW_OWNER);
    ApplyRegion();
    ::ShowWindow(m_hWnd, SW_SHOWNORMAL);
    m_bOwnerDisabled = m_hOwner && !m_hUncovered;
    if (m_bOwnerDisabled)
        EnableWindow(m_hOwner, FALSE);
}

LRESULT CGuideDlg::OnDestroy(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled)
{
    // The owner comes back before this window goes, so the activation
    // returns to it.
    if (m_hOwner && IsWindow(m_hOwner)) {
        if (m_bOwnerDisabled)
            EnableWindow(m_hOwner, TRUE);
        SetForegroundWindow(m_hOwner);
    }
    return CSkinDialog::OnDestroy(uMsg, wParam, lParam, bHandled);
}

void CGuideDlg::OnFinalMessage(HWND hWnd)
{
    HWND main = m_hMainWnd;
    CSkinDialog::OnFinalMessage(hWnd);  // deletes the object
    if (main && IsWindow(main))
        ::PostMessageW(main, WMU_GuideDone, 0, 0);
}
