// Scan controller: one per main frame. Owns the worker's pause gate and stop
// flag, knows what is being scanned (image, volume or disk) and reports
// progress to the frame.
#pragma once
#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

class IMainFrameServices;
class CVolumeInfo;

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

    // Opens the gate (signalled), stamps the start time and clears the stop
    // flag: the state every scan worker starts in.
    void BeginScanState();
    // End of a worker: stop flag 1, not paused, gate closed and forgotten.
    void OnScanThreadExit();

    void PauseScan();
    void ResumeScan();
    // Wakes a paused worker and asks it to stop (waits for a running thread).
    void StopScan();
    void EndScanThread();

    // Worker side: blocks while paused. Returns at once when no scan state is set.
    void WaitGate();
    bool IsStopRequested() const { return m_bStop.load(std::memory_order_relaxed); }
    bool IsPaused() const { return m_bPaused; }

    void SetImagePath(const wchar_t* path) { m_strImagePath = path ? path : L""; }
    const wchar_t* GetImagePath() const { return m_strImagePath.empty() ? nullptr : m_strImagePath.c_str(); }
    void SetTargetKind(int kind) { m_nTargetKind = kind; }
    int GetTargetKind() const { return m_nTargetKind; }
    void SetPhysicalDiskIndex(int disk) { m_nDiskNumber = disk; }
    int GetDiskNumber() const { return m_nDiskNumber; }
    IMainFrameServices* GetMainFrame() const { return m_pMainFrame; }

    // The "ScanningFile" text with the count filled in.
    std::wstring FormatScanningText(unsigned __int64 count) const;

    // Sends a progress payload to the frame: posted when post is true, sent
    // otherwise; handed to the message sink instead when one is set. With
    // neither a frame window nor a sink the payload is freed here.
    void ReportProgress(int done, int total, const wchar_t* text, bool active, bool post);

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

    void WaitForThread(DWORD milliseconds);

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
    IMainFrameServices* m_pMainFrame;
    CVolumeInfo* m_pVolume;
    std::vector<unsigned int> m_visitedClusters;

private:
    // Guards the gate handle: the worker closes it while the main thread may
    // still signal it.
    CRITICAL_SECTION m_csGate;
    FrameMessageSink m_pfnMessageSink;
    void* m_pMessageSinkContext;
    std::atomic<unsigned __int64> m_u64PublishedDone;
    std::atomic<unsigned __int64> m_u64PublishedTotal;
};
