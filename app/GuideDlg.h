// The first-use guide: the first time the user reaches the disk list, the
// result page or a running scan, an overlay of hints is laid exactly over
// the main window. Each is shown once per user (the "Guide" mask in the
// registry). The overlay runs on a thread of its own with its own loop;
// everything it needs of the main window is handed to it by the window's
// thread.
#pragma once
#include <string>

#include "app/WindowImplBaseShw.h"

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

class CGuideDlg : public CSkinDialog
{
public:
    // layoutText: the layout itself (read from the skin by the window's
    // thread); mainRect: the main window's rectangle it covers.
    CGuideDlg(HWND mainWindow, int value, const std::wstring& layoutText, const RECT& mainRect);

    virtual LPCTSTR GetWindowClassName() const { return L"DelvaroGuideDlg"; }
    virtual void Notify(TNotifyUI& msg);
    virtual LRESULT HandleCustomMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);

    // Places "Guide1-2" at (left - 5, top - 50), keeping its size.
    void SetPointerPosition(int left, int top);
    // Shows the guide over its disabled owner and runs its loop until the
    // window goes, the main window is minimised or stop is signalled.
    void RunModal(HANDLE stop);

    enum { kCloseTimer = 272, kCloseAfterMs = 8000 };

protected:
    virtual CDuiString GetSkinFile();

private:
    void OnWindowInit();
    void OnClick();

    int m_nValue;
    HWND m_hMainWnd;
    DuiLib::CTabLayoutUI* m_pResultGuide;
    DuiLib::CTabLayoutUI* m_pDiskGuide;
    std::wstring m_strLayout;
    RECT m_rcMain;
};
