// Scan progress on the main window's taskbar button (Windows 7 and later),
// and a flash of the button when a scan ends in the background.
#pragma once
#include <windows.h>

#include <string>

struct ITaskbarList3;

class CProgressTaskBar
{
public:
    CProgressTaskBar();
    virtual ~CProgressTaskBar();

    // Creates the taskbar list for the window; true when it is available.
    bool Init(HWND hMainWnd);
    // done of total; no-op unless available.
    void SetProgress(unsigned long long done, unsigned long long total);
    // Clears the progress; with flash, a background window's button flashes.
    void Reset(bool flash);

    bool IsAvailable() const { return m_bAvailable; }
    double GetPercent() const { return m_dPercent; }

    // Windows version test of Init, exposed for tests: 6.1 and later.
    static bool IsWindows7OrLater();

private:
    CProgressTaskBar(const CProgressTaskBar&);
    CProgressTaskBar& operator=(const CProgressTaskBar&);

    HWND m_hMainWnd;
    double m_dPercent;
    ITaskbarList3* m_pTaskbarList;
    bool m_bAvailable;
    HICON m_hOverlayIcon;
    std::wstring m_strOverlayText;
};
