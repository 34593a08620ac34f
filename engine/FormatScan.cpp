// Formatted-volume scans: after a quick format the new file system's
// metadata is small and the old metadata still lies further on. NTFS: the MFT
// records behind the new MFT's last one. FAT16 and FAT32: every cluster that
// opens an old folder ("." naming itself, then ".."), listed under "LostDir"
// folders. exFAT: every cluster holding old entry sets, folders walked under
// "Dir" folders.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/Log.h"
#include "engine/ExFatDirWalker.h"
#include "engine/FatDirWalker.h"
#include "engine/FoundItem.h"
#include "engine/NtfsWalk.h"
#include "engine/ScanDiskDlg.h"
#include "storage/DeviceIo.h"
#include "storage/fs/ExFATVolume.h"
#include "storage/fs/FAT32Volume.h"
#include "storage/fs/FATVolume.h"
#include "storage/fs/NTFSAttr.h"
#include "storage/fs/NTFSIndex.h"
#include "storage/fs/NTFSVolume.h"

using namespace ntfswalk;

namespace
{
const char kNtfsInvalidKey[] = "TlRGU0ludmFsaWQ=";  // "NTFSInvalid"
// Clusters read at once by the sweeps.
const uint32_t kSweepBatchBytes = 256 * 1024;
// The old MFT goes on behind the new one after a gap: the new MFT's
// allocated but unused records (mkntfs leaves them zero). A longer run of
// records that are no file records ends the old MFT.
const uint32_t kMaxNonFileRun = 256;
}  // namespace

// ---- NTFS -------------------------------------------------------------------------

BYTE* CScanDiskDlg::ReadMftRecordAt(CNTFSVolume* volume, ULONGLONG recordNumber)
{
    if (!volume || !volume->IsVolumeOK())
        return nullptr;
    const DWORD size = volume->GetFileRecordSize();
    if (!size || recordNumber > (~0ull - volume->GetMFTAddr()) / size)
        return nullptr;
    BYTE* image = new BYTE[size];
    const ULONGLONG at = volume->GetMFTAddr() + recordNumber * size + volume->GetPartitionOffset();
    if (ReadAt(volume->GetHandle(), at, image, size) != size)
    {
        delete[] image;
        return nullptr;
    }
    return image;
}

int CScanDiskDlg::NTFSScanRecords(CNTFSVolume* volume, ULONGLONG recordNumber, const BYTE* image,
                                  ULONGLONG newRecordCount)
{
    if (IsStopRequested())
        return 0;
    CFileRecord rec(volume);
    rec.SetAttrMask(NtfsAttrMask(ATTR_TYPE_FILE_NAME) | NtfsAttrMask(ATTR_TYPE_DATA));
    if (!rec.LoadRecordFromBuffer((DWORD)recordNumber, (DWORD)(recordNumber >> 32), image) || !rec.LoadAttributes())
        return 0;
    ++m_u64Examined;
    if (rec.IsDirectory() || rec.IsDeleted() || rec.GetBaseRecord() != 0)
        return 0;
    wchar_t name[kNtfsMaxName + 1];
    const int nameLength = rec.GetFileName(name, kNtfsMaxName + 1);
    if (nameLength <= 0)
        return 0;

    // The old folders above it: records of the old MFT behind the new one,
    // live folders, each met once; the chain ends at the first that is not.
    std::wstring path;
    ULONGLONG parent = (ULONGLONG)-1;
    WORD parentSeq = 0;
    ParentOf(rec, &parent, &parentSeq);
    std::vector<ULONGLONG> visited;
    CFileRecord folder(volume);
    for (int depth = 0; depth < kMaxDepth; ++depth)
    {
        WalkProgress((int)(m_u64Found % kProgressScale), kProgressScale);
        WaitGate();
        if (IsStopRequested())
            break;
        if (std::find(visited.begin(), visited.end(), parent) != visited.end())
            break;
        visited.push_back(parent);
        if (parent == kRootRecord || parent == (ULONGLONG)-1 || parent == kRecordMask || parent < newRecordCount)
            break;
        std::unique_ptr<BYTE[]> raw(ReadMftRecordAt(volume, parent));
        folder.SetAttrMask(NtfsAttrMask(ATTR_TYPE_FILE_NAME));
        if (!raw || !IsFileRecord(raw.get()) ||
            !folder.LoadRecordFromBuffer((DWORD)parent, (DWORD)(parent >> 32), raw.get()) || !folder.LoadAttributes() ||
            !folder.IsDirectory() || folder.IsDeleted() || (parentSeq && folder.GetSequenceNumber() != parentSeq))
            break;
        wchar_t folderName[kNtfsMaxName + 1];
        const int n = folder.GetFileName(folderName, kNtfsMaxName + 1);
        if (n <= 0)
            break;
        path = std::wstring(folderName, n) + L"\\" + path;
        if (!ParentOf(folder, &parent, &parentSeq))
            break;
    }
    const std::wstring folderPath = SelectedRoot() + path;
    const std::wstring time = ModificationTimeText(rec);

    CFileRecord dataRec(volume);
    dataRec.SetAttrMask(NtfsAttrMask(ATTR_TYPE_DATA));
    ULONGLONG size = 0;
    if (dataRec.LoadRecordFromBuffer((DWORD)recordNumber, (DWORD)(recordNumber >> 32), image) &&
        dataRec.LoadAttributes())
    {
        const CAttrBase* data = dataRec.FindDataStream(nullptr);
        if (data)
            size = data->GetDataSize();
    }
    if (size != 0)
    {
        CFoundItem* item =
            new CFoundItem(std::wstring(name, nameLength).c_str(), folderPath.c_str(), time.c_str(), size, recordNumber);
        item->SetRecoverability(-1);
        m_walkHost.HandOver(item);
    }
    return 1;
}

void CScanDiskDlg::NTFSFormatScan()
{
    std::unique_ptr<CNTFSVolume> volume(new CNTFSVolume(SelectedDriveLetter()));
    if (!volume->IsVolumeOK())
    {
        ReportOpenFailure(kNtfsInvalidKey);
        return;
    }
    const DWORD size = volume->GetFileRecordSize();
    const ULONGLONG first = volume->GetRecordCount();
    if (!size)
        return;
    // Old records are read where the old MFT began, a batch at a time, up to
    // the first that cannot be read or a long run of records that are no
    // file records.
    const uint32_t batch = std::max<uint32_t>(1, kSweepBatchBytes / size);
    std::vector<BYTE> buf((size_t)batch * size);
    ULONGLONG bufFirst = 0;
    uint32_t bufCount = 0;
    uint32_t nonFile = 0;
    CDeviceProbe probe(volume->GetHandle(), volume->GetSectorSize());
    SetUpProbe(volume.get(), probe);
    const ULONGLONG volumeEnd = volume->GetTotalClusters() * volume->GetClusterSize() + volume->GetPartitionOffset();
    for (ULONGLONG n = first; !m_walkHost.IsStopRequested(); ++n)
    {
        if (n < bufFirst || n >= bufFirst + bufCount)
        {
            if (n > (~0ull - volume->GetMFTAddr()) / size - batch)
                break;
            const ULONGLONG at = volume->GetMFTAddr() + n * size + volume->GetPartitionOffset();
            DWORD got = ReadAt(volume->GetHandle(), at, buf.data(), (DWORD)buf.size());
            if (got == 0 && at < volumeEnd)
            {
                // The batch does not read: its records one by one, those that
                // do not read passed over as no records (and noted).
                const uint32_t inVolume = (uint32_t)std::min<ULONGLONG>(batch, (volumeEnd - at) / size);
                for (uint32_t k = 0; k < inVolume && !m_walkHost.IsStopRequested(); ++k)
                {
                    BYTE* one = buf.data() + (size_t)k * size;
                    if (ReadAt(volume->GetHandle(), at + (ULONGLONG)k * size, one, size) == size)
                        continue;
                    memset(one, 0, size);
                    probe.NoteFailedRead(m_walkHost, at + (ULONGLONG)k * size, size);
                }
                got = m_walkHost.IsStopRequested() ? 0 : inVolume * size;
            }
            bufFirst = n;
            bufCount = got / size;
            if (bufCount == 0)
                break;
        }
        const BYTE* image = buf.data() + (size_t)(n - bufFirst) * size;
        if (!IsFileRecord(image))
        {
            if (++nonFile > kMaxNonFileRun)
                break;
            continue;
        }
        nonFile = 0;
        NTFSScanRecords(volume.get(), n, image, first);
    }
}

// ---- FAT16 and FAT32 ------------------------------------------------------------

namespace
{
// The old folder trees of a formatted FAT volume and where each folder sits
// in them.
class CLostFolderTree
{
public:
    CLostFolderTree(IFatDirVolume& volume, CFatDirWalker& walker) : m_vol(volume), m_walker(walker) {}

    // "LostDir<n>\<names below the tree's top>\" of the old folder at
    // cluster (whose first cluster has been checked). Folder names are
    // found in the parents' entries; a parent that is gone or was the old
    // root makes its child the top of a tree.
    std::wstring FolderOf(uint32_t cluster, uint32_t dotdot)
    {
        // Climb from the folder until one already placed, a folder whose
        // parent cannot name it (the top of a tree), a loop or the depth cap.
        std::vector<std::pair<uint32_t, std::wstring>> chain;  // (folder, its name in its parent)
        std::unordered_set<uint32_t> seen;
        uint32_t child = cluster, parent = dotdot, anchor = 0;
        for (int depth = 0; depth < 256; ++depth)
        {
            if (m_placed.count(child))
            {
                anchor = child;
                break;
            }
            if (!seen.insert(child).second)
                break;
            std::wstring name;
            uint32_t grandparent = 0;
            const bool named = ResolveParentName(parent, child, &name, &grandparent);
            chain.push_back(std::make_pair(child, named ? name : std::wstring()));
            if (!named)
                break;
            child = parent;
            parent = grandparent;
        }
        std::wstring base;
        if (anchor)
            base = m_placed[anchor];
        else if (!chain.empty())
        {
            // The highest folder reached tops a tree of its own.
            wchar_t top[32];
            m_tops.push_back(chain.back().first);
            _snwprintf(top, 31, L"LostDir%u\\", (unsigned)m_tops.size());
            top[31] = 0;
            base = top;
            m_placed[chain.back().first] = base;
            chain.pop_back();
        }
        for (size_t k = chain.size(); k-- > 0;)
        {
            base += chain[k].second + L"\\";
            m_placed[chain[k].first] = base;
        }
        return m_placed[cluster];
    }

    size_t TopCount() const { return m_tops.size(); }

private:
    // The name under which parent lists child, and parent's own parent.
    bool ResolveParentName(uint32_t parent, uint32_t child, std::wstring* name, uint32_t* grandparent)
    {
        if (parent < 2 || parent > m_vol.MaxCluster() || parent == child ||
            (m_vol.IsFat32() && parent == m_vol.RootCluster()))
            return false;
        std::vector<BYTE>* bytes = Folder(parent);
        if (!bytes)
            return false;
        const FatDirEntry* e = (const FatDirEntry*)bytes->data();
        const size_t count = bytes->size() / 32;
        *grandparent = m_vol.EntryCluster(e[1]);
        for (size_t i = 2; i < count; ++i)
        {
            if (e[i].name[0] == 0)
                break;
            if (e[i].attr == kFatAttrLongName || !(e[i].attr & kFatAttrDirectory) || fatwalk::IsDotName(e[i]))
                continue;
            if (m_vol.EntryCluster(e[i]) == child)
            {
                *name = fatwalk::EntryName(e, i);
                return !name->empty() && CScanDiskDlg::IsValidFileName(name->c_str());
            }
        }
        return false;
    }

    std::vector<BYTE>* Folder(uint32_t cluster)
    {
        auto it = m_folders.find(cluster);
        if (it != m_folders.end())
            return it->second.empty() ? nullptr : &it->second;
        std::vector<BYTE>& bytes = m_folders[cluster];
        std::vector<BYTE> cl(m_vol.ClusterBytes());
        if (!m_vol.ReadCluster(cluster, cl.data()) ||
            !fatwalk::IsDotPair(m_vol, cl.data(), m_vol.ClusterBytes(), cluster, fatwalk::kParentUnknown, true))
            return nullptr;
        // Read without claiming: the sweep lists this folder when it gets there.
        std::unordered_set<uint32_t> keep;
        keep.swap(m_walker.Visited());
        m_walker.ReadDirectory(cluster, false, fatwalk::kParentUnknown, true, bytes);
        keep.swap(m_walker.Visited());
        if (bytes.size() < 64)
            bytes.clear();
        return bytes.empty() ? nullptr : &bytes;
    }

    IFatDirVolume& m_vol;
    CFatDirWalker& m_walker;
    std::vector<uint32_t> m_tops;
    std::unordered_map<uint32_t, std::wstring> m_placed;
    std::unordered_map<uint32_t, std::vector<BYTE>> m_folders;
};
}  // namespace

int CScanDiskDlg::FindSubDir(IFatDirVolume& volume)
{
    const std::wstring root = SelectedRoot();
    DebugPrint(L"Into DIR=%s\n", root.c_str());
    const uint32_t cs = volume.ClusterBytes();
    const uint32_t maxCluster = volume.LastClusterOnDevice();
    if (!cs || maxCluster < 2)
        return 0;
    FatWalkOptions options;
    options.root = root;
    CFatDirWalker walker(volume, m_walkHost, options);

    // The new file system's own folders are no old folders.
    std::unordered_set<uint32_t> known;
    std::vector<BYTE> rootBytes;
    if (volume.IsFat32())
    {
        std::vector<uint32_t> chain;
        if (volume.GetChain(volume.RootCluster(), chain))
            known.insert(chain.begin(), chain.end());
        walker.ReadDirectory(volume.RootCluster(), false, fatwalk::kParentUnknown, false, rootBytes);
    }
    else
    {
        uint32_t n = 0;
        BYTE* fixed = volume.ReadFixedRoot(&n);
        if (fixed)
            rootBytes.assign(fixed, fixed + (size_t)n * 32);
        delete[] fixed;
    }
    const FatDirEntry* re = (const FatDirEntry*)rootBytes.data();
    for (size_t i = 0; i < rootBytes.size() / 32 && re[i].name[0]; ++i)
        if (re[i].attr != kFatAttrLongName && (re[i].attr & kFatAttrDirectory) && !fatwalk::IsDotName(re[i]))
            known.insert(volume.EntryCluster(re[i]));
    walker.Visited().clear();

    CLostFolderTree tree(volume, walker);
    const uint32_t batch = std::max<uint32_t>(1, kSweepBatchBytes / cs);
    std::vector<BYTE> buf((size_t)batch * cs);
    std::vector<BYTE> bytes;
    unsigned folders = 0;
    // Data clusters are numbered 2 .. maxCluster: the sweep covers them all.
    for (uint32_t c = 2; c <= maxCluster;)
    {
        const uint32_t n = std::min<uint32_t>(batch, maxCluster - c + 1);
        const bool read = volume.ReadClusters(c, n, buf.data());
        for (uint32_t k = 0; k < n; ++k, ++c)
        {
            WalkProgress((int)c, (int)maxCluster);
            WaitGate();
            if (m_walkHost.IsStopRequested())
                return 0;
            if (known.count(c) || walker.Visited().count(c))
                continue;
            const BYTE* cl = buf.data() + (size_t)k * cs;
            std::vector<BYTE> single;
            if (!read)
            {
                // What does not read is noted; a device that no longer
                // answers ends the sweep with what it found so far.
                single.resize(cs);
                if (!volume.ReadCluster(c, single.data()) && !walker.ReadClusterCarefully(c, single.data()))
                    continue;
                cl = single.data();
            }
            const FatDirEntry* e = (const FatDirEntry*)cl;
            if (!fatwalk::IsDotPair(volume, cl, cs, c, fatwalk::kParentUnknown, true) || e[0].fileSize != 0)
                continue;
            DebugPrint(L"[Delvaro] CScanDiskDlg::FindSubDir %d.\n", (int)++folders);
            const std::wstring folder = root + tree.FolderOf(c, volume.EntryCluster(e[1]));
            if (!walker.ReadDirectory(c, true, fatwalk::kParentUnknown, true, bytes))
                continue;
            const FatDirEntry* entries = (const FatDirEntry*)bytes.data();
            for (size_t i = 2; i < bytes.size() / 32 && !IsStopRequested(); ++i)
            {
                const FatDirEntry& d = entries[i];
                if (d.name[0] == 0)
                    break;
                if (d.attr == kFatAttrLongName || (d.attr & (kFatAttrDirectory | kFatAttrVolumeLabel)))
                    continue;
                ++m_u64Examined;
                if (d.name[0] == kFatDeletedMark || d.fileSize == 0)
                    continue;
                const std::wstring name = fatwalk::EntryName(entries, i);
                if (name.empty())
                    continue;
                const std::wstring time = volume.DosTime(d.writeDate, d.writeTime);
                CFoundItem* item = new CFoundItem(name.c_str(), root.c_str(), time.c_str(), d.fileSize, 0);
                item->m_bContiguous = 0;
                item->SetPath(folder.c_str());
                item->m_uFirstCluster = volume.EntryCluster(d);
                item->SetRecoverability(-1);
                m_walkHost.HandOver(item);
            }
        }
    }
    return 1;
}

void CScanDiskDlg::FAT32FormatScan()
{
    CFAT32Volume volume(SelectedDriveLetter());
    if (!volume.IsValid())
    {
        ReportOpenFailure(nullptr);
        return;
    }
    CFat32DirVolume view(volume);
    FindSubDir(view);
}

void CScanDiskDlg::FAT16FormatScan()
{
    CFATVolume volume(SelectedDriveLetter());
    if (!volume.IsValid())
    {
        ReportOpenFailure(nullptr);
        return;
    }
    CFat16DirVolume view(volume);
    FindSubDir(view);
}

// ---- exFAT ------------------------------------------------------------------------

int CScanDiskDlg::ExFAT_SearchEntry(CExFATVolume& volume)
{
    const std::wstring root = SelectedRoot();
    const uint32_t cs = volume.GetClusterSize();
    uint64_t last64 = (uint64_t)volume.GetClusterCount() + 1;
    // Only what lies on the device (a damaged boot sector can claim more).
    const uint64_t device = QueryDeviceLength(volume.GetHandle(), 1);
    const uint64_t heap = volume.GetClusterHeapOffset() + volume.GetPartitionOffset();
    if (device && cs)
        last64 = device <= heap ? 1 : std::min<uint64_t>(last64, (device - heap) / cs + 1);
    const uint32_t maxCluster = last64 > 0xFFFFFFF6u ? 0xFFFFFFF6u : (uint32_t)last64;
    if (!cs || maxCluster < 2)
        return 0;
    m_visitedClusters.clear();
    ExFatWalkOptions options;
    options.root = root;
    options.formatted = true;
    CExFatDirWalker walker(volume, m_walkHost, options, &m_visitedClusters);

    // The new root and the folders it lists belong to the new file system.
    std::unordered_set<uint32_t> known;
    {
        ClusterList chain;
        if (volume.GetFileClusterList(volume.GetRootCluster(), chain, 0))
            for (size_t i = 0; i < chain.GetCount(); ++i)
                known.insert(chain[i]);
        std::vector<BYTE> rootBytes;
        std::unordered_set<unsigned int> keep;
        keep.swap(m_visitedClusters);
        walker.ReadDirectory(volume.GetRootCluster(), 0, false, false, rootBytes);
        keep.swap(m_visitedClusters);
        for (size_t i = 0; i < rootBytes.size() / 32;)
        {
            exfatwalk::SetInfo set;
            if (!exfatwalk::ReadSet(rootBytes.data(), rootBytes.size() / 32, i, &set))
            {
                ++i;
                continue;
            }
            i += (size_t)set.secondaryCount + 1;
            if ((set.cls == kExFatDirectory || set.cls == kExFatDeletedDirectory) && !set.name.empty() &&
                set.firstCluster <= maxCluster && (set.flags == 1 || set.flags == 3))
                known.insert(set.firstCluster);
        }
    }
    DebugPrint(L"Total cluster size %u\n", volume.GetClusterCount());

    const uint32_t batch = std::max<uint32_t>(2, kSweepBatchBytes / cs);
    std::vector<BYTE> buf((size_t)(batch + 1) * cs);
    unsigned dirs = 0;
    CDeviceProbe probe(volume.GetHandle(), volume.GetSectorSize());
    probe.Good(volume.GetPartitionOffset());
    for (uint32_t j = 2; j <= maxCluster && !m_walkHost.IsStopRequested();)
    {
        // A batch and the cluster after it, so that a set running into the
        // next cluster can be read whole.
        const uint32_t n = std::min<uint32_t>(batch, maxCluster - j + 1);
        const uint32_t withNext = j + n <= maxCluster ? n + 1 : n;
        const uint64_t at = volume.GetClusterHeapOffset() + (uint64_t)(j - 2) * cs + volume.GetPartitionOffset();
        DWORD got = ReadAt(volume.GetHandle(), at, buf.data(), withNext * cs);
        if (got == 0)
        {
            // The batch does not read: cluster by cluster, sector by sector;
            // what does not read is noted (and holds no entries).
            for (uint32_t k = 0; k < withNext && !m_walkHost.IsStopRequested(); ++k)
                probe.ReadCarefully(m_walkHost, at + (uint64_t)k * cs, buf.data() + (size_t)k * cs, cs, nullptr, 0);
            if (m_walkHost.IsStopRequested())
                return 0;
            got = withNext * cs;
        }
        else
            probe.Good(at);
        if (got < (DWORD)withNext * cs)
            memset(buf.data() + got, 0, (size_t)withNext * cs - got);
        for (uint32_t k = 0; k < n && j <= maxCluster; ++k, ++j)
        {
            WalkProgress((int)j, (int)maxCluster);
            WaitGate();
            if (IsStopRequested())
                return 0;
            if (m_visitedClusters.count(j) || known.count(j))
                continue;
            const BYTE* bytes = buf.data() + (size_t)k * cs;
            const size_t avail = (size_t)(withNext - k) * cs / 32;
            const size_t own = cs / 32;
            for (size_t i = 0; i < own;)
            {
                WaitGate();
                if (IsStopRequested())
                    return 0;
                exfatwalk::SetInfo set;
                if (!exfatwalk::ReadSet(bytes, std::min(avail, own * 2), i, &set))
                {
                    ++i;
                    continue;
                }
                i += (size_t)set.secondaryCount + 1;
                if (set.name.empty() || set.firstCluster > maxCluster ||
                    (set.flags != 1 && set.flags != 3))
                    continue;
                if (set.cls == kExFatDirectory || set.cls == kExFatDeletedDirectory)
                {
                    if (set.firstCluster < 2 || m_visitedClusters.count(set.firstCluster) ||
                        known.count(set.firstCluster) || !IsValidFileName(set.name.c_str()))
                        continue;
                    wchar_t prefix[32];
                    _snwprintf(prefix, 31, L"Dir%u\\", dirs);
                    prefix[31] = 0;
                    const std::wstring folder = root + prefix + set.name + L"\\";
                    if (walker.WalkFolder(set.firstCluster, folder, true, set.dataLength, set.flags == 3))
                        ++dirs;
                }
                else
                {
                    if (set.firstCluster >= 2 && m_visitedClusters.count(set.firstCluster))
                        continue;
                    walker.HandFile(set, root, true);
                }
            }
        }
    }
    return 1;
}

void CScanDiskDlg::ExFATFormatScan()
{
    CExFATVolume volume(SelectedDriveLetter());
    if (!volume.IsValid())
    {
        ReportOpenFailure(nullptr);
        return;
    }
    ExFAT_SearchEntry(volume);
}
