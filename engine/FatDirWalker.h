// The directory walk of FAT16 and FAT32 volumes shared by the quick scan, the
// recycle-bin scan, the formatted scan and the found-partition scan. It reads
// a volume through IFatDirVolume, which both readers (and their lost
// variants at a partition offset) are seen through, and reports to an
// IScanWalkHost.
//
// Every walk ends: each directory cluster is read as a directory once per
// walk, chains and runs are bounded by the volume, and a folder holds at
// most 65,536 entries.
#pragma once
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "engine/DeviceProbe.h"
#include "engine/DirWorkList.h"
#include "engine/FolderPath.h"

#include "storage/DeviceIo.h"
#include "storage/fs/FAT32Volume.h"
#include "storage/fs/FATVolume.h"
#include "storage/fs/FatCommon.h"

class IScanWalkHost;

// One view of a FAT16 or FAT32 volume.
class IFatDirVolume
{
public:
    virtual ~IFatDirVolume() {}
    virtual bool IsFat32() const = 0;
    virtual uint32_t ClusterBytes() const = 0;
    // Data clusters are numbered 2 .. MaxCluster().
    virtual uint32_t MaxCluster() const = 0;
    // First cluster of the root folder; 0 on FAT16 (fixed root).
    virtual uint32_t RootCluster() const = 0;
    virtual wchar_t DriveLetter() const = 0;
    virtual bool ReadCluster(uint32_t cluster, void* buffer) = 0;
    // count clusters from first in one read.
    virtual bool ReadClusters(uint32_t first, uint32_t count, void* buffer) = 0;
    // The chain from first (no size limit); false when it cannot be followed.
    virtual bool GetChain(uint32_t first, std::vector<uint32_t>& out) = 0;
    virtual bool GetFatEntry(uint32_t cluster, uint32_t* value) = 0;
    virtual int RecoverablePercent(const FatDirEntry* entry) = 0;
    virtual std::wstring DosTime(WORD date, WORD time) const = 0;
    // FAT16: the fixed root folder (new[]-allocated) and its entry count.
    virtual BYTE* ReadFixedRoot(uint32_t* entryCount) = 0;
    // The last data cluster whose bytes lie on the opened device (a damaged
    // boot sector can claim more than the device holds).
    virtual uint32_t LastClusterOnDevice() = 0;
    // Where reads go: the device, its sector size, the device position of a
    // data cluster and of the boot sector; FAT16: of the fixed root folder
    // and its length (false on FAT32).
    virtual HANDLE Device() const = 0;
    virtual uint32_t SectorBytes() const = 0;
    virtual uint64_t ClusterPosition(uint32_t cluster) const = 0;
    virtual uint64_t BootPosition() const = 0;
    virtual bool FixedRootPlace(uint64_t* position, uint32_t* bytes) const = 0;

    // First cluster of an entry: both words on FAT32, the low word on FAT16.
    uint32_t EntryCluster(const FatDirEntry& entry) const
    {
        return IsFat32() ? ((uint32_t)entry.firstClusterHigh << 16) | entry.firstClusterLow : entry.firstClusterLow;
    }
};

// What both readers (and their lost variants) answer alike.
template <class Volume>
class CFatDirVolumeBase : public IFatDirVolume
{
public:
    explicit CFatDirVolumeBase(Volume& volume) : m_v(volume) {}
    uint32_t ClusterBytes() const override { return m_v.GetClusterSize(); }
    wchar_t DriveLetter() const override { return m_v.GetDriveLetter(); }
    int RecoverablePercent(const FatDirEntry* entry) override { return m_v.GetRecoverablePercent(entry); }
    std::wstring DosTime(WORD date, WORD time) const override { return m_v.FormatDosTime(date, time); }
    bool ReadClusters(uint32_t first, uint32_t count, void* buffer) override
    {
        if (first < 2 || count == 0 || (uint64_t)first + count - 1 > MaxCluster() || !m_v.IsValid())
            return false;
        const uint64_t bytes = (uint64_t)count * m_v.GetClusterSize();
        if (bytes > 0x40000000u)
            return false;
        const uint64_t at =
            m_v.GetDataOffset() + (uint64_t)(first - 2) * m_v.GetClusterSize() + m_v.GetPartitionOffset();
        return ReadAt(m_v.GetHandle(), at, buffer, (DWORD)bytes) == bytes;
    }
    HANDLE Device() const override { return m_v.GetHandle(); }
    uint32_t SectorBytes() const override { return m_v.GetSectorSize(); }
    uint64_t ClusterPosition(uint32_t cluster) const override
    {
        return m_v.GetDataOffset() + (uint64_t)(cluster - 2) * m_v.GetClusterSize() + m_v.GetPartitionOffset();
    }
    uint64_t BootPosition() const override { return m_v.GetPartitionOffset(); }
    uint32_t LastClusterOnDevice() override
    {
        const uint64_t device = QueryDeviceLength(m_v.GetHandle(), 1);
        const uint64_t start = m_v.GetDataOffset() + m_v.GetPartitionOffset();
        if (!device || !m_v.GetClusterSize())
            return MaxCluster();
        if (device <= start)
            return 1;
        return (uint32_t)std::min<uint64_t>(MaxCluster(), (device - start) / m_v.GetClusterSize() + 1);
    }

protected:
    Volume& m_v;
};

class CFat32DirVolume : public CFatDirVolumeBase<CFAT32Volume>
{
public:
    explicit CFat32DirVolume(CFAT32Volume& volume) : CFatDirVolumeBase(volume) {}
    bool IsFat32() const override { return true; }
    uint32_t MaxCluster() const override { return m_v.GetMaxCluster(); }
    uint32_t RootCluster() const override { return m_v.GetRootCluster(); }
    bool ReadCluster(uint32_t cluster, void* buffer) override;
    bool GetChain(uint32_t first, std::vector<uint32_t>& out) override;
    bool GetFatEntry(uint32_t cluster, uint32_t* value) override { return m_v.GetFatEntry(cluster, value) != 0; }
    BYTE* ReadFixedRoot(uint32_t* entryCount) override;
    bool FixedRootPlace(uint64_t*, uint32_t*) const override { return false; }
};

class CFat16DirVolume : public CFatDirVolumeBase<CFATVolume>
{
public:
    explicit CFat16DirVolume(CFATVolume& volume) : CFatDirVolumeBase(volume) {}
    bool IsFat32() const override { return false; }
    uint32_t MaxCluster() const override;
    uint32_t RootCluster() const override { return 0; }
    bool ReadCluster(uint32_t cluster, void* buffer) override;
    bool GetChain(uint32_t first, std::vector<uint32_t>& out) override;
    bool GetFatEntry(uint32_t cluster, uint32_t* value) override;
    BYTE* ReadFixedRoot(uint32_t* entryCount) override;
    bool FixedRootPlace(uint64_t* position, uint32_t* bytes) const override
    {
        *position = (uint64_t)m_v.GetRootDirOffset() + m_v.GetPartitionOffset();
        *bytes = (uint32_t)m_v.GetRootEntryCount() * 32;
        return *bytes != 0;
    }
};

namespace fatwalk
{
// A folder holds at most this many bytes of entries (65,536 entries).
const uint32_t kMaxDirBytes = 65536 * 32;
// Deepest folder a walk descends into (folders below the root), as on NTFS.
// Each folder cluster is read once per walk, so a loop ends either way.
const int kMaxDepth = 1024;
// "Unknown parent" for the ".." check.
const uint32_t kParentUnknown = 0xFFFFFFFFu;

// Whether the 11 name bytes are "." or "..".
bool IsDotName(const FatDirEntry& entry);
// Whether the first two entries of a folder's first cluster are "." naming
// that cluster and ".." (naming parent, unless it is kParentUnknown; a
// parent of 0 is the root, which ".." names as 0 or by its cluster).
// strict compares both cluster words on FAT32; otherwise the low word.
bool IsDotPair(const IFatDirVolume& volume, const BYTE* cluster, uint32_t bytes, uint32_t first,
               uint32_t parent, bool strict);
// Whether a cluster holds plausible directory entries up to its end of
// directory (what a deleted folder's later clusters hold). At least its
// first entry must be in use or deleted.
bool LooksLikeDirCluster(const IFatDirVolume& volume, const BYTE* cluster, uint32_t bytes);
// Whether the bytes hold an end-of-directory entry.
bool HasEndOfDirectory(const BYTE* bytes, uint32_t count);
// Long name of the short entry at index, or empty. A name whose long-name
// entries may have begun before the buffer counts as absent.
std::wstring BufferedLongName(const FatDirEntry* entries, size_t index);
// The entry's name: long, else short.
std::wstring EntryName(const FatDirEntry* entries, size_t index);
}  // namespace fatwalk

struct FatWalkOptions
{
    // Path of the volume's root folder, ending in a backslash: "X:\" for a
    // volume, "\" for a found partition.
    std::wstring root;
    // List live files in live folders too (the found-partition scan), not
    // only deleted files and the files of deleted folders.
    bool reportLive = false;
};

class CFatDirWalker
{
public:
    CFatDirWalker(IFatDirVolume& volume, IScanWalkHost& host, const FatWalkOptions& options);

    // The whole volume from its root.
    void WalkRoot();
    // One folder (path ends in a backslash) and everything below it.
    void WalkFolder(uint32_t cluster, const std::wstring& path, bool deleted);
    // First cluster of a folder given as a path (its first three characters,
    // the root, are skipped), found by exact names from the root; a live
    // folder wins over a deleted one of the same name. 0 when absent.
    uint32_t LookupDirectory(const wchar_t* path, bool* deleted = nullptr);

    // Reads a folder's entries: its chain, else its first cluster and the
    // free clusters after it that still hold directory entries. Clusters
    // already read in this walk end it. With checkDot the first cluster must
    // open with the "." and ".." pair (see fatwalk::IsDotPair). False when
    // nothing was read or the check failed.
    bool ReadDirectory(uint32_t first, bool checkDot, uint32_t parent, bool strict, std::vector<BYTE>& out);

    std::unordered_set<uint32_t>& Visited() { return m_visited; }

    // Reads a cluster that did not read whole sector by sector: sectors that
    // do not read hold entries every walk passes over (and are noted as
    // unreadable). False when none of it read (noted, or the device noted
    // as gone). firstBad tells whether its first sector did not read.
    bool ReadClusterCarefully(uint32_t cluster, BYTE* buffer, bool* firstBad = nullptr);

private:
    struct Job
    {
        uint32_t cluster;
        uint32_t parent;      // folder holding it (0 the root), or kParentUnknown
        CFolderPath::Ptr path;  // ending in a backslash, shared with its entries and folders
        bool inDeleted;       // the folder or one above it is deleted
        bool searchHighWord;  // FAT32 deleted folder whose high word may have been cleared
        int depth = 0;        // folders between it and the walk's first folder
    };

    void Run();
    bool IntoDir(const Job& job);
    void WalkEntries(const BYTE* bytes, size_t count, const Job& job, bool isRoot);
    uint32_t FindHighWord(const Job& job);

    IFatDirVolume& m_vol;
    IScanWalkHost& m_host;
    FatWalkOptions m_opt;
    std::unordered_set<uint32_t> m_visited;
    CDirWorkList<Job> m_work;
    std::vector<BYTE> m_cluster;
    CDeviceProbe m_probe;
};
