#include "GuiHarness.h"

#include <commctrl.h>
#include <objbase.h>
#include <zlib.h>

#include <algorithm>
#include <map>
namespace Gdiplus {
using std::max;
using std::min;
}
#include <gdiplus.h>

#include "app/MenuWnd.h"
#include "app/GuideDlg.h"
#include "app/MessageDlg.h"
#include "app/Startup.h"
#include "app/WindowImplBaseShw.h"
#include "app/WndShadow.h"
#include "common/TestPaths.h"
#include "core/Helpers.h"
#include "core/Language.h"
#include "core/Settings.h"
#include "net/Update.h"

namespace gui {
namespace {

std::wstring g_tempRoot;

}  // namespace

void UseLanguage(int codePage)
{
    g_nUICodePage = codePage;
    LoadLanguageStrings();
    const std::wstring skin = GetSkinFolderPath();
    // DuiLib keeps the archive open: it lets go of it before it is replaced.
    CPaintManagerUI::SetResourceZip(L"", true);
    // The test program carries the program's resources, the embedded
    // archive among them.
    PrepareSkinArchive(GetModuleHandleW(NULL), codePage, g_strAppDir, skin);
    CPaintManagerUI::SetResourcePath(skin.c_str());
    CPaintManagerUI::SetResourceZip(L"SKIN.ZIP", true);
}

void InitProcess(int codePage)
{
    static bool done = false;
    if (done) {
        UseLanguage(codePage);
        return;
    }
    done = true;
    CoInitialize(NULL);
    INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_BAR_CLASSES | ICC_TREEVIEW_CLASSES};
    InitCommonControlsEx(&icc);
    CWndShadow::Initialize(GetModuleHandleW(NULL));
    ULONG_PTR token = 0;
    Gdiplus::GdiplusStartupInput input;
    Gdiplus::GdiplusStartup(&token, &input, NULL);

    // A temporary folder of this process: the skin folder lives under it.
    g_tempRoot = testpaths::MakeTempDir(L"gui");
    SetEnvironmentVariableW(L"TMP", g_tempRoot.c_str());
    SetEnvironmentVariableW(L"TEMP", g_tempRoot.c_str());

    InitApplicationPaths();
    g_ConfigSetting.Load();
    g_ConfigSetting.m_strIniPath = g_tempRoot + L"\\Config.ini";
    // An update check that a test sets off reaches no outside server.
    CUpdate::Endpoints local;
    local.newVersion = local.patchVersion = local.patch = local.remoteConfig = local.installer = local.decoder =
        L"http://127.0.0.1:9/update";
    GetUpdater().SetEndpoints(local);
    g_ConfigSetting.m_bShowMode = 0;
    // Every first-use guide counts as shown: no overlay over the windows under
    // test, except where a test clears the mask.
    WriteGuideMask(GUIDE_DISK_LIST | GUIDE_RESULTS | GUIDE_SCANNING);
    CPaintManagerUI::SetInstance(GetModuleHandleW(NULL));
    SetMessageDlgProc(ShowSkinMessageDlg);
    UseLanguage(codePage);
}

void PumpPending()
{
    MSG msg;
    while (PeekMessageW(&msg, NULL, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT)
            continue;  // a frame's destructor posts it; the test goes on
        if (!CPaintManagerUI::TranslateMessage(&msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}

bool PumpUntil(const std::function<bool()>& cond, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    for (;;) {
        PumpPending();
        if (cond())
            return true;
        if (GetTickCount() - start > timeoutMs)
            return cond();
        MsgWaitForMultipleObjects(0, NULL, FALSE, 20, QS_ALLINPUT);
    }
}

CControlUI* Find(CPaintManagerUI& pm, const wchar_t* name)
{
    return pm.GetRoot() ? pm.FindControl(name) : NULL;
}

bool Click(CPaintManagerUI& pm, CControlUI* control)
{
    if (!control)
        return false;
    RECT rc = control->GetPos();
    if (rc.right <= rc.left || rc.bottom <= rc.top)
        return false;
    LPARAM at = MAKELPARAM((rc.left + rc.right) / 2, (rc.top + rc.bottom) / 2);
    HWND hwnd = pm.GetPaintWindow();
    PostMessageW(hwnd, WM_MOUSEMOVE, 0, at);
    PostMessageW(hwnd, WM_LBUTTONDOWN, MK_LBUTTON, at);
    PostMessageW(hwnd, WM_LBUTTONUP, 0, at);
    return true;
}

bool Click(CPaintManagerUI& pm, const wchar_t* name)
{
    return Click(pm, Find(pm, name));
}

void Key(HWND hwnd, UINT vk)
{
    PostMessageW(hwnd, WM_KEYDOWN, vk, 1);
    PostMessageW(hwnd, WM_KEYUP, vk, 0xC0000001);
}

bool IsShown(CControlUI* control)
{
    for (CControlUI* c = control; c; c = c->GetParent())
        if (!c->IsVisible())
            return false;
    return control != NULL;
}

bool IsShown(CPaintManagerUI& pm, const wchar_t* name)
{
    return IsShown(Find(pm, name));
}

namespace {

DuiLib::CContainerUI* AsContainer(CControlUI* c)
{
    return c ? static_cast<DuiLib::CContainerUI*>(c->GetInterface(DUI_CTR_CONTAINER)) : NULL;
}

// Where a container lays out and paints its (non-floating) children.
RECT InnerRect(CControlUI* parent)
{
    RECT rc = parent->GetPos();
    if (DuiLib::CContainerUI* box = AsContainer(parent)) {
        const RECT in = box->GetInset();
        rc.left += in.left;
        rc.top += in.top;
        rc.right -= in.right;
        rc.bottom -= in.bottom;
        if (box->GetVerticalScrollBar() && box->GetVerticalScrollBar()->IsVisible())
            rc.right -= box->GetVerticalScrollBar()->GetFixedWidth();
        if (box->GetHorizontalScrollBar() && box->GetHorizontalScrollBar()->IsVisible())
            rc.bottom -= box->GetHorizontalScrollBar()->GetFixedHeight();
    }
    return rc;
}

bool Inside(const RECT& inner, const RECT& outer)
{
    return inner.left >= outer.left && inner.top >= outer.top && inner.right <= outer.right &&
           inner.bottom <= outer.bottom;
}

std::wstring RectText(const RECT& r)
{
    return L"(" + std::to_wstring(r.left) + L"," + std::to_wstring(r.top) + L"," + std::to_wstring(r.right) + L"," +
           std::to_wstring(r.bottom) + L")";
}

std::wstring Describe(CControlUI* c)
{
    if (!c)
        return L"nothing";
    std::wstring d = c->GetName().IsEmpty() ? std::wstring(L"a ") + c->GetClass() : std::wstring(c->GetName());
    return d + L" " + RectText(c->GetPos());
}

// c paints something over rc: it is shown there and is a leaf control, has
// a background of its own, or holds something that paints there.
bool PaintsOver(CControlUI* c, const RECT& rc)
{
    RECT meet;
    const RECT pos = c->GetPos();
    if (!c->IsVisible() || !IntersectRect(&meet, &pos, &rc))
        return false;
    DuiLib::CContainerUI* box = AsContainer(c);
    if (!box || c->GetBkColor() != 0 || (c->GetBkImage() && *c->GetBkImage()))
        return true;
    for (int i = 0; i < box->GetCount(); ++i)
        if (PaintsOver(box->GetItemAt(i), rc))
            return true;
    return false;
}

void CollectClickable(CControlUI* c, std::vector<CControlUI*>& out)
{
    if (!c || !c->IsVisible())
        return;
    if (c->GetInterface(DUI_CTR_BUTTON) || c->GetInterface(DUI_CTR_EDIT) || c->GetInterface(DUI_CTR_LIST) ||
        c->GetInterface(DUI_CTR_LISTHEADERITEM))
        out.push_back(c);
    // The rows of a list scroll: the list stands for them.
    if (c->GetInterface(DUI_CTR_LIST))
        return;
    if (DuiLib::CContainerUI* box = AsContainer(c))
        for (int i = 0; i < box->GetCount(); ++i)
            CollectClickable(box->GetItemAt(i), out);
}

}  // namespace

std::wstring Unreachable(CPaintManagerUI& pm, CControlUI* control)
{
    if (!control)
        return L"missing";
    const std::wstring name = Describe(control);
    if (!IsShown(control))
        return name + L" is hidden";
    const RECT rc = control->GetPos();
    if (rc.right <= rc.left || rc.bottom <= rc.top)
        return name + L" has no area";
    HWND hwnd = pm.GetPaintWindow();
    RECT client = {};
    GetClientRect(hwnd, &client);
    if (!Inside(rc, client))
        return name + L" reaches out of the window's client area " + RectText(client);
    for (CControlUI *child = control, *parent = control->GetParent(); parent;
         child = parent, parent = parent->GetParent()) {
        const RECT room = child->IsFloat() ? parent->GetPos() : InnerRect(parent);
        if (!Inside(rc, room))
            return name + L" reaches out of " + Describe(parent) + L", whose room is " + RectText(room);
        // What the parent paints after the child lies over it.
        DuiLib::CContainerUI* box = AsContainer(parent);
        for (int i = box ? box->GetItemIndex(child) + 1 : 0; box && i > 0 && i < box->GetCount(); ++i)
            if (PaintsOver(box->GetItemAt(i), rc))
                return name + L" lies under " + Describe(box->GetItemAt(i));
    }
    POINT mid = {(rc.left + rc.right) / 2, (rc.top + rc.bottom) / 2};
    CControlUI* hit = pm.FindControl(mid);
    bool ours = false;
    for (CControlUI* h = hit; h && !ours; h = h->GetParent())
        ours = h == control;
    if (!ours)
        return name + L": a click at its centre reaches " + Describe(hit);
    POINT screen = mid;
    ClientToScreen(hwnd, &screen);
    HWND there = WindowFromPoint(screen);
    if (there != hwnd) {
        // Its own native window (an edit's, while it has the focus).
        RECT wr = {};
        bool part = there && GetParent(there) == hwnd && GetWindowRect(there, &wr);
        if (part) {
            MapWindowPoints(NULL, hwnd, (POINT*)&wr, 2);
            part = Inside(wr, rc);
        }
        if (!part) {
            wchar_t cls[64] = {};
            if (there)
                GetClassNameW(there, cls, 63);
            return name + L": at its centre the screen shows the window " + cls;
        }
    }
    return std::wstring();
}

std::wstring Unreachable(CPaintManagerUI& pm, const wchar_t* name)
{
    CControlUI* c = Find(pm, name);
    return c ? Unreachable(pm, c) : std::wstring(name) + L" is missing";
}

std::vector<CControlUI*> ClickableControls(CPaintManagerUI& pm)
{
    std::vector<CControlUI*> out;
    CollectClickable(pm.GetRoot(), out);
    return out;
}

bool IsSelected(CPaintManagerUI& pm, const wchar_t* name)
{
    CControlUI* c = Find(pm, name);
    DuiLib::COptionUI* o = c ? static_cast<DuiLib::COptionUI*>(c->GetInterface(DUI_CTR_OPTION)) : NULL;
    return o && o->IsSelected();
}

namespace {

// The pointer to a screen point through the input queue: the absolute
// coordinates are 65536ths of the primary screen, rounded up so that the
// system's rounding down lands on the pixel.
bool SendPointerTo(POINT screen)
{
    const LONG w = GetSystemMetrics(SM_CXSCREEN), h = GetSystemMetrics(SM_CYSCREEN);
    if (w <= 0 || h <= 0 || screen.x < 0 || screen.y < 0 || screen.x >= w || screen.y >= h)
        return false;
    INPUT in = {};
    in.type = INPUT_MOUSE;
    in.mi.dx = (LONG)(((LONGLONG)screen.x * 65536 + w - 1) / w);
    in.mi.dy = (LONG)(((LONGLONG)screen.y * 65536 + h - 1) / h);
    in.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    if (SendInput(1, &in, sizeof(in)) != 1)
        return false;
    POINT now = {};
    PumpUntil([&] { return GetCursorPos(&now) && now.x == screen.x && now.y == screen.y; }, 2000);
    PumpPending();
    return now.x == screen.x && now.y == screen.y;
}

BOOL CALLBACK FindTooltipProc(HWND hwnd, LPARAM lp)
{
    wchar_t cls[64] = {};
    GetClassNameW(hwnd, cls, 63);
    if (IsWindowVisible(hwnd) && _wcsicmp(cls, TOOLTIPS_CLASSW) == 0) {
        *(HWND*)lp = hwnd;
        return FALSE;
    }
    return TRUE;
}

}  // namespace

bool MovePointer(HWND hwnd, POINT client)
{
    POINT screen = client;
    return ClientToScreen(hwnd, &screen) && SendPointerTo(screen);
}

bool MovePointer(HWND hwnd, const RECT& client)
{
    if (client.right <= client.left || client.bottom <= client.top)
        return false;
    POINT mid = {(client.left + client.right) / 2, (client.top + client.bottom) / 2};
    return MovePointer(hwnd, mid);
}

bool MovePointer(CPaintManagerUI& pm, CControlUI* control)
{
    return control && MovePointer(pm.GetPaintWindow(), control->GetPos());
}

void PressPointer()
{
    INPUT in[2] = {};
    in[0].type = in[1].type = INPUT_MOUSE;
    in[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    in[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
    SendInput(2, in, sizeof(INPUT));
    // Long enough for the press and the release to be routed and handled.
    Rest(150);
}

bool ClickAsPerson(CPaintManagerUI& pm, CControlUI* control)
{
    if (!MovePointer(pm, control))
        return false;
    PressPointer();
    return true;
}

bool ClickAsPerson(CPaintManagerUI& pm, const wchar_t* name)
{
    return ClickAsPerson(pm, Find(pm, name));
}

void Rest(DWORD ms)
{
    PumpUntil([] { return false; }, ms);
}

HWND ShownTooltip()
{
    HWND found = NULL;
    EnumThreadWindows(GetCurrentThreadId(), FindTooltipProc, (LPARAM)&found);
    return found;
}

HWND RestUntilTooltip(DWORD ms)
{
    PumpUntil([] { return ShownTooltip() != NULL; }, ms);
    return ShownTooltip();
}

namespace {
struct FindArgs
{
    const wchar_t* cls;
    HWND except;
    HWND found;
};
BOOL CALLBACK FindProc(HWND hwnd, LPARAM lp)
{
    FindArgs* a = (FindArgs*)lp;
    wchar_t cls[128] = {};
    GetClassNameW(hwnd, cls, 127);
    if (hwnd != a->except && IsWindowVisible(hwnd) && wcscmp(cls, a->cls) == 0) {
        a->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

std::map<UINT_PTR, std::pair<std::wstring, std::function<void(HWND)>>> g_watchers;

void CALLBACK WatchTimer(HWND, UINT, UINT_PTR id, DWORD)
{
    auto it = g_watchers.find(id);
    if (it == g_watchers.end())
        return;
    HWND dlg = FindThreadWindow(it->second.first.c_str());
    if (!dlg)
        return;
    CPaintManagerUI* pm = ManagerOf(dlg);
    if (pm && !pm->GetRoot())
        return;
    KillTimer(NULL, id);
    std::function<void(HWND)> action = it->second.second;
    g_watchers.erase(it);
    action(dlg);
}
}  // namespace

HWND FindThreadWindow(const wchar_t* cls, HWND except)
{
    FindArgs a = {cls, except, NULL};
    EnumThreadWindows(GetCurrentThreadId(), FindProc, (LPARAM)&a);
    return a.found;
}

void OnDialog(const wchar_t* cls, std::function<void(HWND)> action)
{
    UINT_PTR id = SetTimer(NULL, 0, 30, WatchTimer);
    g_watchers[id] = std::make_pair(std::wstring(cls), action);
}

CPaintManagerUI* ManagerOf(HWND hwnd)
{
    DuiLib::CWindowWnd* w = (DuiLib::CWindowWnd*)GetWindowLongPtrW(hwnd, GWLP_USERDATA);
    if (!w)
        return NULL;
    if (WindowImplBaseShw* s = dynamic_cast<WindowImplBaseShw*>(w))
        return &s->GetPaintManager();
    if (CMenuWndBase* m = dynamic_cast<CMenuWndBase*>(w))
        return &m->GetPaintManager();
    return NULL;
}

namespace
{
// The w x h pixels at (x, y) of `src` as 32-bit BGRX, top row first.
bool CopyPixels(HDC src, int x, int y, int w, int h, DWORD rop, std::vector<uint32_t>& pixels)
{
    HDC mem = CreateCompatibleDC(src);
    BITMAPINFO bi = {};
    bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = -h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    void* bits = NULL;
    HBITMAP bmp = CreateDIBSection(src, &bi, DIB_RGB_COLORS, &bits, NULL, 0);
    HGDIOBJ old = SelectObject(mem, bmp);
    BOOL ok = BitBlt(mem, 0, 0, w, h, src, x, y, rop);
    GdiFlush();
    if (ok && bits)
        pixels.assign((uint32_t*)bits, (uint32_t*)bits + (size_t)w * h);
    SelectObject(mem, old);
    DeleteObject(bmp);
    DeleteDC(mem);
    return ok && bits;
}
}  // namespace

bool CaptureWindow(HWND hwnd, int& w, int& h, std::vector<uint32_t>& pixels)
{
    RECT rc;
    if (!GetWindowRect(hwnd, &rc))
        return false;
    w = rc.right - rc.left;
    h = rc.bottom - rc.top;
    if (w <= 0 || h <= 0)
        return false;
    UpdateWindow(hwnd);
    HDC src = GetWindowDC(hwnd);
    const bool ok = CopyPixels(src, 0, 0, w, h, SRCCOPY, pixels);
    ReleaseDC(hwnd, src);
    return ok;
}

std::string EncodePng(int w, int h, const std::vector<uint32_t>& pixels)
{
    std::string raw;
    raw.reserve((size_t)(w * 3 + 1) * h);
    for (int y = 0; y < h; ++y) {
        raw.push_back(0);
        for (int x = 0; x < w; ++x) {
            uint32_t p = pixels[(size_t)y * w + x];
            raw.push_back((char)((p >> 16) & 0xFF));
            raw.push_back((char)((p >> 8) & 0xFF));
            raw.push_back((char)(p & 0xFF));
        }
    }
    uLongf zlen = compressBound((uLong)raw.size());
    std::string z(zlen, '\0');
    compress2((Bytef*)&z[0], &zlen, (const Bytef*)raw.data(), (uLong)raw.size(), 6);
    z.resize(zlen);
    auto be32 = [](uint32_t v) {
        std::string s(4, '\0');
        s[0] = (char)(v >> 24);
        s[1] = (char)(v >> 16);
        s[2] = (char)(v >> 8);
        s[3] = (char)v;
        return s;
    };
    auto chunk = [&](const char* tag, const std::string& body) {
        std::string t = std::string(tag, 4) + body;
        uLong crc = crc32(0, (const Bytef*)t.data(), (uInt)t.size());
        return be32((uint32_t)body.size()) + t + be32((uint32_t)crc);
    };
    std::string ihdr = be32(w) + be32(h) + std::string("\x08\x02\x00\x00\x00", 5);
    return std::string("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", ihdr) + chunk("IDAT", z) + chunk("IEND", "");
}

namespace {

std::wstring ScreenshotPath(const wchar_t* name)
{
    // The build folder's "screenshots", beside the program folder.
    wchar_t exe[MAX_PATH] = {};
    GetModuleFileNameW(NULL, exe, MAX_PATH);
    std::wstring dir = exe;
    dir = dir.substr(0, dir.find_last_of(L'\\'));
    dir = dir.substr(0, dir.find_last_of(L'\\')) + L"\\screenshots";
    CreateDirectoryW(dir.c_str(), NULL);
    return dir + L"\\" + name + L".png";
}

bool WritePng(const std::wstring& path, int w, int h, const std::vector<uint32_t>& px)
{
    std::string png = EncodePng(w, h, px);
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (f == INVALID_HANDLE_VALUE)
        return false;
    DWORD done = 0;
    WriteFile(f, png.data(), (DWORD)png.size(), &done, NULL);
    CloseHandle(f);
    return done == png.size();
}

bool IsDark(uint32_t p)
{
    return ((p >> 16) & 0xFF) < 48 && ((p >> 8) & 0xFF) < 48 && (p & 0xFF) < 48;
}

bool Near(uint32_t a, uint32_t b)
{
    for (int shift = 0; shift < 24; shift += 8) {
        const int d = (int)((a >> shift) & 0xFF) - (int)((b >> shift) & 0xFF);
        if (d > 24 || d < -24)
            return false;
    }
    return true;
}

}  // namespace

bool CaptureScreen(const RECT& rc, int& w, int& h, std::vector<uint32_t>& pixels)
{
    w = rc.right - rc.left;
    h = rc.bottom - rc.top;
    if (w <= 0 || h <= 0)
        return false;
    HDC src = GetDC(NULL);
    const bool ok = CopyPixels(src, rc.left, rc.top, w, h, SRCCOPY | CAPTUREBLT, pixels);
    ReleaseDC(NULL, src);
    return ok;
}

std::wstring SaveScreenshot(HWND hwnd, const wchar_t* name)
{
    int w = 0, h = 0;
    std::vector<uint32_t> px;
    if (!CaptureWindow(hwnd, w, h, px))
        return std::wstring();
    const std::wstring path = ScreenshotPath(name);
    if (!WritePng(path, w, h, px))
        return std::wstring();
    // What the screen shows there, with a margin for what lies round it.
    RECT rc;
    GetWindowRect(hwnd, &rc);
    InflateRect(&rc, 16, 16);
    RECT screen = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    IntersectRect(&rc, &rc, &screen);
    std::vector<uint32_t> shown;
    if (CaptureScreen(rc, w, h, shown))
        WritePng(ScreenshotPath((std::wstring(name) + L"_screen").c_str()), w, h, shown);
    return path;
}

std::wstring SaveScreenScreenshot(const wchar_t* name)
{
    RECT screen = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    int w = 0, h = 0;
    std::vector<uint32_t> px;
    if (!CaptureScreen(screen, w, h, px))
        return std::wstring();
    const std::wstring path = ScreenshotPath(name);
    return WritePng(path, w, h, px) ? path : std::wstring();
}

bool CompareWithScreen(HWND hwnd, double& differing, double& darkened)
{
    differing = darkened = 1.0;
    PumpPending();
    int w = 0, h = 0, sw = 0, sh = 0;
    std::vector<uint32_t> own, shown;
    if (!CaptureWindow(hwnd, w, h, own))
        return false;
    RECT rc;
    GetWindowRect(hwnd, &rc);
    // Only the part on the screen can be compared.
    RECT screen = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    RECT on;
    if (!IntersectRect(&on, &rc, &screen) || !CaptureScreen(on, sw, sh, shown))
        return false;
    HRGN rgn = CreateRectRgn(0, 0, 0, 0);
    const bool hasRegion = GetWindowRgn(hwnd, rgn) != ERROR;
    size_t total = 0, differ = 0, dark = 0;
    for (int y = 0; y < sh; ++y)
        for (int x = 0; x < sw; ++x) {
            const int wx = x + on.left - rc.left, wy = y + on.top - rc.top;
            if (hasRegion && !PtInRegion(rgn, wx, wy))
                continue;
            const uint32_t a = own[(size_t)wy * w + wx], b = shown[(size_t)y * sw + x];
            ++total;
            if (!Near(a, b))
                ++differ;
            if (IsDark(b) && !IsDark(a))
                ++dark;
        }
    DeleteObject(rgn);
    if (!total)
        return false;
    differing = (double)differ / total;
    darkened = (double)dark / total;
    return true;
}

bool IsUncoveredOnScreen(HWND hwnd, std::wstring* why)
{
    double differing = 1, darkened = 1;
    const bool ok = CompareWithScreen(hwnd, differing, darkened);
    // A caret or a hover can differ in a few pixels; a cover differs in a
    // band round the edges at least.
    const bool uncovered = ok && differing < 0.01 && darkened < 0.002;
    if (why)
        *why = !ok ? L"no capture"
                   : L"differing " + std::to_wstring(differing) + L", darkened " + std::to_wstring(darkened);
    return uncovered;
}

void ImageStats(const std::vector<uint32_t>& pixels, size_t& colours, double& nonBackground)
{
    std::map<uint32_t, size_t> counts;
    for (uint32_t p : pixels)
        ++counts[p & 0xFFFFFF];
    colours = counts.size();
    size_t most = 0;
    for (auto& c : counts)
        most = std::max(most, c.second);
    nonBackground = pixels.empty() ? 0.0 : 1.0 - (double)most / pixels.size();
}

}  // namespace gui
