#include "app/ProgressTaskBar.h"

#include <objbase.h>
#include <shobjidl.h>

CProgressTaskBar::CProgressTaskBar()
    : m_hMainWnd(NULL), m_dPercent(0), m_pTaskbarList(NULL), m_bAvailable(false), m_hOverlayIcon(NULL)
{
}

CProgressTaskBar::~CProgressTaskBar()
{
    if (m_pTaskbarList)
        m_pTaskbarList->Release();
}

bool CProgressTaskBar::IsWindows7OrLater()
{
    OSVERSIONINFOEXW ex = {};
    ex.dwOSVersionInfoSize = sizeof(ex);
    if (!GetVersionExW((OSVERSIONINFOW*)&ex)) {
        OSVERSIONINFOW basic = {};
        basic.dwOSVersionInfoSize = sizeof(basic);
        if (!GetVersionExW(&basic))
            return false;
        ex.dwMajorVersion = basic.dwMajorVersion;
        ex.dwMinorVersion = basic.dwMinorVersion;
    }
    return ex.dwMajorVersion > 6 || (ex.dwMajorVersion == 6 && ex.dwMinorVersion >= 1);
}

bool CProgressTaskBar::Init(HWND hMainWnd)
{
    m_hMainWnd = hMainWnd;
    m_dPercent = 0;
    m_bAvailable = false;
    if (m_pTaskbarList) {
        m_pTaskbarList->Release();
        m_pTaskbarList = NULL;
    }
    HRESULT hr = CoCreateInstance(CLSID_TaskbarList, NULL, CLSCTX_INPROC_SERVER, IID_ITaskbarList3,
                                  (void**)&m_pTaskbarList);
    if (FAILED(hr))
        m_pTaskbarList = NULL;
    m_bAvailable = IsWindows7OrLater() && m_pTaskbarList != NULL;
    if (m_bAvailable)
        Reset(false);
    return m_bAvailable;
}

void CProgressTaskBar::SetProgress(unsigned long long done, unsigned long long total)
{
    if (!m_bAvailable)
        return;
    m_dPercent = total ? (double)done * 100.0 / (double)total : 0.0;
    m_pTaskbarList->SetProgressValue(m_hMainWnd, done, total);
}

void CProgressTaskBar::Reset(bool flash)
{
    if (!m_bAvailable)
        return;
    m_dPercent = 0;
    if (m_pTaskbarList) {
        m_pTaskbarList->SetOverlayIcon(m_hMainWnd, NULL, L"");
        m_pTaskbarList->SetProgressState(m_hMainWnd, TBPF_NOPROGRESS);
        m_pTaskbarList->SetProgressState(m_hMainWnd, TBPF_NORMAL);
    }
    if (flash && GetForegroundWindow() != m_hMainWnd) {
        FLASHWINFO fi = {};
        fi.cbSize = sizeof(fi);
        fi.hwnd = m_hMainWnd;
        fi.dwFlags = FLASHW_TRAY;
        fi.uCount = 5;
        fi.dwTimeout = 0;
        FlashWindowEx(&fi);
    }
}
