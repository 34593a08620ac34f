#include "views/ResultListUI.h"

#include <algorithm>

namespace {

DWORD ParseColour(LPCTSTR value)
{
    if (*value == L'#')
        ++value;
    return wcstoul(value, NULL, 16);
}

RECT ParseRect(LPCTSTR value)
{
    RECT r = {};
    wchar_t* end = NULL;
    r.left = wcstol(value, &end, 10);
    if (end && *end == L',')
        r.top = wcstol(end + 1, &end, 10);
    if (end && *end == L',')
        r.right = wcstol(end + 1, &end, 10);
    if (end && *end == L',')
        r.bottom = wcstol(end + 1, &end, 10);
    return r;
}

}  // namespace

// The scrolled area of the list: rows or a grid of tiles, painted and
// hit-tested through the tiles laid out in view order.
class CResultListBodyUI : public CContainerUI
{
public:
    explicit CResultListBodyUI(CResultListUI* owner) : m_pOwner(owner) {}

    LPCTSTR GetClass() const override { return L"ResultListBodyUI"; }

    void SetPos(RECT rc, bool needInvalidate) override
    {
        CControlUI::SetPos(rc, needInvalidate);
        rc = m_rcItem;
        rc.left += m_rcInset.left;
        rc.top += m_rcInset.top;
        rc.right -= m_rcInset.right;
        rc.bottom -= m_rcInset.bottom;
        if (m_pVerticalScrollBar && m_pVerticalScrollBar->IsVisible())
            rc.right -= m_pVerticalScrollBar->GetFixedWidth();
        const int width = rc.right - rc.left;
        int y = rc.top;
        if (m_pVerticalScrollBar && m_pVerticalScrollBar->IsVisible())
            y -= m_pVerticalScrollBar->GetScrollPos();
        const int top = y;
        const bool tiles = m_pOwner->IsTileMode();
        const UINT defaultHeight = m_pOwner->GetListInfo()->uFixedHeight ? m_pOwner->GetListInfo()->uFixedHeight : 22;
        int col = 0, cols = 1, rowHeight = 0;
        m_laidOut.clear();
        for (int i = 0; i < m_items.GetSize(); ++i) {
            CControlUI* c = static_cast<CControlUI*>(m_items[i]);
            if (!c->IsVisible())
                continue;
            const int h = c->GetFixedHeight() > 0 ? c->GetFixedHeight() : (int)defaultHeight;
            RECT r;
            if (tiles) {
                const int w = c->GetFixedWidth() > 0 ? c->GetFixedWidth() : 150;
                if (m_laidOut.empty())
                    cols = std::max(1, width / w);
                if (col == cols) {
                    col = 0;
                    y += rowHeight;
                    rowHeight = 0;
                }
                r.left = rc.left + col * w;
                r.right = r.left + w;
                r.top = y;
                r.bottom = y + h;
                rowHeight = std::max(rowHeight, h);
                ++col;
            } else {
                r.left = rc.left;
                r.right = rc.right;
                r.top = y;
                r.bottom = y + h;
                y += h;
            }
            c->SetPos(r, false);
            m_laidOut.push_back(c);
        }
        if (tiles)
            y += rowHeight;
        ProcessScrollBar(rc, 0, y - top);
    }

    // The first laid-out tile whose bottom is below y (tiles are in
    // increasing position, rows never overlap).
    size_t FirstFrom(int y) const
    {
        size_t lo = 0, hi = m_laidOut.size();
        while (lo < hi) {
            const size_t mid = (lo + hi) / 2;
            if (m_laidOut[mid]->GetPos().bottom <= y)
                lo = mid + 1;
            else
                hi = mid;
        }
        return lo;
    }

    bool DoPaint(HDC hDC, const RECT& rcPaint, CControlUI* pStopControl) override
    {
        RECT rcTemp = {};
        if (!::IntersectRect(&rcTemp, &rcPaint, &m_rcItem))
            return true;
        DuiLib::CRenderClip clip;
        DuiLib::CRenderClip::GenerateClip(hDC, rcTemp, clip);
        CControlUI::DoPaint(hDC, rcPaint, pStopControl);
        RECT rc = m_rcItem;
        if (m_pVerticalScrollBar && m_pVerticalScrollBar->IsVisible())
            rc.right -= m_pVerticalScrollBar->GetFixedWidth();
        if (::IntersectRect(&rcTemp, &rcPaint, &rc)) {
            DuiLib::CRenderClip childClip;
            DuiLib::CRenderClip::GenerateClip(hDC, rcTemp, childClip);
            for (size_t i = FirstFrom(rcTemp.top); i < m_laidOut.size(); ++i) {
                CControlUI* c = m_laidOut[i];
                const RECT& p = c->GetPos();
                if (p.top >= rcTemp.bottom)
                    break;
                if (c == pStopControl)
                    return false;
                RECT hit;
                if (!c->IsVisible() || !::IntersectRect(&hit, &rcTemp, &p))
                    continue;
                if (!c->Paint(hDC, rcPaint, pStopControl))
                    return false;
            }
        }
        if (m_pVerticalScrollBar && m_pVerticalScrollBar->IsVisible()) {
            if (m_pVerticalScrollBar == pStopControl)
                return false;
            if (::IntersectRect(&rcTemp, &rcPaint, &m_pVerticalScrollBar->GetPos()))
                if (!m_pVerticalScrollBar->Paint(hDC, rcPaint, pStopControl))
                    return false;
        }
        return true;
    }

    CControlUI* FindControl(DuiLib::FINDCONTROLPROC proc, LPVOID data, UINT flags) override
    {
        if (!(flags & UIFIND_HITTEST))
            return CContainerUI::FindControl(proc, data, flags);
        // A point: only the tile under it can answer.
        if ((flags & UIFIND_VISIBLE) && !IsVisible())
            return NULL;
        if ((flags & UIFIND_ENABLED) && !IsEnabled())
            return NULL;
        const POINT pt = *static_cast<LPPOINT>(data);
        if (!::PtInRect(&m_rcItem, pt))
            return NULL;
        CControlUI* result = NULL;
        if ((flags & UIFIND_ME_FIRST) && IsMouseEnabled())
            result = proc(this, data);
        if (!result && m_pVerticalScrollBar && IsMouseEnabled())
            result = m_pVerticalScrollBar->FindControl(proc, data, flags);
        if (result)
            return result;
        if (IsMouseChildEnabled()) {
            for (size_t i = FirstFrom(pt.y); i < m_laidOut.size(); ++i) {
                const RECT& p = m_laidOut[i]->GetPos();
                if (p.top > pt.y)
                    break;
                if (::PtInRect(&p, pt) && (result = m_laidOut[i]->FindControl(proc, data, flags)) != NULL)
                    return result;
            }
        }
        if (!(flags & UIFIND_ME_FIRST) && IsMouseEnabled())
            return proc(this, data);
        return NULL;
    }

    void DoEvent(DuiLib::TEventUI& event) override
    {
        if (event.Type == DuiLib::UIEVENT_SCROLLWHEEL || event.Type == DuiLib::UIEVENT_KEYDOWN) {
            m_pOwner->DoEvent(event);
            return;
        }
        CContainerUI::DoEvent(event);
    }

    DuiLib::CDuiPtrArray& Items() { return m_items; }
    std::vector<CControlUI*> m_laidOut;

private:
    CResultListUI* m_pOwner;
};

CResultListUI::CResultListUI() : m_pBody(new CResultListBodyUI(this)), m_pHeader(new DuiLib::CListHeaderUI), m_iCurSel(-1),
                                 m_bTileMode(false)
{
    // The list information holds drawing records with strings of their own:
    // only its plain fields are set here.
    m_ListInfo.nColumns = 0;
    m_ListInfo.uFixedHeight = 0;
    m_ListInfo.nFont = -1;
    m_ListInfo.uTextStyle = DT_VCENTER | DT_SINGLELINE;
    m_ListInfo.dwTextColor = 0xFF000000;
    m_ListInfo.dwBkColor = 0;
    m_ListInfo.bAlternateBk = false;
    m_ListInfo.dwSelectedTextColor = 0xFF000000;
    m_ListInfo.dwSelectedBkColor = 0xFFC1E3FF;
    m_ListInfo.dwHotTextColor = 0xFF000000;
    m_ListInfo.dwHotBkColor = 0xFFE9F5FF;
    m_ListInfo.dwDisabledTextColor = 0xFFCCCCCC;
    m_ListInfo.dwDisabledBkColor = 0xFFFFFFFF;
    m_ListInfo.iHLineSize = 0;
    m_ListInfo.dwHLineColor = 0xFF3C3C3C;
    m_ListInfo.iVLineSize = 0;
    m_ListInfo.dwVLineColor = 0xFF3C3C3C;
    m_ListInfo.bShowHtml = false;
    m_ListInfo.bMultiExpandable = false;
    ZeroMemory(&m_ListInfo.rcTextPadding, sizeof(m_ListInfo.rcTextPadding));
    ZeroMemory(&m_ListInfo.rcColumn, sizeof(m_ListInfo.rcColumn));
    CVerticalLayoutUI::Add(m_pHeader);
    CVerticalLayoutUI::Add(m_pBody);
}

LPVOID CResultListUI::GetInterface(LPCTSTR name)
{
    if (wcscmp(name, L"ResultList") == 0)
        return this;
    if (wcscmp(name, DUI_CTR_ILIST) == 0)
        return static_cast<DuiLib::IListUI*>(this);
    if (wcscmp(name, DUI_CTR_ILISTOWNER) == 0)
        return static_cast<DuiLib::IListOwnerUI*>(this);
    return CVerticalLayoutUI::GetInterface(name);
}

CContainerUI* CResultListUI::GetList() const
{
    return m_pBody;
}

CControlUI* CResultListUI::GetItemAt(int index) const
{
    return m_pBody->GetItemAt(index);
}

int CResultListUI::GetItemIndex(CControlUI* control) const
{
    return m_pBody->GetItemIndex(control);
}

int CResultListUI::GetCount() const
{
    return m_pBody->GetCount();
}

void CResultListUI::RenumberFrom(int first)
{
    DuiLib::CDuiPtrArray& items = m_pBody->Items();
    for (int i = first < 0 ? 0 : first; i < items.GetSize(); ++i) {
        CControlUI* c = static_cast<CControlUI*>(items[i]);
        if (DuiLib::IListItemUI* li = static_cast<DuiLib::IListItemUI*>(c->GetInterface(DUI_CTR_ILISTITEM)))
            li->SetIndex(i);
    }
}

bool CResultListUI::Add(CControlUI* control)
{
    if (!control)
        return false;
    if (control->GetInterface(DUI_CTR_LISTHEADER)) {
        if (m_pHeader != control && m_pHeader->GetCount() == 0) {
            CVerticalLayoutUI::Remove(m_pHeader);
            m_pHeader = static_cast<DuiLib::CListHeaderUI*>(control);
        }
        m_ListInfo.nColumns = std::min(m_pHeader->GetCount(), UILIST_MAX_COLUMNS);
        return CVerticalLayoutUI::AddAt(control, 0);
    }
    if (wcsstr(control->GetClass(), DUI_CTR_LISTHEADERITEM)) {
        const bool ok = m_pHeader->Add(control);
        m_ListInfo.nColumns = std::min(m_pHeader->GetCount(), UILIST_MAX_COLUMNS);
        return ok;
    }
    if (DuiLib::IListItemUI* li = static_cast<DuiLib::IListItemUI*>(control->GetInterface(DUI_CTR_ILISTITEM))) {
        li->SetOwner(this);
        li->SetIndex(GetCount());
    }
    return m_pBody->Add(control);
}

bool CResultListUI::AddAt(CControlUI* control, int index)
{
    if (!control || !m_pBody->AddAt(control, index))
        return false;
    if (DuiLib::IListItemUI* li = static_cast<DuiLib::IListItemUI*>(control->GetInterface(DUI_CTR_ILISTITEM)))
        li->SetOwner(this);
    RenumberFrom(index);
    if (m_iCurSel >= index)
        ++m_iCurSel;
    return true;
}

void CResultListUI::AppendTile(CListThumbElementUI* tile)
{
    if (!tile)
        return;
    tile->SetOwner(this);
    tile->SetIndex(GetCount());
    DuiLib::CDuiPtrArray& items = m_pBody->Items();
    items.Add(tile);
    if (m_pManager)
        m_pManager->InitControls(tile, m_pBody);
    else
        tile->SetManager(NULL, m_pBody, false);
}

void CResultListUI::EndBatch()
{
    m_pBody->NeedUpdate();
}

bool CResultListUI::SetItemIndex(CControlUI* control, int index)
{
    const int from = m_pBody->GetItemIndex(control);
    if (from < 0)
        return false;
    if (from == index)
        return true;
    CControlUI* selected = m_iCurSel >= 0 ? GetItemAt(m_iCurSel) : NULL;
    if (!m_pBody->SetItemIndex(control, index))
        return false;
    RenumberFrom(std::min(from, index));
    if (selected)
        m_iCurSel = m_pBody->GetItemIndex(selected);
    return true;
}

bool CResultListUI::Remove(CControlUI* control, bool doNotDestroy)
{
    const int index = m_pBody->GetItemIndex(control);
    return index >= 0 && RemoveAt(index, doNotDestroy);
}

bool CResultListUI::RemoveAt(int index, bool doNotDestroy)
{
    // No removed tile is looked at again before the next layout.
    m_pBody->m_laidOut.clear();
    if (!m_pBody->RemoveAt(index, doNotDestroy))
        return false;
    RenumberFrom(index);
    if (index == m_iCurSel)
        m_iCurSel = -1;
    else if (index < m_iCurSel)
        --m_iCurSel;
    return true;
}

void CResultListUI::RemoveAll()
{
    m_iCurSel = -1;
    m_pBody->m_laidOut.clear();
    m_pBody->RemoveAll();
}

bool CResultListUI::SelectItem(int index, bool takeFocus, bool triggerEvent)
{
    if (index == m_iCurSel)
        return true;
    const int old = m_iCurSel;
    if (m_iCurSel >= 0) {
        if (CControlUI* c = GetItemAt(m_iCurSel))
            if (DuiLib::IListItemUI* li = static_cast<DuiLib::IListItemUI*>(c->GetInterface(DUI_CTR_ILISTITEM)))
                li->Select(false, triggerEvent);
        m_iCurSel = -1;
    }
    if (index < 0)
        return false;
    CControlUI* c = GetItemAt(index);
    if (!c || !c->IsVisible() || !c->IsEnabled())
        return false;
    DuiLib::IListItemUI* li = static_cast<DuiLib::IListItemUI*>(c->GetInterface(DUI_CTR_ILISTITEM));
    if (!li)
        return false;
    m_iCurSel = index;
    if (!li->Select(true, triggerEvent)) {
        m_iCurSel = -1;
        return false;
    }
    EnsureVisible(m_iCurSel);
    if (takeFocus)
        c->SetFocus();
    if (m_pManager && triggerEvent)
        m_pManager->SendNotify(this, DUI_MSGTYPE_ITEMSELECT, m_iCurSel, old);
    return true;
}

void CResultListUI::DoEvent(DuiLib::TEventUI& event)
{
    if (!IsMouseEnabled() && event.Type > DuiLib::UIEVENT__MOUSEBEGIN && event.Type < DuiLib::UIEVENT__MOUSEEND) {
        if (m_pParent)
            m_pParent->DoEvent(event);
        else
            CVerticalLayoutUI::DoEvent(event);
        return;
    }
    switch (event.Type) {
    case DuiLib::UIEVENT_SETFOCUS:
        m_bFocused = true;
        return;
    case DuiLib::UIEVENT_KILLFOCUS:
        m_bFocused = false;
        return;
    case DuiLib::UIEVENT_KEYDOWN:
        if (IsKeyboardEnabled() && IsEnabled()) {
            switch (event.chKey) {
            case VK_UP:
                SelectItem(m_pBody->FindSelectable(m_iCurSel - 1, false), true);
                return;
            case VK_DOWN:
                SelectItem(m_pBody->FindSelectable(m_iCurSel + 1, true), true);
                return;
            case VK_PRIOR:
                PageUp();
                return;
            case VK_NEXT:
                PageDown();
                return;
            case VK_HOME:
                SelectItem(m_pBody->FindSelectable(0, false), true);
                return;
            case VK_END:
                SelectItem(m_pBody->FindSelectable(GetCount() - 1, true), true);
                return;
            case VK_RETURN:
                if (m_iCurSel != -1)
                    if (CControlUI* c = GetItemAt(m_iCurSel))
                        c->Activate();
                return;
            }
        }
        break;
    case DuiLib::UIEVENT_SCROLLWHEEL:
        if (IsEnabled()) {
            if (LOWORD(event.wParam) == SB_LINEUP)
                LineUp();
            else if (LOWORD(event.wParam) == SB_LINEDOWN)
                LineDown();
            return;
        }
        break;
    default:
        break;
    }
    CVerticalLayoutUI::DoEvent(event);
}

void CResultListUI::SetPos(RECT rc, bool needInvalidate)
{
    CVerticalLayoutUI::SetPos(rc, needInvalidate);
    m_ListInfo.nColumns = std::min(m_pHeader->GetCount(), UILIST_MAX_COLUMNS);
    for (int i = 0; i < m_ListInfo.nColumns; ++i)
        m_ListInfo.rcColumn[i] = m_pHeader->GetItemAt(i)->GetPos();
}

void CResultListUI::SetAttribute(LPCTSTR name, LPCTSTR value)
{
    if (wcscmp(name, L"header") == 0)
        m_pHeader->SetVisible(wcscmp(value, L"hidden") != 0);
    else if (wcscmp(name, L"headerbkimage") == 0)
        m_pHeader->SetBkImage(value);
    else if (wcscmp(name, L"itemfont") == 0)
        m_ListInfo.nFont = _wtoi(value);
    else if (wcscmp(name, L"itemheight") == 0)
        m_ListInfo.uFixedHeight = (UINT)_wtoi(value);
    else if (wcscmp(name, L"itemtextpadding") == 0)
        m_ListInfo.rcTextPadding = ParseRect(value);
    else if (wcscmp(name, L"itemtextcolor") == 0)
        m_ListInfo.dwTextColor = ParseColour(value);
    else if (wcscmp(name, L"itembkcolor") == 0)
        m_ListInfo.dwBkColor = ParseColour(value);
    else if (wcscmp(name, L"itemselectedbkcolor") == 0)
        m_ListInfo.dwSelectedBkColor = ParseColour(value);
    else if (wcscmp(name, L"itemhotbkcolor") == 0)
        m_ListInfo.dwHotBkColor = ParseColour(value);
    else
        CVerticalLayoutUI::SetAttribute(name, value);
}

SIZE CResultListUI::GetScrollPos() const
{
    return m_pBody->GetScrollPos();
}

SIZE CResultListUI::GetScrollRange() const
{
    return m_pBody->GetScrollRange();
}

void CResultListUI::SetScrollPos(SIZE pos)
{
    m_pBody->SetScrollPos(pos);
}

void CResultListUI::LineUp()
{
    m_pBody->LineUp();
}

void CResultListUI::LineDown()
{
    m_pBody->LineDown();
}

void CResultListUI::PageUp()
{
    m_pBody->PageUp();
}

void CResultListUI::PageDown()
{
    m_pBody->PageDown();
}

void CResultListUI::HomeUp()
{
    m_pBody->HomeUp();
}

void CResultListUI::EndDown()
{
    m_pBody->EndDown();
}

void CResultListUI::EnableScrollBar(bool vertical, bool horizontal)
{
    m_pBody->EnableScrollBar(vertical, horizontal);
}

DuiLib::CScrollBarUI* CResultListUI::GetVerticalScrollBar() const
{
    return m_pBody->GetVerticalScrollBar();
}

DuiLib::CScrollBarUI* CResultListUI::GetHorizontalScrollBar() const
{
    return m_pBody->GetHorizontalScrollBar();
}

void CResultListUI::EnsureVisible(int index)
{
    CControlUI* c = GetItemAt(index);
    if (!c || !c->IsVisible())
        return;
    RECT item = c->GetPos();
    RECT list = m_pBody->GetPos();
    if (DuiLib::CScrollBarUI* bar = m_pBody->GetVerticalScrollBar())
        if (bar->IsVisible())
            list.right -= bar->GetFixedWidth();
    if (item.top >= list.top && item.bottom <= list.bottom)
        return;
    int dy = item.top < list.top ? item.top - list.top : item.bottom - list.bottom;
    Scroll(0, dy);
}

void CResultListUI::Scroll(int dx, int dy)
{
    if (dx == 0 && dy == 0)
        return;
    SIZE pos = m_pBody->GetScrollPos();
    pos.cx += dx;
    pos.cy += dy;
    m_pBody->SetScrollPos(pos);
}

void CResultListUI::SetTileMode(bool tiles)
{
    m_bTileMode = tiles;
    m_pHeader->SetVisible(!tiles);
    NeedUpdate();
}

void CResultListUI::SortTiles(const std::function<bool(CListThumbElementUI*, CListThumbElementUI*)>& less)
{
    DuiLib::CDuiPtrArray& items = m_pBody->Items();
    const int n = items.GetSize();
    if (n < 2)
        return;
    CControlUI* selected = m_iCurSel >= 0 ? GetItemAt(m_iCurSel) : NULL;
    std::vector<CListThumbElementUI*> tiles;
    std::vector<CControlUI*> others;
    tiles.reserve(n);
    for (int i = 0; i < n; ++i) {
        CControlUI* c = static_cast<CControlUI*>(items[i]);
        if (CListThumbElementUI* t = static_cast<CListThumbElementUI*>(c->GetInterface(L"ListThumbElement")))
            tiles.push_back(t);
        else
            others.push_back(c);
    }
    std::stable_sort(tiles.begin(), tiles.end(), less);
    void** data = reinterpret_cast<void**>(items.GetData());
    int k = 0;
    for (CListThumbElementUI* t : tiles)
        data[k++] = t;
    for (CControlUI* c : others)
        data[k++] = c;
    RenumberFrom(0);
    if (selected)
        m_iCurSel = m_pBody->GetItemIndex(selected);
    m_pBody->NeedUpdate();
}

int CResultListUI::CountVisibleRows() const
{
    int n = 0;
    const int count = m_pBody->GetCount();
    for (int i = 0; i < count; ++i)
        if (m_pBody->GetItemAt(i)->IsVisible())
            ++n;
    return n;
}

CListThumbElementUI* CResultListUI::GetVisibleRowAt(int n) const
{
    if (n <= 0)
        return NULL;
    const int count = m_pBody->GetCount();
    for (int i = 0; i < count; ++i) {
        CControlUI* c = m_pBody->GetItemAt(i);
        if (c->IsVisible() && --n == 0)
            return static_cast<CListThumbElementUI*>(c->GetInterface(L"ListThumbElement"));
    }
    return NULL;
}

const std::vector<CControlUI*>& CResultListUI::LaidOutRows() const
{
    return m_pBody->m_laidOut;
}
