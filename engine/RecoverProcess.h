// The recovery run: one worker thread writes the checked entries of a scan
// result to a target folder (or one file). Carved hits are copied straight
// from the device; file-system entries go through the reader of their file
// system. The worker owns no window: it reports to the recovery dialog by
// posted messages only, and the dialog answers by Stop().
#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/MainFrameServices.h"
#include "engine/RecoverFile.h"
#include "engine/RecoverTarget.h"

class CFoundItem;
struct DeepScanHit;

// Messages of the worker to its dialog, besides WMU_RecoverProgress (per
// mille in wParam) and WMU_RecoverDone (the dialog stops the run).
enum
{
    // wParam: a heap RecoverStatusText for the lines "FileCount" and
    // "FileName"; the receiver deletes it.
    WMU_RecoverStatus = WM_USER + 14,    // 1038
    // wParam: a heap RecoverFinishedInfo; the receiver deletes it. The worker
    // has ended: the dialog closes and, when anything was recovered, offers
    // to open the target folder (ShowRecoverFinished).
    WMU_RecoverFinished = WM_USER + 15,  // 1039
};

struct RecoverStatusText
{
    std::wstring countText;  // "RecoveredCount" with k and n
    std::wstring nameText;   // "InRecovering" with the name
};

struct RecoverFinishedInfo
{
    int recovered = 0;  // whole and partial files
    int partial = 0;    // of those, with unreadable data written as zeros
    int failed = 0;
    bool stopped = false;
    std::wstring explorerArgument;  // " /select,"? followed by the quoted target
};

// One entry of a run and what became of it.
struct RecoverEntryResult
{
    std::wstring name;  // entry or hit name
    RecoverOutcome outcome;
};

// What a recovery of these entries (of the frame's current result, scan kind
// `scanKind`) reads: the frame calls IsTargetOnScannedDevice with it before
// it opens the recovery dialog, the worker again before its first write.
ScannedSource MakeScannedSource(IMainFrameServices* mainFrame, int scanKind, const std::vector<CFoundItem*>& entries);

class CRecoverProcessWorker
{
public:
    // target: the folder (or, with singleFile, the file); remainFullPath: keep
    // each entry's folder path (file-system entries) or sort carved hits into
    // folders by type.
    CRecoverProcessWorker(IMainFrameServices* mainFrame, const std::wstring& target, int remainFullPath,
                          bool singleFile);
    // Stops the worker and waits for it.
    ~CRecoverProcessWorker();

    // What the dialog's "windowinit" does: takes the frame's scan kind, lost
    // partition, volume list and volume root, and starts the worker, which
    // reports to `dialog`. False without a scan controller or when the
    // thread cannot start.
    bool Start(HWND dialog);
    // Messages to the dialog go to the sink instead of a window (tools, tests).
    void SetDialogMessageSink(RecoverMessageSink sink, void* context)
    {
        m_pfnSink = sink;
        m_pSinkContext = context;
        m_pReader.reset();
    }
    // "btnStop" and WMU_RecoverDone: the worker ends after the current chunk.
    void Stop() { m_bStop = 1; }
    // Closing the dialog: stop, then wait for the worker (true when it ended).
    bool StopAndWait(DWORD timeoutMs);
    bool IsRunning() const;
    bool IsStopRequested() const { return m_bStop != 0; }

    // After the worker ended: what became of each entry.
    const std::vector<RecoverEntryResult>& Results() const { return m_results; }
    int GetRecoveredCount() const { return m_nRecovered; }
    // Whether the run was refused before anything was written because the
    // target lies on the scanned device.
    bool WasRefused() const { return m_bRefused; }

    // Copies a carved hit from `device` into a new file at `path`: 1 when
    // all of its bytes were written. The range must lie on the device; every
    // read is checked and a failed one is never written.
    int WriteCarvedFile(HANDLE device, const std::wstring& path, const DeepScanHit* hit, int targetKind, HWND notify,
                        const volatile int* stop);
    // What the last WriteCarvedFile came to.
    const RecoverOutcome& LastCarvedOutcome() const { return m_carvedOutcome; }
    // Writes one file-system entry into `destination` through the reader of
    // its file system: 1 when it was written.
    int RecoverFoundItem(const std::wstring& destination, CFoundItem* entry);

    // The dialog's end of a run, on its own thread: the success box owned by
    // the main window and, on Yes, Explorer on the target. When some files
    // came back partial or failed, it says how many were whole, partial and
    // failed; when none came back but some failed, it says that (no Explorer).
    static void ShowRecoverFinished(HWND mainWindow, const RecoverFinishedInfo& info);
    // The text of that box (empty: no box).
    static std::wstring FinishedText(const RecoverFinishedInfo& info);

private:
    CRecoverProcessWorker(const CRecoverProcessWorker&);
    CRecoverProcessWorker& operator=(const CRecoverProcessWorker&);

    static DWORD WINAPI ThreadProc(LPVOID param);
    void Run();
    void RunCarved(const std::vector<DeepScanHit*>& hits);
    void RunFound(const std::vector<CFoundItem*>& entries);
    // Whether `bytes` more fit on the target. The free space is asked once
    // and then counted down by what the run writes; it is asked again when
    // the count says no (room may have been made) and once a second. An
    // entry that does not fit is refused by its reader before anything is
    // written and fails alone ("DiskNoSpace" is shown once per run); the run
    // goes on with the rest.
    bool FitsOnTarget(uint64_t bytes);
    // "DiskNoSpace", once per run, with the progress frame out of sight
    // while it is up (shown again after it when the run goes on).
    void NoSpaceBoxOnce(bool runGoesOn);
    // After a write that failed on the target: its box, and whether the run
    // ends. A write error ends it; a full target only when nothing is left
    // on it.
    bool EndsRun(const RecoverOutcome& failed);
    void CountWritten(uint64_t bytes);
    // The folder an entry goes to, made once per run. A folder chain the
    // target cannot hold (too deep even for a long path) is shortened: the
    // entry goes to the deepest folder that could be made, under a folder
    // "~deep" there that says so.
    // The folder made for `folder` (or the nearest that could be made, with
    // "~deep" in it); `made` says whether the returned folder exists.
    std::wstring EnsureDestination(const std::wstring& folder, bool* made = nullptr);
    // The status lines ("RecoveredCount" with the files recovered so far and
    // n, "InRecovering" with the name), by time: at most one post per interval, the last one
    // held back and posted before the next progress message.
    void PostStatus(int n, const std::wstring& name);
    void FlushStatus();
    static void FlushStatusOf(void* self) { static_cast<CRecoverProcessWorker*>(self)->FlushStatus(); }
    // Posts to the dialog (or `window`, when one is given and there is no
    // sink); false when nothing took the message.
    bool PostToDialog(UINT message, WPARAM wParam, LPARAM lParam, HWND window = nullptr);
    void PostPerMille(uint64_t done, uint64_t total);
    void ShowBox(const char* base64Key, UINT type, HWND owner = nullptr);
    void Record(const std::wstring& name, const RecoverOutcome& outcome);

    IMainFrameServices* m_pMainFrame;
    std::wstring m_strTarget;
    int m_bRemainFullPath;
    bool m_bSingleFile;
    volatile int m_bStop;
    HANDLE m_hThread;
    HWND m_hDialog;
    int m_nScanKind;
    std::wstring m_strVolumeRoot;
    ILostPartitionSource* m_pLost;
    CVolumeList* m_pVolumes;
    int m_nTargetKind;
    int m_nLastPerMille;
    int m_nRecovered;
    bool m_bRefused;
    RecoverOutcome m_carvedOutcome;
    // The device of the carved run, its length and sector size, asked once for the run
    // (each question is a round trip to the system); null outside a run.
    HANDLE m_hCarveDevice = nullptr;
    uint64_t m_u64CarveDeviceLength = 0;
    DWORD m_dwCarveSectorBytes = 0;  // and its sector size
    std::vector<RecoverEntryResult> m_results;
    CRecoverSession m_session;
    // The reader of the last entry's volume, and what it was chosen for.
    std::unique_ptr<CRecoverFile> m_pReader;
    int m_nReaderCode = 0;
    std::wstring m_strReaderRoot;
    const CPartitionInfo* m_pReaderPartition = nullptr;
    // Bytes the entry in hand may take on the target (all when it fits).
    uint64_t m_u64Room = ~0ull;
    bool m_bFreeKnown = false;
    uint64_t m_u64Free = 0;
    DWORD m_dwFreeTick = 0;
    bool m_bNoSpaceShown = false;
    DWORD m_dwLastStatus = 0;
    bool m_bStatusPosted = false;
    bool m_bStatusPending = false;
    int m_nPendingRecovered = 0;  // files recovered so far, not entries tried
    int m_nPendingCount = 0;
    std::wstring m_strPendingName;
    DWORD m_dwLastPerMilleTick = 0;
    RecoverMessageSink m_pfnSink = nullptr;
    void* m_pSinkContext = nullptr;
};
