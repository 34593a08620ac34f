// The two skinned popup menus: the title-bar menu and the file list's
// context menu. A click on an item closes the menu and hands the item's name
// to the window that owns the menu, whose command handling acts on it.
#pragma once
#include <string>

#include "app/DuiLibInc.h"

// Posted to the owner's window when a menu item was clicked: wParam a heap
// std::wstring with the item's name, which the receiver deletes.
const UINT WMU_MenuItemClick = WM_USER + 60;

class CMenuWndBase : public DuiLib::CWindowWnd, public DuiLib::INotifyUI
{
public:
    CMenuWndBase(const wchar_t* layout);
    virtual ~CMenuWndBase() {}

    virtual LPCTSTR GetWindowClassName() const { return L"MenuWnd"; }
    virtual void OnFinalMessage(HWND hWnd);
    virtual LRESULT HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam);
    virtual void Notify(TNotifyUI& msg);

    CPaintManagerUI& GetPaintManager() { return m_pm; }

protected:
    // Creates and shows the menu at (x, y), screen coordinates, owned by the
    // owner control's window. Nothing without an owner control.
    bool Open(CControlUI* pOwner, int x, int y);
    virtual void OnWindowInit() {}
    // Moves the window into the primary monitor's work area.
    void PlaceInWorkArea();

    CPaintManagerUI m_pm;
    CControlUI* m_pOwner;
    int m_nX;
    int m_nY;
    std::wstring m_strLayout;
};

class CMenuWnd : public CMenuWndBase
{
public:
    CMenuWnd() : CMenuWndBase(L"main_menu.xml") {}
    bool Init(CControlUI* pOwner, int x, int y) { return Open(pOwner, x, y); }
};

class CListMenuWnd : public CMenuWndBase
{
public:
    CListMenuWnd() : CMenuWndBase(L"list_menu.xml"), m_bNothingSelected(0) {}
    bool Init(CControlUI* pOwner, int x, int y, int nothingSelected)
    {
        m_bNothingSelected = nothingSelected;
        return Open(pOwner, x, y);
    }
    // Finds a control by name and enables or disables it; a missing control
    // is skipped.
    void EnableItem(const wchar_t* name, bool enable);

protected:
    virtual void OnWindowInit();

    int m_bNothingSelected;
};
