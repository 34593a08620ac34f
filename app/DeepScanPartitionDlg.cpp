#include "app/DeepScanPartitionDlg.h"

#include <cstdio>
#include <string>

#include "app/MainFrame.h"
#include "app/ResultText.h"
#include "app/Services.h"
#include "app/WindowMessages.h"
#include "core/Language.h"
#include "core/Settings.h"

namespace {
const char kSelectDisk[] = "U2VsZWN0RGlzaw==";
const char kScanningHD[] = "U2Nhbm5pbmdIRA==";
const char kSelectLostPartition[] = "U2VsZWN0TG9zdFBhcnRpdGlvbg==";
const char kFoundLostDrive[] = "Rm91bmRMb3N0RHJpdmU=";
const char kNoPartitionCanRecovered[] = "Tm9QYXJ0aXRpb25DYW5SZWNvdmVyZWQ=";
const int kRowHeight = 30;
}  // namespace

CDeepScanPartitionDlg::CDeepScanPartitionDlg(CMainFrame* owner)
    : CSkinDialog(L"dlg_deepscanpartition"),
      m_nFound(0),
      m_pOwner(owner),
      m_pScan(owner ? &owner->GetPartitionScan() : NULL),
      m_pDisks(owner ? &owner->GetPhysicalDiskList() : NULL),
      m_pSelectedDisk(NULL),
      m_pDiskList(NULL),
      m_pFoundList(NULL),
      m_pStepTab(NULL),
      m_pProgressText(NULL),
      m_pProgress(NULL),
      m_bAsking(false),
      m_bSearching(false)
{
}

CDeepScanPartitionDlg::~CDeepScanPartitionDlg()
{
    if (m_pScan) {
        m_pScan->SetReportWindow(NULL);
        m_pScan->ResetScan(true);
    }
}

DuiLib::CListUI* CDeepScanPartitionDlg::List(const wchar_t* name)
{
    CControlUI* c = FindControl(name);
    return c ? static_cast<DuiLib::CListUI*>(c->GetInterface(DUI_CTR_LIST)) : NULL;
}

void CDeepScanPartitionDlg::OnWindowInit()
{
    if (!g_OemInfo.m_strDlgBgImage.empty())
        ApplyDialogFrameImage();
    if (!m_pOwner || !m_pScan || !m_pDisks) {
        Close(IDCANCEL);
        return;
    }
    m_pDiskList = List(L"listDisk");
    m_pFoundList = List(L"listLostDisk");
    CControlUI* tab = FindControl(L"tabStep");
    m_pStepTab = tab ? static_cast<DuiLib::CTabLayoutUI*>(tab->GetInterface(DUI_CTR_TABLAYOUT)) : NULL;
    m_pProgressText = FindControl(L"ScanHDProgress");
    CControlUI* bar = FindControl(L"progress");
    m_pProgress = bar ? static_cast<DuiLib::CProgressUI*>(bar->GetInterface(DUI_CTR_PROGRESS)) : NULL;
    if (!m_pDiskList || !m_pFoundList || !m_pStepTab) {
        Close(IDCANCEL);
        return;
    }
    if (m_pProgress) {
        m_pProgress->SetMinValue(0);
        m_pProgress->SetMaxValue(1000);
    }
    m_pScan->SetReportWindow(m_hWnd);
    for (int i = 0; i < m_pDisks->GetCount(); ++i) {
        CPhysicalDiskInfo* disk = m_pDisks->GetDisk(i);
        if (!disk)
            continue;
        DuiLib::CListTextElementUI* row = new DuiLib::CListTextElementUI;
        if (!m_pDiskList->Add(row)) {
            delete row;
            continue;
        }
        wchar_t text[512];
        swprintf(text, 512, L"HD%d: %ls", disk->m_nDiskNumber, DiskModelText(disk->m_strModel).c_str());
        row->SetText(0, text);
        row->SetText(1, DiskSizeText(disk->m_fSizeGB).c_str());
        row->SetFixedHeight(kRowHeight);
        row->SetTag((UINT_PTR)disk);
    }
    ShowStep(0);
}

void CDeepScanPartitionDlg::ShowStep(int step)
{
    m_pStepTab->SelectItem(step);
    ShowControl(L"btnPrev", step == 1);
    ShowControl(L"btnStop", step == 1);
    ShowControl(L"btnNext", step == 0);
    ShowControl(L"ScanHDProgressCtl", step == 1);
    ShowControl(L"ScanHDProgressSpc", step == 1);
    if (step == 0)
        ShowControl(L"btnScan", false);
}

void CDeepScanPartitionDlg::Notify(TNotifyUI& msg)
{
    if (msg.sType == DUI_MSGTYPE_WINDOWINIT) {
        OnWindowInit();
        return;
    }
    if (!msg.pSender || !m_pStepTab)
        return;
    if (msg.sType == DUI_MSGTYPE_ITEMACTIVATE) {
        // A double-click on a row: a disk goes on, a partition is scanned.
        CControlUI* list = msg.pSender->GetParent() ? msg.pSender->GetParent()->GetParent() : NULL;
        if (list == m_pDiskList)
            OnNext();
        else if (list == m_pFoundList)
            OnScan();
        return;
    }
    if (msg.sType != DUI_MSGTYPE_CLICK)
        return;
    const CDuiString& name = msg.pSender->GetName();
    if (name == L"btnClose")
        Close(IDCANCEL);
    else if (name == L"btnNext")
        OnNext();
    else if (name == L"btnPrev")
        OnPrev();
    else if (name == L"btnStop")
        OnStop();
    else if (name == L"btnScan")
        OnScan();
}

LRESULT CDeepScanPartitionDlg::OnClose(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled)
{
    bHandled = TRUE;
    if (m_bAsking || !AskStopSearch(false))
        return 0;
    return CSkinDialog::OnClose(uMsg, wParam, lParam, bHandled);
}

bool CDeepScanPartitionDlg::AskStopSearch(bool reportEnd)
{
    if (!m_pScan || !m_pScan->IsRunning())
        return true;
    m_bAsking = true;
    const int answer = MessageBoxByBase64Key(kScanningHD, m_hWnd, MB_ICONQUESTION | MB_YESNO, 0);
    m_bAsking = false;
    if (answer != IDYES)
        return false;
    if (!reportEnd)
        m_bSearching = false;
    // The control opens its gate, asks its thread to stop and waits for it
    // while the messages go on.
    m_pScan->StopSearch();
    return !m_pScan->IsRunning();
}

void CDeepScanPartitionDlg::DropSearchReports()
{
    MSG msg;
    while (PeekMessageW(&msg, m_hWnd, WMU_ScanProgress, WMU_ScanProgress, PM_REMOVE))
        delete (ScanProgressInfo*)msg.wParam;
    while (PeekMessageW(&msg, m_hWnd, WMU_PartitionSearchDone, WMU_LostPartitionFound, PM_REMOVE)) {
    }
}

void CDeepScanPartitionDlg::OnNext()
{
    if (m_pStepTab->GetCurSel() != 0)
        return;
    const int sel = m_pDiskList->GetCurSel();
    CControlUI* row = sel >= 0 ? m_pDiskList->GetItemAt(sel) : NULL;
    if (!row || !row->GetTag()) {
        MessageBoxByBase64Key(kSelectDisk, m_hWnd, MB_ICONINFORMATION, 0);
        return;
    }
    m_pSelectedDisk = (CPhysicalDiskInfo*)row->GetTag();
    m_nFound = 0;
    m_pFoundList->RemoveAll();
    SetControlText(L"ScanHDProgress", L"");
    if (m_pProgress)
        m_pProgress->SetValue(0);
    ShowStep(1);
    ShowControl(L"btnScan", false);
    m_pScan->ResetScan(true);
    m_pScan->SetDisk(m_pSelectedDisk->m_nDiskNumber, m_pSelectedDisk);
    m_bSearching = true;
    // A search that cannot start ends at once, with what it found: nothing.
    if (!m_pScan->StartLostPartitionSearch())
        OnSearchDone();
}

void CDeepScanPartitionDlg::OnPrev()
{
    if (m_pStepTab->GetCurSel() != 1 || !AskStopSearch(false))
        return;
    m_bSearching = false;
    DropSearchReports();
    m_pSelectedDisk = NULL;
    m_nFound = 0;
    m_pFoundList->RemoveAll();
    ShowStep(0);
}

void CDeepScanPartitionDlg::OnStop()
{
    if (!m_pScan->IsRunning() || !AskStopSearch(true))
        return;
    // What the search found so far stays; the end is shown once, whether or
    // not the search reported it while it ended.
    DropSearchReports();
    OnSearchDone();
}

void CDeepScanPartitionDlg::OnScan()
{
    const int sel = m_pFoundList->GetCurSel();
    CControlUI* row = sel >= 0 ? m_pFoundList->GetItemAt(sel) : NULL;
    if (!row || !row->GetTag()) {
        MessageBoxByBase64Key(kSelectLostPartition, m_hWnd, MB_ICONINFORMATION, 0);
        return;
    }
    if (!AskStopSearch(false))
        return;
    ::PostMessageW(m_pOwner->GetFrameWindow(), WMU_SelectLostPartition, (WPARAM)row->GetTag(), 0);
    Close(IDOK);
}

LRESULT CDeepScanPartitionDlg::HandleCustomMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled)
{
    bHandled = TRUE;
    switch (uMsg) {
    case WMU_ScanProgress:
        OnProgress((ScanProgressInfo*)wParam, lParam);
        return 0;
    case WMU_LostPartitionFound:
        OnFound((CPartitionInfo*)wParam);
        return 0;
    case WMU_PartitionSearchDone:
        OnSearchDone();
        return 0;
    }
    bHandled = FALSE;
    return 0;
}

void CDeepScanPartitionDlg::OnProgress(ScanProgressInfo* info, LPARAM lParam)
{
    if (info && lParam == 0) {
        if (m_pProgressText)
            m_pProgressText->SetText(info->pszStatus ? info->pszStatus : L"");
        if (m_pProgress)
            m_pProgress->SetValue(info->nTotal > 0 ? (int)((long long)info->nDone * 1000 / info->nTotal) : 0);
    }
    delete info;
}

void CDeepScanPartitionDlg::OnFound(CPartitionInfo* partition)
{
    if (!partition || !m_pFoundList)
        return;
    ++m_nFound;
    DuiLib::CListTextElementUI* row = new DuiLib::CListTextElementUI;
    if (!m_pFoundList->Add(row)) {
        delete row;
        return;
    }
    std::wstring label = m_pScan->GetPartitionLabel(partition);
    if (label.empty())
        label = g_strLangDefDiskName;
    wchar_t text[512];
    swprintf(text, 512, L"%ls (*:\\)", label.c_str());
    row->SetText(0, text);
    row->SetText(1, FileSystemNameOfType(partition->m_nType));
    row->SetText(2, partition->GetSizeText().c_str());
    row->SetFixedHeight(kRowHeight);
    row->SetTag((UINT_PTR)partition);
}

void CDeepScanPartitionDlg::OnSearchDone()
{
    if (!m_bSearching)
        return;
    m_bSearching = false;
    ShowControl(L"ScanHDProgressCtl", false);
    ShowControl(L"ScanHDProgressSpc", false);
    ShowControl(L"btnStop", false);
    if (m_nFound > 0) {
        if (m_nFound == 1)
            MessageBoxByKey(L"FoundLostDriveOne", m_hWnd, MB_ICONINFORMATION, 0);
        else
            MessageBoxByBase64KeyFormat(kFoundLostDrive, m_nFound, m_hWnd, MB_ICONINFORMATION, 0);
        ShowControl(L"btnScan", true);
    } else {
        MessageBoxByBase64Key(kNoPartitionCanRecovered, m_hWnd, MB_ICONINFORMATION, 0);
        ShowControl(L"btnScan", false);
    }
}

void ShowLostPartitionDialog(CMainFrame* frame)
{
    if (!frame)
        return;
    CDeepScanPartitionDlg* dlg = new CDeepScanPartitionDlg(frame);
    dlg->RunModal(frame->GetFrameWindow());
    delete dlg;
}
