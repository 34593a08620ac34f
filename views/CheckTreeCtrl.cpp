#include "views/CheckTreeCtrl.h"

#include <windowsx.h>

#include "views/ViewMessages.h"

const wchar_t kCheckAllKey[] = L"KORVANTIS_CHECKALL";
const wchar_t kUncheckAllKey[] = L"KORVANTIS_UNCHECKALL";

namespace {

const wchar_t kTreeClass[] = L"DelvaroCheckTree";
// The tree view's own window procedure and extra bytes; ours follow them.
WNDPROC g_pfnTreeProc = NULL;
int g_nTreeExtra = 0;

const int kStateImagesId = 214;

}  // namespace

// ---- node map ----

CTreeNodeMap::CTreeNodeMap(const std::wstring& key, HTREEITEM item, int count, CTreeNodeMap* parent)
    : m_strKey(key), m_hItem(item), m_nCount(count), m_pParent(parent), m_nDepth(parent ? parent->m_nDepth + 1 : 0)
{
}

CTreeNodeMap* CTreeNodeMap::FindChild(const std::wstring& key) const
{
    auto it = m_children.find(key);
    return it == m_children.end() ? NULL : it->second.get();
}

CTreeNodeMap* CTreeNodeMap::InsertOrUpdate(const std::wstring& key, HTREEITEM item, int count)
{
    std::unique_ptr<CTreeNodeMap>& slot = m_children[key];
    if (!slot) {
        slot.reset(new CTreeNodeMap(key, item, count, this));
    } else {
        slot->m_hItem = item;
        slot->m_nCount = count;
    }
    return slot.get();
}

void CTreeNodeMap::SetRoot(const std::wstring& key, HTREEITEM item, int count)
{
    CTreeNodeMap* root = GetRoot();
    root->m_strKey = key;
    root->m_hItem = item;
    root->m_nCount = count;
}

CTreeNodeMap* CTreeNodeMap::GetRoot()
{
    CTreeNodeMap* n = this;
    while (n->m_pParent)
        n = n->m_pParent;
    return n;
}

// ---- the tree ----

CCheckTreeCtrl::CCheckTreeCtrl()
    : m_hWnd(NULL),
      m_hClicked(NULL),
      m_hCurrent(NULL),
      m_hOwner(NULL),
      m_hNormalImages(NULL),
      m_hStateImages(NULL),
      m_nUpdates(0)
{
}

CCheckTreeCtrl::~CCheckTreeCtrl()
{
    DeleteAllItems();
    Destroy();
}

bool CCheckTreeCtrl::RegisterClass()
{
    if (g_pfnTreeProc)
        return true;
    INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_TREEVIEW_CLASSES};
    InitCommonControlsEx(&icc);
    // A superclass of the tree view: its procedure and extra bytes, plus
    // room for the object that runs the window.
    WNDCLASSEXW wc = {sizeof(wc)};
    if (!GetClassInfoExW(NULL, WC_TREEVIEWW, &wc))
        return false;
    g_pfnTreeProc = wc.lpfnWndProc;
    g_nTreeExtra = wc.cbWndExtra;
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = StaticProc;
    wc.cbWndExtra = g_nTreeExtra + (int)sizeof(LONG_PTR);
    wc.hInstance = GetModuleHandleW(NULL);
    wc.lpszClassName = kTreeClass;
    if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        g_pfnTreeProc = NULL;
        return false;
    }
    return true;
}

HWND CCheckTreeCtrl::Create(HWND owner, const RECT& rect, UINT id)
{
    if (m_hWnd || !RegisterClass())
        return m_hWnd;
    m_hOwner = owner;
    const DWORD style = WS_CHILD | TVS_HASBUTTONS | TVS_HASLINES | TVS_LINESATROOT | TVS_SHOWSELALWAYS |
                        TVS_CHECKBOXES | TVS_TRACKSELECT;
    m_hWnd = CreateWindowExW(0, kTreeClass, L"", style, rect.left, rect.top, rect.right - rect.left,
                             rect.bottom - rect.top, owner, (HMENU)(UINT_PTR)id, GetModuleHandleW(NULL), this);
    if (!m_hWnd)
        return NULL;
    InitImageList();
    ::SendMessageW(m_hWnd, TVM_SETEXTENDEDSTYLE, TVS_EX_DOUBLEBUFFER, TVS_EX_DOUBLEBUFFER);
    ::SendMessageW(m_hWnd, TVM_SETTEXTCOLOR, 0, (LPARAM)RGB(0x09, 0x09, 0x09));
    return m_hWnd;
}

void CCheckTreeCtrl::Destroy()
{
    if (m_hWnd && IsWindow(m_hWnd))
        DestroyWindow(m_hWnd);
    m_hWnd = NULL;
    if (m_hNormalImages)
        ImageList_Destroy(m_hNormalImages);
    if (m_hStateImages)
        ImageList_Destroy(m_hStateImages);
    m_hNormalImages = m_hStateImages = NULL;
}

LRESULT CALLBACK CCheckTreeCtrl::StaticProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    CCheckTreeCtrl* self = NULL;
    if (msg == WM_NCCREATE) {
        const CREATESTRUCTW* cs = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        self = static_cast<CCheckTreeCtrl*>(cs->lpCreateParams);
        SetWindowLongPtrW(hwnd, g_nTreeExtra, (LONG_PTR)self);
        if (self)
            self->m_hWnd = hwnd;
    } else {
        self = reinterpret_cast<CCheckTreeCtrl*>(GetWindowLongPtrW(hwnd, g_nTreeExtra));
    }
    if (msg == WM_NCDESTROY)
        SetWindowLongPtrW(hwnd, g_nTreeExtra, 0);
    if (self && msg != WM_NCCREATE && msg != WM_NCDESTROY)
        return self->WindowProc(msg, wParam, lParam);
    return CallWindowProcW(g_pfnTreeProc, hwnd, msg, wParam, lParam);
}

LRESULT CCheckTreeCtrl::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam)
{
    switch (msg) {
    case OCM_NOTIFY: {
        const NMHDR* nm = reinterpret_cast<const NMHDR*>(lParam);
        if (nm && nm->code == (UINT)NM_CLICK)
            OnClick();
        return 0;
    }
    case WM_NCHITTEST: {
        RECT rc;
        GetWindowRect(m_hWnd, &rc);
        if (GET_X_LPARAM(lParam) >= rc.right - 5)
            return HTRIGHT;
        break;
    }
    case WM_SETCURSOR:
        SetCursor(LoadCursor(NULL, LOWORD(lParam) == HTRIGHT ? IDC_SIZEWE : IDC_ARROW));
        return TRUE;
    case WM_NCLBUTTONDOWN:
        if (wParam == HTRIGHT) {
            // The system's sizing loop on the right edge.
            ::SendMessageW(m_hWnd, WM_SYSCOMMAND, SC_SIZE | WMSZ_RIGHT, lParam);
            return 0;
        }
        break;
    case WM_SIZING:
        if (wParam == WMSZ_RIGHT && lParam) {
            RECT* r = reinterpret_cast<RECT*>(lParam);
            const int width = r->right - r->left;
            int clamped = width < kTreeMinWidth ? kTreeMinWidth : width > kTreeMaxWidth ? kTreeMaxWidth : width;
            r->right = r->left + clamped;
            if (m_hOwner)
                ::PostMessageW(m_hOwner, WMU_TreeWidthChanged, (WPARAM)clamped, 0);
            if (clamped != width)
                return 0;
        }
        break;
    }
    return CallWindowProcW(g_pfnTreeProc, m_hWnd, msg, wParam, lParam);
}

void CCheckTreeCtrl::OnClick()
{
    if (!m_hWnd)
        return;
    POINT pt;
    GetCursorPos(&pt);
    ScreenToClient(m_hWnd, &pt);
    TVHITTESTINFO ht = {};
    ht.pt = pt;
    HTREEITEM item = TreeView_HitTest(m_hWnd, &ht);
    if (!item)
        return;
    if (!m_hCurrent)
        m_hCurrent = TreeView_GetRoot(m_hWnd);
    const int s = GetCheckState(item);
    if (ht.flags & (TVHT_ONITEMICON | TVHT_ONITEMLABEL)) {
        m_hCurrent = item;
        TreeView_SelectItem(m_hWnd, item);
        ::PostMessageW(m_hOwner, WMU_CheckAllState, (WPARAM)s, 0);
        ::PostMessageW(m_hOwner, WMU_TreeSelChanged, 0, 0);
    } else if (ht.flags & TVHT_ONITEMSTATEICON) {
        // The control toggles the box itself after this notification.
        m_hClicked = item;
        ::PostMessageW(m_hOwner, WMU_TreeCheckClicked, 0, 0);
        PropagateCheck(item, !s);
        ::PostMessageW(m_hOwner, WMU_TreeCheckChanged, 0, 0);
    }
}

void CCheckTreeCtrl::InitImageList()
{
    const int ids[] = {kStateImagesId};
    m_hStateImages = LoadImageList(ids, 1, 0);
    if (m_hStateImages)
        TreeView_SetImageList(m_hWnd, m_hStateImages, TVSIL_STATE);
}

HIMAGELIST CCheckTreeCtrl::LoadImageList(const int* resourceIds, int count, int grow)
{
    HIMAGELIST list = ImageList_Create(16, 16, ILC_COLOR32 | ILC_MASK, count, grow);
    if (!list)
        return NULL;
    for (int i = 0; i < count; ++i) {
        HBITMAP bmp = (HBITMAP)LoadImageW(GetModuleHandleW(NULL), MAKEINTRESOURCEW(resourceIds[i]), IMAGE_BITMAP, 0,
                                          0, LR_CREATEDIBSECTION);
        if (bmp) {
            ImageList_AddMasked(list, bmp, RGB(255, 255, 255));
            DeleteObject(bmp);
        }
    }
    return list;
}

void CCheckTreeCtrl::DeleteAllItems()
{
    m_pendingLabels.clear();
    m_pRoot.reset();
    m_hClicked = m_hCurrent = NULL;
    if (m_hWnd)
        TreeView_DeleteAllItems(m_hWnd);
}

bool CCheckTreeCtrl::EnsureNodeMap()
{
    if (!m_pRoot)
        m_pRoot.reset(new (std::nothrow) CTreeNodeMap(std::wstring(), NULL, 0, NULL));
    return m_pRoot != NULL;
}

void CCheckTreeCtrl::ResetCurrentItem()
{
    m_hCurrent = m_hWnd ? TreeView_GetRoot(m_hWnd) : NULL;
}

void CCheckTreeCtrl::PostCurrentCheckState()
{
    if (m_hOwner)
        ::PostMessageW(m_hOwner, WMU_CheckAllState, (WPARAM)(m_hCurrent ? GetCheckState(m_hCurrent) : 0), 0);
}

bool CCheckTreeCtrl::IsClickedItemRoot() const
{
    return m_hWnd && m_hClicked && m_hClicked == TreeView_GetRoot(m_hWnd);
}

int CCheckTreeCtrl::GetCheckState(HTREEITEM item) const
{
    if (!m_hWnd || !item)
        return 0;
    const UINT state = TreeView_GetItemState(m_hWnd, item, TVIS_STATEIMAGEMASK);
    const int image = (int)(state >> 12);
    return image > 1 ? 1 : 0;
}

void CCheckTreeCtrl::SetCheckState(HTREEITEM item, int state)
{
    if (m_hWnd && item)
        TreeView_SetItemState(m_hWnd, item, INDEXTOSTATEIMAGEMASK(state ? 2 : 1), TVIS_STATEIMAGEMASK);
}

std::wstring CCheckTreeCtrl::GetItemText(HTREEITEM item) const
{
    wchar_t buf[261] = {};
    TVITEMW tv = {};
    tv.mask = TVIF_TEXT | TVIF_HANDLE;
    tv.hItem = item;
    tv.pszText = buf;
    tv.cchTextMax = 261;
    if (!m_hWnd || !item || !TreeView_GetItem(m_hWnd, &tv))
        return std::wstring();
    buf[260] = 0;
    return buf;
}

void CCheckTreeCtrl::BeginUpdate()
{
    if (m_nUpdates++ == 0 && m_hWnd)
        ::SendMessageW(m_hWnd, WM_SETREDRAW, FALSE, 0);
}

void CCheckTreeCtrl::EndUpdate()
{
    if (m_nUpdates == 0 || --m_nUpdates > 0)
        return;
    for (const auto& p : m_pendingLabels)
        SetItemText(p.first->m_hItem, CountedLabel(p.second, p.first->m_nCount));
    m_pendingLabels.clear();
    if (m_hWnd) {
        ::SendMessageW(m_hWnd, WM_SETREDRAW, TRUE, 0);
        ::InvalidateRect(m_hWnd, NULL, FALSE);
    }
}

void CCheckTreeCtrl::SetCountLabel(CTreeNodeMap* node, const std::wstring& key)
{
    if (!node)
        return;
    if (m_nUpdates > 0)
        m_pendingLabels[node] = key;
    else
        SetItemText(node->m_hItem, CountedLabel(key, node->m_nCount));
}

void CCheckTreeCtrl::SetItemText(HTREEITEM item, const std::wstring& text)
{
    TVITEMW tv = {};
    tv.mask = TVIF_TEXT | TVIF_HANDLE;
    tv.hItem = item;
    tv.pszText = const_cast<wchar_t*>(text.c_str());
    if (m_hWnd && item)
        TreeView_SetItem(m_hWnd, &tv);
}

HTREEITEM CCheckTreeCtrl::InsertItem(const std::wstring& text, int image, HTREEITEM parent, HTREEITEM insertAfter,
                                     int state)
{
    if (!m_hWnd)
        return NULL;
    TVINSERTSTRUCTW is = {};
    is.hParent = parent ? parent : TVI_ROOT;
    is.hInsertAfter = insertAfter;
    is.item.mask = TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE;
    is.item.pszText = const_cast<wchar_t*>(text.c_str());
    is.item.iImage = image;
    is.item.iSelectedImage = image;
    HTREEITEM item = TreeView_InsertItem(m_hWnd, &is);
    if (item)
        SetCheckState(item, state);
    return item;
}

std::wstring CCheckTreeCtrl::CountedLabel(const std::wstring& key, int count)
{
    return key + L"(" + std::to_wstring(count) + L")";
}

std::wstring CCheckTreeCtrl::LabelKey(const std::wstring& label, bool first)
{
    const size_t p = first ? label.find(L'(') : label.rfind(L'(');
    return p == std::wstring::npos ? label : label.substr(0, p);
}

void CCheckTreeCtrl::AnnounceTopItem(HTREEITEM item)
{
    TreeView_Expand(m_hWnd, item, TVE_EXPAND);
    HTREEITEM top = TreeView_GetRoot(m_hWnd);
    m_hClicked = top;
    // The caret marks the node whose rows the list shows: the first
    // top-level node (every row) until the user picks another, also when a
    // second drive arrives, so that the check-all box checks what is shown.
    if (!m_hCurrent || m_hCurrent == top)
        TreeView_SelectItem(m_hWnd, top);
}

void CCheckTreeCtrl::PropagateCheck(HTREEITEM item, int state)
{
    if (!m_hWnd || !item)
        return;
    state = state ? 1 : 0;
    // The subtree, each child's own subtree before the child. The walk keeps
    // its own stack, so a deep folder tree cannot exhaust the thread's.
    struct Frame
    {
        HTREEITEM node;
        HTREEITEM child;
    };
    std::vector<Frame> stack;
    stack.push_back({item, TreeView_GetChild(m_hWnd, item)});
    while (!stack.empty()) {
        Frame& f = stack.back();
        if (!f.child) {
            HTREEITEM done = f.node;
            stack.pop_back();
            if (!stack.empty()) {
                SetCheckState(done, state);
                stack.back().child = TreeView_GetNextSibling(m_hWnd, done);
            }
            continue;
        }
        HTREEITEM c = f.child;
        stack.push_back({c, TreeView_GetChild(m_hWnd, c)});
    }
    // The ancestors: checked only when every other child has the state.
    HTREEITEM cur = item;
    for (HTREEITEM p = TreeView_GetParent(m_hWnd, cur); p; cur = p, p = TreeView_GetParent(m_hWnd, p)) {
        int s = state;
        for (HTREEITEM c = TreeView_GetChild(m_hWnd, p); c && s == state; c = TreeView_GetNextSibling(m_hWnd, c))
            if (c != cur && GetCheckState(c) != state)
                s = 0;
        SetCheckState(p, s);
        state = s;
    }
}

void CCheckTreeCtrl::CollectCheckedLeaves(HTREEITEM item, std::vector<std::wstring>& out)
{
    if (!m_hWnd || !item)
        return;
    std::vector<HTREEITEM> stack(1, item);
    // Depth first, children in order.
    while (!stack.empty()) {
        HTREEITEM n = stack.back();
        stack.pop_back();
        HTREEITEM child = TreeView_GetChild(m_hWnd, n);
        if (!child) {
            if (GetCheckState(n))
                CollectChecked(n, out);
            continue;
        }
        std::vector<HTREEITEM> kids;
        for (HTREEITEM c = child; c; c = TreeView_GetNextSibling(m_hWnd, c))
            kids.push_back(c);
        for (auto it = kids.rbegin(); it != kids.rend(); ++it)
            stack.push_back(*it);
    }
}

bool CCheckTreeCtrl::GetCheckedKeys(std::vector<std::wstring>& out)
{
    out.clear();
    HTREEITEM top = m_hWnd ? TreeView_GetRoot(m_hWnd) : NULL;
    // The first top-level node speaks for everything only when it is the
    // only one: a folder tree of several drives (or a drive and a lost
    // partition's root) answers with the checked leaves of them all.
    if (m_hClicked && m_hClicked == top && !TreeView_GetNextSibling(m_hWnd, top)) {
        out.push_back(GetCheckState(top) ? kCheckAllKey : kUncheckAllKey);
        return true;
    }
    for (HTREEITEM t = top; t; t = TreeView_GetNextSibling(m_hWnd, t))
        CollectCheckedLeaves(t, out);
    if (out.empty())
        out.push_back(kUncheckAllKey);
    return true;
}

void CCheckTreeCtrl::CheckSelectedNode(int state)
{
    if (!m_hWnd)
        return;
    HTREEITEM item = TreeView_GetSelection(m_hWnd);
    if (!item)
        item = TreeView_GetRoot(m_hWnd);
    if (!item)
        return;
    m_hClicked = item;
    // The first top-level node shows every row: checking it from the
    // check-all box takes in every top-level node, so that the tree shows
    // what the list then holds.
    std::vector<HTREEITEM> nodes(1, item);
    if (item == TreeView_GetRoot(m_hWnd))
        for (HTREEITEM t = TreeView_GetNextSibling(m_hWnd, item); t; t = TreeView_GetNextSibling(m_hWnd, t))
            nodes.push_back(t);
    for (HTREEITEM t : nodes) {
        SetCheckState(t, state);
        PropagateCheck(t, state);
    }
}
