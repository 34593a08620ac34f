#include "engine/ExFatDirWalker.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "core/Log.h"
#include "engine/DirReadOn.h"
#include "engine/FoundItem.h"
#include "engine/ScanDiskDlg.h"
#include "engine/ScanWalkHost.h"
#include "storage/fs/ExFATVolume.h"

namespace exfatwalk
{
bool ReadSet(const BYTE* bytes, size_t count, size_t i, SetInfo* out)
{
    if (!bytes || i >= count || !out)
        return false;
    const BYTE* e = bytes + i * 32;
    const int cls = CExFATVolume::GetEntryClass(e);
    if (cls != kExFatFile && cls != kExFatDirectory && cls != kExFatDeletedFile && cls != kExFatDeletedDirectory)
        return false;
    const int claimed = CExFATVolume::GetSecondaryCount(e);
    // A stream entry and at least one name entry. A name of 255 characters
    // takes 17 name entries, and a set may carry further secondary entries
    // (up to 255 in all). The set is the secondary entries that follow as
    // far as it claims: one whose count runs into the next set ends there,
    // so that the next set is still read. A set that runs past what was
    // read counts as absent.
    if (claimed < 2)
        return false;
    const bool deleted = cls == kExFatDeletedFile || cls == kExFatDeletedDirectory;
    const BYTE inUse = deleted ? 0x00 : 0x80;
    int secondary = 0;
    while (secondary < claimed)
    {
        if (i + (size_t)secondary + 1 >= count)
            return false;
        const BYTE t = e[(size_t)(secondary + 1) * 32];
        if (!(t & 0x40) || (t & 0x80) != inUse)
            break;
        ++secondary;
    }
    if (secondary < 2 || e[32] != (deleted ? 0x40 : 0xC0))
        return false;
    ExFatEntrySet set = {e, (uint32_t)(secondary + 1)};
    out->cls = cls;
    out->secondaryCount = secondary;
    out->name = CExFATVolume::GetEntrySetName(&set, secondary);
    out->firstCluster = CExFATVolume::GetFirstCluster(&set);
    out->validLength = CExFATVolume::GetValidDataLength(&set);
    out->dataLength = CExFATVolume::GetDataLength(&set);
    out->flags = CExFATVolume::GetStreamFlags(&set);
    out->entries = e;
    out->count = (uint32_t)(secondary + 1);
    return true;
}

bool LooksLikeDirCluster(const BYTE* cluster, uint32_t bytes)
{
    const uint32_t n = bytes / 32;
    if (n == 0 || cluster[0] == 0)
        return false;
    for (uint32_t i = 0; i < n; ++i)
    {
        const BYTE t = cluster[i * 32];
        if (t == 0)
            return true;
        switch (t)
        {
        case 0x03: case 0x05: case 0x20: case 0x21: case 0x22: case 0x40: case 0x41:
        case 0x81: case 0x82: case 0x83: case 0x85: case 0xA0: case 0xA1: case 0xA2:
        case 0xC0: case 0xC1:
            break;
        default:
            return false;
        }
    }
    return true;
}
}  // namespace exfatwalk

using namespace exfatwalk;

CExFatDirWalker::CExFatDirWalker(CExFATVolume& volume, IScanWalkHost& host, const ExFatWalkOptions& options,
                                 std::unordered_set<unsigned int>* visited)
    : m_vol(volume), m_host(host), m_opt(options), m_visited(visited ? visited : &m_ownVisited),
      m_probe(volume.GetHandle(), volume.GetSectorSize())
{
    m_cluster.resize(volume.GetClusterSize() ? volume.GetClusterSize() : 512);
    m_probe.Good(volume.GetPartitionOffset());
}

namespace
{
// What stands in for entries that could not be read: an unused entry that
// no set starts with and that does not end the folder.
const BYTE kUnreadableEntry[32] = {0x01};

uint64_t ClusterPosition(const CExFATVolume& volume, uint32_t cluster)
{
    return volume.GetClusterHeapOffset() + (uint64_t)(cluster - 2) * volume.GetClusterSize() +
           volume.GetPartitionOffset();
}
}  // namespace

bool CExFatDirWalker::ReadClusterCarefully(uint32_t cluster, BYTE* buffer)
{
    const uint32_t cs = m_vol.GetClusterSize();
    if (cluster < 2 || cluster > MaxCluster() || !cs)
        return false;
    return m_probe.ReadCarefully(m_host, ClusterPosition(m_vol, cluster), buffer, cs, kUnreadableEntry,
                                 sizeof(kUnreadableEntry)) != 0;
}

uint32_t CExFatDirWalker::MaxCluster() const
{
    const uint64_t last = (uint64_t)m_vol.GetClusterCount() + 1;
    return last > 0xFFFFFFF6u ? 0xFFFFFFF6u : (uint32_t)last;
}

namespace
{
// Runs the entry sets of an exFAT folder account for: the data of what it
// lists, each taken as one run.
void AddSetSpans(const BYTE* bytes, size_t bytesCount, uint32_t cs, dirreadon::CSpans& spans)
{
    const size_t count = bytesCount / 32;
    for (size_t i = 0; i < count;)
    {
        if (bytes[i * 32] == 0)
            break;
        SetInfo set;
        if (!ReadSet(bytes, count, i, &set))
        {
            ++i;
            continue;
        }
        i += (size_t)set.secondaryCount + 1;
        spans.Add(set.firstCluster, (std::max(set.dataLength, set.validLength) + cs - 1) / cs);
    }
}

bool HasEnd(const BYTE* cluster, uint32_t cs)
{
    for (uint32_t k = 0; k < cs / 32; ++k)
        if (cluster[k * 32] == 0)
            return true;
    return false;
}
}  // namespace

bool CExFatDirWalker::ReadDirectory(uint32_t first, uint64_t length, bool noFatChain, bool deleted,
                                    std::vector<BYTE>& out)
{
    out.clear();
    (void)deleted;
    const uint32_t cs = m_vol.GetClusterSize();
    if (first < 2 || first > MaxCluster() || cs == 0)
        return false;
    const uint64_t bound = length && length < kMaxDirBytes ? length : kMaxDirBytes;
    const uint64_t boundClusters = std::max<uint64_t>(1, (bound + cs - 1) / cs);
    std::vector<uint32_t> clusters;
    bool chainLost = false;
    if ((noFatChain && length != 0) || (m_opt.formatted && first < 128))
    {
        // One contiguous run covering the length, inside the volume.
        if (noFatChain && length >= kMaxDirBytes)
            return false;
        const uint64_t n = length ? (std::min(length, kMaxDirBytes) + cs - 1) / cs : 1;
        for (uint64_t k = 0; k < n && (uint64_t)first + k <= MaxCluster(); ++k)
            clusters.push_back((uint32_t)(first + k));
    }
    else
    {
        ClusterList list;
        if (m_vol.GetFileClusterList(first, list, 0) && list.GetCount())
            clusters.assign(list.GetData(), list.GetData() + std::min<size_t>(list.GetCount(), boundClusters));
        else
        {
            clusters.assign(1, first);
            chainLost = true;
        }
    }
    BYTE* buf = m_cluster.data();
    for (size_t i = 0; i < clusters.size() && out.size() / cs < boundClusters; ++i)
    {
        const uint32_t c = clusters[i];
        m_host.ProgressPoint((int)(m_host.Found() % kProgressScale), kProgressScale);
        if (m_host.WaitAndCheckStop())
            return !out.empty();
        if (m_visited->count(c))
            break;
        // A cluster that does not read whole loses only the sectors that do
        // not read; one that does not read at all is passed over when the
        // clusters after it are known.
        if (m_vol.ReadCluster(c, buf, cs))
            m_probe.Good(ClusterPosition(m_vol, c));
        else if (!ReadClusterCarefully(c, buf))
        {
            if (i == 0 && chainLost)
                break;
            continue;
        }
        m_visited->insert(c);
        out.insert(out.end(), buf, buf + cs);
        if (HasEnd(buf, cs))
            return true;
    }
    if (!chainLost || out.empty())
        return !out.empty();

    // The chain is gone (a deleted folder's is freed with it): read on
    // through the clusters after the first (see DirReadOn.h). Its recorded
    // length is no bound: a driver that empties a folder before removing it
    // shrinks it to one cluster first.
    dirreadon::ReadOn(
        first, MaxCluster(), cs, (size_t)std::max<uint64_t>(1, kMaxDirBytes / cs), out,
        [this]() {
            m_host.ProgressPoint((int)(m_host.Found() % kProgressScale), kProgressScale);
            return m_host.WaitAndCheckStop();
        },
        [this](uint32_t c) { return m_visited->count(c) != 0; },
        [this, cs](uint32_t c, BYTE* b) { return m_vol.ReadCluster(c, b, cs) != 0; },
        [cs](const BYTE* b) { return LooksLikeDirCluster(b, cs); },
        [cs](const BYTE* b) { return HasEnd(b, cs); },
        [cs](const BYTE* b, size_t n, dirreadon::CSpans& spans) { AddSetSpans(b, n, cs, spans); },
        [this](uint32_t c) { m_visited->insert(c); });
    return true;
}

void CExFatDirWalker::WalkRoot()
{
    const uint32_t root = m_vol.GetRootCluster();
    const std::wstring& path = m_opt.root;
    if (m_host.IsStopRequested())
        return;
    DebugPrint(L"Into DIR=%s\n", path.c_str());
    std::vector<BYTE> bytes;
    if (!ReadDirectory(root, 0, false, false, bytes))
        return;
    // The root opens with the volume label, the allocation bitmap and the
    // up-case table.
    int seen = 0;
    for (int k = 0; k < 3 && (size_t)(k + 1) * 32 <= bytes.size(); ++k)
    {
        const int cls = CExFATVolume::GetEntryClass(bytes.data() + k * 32);
        seen |= cls == kExFatVolumeLabel ? 1 : cls == kExFatBitmap ? 2 : cls == kExFatUpcase ? 4 : 8;
    }
    if (seen != 7)
    {
        DebugPrint(L"[Delvaro] CScanDiskDlg::IntoDir - invalid dir = %s.\n", path.c_str());
        return;
    }
    Job job = {root, CFolderPath::FromText(path), false, 0, false, false};
    WalkEntries(bytes.data() + 3 * 32, bytes.size() / 32 - 3, job);
    Run();
}

bool CExFatDirWalker::WalkFolder(uint32_t cluster, const std::wstring& path, bool deleted, uint64_t length,
                                 bool noFatChain)
{
    Job job = {cluster, CFolderPath::FromText(path), deleted, length, noFatChain, deleted};
    const bool ok = IntoDir(job);
    Run();
    return ok;
}

void CExFatDirWalker::Run()
{
    Job job;
    while (!m_host.IsStopRequested() && m_work.Next(job))
        IntoDir(job);
    m_work.Clear();
}

bool CExFatDirWalker::IntoDir(const Job& job)
{
    if (m_host.IsStopRequested() || job.depth > kMaxDepth)
        return false;
    // The log line holds 511 characters: a deep path is not made whole for it.
    DebugPrint(L"Into DIR=%s\n", job.path->Prefix(511).c_str());
    std::vector<BYTE> bytes;
    if (!ReadDirectory(job.cluster, job.length, job.noFatChain, job.deleted, bytes))
        return false;
    WalkEntries(bytes.data(), bytes.size() / 32, job);
    return true;
}

void CExFatDirWalker::HandFile(const SetInfo& set, const std::wstring& path, bool listLive)
{
    HandFile(set, CFolderPath::FromText(path), listLive);
}

void CExFatDirWalker::HandFile(const SetInfo& set, const CFolderPath::Ptr& folder, bool listLive)
{
    const bool deleted = set.cls == kExFatDeletedFile;
    m_host.CountExamined();
    if (!deleted && !listLive)
        return;
    const bool noChain = (set.flags & kExFatNoFatChain) != 0;
    ExFatEntrySet entrySet = {set.entries, set.count};
    const std::wstring time = m_vol.FormatEntryTime(set.entries, 1);
    int percent = noChain ? -1 : m_vol.GetRecoverablePercent(&entrySet);
    // A deleted file that had a FAT chain may have been fragmented, and its
    // chain is gone: the run from its first cluster is a guess beyond one cluster.
    if (deleted && percent > 99 && set.validLength > m_vol.GetClusterSize())
        percent = 99;
    // A size the clusters it can occupy cannot hold (a run from its first
    // cluster to the heap's end; any clusters of the heap for a chain) marks
    // a damaged entry, whatever else is known of it.
    const uint64_t claimed = std::max(set.validLength, set.dataLength);
    if (!fatcommon::SizeFitsClusters(claimed, (deleted || noChain) ? set.firstCluster : 2, MaxCluster(),
                                     m_vol.GetClusterSize()))
        percent = 0;
    CFoundItem* item = new CFoundItem(set.name.c_str(), folder, time.c_str(), set.validLength, 0);
    item->m_bContiguous = deleted ? 1 : (noChain ? 1 : 0);
    item->m_uFirstCluster = set.firstCluster;
    item->m_bDeleted = deleted;
    item->SetRecoverability(percent);
    if (m_opt.formatted && set.firstCluster >= 2)
        m_visited->insert(set.firstCluster);
    m_host.HandOver(item);
    if (!m_opt.formatted)
        m_host.ProgressPoint((int)(m_host.Found() % kProgressScale), kProgressScale);
}

void CExFatDirWalker::WalkEntries(const BYTE* bytes, size_t count, const Job& job)
{
    std::vector<Job> liveChildren;
    for (size_t i = 0; i < count;)
    {
        if (m_host.IsStopRequested())
            break;
        const BYTE* e = bytes + i * 32;
        if (e[0] == 0)
            break;
        SetInfo set;
        if (!ReadSet(bytes, count, i, &set))
        {
            // Not a set it can use: the walk goes on with the next entry.
            ++i;
            continue;
        }
        i += (size_t)set.secondaryCount + 1;
        if (set.name.empty() || set.firstCluster > MaxCluster())
            continue;
        if (set.flags != 1 && set.flags != 3)
            continue;
        if (m_opt.formatted && set.firstCluster >= 2 && m_visited->count(set.firstCluster) &&
            (set.cls == kExFatDirectory || set.cls == kExFatDeletedDirectory))
            continue;
        const bool noChain = set.flags == 3;
        if (set.cls == kExFatDirectory || set.cls == kExFatDeletedDirectory)
        {
            if (!CScanDiskDlg::IsValidFileName(set.name.c_str()))
                continue;
            const bool deleted = set.cls == kExFatDeletedDirectory;
            Job child = {set.firstCluster, CFolderPath::Child(job.path, set.name), job.inDeleted || deleted,
                         set.dataLength, noChain, deleted, job.depth + 1};
            if (child.inDeleted)
                m_work.PushDeleted(child);
            else
                liveChildren.push_back(child);
            continue;
        }
        HandFile(set, job.path, job.inDeleted || m_opt.reportLive);
    }
    m_work.PushLiveInOrder(liveChildren);
}

uint32_t CExFatDirWalker::LookupDirectory(const wchar_t* path, bool* deleted, uint64_t* length, bool* noFatChain)
{
    if (deleted)
        *deleted = false;
    if (length)
        *length = 0;
    if (noFatChain)
        *noFatChain = false;
    if (!path || wcslen(path) < 3)
        return 0;
    const wchar_t* cursor = path + 3;
    wchar_t part[261];
    uint32_t current = m_vol.GetRootCluster();
    uint64_t currentLength = 0;
    bool currentNoChain = false, currentDeleted = false, any = false;
    std::vector<BYTE> bytes;
    while (CScanDiskDlg::NextPathComponent(cursor, part) > 0)
    {
        any = true;
        std::unordered_set<unsigned int> keep;
        keep.swap(*m_visited);
        const bool ok = ReadDirectory(current, currentLength, currentNoChain, currentDeleted, bytes);
        keep.swap(*m_visited);
        if (!ok)
            return 0;
        const size_t count = bytes.size() / 32;
        SetInfo best;
        bool found = false;
        for (size_t i = 0; i < count;)
        {
            if (bytes[i * 32] == 0)
                break;
            SetInfo set;
            if (!ReadSet(bytes.data(), count, i, &set))
            {
                ++i;
                continue;
            }
            i += (size_t)set.secondaryCount + 1;
            if ((set.cls != kExFatDirectory && set.cls != kExFatDeletedDirectory) || set.name != part ||
                set.firstCluster < 2 || set.firstCluster > MaxCluster() || set.dataLength == 0 ||
                (set.flags != 1 && set.flags != 3))
                continue;
            if (!found || (best.cls == kExFatDeletedDirectory && set.cls == kExFatDirectory))
            {
                best = set;
                found = true;
            }
            if (set.cls == kExFatDirectory)
                break;
        }
        if (!found)
            return 0;
        current = best.firstCluster;
        currentLength = best.dataLength;
        currentNoChain = best.flags == 3;
        currentDeleted = currentDeleted || best.cls == kExFatDeletedDirectory;
    }
    if (!any)
        return 0;
    if (deleted)
        *deleted = currentDeleted;
    if (length)
        *length = currentLength;
    if (noFatChain)
        *noFatChain = currentNoChain;
    return current;
}
