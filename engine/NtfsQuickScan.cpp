// Quick scan of an NTFS volume: MFT records marked free that still hold a
// name and an unnamed $DATA attribute are recently deleted files.
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <memory>
#include <unordered_map>
#include <vector>

#include "core/Log.h"
#include "core/Settings.h"
#include "engine/DeviceProbe.h"
#include "engine/EngineText.h"
#include "engine/FoundItem.h"
#include "engine/MainFrameServices.h"
#include "engine/NtfsWalk.h"
#include "engine/ScanDiskDlg.h"
#include "storage/DeviceIo.h"
#include "storage/VolumeList.h"
#include "storage/fs/NTFSAttr.h"
#include "storage/fs/NTFSIndex.h"
#include "storage/fs/NTFSRecoverability.h"
#include "storage/fs/NTFSVolume.h"

using namespace ntfswalk;

namespace
{
const ULONGLONG kNoRecord = (ULONGLONG)-1;
const char kNtfsInvalidKey[] = "TlRGU0ludmFsaWQ=";  // "NTFSInvalid"

#pragma pack(push, 1)
struct UsnJournalData  // USN_JOURNAL_DATA_V0
{
    ULONGLONG UsnJournalID;
    LONGLONG FirstUsn;
    LONGLONG NextUsn;
    LONGLONG LowestValidUsn;
    LONGLONG MaxUsn;
    ULONGLONG MaximumSize;
    ULONGLONG AllocationDelta;
};
struct MftEnumData  // MFT_ENUM_DATA_V0
{
    ULONGLONG StartFileReferenceNumber;
    LONGLONG LowUsn;
    LONGLONG HighUsn;
};
#pragma pack(pop)
static_assert(sizeof(UsnJournalData) == 56, "journal description");
static_assert(sizeof(MftEnumData) == 24, "enumeration request");
}  // namespace

ULONGLONG CScanDiskDlg::NTFSLookupDirectory(CNTFSVolume* volume, const wchar_t* folderPath)
{
    if (!volume || !folderPath || wcslen(folderPath) < 3)
        return kNoRecord;
    const DWORD indexMask = NtfsAttrMask(ATTR_TYPE_INDEX_ROOT) | NtfsAttrMask(ATTR_TYPE_INDEX_ALLOCATION);
    CFileRecord rec(volume);
    rec.SetAttrMask(indexMask);
    if (!rec.LoadRecord(kRootRecord))
    {
        DebugPrint(L"[Delvaro] Cannot read root directory of volume %c\n", folderPath[0]);
        return kNoRecord;
    }
    if (!rec.LoadAttributes())
    {
        DebugPrint(L"[Delvaro] Cannot parse attributes\n");
        return kNoRecord;
    }
    const wchar_t* cursor = folderPath + 3;
    wchar_t part[261];
    ULONGLONG current = kNoRecord;
    while (NextPathComponent(cursor, part) > 0)
    {
        CIndexEntry entry;
        if (!rec.FindChildEntry(part, entry))
        {
            DebugPrint(L"[Delvaro] Cannot find directory %s\n", part);
            return kNoRecord;
        }
        if (!entry.IsDirectory())
        {
            DebugPrint(L"[Delvaro] %s is not a directory\n", part);
            return kNoRecord;
        }
        const ULONGLONG ref = entry.GetFileReference() & kRecordMask;
        rec.SetAttrMask(indexMask);
        if (!rec.LoadRecord(ref))
        {
            DebugPrint(L"[Delvaro]Cannot read directory %s\n", part);
            return kNoRecord;
        }
        if (!rec.LoadAttributes())
        {
            DebugPrint(L"[Delvaro]Cannot parse attributes\n");
            return kNoRecord;
        }
        current = ref;
    }
    return current;
}

bool CScanDiskDlg::EnumUsnRecords(HANDLE device, std::vector<ULONGLONG>& liveList)
{
    if (device == nullptr || device == INVALID_HANDLE_VALUE)
        return false;
    if (ReadNtfsScsiCtl() == 0)
        return false;
    // The journal is only queried: creating one would allocate clusters on
    // the scanned volume, perhaps over the very files wanted back.
    UsnJournalData journal = {};
    DWORD returned = 0;
    if (!StorageDeviceIoControl(device, FSCTL_QUERY_USN_JOURNAL, nullptr, 0, &journal, sizeof(journal), &returned))
        return false;
    liveList.clear();
    MftEnumData request = {0, 0, journal.MaxUsn};
    std::vector<BYTE> buffer(4096);
    bool complete = false;
    for (;;)
    {
        if (IsStopRequested())
            break;
        returned = 0;
        if (!StorageDeviceIoControl(device, FSCTL_ENUM_USN_DATA, &request, sizeof(request), buffer.data(),
                                    (DWORD)buffer.size(), &returned))
        {
            complete = GetLastError() == ERROR_HANDLE_EOF;
            break;
        }
        if (returned < 8 || returned > buffer.size())
            break;
        const ULONGLONG next = Le64(buffer.data());
        for (DWORD at = 8; at + 16 <= returned;)
        {
            const DWORD length = Le32(buffer.data() + at);
            if (length < 16 || length > returned - at)
                break;
            liveList.push_back(Le64(buffer.data() + at + 8) & kRecordMask);
            at += length;
        }
        if (next == request.StartFileReferenceNumber)
            break;  // no progress: a driver that repeats itself
        request.StartFileReferenceNumber = next;
    }
    std::sort(liveList.begin(), liveList.end());
    liveList.erase(std::unique(liveList.begin(), liveList.end()), liveList.end());
    return complete;
}

void CScanDiskDlg::CollectNtfsRecordsByUsn(wchar_t driveLetter, std::vector<ULONGLONG>& liveList)
{
    liveList.clear();
    const wchar_t root[] = {driveLetter, L':', L'\\', 0};
    wchar_t fsName[MAX_PATH + 1] = {0};
    if (!GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, nullptr, fsName, MAX_PATH) ||
        wcscmp(fsName, L"NTFS") != 0)
        return;
    HANDLE device = OpenRawReadOnly(DriveLetterPath(driveLetter).c_str(), 0);
    if (device == INVALID_HANDLE_VALUE)
        return;
    EnumUsnRecords(device, liveList);
    CloseHandle(device);
}

bool CScanDiskDlg::NTFSQuickScan(const wchar_t* folderFilter, bool includeSubfolders)
{
    const wchar_t letter = SelectedDriveLetter();
    std::unique_ptr<CNTFSVolume> volume(new CNTFSVolume(letter));
    if (!volume->IsVolumeOK())
    {
        ReportOpenFailure(kNtfsInvalidKey);
        return false;
    }
    // The MFT lies inside the volume: a damaged size claims no more records.
    ULONGLONG count = volume->GetRecordCount();
    const ULONGLONG clusters = volume->GetTotalClusters(), clusterBytes = volume->GetClusterSize();
    if (volume->GetFileRecordSize() && clusters && clusterBytes && clusters <= ~0ull / clusterBytes)
        count = std::min<ULONGLONG>(count, clusters * clusterBytes / volume->GetFileRecordSize());
    m_u64Examined += count;
    ULONGLONG folderRecord = kNoRecord;
    if (folderFilter && *folderFilter)
    {
        folderRecord = NTFSLookupDirectory(volume.get(), folderFilter);
        if (folderRecord == kNoRecord && m_bFolderRequired)
            return false;
    }
    std::vector<ULONGLONG> live;
    CollectNtfsRecordsByUsn(letter, live);

    const std::wstring root = SelectedRoot();
    const std::wstring lostDir = EngineUIText(L"LostDir");
    const DWORD fileMask = NtfsAttrMask(ATTR_TYPE_FILE_NAME) | NtfsAttrMask(ATTR_TYPE_DATA);
    CMftRecordReader reader(volume.get(), 256);
    CNtfsFolderCache folders(volume.get());
    CFileRecord rec(volume.get());
    CDeviceProbe probe(volume->GetHandle(), volume->GetSectorSize());
    SetUpProbe(volume.get(), probe);
    std::vector<ULONGLONG> chain, above;
    // The way up from each folder that holds files: the folder path it
    // gives and whether it passes the filter folder.
    struct NtfsWay
    {
        CFolderPath::Ptr folder;
        bool folderReached = false;
    };
    std::unordered_map<ULONGLONG, NtfsWay> ways;
    CNtfsPathTree paths;
    const CFolderPath::Ptr rootFolder = CFolderPath::FromText(root);
    const CFolderPath::Ptr lostFolder = CFolderPath::Child(rootFolder, lostDir);
    wchar_t name[kNtfsMaxName + 1];
    // Candidates: every record the journal does not report as live (both
    // ascending: a merge).
    const ULONGLONG n = count - std::min<ULONGLONG>(count, live.size());
    size_t l = 0;
    ULONGLONG i = 0;
    for (ULONGLONG number = 0; number < count; ++number)
    {
        while (l < live.size() && live[l] < number)
            ++l;
        if (l < live.size() && live[l] == number)
            continue;
        if (i++ % 100 == 0)
            WalkProgress((int)std::min<ULONGLONG>(i - 1, 0x7FFFFFFF), (int)std::min<ULONGLONG>(n, 0x7FFFFFFF));
        WaitGate();
        if (m_walkHost.IsStopRequested())
            break;
        const BYTE* raw = reader.Get(number);
        // A record that cannot be read costs itself alone; a device that
        // no longer answers ends the walk with what it found so far.
        if (!raw && !PassUnreadableRecord(volume.get(), number, probe, m_walkHost))
            break;
        // Live records and folders are passed over on their header alone.
        if (!IsFileRecord(raw) || IsInUse(raw) || IsDirectoryRecord(raw) || BaseRecordOf(raw) != 0)
            continue;
        rec.SetAttrMask(fileMask);
        if (!rec.LoadRecordFromBuffer((DWORD)number, (DWORD)(number >> 32), raw) || !rec.LoadAttributes())
            continue;
        if (!rec.IsDeleted() || rec.IsDirectory())
            continue;
        const int nameLength = rec.GetFileName(name, kNtfsMaxName + 1);
        if (nameLength <= 0)
            continue;
        const CAttrBase* data = rec.FindDataStream(nullptr);
        if (!data)
            continue;
        const ULONGLONG size = data->GetDataSize();
        // A size the volume cannot hold is a damaged record: listed as it
        // says, but not recoverable (and never a run-stopping giant).
        const int percent =
            NtfsSizeBeyondVolume(*volume, size) ? 0
            : data->IsNonResident() ? EstimateNtfsRecoverability(volume.get(), static_cast<const CAttrNonResident*>(data))
                                    : 100;
        const std::wstring time = ModificationTimeText(rec);

        // The folders above it, as far as they lead: a folder record that was
        // reused for another file since (its sequence number moved on) ends
        // the path like one that is no folder at all. Once the parent is the
        // folder the file names, the way up depends on that folder alone: it
        // is followed once per folder, and its path is shared.
        ULONGLONG parent = kNoRecord;
        WORD parentSeq = 0;
        ParentOf(rec, &parent, &parentSeq);
        const ULONGLONG first = parent;
        const bool firstIsFolder = first != kRootRecord && first != (kNoRecord & kRecordMask) && first < count &&
                                   folders.Get(first).isFolder &&
                                   CNtfsFolderCache::Matches(folders.Get(first), parentSeq);
        const auto known = firstIsFolder ? ways.find(first) : ways.end();
        NtfsWay way;
        if (known != ways.end())
            way = known->second;
        else
        {
            bool rootReached = false;
            chain.clear();
            above.clear();
            for (int depth = 0; depth < kMaxDepth && !IsStopRequested(); ++depth)
            {
                if (std::find(chain.begin(), chain.end(), parent) != chain.end())
                    break;
                chain.push_back(parent);
                if (parent == folderRecord)
                    way.folderReached = true;
                if (parent == kRootRecord)
                {
                    rootReached = true;
                    break;
                }
                if (parent == (kNoRecord & kRecordMask) || parent >= count)
                    break;
                const NtfsFolderInfo& folder = folders.Get(parent);
                if (!folder.isFolder || !CNtfsFolderCache::Matches(folder, parentSeq))
                    break;
                above.push_back(parent);
                parent = folder.parent;
                parentSeq = folder.parentSeq;
            }
            way.folder = rootReached ? rootFolder : lostFolder;
            for (size_t k = above.size(); k-- > 0;)
                way.folder = paths.Under(way.folder, above[k], folders.Get(above[k]).name);
            if (firstIsFolder && !IsStopRequested())
                ways.emplace(first, way);
        }
        if (folderRecord != kNoRecord)
        {
            const bool direct = first == folderRecord;
            if (!(way.folderReached && (includeSubfolders || direct)))
                continue;
        }
        if (!g_strPathFilter.empty() && way.folder->Text().find(g_strPathFilter) == std::wstring::npos)
            continue;
        CFoundItem* item = new CFoundItem(std::wstring(name, nameLength).c_str(), way.folder, time.c_str(),
                                          size, number);
        item->SetRecoverability(percent);
        item->m_bDeleted = true;
        m_walkHost.HandOver(item);
    }
    return true;
}
