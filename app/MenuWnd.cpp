#include "app/MenuWnd.h"

CMenuWndBase::CMenuWndBase(const wchar_t* layout) : m_pOwner(NULL), m_nX(0), m_nY(0), m_strLayout(layout) {}

bool CMenuWndBase::Open(CControlUI* pOwner, int x, int y)
{
    if (!pOwner || !pOwner->GetManager())
        return false;
    m_pOwner = pOwner;
    m_nX = x;
    m_nY = y;
    // DuiLib gives the focus back to a window at its next paint after a page
    // change; that paint happens now, before the menu takes the focus, not
    // later, when it would close the menu.
    HWND ownerWnd = pOwner->GetManager()->GetPaintWindow();
    for (int i = 0; i < 3; ++i)
        ::UpdateWindow(ownerWnd);
    Create(ownerWnd, NULL, WS_POPUP, WS_EX_TOOLWINDOW | WS_EX_TOPMOST,
           CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT);
    if (!m_hWnd)
        return false;
    HWND top = m_hWnd, parent;
    while ((parent = ::GetParent(top)) != NULL)
        top = parent;
    ::ShowWindow(m_hWnd, SW_SHOW);
    ::SendMessage(top, WM_NCACTIVATE, TRUE, 0L);
    return true;
}

void CMenuWndBase::OnFinalMessage(HWND)
{
    delete this;
}

void CMenuWndBase::PlaceInWorkArea()
{
    RECT rc;
    ::GetWindowRect(m_hWnd, &rc);
    const int w = rc.right - rc.left, h = rc.bottom - rc.top;
    RECT work = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    MONITORINFO mi = {sizeof(mi)};
    if (GetMonitorInfo(MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY), &mi))
        work = mi.rcWork;
    int x = m_nX, y = m_nY;
    if (y + h > work.bottom)
        y = h > work.bottom - work.top ? 0 : work.bottom - h;
    if (x + w > work.right)
        x = w > work.right - work.left ? 0 : work.right - w;
    ::SetWindowPos(m_hWnd, NULL, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

LRESULT CMenuWndBase::HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    switch (uMsg) {
    case WM_CREATE: {
        m_pm.Init(m_hWnd);
        DuiLib::CDialogBuilder builder;
        CControlUI* root = builder.Create(m_strLayout.c_str(), (UINT)0, NULL, &m_pm);
        if (!root)
            return -1;
        m_pm.AttachDialog(root);
        m_pm.AddNotifier(this);
        m_pm.SetRoundCorner(3, 3);
        SIZE size = m_pm.GetInitSize();
        ::SetWindowPos(m_hWnd, NULL, 0, 0, size.cx, size.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        PlaceInWorkArea();
        return 0;
    }
    case WM_SIZE: {
        SIZE corner = m_pm.GetRoundCorner();
        if (!::IsIconic(m_hWnd) && (corner.cx != 0 || corner.cy != 0)) {
            RECT rc;
            ::GetWindowRect(m_hWnd, &rc);
            HRGN rgn = ::CreateRoundRectRgn(0, 0, rc.right - rc.left + 1, rc.bottom - rc.top + 1, corner.cx,
                                            corner.cy);
            ::SetWindowRgn(m_hWnd, rgn, TRUE);
            ::DeleteObject(rgn);
        }
        break;
    }
    case WM_KILLFOCUS:
        if ((HWND)wParam != m_hWnd)
            PostMessage(WM_CLOSE);
        break;
    case WM_CLOSE:
        ::DestroyWindow(m_hWnd);
        return 0;
    case WM_KEYDOWN:
        if (wParam == VK_ESCAPE) {
            Close();
            return 0;
        }
        break;
    case WM_MOUSEWHEEL:
        return 0;
    default:
        break;
    }
    LRESULT lRes = 0;
    if (m_pm.MessageHandler(uMsg, wParam, lParam, lRes))
        return lRes;
    return CWindowWnd::HandleMessage(uMsg, wParam, lParam);
}

void CMenuWndBase::Notify(TNotifyUI& msg)
{
    if (msg.sType == DUI_MSGTYPE_WINDOWINIT) {
        OnWindowInit();
    } else if (msg.sType == DUI_MSGTYPE_ITEMSELECT) {
        Close();
    } else if (msg.sType == DUI_MSGTYPE_ITEMCLICK) {
        if (!m_pOwner || !msg.pSender)
            return;
        // The menu's controls go with its window, so the owner gets the
        // item's name rather than a pointer into this window.
        HWND owner = m_pOwner->GetManager() ? m_pOwner->GetManager()->GetPaintWindow() : NULL;
        Close();
        std::wstring* name = new std::wstring(msg.pSender->GetName().GetData());
        if (!owner || !::PostMessage(owner, WMU_MenuItemClick, (WPARAM)name, 0))
            delete name;
    }
}

void CListMenuWnd::EnableItem(const wchar_t* name, bool enable)
{
    if (CControlUI* c = m_pm.FindControl(name))
        c->SetEnabled(enable);
}

void CListMenuWnd::OnWindowInit()
{
    if (m_bNothingSelected) {
        // Both the layout's item names and the names with the "L" suffix, so
        // an empty selection offers no command that needs a row.
        const wchar_t* items[] = {L"menuRestore", L"menuReView", L"menuRestoreL", L"menuReViewL", L"menuSetPathL"};
        for (const wchar_t* item : items)
            EnableItem(item, false);
    }
}
