// The common base of the three result trees (by folder, date and type): a
// native tree view whose every node carries a two-state check box. Checking
// a node checks or unchecks its whole subtree and recomputes its ancestors;
// clicks reach the owning window only as posted messages. The right edge of
// the tree can be dragged to make it 200 to 400 pixels wide.
#pragma once
#include <windows.h>
#include <commctrl.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

// Reflected WM_NOTIFY: the owner sends a tree's notifications back to it.
#ifndef OCM_NOTIFY
#define OCM_NOTIFY (0x2000 + WM_NOTIFY)
#endif

// The markers that stand for "everything" and "nothing" checked.
extern const wchar_t kCheckAllKey[];    // "KORVANTIS_CHECKALL"
extern const wchar_t kUncheckAllKey[];  // "KORVANTIS_UNCHECKALL"

// A mirror of the tree's nodes by key, so that a node is found by its text
// without walking the control.
class CTreeNodeMap
{
public:
    CTreeNodeMap(const std::wstring& key, HTREEITEM item, int count, CTreeNodeMap* parent);

    // The child of that key (ordinal, case-sensitive); null when none.
    CTreeNodeMap* FindChild(const std::wstring& key) const;
    // Adds the child, or gives an existing one the new item and count (it
    // keeps its own children); returns it.
    CTreeNodeMap* InsertOrUpdate(const std::wstring& key, HTREEITEM item, int count);
    void SetRoot(const std::wstring& key, HTREEITEM item, int count);
    CTreeNodeMap* GetRoot();
    const std::map<std::wstring, std::unique_ptr<CTreeNodeMap>>& Children() const { return m_children; }

    std::wstring m_strKey;
    HTREEITEM m_hItem;
    int m_nCount;
    CTreeNodeMap* m_pParent;
    int m_nDepth;

private:
    std::map<std::wstring, std::unique_ptr<CTreeNodeMap>> m_children;
};

class CCheckTreeCtrl
{
public:
    CCheckTreeCtrl();
    virtual ~CCheckTreeCtrl();

    // Creates the tree view as a hidden child of owner (check boxes, lines,
    // buttons, track-select), then its image lists, the double-buffer style
    // and the text colour 0x090909. The owner gets the tree's messages.
    HWND Create(HWND owner, const RECT& rect, UINT id);
    void Destroy();
    HWND GetHwnd() const { return m_hWnd; }

    // Frees the node map and deletes every item; the current and
    // last-clicked nodes are forgotten.
    void DeleteAllItems();
    // Creates the map's root when there is none; false when none exists.
    bool EnsureNodeMap();
    // The first top-level node becomes the current node.
    void ResetCurrentItem();
    void SetClickedItem(HTREEITEM item) { m_hClicked = item; }
    HTREEITEM GetClickedItem() const { return m_hClicked; }
    HTREEITEM GetCurrentItem() const { return m_hCurrent; }
    void PostCurrentCheckState();
    bool IsClickedItemRoot() const;
    // Applies a state to the item's subtree (deepest first) and recomputes
    // its ancestors; the item itself is left alone.
    void PropagateCheck(HTREEITEM item, int state);
    // Calls CollectChecked for every checked leaf of the item's subtree.
    void CollectCheckedLeaves(HTREEITEM item, std::vector<std::wstring>& out);
    // The checked keys: one marker when the last-clicked node is the only
    // top-level node, else the keys of the checked leaves under every
    // top-level node ("KORVANTIS_UNCHECKALL" when there are none).
    bool GetCheckedKeys(std::vector<std::wstring>& out);

    // 0 unchecked, 1 checked.
    int GetCheckState(HTREEITEM item) const;
    void SetCheckState(HTREEITEM item, int state);
    // The item's label (at most 260 characters).
    std::wstring GetItemText(HTREEITEM item) const;
    // The check-all box of the owner: the selected node (or the first
    // top-level node) becomes the last-clicked one and takes the state with
    // its subtree and ancestors; the first top-level node, which shows
    // every row, takes every top-level node with it.
    void CheckSelectedNode(int state);
    // The owner's reflected click; also for tests.
    void OnClick();

    const CTreeNodeMap* GetNodeMap() const { return m_pRoot.get(); }

    // Between BeginUpdate and EndUpdate (the intake's batch) the tree is not
    // redrawn and each count label is set once, at the end, however many
    // files it counted meanwhile.
    void BeginUpdate();
    void EndUpdate();

    // Appends what a checked leaf stands for; false when it gives nothing.
    virtual bool CollectChecked(HTREEITEM leaf, std::vector<std::wstring>& out) = 0;

protected:
    // Installs the state image list (unchecked and checked boxes); the
    // subclasses install their own normal list first.
    virtual void InitImageList();
    // A 16x16 list of bitmap resources with white as the transparent colour.
    static HIMAGELIST LoadImageList(const int* resourceIds, int count, int grow);
    // Inserts an item with text and image under parent after insertAfter
    // (TVI_SORT, TVI_LAST, TVI_FIRST); its check box takes the state.
    HTREEITEM InsertItem(const std::wstring& text, int image, HTREEITEM parent, HTREEITEM insertAfter, int state);
    void SetItemText(HTREEITEM item, const std::wstring& text);
    // The node's label becomes "key(count)" with its current count: now, or
    // at EndUpdate inside an update.
    void SetCountLabel(CTreeNodeMap* node, const std::wstring& key);
    // A label with its count: "%s(%d)".
    static std::wstring CountedLabel(const std::wstring& key, int count);
    // The label cut before its last "(" (or its first, when first is set).
    static std::wstring LabelKey(const std::wstring& label, bool first = false);
    // The top level is new: expanded; the first top-level node becomes the
    // last-clicked one and, unless the user picked another node, selected.
    void AnnounceTopItem(HTREEITEM item);

    virtual LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam);

    HWND m_hWnd;
    HTREEITEM m_hClicked;
    HTREEITEM m_hCurrent;
    HWND m_hOwner;
    std::unique_ptr<CTreeNodeMap> m_pRoot;
    HIMAGELIST m_hNormalImages;
    HIMAGELIST m_hStateImages;

private:
    int m_nUpdates;
    std::map<CTreeNodeMap*, std::wstring> m_pendingLabels;

    CCheckTreeCtrl(const CCheckTreeCtrl&);
    CCheckTreeCtrl& operator=(const CCheckTreeCtrl&);
    static LRESULT CALLBACK StaticProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    static bool RegisterClass();
};

// Minimum and maximum width of a tree dragged by its right edge.
const int kTreeMinWidth = 200;
const int kTreeMaxWidth = 400;
