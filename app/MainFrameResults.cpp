// The result intake of the main window: what a scan's findings become on
// the result page. Scan threads hand findings over by direct call; the
// one-second timer moves them, at most 1001 a tick, into the result list
// and the three trees on the window's thread. Also the progress line, the
// end of a scan, the tree choice, and clearing the results.
#include <windows.h>
#include <commctrl.h>
#include <ctime>

#include "app/MainFrame.h"
#include "app/ResultText.h"
#include "app/WindowMessages.h"
#include "core/Helpers.h"
#include "core/Language.h"
#include "core/Log.h"
#include "core/Settings.h"
#include "engine/EngineText.h"
#include "engine/PartitionScanControl.h"
#include "views/FileCategory.h"

namespace {

const UINT_PTR kRefreshTimer = 350;
const size_t kIntakePerTick = 1001;
// Time of one slice of a tick's entries (ms).
const DWORD kIntakeSliceMs = 40;

DuiLib::COptionUI* AsOption(CControlUI* c)
{
    return c ? static_cast<DuiLib::COptionUI*>(c->GetInterface(DUI_CTR_OPTION)) : NULL;
}

}  // namespace

// ---- what is kept ----

std::wstring CMainFrame::ExtensionOfName(const std::wstring& name)
{
    const size_t dot = name.rfind(L'.');
    if (dot == std::wstring::npos)
        return L"unknow";
    return LowerAsciiText(name.substr(dot + 1));
}

std::wstring CMainFrame::ExtensionOfHit(const DeepScanHit* hit)
{
    std::wstring ext;
    for (const char* p = hit->szExtension; p < hit->szExtension + sizeof(hit->szExtension) && *p; ++p)
        ext += (wchar_t)(unsigned char)*p;
    return LowerAsciiText(ext);
}

bool CMainFrame::IsDeepResult() const
{
    return ScanKind == SCAN_KIND_DEEP;
}

bool CMainFrame::KeepsExtension(const std::wstring& ext)
{
    // Called with the results lock held.
    for (const std::wstring& e : m_SelectedExtensions)
        if (e == ext)
            return true;
    return m_bOtherTypes && g_FileCategoryTable.GetFileCategory(ext) == FILE_CATEGORY_OTHER;
}

// A finding handed over by a scan thread: kept at the end of its list when
// its extension is wanted and the intake is open, else freed. The first kept
// one of a scan is announced to the window's thread, which changes the
// controls.
template <class T>
bool CMainFrame::KeepFinding(std::list<T*>& list, T* finding, const std::wstring& ext)
{
    EnterCriticalSection(&m_csResults);
    const bool keep = m_bIntakeOpen && KeepsExtension(ext);
    const bool first = keep && list.empty();
    if (keep)
        list.push_back(finding);
    LeaveCriticalSection(&m_csResults);
    if (!keep)
        delete finding;
    else if (first)
        ::PostMessageW(m_hWnd, WMU_FirstResult, 0, 0);
    return keep;
}

int CMainFrame::AddCarvedFile(DeepScanHit* hit)
{
    if (!hit)
        return 0;
    return KeepFinding(m_CarvedHits, hit, ExtensionOfHit(hit)) ? 1 : 0;
}

bool CMainFrame::AddFoundFile(CFoundItem* item)
{
    if (!item)
        return false;
    return KeepFinding(m_FoundItems, item, ExtensionOfName(item->m_strName));
}

void CMainFrame::OnFirstResult()
{
    // The scan's first finding: the results are shown, recovery is offered.
    EnableControl(L"btnRestoreFiles", true);
    m_BusyAnim.Show(false);
    if (DuiLib::CTabLayoutUI* tab = static_cast<DuiLib::CTabLayoutUI*>(FindControl(L"ScanTab")))
        tab->SelectItem(1);
}

size_t CMainFrame::GetFoundCount()
{
    EnterCriticalSection(&m_csResults);
    size_t n = m_FoundItems.size() + m_CarvedHits.size();
    LeaveCriticalSection(&m_csResults);
    return n;
}

// ---- file categories ----

void CMainFrame::OnCategoryOption(CControlUI* option, bool newState)
{
    static const wchar_t* const names[6] = {L"optSelectPicture", L"optSelectMusic", L"optSelectDocument",
                                            L"optSelectVedio", L"optSelectEmail", L"optSelectOther"};
    int cat = 0;
    for (int i = 0; i < 6; ++i)
        if (option && option->GetName() == names[i])
            cat = i + 1;
    if (!cat)
        return;
    // The categories that stay chosen besides this one.
    unsigned chosen = 0;
    for (int i = 0; i < 6; ++i)
        if (i + 1 != cat)
            if (DuiLib::COptionUI* o = AsOption(FindControl(names[i])))
                if (o->IsSelected())
                    chosen |= 1u << (i + 1);
    EnterCriticalSection(&m_csResults);
    std::vector<std::wstring>& formats = m_FormatNames[0];
    if (newState) {
        formats.insert(formats.end(), m_FormatNames[cat].begin(), m_FormatNames[cat].end());
        g_FileCategoryTable.AddCategoryExtensions(cat, m_SelectedExtensions);
    } else {
        // One occurrence per name, so a format that another chosen category
        // also names stays chosen.
        for (const std::wstring& name : m_FormatNames[cat])
            for (size_t i = 0; i < formats.size(); ++i)
                if (formats[i] == name) {
                    formats.erase(formats.begin() + i);
                    break;
                }
        g_FileCategoryTable.RemoveCategoryExtensions(cat, m_SelectedExtensions, chosen);
    }
    if (cat == FILE_CATEGORY_OTHER)
        m_bOtherTypes = newState;
    LeaveCriticalSection(&m_csResults);
    m_nSelectedCategories += newState ? 1 : -1;
    if (DuiLib::COptionUI* all = AsOption(FindControl(L"optSelectAllType")))
        all->Selected(m_nSelectedCategories == 6);
}

void CMainFrame::SelectAllCategories(bool on, bool setAllBox)
{
    static const wchar_t* const names[6] = {L"optSelectPicture", L"optSelectMusic", L"optSelectDocument",
                                            L"optSelectVedio", L"optSelectEmail", L"optSelectOther"};
    EnterCriticalSection(&m_csResults);
    m_FormatNames[0].clear();
    m_SelectedExtensions.clear();
    if (on) {
        for (int cat = 1; cat <= 6; ++cat)
            m_FormatNames[0].insert(m_FormatNames[0].end(), m_FormatNames[cat].begin(), m_FormatNames[cat].end());
        for (int cat = 1; cat <= 5; ++cat)
            g_FileCategoryTable.AddCategoryExtensions(cat, m_SelectedExtensions);
    }
    m_bOtherTypes = on;
    LeaveCriticalSection(&m_csResults);
    m_nSelectedCategories = on ? 6 : 0;
    for (const wchar_t* name : names)
        if (DuiLib::COptionUI* o = AsOption(FindControl(name)))
            o->Selected(on);
    if (setAllBox)
        if (DuiLib::COptionUI* all = AsOption(FindControl(L"optSelectAllType")))
            all->Selected(on);
}

// ---- progress ----

void CMainFrame::OnScanProgress(ScanProgressInfo* info, LPARAM lParam)
{
    if (!info || !lParam) {
        delete info;
        return;
    }
    if (!m_pScanProgress)
        m_pScanProgress = static_cast<DuiLib::CProgressUI*>(FindControl(L"scanProgress"));
    const bool shown = IsControlVisible(L"scanProgressCtl");
    const DWORD now = GetTickCount();
    if (shown == info->bActive) {
        if (now - m_dwLastProgressTick <= 1000) {
            delete info;
            return;
        }
        m_dwLastProgressTick = now;
    } else {
        ShowControl(L"scanProgressCtl", info->bActive);
        ::PostMessageW(m_hWnd, WM_SIZE, 0, 0);
    }
    if (!info->bActive)
        m_TaskBar.Reset(true);
    std::wstring remain = info->pszRemain ? info->pszRemain : L"";
    if (remain.empty())
        remain = RemainTimeUnknownText();  // no estimate yet
    const int done = info->nDone < 0 ? 0 : info->nDone;
    const int total = info->nTotal < 0 ? 0 : info->nTotal;
    int ratio = total ? (int)((int64_t)done * 1000 / total) : 0;
    ratio = ratio < 0 ? 0 : ratio > 1000 ? 1000 : ratio;
    m_TaskBar.SetProgress(done, total);
    if (m_pScanProgress) {
        m_pScanProgress->SetValue(ratio);
        m_pScanProgress->SetText(ScanProgressText(ratio, remain).c_str());
    }
    if (done == total)
        m_TaskBar.Reset(true);
    delete info;
}

void CMainFrame::UpdateBottomStatus(uint64_t count, uint64_t bytes, bool throttle)
{
    if (throttle) {
        const double now = (double)clock() * 1000.0 / CLOCKS_PER_SEC;
        if (now - m_dLastStatusClock <= 1000.0)
            return;
        m_dLastStatusClock = now;
    }
    SetControlText(L"BottomStatus", BottomStatusText(count, bytes).c_str());
}

// ---- pause, resume, stop, end ----

void CMainFrame::PauseScan()
{
    ShowControl(L"btnPause", false);
    ShowControl(L"btnResume", true);
    m_BusyAnim.Stop();
    if (ScanKind == SCAN_KIND_LOST_PARTITION)
        m_pPartitionScan->PauseScan();
    else
        m_ScanDiskDlg.PauseScan();
}

void CMainFrame::ResumeScan()
{
    ShowControl(L"btnPause", true);
    ShowControl(L"btnResume", false);
    if (m_BusyAnim.IsVisible())
        m_BusyAnim.Draw();
    if (ScanKind == SCAN_KIND_LOST_PARTITION)
        m_pPartitionScan->ResumeScan();
    else
        m_ScanDiskDlg.ResumeScan();
}

void CMainFrame::OnStopButton()
{
    AddUsageEvent(L"OnStopScan");
    HCURSOR old = SetCursor(LoadCursor(NULL, IDC_WAIT));
    if (ScanKind == SCAN_KIND_LOST_PARTITION)
        m_pPartitionScan->StopSearch();
    else
        m_ScanDiskDlg.StopScan();
    SetCursor(old);
}

bool CMainFrame::IsScanActive()
{
    if (ScanKind == SCAN_KIND_LOST_PARTITION)
        return m_pPartitionScan->IsRunning() && !m_pPartitionScan->IsPaused();
    return !m_ScanDiskDlg.IsStopRequested() && !m_ScanDiskDlg.IsPaused();
}

void CMainFrame::OnScanDone(LPARAM lParam)
{
    if (ScanKind == SCAN_KIND_LOST_PARTITION)
        m_pPartitionScan->ResetScan(true);
    else
        m_ScanDiskDlg.EndScanThread();
    ::PostMessageW(m_hWnd, WMU_ShowGuide, 0, 0);
    m_BusyAnim.Show(false);
    if (DuiLib::CTabLayoutUI* tab = static_cast<DuiLib::CTabLayoutUI*>(FindControl(L"ScanTab")))
        tab->SelectItem(1);
    ShowScanRunningControls(true);
    m_TaskBar.Reset(true);
    m_bResultFromFile = lParam == 1;
    EnterCriticalSection(&m_csResults);
    const bool empty = IsDeepResult() ? m_CarvedHits.empty() : m_FoundItems.empty();
    LeaveCriticalSection(&m_csResults);
    if (empty || lParam == 1)
        EnableControl(L"SaveScanResultButton", false);
    // A volume whose file system could not be read at all was not scanned:
    // say so and offer the deep scan, as for a volume without a file system.
    const bool unreadable = lParam == 0 && (ScanKind == SCAN_KIND_DELETED || ScanKind == SCAN_KIND_FORMATTED) &&
                            m_ScanDiskDlg.IsVolumeUnreadable();
    // A scan that passed over unreadable areas, or ended because the device
    // stopped answering, says so: its list is all that could be read.
    std::wstring trouble;
    if (lParam != 1 && ScanKind != SCAN_KIND_LOST_PARTITION)
        trouble = m_ScanDiskDlg.ReadTrouble().Describe();
    else if (lParam != 1 && m_pPartitionScan->GetControl())
        trouble = m_pPartitionScan->GetControl()->ReadTrouble().Describe();
    if (unreadable && empty && GetLastActivePopup(m_hWnd) == m_hWnd) {
        if (MessageBoxByBase64Key("Vm9sdW1lVW5yZWFkYWJsZQ==", m_hWnd, MB_ICONQUESTION | MB_YESNO, 0) == IDYES) {
            // A fresh page for the deep scan, as from Home.
            ClearScanResults();
            if (DuiLib::COptionUI* all = AsOption(FindControl(L"checkSelectAll")))
                all->Selected(false);
            StartScan(SCAN_KIND_DEEP);
        }
    } else if (!trouble.empty() && GetLastActivePopup(m_hWnd) == m_hWnd) {
        ShowMessageDlg(m_hWnd, trouble.c_str(), GetMessageTitle().c_str(), MB_ICONWARNING, 0);
    } else if (empty && GetLastActivePopup(m_hWnd) == m_hWnd) {
        MessageBoxByBase64Key("Tm9GaWxlQ2FuUmVjb3ZlcmVk", m_hWnd, 0x40, 0);
    }
    DebugPrint(L"[Delvaro] San completed!\n");
}

// ---- the intake timer ----

CListThumbElementUI* CMainFrame::MakeTile(void* entry, bool shown, bool checked, bool media)
{
    CListThumbElementUI* tile = new CListThumbElementUI(&m_PaintManager);
    if (IsThumbnailView())
        tile->SetSizeQuiet(150, 142);
    else
        tile->SetSizeQuiet(0, 22);
    if (media)
        tile->SetState(THUMB_MEDIA);
    tile->SetTag((UINT_PTR)entry);
    tile->SetCheck(checked);
    tile->SetToolTip(tile->EntryName().c_str());
    tile->SetVisibleQuiet(shown);
    return tile;
}

void CMainFrame::OnRefreshTimer()
{
    // The last tick's entries are still going in: this tick takes none.
    if (!m_IntakeBatch.empty())
        return;
    const bool deep = IsDeepResult();
    // Whether the scan has ended is read before the list's size: an entry
    // handed over in between is then still taken by a later tick.
    // A stop is only asked for until the worker has really ended: what it
    // still hands over meanwhile is taken too.
    const bool ended = ScanKind == SCAN_KIND_LOST_PARTITION
                           ? !m_pPartitionScan->IsRunning()
                           : m_ScanDiskDlg.IsStopRequested() && !m_ScanDiskDlg.IsScanRunning();
    EnterCriticalSection(&m_csResults);
    const size_t n = deep ? m_CarvedHits.size() : m_FoundItems.size();
    LeaveCriticalSection(&m_csResults);
    if (ended && m_u64Processed == n) {
        UpdateBottomStatus(m_u64CheckedCount, m_u64CheckedBytes, false);
        DebugPrint(L"[Delvaro] Update completed!\n");
        KillTimer(m_hWnd, kRefreshTimer);
        m_bRefreshTimer = false;
        m_u64Processed = 0;
        return;
    }
    if (n == 0 || m_u64Processed >= n)
        return;

    // The next entries, taken under the lock: the lists only grow at their
    // end while the timer walks them, and nothing but the window's thread
    // deletes an entry. The iterators stay on the last entry taken (never
    // on end(), which a later append would leave behind), and each tick
    // goes on one step after it.
    std::vector<void*>& batch = m_IntakeBatch;
    batch.reserve(kIntakePerTick);
    EnterCriticalSection(&m_csResults);
    if (deep)
        TakeIntakeBatch(m_CarvedHits, m_itCarved, n);
    else
        TakeIntakeBatch(m_FoundItems, m_itFound, n);
    LeaveCriticalSection(&m_csResults);

    m_nIntakePos = 0;
    m_pIntakeFirstShown = NULL;
    ContinueIntake();
}

template <class T>
void CMainFrame::TakeIntakeBatch(std::list<T*>& list, typename std::list<T*>::iterator& last, size_t n)
{
    // Called with the results lock held.
    typename std::list<T*>::iterator it = list.begin();
    if (m_u64Processed != 0) {
        it = last;
        ++it;
    }
    for (; it != list.end() && m_IntakeBatch.size() < kIntakePerTick && m_u64Processed + m_IntakeBatch.size() < n;
         ++it) {
        m_IntakeBatch.push_back(*it);
        last = it;
    }
}

void CMainFrame::ContinueIntake()
{
    if (m_IntakeBatch.empty())
        return;
    const bool deep = IsDeepResult();
    // The entries go in by slices of about kIntakeSliceMs, so that the
    // window answers in between however much each entry costs.
    const DWORD sliceStart = GetTickCount();
    m_TypeTree.BeginUpdate();
    m_PathTree.BeginUpdate();
    m_TimeTree.BeginUpdate();
    while (m_nIntakePos < m_IntakeBatch.size()) {
        void* entry = m_IntakeBatch[m_nIntakePos++];
        bool shown, checked;
        std::wstring ext;
        uint64_t size;
        if (deep) {
            DeepScanHit* hit = static_cast<DeepScanHit*>(entry);
            shown = MatchCarvedItem(m_SelectionKeys, hit, false);
            checked = MatchCarvedItem(m_CheckKeys, hit, true);
            ext = ExtensionOfHit(hit);
            m_TypeTree.AddFile(ext, checked);
            hit->uReserved = checked ? 1 : 0;
            size = hit->u64Length;
        } else {
            CFoundItem* item = static_cast<CFoundItem*>(entry);
            shown = MatchFoundItem(m_SelectionKeys, item, false);
            checked = MatchFoundItem(m_CheckKeys, item, true);
            ext = ExtensionOfName(item->m_strName);
            m_TypeTree.AddFile(ext, checked);
            m_PathTree.AddFile(item->GetCurrentPath(), checked);
            m_TimeTree.AddFile(item->m_strTime, checked);
            item->m_bChecked = checked;
            size = item->m_u64Size;
        }
        const bool media = LookupExtensionValue(ext) != 2;
        CListThumbElementUI* tile = MakeTile(entry, shown, checked, media);
        if (m_pFileList)
            m_pFileList->AppendTile(tile);
        else
            delete tile;
        if (shown && !m_pIntakeFirstShown && m_pFileList)
            m_pIntakeFirstShown = tile;
        if (checked) {
            ++m_u64CheckedCount;
            m_u64CheckedBytes += size;
        }
        ++m_u64Processed;
        if ((m_nIntakePos & 31) == 0 && GetTickCount() - sliceStart > kIntakeSliceMs)
            break;
    }
    m_TypeTree.EndUpdate();
    m_PathTree.EndUpdate();
    m_TimeTree.EndUpdate();
    if (m_pFileList)
        m_pFileList->EndBatch();
    if (m_nIntakePos < m_IntakeBatch.size()) {
        ::PostMessageW(m_hWnd, WMU_IntakeMore, 0, 0);
        return;
    }
    m_IntakeBatch.clear();
    CListThumbElementUI* firstShown = m_pIntakeFirstShown;
    m_pIntakeFirstShown = NULL;
    if (firstShown && !m_pPendingTile && !m_hTileCheckThread)
        StartTileCheck(firstShown);
    UpdateBottomStatus(m_u64CheckedCount, m_u64CheckedBytes, true);
    SetControlText(L"ScanTitle", EngineFormatInt(L"ScanningFile", (int)m_u64Processed).c_str());
}

void CMainFrame::StartResultRefresh()
{
    if (m_hWnd && GetCurrentThreadId() != m_dwWindowThread) {
        ::SendMessageW(m_hWnd, WMU_StartResultRefresh, 0, 0);
        return;
    }
    if (!m_pMainTab)
        return;
    m_u64Processed = 0;
    SetTimer(m_hWnd, kRefreshTimer, 1000, NULL);
    m_bRefreshTimer = true;
    SelectPage(4);
}

// ---- the trees on the result page ----

void CMainFrame::ShowTree(int viewKind)
{
    CCheckTreeCtrl* tree = viewKind == 0 ? (CCheckTreeCtrl*)&m_TypeTree
                           : viewKind == 1 ? (CCheckTreeCtrl*)&m_PathTree
                                           : (CCheckTreeCtrl*)&m_TimeTree;
    if (HWND h = tree->GetHwnd())
        if (HTREEITEM root = TreeView_GetRoot(h))
            TreeView_SelectItem(h, root);
    m_nViewKind = viewKind;
    ShowTrees(true);
}

void CMainFrame::ShowTrees(bool visible)
{
    HWND trees[3] = {m_PathTree.GetHwnd(), m_TimeTree.GetHwnd(), m_TypeTree.GetHwnd()};
    HWND shown = m_nViewKind == 0 ? m_TypeTree.GetHwnd() : m_nViewKind == 2 ? m_TimeTree.GetHwnd() : m_PathTree.GetHwnd();
    for (HWND t : trees)
        if (t && (!visible || t != shown))
            ::ShowWindow(t, SW_HIDE);
    if (visible && shown) {
        ::ShowWindow(shown, SW_SHOWNA);
        if (m_nViewKind == 0)
            m_TypeTree.ResetCurrentItem();
        else if (m_nViewKind == 1)
            m_PathTree.ResetCurrentItem();
        else
            m_TimeTree.ResetCurrentItem();
    }
}

void CMainFrame::LayoutTrees()
{
    RECT rcClient;
    GetClientRect(m_hWnd, &rcClient);
    const bool progress = IsControlVisible(L"scanProgressCtl");
    // Over the tree area of the skin when it is laid out, else at the fixed
    // place of the result page.
    RECT area = {1, progress ? 144 : 107, 0, 0};
    CControlUI* filter = FindControl(L"filterCtl");
    area.right = area.left + (filter && filter->GetFixedWidth() > 0 ? filter->GetFixedWidth() : 220);
    area.bottom = area.top + (rcClient.bottom - (progress ? 221 : 184));
    CControlUI* treeArea = FindControl(L"treeArea");
    if (treeArea && treeArea->IsVisible()) {
        RECT pos = treeArea->GetPos();
        if (pos.right > pos.left && pos.bottom > pos.top)
            area = pos;
    }
    HWND trees[3] = {m_PathTree.GetHwnd(), m_TimeTree.GetHwnd(), m_TypeTree.GetHwnd()};
    for (HWND t : trees)
        if (t)
            MoveWindow(t, area.left, area.top, area.right - area.left, area.bottom - area.top, TRUE);
}

// ---- home and clearing ----

void CMainFrame::GoHome()
{
    InterlockedExchange(&m_nThumbStop, 1);
    KillTimer(m_hWnd, kRefreshTimer);
    m_bRefreshTimer = false;
    m_u64Processed = 0;
    // The workers that read the volumes (thumbnails, tile check) end, and the
    // results go, before the gate lets an enumeration free the volumes.
    ClearScanResults();
    if (DuiLib::COptionUI* all = AsOption(FindControl(L"checkSelectAll")))
        all->Selected(false);
    ShowControl(L"LoadPrevScanButton", true);
    ShowControl(L"SaveScanResultButton", false);
    SetControlText(L"NameFilter", L"");
    HoldDiskEnumeration(false);
    ForgetJobState();
    if (m_nUiMode == 1) {
        m_nDiskFilter = 0;
        FilterDiskList(0);
        SelectPage(0);
    } else {
        SelectPage(1);
    }
}

void CMainFrame::ClearScanResults()
{
    if (m_hWnd && GetCurrentThreadId() != m_dwWindowThread) {
        ::SendMessageW(m_hWnd, WMU_ClearResults, 0, 0);
        return;
    }
    // From here on a finding that a stopping scan still hands over is
    // refused and freed.
    EnterCriticalSection(&m_csResults);
    m_bIntakeOpen = false;
    LeaveCriticalSection(&m_csResults);
    KillTimer(m_hWnd, kRefreshTimer);
    m_bRefreshTimer = false;
    // The batch under way goes before the wait below serves messages: its
    // next slice (already posted) would take the old entries into the list
    // and the counters after they were reset.
    m_IntakeBatch.clear();
    m_nIntakePos = 0;
    m_pIntakeFirstShown = NULL;
    m_u64Processed = 0;
    m_u64CheckedCount = 0;
    m_u64CheckedBytes = 0;
    UpdateBottomStatus(0, 0, false);
    SetControlText(L"ScanTitle", EngineFormatInt(L"ScanningFile", 0).c_str());
    EndWorkerThreads(true);
    m_pPendingTile = NULL;
    if (m_pFileList)
        m_pFileList->RemoveAll();
    m_PathTree.DeleteAllItems();
    m_TimeTree.DeleteAllItems();
    m_TypeTree.DeleteAllItems();
    std::list<DeepScanHit*> hits;
    std::list<CFoundItem*> items;
    EnterCriticalSection(&m_csResults);
    hits.swap(m_CarvedHits);
    items.swap(m_FoundItems);
    LeaveCriticalSection(&m_csResults);
    for (DeepScanHit* hit : hits)
        delete hit;
    for (CFoundItem* item : items)
        delete item;
    m_SelectionKeys.clear();
    m_CheckKeys.clear();
    if (m_hTargetDevice && m_hTargetDevice != INVALID_HANDLE_VALUE)
        CloseHandle(m_hTargetDevice);
    m_hTargetDevice = INVALID_HANDLE_VALUE;
}

// ---- saved results ----

std::vector<CFoundItem*> CMainFrame::GetFoundFiles()
{
    EnterCriticalSection(&m_csResults);
    std::vector<CFoundItem*> out(m_FoundItems.begin(), m_FoundItems.end());
    LeaveCriticalSection(&m_csResults);
    return out;
}

std::vector<DeepScanHit*> CMainFrame::GetCarvedFiles()
{
    EnterCriticalSection(&m_csResults);
    std::vector<DeepScanHit*> out(m_CarvedHits.begin(), m_CarvedHits.end());
    LeaveCriticalSection(&m_csResults);
    return out;
}

bool CMainFrame::AppendLoadedFile(CFoundItem* item)
{
    if (!item)
        return false;
    EnterCriticalSection(&m_csResults);
    const bool take = m_bIntakeOpen;
    if (take)
        m_FoundItems.push_back(item);
    LeaveCriticalSection(&m_csResults);
    return take;
}

bool CMainFrame::AppendLoadedHit(DeepScanHit* hit)
{
    if (!hit)
        return false;
    EnterCriticalSection(&m_csResults);
    const bool take = m_bIntakeOpen;
    if (take)
        m_CarvedHits.push_back(hit);
    LeaveCriticalSection(&m_csResults);
    return take;
}

void CMainFrame::SetSelectedVolume(CVolumeInfo* volume)
{
    m_pSelectedVolume = volume;
}

void CMainFrame::SetResultFromFile(int from)
{
    m_bResultFromFile = from != 0;
}

void CMainFrame::SetThumbnailStop(bool stop)
{
    InterlockedExchange(&m_nThumbStop, stop ? 1 : 0);
}

void CMainFrame::EndLoadedResult()
{
    if (GetCurrentPage() != 4)
        HoldDiskEnumeration(false);
}

void CMainFrame::BeginLoadedResult()
{
    ClearScanResults();
    // A loaded result reads the volumes and disks as a scan's does: the
    // enumeration waits until Home. Its thumbnails are made (Home stopped
    // the previous result's).
    HoldDiskEnumeration(true);
    WaitForDiskEnumeration();
    InterlockedExchange(&m_nThumbStop, 0);
    EnterCriticalSection(&m_csResults);
    m_bIntakeOpen = true;
    LeaveCriticalSection(&m_csResults);
}
