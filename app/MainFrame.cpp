// The main window: lifetime, window messages, notification dispatch and the
// one way it closes.
#include "app/MainFrame.h"

#include <commctrl.h>
#include <dbt.h>

#include <algorithm>

#include "app/CloseConfirm.h"
#include "app/GuideDlg.h"
#include "app/MenuWnd.h"
#include "app/PageContainers.h"
#include "app/WindowMessages.h"
#include "core/Helpers.h"
#include "core/Language.h"
#include "core/Log.h"
#include "core/Settings.h"
#include "engine/PartitionScanControl.h"

namespace {
const UINT_PTR kRefreshTimer = 350;
const UINT_PTR kRecoverTimer = 352;
// The first-use guide: a moment for the page it explains to settle.
const UINT_PTR kGuideTimer = 353;
const UINT kGuideDelayMs = 100;
const int kTreeIds[3] = {101, 102, 103};  // path, time, type

}  // namespace

CMainFrame::CMainFrame()
    : m_pSelectedVolume(NULL),
      m_ScanDiskDlg(this),
      m_nViewKind(0),
      m_hTargetDevice(INVALID_HANDLE_VALUE),
      m_hThumbThread(NULL),
      m_hDiskEnumThread(NULL),
      m_hGuideWnd(NULL),
      m_nGuidePending(0),
      m_hDiskListGate(NULL),
      m_hTileCheckThread(NULL),
      m_nThumbStop(1),
      m_bDiskRowParsed(false),
      m_bInitialized(false),
      m_bResultPageBuilt(false),
      m_u64Processed(0),
      m_u64CheckedCount(0),
      m_u64CheckedBytes(0),
      m_bShowGuideAfterEnum(true),
      m_bNeedsDeepScan(false),
      m_bOtherTypes(true),
      m_nUiMode(0),
      m_nEntryKind(0),
      m_nDiskFilter(0),
      m_nSelectedCategories(6),
      m_pFileList(NULL),
      m_pMainTab(NULL),
      m_pPendingTile(NULL),
      m_bClosing(false),
      m_bStopEnum(0),
      m_bEnumAgain(false),
      m_bEnumAgainQuiet(true),
      m_bTrayHintShown(false),
      m_dwWindowThread(GetCurrentThreadId()),
      m_pDiskListUI(NULL),
      m_bIntakeOpen(true),
      m_bRefreshTimer(false),
      m_bResultFromFile(false),
      m_pThumbRun(NULL),
      m_bStartingThumbs(false),
      m_bThumbsAgain(false),
      m_hTileCheckCancel(NULL),
      m_u64ThumbRunId(0),
      m_pScanProgress(NULL),
      m_dwLastProgressTick(0),
      m_dLastStatusClock(-1e9)
{
    InitializeCriticalSection(&m_csResults);
    for (bool& d : m_bSortDescending)
        d = false;
    InitFormatTable();
    m_PluginRegistry.Load();
    m_pPartitionScan.reset(CreatePartitionScanControl(this));
    InitMediaExtensions();
}

CMainFrame::~CMainFrame()
{
    PostQuitMessage(0);
    for (DeepScanHit* hit : m_CarvedHits)
        delete hit;
    m_CarvedHits.clear();
    for (CFoundItem* item : m_FoundItems)
        delete item;
    m_FoundItems.clear();
    HANDLE handles[] = {m_hThumbThread, m_hDiskEnumThread, m_hDiskListGate, m_hTileCheckThread, m_hTileCheckCancel};
    for (HANDLE h : handles)
        if (h)
            CloseHandle(h);
    if (m_hTargetDevice && m_hTargetDevice != INVALID_HANDLE_VALUE)
        CloseHandle(m_hTargetDevice);
    DeleteCriticalSection(&m_csResults);
}

void CMainFrame::InitMediaExtensions()
{
    const wchar_t* video[] = {L"avi", L"mov", L"mp4", L"wmv", L"rm", L"mkv", L"3gp",
                              L"swf", L"mpg", L"rmvb", L"m2ts", L"webm", L"m4v"};
    const wchar_t* audio[] = {L"mp3", L"wav", L"wma", L"pcm", L"aif", L"au", L"wv",
                              L"mp2", L"amr", L"flac", L"ape", L"ac3", L"mmf"};
    for (const wchar_t* e : video)
        m_MediaExtensions[e] = 1;
    for (const wchar_t* e : audio)
        m_MediaExtensions[e] = 0;
}

void CMainFrame::OnFinalMessage(HWND hWnd)
{
    WindowImplBase::OnFinalMessage(hWnd);
    delete this;
}

CDuiString CMainFrame::GetSkinFile()
{
    if (!g_OemInfo.m_strSkinFileName.empty())
        return (g_OemInfo.m_strSkinFileName + L".xml").c_str();
    return L"skin.xml";
}

LRESULT CMainFrame::ResponseDefaultKeyEvent(WPARAM wParam)
{
    // Escape does nothing in the main window; Enter goes to the focused control.
    return wParam == VK_ESCAPE ? 1 : 0;
}

LRESULT CMainFrame::MessageHandler(UINT uMsg, WPARAM wParam, LPARAM lParam, bool& bHandled)
{
    return WindowImplBase::MessageHandler(uMsg, wParam, lParam, bHandled);
}

CControlUI* CMainFrame::CreateControl(LPCTSTR pstrClass)
{
    if (!pstrClass)
        return NULL;
    if (wcscmp(pstrClass, L"HomeCtrl") == 0)
        return new CHomeUI(m_PaintManager, NULL);
    if (wcscmp(pstrClass, L"WizDiskListCtrl") == 0)
        return new CWizDiskList(m_PaintManager, NULL);
    if (wcscmp(pstrClass, L"WizScanModeCtrl") == 0)
        return new CWizScanMode(m_PaintManager, NULL);
    if (wcscmp(pstrClass, L"WizFileTypeCtrl") == 0)
        return new CWizFileType(m_PaintManager, NULL);
    if (wcscmp(pstrClass, L"ScanResultCtrl") == 0) {
        m_bResultPageBuilt = true;
        return new CScanResultCtrl(m_PaintManager, NULL);
    }
    return NULL;
}

LRESULT CMainFrame::OnCreate(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled)
{
    m_dwWindowThread = GetCurrentThreadId();
    LRESULT r = WindowImplBaseShw::OnCreate(uMsg, wParam, lParam, bHandled);
    const RECT rc = {0, 0, 220, 300};
    m_PathTree.Create(m_hWnd, rc, kTreeIds[0]);
    m_TimeTree.Create(m_hWnd, rc, kTreeIds[1]);
    m_TypeTree.Create(m_hWnd, rc, kTreeIds[2]);
    if (m_BusyAnim.Create(m_hWnd) && m_BusyAnim.LoadFromResource(220, L"GIF"))
        m_BusyAnim.SetBkColor(0xFFFFFF);
    // The message boxes that workers ask for are shown by this window.
    SetMessageBoxHost(m_hWnd, WMU_ShowMessageBox);
    return r;
}

LRESULT CMainFrame::OnDestroy(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled)
{
    if (GetMessageBoxHost() == m_hWnd)
        SetMessageBoxHost(NULL, 0);
    m_PathTree.Destroy();
    m_TimeTree.Destroy();
    m_TypeTree.Destroy();
    m_BusyAnim.Destroy();
    return WindowImplBaseShw::OnDestroy(uMsg, wParam, lParam, bHandled);
}

HWND CMainFrame::GetTreeWindow(int id) const
{
    return id == 101 ? m_PathTree.GetHwnd() : id == 102 ? m_TimeTree.GetHwnd() : id == 103 ? m_TypeTree.GetHwnd() : NULL;
}

LRESULT CMainFrame::OnSize(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled)
{
    WindowImplBaseShw::OnSize(uMsg, wParam, lParam, bHandled);
    const int w = LOWORD(lParam), h = HIWORD(lParam);
    if (w && h) {
        const SIZE busy = m_BusyAnim.GetPictureSize();
        m_BusyAnim.MoveTo(w / 2 - busy.cx / 2, h / 2 - busy.cy / 2, busy.cx, busy.cy);
    }
    if (m_bInitialized && GetCurrentPage() == 4)
        LayoutTrees();
    if (w && h && m_bResultPageBuilt) {
        // The row of Pause (or Resume, in its place) beside Stop follows
        // the right edge; it keeps its top and is as wide as the buttons it
        // holds, whichever of them show now.
        CControlUI* row = FindControl(L"ScanBtnCtl");
        if (CContainerUI* btns = row ? static_cast<CContainerUI*>(row->GetInterface(DUI_CTR_CONTAINER)) : NULL) {
            SIZE xy = btns->GetFixedXY();
            xy.cx = w - 110;
            if (!xy.cy)
                xy.cy = 5;
            int others = 0, pauseOrResume = 0, high = 0, count = 0;
            for (int i = 0; i < btns->GetCount(); ++i) {
                CControlUI* b = btns->GetItemAt(i);
                const CDuiString name = b->GetName();
                if (name == L"btnPause" || name == L"btnResume") {
                    pauseOrResume = std::max(pauseOrResume, b->GetFixedWidth());
                } else {
                    others += b->GetFixedWidth();
                    ++count;
                }
                high = std::max(high, b->GetFixedHeight());
            }
            const int padding = btns->GetChildPadding() * count;
            btns->SetFixedXY(xy);
            btns->SetFixedWidth(std::max(btns->GetFixedWidth(), pauseOrResume + padding + others));
            btns->SetFixedHeight(std::max(btns->GetFixedHeight(), high));
        }
    }
    return 0;
}

LRESULT CMainFrame::OnSysCommand(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled)
{
    DebugPrint(L"[Delvaro] OnSysCommand = %x\n", (unsigned)wParam);
    if ((wParam & 0xFFF0) == SC_CLOSE) {
        // The system close takes the close button's way (posted, so that the
        // window object is not gone under this handler).
        ::PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
        bHandled = TRUE;
        return 0;
    }
    BOOL zoomed = IsZoomed(m_hWnd);
    LRESULT r = WindowImplBaseShw::OnSysCommand(uMsg, wParam, lParam, bHandled);
    if (IsWindow(m_hWnd) && IsZoomed(m_hWnd) != zoomed) {
        bool now = IsZoomed(m_hWnd) != 0;
        ShowControl(L"btnRestore", now);
        ShowControl(L"btnMax", !now);
    }
    return r;
}

// ---- closing ----

LRESULT CMainFrame::OnClose(UINT, WPARAM, LPARAM, BOOL& bHandled)
{
    bHandled = TRUE;
    if (m_bClosing)
        return 0;
    // One way out for the close button, the system menu, Alt+F4 and WM_CLOSE.
    m_bClosing = true;
    if (!ConfirmClose(m_hWnd)) {
        m_bClosing = false;
        return 0;
    }
    // The window goes from the screen at once; the workers it waits for
    // (a disk enumeration still running at start-up, for one) end behind it.
    ShowWindow(m_hWnd, SW_HIDE);
    ShutDownWork();
    DestroyWindow(m_hWnd);
    return 0;
}

bool CMainFrame::IsScanRunning()
{
    return (m_pPartitionScan && m_pPartitionScan->IsRunning()) || m_ScanDiskDlg.IsScanRunning();
}

void CMainFrame::ShutDownWork()
{
    KillTimer(m_hWnd, kRefreshTimer);
    // A running scan or partition search stops, and it has ended before
    // anything it reports to goes.
    if (m_pPartitionScan && m_pPartitionScan->IsRunning())
        m_pPartitionScan->StopSearch();
    if (m_ScanDiskDlg.IsScanRunning()) {
        m_ScanDiskDlg.StopScan();
        // Its findings still arrive as messages while it ends.
        while (m_ScanDiskDlg.IsScanRunning())
            if (m_ScanDiskDlg.m_hThread)
                WaitWithMessagePump(m_ScanDiskDlg.m_hThread, 200, TRUE);
    }
    m_ScanDiskDlg.EndScanThread();
    // The disk enumeration: released from the gate, told to stop, waited for.
    InterlockedExchange(&m_bStopEnum, 1);
    m_bEnumAgain = false;
    EnterCriticalSection(&m_csResults);
    if (m_hDiskListGate)
        SetEvent(m_hDiskListGate);
    LeaveCriticalSection(&m_csResults);
    if (m_hDiskEnumThread) {
        WaitWithMessagePump(m_hDiskEnumThread, INFINITE, TRUE);
        CloseHandle(m_hDiskEnumThread);
        m_hDiskEnumThread = NULL;
    }
    // The guide goes with the window.
    KillTimer(m_hWnd, kGuideTimer);
    m_nGuidePending = 0;
    if (m_hGuideWnd) {
        CloseFirstUseGuide(m_hGuideWnd);
        m_hGuideWnd = NULL;
    }
    InterlockedExchange(&m_nThumbStop, 1);
    EndWorkerThreads(true);
    if (m_bTrayHintShown) {
        RemoveTrayIcon(m_hWnd);
        m_bTrayHintShown = false;
    }
}

// ---- messages ----

LRESULT CMainFrame::HandleCustomMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled)
{
    bHandled = TRUE;
    switch (uMsg) {
    case WM_DEVICECHANGE:
        OnDeviceChange(wParam, lParam);
        bHandled = FALSE;
        return TRUE;
    case WM_TIMER:
        if (wParam == kRefreshTimer) {
            OnRefreshTimer();
            return 0;
        }
        if (wParam == kGuideTimer) {
            KillTimer(m_hWnd, kGuideTimer);
            const int value = m_nGuidePending;
            m_nGuidePending = 0;
            if (!m_bClosing && !m_hGuideWnd)
                m_hGuideWnd = ShowFirstUseGuide(this, value);
            return 0;
        }
        if (wParam == kRecoverTimer) {
            KillTimer(m_hWnd, kRecoverTimer);
            ::PostMessageW(m_hWnd, WMU_Recover, 0, 0);
            return 0;
        }
        bHandled = FALSE;
        return 0;
    case WM_NOTIFY: {
        // The result trees get their own notifications back.
        const NMHDR* nm = (const NMHDR*)lParam;
        if (nm && (nm->hwndFrom == m_PathTree.GetHwnd() || nm->hwndFrom == m_TimeTree.GetHwnd() ||
                   nm->hwndFrom == m_TypeTree.GetHwnd()))
            return ::SendMessageW(nm->hwndFrom, OCM_NOTIFY, wParam, lParam);
        bHandled = FALSE;
        return 0;
    }
    case WMU_ShowUDiskHint:
        ShowControl(L"UDiskHint", wParam != 0);
        return 0;
    case WMU_ShowInitHint:
        ShowControl(L"InitHint", wParam != 0);
        return 0;
    case WMU_AddDiskItem: {
        DiskListItemArgs* a = (DiskListItemArgs*)wParam;
        if (a)
            AddDiskListItem(a->pVolume, a->pDisk, a->pLostPartition, a->pszText, a->uFlags, a->pszListName,
                            a->nIndex);
        return 0;
    }
    case WMU_AddLostPartition:
        AddDiskListItem(NULL, NULL, (CPartitionInfo*)wParam, NULL, ROWS_LOST, L"listLostDisk", -1);
        return 0;
    case WMU_ClearDiskLists:
        OnClearDiskLists();
        return 0;
    case WMU_DiskEnumDone:
        OnDiskEnumDone();
        return 0;
    case WMU_DiskListFilled:
        FilterDiskList(m_nDiskFilter);
        return 0;
    case WMU_ShowGuide:
        OnShowGuide();
        return 0;
    case WMU_ShowMessageBox:
        ServeMessageBoxRequest(m_hWnd, lParam);
        return 0;
    case WMU_FirstResult:
        OnFirstResult();
        return 0;
    case WMU_GuideDone:
        if (m_hGuideWnd && !IsWindow(m_hGuideWnd))
            m_hGuideWnd = NULL;
        return 0;
    case WMU_SelectLostPartition:
        SelectLostPartition((CPartitionInfo*)wParam);
        return 0;
    case WMU_ScanDone:
        OnScanDone(lParam);
        return 0;
    case WMU_ScanProgress:
        OnScanProgress((ScanProgressInfo*)wParam, lParam);
        return 0;
    case WMU_MenuItemClick: {
        std::wstring* name = (std::wstring*)wParam;
        if (name) {
            OnMenuCommand(*name);
            delete name;
        }
        return 0;
    }
    case WMU_SortResults:
        if (wParam && m_pFileList)
            m_pFileList->SetItemIndex((CControlUI*)wParam, (int)lParam);
        return 0;
    case WMU_IntakeMore:
        ContinueIntake();
        return 0;
    case WMU_ClearResults:
        ClearScanResults();
        return 0;
    case WMU_StartResultRefresh:
        StartResultRefresh();
        return 0;
    case WMU_TileCheckDone:
        OnTileCheckDone();
        return 0;
    case WMU_ThumbnailReady:
        OnThumbnailReady((ThumbnailResult*)wParam);
        return 0;
    case WMU_RefreshFileList:
        StartThumbnailThread(true);
        return 0;
    case WMU_SetViewMode:
        SetViewMode((int)wParam);
        return 0;
    case WMU_PreviewSelected:
        PreviewSelected();
        return 0;
    case WMU_Recover:
        Recover();
        return 0;
    case WMU_TreeSelChanged:
        m_nViewKind = GetVisibleTreeKind();
        FillFileListFromTree();
        return 0;
    case WMU_TreeCheckChanged:
        m_nViewKind = GetVisibleTreeKind();
        ApplyTreeChecks();
        return 0;
    case WMU_CheckAllState:
        if (DuiLib::COptionUI* all = static_cast<DuiLib::COptionUI*>(FindControl(L"checkSelectAll")))
            all->Selected(wParam != 0);
        return 0;
    case WMU_TreeCheckClicked: {
        HWND trees[3] = {m_PathTree.GetHwnd(), m_TimeTree.GetHwnd(), m_TypeTree.GetHwnd()};
        for (HWND t : trees)
            if (t && IsWindowVisible(t)) {
                InvalidateRect(t, NULL, FALSE);
                break;
            }
        return 0;
    }
    case WMU_NewVersionFound:
        OnUpdateCheckResult(m_hWnd, wParam);
        return 0;
    case WMU_TreeWidthChanged:
        if (CControlUI* filter = FindControl(L"filterCtl")) {
            filter->SetFixedWidth((int)wParam);
            ::PostMessageW(m_hWnd, WM_SIZE, 0, 0);
        }
        return 0;
    case WMU_TrayNotify:
        return 0;
    default:
        bHandled = FALSE;
        return 0;
    }
}

void CMainFrame::OnDeviceChange(WPARAM wParam, LPARAM lParam)
{
    if (wParam != DBT_DEVICEARRIVAL && wParam != DBT_DEVICEREMOVECOMPLETE)
        return;
    const DEV_BROADCAST_HDR* hdr = (const DEV_BROADCAST_HDR*)lParam;
    if (!hdr || hdr->dbch_devicetype != DBT_DEVTYP_VOLUME)
        return;
    StartDiskEnum(0);
}

void CMainFrame::OnShowGuide()
{
    if (m_hGuideWnd || m_nGuidePending || m_bClosing)
        return;
    // Decided and recorded now; shown on this thread a moment later.
    m_nGuidePending = TakeFirstUseGuide(this);
    if (m_nGuidePending)
        SetTimer(m_hWnd, kGuideTimer, kGuideDelayMs, NULL);
}

// ---- notifications ----

void CMainFrame::Notify(TNotifyUI& msg)
{
    const CDuiString& type = msg.sType;
    if (type == DUI_MSGTYPE_WINDOWINIT) {
        OnWindowInit();
    } else if (type == DUI_MSGTYPE_CLICK) {
        OnClick(msg);
    } else if (type == DUI_MSGTYPE_TABSELECT) {
        if (msg.pSender && msg.pSender->GetName() == L"tabMain")
            OnTabSelect(msg);
    } else if (type == DUI_MSGTYPE_ITEMSELECT) {
        OnItemSelect(msg);
    } else if (type == DUI_MSGTYPE_ITEMCLICK) {
        OnItemClick(msg);
    } else if (type == DUI_MSGTYPE_ITEMACTIVATE) {
        // A double-click on a disk row goes on like "btnNext".
        CControlUI* list = msg.pSender && msg.pSender->GetParent() ? msg.pSender->GetParent()->GetParent() : NULL;
        if (list && (list->GetName() == L"listDisk" || list->GetName() == L"listLostDisk")) {
            if (CControlUI* next = FindControl(L"btnNext"))
                m_PaintManager.SendNotify(next, DUI_MSGTYPE_CLICK);
        } else if (list && list->GetName() == L"listFile") {
            ::PostMessageW(m_hWnd, WMU_PreviewSelected, 0, 0);
        }
    } else if (type == DUI_MSGTYPE_MENU) {
        ShowListMenu(msg);
    } else if (type == DUI_MSGTYPE_TEXTCHANGED) {
        if (msg.pSender && msg.pSender->GetName() == L"NameFilter")
            OnNameFilterChanged();
    } else if (type == DUI_MSGTYPE_SCROLL) {
        // The result list's own scroll bar.
        DuiLib::CScrollBarUI* bar =
            msg.pSender ? static_cast<DuiLib::CScrollBarUI*>(msg.pSender->GetInterface(DUI_CTR_SCROLLBAR)) : NULL;
        CControlUI* owner = bar ? bar->GetOwner() : NULL;
        if (owner && owner->GetParent() && owner->GetParent() == m_pFileList)
            StartThumbnailThread(false);
    } else if (type == DUI_MSGTYPE_HEADERCLICK) {
        SortResults(msg);
    } else if (type == L"thumbpreview") {
        if (m_pFileList && msg.pSender) {
            CListThumbElementUI* tile =
                static_cast<CListThumbElementUI*>(msg.pSender->GetInterface(L"ListThumbElement"));
            if (tile)
                m_pFileList->SelectItem(tile->GetIndex());
            ::PostMessageW(m_hWnd, WMU_PreviewSelected, 0, 0);
        }
    } else if (type == L"thumbcheck") {
        OnItemCheckChanged(msg);
    }
}

void CMainFrame::OnNameFilterChanged()
{
    CControlUI* edit = FindControl(L"NameFilter");
    if (!edit)
        return;
    HCURSOR old = SetCursor(LoadCursor(NULL, IDC_WAIT));
    const std::wstring text = edit->GetText().GetData();
    if (std::find(m_SelectionKeys.begin(), m_SelectionKeys.end(), text) == m_SelectionKeys.end()) {
        m_SelectionKeys.assign(1, text);
        m_nViewKind = 3;
        ApplyKeysToFileList(m_SelectionKeys, 3, 0);
    }
    SetCursor(old);
}

bool CMainFrame::OnTreeAreaSize(void*)
{
    LayoutTrees();
    return true;
}

void CMainFrame::OnWindowInit()
{
    if (CControlUI* title = FindControl(L"TitleText")) {
        if (!g_OemInfo.m_strTitleLogo.empty())
            title->SetBkImage(g_OemInfo.m_strTitleLogo.c_str());
        if (!g_strLangProductName.empty())
            title->SetText(g_strLangProductName.c_str());
    }
    m_bInitialized = true;
    m_TaskBar.Init(m_hWnd);
    SelectAllCategories(true);
    m_pMainTab = static_cast<DuiLib::CTabLayoutUI*>(FindControl(L"tabMain"));
    CControlUI* list = FindControl(L"listFile");
    m_pFileList = list ? static_cast<CResultListUI*>(list->GetInterface(L"ResultList")) : NULL;
    if (m_pFileList)
        m_pFileList->SetTileMode(g_ConfigSetting.m_nViewMode == 0);
    // The trees stand over their skin container wherever it is laid out.
    if (CControlUI* area = FindControl(L"treeArea"))
        area->OnSize += DuiLib::MakeDelegate(this, &CMainFrame::OnTreeAreaSize);
    SetUiMode(g_ConfigSetting.m_bShowMode);
    StartDiskEnum(1);
}

void CMainFrame::OnClick(TNotifyUI& msg)
{
    CControlUI* sender = msg.pSender;
    if (!sender)
        return;
    const std::wstring name = sender->GetName().GetData();
    static const struct
    {
        const wchar_t* button;
        void (CMainFrame::*job)();
    } jobs[] = {{L"RecoverDeletedFileButton", &CMainFrame::OnRecoverDeletedFile},
                {L"FormatHDButton", &CMainFrame::OnRecoverFormatHD},
                {L"RecoverUButton", &CMainFrame::OnRecoverU},
                {L"RecoverRecycleButton", &CMainFrame::OnRecoverRecycle},
                {L"PartitionLostButton", &CMainFrame::OnRecoverPartitionLost},
                {L"DeepReocverButton", &CMainFrame::OnDeepRecover}};
    for (const auto& j : jobs)
        if (name == j.button) {
            (this->*j.job)();
            return;
        }
    if (name == L"btnClose") {
        Close();
    } else if (name == L"btnMax") {
        ::SendMessageW(m_hWnd, WM_SYSCOMMAND, SC_MAXIMIZE, 0);
    } else if (name == L"btnMin") {
        ::SendMessageW(m_hWnd, WM_SYSCOMMAND, SC_MINIMIZE, 0);
    } else if (name == L"btnRestore") {
        ::SendMessageW(m_hWnd, WM_SYSCOMMAND, SC_RESTORE, 0);
    } else if (name == L"btnMenu") {
        RECT rc = sender->GetPos();
        POINT pt = {rc.left, rc.bottom};
        ClientToScreen(m_hWnd, &pt);
        CMenuWnd* menu = new CMenuWnd;
        if (!menu->Init(sender, pt.x, pt.y))
            delete menu;
    } else if (name == L"btnUseWizMode") {
        SetUiMode(0);
    } else if (name == L"btnProMode") {
        SetUiMode(1);
    } else if (name == L"btnNext") {
        if (m_nUiMode == 0)
            WizardNext();
        else
            StandardNext();
        if (GetCurrentPage() == 4)
            ShowScanStarting();
    } else if (name == L"btnBack") {
        if (m_nUiMode == 0)
            WizardBack();
        else
            StandardBack();
    } else if (name == L"optQuickScan" || name == L"optDeepScan" || name == L"optFormatedScan") {
        const wchar_t* bgs[3] = {L"quickScanBg", L"deepScanBg", L"formatedScanBg"};
        int chosen = name == L"optQuickScan" ? 0 : name == L"optDeepScan" ? 1 : 2;
        for (int i = 0; i < 3; ++i) {
            if (CControlUI* bg = FindControl(bgs[i])) {
                bg->SetBkColor(i == chosen ? 0xFFE5F3FB : 0);
                bg->SetBorderColor(i == chosen ? 0xFF70C0E7 : 0xFFDCE3EC);
            }
        }
    } else if (name == L"btnHome") {
        GoHome();
    } else if (name == L"btnDeepScanPart") {
        // The dialog works on the frame's disk objects: the enumeration waits,
        // and one already under way ends first.
        HoldDiskEnumeration(true);
        WaitForDiskEnumeration();
        ShowLostPartitionDialog(this);
        HoldDiskEnumeration(false);
    } else if (name == L"btnPause") {
        PauseScan();
    } else if (name == L"btnResume") {
        ResumeScan();
    } else if (name == L"btnStop") {
        OnStopButton();
    } else if (name == L"optTypeFilter" || name == L"optPathFilter" || name == L"optTimeFilter") {
        ShowTree(name == L"optTypeFilter" ? 0 : name == L"optPathFilter" ? 1 : 2);
    } else if (name == L"optThumbView" || name == L"optListView") {
        OnViewModeClick(name == L"optListView" ? 1 : 0);
    } else if (name == L"checkSelectAll") {
        OnCheckSelectAll();
    } else if (name == L"LoadPrevScanButton") {
        OnLoadScanRecord();
    } else if (name == L"SaveScanResultButton") {
        OnSaveScanRecord();
    } else if (name == L"optSelectAllType") {
        // The click comes before the option changes: its new state is the
        // opposite of the current one, and DuiLib sets it after this handler.
        DuiLib::COptionUI* all = static_cast<DuiLib::COptionUI*>(sender->GetInterface(DUI_CTR_OPTION));
        SelectAllCategories(!(all && all->IsSelected()), false);
    } else if (name == L"deviceBtn") {
        ToggleDiskGroup(L"deviceCtl", L"DiskListCtl");
    } else if (name == L"lostPartBtn") {
        ToggleDiskGroup(L"lostPartCtl", NULL);
    } else if (name == L"LineButton") {
        OpenUrl(CDefaultUrls::Get().m_strInfoUrl.c_str(), m_hWnd);
    } else if (name == L"RecoverMobileButton") {
        ShowInstallGuide(m_hWnd, true);
    } else if (name == L"btnLoadVHD") {
        OnLoadImage();
    } else if (name == L"btnSetPos") {
        OnSetScanRange();
    } else if (name == L"btnSetPath") {
        OnSetScanPath();
    } else if (name == L"btnRestoreFiles") {
        OnRecoverButton();
    } else {
        for (CControlUI* p = sender->GetParent(); p; p = p->GetParent()) {
            if (p->GetName() == L"typeCtl") {
                DuiLib::COptionUI* opt = static_cast<DuiLib::COptionUI*>(sender->GetInterface(DUI_CTR_OPTION));
                if (opt)
                    OnCategoryOption(sender, !opt->IsSelected());
                break;
            }
        }
    }
}

void CMainFrame::OnMenuCommand(const std::wstring& name)
{
    if (name == L"menuAbout")
        ShowAboutDialog(m_hWnd);
    else if (name == L"menuSetting")
        ShowSettingDialog(m_hWnd);
    else if (name == L"menuFeedback")
        ShowFeedbackDialog(m_hWnd);
    else if (name == L"menuUpdate")
        StartManualUpdateCheck(m_hWnd, LoadIconW(GetModuleHandleW(NULL), MAKEINTRESOURCEW(201)));
    else if (name == L"menuReView")
        ::PostMessageW(m_hWnd, WMU_PreviewSelected, 0, 0);
    else if (name == L"menuRestore")
        OnRecoverButton();
}

void CMainFrame::OnItemClick(TNotifyUI& msg)
{
    // A click on a row of one disk list clears the selection of the other.
    CControlUI* list = msg.pSender && msg.pSender->GetParent() ? msg.pSender->GetParent()->GetParent() : NULL;
    if (!list)
        return;
    const wchar_t* other = NULL;
    if (list->GetName() == L"listDisk")
        other = L"listLostDisk";
    else if (list->GetName() == L"listLostDisk")
        other = L"listDisk";
    if (other)
        if (DuiLib::CListUI* o = FindList(other))
            o->SelectItem(-1);
}

void CMainFrame::OnTabSelect(TNotifyUI&)
{
    const int page = GetCurrentPage();
    if (page >= 0 && page <= 3)
        ShowTrees(false);
    switch (page) {
    case 0:
        SetBottomTab(0);
        ShowControl(L"btnNext", false);
        ShowControl(L"LoadPrevScanButton", true);
        ShowControl(L"btnRestoreFiles", false);
        SetWizardStep(1);
        break;
    case 1:
        if (m_nUiMode == 1) {
            bool lost = ScanKind == SCAN_KIND_LOST_PARTITION;
            ShowControl(L"deviceCtl", !lost);
            ShowControl(L"DiskListCtl", !lost);
            ShowControl(L"lostPartCtl", lost);
            ShowControl(L"LostDiviseCtl", lost);
            SetBottomTab(2);
        } else {
            SetBottomTab(1);
        }
        ShowControl(L"btnNext", true);
        ShowControl(L"LoadPrevScanButton", true);
        ShowControl(L"btnRestoreFiles", false);
        SetWizardStep(1);
        break;
    case 2:
    case 3:
        ShowControl(L"btnNext", true);
        ShowControl(L"LoadPrevScanButton", false);
        SetBottomTab(2);
        SetWizardStep(page);
        break;
    case 4:
        SetUpResultPage();
        break;
    }
}

void CMainFrame::SetUpResultPage()
{
    SetBottomTab(3);
    EnableControl(L"btnPause", true);
    EnableControl(L"btnStop", true);
    ShowControl(L"btnRestoreFiles", true);
    ShowControl(L"SaveScanResultButton", true);
    ShowControl(L"btnNext", false);
    ShowControl(L"LoadPrevScanButton", false);
    // The type tree for a deep scan (its hits have no folders or
    // dates), else the folder tree.
    ShowTree(ScanKind == SCAN_KIND_DEEP ? 0 : 1);
    LayoutTrees();
}

void CMainFrame::ShowScanStarting()
{
    ::PostMessageW(m_hWnd, WMU_ShowGuide, 0, 0);
    m_BusyAnim.Show(true);
    m_BusyAnim.Draw();
    if (DuiLib::CTabLayoutUI* tab = static_cast<DuiLib::CTabLayoutUI*>(FindControl(L"ScanTab")))
        tab->SelectItem(0);
}

void CMainFrame::ShowScanRunningControls(bool finished)
{
    ShowControl(L"btnStop", !finished);
    ShowControl(L"btnPause", !finished);
    ShowControl(L"btnResume", false);
    if (ScanKind == SCAN_KIND_DEEP) {
        ShowControl(L"optPathFilter", false);
        ShowControl(L"optTimeFilter", false);
        if (DuiLib::COptionUI* o = static_cast<DuiLib::COptionUI*>(FindControl(L"optTypeFilter")))
            o->Selected(true);
    } else {
        ShowControl(L"optPathFilter", true);
        ShowControl(L"optTimeFilter", true);
        if (!finished)
            if (DuiLib::COptionUI* o = static_cast<DuiLib::COptionUI*>(FindControl(L"optPathFilter")))
                o->Selected(true);
    }
    EnableControl(L"SaveScanResultButton", finished);
    EnableControl(L"btnHome", finished);
}

int CMainFrame::GetCurrentPage()
{
    return m_pMainTab ? m_pMainTab->GetCurSel() : -1;
}

void CMainFrame::SelectPage(int page)
{
    if (m_pMainTab)
        m_pMainTab->SelectItem(page);
}

void CMainFrame::SetTabSetting(int page)
{
    if (DuiLib::CTabLayoutUI* t = static_cast<DuiLib::CTabLayoutUI*>(FindControl(L"TabSetting")))
        t->SelectItem(page);
}

void CMainFrame::SetBottomTab(int page)
{
    if (DuiLib::CTabLayoutUI* t = static_cast<DuiLib::CTabLayoutUI*>(FindControl(L"tabBottom")))
        t->SelectItem(page);
}

DuiLib::CListUI* CMainFrame::FindList(const wchar_t* name)
{
    CControlUI* c = FindControl(name);
    return c ? static_cast<DuiLib::CListUI*>(c->GetInterface(DUI_CTR_LIST)) : NULL;
}

// ---- scan start and end ----

ILostPartitionSource* CMainFrame::GetLostPartitionSource()
{
    return GetPartitionScanControl();
}

std::wstring CMainFrame::GetSelectedVolumeRoot()
{
    return m_pSelectedVolume ? m_pSelectedVolume->m_strRoot : std::wstring();
}

std::vector<std::wstring> CMainFrame::GetSelectedFormatNames()
{
    EnterCriticalSection(&m_csResults);
    std::vector<std::wstring> names = m_FormatNames[0];
    LeaveCriticalSection(&m_csResults);
    return names;
}

HANDLE CMainFrame::GetDeepScanDevice()
{
    return m_hTargetDevice ? m_hTargetDevice : INVALID_HANDLE_VALUE;
}

void CMainFrame::SetDeepScanDevice(HANDLE device)
{
    if (m_hTargetDevice && m_hTargetDevice != INVALID_HANDLE_VALUE && m_hTargetDevice != device)
        CloseHandle(m_hTargetDevice);
    m_hTargetDevice = device;
}

void CMainFrame::WaitForDiskEnumeration()
{
    EnterCriticalSection(&m_csResults);
    HANDLE thread = NULL;
    if (m_bEnumPastGate && m_hDiskEnumThread)
        DuplicateHandle(GetCurrentProcess(), m_hDiskEnumThread, GetCurrentProcess(), &thread, SYNCHRONIZE, FALSE, 0);
    LeaveCriticalSection(&m_csResults);
    if (!thread)
        return;
    // Its own copy of the handle: the end of the run closes the frame's.
    WaitWithMessagePump(thread, INFINITE, TRUE);
    CloseHandle(thread);
}

void CMainFrame::HoldDiskEnumeration(bool hold)
{
    EnterCriticalSection(&m_csResults);
    if (hold) {
        if (!m_hDiskListGate)
            m_hDiskListGate = CreateEventW(NULL, TRUE, FALSE, NULL);
        else
            ResetEvent(m_hDiskListGate);
    } else if (m_hDiskListGate) {
        SetEvent(m_hDiskListGate);
        CloseHandle(m_hDiskListGate);
        m_hDiskListGate = NULL;
    }
    LeaveCriticalSection(&m_csResults);
}

