// The lost-partition dialog: the user picks a physical disk, the partition
// scan control searches it for lost partitions while the dialog shows the
// progress and every partition found, and the chosen partition is handed
// back to the main window, which selects it in its own lost-partition list.
#pragma once
#include "app/WindowImplBaseShw.h"

class CMainFrame;
class CPhysicalDiskList;
class CPhysicalDiskInfo;
class CPartitionInfo;
class IPartitionScanControl;
struct ScanProgressInfo;

class CDeepScanPartitionDlg : public CSkinDialog
{
public:
    explicit CDeepScanPartitionDlg(CMainFrame* owner);
    // Reports go to no window any more, and the control forgets the search
    // (it keeps its disk).
    virtual ~CDeepScanPartitionDlg();

    virtual void Notify(TNotifyUI& msg);
    virtual LRESULT HandleCustomMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
    // Every way of closing (the close button, Escape, the system menu,
    // Alt+F4) comes here: a running search is first stopped, if the user
    // agrees, and waited for; else the dialog stays.
    virtual LRESULT OnClose(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);

    int GetFoundCount() const { return m_nFound; }
    CPhysicalDiskInfo* GetSelectedDisk() const { return m_pSelectedDisk; }

private:
    void OnWindowInit();
    void OnNext();
    void OnPrev();
    void OnStop();
    void OnScan();
    // The stop question: true when no search runs, or the user agreed and
    // the search has ended; false keeps things as they are. reportEnd: the
    // end of the search is still shown (else it is passed over).
    bool AskStopSearch(bool reportEnd);
    // Drops the reports of a search that has ended and is not shown.
    void DropSearchReports();
    void OnProgress(ScanProgressInfo* info, LPARAM lParam);
    void OnFound(CPartitionInfo* partition);
    void OnSearchDone();
    void ShowStep(int step);
    DuiLib::CListUI* List(const wchar_t* name);

    int m_nFound;
    CMainFrame* m_pOwner;
    IPartitionScanControl* m_pScan;
    CPhysicalDiskList* m_pDisks;
    CPhysicalDiskInfo* m_pSelectedDisk;
    DuiLib::CListUI* m_pDiskList;
    DuiLib::CListUI* m_pFoundList;
    DuiLib::CTabLayoutUI* m_pStepTab;
    CControlUI* m_pProgressText;
    DuiLib::CProgressUI* m_pProgress;
    bool m_bAsking;
    // A search was started and its end not shown yet.
    bool m_bSearching;
};
