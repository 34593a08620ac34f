// Scan controller: one per main frame. Runs every scan of one selected
// volume, disk or image except the partition scans (deleted files, formatted
// volume, recycle bin, deep signature scan) on a worker thread of its own,
// owns the worker's pause gate and stop flag, reports progress to the frame
// and hands every found file to it.
#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "engine/ReadTrouble.h"
#include "engine/ScanWalkHost.h"

class IMainFrameServices;
class CVolumeInfo;
class CFAT32Volume;
class CFATVolume;
class CExFATVolume;
class CNTFSVolume;
class IFatDirVolume;

// Process-wide scan mode set by the frame before it starts a scan.
enum ScanKindValue
{
    SCAN_KIND_DELETED = 0,
    SCAN_KIND_DEEP = 1,
    SCAN_KIND_FORMATTED = 2,
    SCAN_KIND_RECYCLE = 3,
    SCAN_KIND_LOST_PARTITION = 4,
};
extern int ScanKind;

// What a deep scan reads.
enum ScanTargetKind
{
    SCAN_TARGET_IMAGE = 0,
    SCAN_TARGET_VOLUME = 1,
    SCAN_TARGET_DISK = 2,
};

// Scale of the done and total counts of a progress report.
const int kProgressScale = 20000;

// Heap payload of WMU_ScanProgress; the receiver deletes it. Texts are owned
// zero-terminated copies (pointer-sized fields: 20 bytes on 32-bit builds).
struct ScanProgressInfo
{
    int nDone;
    int nTotal;           // kProgressScale for most walkers
    bool bActive;         // 1 while scanning, 0 in the final report
    wchar_t* pszStatus;   // never null
    wchar_t* pszRemain;   // never null; empty when not computed

    ScanProgressInfo();
    ~ScanProgressInfo();
    void SetStatus(const wchar_t* text);
    void SetRemain(const wchar_t* text);

private:
    ScanProgressInfo(const ScanProgressInfo&);
    ScanProgressInfo& operator=(const ScanProgressInfo&);
};
#if !defined(_WIN64)
static_assert(sizeof(ScanProgressInfo) == 20, "ScanProgressInfo is 20 bytes on 32-bit builds");
#endif

class CScanDiskDlg
{
public:
    explicit CScanDiskDlg(IMainFrameServices* mainFrame);
    ~CScanDiskDlg();

    // Starts the scan of ScanKind (2 formatted, 1 deep, else deleted files)
    // on a worker thread. folder limits a quick scan to a folder (a root
    // such as "D:\" is no limit). False when refused: a scan is still
    // running, or the thread could not start. With nothing to scan (no frame,
    // or no selected volume for a volume scan) WMU_ScanDone is posted at once
    // and the result is true.
    bool StartScan(const wchar_t* folder, bool includeSubfolders);
    // Starts the recycle-bin scan of every volume of the frame's list.
    bool StartRecycleScan();

    // Opens the gate (signalled), stamps the start time and clears the stop
    // flag: the state every scan worker starts in.
    void BeginScanState();
    // End of a worker: stop flag 1, not paused, gate closed and forgotten.
    void OnScanThreadExit();

    void PauseScan();
    void ResumeScan();
    // Wakes a paused worker and asks it to stop; waits up to 5 s for it
    // under the wait cursor.
    void StopScan();
    // Asks the worker to stop and waits until it has really ended (what it
    // uses is freed afterwards), then closes its handle.
    void EndScanThread();
    // True while a worker thread exists and has not ended.
    bool IsScanRunning() const;

    // Worker side: blocks while paused. Returns at once when not paused.
    void WaitGate();
    bool IsStopRequested() const { return m_bStop.load(std::memory_order_relaxed); }
    bool IsPaused() const { return m_bPaused; }
    // After a deleted-file or formatted scan: the volume could not be read
    // as a file system at all, so nothing was scanned (only a deep scan can
    // find anything on it). Reset when a scan starts.
    bool IsVolumeUnreadable() const { return m_bVolumeUnreadable.load(); }
    // What the scan could not read (reset when a scan starts); the walkers
    // and the carving engine note into it, the window tells the user.
    CReadTrouble& ReadTrouble() { return m_readTrouble; }
    const CReadTrouble& ReadTrouble() const { return m_readTrouble; }

    void SetImagePath(const wchar_t* path) { m_strImagePath = path ? path : L""; }
    const wchar_t* GetImagePath() const { return m_strImagePath.empty() ? nullptr : m_strImagePath.c_str(); }
    void SetTargetKind(int kind) { m_nTargetKind = kind; }
    int GetTargetKind() const { return m_nTargetKind; }
    void SetPhysicalDiskIndex(int disk) { m_nDiskNumber = disk; }
    // The byte range of the target that a deep scan reads: [start, end), end
    // 0 for the target's end. Both 0 read the whole target.
    void SetScanRange(unsigned __int64 start, unsigned __int64 end)
    {
        m_u64RangeStart = start;
        m_u64RangeEnd = end;
    }
    unsigned __int64 GetRangeStart() const { return m_u64RangeStart; }
    unsigned __int64 GetRangeEnd() const { return m_u64RangeEnd; }
    // The volume a loaded result came from (a scan takes the frame's).
    void SetScanVolume(CVolumeInfo* volume) { m_pVolume = volume; }
    int GetDiskNumber() const { return m_nDiskNumber; }
    IMainFrameServices* GetMainFrame() const { return m_pMainFrame; }

    // The "ScanningFile" text with the count filled in.
    std::wstring FormatScanningText(unsigned __int64 count) const;

    // Sends a progress payload to the frame: posted when post is true, sent
    // otherwise; handed to the message sink instead when one is set. With
    // neither a frame window nor a sink, or when the post fails, the payload
    // is freed here.
    void ReportProgress(int done, int total, const wchar_t* text, bool active, bool post);
    // A walker's progress point: posted as ReportProgress(done, total,
    // ScanningFile of the found count, active) at most once per
    // kProgressIntervalMs, so that a walk never floods the frame's queue.
    void WalkProgress(int done, int total);
    enum { kProgressIntervalMs = 50 };

    // "HH:MM:SS" left when done of total took elapsed seconds; hours above
    // 98 show as 99, and a done count outside 1 .. total is clamped.
    static std::wstring RemainingTimeClock(double elapsed, int done, int total);

    static bool IsSupportedFileSystem(const wchar_t* name);
    // False when the text holds any of / * ? < > | or the double quote.
    static bool IsValidFileName(const wchar_t* text);
    // Copies the next path component (up to a backslash or a double quote,
    // at most 260 characters) into out (room for 261), skips the separators
    // after it and moves the cursor. Returns the characters copied (0 at the
    // end of the path).
    static int NextPathComponent(const wchar_t*& cursor, wchar_t* out);

    // The scans run by the worker threads.
    void QuickScan();
    void FormatScan();
    void DeepScan();
    void RecycleScan();

    // Quick scans (deleted files) of the selected volume. False when the
    // volume could not be opened, or (in the recycle-bin scan) the folder
    // does not exist on it, so that nothing was walked.
    bool NTFSQuickScan(const wchar_t* folderFilter, bool includeSubfolders);
    bool FAT32QuickScan(const wchar_t* folderFilter);
    bool FAT16QuickScan(const wchar_t* folderFilter);
    bool ExFATQuickScan(const wchar_t* folderFilter);
    // Formatted-volume scans of the selected volume.
    void NTFSFormatScan();
    void FAT32FormatScan();
    void FAT16FormatScan();
    void ExFATFormatScan();

    // The NTFS folder's MFT record number, or all ones when it is not found.
    static ULONGLONG NTFSLookupDirectory(CNTFSVolume* volume, const wchar_t* folderPath);
    // Live MFT records reported by the volume's change journal (the journal
    // is queried, never created). The list comes back sorted and unique.
    void CollectNtfsRecordsByUsn(wchar_t driveLetter, std::vector<ULONGLONG>& liveList);
    // True when the enumeration ran to its end.
    bool EnumUsnRecords(HANDLE device, std::vector<ULONGLONG>& liveList);
    // First cluster of a folder of a FAT volume; -1 (FAT16: 0xFFFF) when not found.
    static DWORD FAT32LookupDirectory(CFAT32Volume* volume, const wchar_t* path);
    static DWORD FAT16LookupDirectory(CFATVolume* volume, const wchar_t* path);
    static DWORD ExFATLookupDirectory(CExFATVolume* volume, const wchar_t* path, bool* deleted,
                                      unsigned __int64* length, bool* noFatChain);

    // One raw record of the old MFT (at the MFT's start + number x record
    // size), new[]-allocated; null when it cannot be read whole.
    static BYTE* ReadMftRecordAt(CNTFSVolume* volume, ULONGLONG recordNumber);
    // Lists one record image of the formatted NTFS scan; 1 when it was a file.
    int NTFSScanRecords(CNTFSVolume* volume, ULONGLONG recordNumber, const BYTE* image, ULONGLONG newRecordCount);
    // The sweeps of the formatted FAT and exFAT scans; 0 when stopped.
    int FindSubDir(IFatDirVolume& volume);
    int ExFAT_SearchEntry(CExFATVolume& volume);

    // Opens the deep-scan target read-only: INVALID_HANDLE_VALUE when a
    // volume target has no selected volume, null when the image path
    // is empty. The device name goes into buffer (units characters).
    HANDLE OpenScanTarget(wchar_t* buffer, size_t units);

    // Receives the messages meant for the frame's window, on the scanning
    // thread, where there is no window (tools, tests): a window costs a
    // desktop process under Wine. The sink takes over what the message
    // carries (the progress payload).
    typedef void (*FrameMessageSink)(void* context, UINT message, WPARAM wParam, LPARAM lParam);
    void SetFrameMessageSink(FrameMessageSink sink, void* context)
    {
        m_pfnMessageSink = sink;
        m_pMessageSinkContext = context;
    }
    // Posts a message to the frame's window, or hands it to the sink. False
    // when nothing took it: the caller still owns what it carries.
    bool PostToFrame(UINT message, WPARAM wParam, LPARAM lParam);

    // The scan's position and its total (bytes for the deep scan), published
    // by the walker at every progress point for the frame to read at its own
    // pace; posted reports are limited by time.
    void PublishPosition(unsigned __int64 done, unsigned __int64 total)
    {
        m_u64PublishedTotal.store(total, std::memory_order_relaxed);
        m_u64PublishedDone.store(done, std::memory_order_relaxed);
    }
    unsigned __int64 GetPublishedDone() const { return m_u64PublishedDone.load(std::memory_order_relaxed); }
    unsigned __int64 GetPublishedTotal() const { return m_u64PublishedTotal.load(std::memory_order_relaxed); }

private:
    CScanDiskDlg(const CScanDiskDlg&);
    CScanDiskDlg& operator=(const CScanDiskDlg&);

    // Adapter through which the walker cores reach this controller.
    class CWalkHost : public IScanWalkHost
    {
    public:
        explicit CWalkHost(CScanDiskDlg* dlg) : m_pDlg(dlg) {}
        bool WaitAndCheckStop() override;
        // A walk also ends when its device stopped answering.
        bool IsStopRequested() override { return m_pDlg->IsStopRequested() || m_bGone.load(); }
        void ProgressPoint(int done, int total) override { m_pDlg->WalkProgress(done, total); }
        bool HandOver(CFoundItem* item) override;
        void CountExamined() override { ++m_pDlg->m_u64Examined; }
        unsigned __int64 Examined() override { return m_pDlg->m_u64Examined; }
        unsigned __int64 Found() override { return m_pDlg->m_u64Found; }
        void NoteUnreadable(uint64_t offset, uint64_t bytes) override { m_pDlg->m_readTrouble.NoteUnreadable(offset, bytes); }
        void NoteDeviceGone(uint64_t offset) override
        {
            m_pDlg->m_readTrouble.NoteDeviceGone(offset);
            m_bGone = true;
        }
        bool DeviceGone() const { return m_bGone.load(); }
        // A new walk (of another volume) starts with its device answering.
        void ResetDeviceGone() { m_bGone = false; }

    private:
        CScanDiskDlg* m_pDlg;
        std::atomic<bool> m_bGone{false};
    };

    bool StartWorker(LPTHREAD_START_ROUTINE proc);
    // The FAT16 and FAT32 quick scans: Volume the reader, View its walker view.
    template <class Volume, class View>
    bool FatQuickScan(const wchar_t* folderFilter, const char* invalidKey);
    static DWORD WINAPI QuickScanThreadProc(LPVOID param);
    static DWORD WINAPI FormatScanThreadProc(LPVOID param);
    static DWORD WINAPI DeepScanThreadProc(LPVOID param);
    static DWORD WINAPI RecycleScanThreadProc(LPVOID param);
    void WaitForThread(DWORD milliseconds, bool waitCursor);
    // Final progress report and WMU_ScanDone.
    void EndOfScan();
    void PostScanDone();
    // The volume's file system cannot be opened (its boot sector is
    // unreadable or damaged, or it holds none this program reads): progress
    // (0, 0, no text) sent and the scan's end marked so (IsVolumeUnreadable);
    // the window then offers the deep scan. The key names the file system
    // for the log.
    void ReportOpenFailure(const char* base64Key);
    wchar_t SelectedDriveLetter() const;
    // "X:\" of the selected volume.
    std::wstring SelectedRoot() const;

public:
    unsigned __int64 m_u64Examined;
    unsigned __int64 m_u64Found;
    HANDLE m_hGate;
    HANDLE m_hThread;
    std::atomic<bool> m_bStop;
    volatile bool m_bPaused;
    bool m_bIncludeSubfolders;
    int m_nTargetKind;
    int m_nDiskNumber;
    __int64 m_i64StartTime;
    std::wstring m_strImagePath;
    std::wstring m_strFolderFilter;
    unsigned __int64 m_u64RangeStart = 0;
    unsigned __int64 m_u64RangeEnd = 0;
    IMainFrameServices* m_pMainFrame;
    CVolumeInfo* m_pVolume;
    // Directory clusters the exFAT formatted scan has walked.
    std::unordered_set<unsigned int> m_visitedClusters;

private:
    // Guards the gate handle: the worker closes it while the main thread may
    // still signal it.
    CRITICAL_SECTION m_csGate;
    CWalkHost m_walkHost;
    ULONGLONG m_u64LastProgressTick;
    // Set by the recycle-bin scan: a walker whose folder does not exist on
    // its volume scans nothing (instead of the whole volume).
    bool m_bFolderRequired;
    std::atomic<bool> m_bVolumeUnreadable{false};
    CReadTrouble m_readTrouble;
    FrameMessageSink m_pfnMessageSink;
    void* m_pMessageSinkContext;
    std::atomic<unsigned __int64> m_u64PublishedDone;
    std::atomic<unsigned __int64> m_u64PublishedTotal;
};
