// The main window: the wizard pages (home, disks, scan mode, file types) and
// the result page in the tab layout "tabMain", the receiver of the program's
// window messages, and the owner of the scan engines, the result stores and
// the views for its whole lifetime.
#pragma once
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/DuiLibInc.h"
#include "app/ProgressTaskBar.h"
#include "app/Services.h"
#include "app/WindowImplBaseShw.h"
#include "engine/DeepScanEngine.h"
#include "engine/FormatPluginRegistry.h"
#include "engine/FoundItem.h"
#include "engine/MainFrameServices.h"
#include "engine/ScanDiskDlg.h"
#include "storage/PartitionTable.h"
#include "storage/PhysicalDiskList.h"
#include "storage/VolumeList.h"
#include "views/ResultListUI.h"
#include "views/PreviewHost.h"
#include "views/ResultTrees.h"
#include "views/PictureExWnd.h"

struct TargetConflict;

// Payload of WMU_AddDiskItem: owned by the sender, reused for every row of
// one enumeration.
struct DiskListItemArgs
{
    CVolumeInfo* pVolume;
    CPhysicalDiskInfo* pDisk;
    CPartitionInfo* pLostPartition;
    const wchar_t* pszText;
    uint32_t uFlags;
    const wchar_t* pszListName;
    int nIndex;
};

// Row flags of the disk lists.
enum DiskRowFlags
{
    ROW_DESKTOP_MARK = 0x0001,
    ROW_DEVICE = 0x0002,
    ROW_RECYCLE_MARK = 0x0004,
    ROW_SPACE = 0x0008,
    ROW_SYSTEM_VOLUME = 0x0010,
    ROW_VOLUME = 0x0020,
    ROW_DESKTOP = 0x0040,
    ROW_RECYCLE = 0x0080,
    ROW_REMOVABLE = 0x0100,
    ROW_DISK = 0x0200,
    ROW_LOST = 0x0400,
    ROWS_DESKTOP = 0x45,
    ROWS_RECYCLE = 0x85,
    ROWS_DISK = 0x206,
    ROWS_SYSTEM_VOLUME = 0x1A,
    ROWS_REMOVABLE_VOLUME = 0x10A,
    ROWS_OTHER_VOLUME = 0x2A,
    ROWS_LOST = 0x40A,
};

// The file-system code of a scan target: the lost partition's own type in
// scan kind 4, else by the volume's file-system name (7 NTFS, 11 FAT32,
// 6 FAT, -7 exFAT); 0 when unknown.
int GetPartitionTypeCode(int scanKind, const CVolumeInfo* volume, const CPartitionInfo* partition);
// The file-system name of a partition type code: "FAT32" (11), "FAT" (6),
// "NTFS" (7), "exFAT" (-7), else empty.
const wchar_t* FileSystemNameOfType(int type);

// Payload of WMU_ThumbnailReady: made and freed by the thumbnail worker, only
// read by the window.
struct ThumbnailResult
{
    uint64_t u64Run;  // the worker run it belongs to
    CListThumbElementUI* pTile;
    bool bIsBitmap;
    std::wstring* pText;
    HBITMAP* pBitmap;
    int nWidth;
    int nHeight;
};

// What the thumbnail worker makes one picture from, gathered on the window's
// thread before the worker starts.
struct ThumbnailJob
{
    CListThumbElementUI* pTile;
    CFoundItem* pItem;
    DeepScanHit* pHit;
    std::wstring strExtension;  // of the name, with its dot; a hit's without
    CVolumeInfo* pVolume = nullptr;  // the volume an entry is read from
};

// Sort orders of the result list's columns.
enum ResultSortColumn
{
    SORT_BY_NAME = 0,
    SORT_BY_SIZE = 1,
    SORT_BY_PATH = 2,
    SORT_BY_TIME = 3,
};

class CMainFrame : public WindowImplBaseShw, public IMainFrameServices
{
public:
    CMainFrame();
    virtual ~CMainFrame();

    // ---- DuiLib window ----
    virtual LPCTSTR GetWindowClassName() const { return L"DelvaroWndClass"; }
    virtual void OnFinalMessage(HWND hWnd);
    virtual LRESULT OnDestroy(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
    virtual LRESULT OnSize(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
    virtual LRESULT OnSysCommand(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
    virtual LRESULT OnCreate(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
    virtual LRESULT OnClose(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
    virtual LRESULT HandleCustomMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
    virtual CDuiString GetSkinFile();
    virtual LRESULT ResponseDefaultKeyEvent(WPARAM wParam);
    virtual void Notify(TNotifyUI& msg);
    virtual LRESULT MessageHandler(UINT uMsg, WPARAM wParam, LPARAM lParam, bool& bHandled);
    virtual CControlUI* CreateControl(LPCTSTR pstrClass);

    // ---- what the scan engine uses ----
    virtual HWND GetFrameWindow() { return m_hWnd; }
    virtual CScanDiskDlg* GetScanDiskDlg() { return &m_ScanDiskDlg; }
    virtual CFormatPluginRegistry* GetPluginRegistry() { return &m_PluginRegistry; }
    virtual int AddCarvedFile(DeepScanHit* hit);
    virtual bool AddFoundFile(CFoundItem* item);
    // Copies of the result lists, in order (the frame keeps the entries).
    std::vector<CFoundItem*> GetFoundFiles() override;
    std::vector<DeepScanHit*> GetCarvedFiles() override;
    virtual CVolumeList* GetVolumeList() { return &m_VolumeList; }
    virtual CVolumeInfo* GetSelectedVolume() { return m_pSelectedVolume; }
    virtual std::wstring GetSelectedVolumeRoot();
    virtual std::vector<std::wstring> GetSelectedFormatNames();
    virtual HANDLE GetDeepScanDevice();
    virtual void SetDeepScanDevice(HANDLE device);

    // ---- wizard and entry flow ----
    // A home-page job: its event, entry kind, scan kind, disk filter (-1
    // leaves the list unfiltered) and the page it shows.
    void ChooseJob(const wchar_t* event, int entry, int kind, int filter, int page);
    void OnRecoverDeletedFile();
    void OnRecoverFormatHD();
    void OnRecoverU();
    void OnRecoverRecycle();
    void OnRecoverPartitionLost();
    void OnDeepRecover();
    void SetUiMode(int mode);
    void WizardNext();
    void WizardBack();
    void StandardNext();
    void StandardBack();
    void FilterDiskList(int filter);
    void CollapseDiskGroups(int group);
    void ClearDiskSelection();
    void OnLoadImage();
    void OnSetScanRange();
    void OnSetScanPath();
    void SelectLostPartition(CPartitionInfo* partition);
    // (Re)starts the disk enumeration; quiet 0 shows the device-change hint.
    void StartDiskEnum(int quiet);
    // Step indicator of the current page: step 1, 2 or 3.
    void SetWizardStep(int step);
    // Third step marker at its place for a readable (true) or unreadable volume.
    void PlaceThirdStep(bool readable);

    // ---- disk page ----
    void EnumDisks();
    bool PostDiskListItem(DiskListItemArgs* args, CVolumeInfo* volume, CPhysicalDiskInfo* disk,
                          CPartitionInfo* lost, const wchar_t* text, uint32_t flags, const wchar_t* listName,
                          int index);
    bool AddDiskListItem(CVolumeInfo* volume, CPhysicalDiskInfo* disk, CPartitionInfo* lost, const wchar_t* text,
                         uint32_t flags, const wchar_t* listName, int index);
    // A lost-partition row; from the search thread it is handed to the
    // window's thread, which builds it.
    void AddLostPartitionItem(CPartitionInfo* partition);
    // Kind 0 volume, 1 whole disk, 2 lost partition, 3 folder row index.
    bool GetSelectedDiskRow(int kind, void** out);

    // ---- scan start and end (the parts the wizard needs) ----
    // False when nothing was started: a start already under way, or the
    // row chosen went while a disk enumeration ended (the disk page shows
    // again).
    bool StartScan(int kind);
    // Both may be called by a result-file worker: they run on the window's
    // thread (sent there when called from another).
    void StartResultRefresh() override;
    void ClearScanResults() override;
    // The disk-list gate: held (the enumeration waits) or released and closed.
    void HoldDiskEnumeration(bool hold);
    // Waits, serving the window's messages, for an enumeration that got past
    // the gate before it was held: it still replaces the disks, the volumes
    // and the partition control's disk. Call with the gate held.
    void WaitForDiskEnumeration();
    // What one job leaves behind for the next: the image target, the disk
    // page's selection (hidden by the next job's filter), the controller's
    // volume and folder limit, the scan path and range.
    void ForgetJobState();
    void GoHome();
    // All six categories on or off; setAllBox also sets "optSelectAllType"
    // (not on a click on that box, which DuiLib turns after the handler).
    void SelectAllCategories(bool on, bool setAllBox = true);
    void OnCategoryOption(CControlUI* option, bool newState);
    // Ends the thumbnail worker and the tile check, pumping messages.
    void EndWorkerThreads(bool pump);
    void EndWorkerThreads(bool pump, bool tileCheck);
    HANDLE GetTileCheckCancel() const { return m_hTileCheckCancel; }

    // ---- scan progress and result intake ----
    void OnScanProgress(ScanProgressInfo* info, LPARAM lParam);
    void OnScanDone(LPARAM lParam);
    void OnRefreshTimer();
    // The next slice of the tick's entries (WMU_IntakeMore).
    void ContinueIntake();
    void PauseScan();
    void ResumeScan();
    void OnStopButton();
    // Shows one of the trees: 0 type, 1 folder, 2 date.
    void ShowTree(int viewKind);
    void UpdateBottomStatus(uint64_t count, uint64_t bytes, bool throttle);
    // Whether a scan runs and is not paused.
    bool IsScanActive();

    // ---- thumbnails ----
    // Restarts the thumbnail worker over the tiles in view ("scroll" of the
    // result list, WMU_RefreshFileList).
    void StartThumbnailThread(bool fromMessage);
    struct ThumbnailRun;
    static DWORD WINAPI ThumbnailThreadProc(LPVOID param);
    void ThumbnailWorker(ThumbnailRun* run);
    // -1 nothing to do, 0 no plug-in picture or text, 1 made.
    int MakeFileThumbnail(ThumbnailRun& run, const ThumbnailJob& job, std::wstring& text, HBITMAP& bitmap, int& width,
                          int& height);
    int MakeCarvedThumbnail(ThumbnailRun& run, const ThumbnailJob& job, std::wstring& text, HBITMAP& bitmap,
                            int& width, int& height);
    void OnThumbnailReady(ThumbnailResult* result);
    // The tiles a worker run works on: up to 55 visible tiles in state 0
    // from 20 above the scroll position.
    std::vector<ThumbnailJob> GatherThumbnailJobs();

    // ---- result list commands ----
    int GetVisibleTreeKind();
    void FillFileListFromTree();
    void ApplyTreeChecks();
    void ApplyKeysToFileList(const std::vector<std::wstring>& keys, int viewKind, int mode);
    void ShowAllFileRows();
    bool MatchFoundItem(const std::vector<std::wstring>& keys, const CFoundItem* item, bool checkKeys);
    bool MatchCarvedItem(const std::vector<std::wstring>& keys, const DeepScanHit* hit, bool checkKeys);
    void OnItemCheckChanged(TNotifyUI& msg);
    void SyncCheckAllBox();
    void SetTreeSelectionCheck(bool checked);
    void RecountChecked();
    void OnCheckSelectAll();
    int CountVisibleRows();
    CListThumbElementUI* GetVisibleRowAt(int n);
    void ShowListMenu(TNotifyUI& msg);
    void OnLoadScanRecord();
    void OnSaveScanRecord();
    void SetViewMode(int mode);
    void OnViewModeClick(int mode);
    void SortResults(TNotifyUI& msg);
    // Sorts the tiles by a column in one direction (false: ascending).
    void SortTilesBy(int column, bool descending);

    // ---- preview and recovery ----
    void PreviewSelected();
    // What the previews need of a tile's finding.
    PreviewTarget MakePreviewTarget(CListThumbElementUI* tile);
    // The volume a found entry is read from: a recycle-bin entry's own (the
    // scan walks every volume), else the selected volume, else (not for a
    // lost partition) the volume of the entry's drive letter.
    CVolumeInfo* VolumeOfEntry(const CFoundItem* item);
    void OpenPreviewWindow(CListThumbElementUI* tile);
    void OnRecoverButton();
    void Recover();
    virtual bool GetCheckedFiles(std::vector<CFoundItem*>& out);
    virtual bool GetCheckedCarvedFiles(std::vector<DeepScanHit*>& out);
    void SetThumbnailStop(bool stop) override;

    // ---- saved results ----
    // Loaded entries go straight into the result, unfiltered, while the
    // intake is open.
    bool AppendLoadedFile(CFoundItem* item) override;
    bool AppendLoadedHit(DeepScanHit* hit) override;
    void SetSelectedVolume(CVolumeInfo* volume) override;
    void SetResultFromFile(int from) override;
    // Before a result file is read: the shown result goes, the intake opens.
    void BeginLoadedResult();
    // After the load: a load that shows no result lets the enumeration go on.
    void EndLoadedResult();
    // The media class of a lower-case extension: 1 video, 0 audio, 2 none.
    int LookupExtensionValue(const std::wstring& extension) const;

    // ---- state for the views, the dialogs and tests ----
    bool IsInitialized() const { return m_bInitialized; }
    int GetUiMode() const { return m_nUiMode; }
    int GetEntryKind() const { return m_nEntryKind; }
    int GetDiskFilter() const { return m_nDiskFilter; }
    bool NeedsDeepScan() const { return m_bNeedsDeepScan; }
    bool OtherTypesSelected() const { return m_bOtherTypes; }
    int GetSelectedCategoryCount() const { return m_nSelectedCategories; }
    const std::vector<std::wstring>& GetDeepScanFormats() const { return m_FormatNames[0]; }
    const std::wstring& GetScanPath() const { return m_strScanPath; }
    ScanRange& GetScanRange() { return m_ScanRange; }
    CPhysicalDiskList& GetPhysicalDiskList() { return m_DiskList; }
    CPhysicalDiskList* GetPhysicalDisks() override { return &m_DiskList; }
    CPartitionScanControl* GetPartitionScanControl() override
    {
        return m_pPartitionScan ? m_pPartitionScan->GetControl() : nullptr;
    }
    // The partition of a lost-partition result, for the recovery readers.
    ILostPartitionSource* GetLostPartitionSource() override;
    IPartitionScanControl& GetPartitionScan() { return *m_pPartitionScan; }
    CProgressTaskBar& GetTaskBar() { return m_TaskBar; }
    HANDLE GetDiskListGate() const { return m_hDiskListGate; }
    bool IsDiskEnumRunning() const { return m_hDiskEnumThread != NULL; }
    // An enumeration runs and the gate holds it (or will, when it gets there).
    bool IsDiskEnumHeld()
    {
        EnterCriticalSection(&m_csResults);
        const bool held = m_hDiskEnumThread && m_hDiskListGate && !m_bEnumPastGate;
        LeaveCriticalSection(&m_csResults);
        return held;
    }
    bool IsGuideRunning() const { return m_hGuideWnd != NULL || m_nGuidePending != 0; }
    HWND GetTreeWindow(int id) const;
    CPathTreeCtrl& GetPathTree() { return m_PathTree; }
    CTimeTreeCtrl& GetTimeTree() { return m_TimeTree; }
    CTypeTreeCtrl& GetTypeTree() { return m_TypeTree; }
    CResultListUI* GetResultList() { return m_pFileList; }
    int GetViewKind() const { return m_nViewKind; }
    uint64_t GetCheckedCount() const { return m_u64CheckedCount; }
    uint64_t GetCheckedBytes() const { return m_u64CheckedBytes; }
    uint64_t GetProcessedCount() const { return m_u64Processed; }
    const std::vector<std::wstring>& GetSelectedExtensions() const { return m_SelectedExtensions; }
    bool IsRefreshTimerRunning() const { return m_bRefreshTimer; }
    HANDLE GetThumbnailThread() { return m_hThumbThread; }
    // Every tile of the list whose thumbnail work is done or not asked for.
    bool IsThumbnailWorkerIdle();
    CPictureExWnd& GetBusyAnimation() { return m_BusyAnim; }
    size_t GetFoundCount();
    int GetCurrentPage();
    void SelectPage(int page);

private:
    friend DWORD WINAPI DiskEnumThreadProc(LPVOID);

    void OnWindowInit();
    void OnNameFilterChanged();
    // The trees' container was laid out: the trees follow it.
    bool OnTreeAreaSize(void* sender);
    void OnClick(TNotifyUI& msg);
    void OnItemClick(TNotifyUI& msg);
    void OnItemSelect(TNotifyUI& msg);
    void OnTabSelect(TNotifyUI& msg);
    // The result page as a scan starts on it: its controls and the tree of
    // the scan's kind, then the starting picture until the first finding.
    void SetUpResultPage();
    void ShowScanStarting();
    void OnMenuCommand(const std::wstring& name);
    void OnDeviceChange(WPARAM wParam, LPARAM lParam);
    void OnDiskEnumDone();
    void OnClearDiskLists();
    void OnShowGuide();
    void ShowScanRunningControls(bool finished);
    void LayoutTrees();
    void ShowTrees(bool visible);
    void ToggleDiskGroup(const wchar_t* button, const wchar_t* group);
    void ShutDownWork();
    bool IsScanRunning();
    void SetTabSetting(int page);
    // False, after telling the user, when no file type is chosen.
    bool AnyTypeChosen();
    // Bytes of the selected volume, else of the selected whole disk; 0 for none.
    unsigned long long SelectedDeviceSize();
    void SetBottomTab(int page);
    DuiLib::CListUI* FindList(const wchar_t* name);
    void InitFormatTable();
    void InitMediaExtensions();
    // Whether a finding of this extension (lower case, no dot) is kept.
    bool KeepsExtension(const std::wstring& ext);
    void OnFirstResult();
    template <class T>
    bool KeepFinding(std::list<T*>& list, T* finding, const std::wstring& ext);
    // The next intake batch of a list, one step after the last entry taken.
    template <class T>
    void TakeIntakeBatch(std::list<T*>& list, typename std::list<T*>::iterator& last, size_t n);
    // A tile for one entry, added to the list by the intake.
    CListThumbElementUI* MakeTile(void* entry, bool shown, bool checked, bool media);
    // The lower-case extension of a name ("unknow" without a dot) and of a hit.
    static std::wstring ExtensionOfName(const std::wstring& name);
    static std::wstring ExtensionOfHit(const DeepScanHit* hit);
    // The tile of an entry of the current list (entry as the tile's tag).
    bool IsDeepResult() const;
    void StartTileCheck(CListThumbElementUI* tile);
    void OnTileCheckDone();
    // Where a recovery or a saved result would be written is on what is scanned.
    bool TargetOnScannedDisk(const std::wstring& target, TargetConflict* why = NULL);
    // The box that refuses such a target.
    void WarnTargetOnScannedDisk(const std::wstring& target, const TargetConflict& why);
    void ClearRowsOf(const wchar_t* listName);
    void SizeLostPartitionList(CControlUI* newRow);
    void ApplyRowLook(CControlUI* row, uint32_t flags);

    // Format names: index 0 those selected for a deep scan, 1-6 by category.
    std::vector<std::wstring> m_FormatNames[7];
    CFormatPluginRegistry m_PluginRegistry;
    std::list<DeepScanHit*> m_CarvedHits;
    std::list<CFoundItem*> m_FoundItems;
    std::vector<std::wstring> m_SelectedExtensions;
    CVolumeList m_VolumeList;
    CPhysicalDiskList m_DiskList;
    CVolumeInfo* m_pSelectedVolume;
    CScanDiskDlg m_ScanDiskDlg;
    CProgressTaskBar m_TaskBar;
    std::unique_ptr<IPartitionScanControl> m_pPartitionScan;
    std::wstring m_strScanPath;
    ScanRange m_ScanRange;
    int m_nViewKind;
    HANDLE m_hTargetDevice;
    HANDLE m_hThumbThread;
    HANDLE m_hDiskEnumThread;
    // The first-use guide's window, and the guide due once its moment
    // has passed (0 none).
    HWND m_hGuideWnd;
    int m_nGuidePending;
    HANDLE m_hDiskListGate;
    HANDLE m_hTileCheckThread;
    volatile LONG m_nThumbStop;
    DuiLib::CDialogBuilder m_DiskRowBuilder;
    bool m_bDiskRowParsed;
    CPathTreeCtrl m_PathTree;
    CTimeTreeCtrl m_TimeTree;
    CTypeTreeCtrl m_TypeTree;
    bool m_bInitialized;
    bool m_bResultPageBuilt;
    uint64_t m_u64Processed;
    uint64_t m_u64CheckedCount;
    uint64_t m_u64CheckedBytes;
    bool m_bShowGuideAfterEnum;
    bool m_bNeedsDeepScan;
    bool m_bOtherTypes;
    int m_nUiMode;
    int m_nEntryKind;
    int m_nDiskFilter;
    int m_nSelectedCategories;
    CResultListUI* m_pFileList;
    DuiLib::CTabLayoutUI* m_pMainTab;
    std::map<std::wstring, int> m_MediaExtensions;
    CPictureExWnd m_BusyAnim;
    CControlUI* m_pPendingTile;
    std::vector<std::wstring> m_SelectionKeys;
    std::vector<std::wstring> m_CheckKeys;

    // Closing and the disk enumeration's hand-over.
    bool m_bClosing;
    volatile LONG m_bStopEnum;
    // The enumeration has passed the gate and is changing the lists (set and
    // read under m_csResults).
    bool m_bEnumPastGate = false;
    bool m_bEnumAgain;
    bool m_bEnumAgainQuiet;
    bool m_bTrayHintShown;
    DWORD m_dwWindowThread;
    DuiLib::CListUI* m_pDiskListUI;
    // Guards the result lists between the scan threads and the window.
    CRITICAL_SECTION m_csResults;
    // The intake takes findings (under m_csResults): closed while results
    // are cleared, so that a late finding of a stopping scan is refused.
    bool m_bIntakeOpen;
    // Where the intake timer stopped in each list.
    // The entries of the current tick still to go into the views.
    std::vector<void*> m_IntakeBatch;
    size_t m_nIntakePos = 0;
    CListThumbElementUI* m_pIntakeFirstShown = nullptr;
    std::list<CFoundItem*>::iterator m_itFound;
    std::list<DeepScanHit*>::iterator m_itCarved;
    bool m_bRefreshTimer;
    // The result shown came from a file.
    bool m_bResultFromFile;
    // The thumbnail worker's run: its cancel token is set only by the one
    // who stops it; its tiles were gathered on the window's thread.
    ThumbnailRun* m_pThumbRun;
    bool m_bStartingThumbs;
    bool m_bThumbsAgain;
    // A scan start waits for a disk enumeration (serving messages).
    bool m_bStartingScan = false;
    HANDLE m_hTileCheckCancel;
    uint64_t m_u64ThumbRunId;
    // Progress line.
    DuiLib::CProgressUI* m_pScanProgress;
    DWORD m_dwLastProgressTick;
    // Status line throttle (clock milliseconds of the last throttled update).
    double m_dLastStatusClock;
    // Direction flags of the sortable columns.
    bool m_bSortDescending[4];
};
