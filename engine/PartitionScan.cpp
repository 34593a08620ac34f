// The scan of one found partition: the partition opened as a lost volume at
// its offset inside the physical disk, its file system walked through the
// walker cores the volume scans use, every file handed to the main frame.
#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/Language.h"
#include "core/Log.h"
#include "engine/DeviceProbe.h"
#include "engine/ExFatDirWalker.h"
#include "engine/FatDirWalker.h"
#include "engine/FoundItem.h"
#include "engine/MainFrameServices.h"
#include "engine/NtfsWalk.h"
#include "engine/PartitionScanControl.h"
#include "engine/ScanDiskDlg.h"
#include "storage/DeviceIo.h"
#include "storage/fs/ExFATVolume.h"
#include "storage/fs/FAT32Volume.h"
#include "storage/fs/FATVolume.h"
#include "storage/fs/NTFSAttr.h"
#include "storage/fs/NTFSFileRecord.h"
#include "storage/fs/NTFSIndex.h"
#include "storage/fs/NTFSRecoverability.h"
#include "storage/fs/NTFSVolume.h"

using namespace ntfswalk;

namespace
{
const char kNtfsInvalidKey[] = "TlRGU0ludmFsaWQ=";  // "NTFSInvalid"
// Walk progress is posted at most this often (each post is a round trip).
const ULONGLONG kWalkProgressMs = 50;
}  // namespace

bool CPartitionScanControl::CWalkHost::WaitAndCheckStop()
{
    m_p->WaitGate();
    return m_p->IsStopRequested();
}

void CPartitionScanControl::CWalkHost::ProgressPoint(int done, int total)
{
    const ULONGLONG now = GetTickCount64();
    if (m_p->m_u64LastProgressTick != 0 && now - m_p->m_u64LastProgressTick < kWalkProgressMs)
        return;
    m_p->m_u64LastProgressTick = now ? now : 1;
    m_p->PostProgress(done, total, m_p->FormatScanningText(m_p->m_u64Found).c_str(), true);
}

bool CPartitionScanControl::CWalkHost::HandOver(CFoundItem* item)
{
    if (!item)
        return false;
    if (!m_p->m_pMainFrame)
    {
        delete item;
        return false;
    }
    // The frame owns the entry from here (it deletes a refused one).
    if (!m_p->m_pMainFrame->AddFoundFile(item))
        return false;
    ++m_p->m_u64Found;
    return true;
}

void CPartitionScanControl::ScanPartition()
{
    if (!m_pCurrentPartition)
        return;
    m_u64LastProgressTick = 0;
    switch (m_pCurrentPartition->m_nType)
    {
    case FS_NTFS:
        ScanLostPartitionNTFS();
        break;
    case FS_FAT32:
        ScanLostPartitionFAT32();
        break;
    case FS_FAT16:
        ScanLostPartitionFAT16();
        break;
    case FS_EXFAT:
        ScanLostPartitionExFAT();
        break;
    default:
        break;
    }
}

void CPartitionScanControl::ScanLostPartitionNTFS()
{
    DebugPrint(L"[Delvaro] ScanLostPartitionNTFS start \n");
    uint64_t offset = 0;
    std::unique_ptr<CLostNTFSVolume> volume;
    if (CurrentBootOffset(&offset))
        volume.reset(new CLostNTFSVolume(m_nDiskNumber, (DWORD)offset, (DWORD)(offset >> 32)));
    if (!volume || !volume->IsVolumeOK())
    {
        PostProgress(0, 0, nullptr, false);
        ErrorBoxByBase64Key(kNtfsInvalidKey, m_pMainFrame ? m_pMainFrame->GetFrameWindow() : nullptr);
        return;
    }
    DebugPrint(L"[Delvaro] ScanLostPartitionNTFS step1 \n");
    ULONGLONG count = volume->GetRecordCount();
    // The MFT lies inside the volume: a damaged size claims no more records.
    const ULONGLONG clusters = volume->GetTotalClusters(), clusterBytes = volume->GetClusterSize();
    const ULONGLONG recordBytes = volume->GetFileRecordSize();
    if (recordBytes && clusters && clusterBytes && clusters <= ~0ull / clusterBytes)
        count = std::min<ULONGLONG>(count, clusters * clusterBytes / recordBytes);
    DebugPrint(L"[Delvaro] ScanLostPartitionNTFS RecordCount=%d\n", (int)count);
    if (count <= 16)
        return;

    const DWORD fileMask = NtfsAttrMask(ATTR_TYPE_STANDARD_INFORMATION) | NtfsAttrMask(ATTR_TYPE_ATTRIBUTE_LIST) |
                           NtfsAttrMask(ATTR_TYPE_FILE_NAME) | NtfsAttrMask(ATTR_TYPE_DATA);
    CMftRecordReader reader(volume.get(), 256);
    CNtfsFolderCache folders(volume.get());
    CFileRecord rec(volume.get());
    CDeviceProbe probe(volume->GetHandle(), volume->GetSectorSize());
    SetUpProbe(volume.get(), probe);
    std::vector<ULONGLONG> visited, above;
    std::unordered_map<ULONGLONG, CFolderPath::Ptr> ways;  // folder record -> its path
    CNtfsPathTree paths;
    const CFolderPath::Ptr rootFolder = CFolderPath::FromText(L"\\");
    wchar_t name[kNtfsMaxName + 1];
    const int total = (int)std::min<ULONGLONG>(count - 16, 0x7FFFFFFF);
    for (ULONGLONG i = 16; i < count; ++i)
    {
        if (i % 100 == 0)
            m_walkHost.ProgressPoint((int)std::min<ULONGLONG>(i - 15, 0x7FFFFFFF), total);
        WaitGate();
        if (m_walkHost.IsStopRequested())
            break;
        const BYTE* raw = reader.Get(i);
        if (!raw && !PassUnreadableRecord(volume.get(), i, probe, m_walkHost))
            break;
        if (!IsFileRecord(raw) || IsDirectoryRecord(raw) || BaseRecordOf(raw) != 0)
            continue;
        rec.SetAttrMask(fileMask);
        if (!rec.LoadRecordFromBuffer((DWORD)i, (DWORD)(i >> 32), raw) || !rec.LoadAttributes() || rec.IsDirectory())
            continue;
        const int nameLength = rec.GetFileName(name, kNtfsMaxName + 1);
        if (nameLength <= 0)
            continue;
        const std::wstring time = ModificationTimeText(rec);

        // The folders above it up to the root, each record once. The way up
        // from a folder is followed once, and its path is shared by its
        // files and the folders below it.
        ULONGLONG parent = (ULONGLONG)-1;
        WORD parentSeq = 0;
        ParentOf(rec, &parent, &parentSeq);
        const ULONGLONG first = parent;
        const bool firstIsFolder = first != kRootRecord && first != ((ULONGLONG)-1 & kRecordMask) &&
                                   first < count && folders.Get(first).isFolder;
        const auto known = firstIsFolder ? ways.find(first) : ways.end();
        CFolderPath::Ptr folderPath;
        if (known != ways.end())
            folderPath = known->second;
        else
        {
            visited.clear();
            above.clear();
            for (int depth = 0; depth < kMaxDepth; ++depth)
            {
                WaitGate();
                if (IsStopRequested())
                    break;
                if (std::find(visited.begin(), visited.end(), parent) != visited.end())
                    break;
                visited.push_back(parent);
                if (parent == kRootRecord || parent == ((ULONGLONG)-1 & kRecordMask) || parent >= count)
                    break;
                const NtfsFolderInfo& folder = folders.Get(parent);
                if (!folder.isFolder)
                    break;
                above.push_back(parent);
                parent = folder.parent;
            }
            folderPath = rootFolder;
            for (size_t k = above.size(); k-- > 0;)
                folderPath = paths.Under(folderPath, above[k], folders.Get(above[k]).name);
            if (firstIsFolder && !IsStopRequested())
                ways.emplace(first, folderPath);
        }
        const CAttrBase* data = rec.FindDataStream(nullptr);
        if (!data || data->GetDataSize() == 0)
            continue;
        CFoundItem* item = new CFoundItem(std::wstring(name, nameLength).c_str(), folderPath, time.c_str(), data->GetDataSize(), i);
        // A live file's clusters are its own: whole, as on a lost FAT volume.
        // A deleted one has what the volume's bitmap still leaves free.
        const bool deleted = rec.IsDeleted() != 0;
        const int percent =
            NtfsSizeBeyondVolume(*volume, data->GetDataSize()) ? 0
            : !deleted || !data->IsNonResident()
                ? 100
                : EstimateNtfsRecoverability(volume.get(), static_cast<const CAttrNonResident*>(data));
        item->SetRecoverability(percent);
        item->m_bDeleted = deleted;
        m_walkHost.CountExamined();
        m_walkHost.HandOver(item);
    }
}

namespace
{
template <class Volume, class View>
void WalkLostFat(int disk, uint64_t offset, IScanWalkHost& host)
{
    Volume volume(disk, (DWORD)offset, (DWORD)(offset >> 32));
    if (!volume.IsValid())
        return;
    View view(volume);
    FatWalkOptions options;
    options.root = L"\\";
    options.reportLive = true;
    CFatDirWalker walker(view, host, options);
    walker.WalkRoot();
}
}  // namespace

void CPartitionScanControl::ScanLostPartitionFAT32()
{
    uint64_t offset = 0;
    if (!CurrentBootOffset(&offset))
        return;
    DebugPrint(L"ScanLostPartitionFAT32 %I64d, %I64d.\n", m_pCurrentPartition->m_StartSector,
               m_pCurrentPartition->m_SectorCount);
    WalkLostFat<CLostFAT32Volume, CFat32DirVolume>(m_nDiskNumber, offset, m_walkHost);
}

void CPartitionScanControl::ScanLostPartitionFAT16()
{
    uint64_t offset = 0;
    if (!CurrentBootOffset(&offset))
        return;
    WalkLostFat<CLostFATVolume, CFat16DirVolume>(m_nDiskNumber, offset, m_walkHost);
}

void CPartitionScanControl::ScanLostPartitionExFAT()
{
    uint64_t offset = 0;
    if (!CurrentBootOffset(&offset))
        return;
    DebugPrint(L"ScanLostPartitionExFAT %I64d, %I64d.\n", m_pCurrentPartition->m_StartSector,
               m_pCurrentPartition->m_SectorCount);
    CLostExFATVolume volume(m_nDiskNumber, (DWORD)offset, (DWORD)(offset >> 32));
    if (!volume.IsValid())
        return;
    ExFatWalkOptions options;
    options.root = L"\\";
    options.reportLive = true;
    CExFatDirWalker walker(volume, m_walkHost, options);
    walker.WalkRoot();
}
