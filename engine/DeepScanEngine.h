// Signature (carving) scan: walks a device block by block, asks the bound
// file-type plug-ins whether a file starts there and how long it is, and
// hands every plausible find to the main frame as a DeepScanHit.
#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/ByteTrie.h"
#include "plugins/common/PluginContract.h"

class CDeviceHealth;
class CDiskMappingPointer;
class CScanDiskDlg;
class IMainFrameServices;

// One carved file: the same 89 bytes in memory and in scan-result files.
#pragma pack(push, 1)
struct DeepScanHit
{
    uint32_t uPluginIndex;
    uint64_t u64WindowBase;  // device offset of the scan window that held the start
    uint64_t u64Position;    // start inside that window: file starts at base + position
    uint64_t u64Length;      // bytes
    char szName[32];         // "File%.7d.%s", zero-terminated
    uint32_t uValid;         // from the plug-in
    uint32_t uReserved;
    char szExtension[21];    // such as "jpg", zero-terminated

    uint64_t GetStart() const { return u64WindowBase + u64Position; }
};
#pragma pack(pop)
static_assert(sizeof(DeepScanHit) == 89, "DeepScanHit is 89 bytes");
static_assert(offsetof(DeepScanHit, u64WindowBase) == 4, "DeepScanHit layout");
static_assert(offsetof(DeepScanHit, u64Position) == 12, "DeepScanHit layout");
static_assert(offsetof(DeepScanHit, u64Length) == 20, "DeepScanHit layout");
static_assert(offsetof(DeepScanHit, szName) == 28, "DeepScanHit layout");
static_assert(offsetof(DeepScanHit, uValid) == 60, "DeepScanHit layout");
static_assert(offsetof(DeepScanHit, uReserved) == 64, "DeepScanHit layout");
static_assert(offsetof(DeepScanHit, szExtension) == 68, "DeepScanHit layout");

// One bound plug-in; its index in the table is the plug-in index.
struct FormatPluginEntry
{
    uint32_t uSize;  // always 32
    int32_t nSimple;
    HMODULE hModule;  // owned by the registry
    int32_t nLenAtOnce;
    PFN_GetSupportFormat pfnGetSupportFormat;
    PFN_GetRawFileInfo pfnGetRawFileInfo;
    PFN_GetFileSizeAtOnce pfnGetFileSizeAtOnce;  // null when nLenAtOnce is 0
    uint32_t uReserved;
};

// A plug-in recognised by a check routine instead of a byte signature.
struct FileSignCheck
{
    uint32_t uPluginIndex;
    FileSignCheckProc pfnCheck;
};

class CDeepScanEngine
{
public:
    explicit CDeepScanEngine(IMainFrameServices* mainFrame);
    ~CDeepScanEngine();

    // Binds the plug-ins of the selected format names ("FILE_TYPE_JPG", ...).
    void BindPlugins(const std::vector<std::wstring>& formatNames);

    void SetBlockStep(unsigned int step);
    void SetReader(CDiskMappingPointer* reader) { m_pReader = reader; }

    // Runs the whole scan. 1 when it ran, 0 when it could not start (no
    // reader, empty device, no scan controller).
    int Run();
    // Ends the scan at its next position.
    void Stop() { m_bRunning = 0; }

    bool IsRunning() const { return m_bRunning != 0; }
    unsigned int GetAcceptedCount() const { return m_uAccepted; }
    unsigned int GetPluginCount() const { return m_uPluginCount; }
    const std::vector<FormatPluginEntry>& GetPluginTable() const { return m_plugins; }
    unsigned int GetBlockStep() const { return m_uBlockStep; }

    // Bytes the scan may read past a position: the edge kept after each
    // window so matches near its end see the device's real next bytes.
    enum { EDGE_BYTES = 64 * 1024 };

    // Window the scan reader is best made with: a window is read, then
    // scanned while the next is read, and two of them are held. Larger
    // windows only cost memory (the reader's default of 500 allocation units
    // holds 64 MB); smaller ones cost a hand-over more often.
    enum { SCAN_WINDOW_BYTES = 4 * 1024 * 1024 };

    // Window of the reader the plug-ins analyse candidates with. Every
    // candidate outside the window costs a read of a whole window, so it is
    // small; plug-ins read on through the device for what lies further.
    enum { ANALYSIS_WINDOW_BYTES = 1024 * 1024 };

    // Least time between two posted progress reports: a posted message is a
    // round trip to the window system (under Wine to its server), and a
    // queue holds at most 10,000 of them.
    enum { PROGRESS_INTERVAL_MS = 200 };

    // The "/debug" switch: adds a debug line per analysed candidate.
    static bool s_bDebugTrace;

private:
    CDeepScanEngine(const CDeepScanEngine&);
    CDeepScanEngine& operator=(const CDeepScanEngine&);

    int DirectScan();
    // The window thread and its hand-off: the worker sets the turn to
    // WINDOW_SCAN (or WINDOW_QUIT), the window thread sets it back to
    // WINDOW_IDLE when the window is scanned. The lock and condition variable
    // wait inside the process, without a round trip to the kernel's objects.
    enum { WINDOW_IDLE, WINDOW_SCAN, WINDOW_QUIT };
    static DWORD WINAPI WindowThreadProc(LPVOID param);
    void HandWindow(int turn);
    void WaitWindowScanned();
    void ScanWindow();
    void PrepareWindow(uint64_t windowStart);
    int Match(const unsigned char* data, char* formatName);
    bool AnalyseHit(DeepScanHit* hit, const char* formatName, uint64_t* confirmedLength);
    // A progress point of the window being scanned: publishes the position,
    // posts a report when the last one is PROGRESS_INTERVAL_MS old (or the
    // scan is about to hold at a pause) and holds while paused.
    void ProgressPoint(uint64_t position, uint64_t total);

    HANDLE OpenAnalysisHandle(bool* ownHandle);
    bool ProgramFolderOnScanTarget() const;
    void OpenScanLog();
    void WriteScanLog(const char* formatName, uint64_t position);
    void CloseScanLog();

    // Fields in the order the carving loop relies on.
    CDiskMappingPointer* m_pReader;    // borrowed from the scan controller
    CDiskMappingPointer* m_pAnalysis;  // owned for one run
    IMainFrameServices* m_pMainFrame;
    std::vector<FormatPluginEntry> m_plugins;
    volatile unsigned int m_uAccepted;
    CScanDiskDlg* m_pScanDlg;
    unsigned char* m_pWindow;
    bool m_bSizeLimit;
    unsigned int m_uBlockStep;
    uint64_t m_u64MaxLength;
    uint64_t m_u64MinLength;
    volatile LONG m_bRunning;
    unsigned int m_uPluginCount;
    CByteTrie m_trie;
    std::vector<FileSignCheck> m_checks;

    // Per-window state of the run.
    uint64_t m_u64WindowStart;           // device offset of m_pWindow[0]
    uint64_t m_u64WindowValid;           // bytes of the window inside the device
    uint64_t m_u64WindowBytes;           // bytes from m_pWindow to the end of its half
    std::vector<unsigned char> m_edge;   // window tail + the device bytes that follow
    uint64_t m_u64EdgeStart;             // window offset where m_edge begins
    HANDLE m_hAnalysis;                  // handle of the analysis reader and edge reads
    bool m_bSharedHandle;                // analysis reads share the scan reader's handle
    CDeviceHealth* m_pHealth;            // what the reads of the run have shown of the device
    HANDLE m_hLog;
    std::wstring m_strLogPath;

    // What the files kept of each plug-in (by plug-in index) cover in this
    // run: the last one's start and end (the end as the plug-in stated it),
    // the same of the one that reaches furthest, and the bytes that kept
    // files share with the files kept before them.
    struct KeptExtent
    {
        uint64_t lastStart;
        uint64_t lastStatedEnd;
        uint64_t coverStart;
        uint64_t coverEnd;
        uint64_t coverStatedEnd;
        uint64_t sharedBytes;
    };
    std::vector<KeptExtent> m_kept;

    // Tick of the last posted progress report, 0 before the first.
    ULONGLONG m_u64LastReportTick;

    SRWLOCK m_windowLock;
    CONDITION_VARIABLE m_windowTurn;
    int m_nWindowTurn;  // guarded by m_windowLock
};
