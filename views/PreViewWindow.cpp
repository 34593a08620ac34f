#include "views/PreViewWindow.h"

#include <algorithm>
namespace Gdiplus {
using std::max;
using std::min;
}
#include <gdiplus.h>

#include "app/WindowMessages.h"
#include "core/Helpers.h"
#include "core/Language.h"
#include "core/Log.h"
#include "core/Settings.h"
#include "engine/DeepScanEngine.h"
#include "engine/FormatPluginRegistry.h"
#include "engine/FoundItem.h"
#include "plugins/common/PluginContract.h"
#include "views/PreviewText.h"

namespace {
const int kLoadingResource = 221;
const int kPluginTextSize = 1922;

// The cursor of a long step on the window's thread.
class CWaitCursor
{
public:
    CWaitCursor() : m_hOld(SetCursor(LoadCursor(NULL, IDC_WAIT))) {}
    ~CWaitCursor() { SetCursor(m_hOld); }

private:
    HCURSOR m_hOld;
};

void DrawBitmapFitted(HDC dc, Gdiplus::Bitmap* bitmap, const RECT& area)
{
    const int w = (int)bitmap->GetWidth(), h = (int)bitmap->GetHeight();
    if (w <= 0 || h <= 0)
        return;
    const RECT to = CPreViewCtrl::FitPicture(area, w, h);
    DebugPrint(L"OnPaint image size %d:%d draw pos %d:%d-%d:%d\n", w, h, (int)to.left, (int)to.top,
               (int)(to.right - to.left), (int)(to.bottom - to.top));
    Gdiplus::Graphics g(dc);
    g.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);
    g.DrawImage(bitmap, Gdiplus::Rect(to.left, to.top, to.right - to.left, to.bottom - to.top), 0, 0, w, h,
                Gdiplus::UnitPixel);
}
}  // namespace

// ---- CPreViewCtrl ----

CPreViewCtrl::CPreViewCtrl(CPreViewWindow* owner) : m_pOwner(owner), m_hFont(NULL), m_bOwnsFont(0)
{
    const wchar_t* face = g_nUICodePage == 936 ? L"\x5FAE\x8F6F\x96C5\x9ED1"        // Microsoft YaHei
                          : g_nUICodePage == 950 ? L"\x5FAE\x8EDF\x6B63\x9ED1\x9AD4"  // Microsoft JhengHei
                                                 : L"tahoma";
    m_hFont = CreateFontW(18, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, 0, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                          DEFAULT_QUALITY, FF_SWISS, face);
    if (m_hFont) {
        m_bOwnsFont = 1;
    } else {
        m_hFont = (HFONT)GetStockObject(DEFAULT_GUI_FONT);
        m_bOwnsFont = 0;
    }
}

CPreViewCtrl::~CPreViewCtrl()
{
    if (m_bOwnsFont && m_hFont)
        DeleteObject(m_hFont);
}

RECT CPreViewCtrl::FitPicture(const RECT& area, int w, int h)
{
    const int W = area.right - area.left, H = area.bottom - area.top;
    RECT to = area;
    if (w <= 0 || h <= 0 || W <= 0 || H <= 0) {
        SetRectEmpty(&to);
        return to;
    }
    if (W >= w && H >= h) {
        to.left = area.left + (W - w) / 2;
        to.top = area.top + (H - h) / 2;
        to.right = to.left + w;
        to.bottom = to.top + h;
        return to;
    }
    const float areaRatio = (float)W / (float)H;
    const float picRatio = (float)w / (float)h;
    DebugPrint(L"OnPaint %d:%d-%f:%f\n", w, h, (double)areaRatio, (double)picRatio);
    if (picRatio < areaRatio) {
        // Height-bound.
        const int width = (int)((double)H * w / h);
        to.left = area.left + (W - width) / 2;
        to.right = to.left + width;
    } else {
        // Width-bound.
        const int height = (int)(W / picRatio);
        to.top = area.top + (H - height) / 2;
        to.bottom = to.top + height;
    }
    return to;
}

SIZE CPreViewCtrl::EstimateSize(SIZE)
{
    SIZE fill = {m_cxyFixed.cx, m_cxyFixed.cy};
    return fill;
}

bool CPreViewCtrl::DoPaint(HDC hDC, const RECT& rcPaint, CControlUI* pStopControl)
{
    RECT clip;
    if (!IntersectRect(&clip, &rcPaint, &m_rcItem))
        return true;
    HBRUSH white = (HBRUSH)GetStockObject(WHITE_BRUSH);
    FillRect(hDC, &m_rcItem, white);
    if (!m_pOwner || !m_pOwner->GetStream())
        return true;
    RECT area = {m_rcItem.left + 4, m_rcItem.top + 4, m_rcItem.right - 4, m_rcItem.bottom - 2};
    const int saved = SaveDC(hDC);
    IntersectClipRect(hDC, clip.left, clip.top, clip.right, clip.bottom);
    if (m_pOwner->IsShowImage()) {
        m_pOwner->ShowLoading(false);
        PaintImage(hDC, area);
    } else if (m_pOwner->IsShowText()) {
        m_pOwner->ShowLoading(false);
        PaintText(hDC, area);
    } else if (m_pOwner->IsShowPlugin()) {
        m_pOwner->ShowLoading(false);
        PaintPlugin(hDC, area);
    } else if (m_pOwner->IsShowHandler()) {
        // The handler draws in its own window; it was created once.
        m_pOwner->ShowHandler();
        m_pOwner->ShowLoading(false);
    } else {
        m_pOwner->ShowLoading(false);
    }
    RestoreDC(hDC, saved);
    return true;
}

void CPreViewCtrl::PaintImage(HDC dc, const RECT& area)
{
    if (Gdiplus::Bitmap* image = m_pOwner->GetImage())
        DrawBitmapFitted(dc, image, area);
}

void CPreViewCtrl::PaintText(HDC dc, const RECT& area)
{
    HGDIOBJ old = SelectObject(dc, m_hFont);
    ::SetTextColor(dc, RGB(0, 0, 0));
    SetBkMode(dc, TRANSPARENT);
    RECT rc = area;
    const std::wstring& text = m_pOwner->GetTextPreview();
    DrawTextW(dc, text.c_str(), (int)text.size(), &rc, DT_LEFT | DT_TOP | DT_NOPREFIX | DT_EXPANDTABS);
    SelectObject(dc, old);
}

void CPreViewCtrl::PaintPlugin(HDC dc, const RECT& area)
{
    if (Gdiplus::Bitmap* image = m_pOwner->GetPluginImage())
        DrawBitmapFitted(dc, image, area);
    const std::wstring& text = m_pOwner->GetPluginText();
    if (!text.empty()) {
        HGDIOBJ old = SelectObject(dc, m_hFont);
        ::SetTextColor(dc, RGB(0, 0, 0));
        SetBkMode(dc, TRANSPARENT);
        RECT rc = area;
        DrawTextW(dc, text.c_str(), (int)text.size(), &rc, DT_LEFT | DT_TOP | DT_NOPREFIX | DT_WORDBREAK | DT_EDITCONTROL);
        SelectObject(dc, old);
    }
}

// ---- CPreViewWindow ----

CPreViewWindow::CPreViewWindow()
    : CSkinDialog(L"PreViewWnd"),
      m_pStream(NULL),
      m_bShowImage(0),
      m_bShowText(0),
      m_bShowHandler(0),
      m_nShowPlugin(0),
      m_bSourceIsDevice(0),
      m_hHandlerWindow(NULL),
      m_hDevice(INVALID_HANDLE_VALUE),
      m_pCarvedHit(NULL),
      m_pPluginRegistry(NULL),
      m_pItem(NULL),
      m_pVolume(NULL),
      m_pExtra(NULL),
      m_nScanKind(0),
      m_pOwnerFrame(NULL),
      m_bLoaded(false),
      m_bTooLarge(false),
      m_bHandlerTried(false),
      m_hrHandler(E_FAIL),
      m_pImage(NULL),
      m_pPluginImage(NULL),
      m_hPluginBitmap(NULL)
{
}

CPreViewWindow::~CPreViewWindow()
{
    // The handler lets go of the stream and of the exchange file first.
    m_HandlerHost.Release();
    m_ExchangeFile.Remove();
    ReleaseContent();
    m_LoadingAnimation.Unload();
}

void CPreViewWindow::ReleaseContent()
{
    delete m_pImage;
    m_pImage = NULL;
    delete m_pPluginImage;
    m_pPluginImage = NULL;
    if (m_hPluginBitmap) {
        DeleteObject(m_hPluginBitmap);
        m_hPluginBitmap = NULL;
    }
    if (m_pStream) {
        m_pStream->Release();
        m_pStream = NULL;
    }
}

void CPreViewWindow::SetFileItem(CFoundItem* item, CVolumeInfo* volume, int scanKind, CFormatPluginRegistry* registry,
                                 IMainFrameServices* frame, const void* extra)
{
    if (!item)
        return;
    m_pItem = item;
    m_pVolume = volume;
    m_nScanKind = scanKind;
    m_pPluginRegistry = registry;
    m_pOwnerFrame = frame;
    m_pExtra = extra;
}

void CPreViewWindow::SetCarvedItem(HANDLE device, const DeepScanHit* hit, int scanKind, CFormatPluginRegistry* registry,
                                   int sourceIsDevice)
{
    if (!hit)
        return;
    m_hDevice = device;
    m_pCarvedHit = hit;
    m_nScanKind = scanKind;
    m_pPluginRegistry = registry;
    m_bSourceIsDevice = sourceIsDevice;
}

void CPreViewWindow::SetPlainFile(const std::wstring& path, CFormatPluginRegistry* registry)
{
    m_strPlainFile = path;
    m_pPluginRegistry = registry;
}

UINT CPreViewWindow::RunModal(HWND owner)
{
    if (!CreateOver(owner))
        return 0;
    CenterWindow();
    return ShowModal();
}

CControlUI* CPreViewWindow::CreateControl(LPCTSTR pstrClass)
{
    if (pstrClass && wcscmp(pstrClass, L"PreViewCtrl") == 0)
        return new CPreViewCtrl(this);
    return NULL;
}

void CPreViewWindow::InitWindow()
{
    WindowImplBaseShw::InitWindow();
    RECT rc;
    GetClientRect(m_hWnd, &rc);
    rc.left += 1;
    rc.right -= 1;
    rc.bottom -= 1;
    rc.top += 35;
    m_hHandlerWindow = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_DISABLED | WS_CLIPCHILDREN, rc.left, rc.top,
                                       rc.right - rc.left, rc.bottom - rc.top, m_hWnd, NULL, GetModuleHandleW(NULL),
                                       NULL);
    if (m_hHandlerWindow)
        ::ShowWindow(m_hHandlerWindow, SW_HIDE);
    if (m_LoadingAnimation.Create(m_hWnd) && m_LoadingAnimation.LoadFromResource(kLoadingResource, L"GIF"))
        m_LoadingAnimation.SetBkColor(0xFFFFFF);
}

LRESULT CPreViewWindow::OnSize(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled)
{
    WindowImplBaseShw::OnSize(uMsg, wParam, lParam, bHandled);
    const int w = LOWORD(lParam), h = HIWORD(lParam);
    if (m_LoadingAnimation.GetWindow() && w && h)
        m_LoadingAnimation.MoveTo(w / 2 - 70, h / 2 - 40, 156, 95);
    return 0;
}

LRESULT CPreViewWindow::OnDestroy(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled)
{
    // The handler draws in the child: it goes before its window does.
    m_HandlerHost.Release();
    if (m_hHandlerWindow) {
        DestroyWindow(m_hHandlerWindow);
        m_hHandlerWindow = NULL;
    }
    m_LoadingAnimation.Destroy();
    bHandled = TRUE;
    return WindowImplBaseShw::OnDestroy(uMsg, wParam, lParam, bHandled);
}

LRESULT CPreViewWindow::HandleCustomMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled)
{
    if (uMsg == WMU_PreviewLoad) {
        LoadPreview();
        bHandled = TRUE;
        return 0;
    }
    return WindowImplBaseShw::HandleCustomMessage(uMsg, wParam, lParam, bHandled);
}

void CPreViewWindow::Notify(TNotifyUI& msg)
{
    if (msg.sType == DUI_MSGTYPE_WINDOWINIT) {
        OnWindowInit();
    } else if (msg.sType == DUI_MSGTYPE_CLICK && msg.pSender) {
        if (msg.pSender->GetName() == L"btnClose")
            Close();
        else if (msg.pSender->GetName() == L"viewBinary")
            SelectPage(PAGE_HEX);
    }
}

void CPreViewWindow::OnWindowInit()
{
    ApplyDialogFrameImage();
    std::wstring name;
    uint64_t size = 0;
    bool known = false;
    if (m_nScanKind == 1 && m_pCarvedHit) {
        for (size_t i = 0; i < sizeof(m_pCarvedHit->szName) && m_pCarvedHit->szName[i]; ++i)
            name += (wchar_t)(unsigned char)m_pCarvedHit->szName[i];
        size = m_pCarvedHit->u64Length;
        known = true;
    } else if (m_pItem) {
        name = m_pItem->m_strName;
        size = m_pItem->m_u64Size;
        known = true;
    } else if (!m_strPlainFile.empty()) {
        GetPlainFileNameAndSize(m_strPlainFile, &name, &size);
        known = true;
    }
    CControlUI* title = FindControl(L"PreviewTitle");
    if (title && known && !name.empty())
        title->SetText(MakePreviewTitle(name, size).c_str());
    ShowLoading(false);
    ::PostMessageW(m_hWnd, WMU_PreviewLoad, 0, 0);
}

void CPreViewWindow::ShowLoading(bool show)
{
    if (!m_LoadingAnimation.GetWindow())
        return;
    if (show) {
        m_LoadingAnimation.Show(true);
        m_LoadingAnimation.Draw();
    } else if (m_LoadingAnimation.IsVisible() || m_LoadingAnimation.HasThread()) {
        m_LoadingAnimation.Stop();
        m_LoadingAnimation.Show(false);
    }
}

void CPreViewWindow::SelectPage(int page)
{
    if (DuiLib::CTabLayoutUI* tab = static_cast<DuiLib::CTabLayoutUI*>(FindControl(L"tabView")))
        tab->SelectItem(page);
    if (m_hHandlerWindow)
        ::ShowWindow(m_hHandlerWindow, page == PAGE_PAINT && m_bShowHandler && m_HandlerHost.IsShown() ? SW_SHOWNA
                                                                                                      : SW_HIDE);
}

int CPreViewWindow::GetPage()
{
    DuiLib::CTabLayoutUI* tab = static_cast<DuiLib::CTabLayoutUI*>(FindControl(L"tabView"));
    return tab ? tab->GetCurSel() : -1;
}

bool CPreViewWindow::DecodeImage()
{
    LARGE_INTEGER zero = {};
    m_pStream->Seek(zero, STREAM_SEEK_SET, NULL);
    Gdiplus::Bitmap* bitmap = Gdiplus::Bitmap::FromStream(m_pStream);
    if (!bitmap)
        return false;
    if (bitmap->GetLastStatus() != Gdiplus::Ok || bitmap->GetWidth() == 0 || bitmap->GetHeight() == 0) {
        delete bitmap;
        return false;
    }
    m_pImage = bitmap;
    return true;
}

bool CPreViewWindow::RunPlugin()
{
    if (!m_pPluginRegistry || m_strExtension.empty())
        return false;
    const std::wstring ext = m_strExtension[0] == L'.' ? m_strExtension.substr(1) : m_strExtension;
    HMODULE module = m_pPluginRegistry->FindByExtension(ext);
    if (!module)
        return false;
    const int32_t* hasText = (const int32_t*)(void*)GetProcAddress(module, DELVARO_EXPORT_HasThumbnail);
    const int32_t* hasBitmap = (const int32_t*)(void*)GetProcAddress(module, DELVARO_EXPORT_HasThumbnailBitmap);
    PFN_GetPreviewText getText =
        hasText && *hasText ? (PFN_GetPreviewText)(void*)GetProcAddress(module, DELVARO_EXPORT_GetPreviewText) : NULL;
    PFN_GetPreviewBitmap getBitmap =
        hasBitmap && *hasBitmap ? (PFN_GetPreviewBitmap)(void*)GetProcAddress(module, DELVARO_EXPORT_GetPreviewBitmap)
                                : NULL;
    m_bPluginReadsText = getText != NULL;
    if (!getText && !getBitmap)
        return false;
    // The stream holds at most the preview cap.
    std::string bytes;
    if (!ReadStreamHead(m_pStream, (size_t)MAX_PREVIEW_SIZE, bytes))
        return false;
    bool success = false;
    if (getBitmap) {
        HBITMAP bitmap = NULL;
        int w = 0, h = 0;
        if (getBitmap(bytes.data(), (int64_t)bytes.size(), &bitmap, &w, &h) && bitmap) {
            Gdiplus::Bitmap* wrapped = Gdiplus::Bitmap::FromHBITMAP(bitmap, NULL);
            if (wrapped && wrapped->GetLastStatus() == Gdiplus::Ok && wrapped->GetWidth() > 0 &&
                wrapped->GetHeight() > 0) {
                m_pPluginImage = wrapped;
                success = true;
            } else {
                delete wrapped;
            }
            DeleteObject(bitmap);
        }
    }
    if (getText) {
        std::string text(kPluginTextSize + 2, '\0');
        // On entry the buffer holds the extension, as the contract says.
        std::string utf8;
        for (wchar_t c : ext)
            if (c < 0x80)
                utf8 += (char)c;
        memcpy(&text[0], utf8.data(), std::min<size_t>(utf8.size(), 20));
        if (getText(bytes.data(), (int64_t)bytes.size(), &text[0], kPluginTextSize)) {
            text[kPluginTextSize - 1] = 0;
            const size_t len = strlen(text.c_str());
            if (len) {
                m_strPluginText = TextToCString(text.data(), len);
                success = true;
            }
        }
    }
    return success;
}

HRESULT CPreViewWindow::ShowHandler()
{
    if (!m_bShowHandler)
        return E_FAIL;
    CControlUI* ctrl = FindControl(L"previewCtrl");
    RECT pos = ctrl ? ctrl->GetPos() : RECT();
    if (m_hHandlerWindow && pos.right > pos.left && pos.bottom > pos.top)
        MoveWindow(m_hHandlerWindow, pos.left, pos.top, pos.right - pos.left, pos.bottom - pos.top, FALSE);
    RECT client = {};
    if (m_hHandlerWindow)
        GetClientRect(m_hHandlerWindow, &client);
    if (m_bHandlerTried) {
        if (m_hrHandler == S_OK)
            m_HandlerHost.SetRect(client);
        return m_hrHandler;
    }
    m_bHandlerTried = true;
    CWaitCursor wait;
    m_hrHandler = m_HandlerHost.ShowPreview(m_hHandlerWindow, client);
    if (m_hrHandler == S_OK) {
        ::ShowWindow(m_hHandlerWindow, SW_SHOWNA);
    } else {
        m_HandlerHost.Release();
        SelectPage(m_hrHandler == E_NOINTERFACE ? PAGE_HEX : PAGE_BROKEN);
    }
    return m_hrHandler;
}

void CPreViewWindow::LoadPreview()
{
    if (m_bLoaded)
        return;
    m_bLoaded = true;
    CWaitCursor wait;
    int page = PAGE_NOT_SUPPORTED;
    PreviewRequest request;
    if (!m_strPlainFile.empty())
        request.InitFile(m_strPlainFile);
    else if (m_nScanKind == 1)
        request.InitCarvedForPreview(this, m_nScanKind);
    else
        request.Init(m_pVolume, m_pExtra, m_pItem, m_nScanKind, m_pOwnerFrame);
    m_strExtension = request.GetExtension();

    if (request.IsImage()) {
        // A picture is read whole: cut at a cap, an intact one would not
        // decode and would be shown as damaged.
        const uint64_t size = EntrySize();
        if (size > MAX_PICTURE_PREVIEW_SIZE) {
            m_pStream = request.OpenStream(HEX_PREVIEW_SIZE);
            ShowTooLarge();
        } else {
            page = PAGE_PAINT;
            m_bShowImage = 1;
            m_pStream = request.OpenStream(std::max(size, MAX_PREVIEW_SIZE));
            if (m_pStream && !DecodeImage()) {
                STATSTG st = {};
                const bool cut = size && SUCCEEDED(m_pStream->Stat(&st, STATFLAG_NONAME)) &&
                                 st.cbSize.QuadPart < size;
                if (cut) {
                    // The reader gave less than the picture (a carved hit's
                    // window): not damaged, only too large for a preview.
                    m_bShowImage = 0;
                    ShowTooLarge();
                    page = PAGE_NOT_SUPPORTED;
                } else {
                    page = PAGE_BROKEN;
                }
            }
        }
    } else if (request.IsText()) {
        page = PAGE_PAINT;
        m_bShowText = 1;
        m_pStream = request.OpenStream(TEXT_PREVIEW_SIZE);
        std::string head;
        if (m_pStream) {
            if (ReadStreamHead(m_pStream, 1024, head))
                m_strText = TextToCString(head.data(), head.size());
            else
                page = PAGE_BROKEN;
        }
    } else if (m_pPluginRegistry && !m_strExtension.empty() &&
               m_pPluginRegistry->FindByExtension(m_strExtension.substr(1))) {
        page = PAGE_PAINT;
        m_pStream = request.OpenStream(MAX_PREVIEW_SIZE);
        m_nShowPlugin = 1;
        if (m_pStream && !RunPlugin()) {
            // A plug-in that reads a file's text and finds none has met
            // damaged bytes; one that only shows a picture the file may
            // embed (a PDF document without one) says nothing of damage.
            if (m_bPluginReadsText) {
                page = PAGE_BROKEN;
            } else {
                m_nShowPlugin = 0;
                page = PAGE_NOT_SUPPORTED;
            }
        }
    } else if (g_ConfigSetting.m_bEnablePreviewer && !m_strExtension.empty() &&
               !PreviewHandlerHost::FindHandlerClsid(m_strExtension.c_str()).empty()) {
        page = PAGE_PAINT;
        m_pStream = request.OpenStream(MAX_PREVIEW_SIZE);
        if (m_pStream) {
            m_HandlerHost.SetStream(m_pStream, m_strExtension.c_str());
            HRESULT hr = m_HandlerHost.Create();
            if (hr == S_OK && !m_HandlerHost.TakesStream()) {
                // Only a file will do: a copy in the temporary folder, never
                // on the disk being scanned.
                m_ExchangeFile.SetStream(m_pStream);
                DWORD written = m_ExchangeFile.Write(m_strExtension, m_ScannedCheck);
                if (written == 0) {
                    m_HandlerHost.SetFilePath(m_ExchangeFile.GetPath().c_str());
                } else {
                    DebugPrint(L"[Delvaro] preview: no exchange file (%u)\n", (unsigned)written);
                    m_HandlerHost.Release();
                    hr = E_ACCESSDENIED;
                }
            }
            if (hr == S_OK)
                m_bShowHandler = 1;
            else
                page = hr == E_NOINTERFACE || hr == E_ACCESSDENIED ? PAGE_HEX : PAGE_BROKEN;
        }
    } else {
        m_pStream = request.OpenStream(HEX_PREVIEW_SIZE);
    }
    // A chosen kind whose bytes cannot be read is a damaged entry.
    if (!m_pStream && page == PAGE_PAINT)
        page = PAGE_BROKEN;
    SelectPage(page);
    if (page == PAGE_NOT_SUPPORTED)
        ShowLoading(false);
    if (m_pStream)
        FillHexView();
    if (CControlUI* ctrl = FindControl(L"previewCtrl"))
        ctrl->Invalidate();
}

namespace {
bool IsFixedPitch(HDC dc, HFONT font)
{
    TEXTMETRICW tm = {};
    HGDIOBJ old = SelectObject(dc, font);
    const BOOL ok = GetTextMetricsW(dc, &tm);
    SelectObject(dc, old);
    // The flag is set for a variable pitch (its name says the opposite).
    return ok && !(tm.tmPitchAndFamily & TMPF_FIXED_PITCH);
}
}  // namespace

void CPreViewWindow::SizeHexColumns()
{
    // Each row of 16 bytes stays on one line and the character column lines
    // up: a font of fixed pitch, and columns as wide as a row in it.
    HDC dc = GetDC(m_hWnd);
    if (!dc)
        return;
    HFONT font = m_PaintManager.GetFont(kHexFont);
    if (!font || !IsFixedPitch(dc, font)) {
        const DuiLib::TFontInfo* info = m_PaintManager.GetFontInfo(kHexFont);
        const int size = info && info->iSize ? info->iSize : 12;
        const wchar_t* faces[] = {L"Courier New", L"Lucida Console", L"Consolas", L"DejaVu Sans Mono",
                                  L"Liberation Mono", L"Courier"};
        for (const wchar_t* face : faces) {
            HFONT candidate = m_PaintManager.AddFont(kHexFont, face, size, false, false, false);
            if (candidate && IsFixedPitch(dc, candidate)) {
                font = candidate;
                break;
            }
        }
        font = m_PaintManager.GetFont(kHexFont);
    }
    SIZE digits = {}, letter = {};
    HGDIOBJ old = SelectObject(dc, font);
    GetTextExtentPoint32W(dc, L"00", 2, &digits);
    GetTextExtentPoint32W(dc, L"W", 1, &letter);
    TEXTMETRICW tm = {};
    GetTextMetricsW(dc, &tm);
    SelectObject(dc, old);
    ReleaseDC(m_hWnd, dc);
    // A fixed pitch: every character as wide as "W".
    const int cell = std::max((int)letter.cx, (int)tm.tmAveCharWidth);
    const int hexWidth = 16 * (digits.cx + kHexGap) + kHexSlack;
    const int charWidth = 16 * cell + kHexSlack;
    SetControlFixedWidth(L"binary", hexWidth);
    SetControlFixedWidth(L"txtData", charWidth);
    // The two columns, their padding (10) and the scroll bar.
    SetControlFixedWidth(L"hexScroll", hexWidth + charWidth + 10 + 20);
}

uint64_t CPreViewWindow::EntrySize() const
{
    if (m_nScanKind == 1 && m_pCarvedHit)
        return m_pCarvedHit->u64Length;
    if (m_pItem)
        return m_pItem->m_u64Size;
    uint64_t size = 0;
    if (!m_strPlainFile.empty() && GetPlainFileNameAndSize(m_strPlainFile, NULL, &size))
        return size;
    return 0;
}

void CPreViewWindow::ShowTooLarge()
{
    m_bTooLarge = true;
    const std::wstring text = GetUIText(L"PreviewTooLarge");
    SetControlText(L"notSupport", text.empty() ? L"This picture is too large to preview. Recover it to see it."
                                               : text.c_str());
}

void CPreViewWindow::FillHexView()
{
    std::string head;
    ReadStreamHead(m_pStream, HEX_PREVIEW_SIZE, head);
    const HexViewText view = BuildHexView((const unsigned char*)head.data(), head.size());
    SizeHexColumns();
    SetControlText(L"binary", view.hex.c_str());
    SetControlText(L"txtData", view.chars.c_str());
    // The columns are as tall as their lines, inside the page's scrolling.
    if (CControlUI* columns = FindControl(L"hexColumns")) {
        const DuiLib::TFontInfo* font = m_PaintManager.GetFontInfo(5);
        const int lineHeight = font ? font->tm.tmHeight + 2 : 16;
        columns->SetFixedHeight(std::max(1, view.lines) * lineHeight + 8);
    }
    char raw[HEX_PREVIEW_SIZE] = {};
    memcpy(raw, head.data(), std::min<size_t>(head.size(), sizeof(raw)));
    raw[HEX_PREVIEW_SIZE - 2] = 0;
    raw[HEX_PREVIEW_SIZE - 1] = 0;
    SetControlText(L"txtString", CStringFromAnsi(raw).c_str());
}
