#include "views/ListThumbElement.h"

#include <zlib.h>

#include <algorithm>
#include <vector>

#include "core/Helpers.h"
#include "core/Language.h"
#include "core/Settings.h"
#include "engine/DeepScanEngine.h"
#include "engine/FoundItem.h"
#include "engine/ScanDiskDlg.h"
#include "views/PackedDib.h"

namespace {

const DWORD kTextColour = 0xFF090909;
const DWORD kFrameColour = 0xFF909090;
const DWORD kSelectedRowColour = 0xFFE1F9FE;

}  // namespace

// The list's item font (the skin's "itemfont"); the default font without one.
int CListThumbElementUI::TextFont() const
{
    DuiLib::TListInfoUI* info = m_pOwner ? m_pOwner->GetListInfo() : NULL;
    return info ? info->nFont : -1;
}

bool IsThumbnailView()
{
    return g_ConfigSetting.m_nViewMode == 0;
}

CListThumbElementUI::CListThumbElementUI(CPaintManagerUI* manager)
    : m_hCompressed(NULL),
      m_uUncompressedSize(0),
      m_uCompressedSize(0),
      m_rcImage(),
      m_nState(THUMB_NONE),
      m_bChecked(0),
      m_bStored(false),
      m_rcPaintNow()
{
    // The manager is set when the list adds the tile; until then nothing
    // the tile does asks the window to repaint.
    (void)manager;
}

CListThumbElementUI::~CListThumbElementUI()
{
    FreeThumbnail();
}

LPVOID CListThumbElementUI::GetInterface(LPCTSTR name)
{
    if (wcscmp(name, L"ListThumbElement") == 0)
        return this;
    return CListElementUI::GetInterface(name);
}

void CListThumbElementUI::FreeThumbnail()
{
    if (m_hCompressed)
        GlobalFree(m_hCompressed);
    m_hCompressed = NULL;
    m_uUncompressedSize = m_uCompressedSize = 0;
    m_bStored = false;
}

void CListThumbElementUI::SetVisibleQuiet(bool visible)
{
    if (!visible && m_bSelected) {
        m_bSelected = false;
        if (m_pOwner)
            m_pOwner->SelectItem(-1);
    }
    m_bVisible = visible;
}

void CListThumbElementUI::SetSizeQuiet(int width, int height)
{
    m_cxyFixed.cx = width;
    m_cxyFixed.cy = height;
}

void CListThumbElementUI::SetCheck(bool checked)
{
    m_bChecked = checked ? 1 : 0;
    Invalidate();
}

void CListThumbElementUI::SetThumbnail(HBITMAP bitmap, int width, int height)
{
    if (!bitmap)
        return;
    FreeThumbnail();
    m_rcImage.left = m_rcImage.top = 0;
    m_rcImage.right = width;
    m_rcImage.bottom = height;
    HGLOBAL dib = DibFromBitmap(bitmap, NULL);
    DeleteObject(bitmap);
    if (dib) {
        CompressDib(dib);
        GlobalFree(dib);
    }
    Invalidate();
}

bool CListThumbElementUI::CompressDib(HGLOBAL dib)
{
    FreeThumbnail();
    if (!dib)
        return false;
    const SIZE_T size = GlobalSize(dib);
    const void* src = GlobalLock(dib);
    if (!src || size == 0 || size > 0x7FFFFFFF) {
        if (src)
            GlobalUnlock(dib);
        return false;
    }
    std::vector<unsigned char> scratch(compressBound((uLong)size));
    uLongf packed = (uLongf)scratch.size();
    const int z = compress(scratch.data(), &packed, static_cast<const Bytef*>(src), (uLong)size);
    // A picture that does not get smaller is kept as it is.
    const bool stored = z != Z_OK || packed >= size;
    const SIZE_T keep = stored ? size : packed;
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, keep);
    void* to = block ? GlobalLock(block) : NULL;
    if (to) {
        memcpy(to, stored ? src : scratch.data(), keep);
        GlobalUnlock(block);
        m_hCompressed = block;
        m_uUncompressedSize = (uint32_t)size;
        m_uCompressedSize = (uint32_t)keep;
        m_bStored = stored;
    } else if (block) {
        GlobalFree(block);
    }
    GlobalUnlock(dib);
    return m_hCompressed != NULL;
}

HGLOBAL CListThumbElementUI::DecompressDib() const
{
    if (!m_hCompressed || m_uUncompressedSize == 0)
        return NULL;
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, m_uUncompressedSize);
    if (!block)
        return NULL;
    void* to = GlobalLock(block);
    const void* from = GlobalLock(m_hCompressed);
    bool ok = false;
    if (to && from && GlobalSize(m_hCompressed) >= m_uCompressedSize) {
        if (m_bStored) {
            ok = m_uCompressedSize == m_uUncompressedSize;
            if (ok)
                memcpy(to, from, m_uUncompressedSize);
        } else {
            uLongf out = m_uUncompressedSize;
            ok = uncompress(static_cast<Bytef*>(to), &out, static_cast<const Bytef*>(from), m_uCompressedSize) == Z_OK &&
                 out == m_uUncompressedSize;
        }
    }
    if (from)
        GlobalUnlock(m_hCompressed);
    if (to)
        GlobalUnlock(block);
    if (!ok) {
        GlobalFree(block);
        return NULL;
    }
    return block;
}

std::wstring CListThumbElementUI::EntryName() const
{
    if (!GetTag())
        return std::wstring();
    if (ScanKind == SCAN_KIND_DEEP) {
        const DeepScanHit* hit = reinterpret_cast<const DeepScanHit*>(GetTag());
        char name[sizeof(hit->szName) + 1] = {};
        memcpy(name, hit->szName, sizeof(hit->szName));
        return CStringFromAnsi(name);
    }
    return reinterpret_cast<const CFoundItem*>(GetTag())->m_strName;
}

int CListThumbElementUI::EntryPercent() const
{
    if (!GetTag())
        return 0;
    if (ScanKind == SCAN_KIND_DEEP)
        return 90;
    return reinterpret_cast<const CFoundItem*>(GetTag())->m_nPercent;
}

RECT CListThumbElementUI::PreviewArea() const
{
    RECT r = m_rcItem;
    if (IsThumbnailView()) {
        r.bottom = r.top + 110;
    } else {
        int s = 0;
        if (CControlUI* parent = GetParent()) {
            CContainerUI* c = static_cast<CContainerUI*>(parent->GetInterface(DUI_CTR_CONTAINER));
            DuiLib::CScrollBarUI* bar = c ? c->GetVerticalScrollBar() : NULL;
            if (bar && bar->IsVisible())
                s = bar->GetFixedWidth();
        }
        r.left = m_rcItem.right + s - 40;
        r.right = m_rcItem.right + s - 20;
    }
    return r;
}

RECT CListThumbElementUI::CheckBoxArea() const
{
    RECT r;
    if (IsThumbnailView())
        SetRect(&r, m_rcItem.left + 10, m_rcItem.top + 116, m_rcItem.left + 24, m_rcItem.top + 130);
    else
        SetRect(&r, m_rcItem.left + 4, m_rcItem.top + 4, m_rcItem.left + 18, m_rcItem.top + 18);
    return r;
}

void CListThumbElementUI::DoEvent(DuiLib::TEventUI& event)
{
    CListElementUI::DoEvent(event);
    const bool thumbs = IsThumbnailView();
    const RECT preview = PreviewArea();
    const RECT check = CheckBoxArea();
    switch (event.Type) {
    case DuiLib::UIEVENT_MOUSEENTER:
        if (IsEnabled()) {
            m_uButtonState |= UISTATE_HOT;
            Invalidate();
        }
        break;
    case DuiLib::UIEVENT_MOUSELEAVE:
        if (m_uButtonState & UISTATE_HOT) {
            m_uButtonState &= ~UISTATE_HOT;
            Invalidate();
        }
        break;
    case DuiLib::UIEVENT_MOUSEMOVE:
        if (PtInRect(&preview, event.ptMouse)) {
            if (!(thumbs && m_nState == THUMB_NONE))
                ::SetCursor(::LoadCursor(NULL, IDC_HAND));
        } else if (PtInRect(&check, event.ptMouse)) {
            ::SetCursor(::LoadCursor(NULL, IDC_HAND));
        } else {
            ::SetCursor(::LoadCursor(NULL, IDC_ARROW));
        }
        break;
    case DuiLib::UIEVENT_BUTTONUP:
        if (PtInRect(&preview, event.ptMouse)) {
            if (!(thumbs && m_nState == THUMB_NONE) && m_pManager)
                m_pManager->SendNotify(this, L"thumbpreview", event.wParam, event.lParam);
        } else if (PtInRect(&check, event.ptMouse)) {
            SetCheck(!m_bChecked);
            if (m_pManager)
                m_pManager->SendNotify(this, L"thumbcheck", event.wParam, event.lParam);
        }
        break;
    case DuiLib::UIEVENT_BUTTONDOWN:
    case DuiLib::UIEVENT_RBUTTONDOWN:
        if (IsEnabled()) {
            if (m_pManager)
                m_pManager->SendNotify(this, DUI_MSGTYPE_ITEMCLICK);
            Select();
            Invalidate();
        }
        break;
    default:
        break;
    }
}

void CListThumbElementUI::DrawSkinImage(HDC hDC, const RECT& rcPaint, const wchar_t* image)
{
    DuiLib::TDrawInfo info(image);
    DuiLib::CRenderEngine::DrawImage(hDC, m_pManager, m_rcItem, rcPaint, info);
}

bool CListThumbElementUI::DoPaint(HDC hDC, const RECT& rcPaint, CControlUI* pStopControl)
{
    if (!CListElementUI::DoPaint(hDC, rcPaint, pStopControl))
        return false;
    m_rcPaintNow = rcPaint;
    if (IsThumbnailView())
        PaintThumbView(hDC);
    else
        PaintListView(hDC);
    return true;
}

void CListThumbElementUI::PaintThumbnail(HDC hDC, const RECT& area)
{
    if (!m_hCompressed)
        return;
    RECT dest = area;
    const int aw = area.right - area.left, ah = area.bottom - area.top;
    const int iw = m_rcImage.right - m_rcImage.left, ih = m_rcImage.bottom - m_rcImage.top;
    if (aw > iw) {
        dest.left += (aw - iw) / 2;
        dest.right -= (aw - iw) / 2;
    }
    if (ah > ih) {
        dest.top += (ah - ih) / 2;
        dest.bottom -= (ah - ih) / 2;
    }
    HGLOBAL dib = DecompressDib();
    if (!dib)
        return;  // nothing is painted from a block that did not inflate
    RECT source = {0, 0, DibBlockWidth(dib), DibBlockHeight(dib) < 0 ? -DibBlockHeight(dib) : DibBlockHeight(dib)};
    PaintDib(hDC, &dest, dib, &source, NULL, SRCCOPY);
    GlobalFree(dib);
}

void CListThumbElementUI::PaintThumbView(HDC hDC)
{
    const RECT& r = m_rcItem;
    RECT area = {r.left + 5, r.top + 5, r.right - 5, r.top + 105};
    switch (m_nState) {
    case THUMB_NONE: {
        RECT t = area;
        DuiLib::CRenderEngine::DrawText(hDC, m_pManager, t, g_strLangCreatePreviewing.c_str(), kTextColour, TextFont(),
                                        DT_CENTER | DT_VCENTER | DT_SINGLELINE);
        break;
    }
    case THUMB_TEXT: {
        RECT t = {area.left + 5, area.top + 5, area.right - 5, area.bottom - 5};
        DuiLib::CRenderEngine::DrawText(hDC, m_pManager, t, m_sText.GetData(), kTextColour, TextFont(),
                                        DT_WORDBREAK | DT_END_ELLIPSIS | DT_EDITCONTROL);
        break;
    }
    case THUMB_BITMAP:
        PaintThumbnail(hDC, area);
        break;
    case THUMB_MEDIA:
        DrawSkinImage(hDC, m_rcPaintNow,
                      (m_uButtonState & UISTATE_HOT) ? L"file='button/btnPlay.png' source='150,0,300,110' dest='0,0,150,110'"
                                                     : L"file='button/btnPlay.png' source='0,0,150,110' dest='0,0,150,110'");
        break;
    }
    DuiLib::CRenderEngine::DrawRect(hDC, area, 1, kFrameColour);
    DrawSkinImage(hDC, m_rcPaintNow,
                  m_bChecked ? L"file='checkbox/checked_down.png' dest='10,116,24,130'"
                             : L"file='checkbox/check_normal.png' dest='10,116,24,130'");
    RECT name = {r.left + 27, r.top + 115, r.right - 5, r.top + 135};
    DuiLib::CRenderEngine::DrawText(hDC, m_pManager, name, EntryName().c_str(), kTextColour, TextFont(),
                                    DT_SINGLELINE | DT_VCENTER | DT_END_ELLIPSIS);
}

RECT CListThumbElementUI::ColumnTextArea(const DuiLib::TListInfoUI& info, int column, const RECT& row)
{
    RECT rc = {info.rcColumn[column].left, row.top, info.rcColumn[column].right, row.bottom};
    rc.left += info.rcTextPadding.left;
    rc.right -= info.rcTextPadding.right;
    rc.top += info.rcTextPadding.top;
    rc.bottom -= info.rcTextPadding.bottom;
    // The check box and the mark end 34 pixels into the row.
    if (column == 0)
        rc.left = std::max(rc.left, info.rcColumn[0].left + 38);
    return rc;
}

void CListThumbElementUI::PaintListView(HDC hDC)
{
    if (IsSelected())
        DuiLib::CRenderEngine::DrawColor(hDC, m_rcItem, kSelectedRowColour);
    DrawSkinImage(hDC, m_rcPaintNow,
                  m_bChecked ? L"file='checkbox/checked_down.png' dest='4,4,18,18'"
                             : L"file='checkbox/check_normal.png' dest='4,4,18,18'");
    const int percent = EntryPercent();
    DrawSkinImage(hDC, m_rcPaintNow,
                  percent == 100 ? L"file='mask/green.png' dest='24,6,34,16'"
                  : percent != 0 ? L"file='mask/yellow.png' dest='24,6,34,16'"
                                 : L"file='mask/red.png' dest='24,6,34,16'");
    if (!m_pOwner)
        return;
    DuiLib::TListInfoUI* info = m_pOwner->GetListInfo();
    if (!info)
        return;
    std::wstring texts[4];
    texts[0] = EntryName();
    if (GetTag()) {
        if (ScanKind == SCAN_KIND_DEEP) {
            const DeepScanHit* hit = reinterpret_cast<const DeepScanHit*>(GetTag());
            wchar_t size[64] = {};
            FormatSizeText(hit->u64Length, size, sizeof(size));
            texts[1] = size;
        } else {
            const CFoundItem* item = reinterpret_cast<const CFoundItem*>(GetTag());
            texts[1] = item->GetSizeText();
            texts[2] = item->GetCurrentPath();
            texts[3] = item->m_strTime;
        }
    }
    const int columns = info->nColumns < 5 ? info->nColumns : 5;
    for (int i = 0; i < columns; ++i) {
        if (i == 4) {
            RECT col = {info->rcColumn[i].left, m_rcItem.top, info->rcColumn[i].right, m_rcItem.bottom};
            DuiLib::TDrawInfo drawInfo(L"file='icon/preview.png' dest='10, 1, 30, 21'");
            DuiLib::CRenderEngine::DrawImage(hDC, m_pManager, col, m_rcPaintNow, drawInfo);
            continue;
        }
        RECT rc = ColumnTextArea(*info, i, m_rcItem);
        UINT style = DT_SINGLELINE | DT_VCENTER;
        if (i == 0 || i == 2)
            style |= DT_END_ELLIPSIS;
        DuiLib::CRenderEngine::DrawText(hDC, m_pManager, rc, texts[i].c_str(), kTextColour, TextFont(), style);
    }
}
