// A stand-in for the main window that records what the scan engine hands it:
// found entries, carved hits, progress payloads and scan-done messages. It
// has no window (a window would start a desktop process under Wine): what
// scan threads post to the frame is queued through the controller's message
// sink, and PumpMessages delivers it on the calling thread, as a message loop
// would.
#pragma once
#include <windows.h>

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ToolSupport.h"
#include "engine/DeepScanEngine.h"
#include "engine/FormatPluginRegistry.h"
#include "engine/FoundItem.h"
#include "engine/FrameMessage.h"
#include "engine/MainFrameServices.h"
#include "engine/PartitionScanControl.h"
#include "engine/ScanDiskDlg.h"
#include "storage/PhysicalDiskList.h"
#include "storage/VolumeList.h"

class CRecordingFrame : public IMainFrameServices
{
public:
    struct Progress { int done, total; bool active; std::wstring status, remain; };

    CRecordingFrame();
    ~CRecordingFrame() override;

    HWND GetFrameWindow() override { return m_hWnd; }
    CScanDiskDlg* GetScanDiskDlg() override { return &m_scanDlg; }
    CFormatPluginRegistry* GetPluginRegistry() override { return m_pRegistry; }
    int AddCarvedFile(DeepScanHit* hit) override;
    bool AddFoundFile(CFoundItem* item) override;
    CVolumeList* GetVolumeList() override { return &m_volumes; }
    CVolumeInfo* GetSelectedVolume() override { return m_pSelected; }
    std::wstring GetSelectedVolumeRoot() override { return m_pSelected ? m_pSelected->m_strRoot : std::wstring(); }
    std::vector<std::wstring> GetSelectedFormatNames() override { return m_formats; }
    HANDLE GetDeepScanDevice() override { return m_hDevice; }
    void SetDeepScanDevice(HANDLE device) override;
    CPartitionScanControl* GetPartitionScanControl() override { return &m_partitionControl; }
    CPhysicalDiskList* GetPhysicalDisks() override { return &m_disks; }
    void AddLostPartitionItem(CPartitionInfo* partition) override;
    std::vector<CFoundItem*> GetFoundFiles() override;
    std::vector<DeepScanHit*> GetCarvedFiles() override;
    bool AppendLoadedFile(CFoundItem* item) override;
    bool AppendLoadedHit(DeepScanHit* hit) override;
    void ClearScanResults() override;
    void StartResultRefresh() override { ++m_refreshStarts; }
    void SetSelectedVolume(CVolumeInfo* volume) override { m_pSelected = volume; }
    void SetResultFromFile(int marker) override { m_resultFromFile = marker; }
    // Every kept entry counts as checked, unless isChecked says otherwise.
    bool GetCheckedFiles(std::vector<CFoundItem*>& out) override;
    bool GetCheckedCarvedFiles(std::vector<DeepScanHit*>& out) override;
    ILostPartitionSource* GetLostPartitionSource() override;
    HANDLE GetThumbnailThread() override { return m_hThumbnails; }
    void SetThumbnailStop(bool stop) override { m_thumbnailStops.push_back(stop); }

    void SetRegistry(CFormatPluginRegistry* registry) { m_pRegistry = registry; }
    void SetSelectedFormats(const std::vector<std::wstring>& names) { m_formats = names; }
    void SelectVolume(CVolumeInfo* volume) { m_pSelected = volume; }
    void SetLostPartitionSource(ILostPartitionSource* lost) { m_pLost = lost; }
    void SetThumbnailThread(HANDLE thread) { m_hThumbnails = thread; }
    const std::vector<bool>& ThumbnailStops() const { return m_thumbnailStops; }
    std::function<bool(const CFoundItem&)> isChecked;
    std::function<bool(const DeepScanHit&)> isHitChecked;
    // Adds a volume record for a drive letter whose raw device ("\\.\X:")
    // is mapped to an image, with the file-system name its boot sector gives
    // ("NTFS", "FAT32", "FAT", "exFAT", else "RAW"), as Windows would report
    // it. The list owns it.
    CVolumeInfo* AddMappedVolume(wchar_t letter);
    // Refuses the n-th offered hit (1-based), as the frame does for an unselected type.
    void RefuseCall(unsigned int n) { m_refused.insert(n); }
    // Refuses found entries whose name ends in this extension (upper case, no dot).
    void RefuseExtension(const std::wstring& ext) { m_refusedExt.insert(ext); }
    // Called on the scan thread for every hit offered, before it is kept.
    std::function<void(const DeepScanHit&)> onOffer;
    // Called on the scan thread for every hit the frame keeps, once kept; the
    // hit stays the frame's.
    std::function<void(const DeepScanHit&)> onKept;
    // Called on the scan thread for every found entry offered.
    std::function<void(const CFoundItem&)> onFound;

    // Delivers what scan threads posted so far.
    void PumpMessages();
    // Pumps until the controller's worker ends and its WMU_ScanDone arrived
    // (at most timeoutMs); false on time-out.
    bool WaitForScan(DWORD timeoutMs);

    const std::vector<DeepScanHit*>& Hits() const { return m_hits; }
    const std::vector<CFoundItem*>& Found() const { return m_found; }
    const std::vector<Progress>& ProgressReports() const { return m_progress; }
    unsigned int OfferCount() const { return m_offers; }
    unsigned int ScanDoneCount() const { return m_scanDone; }
    void ClearResults();

    // Messages the frame and the stand-in dialog received (besides the
    // frame's progress and scan-done, recorded above). The stand-in dialog
    // (search, save, load) has no window either: what workers post to it
    // is queued too and delivered by PumpMessages; progress payloads are
    // recorded with the frame's and freed.
    struct Message { UINT msg; WPARAM wParam; LPARAM lParam; };
    const std::vector<Message>& FrameMessages() const { return m_frameMessages; }
    const std::vector<Message>& DialogMessages() const { return m_dialogMessages; }
    DialogTarget StandInDialog() { return DialogTarget(&CRecordingFrame::QueueDialogMessage, this); }
    size_t DialogCount(UINT msg) const;
    size_t FrameCount(UINT msg) const;
    // Pumps until pred() holds (at most timeoutMs); false on time-out.
    bool PumpUntil(const std::function<bool()>& pred, DWORD timeoutMs);
    // Pumps until the partition control's worker has ended and its final
    // message (WMU_ScanDone, or WMU_PartitionSearchDone to the dialog)
    // arrived.
    bool WaitForPartitionWork(DWORD timeoutMs);
    // Points the partition control at disk n (its record added to the
    // frame's disk list) with the stand-in dialog as search window. False
    // when the disk does not answer.
    bool SelectDisk(int diskNumber);
    // SelectDisk, then the lost-partition search to its end. False when the
    // disk does not answer or the search did not end in time.
    bool SearchDisk(int diskNumber, DWORD timeoutMs);
    const std::vector<CPartitionInfo*>& LostItems() const { return m_lostItems; }
    unsigned int Clears() const { return m_clears; }
    unsigned int RefreshStarts() const { return m_refreshStarts; }
    int ResultFromFile() const { return m_resultFromFile; }

private:
    struct Posted { UINT msg; WPARAM wParam; LPARAM lParam; };
    static void QueueMessage(void* self, UINT msg, WPARAM wParam, LPARAM lParam);
    static void QueueDialogMessage(void* self, UINT msg, WPARAM wParam, LPARAM lParam);
    void Receive(UINT msg, WPARAM wParam, LPARAM lParam);

    HWND m_hWnd;
    CScanDiskDlg m_scanDlg;
    CFormatPluginRegistry* m_pRegistry;
    CVolumeList m_volumes;
    CVolumeInfo* m_pSelected;
    std::vector<std::wstring> m_formats;
    HANDLE m_hDevice;
    ILostPartitionSource* m_pLost = nullptr;
    HANDLE m_hThumbnails = nullptr;
    std::vector<bool> m_thumbnailStops;
    std::set<unsigned int> m_refused;
    std::set<std::wstring> m_refusedExt;
    std::vector<DeepScanHit*> m_hits;
    std::vector<CFoundItem*> m_found;
    std::vector<Progress> m_progress;
    unsigned int m_offers;
    unsigned int m_scanDone;
    std::vector<Posted> m_posted;  // guarded by m_cs
    std::vector<Posted> m_dialogPosted;  // guarded by m_cs
    CRITICAL_SECTION m_cs;
    CPhysicalDiskList m_disks;
    std::vector<CPartitionInfo*> m_lostItems;
    std::vector<Message> m_frameMessages;
    std::vector<Message> m_dialogMessages;
    unsigned int m_clears;
    unsigned int m_refreshStarts;
    int m_resultFromFile;
    // Last: it ends its worker before the rest of the frame goes.
    CPartitionScanControl m_partitionControl;
};

class CResultFileWorker;

// What the tools share (older names of the ToolSupport helpers): a Windows
// path for a Unix one, message boxes printed to stderr after the tool's
// name, and a save or load worker run to its end with the frame's stand-in
// dialog.
inline std::wstring ToolWindowsPath(const std::wstring& path) { return toolsupport::WindowsPath(path); }
inline void PrintMessageBoxesAs(const wchar_t* tool) { toolsupport::PrintBoxes(tool, IDOK); }
bool RunResultWorker(CRecordingFrame& frame, CResultFileWorker& worker, bool started);

// File-system name of what a path opens, by its boot sector: "NTFS",
// "FAT32", "FAT", "exFAT", or "RAW".
std::wstring DetectFileSystemName(const wchar_t* path);
