#include "app/WndShadow.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <vector>

namespace {

typedef BOOL(WINAPI* UpdateLayeredWindowFn)(HWND, HDC, POINT*, SIZE*, HDC, POINT*, COLORREF, BLENDFUNCTION*,
                                            DWORD);
UpdateLayeredWindowFn s_UpdateLayeredWindow = NULL;
HINSTANCE s_hInstance = NULL;
const wchar_t kShadowClass[] = L"HaldenShadowWnd";
const HWND kNoWindow = (HWND)(LONG_PTR)-1;
int s_nCompositionOverride = -1;
#ifndef WM_DWMCOMPOSITIONCHANGED
#define WM_DWMCOMPOSITIONCHANGED 0x031E
#endif

// Shadowed window -> its shadow. The main thread and the guide's thread both
// own shadowed windows, so every use of the map takes the lock.
struct ShadowMap
{
    CRITICAL_SECTION cs;
    std::map<HWND, CWndShadow*> map;
    ShadowMap() { InitializeCriticalSection(&cs); }
    ~ShadowMap() { DeleteCriticalSection(&cs); }
};
ShadowMap& Shadows()
{
    static ShadowMap s;
    return s;
}
CWndShadow* FindShadow(HWND hwnd)
{
    ShadowMap& s = Shadows();
    EnterCriticalSection(&s.cs);
    std::map<HWND, CWndShadow*>::iterator it = s.map.find(hwnd);
    CWndShadow* p = it == s.map.end() ? NULL : it->second;
    LeaveCriticalSection(&s.cs);
    return p;
}
void SetShadow(HWND hwnd, CWndShadow* p)
{
    ShadowMap& s = Shadows();
    EnterCriticalSection(&s.cs);
    if (p)
        s.map[hwnd] = p;
    else
        s.map.erase(hwnd);
    LeaveCriticalSection(&s.cs);
}

const UINT kPlaceBelowMsg = WM_USER + 1;

// The shadow window's own procedure: whatever moves it in the z-order (the
// system raising a window it maps, say), it goes right below the window it
// shadows, kept in its user data, and never over it.
LRESULT CALLBACK ShadowWndProc(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    if (uMsg == kPlaceBelowMsg) {
        HWND parent = (HWND)GetWindowLongPtrW(hwnd, GWLP_USERDATA);
        if (parent && IsWindow(parent) && GetWindow(parent, GW_HWNDNEXT) != hwnd)
            SetWindowPos(hwnd, parent, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_NOOWNERZORDER);
        return 0;
    }
    if (uMsg == WM_WINDOWPOSCHANGING && lParam) {
        WINDOWPOS* pos = (WINDOWPOS*)lParam;
        HWND parent = (HWND)GetWindowLongPtrW(hwnd, GWLP_USERDATA);
        if (parent && IsWindow(parent) && !(pos->flags & SWP_NOZORDER) && pos->hwndInsertAfter != parent)
            pos->hwndInsertAfter = parent;
    }
    return DefWindowProcW(hwnd, uMsg, wParam, lParam);
}

// A row of the shadow: [start, end) in shadow x; (W, 0) when empty.
struct Anchor
{
    int start;
    int end;
};

}  // namespace

CWndShadow::CWndShadow()
    : m_hWnd(kNoWindow),
      m_OriParentProc(NULL),
      m_Status(0),
      m_nDarkness(150),
      m_nSharpness(5),
      m_nSize(0),
      m_nxOffset(5),
      m_nyOffset(5),
      m_WndSize(0),
      m_bUpdate(false),
      m_Color(RGB(0, 0, 0)),
      m_hParent(NULL)
{
}

CWndShadow::~CWndShadow() {}

bool CWndShadow::Initialize(HINSTANCE hInstance)
{
    if (s_UpdateLayeredWindow)
        return false;
    HMODULE user32 = GetModuleHandleW(L"USER32.DLL");
    UpdateLayeredWindowFn fn =
        user32 ? (UpdateLayeredWindowFn)(void*)GetProcAddress(user32, "UpdateLayeredWindow") : NULL;
    if (!fn)
        return false;
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = ShadowWndProc;
    wc.hInstance = hInstance;
    wc.hCursor = LoadCursor(NULL, IDC_ARROW);
    wc.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
    wc.lpszClassName = kShadowClass;
    if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        return false;
    s_hInstance = hInstance;
    s_UpdateLayeredWindow = fn;
    return true;
}

bool CWndShadow::IsAvailable()
{
    return s_UpdateLayeredWindow != NULL;
}

bool CWndShadow::IsComposited()
{
    if (s_nCompositionOverride >= 0)
        return s_nCompositionOverride != 0;
    typedef HRESULT(WINAPI * CompositionFn)(BOOL*);
    // Loaded once and kept: the answer itself is asked each time, as the
    // user can switch composition off and on.
    static HMODULE dwm = LoadLibraryW(L"dwmapi.dll");
    static CompositionFn fn = dwm ? (CompositionFn)(void*)GetProcAddress(dwm, "DwmIsCompositionEnabled") : NULL;
    if (!dwm || !fn)
        return true;  // no desktop window manager: the system draws layered windows itself
    BOOL enabled = FALSE;
    return SUCCEEDED(fn(&enabled)) && enabled;
}

void CWndShadow::SetCompositionOverride(int composited)
{
    s_nCompositionOverride = composited < 0 ? -1 : composited != 0;
}

void CWndShadow::PlaceBelow(HWND hParent, bool show)
{
    if (m_hWnd == kNoWindow)
        return;
    SetWindowPos(m_hWnd, hParent, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_NOOWNERZORDER | (show ? SWP_SHOWWINDOW : 0));
}

void CWndShadow::Create(HWND hParentWnd)
{
    // Where layered windows are not composed, a shadow would be an opaque
    // rectangle: the window goes without one.
    if (!s_UpdateLayeredWindow || !IsWindow(hParentWnd) || !IsComposited())
        return;
    SetShadow(hParentWnd, this);
    m_hParent = hParentWnd;
    // Owned like its window (by that window's owner), so it can stay below
    // the window; a tool window, so it never has a task-bar button.
    m_hWnd = CreateWindowExW(WS_EX_LAYERED | WS_EX_TRANSPARENT | WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE, kShadowClass,
                             NULL, WS_POPUPWINDOW, CW_USEDEFAULT, 0, 0, 0, GetWindow(hParentWnd, GW_OWNER), NULL,
                             s_hInstance, NULL);
    if (m_hWnd)
        SetWindowLongPtrW(m_hWnd, GWLP_USERDATA, (LONG_PTR)hParentWnd);
    if (!m_hWnd) {
        m_hWnd = kNoWindow;
        SetShadow(hParentWnd, NULL);
        return;
    }
    LONG style = GetWindowLongW(hParentWnd, GWL_STYLE);
    if (!(style & WS_VISIBLE)) {
        m_Status = SS_ENABLED;
    } else if (style & (WS_MAXIMIZE | WS_MINIMIZE)) {
        m_Status = SS_ENABLED | SS_PARENTVISIBLE;
    } else {
        m_Status = SS_ENABLED | SS_VISABLE | SS_PARENTVISIBLE;
        PlaceBelow(hParentWnd, true);
        Update(hParentWnd);
    }
    m_OriParentProc = (WNDPROC)GetWindowLongPtrW(hParentWnd, GWLP_WNDPROC);
    SetWindowLongPtrW(hParentWnd, GWLP_WNDPROC, (LONG_PTR)ParentProc);
}

LRESULT CALLBACK CWndShadow::ParentProc(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    CWndShadow* pThis = FindShadow(hwnd);
    if (!pThis)
        return DefWindowProcW(hwnd, uMsg, wParam, lParam);
    // The previous procedure is read before anything below can remove the
    // map entry or let the window object (and this shadow) go.
    WNDPROC prev = pThis->m_OriParentProc;

    switch (uMsg) {
    case WM_MOVE:
        if (pThis->m_Status & SS_VISABLE) {
            RECT rc;
            GetWindowRect(hwnd, &rc);
            SetWindowPos(pThis->m_hWnd, 0, rc.left + pThis->m_nxOffset - pThis->m_nSize,
                         rc.top + pThis->m_nyOffset - pThis->m_nSize, 0, 0,
                         SWP_NOSIZE | SWP_NOACTIVATE | SWP_NOZORDER);
        }
        break;
    case WM_SIZE:
        if (pThis->m_Status & SS_ENABLED) {
            if (wParam == SIZE_MAXIMIZED || wParam == SIZE_MINIMIZED) {
                ShowWindow(pThis->m_hWnd, SW_HIDE);
                pThis->m_Status &= ~SS_VISABLE;
            } else if (pThis->m_Status & SS_PARENTVISIBLE) {
                if (LOWORD(lParam) > LOWORD(pThis->m_WndSize) || HIWORD(lParam) > HIWORD(pThis->m_WndSize))
                    pThis->m_bUpdate = true;
                else
                    pThis->Update(hwnd);
                if (!(pThis->m_Status & SS_VISABLE)) {
                    pThis->PlaceBelow(hwnd, true);
                    pThis->m_Status |= SS_VISABLE;
                }
            }
            pThis->m_WndSize = lParam;
        }
        break;
    case WM_PAINT:
        if (pThis->m_bUpdate) {
            pThis->Update(hwnd);
            pThis->m_bUpdate = false;
        }
        break;
    case WM_EXITSIZEMOVE:
        if (pThis->m_Status & SS_VISABLE)
            pThis->Update(hwnd);
        break;
    case WM_SHOWWINDOW:
        if (pThis->m_Status & SS_ENABLED) {
            if (!wParam) {
                ShowWindow(pThis->m_hWnd, SW_HIDE);
                pThis->m_Status &= ~(SS_VISABLE | SS_PARENTVISIBLE);
            } else if (!(pThis->m_Status & SS_PARENTVISIBLE)) {
                pThis->m_bUpdate = true;
                pThis->PlaceBelow(hwnd, true);
                pThis->m_Status |= SS_VISABLE | SS_PARENTVISIBLE;
            }
        }
        break;
    case WM_WINDOWPOSCHANGED:
        // The window was raised (activated, or placed over another): the
        // shadow follows it down to just below it.
        if ((pThis->m_Status & SS_VISABLE) && lParam && !(((WINDOWPOS*)lParam)->flags & SWP_NOZORDER))
            pThis->PlaceBelow(hwnd, false);
        break;
    case WM_DWMCOMPOSITIONCHANGED:
        if ((pThis->m_Status & SS_ENABLED) && !IsComposited()) {
            ShowWindow(pThis->m_hWnd, SW_HIDE);
            pThis->m_Status = 0;
        }
        break;
    case WM_DESTROY:
        if (pThis->m_hWnd != kNoWindow)
            DestroyWindow(pThis->m_hWnd);
        pThis->m_hWnd = kNoWindow;
        break;
    case WM_NCDESTROY:
        SetShadow(hwnd, NULL);
        break;
    }
    if (!prev)
        return DefWindowProcW(hwnd, uMsg, wParam, lParam);
    return CallWindowProcW(prev, hwnd, uMsg, wParam, lParam);
}

void CWndShadow::Update(HWND hParent)
{
    if (!s_UpdateLayeredWindow || m_hWnd == kNoWindow)
        return;
    RECT rc;
    if (!GetWindowRect(hParent, &rc))
        return;
    const int nShadWndWid = rc.right - rc.left + m_nSize * 2;
    const int nShadWndHei = rc.bottom - rc.top + m_nSize * 2;
    // A window smaller than the shadow's inward size has no shadow bitmap.
    if (nShadWndWid <= 0 || nShadWndHei <= 0)
        return;

    BITMAPINFO bmi = {};
    bmi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bmi.bmiHeader.biWidth = nShadWndWid;
    bmi.bmiHeader.biHeight = nShadWndHei;
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 32;
    bmi.bmiHeader.biCompression = BI_RGB;
    bmi.bmiHeader.biSizeImage = (DWORD)nShadWndWid * nShadWndHei * 4;
    void* bits = NULL;
    HBITMAP hbitmap = CreateDIBSection(NULL, &bmi, DIB_RGB_COLORS, &bits, NULL, 0);
    if (!hbitmap || !bits) {
        if (hbitmap)
            DeleteObject(hbitmap);
        return;
    }
    ZeroMemory(bits, bmi.bmiHeader.biSizeImage);
    MakeShadow((uint32_t*)bits, hParent, &rc);

    HDC hMemDC = CreateCompatibleDC(NULL);
    HBITMAP hOriBmp = (HBITMAP)SelectObject(hMemDC, hbitmap);
    POINT ptDst = {rc.left + m_nxOffset - m_nSize, rc.top + m_nyOffset - m_nSize};
    POINT ptSrc = {0, 0};
    SIZE wndSize = {nShadWndWid, nShadWndHei};
    BLENDFUNCTION blendPixelFunction = {AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
    MoveWindow(m_hWnd, ptDst.x, ptDst.y, nShadWndWid, nShadWndHei, FALSE);
    s_UpdateLayeredWindow(m_hWnd, NULL, &ptDst, &wndSize, hMemDC, &ptSrc, 0, &blendPixelFunction, ULW_ALPHA);
    // Some systems raise a layered window once it has its first picture, a
    // moment after this: back below, now and once that is done.
    PlaceBelow(hParent, false);
    PostMessageW(m_hWnd, kPlaceBelowMsg, 0, 0);
    SelectObject(hMemDC, hOriBmp);
    DeleteObject(hbitmap);
    DeleteDC(hMemDC);
}

uint32_t CWndShadow::PreMultiply(COLORREF cl, unsigned char nAlpha)
{
    return (uint32_t)(GetRValue(cl) * (unsigned)nAlpha / 255) << 16 |
           (uint32_t)(GetGValue(cl) * (unsigned)nAlpha / 255) << 8 |
           (uint32_t)(GetBValue(cl) * (unsigned)nAlpha / 255);
}

void CWndShadow::MakeShadow(uint32_t* pShadBits, HWND hParent, const RECT* rcParent)
{
    const int nWid = rcParent->right - rcParent->left;
    const int nHei = rcParent->bottom - rcParent->top;
    const int S = m_nSize, K = m_nSharpness, D = m_nDarkness, X = m_nxOffset, Y = m_nyOffset;
    const int nShadWndWid = nWid + S * 2;
    const int nShadWndHei = nHei + S * 2;
    if (nWid <= 0 || nHei <= 0 || nShadWndWid <= 0 || nShadWndHei <= 0)
        return;

    // 1. The parent's shape: its window region (none gives an empty shape).
    HRGN hParentRgn = CreateRectRgn(0, 0, 0, 0);
    int rgnType = GetWindowRgn(hParent, hParentRgn);
    RECT box = {0, 0, 0, 0};
    if (rgnType != ERROR && rgnType != NULLREGION)
        GetRgnBox(hParentRgn, &box);

    // 2. Anchors. The working list has N + 2 rows with empty guard rows at
    // both ends; with a positive size the parent's rows start S rows later.
    const Anchor empty = {nWid, 0};
    const int N = std::max(nHei, nHei + 2 * S);
    std::vector<Anchor> ptAnchors(N + 2, empty), ptAnchorsOri(nHei, empty);
    const int first = 1 + (S > 0 ? S : 0);
    for (int y = 0; y < nHei; ++y) {
        if (y < box.top || y >= box.bottom)
            continue;
        int x0 = std::max(0, (int)box.left), x1 = std::min(nWid, (int)box.right);
        int start = -1;
        for (int x = x0; x < x1; ++x)
            if (PtInRegion(hParentRgn, x, y)) {
                start = x;
                break;
            }
        if (start < 0)
            continue;
        int end = start;
        for (int x = x1 - 1; x >= start; --x)
            if (PtInRegion(hParentRgn, x, y)) {
                end = x + 1;
                break;
            }
        ptAnchorsOri[y].start = start;
        ptAnchorsOri[y].end = end;
        if (first + y < N + 1) {
            ptAnchors[first + y].start = start + S;
            ptAnchors[first + y].end = end + S;
        }
    }
    DeleteObject(hParentRgn);

    // 3. Erosion: one pass per unit of sharpness beyond the size.
    if (K > S) {
        std::vector<Anchor> tmp(N + 2, empty);
        for (int pass = 0; pass < K - S; ++pass) {
            tmp[0] = empty;
            tmp[N + 1] = empty;
            for (int j = 1; j <= N; ++j) {
                tmp[j].start = std::max(ptAnchors[j - 1].start, std::max(ptAnchors[j].start, ptAnchors[j + 1].start)) + 1;
                tmp[j].end = std::min(ptAnchors[j - 1].end, std::min(ptAnchors[j].end, ptAnchors[j + 1].end)) - 1;
            }
            ptAnchors.swap(tmp);
        }
    }

    // 4. Row i of the shadow window is working row i + offset.
    const int offset = (S < 0 ? -S : 0) + 1;
    auto row = [&](int i) -> const Anchor& {
        int k = i + offset;
        return (k >= 0 && k < N + 2) ? ptAnchors[k] : empty;
    };

    // 5. Kernel.
    const int R = std::max(S, K);
    const int C = S > K ? S - K : 0;
    const int kSize = 2 * R + 1;
    std::vector<uint32_t> kernel((size_t)kSize * kSize, 0);
    for (int k = 0; k < kSize; ++k)
        for (int l = 0; l < kSize; ++l) {
            double d = std::sqrt((double)(k - R) * (k - R) + (double)(l - R) * (l - R));
            if (d < C) {
                kernel[(size_t)k * kSize + l] = (uint32_t)D << 24 | PreMultiply(m_Color, (unsigned char)D);
            } else if (d <= R) {
                unsigned char a = (unsigned char)((int)((1.0 - (d - C) / (K + 1)) * D) & 0xFF);
                kernel[(size_t)k * kSize + l] = (uint32_t)a << 24 | PreMultiply(m_Color, a);
            }
        }

    auto stamp = [&](int x, int i) {
        for (int k = 0; k < kSize; ++k) {
            int by = nShadWndHei - i - 1 + R - k;
            if (by < 0 || by >= nShadWndHei)
                continue;
            uint32_t* dst = pShadBits + (size_t)by * nShadWndWid;
            for (int l = 0; l < kSize; ++l) {
                int bx = x - R + l;
                if (bx < 0 || bx >= nShadWndWid)
                    continue;
                uint32_t v = kernel[(size_t)k * kSize + l];
                if (v > dst[bx])
                    dst[bx] = v;
            }
        }
    };

    // 6. Blurred border.
    for (int i = R; i < nShadWndHei - R; ++i) {
        const Anchor& a = row(i);
        if (a.start >= a.end)
            continue;
        const Anchor& up = row(i - 1);
        const Anchor& down = row(i + 1);
        int x = a.start;
        const int leftEnd = std::min(std::max(up.start, down.start) + 1, a.end);
        for (; x < leftEnd; ++x)
            stamp(x, i);
        for (x = std::max(x, std::min(up.end, down.end) - 1); x < a.end; ++x)
            stamp(x, i);
    }

    // 7. Body, with a hole under the window itself.
    const uint32_t centre = (uint32_t)D << 24 | PreMultiply(m_Color, (unsigned char)D);
    auto fillSpan = [&](uint32_t* line, int from, int to, uint32_t v) {
        from = std::max(from, 0);
        to = std::min(to, nShadWndWid);
        for (int x = from; x < to; ++x)
            line[x] = v;
    };
    const int iFrom = std::min(R, std::max(S - Y, 0));
    const int iTo = std::min(nShadWndHei, std::max(nShadWndHei - R, std::min(nHei + S - Y, nHei + 2 * S)));
    for (int i = iFrom; i < iTo; ++i) {
        const Anchor& a = row(i);
        uint32_t* line = pShadBits + (size_t)(nShadWndHei - i - 1) * nShadWndWid;
        const int r = i - S + Y;
        if (r < 0 || r >= nHei) {
            fillSpan(line, a.start, a.end, centre);
            continue;
        }
        const Anchor& o = ptAnchorsOri[r];
        fillSpan(line, a.start, std::min(o.start + S - X, a.end), centre);
        fillSpan(line, std::max(o.start + S - X, 0), std::min(o.end + S - X, nShadWndWid), 0);
        fillSpan(line, std::max(o.end + S - X, a.start), a.end, centre);
    }
}

void CWndShadow::RedrawIfVisible()
{
    if ((m_Status & SS_VISABLE) && m_hParent)
        Update(m_hParent);
}

bool CWndShadow::SetSize(int NewSize)
{
    if (NewSize > 20 || NewSize < -20)
        return false;
    m_nSize = (signed char)NewSize;
    RedrawIfVisible();
    return true;
}

bool CWndShadow::SetSharpness(unsigned int NewSharpness)
{
    if (NewSharpness > 20)
        return false;
    m_nSharpness = (unsigned char)NewSharpness;
    RedrawIfVisible();
    return true;
}

bool CWndShadow::SetDarkness(unsigned int NewDarkness)
{
    if (NewDarkness > 255)
        return false;
    m_nDarkness = (unsigned char)NewDarkness;
    RedrawIfVisible();
    return true;
}

bool CWndShadow::SetPosition(int NewXOffset, int NewYOffset)
{
    if (NewXOffset > 20 || NewXOffset < -20 || NewYOffset > 20 || NewYOffset < -20)
        return false;
    m_nxOffset = (signed char)NewXOffset;
    m_nyOffset = (signed char)NewYOffset;
    RedrawIfVisible();
    return true;
}

bool CWndShadow::SetColor(COLORREF NewColor)
{
    m_Color = NewColor;
    RedrawIfVisible();
    return true;
}
