// The result list "listFile": a skinned list (header, rows, selection,
// keyboard and wheel) whose rows are CListThumbElementUI tiles, laid out one
// per row in list view or several per row in thumbnail view. Built for a
// hundred thousand tiles: tiles are added, shown and resized in batches with
// one layout after each, painting and hit-testing look only at the tiles in
// view, and sorting reorders all tiles in one call.
#pragma once
#include <functional>
#include <vector>

#include "app/DuiLibInc.h"
#include "views/ListThumbElement.h"

class CResultListBodyUI;

class CResultListUI : public DuiLib::CVerticalLayoutUI, public DuiLib::IListUI
{
public:
    CResultListUI();

    LPCTSTR GetClass() const override { return L"ResultListUI"; }
    UINT GetControlFlags() const override { return UIFLAG_TABSTOP; }
    LPVOID GetInterface(LPCTSTR name) override;

    // ---- list owner ----
    DuiLib::TListInfoUI* GetListInfo() override { return &m_ListInfo; }
    int GetCurSel() const override { return m_iCurSel; }
    bool SelectItem(int index, bool takeFocus = false, bool triggerEvent = true) override;
    void DoEvent(DuiLib::TEventUI& event) override;
    bool ExpandItem(int, bool = true) override { return false; }
    int GetExpandedItem() const override { return -1; }
    DuiLib::CListHeaderUI* GetHeader() const override { return m_pHeader; }
    CContainerUI* GetList() const override;
    DuiLib::IListCallbackUI* GetTextCallback() const override { return NULL; }
    void SetTextCallback(DuiLib::IListCallbackUI*) override {}

    // ---- items go to the body ----
    CControlUI* GetItemAt(int index) const override;
    int GetItemIndex(CControlUI* control) const override;
    bool SetItemIndex(CControlUI* control, int index) override;
    int GetCount() const override;
    bool Add(CControlUI* control) override;
    bool AddAt(CControlUI* control, int index) override;
    bool Remove(CControlUI* control, bool doNotDestroy = false) override;
    bool RemoveAt(int index, bool doNotDestroy = false) override;
    void RemoveAll() override;

    void SetPos(RECT rc, bool needInvalidate = true) override;
    void SetAttribute(LPCTSTR name, LPCTSTR value) override;
    SIZE GetScrollPos() const override;
    SIZE GetScrollRange() const override;
    void SetScrollPos(SIZE pos) override;
    void LineUp() override;
    void LineDown() override;
    void PageUp() override;
    void PageDown() override;
    void HomeUp() override;
    void EndDown() override;
    void EnableScrollBar(bool vertical = true, bool horizontal = false) override;
    DuiLib::CScrollBarUI* GetVerticalScrollBar() const override;
    DuiLib::CScrollBarUI* GetHorizontalScrollBar() const override;

    // Scrolls until the item is in view.
    void EnsureVisible(int index);
    void Scroll(int dx, int dy);

    // ---- tiles ----
    // Appends a tile without laying the list out; call EndBatch once after
    // a batch.
    void AppendTile(CListThumbElementUI* tile);
    // One layout and one repaint for everything changed since.
    void EndBatch();
    // Thumbnail view: several tiles per row.
    void SetTileMode(bool tiles);
    bool IsTileMode() const { return m_bTileMode; }
    // Reorders every tile at once by a strict weak order (stable: equal
    // tiles keep their order); the selection follows its tile.
    void SortTiles(const std::function<bool(CListThumbElementUI*, CListThumbElementUI*)>& less);

    // Visible rows: their number, and the n-th counted from 1 (null when n
    // is out of range).
    int CountVisibleRows() const;
    CListThumbElementUI* GetVisibleRowAt(int n) const;
    // The tiles laid out in view order at the last layout.
    const std::vector<CControlUI*>& LaidOutRows() const;

private:
    void RenumberFrom(int first);

    CResultListBodyUI* m_pBody;
    DuiLib::CListHeaderUI* m_pHeader;
    DuiLib::TListInfoUI m_ListInfo;
    int m_iCurSel;
    bool m_bTileMode;
};
