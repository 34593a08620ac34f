#include "app/BusyAnimation.h"

#include <objbase.h>
#include <shlwapi.h>
// GDI+ wants min and max in scope.
#include <algorithm>
namespace Gdiplus {
using std::max;
using std::min;
}
#include <gdiplus.h>

namespace {
const wchar_t kClass[] = L"DelvaroBusyAnimation";
const UINT_PTR kFrameTimer = 1;
}

CBusyAnimation::CBusyAnimation()
    : m_hWnd(NULL), m_pImage(NULL), m_pStream(NULL), m_nFrame(0), m_bPlaying(false), m_Background(0xFFFFFF)
{
}

CBusyAnimation::~CBusyAnimation()
{
    Destroy();
}

bool CBusyAnimation::Create(HWND parent, HMODULE module, int resourceId, COLORREF background)
{
    m_Background = background;
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = WndProc;
    wc.hInstance = GetModuleHandleW(NULL);
    wc.hCursor = LoadCursor(NULL, IDC_ARROW);
    wc.lpszClassName = kClass;
    RegisterClassExW(&wc);
    m_hWnd = CreateWindowExW(0, kClass, L"", WS_CHILD | WS_CLIPSIBLINGS, 0, 0, 100, 100, parent, NULL,
                             wc.hInstance, this);
    if (!m_hWnd)
        return false;

    HRSRC res = module ? FindResourceW(module, MAKEINTRESOURCEW(resourceId), L"GIF") : NULL;
    HGLOBAL data = res ? LoadResource(module, res) : NULL;
    DWORD size = res ? SizeofResource(module, res) : 0;
    const BYTE* bytes = data ? (const BYTE*)LockResource(data) : NULL;
    if (bytes && size)
        m_pStream = SHCreateMemStream(bytes, size);
    if (m_pStream) {
        m_pImage = Gdiplus::Image::FromStream(m_pStream);
        if (m_pImage && m_pImage->GetLastStatus() != Gdiplus::Ok) {
            delete m_pImage;
            m_pImage = NULL;
        }
    }
    if (m_pImage) {
        GUID dim = Gdiplus::FrameDimensionTime;
        UINT frames = m_pImage->GetFrameCount(&dim);
        m_Delays.assign(frames ? frames : 1, 100);
        UINT propSize = m_pImage->GetPropertyItemSize(PropertyTagFrameDelay);
        if (propSize > 0) {
            std::vector<BYTE> buf(propSize);
            Gdiplus::PropertyItem* item = (Gdiplus::PropertyItem*)buf.data();
            if (m_pImage->GetPropertyItem(PropertyTagFrameDelay, propSize, item) == Gdiplus::Ok) {
                UINT n = std::min<UINT>(item->length / 4, (UINT)m_Delays.size());
                for (UINT i = 0; i < n; ++i) {
                    UINT cs = ((UINT*)item->value)[i];
                    m_Delays[i] = std::max<UINT>(cs * 10, 20);
                }
            }
        }
    }
    return true;
}

void CBusyAnimation::Destroy()
{
    if (m_hWnd) {
        KillTimer(m_hWnd, kFrameTimer);
        DestroyWindow(m_hWnd);
        m_hWnd = NULL;
    }
    delete m_pImage;
    m_pImage = NULL;
    if (m_pStream) {
        m_pStream->Release();
        m_pStream = NULL;
    }
    m_Delays.clear();
    m_bPlaying = false;
}

void CBusyAnimation::Show(bool visible)
{
    if (m_hWnd)
        ShowWindow(m_hWnd, visible ? SW_SHOWNA : SW_HIDE);
    if (!visible)
        Pause();
}

void CBusyAnimation::Start()
{
    if (!m_hWnd || m_Delays.empty())
        return;
    m_bPlaying = true;
    SetTimer(m_hWnd, kFrameTimer, m_Delays[m_nFrame % m_Delays.size()], NULL);
}

void CBusyAnimation::Pause()
{
    m_bPlaying = false;
    if (m_hWnd)
        KillTimer(m_hWnd, kFrameTimer);
}

void CBusyAnimation::MoveTo(int x, int y, int w, int h)
{
    if (m_hWnd)
        SetWindowPos(m_hWnd, HWND_TOP, x, y, w, h, SWP_NOACTIVATE);
}

bool CBusyAnimation::IsVisible() const
{
    return m_hWnd && IsWindowVisible(m_hWnd);
}

void CBusyAnimation::NextFrame()
{
    if (m_Delays.empty())
        return;
    m_nFrame = (m_nFrame + 1) % m_Delays.size();
    if (m_pImage) {
        GUID dim = Gdiplus::FrameDimensionTime;
        m_pImage->SelectActiveFrame(&dim, m_nFrame);
    }
    InvalidateRect(m_hWnd, NULL, FALSE);
    if (m_bPlaying)
        SetTimer(m_hWnd, kFrameTimer, m_Delays[m_nFrame], NULL);
}

void CBusyAnimation::Paint(HDC dc)
{
    RECT rc;
    GetClientRect(m_hWnd, &rc);
    HBRUSH brush = CreateSolidBrush(m_Background);
    FillRect(dc, &rc, brush);
    DeleteObject(brush);
    if (!m_pImage)
        return;
    Gdiplus::Graphics g(dc);
    int w = (int)m_pImage->GetWidth(), h = (int)m_pImage->GetHeight();
    g.DrawImage(m_pImage, (rc.right - w) / 2, (rc.bottom - h) / 2, w, h);
}

LRESULT CALLBACK CBusyAnimation::WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    CBusyAnimation* self = (CBusyAnimation*)GetWindowLongPtrW(hwnd, GWLP_USERDATA);
    switch (msg) {
    case WM_NCCREATE:
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, (LONG_PTR)((CREATESTRUCTW*)lp)->lpCreateParams);
        break;
    case WM_TIMER:
        if (self && wp == kFrameTimer) {
            KillTimer(hwnd, kFrameTimer);
            self->NextFrame();
            return 0;
        }
        break;
    case WM_ERASEBKGND:
        return 1;
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(hwnd, &ps);
        if (self)
            self->Paint(dc);
        EndPaint(hwnd, &ps);
        return 0;
    }
    case WM_NCDESTROY:
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        break;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}
