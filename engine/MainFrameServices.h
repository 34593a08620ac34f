// What the scan engine uses of the main window: the calls it makes on the
// frame, the frame-owned objects it reaches, and the window messages the
// scan workers post to it. The main window implements this; tests and tools
// drive the engine through a recording stand-in.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

class CScanDiskDlg;
class CFormatPluginRegistry;
class CFoundItem;
class CVolumeInfo;
class CVolumeList;
class CPartitionScanControl;
class CPartitionInfo;
class CPhysicalDiskList;
class ILostPartitionSource;
struct DeepScanHit;

// The text given after the command-line switch "/pathfile:" (empty without
// it), set once at start-up. A quick scan of NTFS then keeps only entries
// whose folder path contains it.
extern std::wstring g_strPathFilter;

// Window messages that scan workers post or send to the frame and its dialogs
// (the tray icon's WMU_TrayNotify is in core/Helpers.h).
enum
{
    WMU_ScanDone = WM_USER + 5,              // 1029: wParam 0; lParam 0 scan, 1 loaded result
    WMU_ScanProgress = WM_USER + 7,          // 1031: wParam heap ScanProgressInfo, receiver deletes
    WMU_RecoverProgress = WM_USER + 13,      // 1037
    WMU_RecoverDone = WM_USER + 16,          // 1040
    WMU_SetViewMode = WM_USER + 32,          // 1056
    WMU_PartitionSearchDone = WM_USER + 36,  // 1060
    WMU_LostPartitionFound = WM_USER + 37,   // 1061
};
static_assert(WMU_ScanDone == 1029 && WMU_ScanProgress == 1031, "scan message numbers");
static_assert(WMU_RecoverProgress == 1037 && WMU_RecoverDone == 1040, "recovery message numbers");

// File-system code of a volume for the recovery readers: for the
// lost-partition kind the partition's own code (its boot sector decides when
// its type is no file-system code), else by the file-system name of the
// volume whose root is given ("NTFS" 7, "FAT32" 11, "FAT" 6, "exFAT" -7);
// 0 when unknown.
int PartitionTypeCodeOf(CVolumeList* volumes, int scanKind, const std::wstring& root,
                        const CPartitionInfo* partition, const ILostPartitionSource* lost);

class IMainFrameServices
{
public:
    virtual ~IMainFrameServices() {}

    // The frame's window: target of the scan messages, owner of error boxes.
    // May be null when nothing listens (messages are then dropped).
    virtual HWND GetFrameWindow() = 0;

    // The scan controller the frame owns for its lifetime.
    virtual CScanDiskDlg* GetScanDiskDlg() = 0;

    // The plug-in registry the frame owns for its lifetime.
    virtual CFormatPluginRegistry* GetPluginRegistry() = 0;

    // Takes ownership of a carved hit. Returns 1 when the frame keeps it
    // (its extension is selected), else deletes it at once and returns 0.
    // Called from the carving thread without a lock.
    virtual int AddCarvedFile(DeepScanHit* hit) = 0;

    // Takes ownership of a found entry. True when the frame keeps it (its
    // extension is among the selected ones); false when it refused it and
    // deleted it already (false and nothing else for null). Called from scan
    // threads; the frame guards its result list itself.
    virtual bool AddFoundFile(CFoundItem* item) = 0;

    // The volumes offered for scanning, owned by the frame for its lifetime.
    virtual CVolumeList* GetVolumeList() = 0;

    // The volume the user selected (null when none) and its root text.
    virtual CVolumeInfo* GetSelectedVolume() = 0;
    virtual std::wstring GetSelectedVolumeRoot() = 0;

    // Format names ("FILE_TYPE_JPG", ...) the user selected for a deep scan.
    virtual std::vector<std::wstring> GetSelectedFormatNames() = 0;

    // The device handle of the deep scan, through which carved hits are read
    // back. The frame owns it: storing a new one closes the one before.
    // INVALID_HANDLE_VALUE when none.
    virtual HANDLE GetDeepScanDevice() = 0;
    virtual void SetDeepScanDevice(HANDLE device) = 0;

    // Lost partitions and saved scan results. The defaults serve a frame
    // without these services.

    // The partition scan control and the physical-disk list the frame owns
    // for its lifetime.
    virtual CPartitionScanControl* GetPartitionScanControl() { return nullptr; }
    virtual CPhysicalDiskList* GetPhysicalDisks() { return nullptr; }
    // One row of the lost-partition list for a found partition; the record
    // stays owned by the partition scan control. Called from the search
    // thread.
    virtual void AddLostPartitionItem(CPartitionInfo*) {}
    // The entries of the result lists in order (the frame keeps them).
    virtual std::vector<CFoundItem*> GetFoundFiles() { return std::vector<CFoundItem*>(); }
    virtual std::vector<DeepScanHit*> GetCarvedFiles() { return std::vector<DeepScanHit*>(); }
    // Appends an entry loaded from a result file, whatever its type; true
    // when the frame took it (else the caller still owns it).
    virtual bool AppendLoadedFile(CFoundItem*) { return false; }
    virtual bool AppendLoadedHit(DeepScanHit*) { return false; }
    // Empties the result lists and views (deleting the entries).
    virtual void ClearScanResults() {}
    // After a loaded result: starts the refresh timer and shows the results.
    virtual void StartResultRefresh() {}
    virtual void SetSelectedVolume(CVolumeInfo*) {}
    // Marks where the shown result came from: 2 a deep-scan result loaded
    // from a file, 0 a scan.
    virtual void SetResultFromFile(int) {}
    // ---- recovery (defaults for frames that have no results to recover) ----

    // Pointers to the checked entries (the frame keeps them); true when any.
    virtual bool GetCheckedFiles(std::vector<CFoundItem*>& out) { out.clear(); return false; }
    virtual bool GetCheckedCarvedFiles(std::vector<DeepScanHit*>& out) { out.clear(); return false; }
    // The lost partition of the shown result and the disk it lies on.
    virtual ILostPartitionSource* GetLostPartitionSource() { return nullptr; }
    // File-system code of the volume an entry is recovered from.
    virtual int GetPartitionTypeCode(int scanKind, const std::wstring& root, const CPartitionInfo* partition)
    {
        return PartitionTypeCodeOf(GetVolumeList(), scanKind, root, partition, GetLostPartitionSource());
    }
    // The thumbnail worker reads the same devices: a recovery of carved files
    // holds it off with its stop flag and waits for its thread.
    virtual HANDLE GetThumbnailThread() { return nullptr; }
    virtual void SetThumbnailStop(bool stop) { (void)stop; }
};
