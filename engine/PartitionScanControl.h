// The engine object behind partitions that a disk's table no longer shows:
// the quick parse of table gaps during disk enumeration, the slow search of
// a whole disk for boot sectors, and the scan of what one found partition
// holds. The main frame owns one for its whole lifetime and points it at
// one physical disk at a time. One worker thread at a time.
#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/FrameMessage.h"
#include "engine/ReadTrouble.h"
#include "engine/RecoverFile.h"
#include "engine/ScanWalkHost.h"
#include "storage/PartitionTable.h"
#include "storage/PhysicalDiskList.h"

class IMainFrameServices;
class CVolumeInfo;
struct PartitionDescriptor;

// A stretch of the disk: occupied by a partition or volume, or a gap.
struct DiskExtent
{
    uint64_t start;
    uint64_t length;
    uint32_t hidden;
};

// An 11-byte FAT volume label as text: up to a zero byte, trailing blanks
// removed.
std::wstring FatVolumeLabel(const BYTE* bytes);

// Ascending by start (the largest start is taken out first, repeatedly).
void SortPartitionsByStart(std::vector<DiskExtent>& extents);

// The recovery readers and previews reach the partition of the shown
// result through ILostPartitionSource.
class CPartitionScanControl : public ILostPartitionSource
{
public:
    // Largest read of ReadDiskSectors, in sectors.
    enum { kMaxReadSectors = 264 };
    // Smallest gap (100 MiB) the quick parse probes.
    enum { kMinGapBytes = 100 * 1024 * 1024 };

    explicit CPartitionScanControl(IMainFrameServices* mainFrame);
    ~CPartitionScanControl();

    // The disk the control works on (the frame's enumeration sets both).
    void SetDisk(int diskNumber, CPhysicalDiskInfo* disk);
    int GetDiskNumber() const override { return m_nDiskNumber; }
    CPhysicalDiskInfo* GetCurrentDisk() const { return m_pCurrentDisk; }
    // The sector size the current partition counts in (that of the disk it
    // was found on), else the current disk's.
    unsigned int GetSectorSize() const override
    {
        return m_pCurrentPartition && m_pCurrentPartition->m_uSectorSize ? m_pCurrentPartition->m_uSectorSize
                                                                         : m_uSectorSize;
    }
    // The current disk's own sector size, in which ReadDiskSectors counts.
    unsigned int GetDiskSectorSize() const { return m_uSectorSize; }
    CPartitionInfo* GetCurrentPartition() const override { return m_pCurrentPartition; }
    void SetCurrentPartition(CPartitionInfo* partition) { m_pCurrentPartition = partition; }
    // The window of the search dialog; progress of a search goes there.
    void SetSearchWindow(HWND window) { m_search = DialogTarget(window); }
    HWND GetSearchWindow() const { return m_search.window; }
    // The same for a search dialog without a window (its messages through a sink).
    void SetSearchDialog(const DialogTarget& dialog) { m_search = dialog; }

    // count sectors of the current disk from sector, new[]-allocated for
    // the caller; null on failure with the error of the failed step left in
    // GetLastError(). Reads through the search's open handle while a
    // search runs, else opens the disk for the read.
    BYTE* ReadDiskSectors(uint64_t sector, uint32_t count);
    // A new record when a valid NTFS, FAT32 or FAT16 boot sector lies at
    // start + hidden (and its hidden-sectors field is hidden, or hidden is 0).
    CPartitionInfo* CheckPartitionIsValid(uint64_t start, uint32_t hidden);
    // Label of the NTFS volume whose boot sector (512 bytes) lies at
    // partitionStart: the $VOLUME_NAME of its $Volume record. Empty when
    // anything is out of order.
    std::wstring ReadNtfsVolumeLabel(uint64_t partitionStart, const BYTE* bootSector);
    // The label of $Volume from one raw record image (record bytes long):
    // fix-ups applied, every offset bounded. Empty when anything fails.
    static std::wstring VolumeLabelFromRecord(BYTE* record, uint32_t bytes);

    // Compares the table (or the volumes Windows shows) with the disk and
    // probes every gap of 100 MiB or more. True when a lost partition was
    // appended to the lost list.
    bool QuickParsePartition(const std::vector<CVolumeInfo*>& volumes);
    // The gaps of 100 MiB or more around and between extents (sorted by
    // start) on a disk of diskSectors, and the hidden-sector values of the
    // extents (all but the last) below 8,192 as candidates.
    // All counts are sectors of sectorSize bytes.
    static void FindTableGaps(const std::vector<DiskExtent>& extents, uint64_t diskSectors,
                              std::vector<DiskExtent>& gaps, std::vector<uint32_t>& candidates,
                              uint32_t sectorSize = 512);
    bool FindLostPartition(const std::vector<DiskExtent>& gaps, const std::vector<uint32_t>& candidates, int scheme,
                           std::vector<CPartitionInfo*>& out);
    // The occupied extents of the current disk (volumes, else the table)
    // and the table's scheme. A stoppable collection (the search's) ends
    // when the stop flag is set.
    void CollectOccupiedExtents(const std::vector<CVolumeInfo*>& volumes, std::vector<DiskExtent>& extents,
                                int* scheme, bool stoppable);

    // Start a worker: the scan of one found partition, or the search of the
    // whole disk. False when no frame is set or a worker still runs.
    bool StartPartitionScan(CPartitionInfo* partition);
    bool StartLostPartitionSearch();
    void StopSearch();
    void PauseScan();
    void ResumeScan();
    void ResetScan(bool keep);
    bool IsRunning() const;
    bool IsStopRequested() const { return m_bStop.load(std::memory_order_relaxed); }
    bool IsPaused() const { return m_bPaused; }
    HANDLE GetThreadHandle() const { return m_hThread; }
    // What the scan of a found partition could not read (reset when one
    // starts).
    CReadTrouble& ReadTrouble() { return m_readTrouble; }
    const CReadTrouble& ReadTrouble() const { return m_readTrouble; }

    bool GetPartitionDescriptor(PartitionDescriptor* out);
    // Size in bytes of the current disk, -1 without one.
    int64_t GetDiskLength() const;
    // A loaded result names its disk: the frame's record of it when there
    // is one, else a record the control keeps.
    void SetLoadedDisk(int diskNumber, const CPhysicalDiskInfo& disk);

    CPartitionInfo* FindPartitionByStart(uint64_t start);
    // The record whose file system begins at sector (start + hidden) of
    // the current disk (records count in their own sector size).
    CPartitionInfo* FindPartitionByBootSector(uint64_t sector);
    void ClearLostPartitions();
    // Appends a record (the list owns it from then on).
    void AppendLostPartition(CPartitionInfo* partition);
    // The records in order (the control keeps them).
    std::vector<CPartitionInfo*> GetLostPartitions();

    void PostProgress(int done, int total, const wchar_t* text, bool active);
    std::wstring FormatScanningText(uint64_t count);

    // Worker bodies (public for the tools and tests that run them inline).
    void SearchLostPartitions();
    void ScanPartition();
    void ScanLostPartitionNTFS();
    void ScanLostPartitionFAT32();
    void ScanLostPartitionFAT16();
    void ScanLostPartitionExFAT();

    uint64_t m_u64Processed;
    uint64_t m_u64Found;

private:
    CPartitionScanControl(const CPartitionScanControl&);
    CPartitionScanControl& operator=(const CPartitionScanControl&);

    class CWalkHost : public IScanWalkHost
    {
    public:
        explicit CWalkHost(CPartitionScanControl* owner) : m_p(owner) {}
        bool WaitAndCheckStop() override;
        // A walk also ends when its device stopped answering.
        bool IsStopRequested() override { return m_p->IsStopRequested() || m_p->m_readTrouble.DeviceGone(); }
        void ProgressPoint(int done, int total) override;
        bool HandOver(CFoundItem* item) override;
        void CountExamined() override { ++m_p->m_u64Processed; }
        uint64_t Examined() override { return m_p->m_u64Processed; }
        uint64_t Found() override { return m_p->m_u64Found; }
        void NoteUnreadable(uint64_t offset, uint64_t bytes) override { m_p->m_readTrouble.NoteUnreadable(offset, bytes); }
        void NoteDeviceGone(uint64_t offset) override { m_p->m_readTrouble.NoteDeviceGone(offset); }

    private:
        CPartitionScanControl* m_p;
    };

    static DWORD WINAPI PartitionScanThreadProc(LPVOID param);
    static DWORD WINAPI LostPartitionSearchThreadProc(LPVOID param);
    // Closes the handle of a worker that has ended; false while one runs.
    bool ReapThread(DWORD waitMs);
    void WaitGate();
    void CloseGate();
    // The record a boot sector found by the search describes, or null.
    CPartitionInfo* MakeFoundRecord(uint64_t sector, const BYTE* boot);
    // A record of the volume whose boot sector lies at disk sector `at`
    // (type, counts and label from the boot sector), in the sector size its
    // boot sector was made for when the disk's own is another; null when
    // the boot sector's fields do not fit.
    CPartitionInfo* NewVolumeRecord(uint64_t at, const BYTE* boot, int code, uint64_t hidden);
    // Whether length sectors of sectorSize from firstSector pass the disk's end.
    bool IsPastDiskEnd(uint64_t firstSector, uint64_t length, uint32_t sectorSize) const;
    // The current disk's length in its own sectors, 0 when unknown.
    uint64_t DiskSectors() const;
    // The disk's own sector size, asked from the device when its record does not say.
    static unsigned int SectorSizeOfDisk(int diskNumber, const CPhysicalDiskInfo* disk);
    // Byte offset of the current partition's file system, false when unknown.
    bool CurrentBootOffset(uint64_t* offset) const;
    void PostToSearchWindow(UINT message, WPARAM wParam);
    // Wraps a progress payload and sends it where the report flag says.

    int m_nDiskNumber;
    CPartitionInfo* m_pCurrentPartition;
    std::vector<CPartitionInfo*> m_lostPartitions;
    unsigned int m_uSectorSize;
    DialogTarget m_search;
    CPhysicalDiskInfo* m_pCurrentDisk;
    IMainFrameServices* m_pMainFrame;
    HANDLE m_hThread;
    HANDLE m_hGate;
    std::atomic<bool> m_bStop;
    volatile bool m_bPaused;
    std::atomic<int> m_bReportToMainFrame;
    int m_bKeep;
    // The disk handle a search holds open for all its reads.
    HANDLE m_hSearchDisk;
    ULONGLONG m_u64LastProgressTick;
    CPhysicalDiskInfo m_loadedDisk;
    // Guards the lost list and the gate handle.
    CRITICAL_SECTION m_cs;
    CWalkHost m_walkHost;
    CReadTrouble m_readTrouble;
};
