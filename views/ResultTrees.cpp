#include "views/ResultTrees.h"

#include "core/Language.h"
#include "views/FileCategory.h"

namespace {

// Labels and keys are cut to this many characters.
const size_t kMaxLabel = 260;

std::wstring Bounded(const std::wstring& text)
{
    return text.size() > kMaxLabel ? text.substr(0, kMaxLabel) : text;
}

std::wstring UpperAscii(const std::wstring& text)
{
    std::wstring out(text);
    for (wchar_t& c : out)
        if (c >= L'a' && c <= L'z')
            c = (wchar_t)(c - L'a' + L'A');
    return out;
}

bool IsDriveLabel(const std::wstring& text)
{
    return text.size() == 2 && text[1] == L':' &&
           ((text[0] >= L'a' && text[0] <= L'z') || (text[0] >= L'A' && text[0] <= L'Z'));
}

}  // namespace

const wchar_t kPartitionRootLabel[] = L"\\";

size_t RootLength(const std::wstring& path)
{
    if (path.size() >= 3 && path[1] == L':' && path[2] == L'\\')
        return 3;
    return !path.empty() && path[0] == L'\\' ? 1 : 0;
}

// ---- folder tree ----

void CPathTreeCtrl::InitImageList()
{
    const int ids[] = {203, 202};  // a drive, a folder
    m_hNormalImages = LoadImageList(ids, 2, 0);
    if (m_hNormalImages)
        TreeView_SetImageList(m_hWnd, m_hNormalImages, TVSIL_NORMAL);
    CCheckTreeCtrl::InitImageList();
}

bool CPathTreeCtrl::AddFile(const std::wstring& folderPath, int state)
{
    if (!EnsureNodeMap())
        return false;
    CTreeNodeMap* node = m_pRoot.get();
    HTREEITEM parent = TVI_ROOT;
    HTREEITEM newTop = NULL;
    bool first = true;
    size_t pos = 0;
    // A path without a drive ("\Docs\", a lost partition's) starts at the
    // partition's root folder: that is its top-level node, labelled "\".
    if (!folderPath.empty() && folderPath[0] == L'\\') {
        if (CTreeNodeMap* top = node->FindChild(kPartitionRootLabel)) {
            node = top;
            parent = top->m_hItem;
        } else {
            HTREEITEM item = InsertItem(kPartitionRootLabel, 0, TVI_ROOT, TVI_SORT, state);
            if (!item)
                return true;
            newTop = item;
            node = node->InsertOrUpdate(kPartitionRootLabel, item, 1);
            parent = item;
        }
        first = false;
        pos = 1;
    }
    while (pos < folderPath.size()) {
        size_t end = folderPath.find(L'\\', pos);
        if (end == std::wstring::npos)
            end = folderPath.size();
        std::wstring comp = Bounded(folderPath.substr(pos, end - pos));
        pos = end + 1;
        if (comp.empty())
            continue;
        // A drive is compared as it is shown, so "c:" finds "C:"; folders
        // keep the case the path gives them.
        const bool drive = first && IsDriveLabel(comp);
        if (drive)
            comp = UpperAscii(comp);
        if (CTreeNodeMap* child = node->FindChild(comp)) {
            node = child;
            parent = child->m_hItem;
        } else {
            HTREEITEM item = InsertItem(comp, first ? 0 : 1, parent, TVI_SORT, state);
            if (!item)
                break;
            if (!newTop && drive)
                newTop = item;
            node = node->InsertOrUpdate(comp, item, 1);
            parent = item;
        }
        first = false;
    }
    // Files directly in a root folder ("C:\", or a partition's "\") are
    // grouped under the root-folder node, the first child of their top node.
    CTreeNodeMap* top = NULL;
    if (folderPath.size() == 3 && IsDriveLabel(folderPath.substr(0, 2)) && folderPath[2] == L'\\')
        top = m_pRoot->FindChild(UpperAscii(folderPath.substr(0, 2)));
    else if (folderPath == kPartitionRootLabel)
        top = m_pRoot->FindChild(kPartitionRootLabel);
    if (top && !top->FindChild(g_strLangRootDir)) {
        HTREEITEM item = InsertItem(g_strLangRootDir, 1, top->m_hItem, TVI_FIRST, state);
        if (item)
            top->InsertOrUpdate(g_strLangRootDir, item, 1);
    }
    if (newTop)
        AnnounceTopItem(newTop);
    return true;
}

std::wstring CPathTreeCtrl::PathOf(HTREEITEM item, int* checked) const
{
    std::wstring path;
    int count = 0;
    // A tree is never deeper than a path is long: the walk is bounded.
    for (int depth = 0; item && depth < 32768; ++depth, item = TreeView_GetParent(m_hWnd, item)) {
        const std::wstring label = GetItemText(item);
        if (label == g_strLangRootDir)
            path = label;
        else if (label == kPartitionRootLabel && !TreeView_GetParent(m_hWnd, item))
            path = label + path;  // a partition's root folder: "\Docs\"
        else
            path = label + L"\\" + path;
        if (GetCheckState(item))
            ++count;
    }
    if (checked)
        *checked = count;
    return path;
}

bool CPathTreeCtrl::GetSelectedPath(std::vector<std::wstring>& out)
{
    HTREEITEM sel = m_hWnd ? TreeView_GetSelection(m_hWnd) : NULL;
    if (!sel || sel == TreeView_GetRoot(m_hWnd))
        return false;
    const std::wstring path = PathOf(sel);
    if (path.empty())
        return false;
    out.push_back(path);
    return true;
}

bool CPathTreeCtrl::GetClickedPath(std::wstring& out)
{
    if (!m_hClicked || m_hClicked == TreeView_GetRoot(m_hWnd))
        return false;
    const std::wstring path = PathOf(m_hClicked);
    if (path.empty())
        return false;
    out = path;
    return true;
}

bool CPathTreeCtrl::CollectChecked(HTREEITEM leaf, std::vector<std::wstring>& out)
{
    int count = 0;
    std::wstring path = PathOf(leaf, &count);
    if (path.empty())
        return false;
    out.push_back(path);
    // The folders of the checked ancestors, nearest first, never a drive's
    // root folder.
    while (count != 0) {
        const size_t slash = path.rfind(L'\\');
        if (slash == std::wstring::npos || slash + 1 == RootLength(path))
            break;
        path.resize(slash);
        const std::wstring folder = path + L"\\";
        bool held = false;
        for (const std::wstring& s : out)
            if (s == folder) {
                held = true;
                break;
            }
        if (!held)
            out.push_back(folder);
        --count;
    }
    return true;
}

// ---- date tree ----

void CTimeTreeCtrl::InitImageList()
{
    const int ids[] = {215};  // a clock
    m_hNormalImages = LoadImageList(ids, 1, 7);
    if (m_hNormalImages)
        TreeView_SetImageList(m_hWnd, m_hNormalImages, TVSIL_NORMAL);
    CCheckTreeCtrl::InitImageList();
}

std::wstring CTimeTreeCtrl::DayFormat()
{
    const std::wstring& f = g_strLangDateFormat;
    int strings = 0;
    bool ok = !f.empty() && f.size() <= 64;
    for (size_t i = 0; ok && i < f.size(); ++i) {
        if (f[i] != L'%')
            continue;
        if (i + 1 < f.size() && f[i + 1] == L's') {
            ++strings;
            ++i;
        } else if (i + 1 < f.size() && f[i + 1] == L'%') {
            ++i;
        } else {
            ok = false;
        }
    }
    return ok && strings == 2 ? f : std::wstring(L"%s-%s");
}

std::wstring CTimeTreeCtrl::FormatDay(const std::wstring& format, const std::wstring& month, const std::wstring& day)
{
    const std::wstring* args[2] = {&month, &day};
    int next = 0;
    std::wstring out;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] == L'%' && i + 1 < format.size()) {
            if (format[i + 1] == L's') {
                if (next < 2)
                    out += Bounded(*args[next++]);
                ++i;
                continue;
            }
            if (format[i + 1] == L'%') {
                out += L'%';
                ++i;
                continue;
            }
        }
        out += format[i];
    }
    return Bounded(out);
}

bool CTimeTreeCtrl::AddFile(const std::wstring& dateText, int state)
{
    if (!EnsureNodeMap())
        return false;
    if (dateText.size() < 6)
        return false;
    const std::wstring year = dateText.substr(0, 4);
    const std::wstring rest = dateText.substr(5);
    const size_t dash = rest.find(L'-');
    if (dash == std::wstring::npos)
        return false;
    const std::wstring month = Bounded(rest.substr(0, dash));
    const std::wstring day = rest.substr(dash + 1, 2);

    CTreeNodeMap* root = m_pRoot.get();
    bool topNew = false;
    if (root->m_hItem) {
        ++root->m_nCount;
        SetCountLabel(root, g_strLangAllDate);
    } else {
        HTREEITEM top = InsertItem(CountedLabel(g_strLangAllDate, 1), 0, TVI_ROOT, TVI_SORT, state);
        if (!top)
            return false;
        root->SetRoot(g_strLangAllDate, top, 1);
        topNew = true;
    }
    CTreeNodeMap* yearNode = root->FindChild(year);
    if (yearNode) {
        ++yearNode->m_nCount;
        SetCountLabel(yearNode, year);
    } else {
        HTREEITEM item = InsertItem(CountedLabel(year, 1), 0, root->m_hItem, TVI_SORT, state);
        if (item)
            yearNode = root->InsertOrUpdate(year, item, 1);
    }
    if (yearNode) {
        const std::wstring dayKey = FormatDay(DayFormat(), month, day);
        if (CTreeNodeMap* dayNode = yearNode->FindChild(dayKey)) {
            ++dayNode->m_nCount;
            SetCountLabel(dayNode, dayKey);
        } else {
            HTREEITEM item = InsertItem(CountedLabel(dayKey, 1), 0, yearNode->m_hItem, TVI_SORT, state);
            if (item)
                yearNode->InsertOrUpdate(dayKey, item, 1);
        }
    }
    if (topNew)
        AnnounceTopItem(root->m_hItem);
    return true;
}

bool CTimeTreeCtrl::CollectChecked(HTREEITEM leaf, std::vector<std::wstring>& out)
{
    const std::wstring date = DateOf(leaf);
    if (date.empty())
        return false;
    for (const std::wstring& s : out)
        if (s == date)
            return true;
    out.push_back(date);
    return true;
}

std::wstring CTimeTreeCtrl::DateOf(HTREEITEM item) const
{
    if (!m_hWnd || !item)
        return std::wstring();
    HTREEITEM parent = TreeView_GetParent(m_hWnd, item);
    if (!parent)
        return std::wstring();  // the top-level node
    const HTREEITEM grand = TreeView_GetParent(m_hWnd, parent);
    if (!grand)
        return LabelKey(GetItemText(item));  // a year
    // A day: the format's separators turned into "-" and dropped.
    std::wstring seps = DayFormat();
    for (size_t p; (p = seps.find(L"%s")) != std::wstring::npos;)
        seps.erase(p, 2);
    std::wstring day = LabelKey(GetItemText(item));
    if (!seps.empty())
        for (wchar_t& c : day)
            if (c == seps[0])
                c = L'-';
    if (seps.size() > 1)
        for (size_t p; (p = day.find(seps[1])) != std::wstring::npos;)
            day.erase(p, 1);
    return LabelKey(GetItemText(parent)) + L"-" + day;
}

bool CTimeTreeCtrl::GetSelectedDates(std::vector<std::wstring>& out)
{
    HTREEITEM sel = m_hWnd ? TreeView_GetSelection(m_hWnd) : NULL;
    if (!sel || sel == TreeView_GetRoot(m_hWnd))
        return false;
    const std::wstring d = DateOf(sel);
    if (!d.empty())
        out.push_back(d);
    return !out.empty();
}

bool CTimeTreeCtrl::GetClickedDates(std::wstring& out)
{
    if (!m_hClicked || m_hClicked == TreeView_GetRoot(m_hWnd))
        return false;
    const std::wstring d = DateOf(m_hClicked);
    if (d.empty())
        return false;
    out = d;
    return true;
}

// ---- type tree ----

void CTypeTreeCtrl::InitImageList()
{
    const int ids[] = {204, 205, 206, 207, 208, 209, 210};
    m_hNormalImages = LoadImageList(ids, 7, 7);
    if (m_hNormalImages)
        TreeView_SetImageList(m_hWnd, m_hNormalImages, TVSIL_NORMAL);
    CCheckTreeCtrl::InitImageList();
}

bool CTypeTreeCtrl::AddFile(const std::wstring& extensionIn, int state)
{
    if (!EnsureNodeMap())
        return false;
    const std::wstring extension = Bounded(extensionIn);
    CTreeNodeMap* root = m_pRoot.get();
    bool topNew = false;
    if (root->m_hItem) {
        ++root->m_nCount;
        SetCountLabel(root, g_strLangAllType);
    } else {
        HTREEITEM top = InsertItem(CountedLabel(g_strLangAllType, 1), 0, TVI_ROOT, TVI_LAST, state);
        if (!top)
            return false;
        root->SetRoot(g_strLangAllType, top, 1);
        topNew = true;
    }
    const FileCategory c = g_FileCategoryTable.GetFileCategory(extension);
    const std::wstring key = GetCategoryName(c);
    CTreeNodeMap* cat = root->FindChild(key);
    if (cat) {
        ++cat->m_nCount;
        SetCountLabel(cat, key);
    } else {
        HTREEITEM item = InsertItem(CountedLabel(key, 1), c, root->m_hItem, TVI_SORT, state);
        if (item)
            cat = root->InsertOrUpdate(key, item, 1);
    }
    if (cat) {
        if (CTreeNodeMap* ext = cat->FindChild(extension)) {
            ++ext->m_nCount;
            SetCountLabel(ext, extension);
        } else {
            HTREEITEM item = InsertItem(CountedLabel(extension, 1), c, cat->m_hItem, TVI_SORT, state);
            if (item)
                cat->InsertOrUpdate(extension, item, 1);
        }
    }
    if (topNew)
        AnnounceTopItem(root->m_hItem);
    return true;
}

bool CTypeTreeCtrl::GetSelectedTypes(std::vector<std::wstring>& out)
{
    HTREEITEM sel = m_hWnd ? TreeView_GetSelection(m_hWnd) : NULL;
    HTREEITEM top = m_hWnd ? TreeView_GetRoot(m_hWnd) : NULL;
    if (!sel || sel == top)
        return false;
    if (TreeView_GetParent(m_hWnd, sel) == top) {
        for (HTREEITEM c = TreeView_GetChild(m_hWnd, sel); c; c = TreeView_GetNextSibling(m_hWnd, c))
            out.push_back(LabelKey(GetItemText(c)));
    } else {
        out.push_back(LabelKey(GetItemText(sel)));
    }
    return !out.empty();
}

bool CTypeTreeCtrl::GetClickedType(std::wstring& out)
{
    if (!m_hClicked || m_hClicked == TreeView_GetRoot(m_hWnd))
        return false;
    const std::wstring key = LabelKey(GetItemText(m_hClicked), true);
    if (key.empty())
        return false;
    out = key;
    return true;
}

bool CTypeTreeCtrl::CollectChecked(HTREEITEM leaf, std::vector<std::wstring>& out)
{
    const std::wstring key = LabelKey(GetItemText(leaf));
    if (key.empty())
        return false;
    out.push_back(key);
    return true;
}
