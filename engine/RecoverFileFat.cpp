// The FAT16, FAT32 and exFAT readers of found files. A found entry's data is
// either its cluster chain (a live file) or, where the chain is gone (a
// deleted file, a formatted volume), the run of clusters from its first
// cluster; the second is a guess that holds only when the file was not
// fragmented, and the outcome says so.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "core/Language.h"
#include "engine/FoundItem.h"
#include "engine/RecoverFile.h"
#include "engine/RecoverFileImpl.h"
#include "engine/ScanDiskDlg.h"
#include "storage/DeviceIo.h"
#include "storage/PartitionTable.h"
#include "storage/fs/ExFATVolume.h"
#include "storage/fs/FAT32Volume.h"
#include "storage/fs/FATVolume.h"

using namespace recoverimpl;

namespace
{
struct Fat32Traits
{
    typedef CFAT32Volume Volume;
    typedef CLostFAT32Volume Lost;
    static const int kCode = 11;
    // FAT frees a deleted file's chain; exFAT may have had none to free.
    static const bool kChainsFreedOnDelete = true;
    static const uint64_t kMaxFileSize = 0xFFFFFFFFull;
    static uint64_t MaxCluster(Volume& v) { return v.GetMaxCluster(); }
    static uint64_t DataStart(Volume& v) { return v.GetDataOffset(); }
    static bool Chain(Volume& v, uint64_t first, uint64_t size, std::vector<uint64_t>& out)
    {
        ClusterList list;
        const int ok = first <= 0xFFFFFFFFull && v.GetFileClusterList((uint32_t)first, list, (uint32_t)size);
        for (size_t i = 0; i < list.GetCount(); ++i)
            out.push_back(list[i]);
        return ok != 0;
    }
    static bool Read(Volume& v, uint64_t first, void* buffer, DWORD bytes)
    {
        return v.ReadCluster((uint32_t)first, buffer, bytes) != 0;
    }
    static const DWORD kEntryBytes = 4;
    static const uint32_t kEntryMask = kFat32EntryMask;
    static bool Entry(Volume& v, uint64_t cluster, uint32_t* value)
    {
        return cluster <= 0xFFFFFFFFull && v.GetFatEntry((uint32_t)cluster, value);
    }
    static DWORD SectorBytes(Volume& v) { return v.GetBytesPerSector(); }
};

struct Fat16Traits
{
    typedef CFATVolume Volume;
    typedef CLostFATVolume Lost;
    static const int kCode = 6;
    static const bool kChainsFreedOnDelete = true;
    static const uint64_t kMaxFileSize = 0xFFFFFFFFull;
    static uint64_t MaxCluster(Volume& v) { return std::min<uint64_t>(v.GetMaxCluster(), kFat16MaxDataCluster); }
    static uint64_t DataStart(Volume& v) { return v.GetDataOffset(); }
    static bool Chain(Volume& v, uint64_t first, uint64_t size, std::vector<uint64_t>& out)
    {
        ClusterList16 list;
        const int ok = first <= kFat16MaxDataCluster && v.GetFileClusterList((uint16_t)first, list, (uint32_t)size);
        for (size_t i = 0; i < list.GetCount(); ++i)
            out.push_back(list[i]);
        return ok != 0;
    }
    static bool Read(Volume& v, uint64_t first, void* buffer, DWORD bytes)
    {
        return v.ReadCluster((uint16_t)first, buffer, bytes) != 0;
    }
    static const DWORD kEntryBytes = 2;
    static const uint32_t kEntryMask = 0xFFFF;
    static bool Entry(Volume& v, uint64_t cluster, uint32_t* value)
    {
        uint16_t entry = 1;
        if (cluster > kFat16MaxDataCluster || !v.GetFatEntry((uint16_t)cluster, &entry))
            return false;
        *value = entry;
        return true;
    }
    static DWORD SectorBytes(Volume& v) { return v.GetBytesPerSector(); }
};

struct ExFatTraits
{
    typedef CExFATVolume Volume;
    typedef CLostExFATVolume Lost;
    static const int kCode = -7;
    static const bool kChainsFreedOnDelete = false;
    static const uint64_t kMaxFileSize = ~0ull;
    static uint64_t MaxCluster(Volume& v) { return std::min<uint64_t>(v.GetMaxCluster(), kExFatMaxDataCluster); }
    static uint64_t DataStart(Volume& v) { return v.GetClusterHeapOffset(); }
    static bool Chain(Volume& v, uint64_t first, uint64_t size, std::vector<uint64_t>& out)
    {
        ClusterList list;
        const int ok = first <= 0xFFFFFFFFull && v.GetFileClusterList((uint32_t)first, list, size);
        for (size_t i = 0; i < list.GetCount(); ++i)
            out.push_back(list[i]);
        return ok != 0;
    }
    static bool Read(Volume& v, uint64_t first, void* buffer, DWORD bytes)
    {
        return v.ReadCluster((uint32_t)first, buffer, bytes) != 0;
    }
    // The exFAT allocation bitmap is not read here, and its FAT says nothing
    // of clusters without a chain: free clusters cannot be told apart, and
    // a deleted file is taken as one run (kChainsFreedOnDelete is false).
    static const DWORD kEntryBytes = 4;
    static const uint32_t kEntryMask = 0xFFFFFFFFu;
    static bool Entry(Volume&, uint64_t, uint32_t*) { return false; }
    static DWORD SectorBytes(Volume& v) { return v.GetBytesPerSector(); }
};

// What a FAT entry says of its cluster.
enum EntryState
{
    kEntryFree,
    kEntryUsed,
    kEntryUnknown,  // no copy of the FAT gives it
};

// FAT entries for the walk over free clusters. An entry comes from the
// volume's page cache; where that page does not read, from the entry's own
// sector of the first FAT, else from the same sector of each other copy of
// the FAT. An entry that no copy gives is unknown, never taken for in use.
template <class T>
class CFatEntries
{
public:
    explicit CFatEntries(typename T::Volume& v) : m_v(v) {}
    EntryState State(uint64_t cluster)
    {
        uint32_t value = 1;
        if (T::Entry(m_v, cluster, &value))
            return value == 0 ? kEntryFree : kEntryUsed;
        const DWORD bps = T::SectorBytes(m_v);
        const uint64_t fatBytes = m_v.GetFatBytes();
        const uint64_t at = cluster * T::kEntryBytes;
        if (bps == 0 || bps > sizeof(m_sector) || at + T::kEntryBytes > fatBytes)
            return kEntryUnknown;
        const uint64_t sector = at / bps;
        if (sector != m_u64Sector)
        {
            // Each sector is asked once, the walk going on from cluster to cluster.
            m_u64Sector = sector;
            m_bSectorRead = false;
            const uint64_t fats = std::max<DWORD>(1, m_v.GetNumberOfFats());
            for (uint64_t k = 0; k < fats && !m_bSectorRead; ++k)
                m_bSectorRead = ReadAt(m_v.GetHandle(),
                                       m_v.GetPartitionOffset() + m_v.GetFat1Offset() + k * fatBytes + sector * bps,
                                       m_sector, bps) == bps;
        }
        if (!m_bSectorRead)
            return kEntryUnknown;
        const BYTE* p = m_sector + at % bps;
        value = (T::kEntryBytes == 2 ? Le16(p) : Le32(p)) & T::kEntryMask;
        return value == 0 ? kEntryFree : kEntryUsed;
    }

private:
    typename T::Volume& m_v;
    BYTE m_sector[4096];
    uint64_t m_u64Sector = ~0ull;
    bool m_bSectorRead = false;
};

enum OpenState
{
    kOpenNothing,  // nothing to open: no root text, or no lost partition
    kOpenFailed,
    kOpenDone,
};

// The volume of the entry: the one the run keeps when it is the same, else
// opened here (and handed to the run to keep, when there is one).
template <class T>
OpenState OpenFatVolume(const wchar_t* root, const ILostPartitionSource* lost, int scanKind,
                        CRecoverSession* session, std::unique_ptr<typename T::Volume>& owned,
                        typename T::Volume** volume)
{
    *volume = nullptr;
    std::wstring key;
    uint64_t offset = 0;
    if (scanKind == SCAN_KIND_LOST_PARTITION)
    {
        if (!LostPartitionOffset(lost, &offset))
            return kOpenNothing;
        key = lost->GetDiskPath() + L"@" + std::to_wstring(offset);
    }
    else
    {
        if (!root || !*root)
            return kOpenNothing;
        key = std::wstring(1, root[0]);
    }
    key = std::to_wstring(T::kCode) + L"|" + key;
    if (session)
    {
        if (typename T::Volume* kept = session->Find<typename T::Volume>(key))
        {
            *volume = kept;
            return kOpenDone;
        }
    }
    if (scanKind == SCAN_KIND_LOST_PARTITION)
    {
        typename T::Lost* v = new typename T::Lost();
        owned.reset(v);
        v->OpenPath(lost->GetDiskPath().c_str(), offset);
    }
    else
    {
        owned.reset(new typename T::Volume(root[0]));
    }
    if (!owned->IsValid() || !owned->GetClusterSize())
        return kOpenFailed;
    *volume = session ? session->Keep<typename T::Volume>(key, owned.release()) : owned.get();
    return kOpenDone;
}

// The clusters to copy, as runs of consecutive clusters, and how sure they are.
struct ClusterPlan
{
    std::vector<std::pair<uint64_t, uint64_t>> runs;  // first cluster, count
    uint64_t clusters = 0;
    uint64_t size = 0;
    DWORD clusterBytes = 0;
    bool assumedContiguous = false;
    uint64_t uncertain = 0;  // clusters taken although their FAT entries cannot be read
};

// Highest cluster whose bytes lie on the device: a damaged boot sector can
// claim far more clusters than the disk holds.
template <class T>
uint64_t LastClusterOnDevice(typename T::Volume& v)
{
    const uint64_t last = T::MaxCluster(v);
    const uint64_t device = QueryDeviceLength(v.GetHandle(), 1);
    const uint64_t start = T::DataStart(v) + v.GetPartitionOffset();
    if (!device)
        return last;
    if (device <= start)
        return 1;
    return std::min<uint64_t>(last, (device - start) / v.GetClusterSize() + 1);
}

// The highest cluster on the device of a volume the run keeps: asked of the
// device once per volume, not once per file.
template <class T>
uint64_t KeptLastClusterOnDevice(typename T::Volume& v, CRecoverSession* session)
{
    if (!session)
        return LastClusterOnDevice<T>(v);
    if (!session->KeptLastCluster())
        session->SetKeptLastCluster(LastClusterOnDevice<T>(v));
    return session->KeptLastCluster();
}

// `last`: the highest cluster on the device (LastClusterOnDevice).
template <class T>
RecoverResult PlanClusters(typename T::Volume& v, const CFoundItem& item, int scanKind, uint64_t last,
                           ClusterPlan* plan)
{
    const DWORD cs = v.GetClusterSize();
    plan->clusterBytes = cs;
    plan->size = item.m_u64Size;
    if (item.m_u64Size > T::kMaxFileSize)
        return kRecoverOutsideVolume;
    // Clusters due, 64-bit whatever the file system.
    const uint64_t n = item.m_u64Size / cs + (item.m_u64Size % cs ? 1 : 0);
    plan->clusters = n;
    if (n == 0)
        return kRecoverOk;
    if (last < 2 || n > last - 1)
        return kRecoverOutsideVolume;
    const uint64_t first = item.m_uFirstCluster;
    const bool chainMode = scanKind != SCAN_KIND_FORMATTED && item.m_nPercent != 0;
    if (chainMode && !item.m_bContiguous)
    {
        std::vector<uint64_t> chain;
        if (!T::Chain(v, first, item.m_u64Size, chain) || chain.size() != n)
            return kRecoverChainBroken;
        for (uint64_t c : chain)
        {
            if (!plan->runs.empty() && plan->runs.back().first + plan->runs.back().second == c)
                ++plan->runs.back().second;
            else
                plan->runs.push_back(std::make_pair(c, 1ull));
        }
        return kRecoverOk;
    }
    if (first < 2 || first > last)
        return kRecoverOutsideVolume;
    // A single cluster cannot be fragmented. exFAT marks a file that never had
    // a chain (the walkers give it no percentage); anything else is a guess.
    plan->assumedContiguous = n > 1 && (T::kChainsFreedOnDelete || item.m_nPercent != -1);
    // FAT freed the chain on delete, so no cluster that is in use now was the
    // file's when it was deleted: when its first cluster is still free, its
    // clusters are the free ones from there on, going round to the start of
    // the volume as a driver's allocation does (a file written into the holes
    // between other files comes back whole). A cluster whose entry no copy of
    // the FAT gives may have been the file's as well as another's: it is
    // taken, as a file written in one piece has it, and the file is said
    // uncertain.
    if constexpr (T::kChainsFreedOnDelete)
    {
        CFatEntries<T> entries(v);
        if (n > 1 && entries.State(first) != kEntryUsed)
        {
            uint64_t found = 0, unknown = 0;
            for (uint64_t k = 0; k < last - 1 && found < n; ++k)
            {
                const uint64_t c = first + k <= last ? first + k : first + k - (last - 1);
                const EntryState state = entries.State(c);
                if (state == kEntryUsed)
                    continue;
                if (state == kEntryUnknown)
                    ++unknown;
                if (!plan->runs.empty() && plan->runs.back().first + plan->runs.back().second == c)
                    ++plan->runs.back().second;
                else
                    plan->runs.push_back(std::make_pair(c, 1ull));
                ++found;
            }
            if (found == n)
            {
                plan->uncertain = unknown;
                return kRecoverOk;
            }
            plan->runs.clear();
        }
    }
    // Otherwise one run from the first cluster, inside the volume and on the device.
    if (n - 1 > last - first)
        return kRecoverOutsideVolume;
    plan->runs.push_back(std::make_pair(first, n));
    return kRecoverOk;
}

// The copy buffer for a plan: as many whole clusters as a chunk holds, at
// most those of the file.
DWORD FatCopyBufferBytes(const ClusterPlan& plan, uint64_t limit)
{
    const DWORD cs = plan.clusterBytes;
    const uint64_t bytes = std::min(plan.size, limit);
    if (bytes == 0 || cs == 0)
        return 0;
    const uint64_t clusters = std::min<uint64_t>(std::max<DWORD>(1, kCopyChunk / cs), (bytes + cs - 1) / cs);
    return (DWORD)(clusters * cs);
}

// Copies at most `limit` bytes of the plan to the sink, many clusters per
// read. A read that fails is read again a cluster at a time (RereadPieces):
// a bad cluster becomes a cluster of zeros, so that the bytes after it keep
// their offsets, and a device that stopped answering ends the file
// (kRecoverDeviceGone). A file of which nothing could be read is a read error.
template <class T>
RecoverResult CopyClusters(typename T::Volume& v, const ClusterPlan& plan, uint64_t limit,
                           const CCopyBuffer& copyBuffer, IRecoverSink& sink, CRecoverFile* progress,
                           const volatile int* stop, RereadState& state, CGoodPlaces* places)
{
    const DWORD cs = plan.clusterBytes;
    uint64_t left = std::min(plan.size, limit);
    if (left == 0)
        return kRecoverOk;
    BYTE* const buffer = copyBuffer.Get();
    if (!buffer || copyBuffer.Size() < cs)
        return kRecoverReadError;
    // Whole clusters per read, as many as the buffer (at most a chunk) holds.
    const DWORD perRead = std::max<DWORD>(1, std::min(kCopyChunk, copyBuffer.Size()) / cs);
    // What reads well is remembered for the probe of the device.
    CDeviceProbe probe(v.GetHandle(), v.GetPartitionOffset(), places, T::SectorBytes(v));
    const uint64_t dataStart = v.GetPartitionOffset() + T::DataStart(v);
    auto deviceOffset = [&](uint64_t cluster) { return dataStart + (cluster - 2) * cs; };
    uint64_t done = 0;
    for (const auto& run : plan.runs)
    {
        for (uint64_t k = 0; k < run.second && left;)
        {
            if (progress)
                progress->PostProgress(done, plan.clusters);
            if (stop && *stop)
                return kRecoverStopped;
            // Only the clusters still due: a short tail asks no cluster past the file.
            const DWORD count =
                (DWORD)std::min<uint64_t>(std::min<uint64_t>(perRead, run.second - k), (left + cs - 1) / cs);
            const uint64_t first = run.first + k;
            SetLastError(0);
            const DWORD t0 = GetTickCount();
            if (T::Read(v, first, buffer, count * cs))
            {
                state.anyRead = true;
                probe.ReadWell(deviceOffset(first));
            }
            else
            {
                state.ChunkFailed(GetTickCount() - t0, GetLastError());
                const RecoverResult r = RereadPieces(
                    buffer, count * cs, [&](DWORD) { return cs; },
                    [&](DWORD at, DWORD) {
                        if (!T::Read(v, first + at / cs, buffer + at, cs))
                            return false;
                        probe.ReadWell(deviceOffset(first + at / cs));
                        return true;
                    },
                    [&] { return !probe.StillAnswers(); }, stop, state);
                if (r != kRecoverOk)
                    return r;
            }
            const DWORD bytes = (DWORD)std::min<uint64_t>((uint64_t)count * cs, left);
            if (!sink.Put(buffer, bytes))
                return kRecoverWriteError;
            left -= bytes;
            k += count;
            done += count;
        }
    }
    if (progress)
        progress->PostProgress(plan.clusters, plan.clusters);
    if (left != 0)
        return kRecoverReadError;
    // Nothing of it could be read: no file, not a file of zeros.
    return state.anyRead ? kRecoverOk : kRecoverReadError;
}
}  // namespace

template <class T>
int CRecoverFile::FatRecoverToFile(const wchar_t* root, const ILostPartitionSource* lost, CFoundItem* item,
                                   int scanKind, const wchar_t* destination, const volatile int* stop,
                                   BOOL singleFile)
{
    BeginOutcome();
    if (!item)
        return 0;
    std::unique_ptr<typename T::Volume> owned;
    typename T::Volume* volume = nullptr;
    const OpenState open = OpenFatVolume<T>(root, lost, scanKind, m_pSession, owned, &volume);
    if (open == kOpenNothing)
        return Finish(nullptr, kRecoverVolumeNotOpen);
    if (open == kOpenFailed)
        return FailVolume(scanKind);
    if (singleFile && item->m_nPercent < 100 &&
        MessageBoxByBase64Key(kKeyNotCompleteRestore, m_hNotify, MB_YESNO | MB_ICONQUESTION, 0) != IDYES)
        return Finish(nullptr, kRecoverDeclined);
    // Which clusters, before any file is made: an entry with nothing to copy
    // leaves no empty file behind.
    ClusterPlan plan;
    // The volume is the run's kept one whenever there is a run.
    RecoverResult r =
        PlanClusters<T>(*volume, *item, scanKind, KeptLastClusterOnDevice<T>(*volume, m_pSession), &plan);
    // A chain that no longer reads may be a device that is gone.
    if (r == kRecoverChainBroken &&
        !CDeviceProbe(volume->GetHandle(), volume->GetPartitionOffset(), RunPlaces(), T::SectorBytes(*volume))
             .StillAnswers())
        return FailDeviceGone(nullptr, GetLastError());
    if (r != kRecoverOk)
        return Finish(nullptr, r);
    if (plan.size > m_u64Room)
        return Finish(nullptr, kRecoverTargetFull);
    m_outcome.assumedContiguous = plan.assumedContiguous;
    m_outcome.uncertainClusters = plan.uncertain;
    CRecoverOutput output;
    if (!CreateOutput(output, destination, item->m_strName, singleFile))
        return 0;
    CFileSink sink(output);
    RereadState state;
    const CCopyBuffer buffer(m_pSession, FatCopyBufferBytes(plan, plan.size));
    r = CopyClusters<T>(*volume, plan, plan.size, buffer, sink, this, stop, state, RunPlaces());
    m_outcome.unreadableClusters = state.unreadable;
    m_outcome.notReadClusters = state.notRead;
    if (r == kRecoverWriteError)
        return Finish(&output, WriteFailure(output.Error()), output.Error());
    if (r == kRecoverDeviceGone)
        return FailDeviceGone(&output, state.error);
    return Finish(&output, r, r == kRecoverOk ? 0 : state.error);
}

template <class T>
IStream* CRecoverFile::FatReadToStream(const wchar_t* root, const ILostPartitionSource* lost, CFoundItem* item,
                                       uint64_t limit, int scanKind)
{
    BeginOutcome();
    if (!item)
        return nullptr;
    std::unique_ptr<typename T::Volume> owned;
    typename T::Volume* volume = nullptr;
    if (OpenFatVolume<T>(root, lost, scanKind, nullptr, owned, &volume) != kOpenDone)
        return nullptr;
    ClusterPlan plan;
    if (PlanClusters<T>(*volume, *item, scanKind, LastClusterOnDevice<T>(*volume), &plan) != kRecoverOk)
        return nullptr;
    const uint64_t wanted = limit && limit < plan.size ? limit : plan.size;
    CStreamSink sink;
    RereadState state;
    const CCopyBuffer buffer(nullptr, FatCopyBufferBytes(plan, wanted));
    const bool copied = sink.Create(wanted) &&
                        CopyClusters<T>(*volume, plan, wanted, buffer, sink, nullptr, nullptr, state, nullptr) ==
                            kRecoverOk;
    m_outcome.unreadableClusters = state.unreadable;
    m_outcome.notReadClusters = state.notRead;
    if (!copied)
        return nullptr;
    m_outcome.result = kRecoverOk;
    m_outcome.assumedContiguous = plan.assumedContiguous;
    m_outcome.uncertainClusters = plan.uncertain;
    m_outcome.bytesWritten = wanted;
    return sink.Detach();
}

namespace
{
static_assert(FS_FAT32 == 11 && FS_FAT16 == 6 && FS_EXFAT == -7, "the readers are chosen by these codes");
template <int Code> struct FatTraitsOf;
template <> struct FatTraitsOf<11> { typedef Fat32Traits type; };
template <> struct FatTraitsOf<6> { typedef Fat16Traits type; };
template <> struct FatTraitsOf<-7> { typedef ExFatTraits type; };
}  // namespace

template <int Code>
int CRecoverFileFatT<Code>::RecoverToFile(const wchar_t* root, const ILostPartitionSource* lost, CFoundItem* item,
                                          int scanKind, const wchar_t* destination, const volatile int* stop,
                                          BOOL singleFile)
{
    return FatRecoverToFile<typename FatTraitsOf<Code>::type>(root, lost, item, scanKind, destination, stop,
                                                              singleFile);
}

template <int Code>
IStream* CRecoverFileFatT<Code>::ReadToStream(const wchar_t* root, const ILostPartitionSource* lost,
                                              CFoundItem* item, uint64_t limit, int scanKind)
{
    return FatReadToStream<typename FatTraitsOf<Code>::type>(root, lost, item, limit, scanKind);
}

template class CRecoverFileFatT<11>;
template class CRecoverFileFatT<6>;
template class CRecoverFileFatT<-7>;
