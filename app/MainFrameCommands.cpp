// The commands of the result page: filtering and checking rows by the trees
// and the name filter, the checked totals, sorting, the view mode, the list's
// menu, preview dispatch, the recover command, and saving and loading scan
// results. All on the window's thread.
#include <algorithm>
#include <ctime>
#include <unordered_set>

#include "app/MainFrame.h"
#include "engine/RecoverProcess.h"
#include "engine/RecoverTarget.h"
#include "app/MenuWnd.h"
#include "app/MessageDlg.h"
#include "app/ResultDialogs.h"
#include "app/ResultText.h"
#include "app/WindowMessages.h"
#include "core/Helpers.h"
#include "core/Language.h"
#include "core/Log.h"
#include "core/Settings.h"
#include "views/FileCategory.h"
#include "views/PreviewHost.h"

namespace {

const wchar_t kNameFilterKey[] = L":\\?DSRFILTERBYNAME<>|";
const UINT_PTR kRecoverTimer = 352;
const wchar_t kResultFilter[] = L"Scan Result File(*.dsr)|*.dsr;|";

class CWaitCursor
{
public:
    CWaitCursor() : m_old(SetCursor(LoadCursor(NULL, IDC_WAIT))) {}
    ~CWaitCursor() { SetCursor(m_old); }

private:
    HCURSOR m_old;
};

DuiLib::COptionUI* AsOption(CControlUI* c)
{
    return c ? static_cast<DuiLib::COptionUI*>(c->GetInterface(DUI_CTR_OPTION)) : NULL;
}

CListThumbElementUI* AsTile(CControlUI* c)
{
    return c ? static_cast<CListThumbElementUI*>(c->GetInterface(L"ListThumbElement")) : NULL;
}

std::wstring HitName(const DeepScanHit* hit)
{
    char name[sizeof(hit->szName) + 1] = {};
    memcpy(name, hit->szName, sizeof(hit->szName));
    return CStringFromAnsi(name);
}

// The folder key of a root-folder node ("C:\" or "\" followed by the
// root-folder label) stands for that root folder.
std::wstring RootFolderOfKey(const std::wstring& key)
{
    const size_t n = RootLength(key);
    return n ? key.substr(0, n) : key.substr(0, key.find(g_strLangRootDir));
}

// Whether the folder path c lies in the folder of a clicked folder-tree
// node: a key that starts at a root covers the paths that start with it.
bool FolderUnderKey(const std::wstring& c, const std::wstring& key)
{
    if (RootLength(key) > 0)
        return c.compare(0, key.size(), key) == 0;
    return c.find(key) != std::wstring::npos;
}

// Keys of one view kind, prepared for matching many entries: the types as a
// set, folder keys by their prefixes, date keys by the lengths they come in.
class CKeyMatcher
{
public:
    CKeyMatcher(const std::vector<std::wstring>& keys, int viewKind) : m_nKind(viewKind), m_keys(keys)
    {
        for (const std::wstring& k : keys) {
            m_set.insert(k);
            if (RootLength(k) > 0 && k.find(g_strLangRootDir) == std::wstring::npos)
                m_folderKeys.insert(k);
            else
                m_otherKeys.push_back(k);
            if (std::find(m_lengths.begin(), m_lengths.end(), k.size()) == m_lengths.end())
                m_lengths.push_back(k.size());
        }
    }

    // The folder path c matches a folder key: the key contains the
    // root-folder label (then it stands for the root folder it follows,
    // "C:\" or a partition's "\", matched exactly), or c contains the key.
    bool MatchFolder(const std::wstring& c) const
    {
        // A folder key starts at its root (a drive, or a partition's "\"):
        // it can only stand at the start of a path, so the path's prefixes
        // are all that can hold it.
        for (size_t p = c.find(L'\\'); p != std::wstring::npos; p = c.find(L'\\', p + 1))
            if (m_folderKeys.count(c.substr(0, p + 1)))
                return true;
        for (const std::wstring& k : m_otherKeys) {
            if (k.find(g_strLangRootDir) != std::wstring::npos) {
                if (c == RootFolderOfKey(k))
                    return true;
            } else if (!k.empty() && c.find(k) != std::wstring::npos) {
                return true;
            }
        }
        return false;
    }

    bool MatchContains(const std::wstring& text) const
    {
        for (size_t len : m_lengths) {
            if (len == 0 || len > text.size())
                continue;
            for (size_t i = 0; i + len <= text.size(); ++i)
                if (m_set.count(text.substr(i, len)))
                    return true;
        }
        return false;
    }

    bool MatchEqual(const std::wstring& text) const { return m_set.count(text) != 0; }

    bool MatchName(const std::wstring& name) const
    {
        for (const std::wstring& k : m_keys)
            if (name.find(k) != std::wstring::npos)
                return true;
        return false;
    }

private:
    int m_nKind;
    const std::vector<std::wstring>& m_keys;
    std::unordered_set<std::wstring> m_set;
    std::unordered_set<std::wstring> m_folderKeys;
    std::vector<std::wstring> m_otherKeys;
    std::vector<size_t> m_lengths;
};

}  // namespace

// ---- which rows show, which are checked ----

int CMainFrame::GetVisibleTreeKind()
{
    if (m_PathTree.GetHwnd() && IsWindowVisible(m_PathTree.GetHwnd()))
        return 1;
    if (m_TypeTree.GetHwnd() && IsWindowVisible(m_TypeTree.GetHwnd()))
        return 0;
    if (m_TimeTree.GetHwnd() && IsWindowVisible(m_TimeTree.GetHwnd()))
        return 2;
    return 3;
}

void CMainFrame::FillFileListFromTree()
{
    CWaitCursor wait;
    m_SelectionKeys.clear();
    bool some = false;
    switch (m_nViewKind) {
    case 0:
        some = m_TypeTree.GetSelectedTypes(m_SelectionKeys);
        break;
    case 1:
        some = m_PathTree.GetSelectedPath(m_SelectionKeys);
        break;
    case 2:
        some = m_TimeTree.GetSelectedDates(m_SelectionKeys);
        break;
    default:
        return;
    }
    if (!some) {
        m_SelectionKeys.clear();
        ShowAllFileRows();
    } else {
        ApplyKeysToFileList(m_SelectionKeys, m_nViewKind, 0);
    }
}

void CMainFrame::ApplyTreeChecks()
{
    CWaitCursor wait;
    switch (m_nViewKind) {
    case 0:
        m_TypeTree.GetCheckedTypes(m_CheckKeys);
        break;
    case 1:
        m_PathTree.GetCheckedPaths(m_CheckKeys);
        break;
    case 2:
        m_TimeTree.GetCheckedDates(m_CheckKeys);
        break;
    case 3:
        m_CheckKeys.assign(1, kNameFilterKey);
        break;
    default:
        return;
    }
    ApplyKeysToFileList(m_CheckKeys, m_nViewKind, 1);
    RecountChecked();
}

void CMainFrame::ShowAllFileRows()
{
    if (!m_pFileList)
        return;
    const int n = m_pFileList->GetCount();
    for (int i = 0; i < n; ++i)
        if (CListThumbElementUI* t = AsTile(m_pFileList->GetItemAt(i)))
            t->SetVisibleQuiet(true);
    m_pFileList->EndBatch();
    ::PostMessageW(m_hWnd, WMU_RefreshFileList, 0, 0);
}

void CMainFrame::ApplyKeysToFileList(const std::vector<std::wstring>& keys, int viewKind, int mode)
{
    if (!m_pFileList || keys.empty())
        return;
    const bool deep = IsDeepResult();
    std::wstring clicked;
    bool haveClicked = false, clickedRoot = false, clickedCategory = false;
    if (mode == 1 && viewKind >= 0 && viewKind <= 2) {
        CCheckTreeCtrl* tree = viewKind == 0 ? (CCheckTreeCtrl*)&m_TypeTree
                               : viewKind == 1 ? (CCheckTreeCtrl*)&m_PathTree
                                               : (CCheckTreeCtrl*)&m_TimeTree;
        clickedRoot = tree->IsClickedItemRoot();
        if (viewKind == 0)
            haveClicked = m_TypeTree.GetClickedType(clicked);
        else if (viewKind == 1)
            haveClicked = m_PathTree.GetClickedPath(clicked);
        else
            haveClicked = m_TimeTree.GetClickedDates(clicked);
        clickedCategory = haveClicked && viewKind == 0 && g_FileCategoryTable.IsCategoryName(clicked);
    }
    // The select-all box's new state (its click comes before it changes).
    bool nameState = false;
    if (mode == 1 && viewKind == 3)
        if (DuiLib::COptionUI* all = AsOption(FindControl(L"checkSelectAll")))
            nameState = !all->IsSelected();
    const bool marker = clickedRoot && (keys[0] == kCheckAllKey || keys[0] == kUncheckAllKey);
    const bool markerState = keys[0] == kCheckAllKey;
    CKeyMatcher matcher(keys, viewKind);
    const std::wstring clickedCategoryName = clickedCategory ? clicked : std::wstring();

    const int n = m_pFileList->GetCount();
    for (int i = 0; i < n; ++i) {
        CListThumbElementUI* tile = AsTile(m_pFileList->GetItemAt(i));
        if (!tile || !tile->GetTag())
            continue;
        CFoundItem* item = deep ? NULL : reinterpret_cast<CFoundItem*>(tile->GetTag());
        DeepScanHit* hit = deep ? reinterpret_cast<DeepScanHit*>(tile->GetTag()) : NULL;
        bool state = false;
        if (marker) {
            state = markerState;
        } else {
            switch (viewKind) {
            case 0: {
                const std::wstring ext = deep ? ExtensionOfHit(hit) : ExtensionOfName(item->m_strName);
                if (mode == 1 && haveClicked) {
                    if (clickedCategory ? g_FileCategoryTable.GetCategoryNameOfExtension(ext) != clickedCategoryName
                                        : ext != clicked)
                        continue;
                }
                state = matcher.MatchEqual(ext);
                break;
            }
            case 1:
                if (deep) {
                    if (mode == 1 && haveClicked)
                        continue;
                    break;
                }
                if (mode == 1 && haveClicked && clicked.find(g_strLangRootDir) == std::wstring::npos &&
                    !FolderUnderKey(item->GetCurrentPath(), clicked))
                    continue;
                state = matcher.MatchFolder(item->GetCurrentPath());
                break;
            case 2:
                if (deep) {
                    if (mode == 1 && haveClicked)
                        continue;
                    break;
                }
                if (mode == 1 && haveClicked && item->m_strTime.find(clicked) == std::wstring::npos)
                    continue;
                state = matcher.MatchContains(item->m_strTime);
                break;
            case 3:
                if (mode == 1) {
                    if (!tile->IsVisible())
                        continue;
                    state = nameState;
                } else {
                    state = matcher.MatchName(deep ? HitName(hit) : item->m_strName);
                }
                break;
            default:
                return;
            }
        }
        if (mode == 1) {
            if (deep)
                hit->uReserved = state ? 1 : 0;
            else
                item->m_bChecked = state;
            if (tile->GetCheck() != state)
                tile->SetCheck(state);
        } else {
            tile->SetVisibleQuiet(state);
        }
    }
    if (mode == 0)
        m_pFileList->EndBatch();
    ::PostMessageW(m_hWnd, WMU_RefreshFileList, 0, 0);
}

namespace {
// What the key list answers before any matching: 1 yes, 0 no, -1 match.
// An empty list shows every entry and checks none; the tree markers check
// or uncheck all.
int MarkerAnswer(const std::vector<std::wstring>& keys, bool checkKeys)
{
    if (keys.empty())
        return checkKeys ? 0 : 1;
    if (keys[0] == kCheckAllKey)
        return 1;
    if (keys[0] == kUncheckAllKey)
        return 0;
    return -1;
}
}  // namespace

bool CMainFrame::MatchFoundItem(const std::vector<std::wstring>& keys, const CFoundItem* item, bool checkKeys)
{
    if (!item)
        return false;
    const int marker = MarkerAnswer(keys, checkKeys);
    if (marker >= 0)
        return marker == 1;
    CKeyMatcher matcher(keys, m_nViewKind);
    switch (m_nViewKind) {
    case 0:
        return matcher.MatchEqual(ExtensionOfName(item->m_strName));
    case 1:
        return matcher.MatchFolder(item->GetCurrentPath());
    case 2:
        return matcher.MatchContains(item->m_strTime);
    case 3:
        // The name filter's text; the select-all marker matches no name.
        return matcher.MatchName(item->m_strName);
    default:
        return false;
    }
}

bool CMainFrame::MatchCarvedItem(const std::vector<std::wstring>& keys, const DeepScanHit* hit, bool checkKeys)
{
    if (!hit)
        return false;
    const int marker = MarkerAnswer(keys, checkKeys);
    if (marker >= 0)
        return marker == 1;
    if (m_nViewKind == 0)
        return std::find(keys.begin(), keys.end(), ExtensionOfHit(hit)) != keys.end();
    if (m_nViewKind == 3)
        return CKeyMatcher(keys, 3).MatchName(HitName(hit));
    return false;
}

void CMainFrame::OnItemCheckChanged(TNotifyUI& msg)
{
    CListThumbElementUI* tile = AsTile(msg.pSender);
    if (!tile || !tile->GetTag())
        return;
    const bool s = tile->GetCheck();
    uint64_t size;
    if (IsDeepResult()) {
        DeepScanHit* hit = reinterpret_cast<DeepScanHit*>(tile->GetTag());
        hit->uReserved = s ? 1 : 0;
        size = hit->u64Length;
    } else {
        CFoundItem* item = reinterpret_cast<CFoundItem*>(tile->GetTag());
        item->m_bChecked = s;
        size = item->m_u64Size;
    }
    if (s) {
        ++m_u64CheckedCount;
        m_u64CheckedBytes += size;
    } else {
        m_u64CheckedCount = m_u64CheckedCount ? m_u64CheckedCount - 1 : 0;
        m_u64CheckedBytes = m_u64CheckedBytes >= size ? m_u64CheckedBytes - size : 0;
    }
    SyncCheckAllBox();
    UpdateBottomStatus(m_u64CheckedCount, m_u64CheckedBytes, false);
}

void CMainFrame::SyncCheckAllBox()
{
    bool all = true;
    if (m_pFileList) {
        const int n = m_pFileList->GetCount();
        for (int i = 0; i < n && all; ++i) {
            CListThumbElementUI* t = AsTile(m_pFileList->GetItemAt(i));
            if (t && t->IsVisible() && !t->GetCheck())
                all = false;
        }
    }
    if (DuiLib::COptionUI* box = AsOption(FindControl(L"checkSelectAll")))
        box->Selected(all);
    SetTreeSelectionCheck(all);
}

void CMainFrame::SetTreeSelectionCheck(bool checked)
{
    CCheckTreeCtrl* tree = m_nViewKind == 0   ? (CCheckTreeCtrl*)&m_TypeTree
                           : m_nViewKind == 1 ? (CCheckTreeCtrl*)&m_PathTree
                                              : (CCheckTreeCtrl*)&m_TimeTree;
    if (HWND h = tree->GetHwnd())
        if (HTREEITEM sel = TreeView_GetSelection(h))
            tree->SetCheckState(sel, checked);
}

void CMainFrame::RecountChecked()
{
    CWaitCursor wait;
    uint64_t count = 0, bytes = 0;
    EnterCriticalSection(&m_csResults);
    if (IsDeepResult()) {
        for (const DeepScanHit* hit : m_CarvedHits)
            if (hit->uReserved) {
                ++count;
                bytes += hit->u64Length;
            }
    } else {
        for (const CFoundItem* item : m_FoundItems)
            if (item->m_bChecked) {
                ++count;
                bytes += item->m_u64Size;
            }
    }
    LeaveCriticalSection(&m_csResults);
    m_u64CheckedCount = count;
    m_u64CheckedBytes = bytes;
    UpdateBottomStatus(count, bytes, false);
}

void CMainFrame::OnCheckSelectAll()
{
    DuiLib::COptionUI* box = AsOption(FindControl(L"checkSelectAll"));
    // The click comes before the box changes: its new state.
    const int state = box && !box->IsSelected() ? 1 : 0;
    if (m_nViewKind == 0)
        m_TypeTree.CheckSelectedNode(state);
    else if (m_nViewKind == 1)
        m_PathTree.CheckSelectedNode(state);
    else if (m_nViewKind == 2)
        m_TimeTree.CheckSelectedNode(state);
    ApplyTreeChecks();
}

int CMainFrame::CountVisibleRows()
{
    return m_pFileList ? m_pFileList->CountVisibleRows() : -1;
}

CListThumbElementUI* CMainFrame::GetVisibleRowAt(int n)
{
    return m_pFileList ? m_pFileList->GetVisibleRowAt(n) : NULL;
}

// ---- the list's menu ----

void CMainFrame::ShowListMenu(TNotifyUI& msg)
{
    if (!msg.pSender || msg.pSender->GetName() != L"listFile" || !m_pFileList)
        return;
    EnterCriticalSection(&m_csResults);
    const bool empty = IsDeepResult() ? m_CarvedHits.empty() : m_FoundItems.empty();
    LeaveCriticalSection(&m_csResults);
    if (empty)
        return;
    POINT pt = msg.ptMouse;
    ClientToScreen(m_hWnd, &pt);
    CListMenuWnd* menu = new CListMenuWnd;
    if (!menu->Init(msg.pSender, pt.x, pt.y, m_pFileList->GetCurSel() == -1 ? 1 : 0))
        delete menu;
}

// ---- sorting and the view mode ----

void CMainFrame::SortTilesBy(int column, bool descending)
{
    if (!m_pFileList)
        return;
    const bool deep = IsDeepResult();
    // A strict weak order: rows without an entry after all others.
    auto less = [deep, column, descending](CListThumbElementUI* a, CListThumbElementUI* b) {
        const UINT_PTR ea = a->GetTag(), eb = b->GetTag();
        if (!ea || !eb)
            return ea && !eb;
        if (descending)
            std::swap(a, b);
        const UINT_PTR x = a->GetTag(), y = b->GetTag();
        if (deep) {
            const DeepScanHit* h1 = reinterpret_cast<const DeepScanHit*>(x);
            const DeepScanHit* h2 = reinterpret_cast<const DeepScanHit*>(y);
            if (column == SORT_BY_SIZE)
                return h1->u64Length < h2->u64Length;
            return strncmp(h1->szName, h2->szName, sizeof(h1->szName)) < 0;
        }
        const CFoundItem* i1 = reinterpret_cast<const CFoundItem*>(x);
        const CFoundItem* i2 = reinterpret_cast<const CFoundItem*>(y);
        switch (column) {
        case SORT_BY_SIZE:
            return i1->m_u64Size < i2->m_u64Size;
        case SORT_BY_PATH:
            return i1->GetCurrentPath() < i2->GetCurrentPath();
        case SORT_BY_TIME:
            return i1->m_strTime < i2->m_strTime;
        default:
            return i1->m_strName < i2->m_strName;
        }
    };
    m_pFileList->SortTiles(less);
}

void CMainFrame::SortResults(TNotifyUI& msg)
{
    CWaitCursor wait;
    EnterCriticalSection(&m_csResults);
    const size_t n = IsDeepResult() ? m_CarvedHits.size() : m_FoundItems.size();
    LeaveCriticalSection(&m_csResults);
    if (n == 0 || !msg.pSender)
        return;
    const CDuiString& name = msg.pSender->GetName();
    int column;
    if (name == L"FileName")
        column = SORT_BY_NAME;
    else if (name == L"FileSize")
        column = SORT_BY_SIZE;
    else if (name == L"FilePath")
        column = SORT_BY_PATH;
    else if (name == L"LastModify")
        column = SORT_BY_TIME;
    else
        return;
    if (IsDeepResult() && (column == SORT_BY_PATH || column == SORT_BY_TIME))
        return;
    SortTilesBy(column, m_bSortDescending[column]);
    m_bSortDescending[column] = !m_bSortDescending[column];
    ::PostMessageW(m_hWnd, WMU_RefreshFileList, 0, 0);
}

void CMainFrame::OnViewModeClick(int mode)
{
    CWaitCursor wait;
    SetControlBkColor(L"optThumbView", mode == 0 ? 0xFF00B7EF : 0xFFFFFFFF);
    SetControlBkColor(L"optListView", mode == 1 ? 0xFF00B7EF : 0xFFFFFFFF);
    g_ConfigSetting.SetViewMode(mode);
    ShowControl(L"layListTop", mode == 0);
    if (m_pFileList) {
        if (DuiLib::CListHeaderUI* header = m_pFileList->GetHeader())
            if (mode == 1)
                header->SetBkImage(L"file='listitem/list_header_bg.png'");
        const int n = m_pFileList->GetCount();
        for (int i = 0; i < n; ++i)
            if (CListThumbElementUI* t = AsTile(m_pFileList->GetItemAt(i)))
                t->SetSizeQuiet(mode == 1 ? 0 : 150, mode == 1 ? 22 : 142);
        m_pFileList->SetTileMode(mode == 0);
        m_pFileList->EndBatch();
        m_pFileList->Invalidate();
    }
    if (mode == 0)
        ::PostMessageW(m_hWnd, WMU_RefreshFileList, 0, 0);
}

void CMainFrame::SetViewMode(int mode)
{
    const wchar_t* name = mode == 1 ? L"optListView" : L"optThumbView";
    if (DuiLib::COptionUI* o = AsOption(FindControl(name))) {
        o->Selected(true);
        m_PaintManager.SendNotify(o, DUI_MSGTYPE_CLICK);
    }
}

int CMainFrame::LookupExtensionValue(const std::wstring& extension) const
{
    auto it = m_MediaExtensions.find(extension);
    return it == m_MediaExtensions.end() ? 2 : it->second;
}

// ---- preview ----

CVolumeInfo* CMainFrame::VolumeOfEntry(const CFoundItem* item)
{
    const wchar_t letter = item ? (wchar_t)towupper(item->GetDriveLetter()) : 0;
    if (ScanKind == SCAN_KIND_RECYCLE && letter)
        if (CVolumeInfo* own = m_VolumeList.FindVolumeByLetter(letter))
            return own;
    if (m_pSelectedVolume)
        return m_pSelectedVolume;
    return ScanKind != SCAN_KIND_LOST_PARTITION && letter ? m_VolumeList.FindVolumeByLetter(letter) : NULL;
}

PreviewTarget CMainFrame::MakePreviewTarget(CListThumbElementUI* tile)
{
    PreviewTarget target;
    target.owner = m_hWnd;
    target.scanKind = ScanKind;
    target.registry = &m_PluginRegistry;
    target.frame = this;
    target.targetKind = m_ScanDiskDlg.GetTargetKind();
    if (IsDeepResult()) {
        target.hit = reinterpret_cast<DeepScanHit*>(tile->GetTag());
        target.extension = ExtensionOfHit(target.hit);
        target.device = m_hTargetDevice;
    } else {
        target.item = reinterpret_cast<CFoundItem*>(tile->GetTag());
        const std::wstring& name = target.item->m_strName;
        const size_t dot = name.rfind(L'.');
        target.extension = dot == std::wstring::npos ? std::wstring() : LowerAsciiText(name.substr(dot + 1));
        target.volume = VolumeOfEntry(target.item);
        if (ScanKind == SCAN_KIND_LOST_PARTITION)
            target.lost = GetLostPartitionSource();
    }
    target.mediaClass = target.extension.empty() ? 2 : LookupExtensionValue(target.extension);
    return target;
}

void CMainFrame::PreviewSelected()
{
    if (!m_pFileList)
        return;
    CListThumbElementUI* tile = AsTile(m_pFileList->GetItemAt(m_pFileList->GetCurSel()));
    if (!tile || !tile->GetTag())
        return;
    const PreviewTarget target = MakePreviewTarget(tile);
    if (target.mediaClass == 0 || target.mediaClass == 1) {
        if (PreviewHost().ShowMediaPlayer(target) == 1)
            ::PostMessageW(m_hWnd, WMU_PreviewSelected, 0, 0);
        return;
    }
    OpenPreviewWindow(tile);
}

void CMainFrame::OpenPreviewWindow(CListThumbElementUI* tile)
{
    if (!tile || !tile->GetTag())
        return;
    PreviewHost().ShowPreviewWindow(MakePreviewTarget(tile));
}

// ---- recovery ----

void CMainFrame::OnRecoverButton()
{
    if (IsScanActive()) {
        if (MessageBoxByBase64Key("UmVjb3ZlcldoZW5TY2FubmluZw==", m_hWnd, 0x44, 0) != 6)
            return;
        PauseScan();
    }
    // The scan's worker settles before the recovery starts.
    SetTimer(m_hWnd, kRecoverTimer, 501, NULL);
}

bool CMainFrame::GetCheckedFiles(std::vector<CFoundItem*>& out)
{
    out.clear();
    EnterCriticalSection(&m_csResults);
    for (CFoundItem* item : m_FoundItems)
        if (item->m_bChecked)
            out.push_back(item);
    LeaveCriticalSection(&m_csResults);
    return !out.empty();
}

bool CMainFrame::GetCheckedCarvedFiles(std::vector<DeepScanHit*>& out)
{
    out.clear();
    EnterCriticalSection(&m_csResults);
    for (DeepScanHit* hit : m_CarvedHits)
        if (hit->uReserved)
            out.push_back(hit);
    LeaveCriticalSection(&m_csResults);
    return !out.empty();
}

void CMainFrame::Recover()
{
    const bool deep = IsDeepResult();
    EnterCriticalSection(&m_csResults);
    const bool empty = deep ? m_CarvedHits.empty() : m_FoundItems.empty();
    LeaveCriticalSection(&m_csResults);
    if (empty || !m_pFileList)
        return;
    std::vector<CFoundItem*> items;
    std::vector<DeepScanHit*> hits;
    const bool any = deep ? GetCheckedCarvedFiles(hits) : GetCheckedFiles(items);
    if (!any) {
        MessageBoxByBase64Key("U2VsZWN0UmVjb3ZlckZpbGU=", m_hWnd, 0x40, 0);
        return;
    }
    const size_t count = deep ? hits.size() : items.size();

    // Usage statistics: how many of each type.
    std::vector<std::wstring> exts;
    exts.reserve(count);
    if (deep) {
        for (const DeepScanHit* h : hits)
            exts.push_back(ExtensionOfHit(h));
    } else {
        for (const CFoundItem* i : items) {
            const size_t dot = i->m_strName.rfind(L'.');
            exts.push_back(dot == std::wstring::npos ? g_strLangUnknow : i->m_strName.substr(dot));
        }
    }
    std::sort(exts.begin(), exts.end());
    for (size_t i = 0; i < exts.size();) {
        size_t j = i;
        while (j < exts.size() && exts[j] == exts[i])
            ++j;
        UsageReporter().AddEvent(L"RecoverFormat", (int)(j - i), 0, exts[i].c_str());
        i = j;
    }
    UsageReporter().AddEvent(L"RecoverCount", (int)count, 0, NULL);

    std::wstring target;
    int option = 0;
    bool singleFile = false;
    if (count > 1) {
        const std::wstring hint = FormatTextWithInt(GetUIText(L"RecoverFileHint").c_str(), (int)count);
        if (!GetResultDialogs().AskRecoverOption(m_hWnd, hint, deep, option))
            return;
        if (!GetResultDialogs().ChooseFolder(m_hWnd, GetUIText(L"ChoosePath"), target))
            return;
        TargetConflict why;
        if (TargetOnScannedDisk(target, &why)) {
            WarnTargetOnScannedDisk(target, why);
            return;
        }
    } else {
        target = deep ? HitName(hits[0]) : items[0]->m_strName;
        if (!GetResultDialogs().ChooseSaveFile(m_hWnd, L"*.*|*.*|", NULL, target))
            return;
        TargetConflict why;
        if (TargetOnScannedDisk(target, &why)) {
            WarnTargetOnScannedDisk(target, why);
            return;
        }
        singleFile = true;
    }
    GetResultDialogs().RunRecover(this, target, singleFile ? 0 : option, singleFile);
}

// ---- saved results ----

void CMainFrame::OnLoadScanRecord()
{
    std::wstring path;
    if (!GetResultDialogs().ChooseOpenFile(m_hWnd, kResultFilter, L"dsr", path) || path.empty() ||
        path.size() > 259)
        return;
    AddUsageEvent(L"OnLoadScanRecord");
    GetResultDialogs().RunLoad(this, path);
}

void CMainFrame::OnSaveScanRecord()
{
    if (m_ScanDiskDlg.GetTargetKind() == SCAN_TARGET_IMAGE) {
        MessageBoxByBase64Key("Tm9TdXBwb3J0U2F2ZVZoZFJlc3VsdA==", m_hWnd, 0x40, 0);
        return;
    }
    if (ScanKind == SCAN_KIND_RECYCLE) {
        MessageBoxByBase64Key("Tm9TdXBwb3J0U2F2ZURpcg==", m_hWnd, 0x40, 0);
        return;
    }
    EnterCriticalSection(&m_csResults);
    const bool empty = IsDeepResult() ? m_CarvedHits.empty() : m_FoundItems.empty();
    LeaveCriticalSection(&m_csResults);
    if (empty) {
        if (GetLastActivePopup(m_hWnd) == m_hWnd)
            MessageBoxByBase64Key("Tm9GaWxlQ2FuUmVjb3ZlcmVk", m_hWnd, 0x40, 0);
        return;
    }
    SYSTEMTIME st;
    GetLocalTime(&st);
    wchar_t name[64];
    swprintf(name, 64, L"%04d-%02d-%02d-%02d-%02d", st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute);
    std::wstring path = name;
    if (!GetResultDialogs().ChooseSaveFile(m_hWnd, kResultFilter, L"dsr", path))
        return;
    if (TargetOnScannedDisk(path)) {
        MessageBoxByBase64Key("UmVjb3ZlckRpZmZEcml2ZQ==", m_hWnd, 0x40, 0);
        return;
    }
    AddUsageEvent(L"OnSaveScanRecord");
    if (GetResultDialogs().RunSave(this, path))
        MessageBoxByBase64Key("U2F2ZVJlc3VsdE9r", m_hWnd, 0x40, 0);
}

// ---- where recovered or saved files may go ----

void CMainFrame::WarnTargetOnScannedDisk(const std::wstring& target, const TargetConflict& why)
{
    // Told once a target is chosen, and only when it lies on what is
    // scanned: a lost partition has no drive of its own, so its disk is
    // named, and where the target lies on it.
    if (ScanKind != SCAN_KIND_LOST_PARTITION) {
        MessageBoxByBase64Key("UmVjb3ZlckRpZmZEcml2ZQ==", m_hWnd, 0x40, 0);
        return;
    }
    std::wstring text = GetMessageText(L"RecoverDiffDisk");
    if (why.disk >= 0 && why.volumeLength) {
        const uint64_t s = why.sectorSize ? why.sectorSize : 512;
        auto sectors = [s](uint64_t start, uint64_t length) {
            return std::to_wstring(start / s) + L"-" + std::to_wstring((start + length - 1) / s);
        };
        const std::wstring partition =
            why.partitionLength ? sectors(why.partitionStart, why.partitionLength) : std::wstring(L"*");
        text += L"\n" + FormatUiText(GetUIText(L"RecoverDiskWhy"),
                                     {target, std::to_wstring(why.disk), sectors(why.volumeStart, why.volumeLength),
                                      partition},
                                     L"The target %s lies on disk %s at sectors %s, over the lost partition being "
                                     L"read (sectors %s).");
    }
    ShowMessageDlg(m_hWnd, text.c_str(), GetMessageTitle().c_str(), 0x40, 0);
}

bool CMainFrame::TargetOnScannedDisk(const std::wstring& target, TargetConflict* why)
{
    // The same check the recovery worker makes before its first write: the
    // scanned volume, any volume of a scanned disk (whole-disk and
    // lost-partition scans), the entries' volumes of a recycle-bin scan, the
    // image file of an image scan.
    std::vector<CFoundItem*> items;
    if (!IsDeepResult())
        GetCheckedFiles(items);
    return IsTargetOnScannedDevice(MakeScannedSource(this, ScanKind, items), target, why);
}
