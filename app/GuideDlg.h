// The first-use guide: the first time the user reaches the disk list, the
// result page or a running scan, an overlay of hints is laid exactly over
// the main window. Each is shown once per user (the "Guide" mask in the
// registry). The overlay lives on the window thread, like every window of
// the program, and disables the main window while it is up.
#pragma once
#include <string>

#include "app/WindowImplBaseShw.h"

class CMainFrame;

// HKEY_CURRENT_USER\Software\OvoDelvaro6, value "Guide": the guides shown.
extern const wchar_t kGuideKey[];
extern const wchar_t kGuideValue[];
enum GuideValue
{
    GUIDE_DISK_LIST = 1,
    GUIDE_RESULTS = 4,
    GUIDE_SCANNING = 8,
};
DWORD ReadGuideMask();
void WriteGuideMask(DWORD mask);
// The guide due for this state: the page of "tabMain" (8 while a scan
// runs); 0 for states without a guide and for guides already shown.
int GuideValueFor(int page, bool scanning, DWORD mask);

// On the window thread: the guide due for the frame's state now; 0 when
// none is due.
int TakeFirstUseGuide(CMainFrame* frame);
// On the window thread: lays the guide of value over the frame and shows it
// (it closes by itself), and records it in the mask as shown; its window,
// NULL when it cannot be shown (nothing recorded then). Its end is posted
// to the frame as WMU_GuideDone.
HWND ShowFirstUseGuide(CMainFrame* frame, int value);
void CloseFirstUseGuide(HWND guide);

class CGuideDlg : public CSkinDialog
{
public:
    CGuideDlg(HWND mainWindow, int value);
    virtual ~CGuideDlg();

    virtual LPCTSTR GetWindowClassName() const { return L"DelvaroGuideDlg"; }
    virtual void Notify(TNotifyUI& msg);
    virtual LRESULT HandleCustomMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
    virtual LRESULT OnSize(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
    virtual LRESULT OnDestroy(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
    virtual void OnFinalMessage(HWND hWnd);

    // Places "Guide1-2" at (left - 5, top - 50), keeping its size.
    void SetPointerPosition(int left, int top);
    // Leaves a rectangle of the main window's client area uncovered (the
    // progress of a running scan shows through).
    void Uncover(const RECT& mainClientRect);
    // Shows the guide over its disabled owner; the object then deletes
    // itself when its window goes.
    void Start();

    enum { kCloseTimer = 272, kCloseAfterMs = 8000, kWatchTimer = 273, kWatchEveryMs = 250 };

private:
    void OnWindowInit();
    void OnClick();
    void ApplyRegion();

    int m_nValue;
    HWND m_hMainWnd;
    DuiLib::CTabLayoutUI* m_pResultGuide;
    DuiLib::CTabLayoutUI* m_pDiskGuide;
    HWND m_hOwner;
    // The parts of the main window left uncovered, in this window's
    // coordinates; NULL for none.
    HRGN m_hUncovered;
    bool m_bOwnerDisabled = false;  // whether Start disabled the owner
};
