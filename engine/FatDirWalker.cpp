#include "engine/FatDirWalker.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "core/Log.h"
#include "engine/DirReadOn.h"
#include "engine/FoundItem.h"
#include "engine/ScanDiskDlg.h"
#include "engine/ScanWalkHost.h"
#include "storage/DeviceIo.h"
#include "storage/fs/FAT32Volume.h"
#include "storage/fs/FATVolume.h"

// ---- the two readers seen through one interface ----------------------------

bool CFat32DirVolume::ReadCluster(uint32_t cluster, void* buffer)
{
    return m_v.ReadCluster(cluster, buffer, m_v.GetClusterSize()) != 0;
}
bool CFat32DirVolume::GetChain(uint32_t first, std::vector<uint32_t>& out)
{
    ClusterList list;
    out.clear();
    if (!m_v.GetFileClusterList(first, list, 0))
        return false;
    out.assign(list.GetData(), list.GetData() + list.GetCount());
    return !out.empty();
}
BYTE* CFat32DirVolume::ReadFixedRoot(uint32_t* entryCount)
{
    if (entryCount)
        *entryCount = 0;
    return nullptr;
}

uint32_t CFat16DirVolume::MaxCluster() const { return std::min<uint32_t>(m_v.GetMaxCluster(), 0xFFEF); }
bool CFat16DirVolume::ReadCluster(uint32_t cluster, void* buffer)
{
    return cluster <= 0xFFFF && m_v.ReadCluster((uint16_t)cluster, buffer, m_v.GetClusterSize()) != 0;
}
bool CFat16DirVolume::GetChain(uint32_t first, std::vector<uint32_t>& out)
{
    ClusterList16 list;
    out.clear();
    if (first > 0xFFFF || !m_v.GetFileClusterList((uint16_t)first, list, 0))
        return false;
    for (size_t i = 0; i < list.GetCount(); ++i)
        out.push_back(list[i]);
    return !out.empty();
}
bool CFat16DirVolume::GetFatEntry(uint32_t cluster, uint32_t* value)
{
    uint16_t v = 0;
    if (cluster > 0xFFFF || !m_v.GetFatEntry((uint16_t)cluster, &v))
        return false;
    *value = v;
    return true;
}
BYTE* CFat16DirVolume::ReadFixedRoot(uint32_t* entryCount)
{
    uint16_t n = 0;
    BYTE* root = m_v.ReadRootDirectory(&n);
    if (entryCount)
        *entryCount = root ? n : 0;
    return root;
}

// ---- entry checks -----------------------------------------------------------

namespace fatwalk
{
bool IsDotName(const FatDirEntry& entry)
{
    return memcmp(entry.name, ".          ", 11) == 0 || memcmp(entry.name, "..         ", 11) == 0;
}

bool IsDotPair(const IFatDirVolume& volume, const BYTE* cluster, uint32_t bytes, uint32_t first, uint32_t parent,
               bool strict)
{
    if (!cluster || bytes < 64)
        return false;
    const FatDirEntry* e = (const FatDirEntry*)cluster;
    if (memcmp(e[0].name, ".          ", 11) != 0 || !(e[0].attr & kFatAttrDirectory))
        return false;
    const uint32_t self = volume.EntryCluster(e[0]);
    if (strict ? self != first : (self & 0xFFFF) != (first & 0xFFFF))
        return false;
    if (parent == kParentUnknown)
        return true;
    if (memcmp(e[1].name, "..         ", 11) != 0 || !(e[1].attr & kFatAttrDirectory))
        return false;
    const uint32_t dotdot = volume.EntryCluster(e[1]);
    if (parent == 0)
        return dotdot == 0 || (volume.IsFat32() && dotdot == volume.RootCluster());
    return dotdot == parent;
}

namespace
{
bool IsBadNameByte(uint8_t c)
{
    return c < 0x20 || c == '"' || c == '*' || c == '/' || c == ':' || c == '<' || c == '>' || c == '?' ||
           c == '\\' || c == '|' || c == 0x7F;
}
}  // namespace

bool LooksLikeDirCluster(const IFatDirVolume& volume, const BYTE* cluster, uint32_t bytes)
{
    const FatDirEntry* e = (const FatDirEntry*)cluster;
    const uint32_t n = bytes / 32;
    if (n == 0 || e[0].name[0] == 0)
        return false;
    for (uint32_t i = 0; i < n; ++i)
    {
        const FatDirEntry& d = e[i];
        if (d.name[0] == 0)
            return true;
        if (d.attr == kFatAttrLongName)
        {
            const FatLongNameEntry& ln = (const FatLongNameEntry&)d;
            const uint8_t order = ln.order & 0x1F;
            if (ln.type != 0 || ln.firstClusterLow != 0 ||
                (ln.order != kFatDeletedMark && (order == 0 || order > 20 || (ln.order & 0xA0))))
                return false;
            continue;
        }
        if (d.attr & 0xC0)
            return false;
        for (int k = 0; k < 11; ++k)
        {
            const uint8_t c = k < 8 ? d.name[k] : d.ext[k - 8];
            if (k == 0 && (c == kFatDeletedMark || c == 0x05 || c == '.'))
                continue;
            if (k == 0 && c == ' ')
                return false;
            if (IsBadNameByte(c) && !(c == '.' && IsDotName(d)))
                return false;
        }
        const uint32_t first = volume.EntryCluster(d);
        if (first == 1 || first > volume.MaxCluster())
            return false;
    }
    return true;
}

bool HasEndOfDirectory(const BYTE* bytes, uint32_t count)
{
    for (uint32_t i = 0; i + 32 <= count; i += 32)
        if (bytes[i] == 0)
            return true;
    return false;
}

std::wstring BufferedLongName(const FatDirEntry* entries, size_t index)
{
    if (!entries || index == 0)
        return std::wstring();
    size_t k = index;
    while (k > 0 && entries[k - 1].attr == kFatAttrLongName)
        --k;
    if (k == 0 && index > 0)
    {
        // The run reaches the start of what was read: complete only when its
        // first stored entry carries the "last part" mark of a live name.
        const FatLongNameEntry& ln = (const FatLongNameEntry&)entries[0];
        if (entries[index].name[0] == kFatDeletedMark || !(ln.order & 0x40))
            return std::wstring();
    }
    return fatcommon::LongName(entries, index);
}

std::wstring EntryName(const FatDirEntry* entries, size_t index)
{
    std::wstring name = BufferedLongName(entries, index);
    if (!name.empty())
        return name;
    const FatDirEntry& e = entries[index];
    name = fatcommon::ShortName(e);
    // The short name of a folder drops its extension; a folder such as
    // "$RECYCLE.BIN" keeps it here.
    if ((e.attr & kFatAttrDirectory) && e.ext[0] != ' ')
    {
        FatDirEntry file = e;
        file.attr = (uint8_t)(e.attr & ~kFatAttrDirectory);
        name = fatcommon::ShortName(file);
    }
    return name;
}
}  // namespace fatwalk

// ---- the walk -----------------------------------------------------------------

using namespace fatwalk;

CFatDirWalker::CFatDirWalker(IFatDirVolume& volume, IScanWalkHost& host, const FatWalkOptions& options)
    : m_vol(volume), m_host(host), m_opt(options), m_probe(volume.Device(), volume.SectorBytes())
{
    m_cluster.resize(volume.ClusterBytes() ? volume.ClusterBytes() : 512);
    m_probe.Good(volume.BootPosition());
}

namespace
{
// What stands in for directory entries that could not be read: an entry
// every walk passes over (a volume label without a name), which also ends
// any long name running through it.
const BYTE kUnreadableEntry[32] = {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', kFatAttrVolumeLabel};
}  // namespace

bool CFatDirWalker::ReadClusterCarefully(uint32_t cluster, BYTE* buffer, bool* firstBad)
{
    if (firstBad)
        *firstBad = false;
    const uint32_t cs = m_vol.ClusterBytes();
    if (cluster < 2 || cluster > m_vol.MaxCluster() || !cs)
        return false;
    return m_probe.ReadCarefully(m_host, m_vol.ClusterPosition(cluster), buffer, cs, kUnreadableEntry,
                                 sizeof(kUnreadableEntry), firstBad) != 0;
}

namespace
{
// Runs the entries of a FAT folder account for: the data of its files
// (taken as one run each) and the first clusters of its folders.
void AddFatSpans(const IFatDirVolume& volume, const BYTE* bytes, size_t count, dirreadon::CSpans& spans)
{
    const FatDirEntry* e = (const FatDirEntry*)bytes;
    const uint32_t cs = volume.ClusterBytes();
    for (size_t i = 0; i < count / 32; ++i)
    {
        if (e[i].name[0] == 0)
            break;
        if (e[i].attr == kFatAttrLongName || IsDotName(e[i]))
            continue;
        const uint32_t first = volume.EntryCluster(e[i]);
        if (e[i].attr & kFatAttrDirectory)
            spans.Add(first, 1);
        else
            spans.Add(first, ((uint64_t)e[i].fileSize + cs - 1) / cs);
    }
}
}  // namespace

bool CFatDirWalker::ReadDirectory(uint32_t first, bool checkDot, uint32_t parent, bool strict, std::vector<BYTE>& out)
{
    out.clear();
    const uint32_t cs = m_vol.ClusterBytes();
    if (first < 2 || first > m_vol.MaxCluster() || cs == 0)
        return false;
    std::vector<uint32_t> chain;
    const bool chainOk = m_vol.GetChain(first, chain);
    if (!chainOk)
        chain.assign(1, first);
    const size_t maxClusters = std::max<size_t>(1, kMaxDirBytes / cs);
    BYTE* buf = m_cluster.data();
    for (size_t i = 0; i < chain.size() && out.size() / cs < maxClusters; ++i)
    {
        const uint32_t c = chain[i];
        m_host.ProgressPoint((int)(m_host.Examined() % kProgressScale), kProgressScale);
        if (m_host.WaitAndCheckStop())
            return !out.empty();
        if (m_visited.count(c))
            break;  // already read as a folder: a loop or a cross-link
        // A cluster that does not read whole loses only the sectors that
        // do not read; one that does not read at all is passed over when
        // the FAT names the clusters after it.
        bool firstBad = false;
        if (m_vol.ReadCluster(c, buf))
            m_probe.Good(m_vol.ClusterPosition(c));
        else if (!ReadClusterCarefully(c, buf, &firstBad))
        {
            if (i == 0 && !chainOk)
                break;
            continue;
        }
        // A live folder whose "." cannot be read is taken on its entry's word.
        if (i == 0 && checkDot && !(firstBad && !strict) && !IsDotPair(m_vol, buf, cs, first, parent, strict))
            return false;
        m_visited.insert(c);
        out.insert(out.end(), buf, buf + cs);
        if (HasEndOfDirectory(buf, cs))
            return true;
    }
    if (chainOk || out.empty())
        return !out.empty();

    // The chain cannot be followed (a deleted folder's was freed with it):
    // read on through the clusters after the first (see DirReadOn.h). Clusters
    // in use by the file system, or read as folders already, are not its.
    dirreadon::ReadOn(
        first, m_vol.MaxCluster(), cs, maxClusters, out,
        [this]() {
            m_host.ProgressPoint((int)(m_host.Examined() % kProgressScale), kProgressScale);
            return m_host.WaitAndCheckStop();
        },
        [this](uint32_t c) {
            uint32_t fat = 1;
            return m_visited.count(c) || !m_vol.GetFatEntry(c, &fat) || fat != 0;
        },
        [this](uint32_t c, BYTE* b) { return m_vol.ReadCluster(c, b); },
        [this, cs](const BYTE* b) { return LooksLikeDirCluster(m_vol, b, cs) && memcmp(b, ".          ", 11) != 0; },
        [cs](const BYTE* b) { return HasEndOfDirectory(b, cs); },
        [this](const BYTE* b, size_t n, dirreadon::CSpans& spans) { AddFatSpans(m_vol, b, n, spans); },
        [this](uint32_t c) { m_visited.insert(c); });
    return true;
}

void CFatDirWalker::WalkRoot()
{
    if (m_vol.IsFat32())
    {
        Job root = {m_vol.RootCluster(), kParentUnknown, CFolderPath::FromText(m_opt.root), false, false};
        std::vector<BYTE> bytes;
        DebugPrint(L"Into DIR=%s\n", m_opt.root.c_str());
        if (ReadDirectory(root.cluster, false, kParentUnknown, false, bytes))
            WalkEntries(bytes.data(), bytes.size() / 32, root, true);
    }
    else
    {
        uint32_t count = 0;
        BYTE* fixed = m_vol.ReadFixedRoot(&count);
        std::vector<BYTE> careful;
        uint64_t at = 0;
        uint32_t bytes = 0;
        if (!fixed && m_vol.FixedRootPlace(&at, &bytes))
        {
            // Sector by sector: a bad sector costs the entries it holds.
            careful.resize(bytes);
            if (m_probe.ReadCarefully(m_host, at, careful.data(), bytes, kUnreadableEntry, sizeof(kUnreadableEntry)))
                count = bytes / 32;
            else
                careful.clear();
        }
        if (fixed || !careful.empty())
        {
            Job root = {0, kParentUnknown, CFolderPath::FromText(m_opt.root), false, false};
            if (!m_host.WaitAndCheckStop())
                WalkEntries(fixed ? fixed : careful.data(), count, root, true);
        }
        delete[] fixed;
    }
    Run();
}

void CFatDirWalker::WalkFolder(uint32_t cluster, const std::wstring& path, bool deleted)
{
    Job job = {cluster, kParentUnknown, CFolderPath::FromText(path), deleted, false};
    if (deleted)
        m_work.PushDeleted(job);
    else
        m_work.PushLive(job);
    Run();
}

void CFatDirWalker::Run()
{
    Job job;
    while (!m_host.IsStopRequested() && m_work.Next(job))
        IntoDir(job);
    m_work.Clear();
}

uint32_t CFatDirWalker::FindHighWord(const Job& job)
{
    // Windows clears the high word of a FAT32 entry it deletes: the folder
    // is at low word + k x 0x10000 for some k. Its "." and ".." entries name it.
    const uint32_t cs = m_vol.ClusterBytes();
    for (uint64_t c = job.cluster; c <= m_vol.MaxCluster(); c += 0x10000)
    {
        if (c < 2 || m_visited.count((uint32_t)c))
            continue;
        if (m_host.WaitAndCheckStop())
            return 0;
        if (m_vol.ReadCluster((uint32_t)c, m_cluster.data()) &&
            IsDotPair(m_vol, m_cluster.data(), cs, (uint32_t)c, job.parent, true))
            return (uint32_t)c;
    }
    return 0;
}

bool CFatDirWalker::IntoDir(const Job& job)
{
    if (m_host.IsStopRequested() || job.depth > kMaxDepth)
        return false;
    // The log line holds 511 characters: a deep path is not made whole for it.
    const std::wstring shown = job.path->Prefix(511);
    DebugPrint(L"Into DIR=%s\n", shown.c_str());
    uint32_t first = job.cluster;
    if (job.searchHighWord)
        first = FindHighWord(job);
    std::vector<BYTE> bytes;
    // Deleted folders must be what their entry says: "." names the cluster
    // and ".." the folder that listed them. Live ones are checked on ".".
    const bool strict = job.inDeleted;
    if (!first || !ReadDirectory(first, true, strict ? job.parent : kParentUnknown, strict, bytes))
    {
        if (first && !bytes.empty())
            DebugPrint(L"[Delvaro] CScanDiskDlg::IntoDir - invalid dir = %s.\n", shown.c_str());
        return false;
    }
    Job self = job;
    self.cluster = first;
    WalkEntries(bytes.data(), bytes.size() / 32, self, false);
    return true;
}

void CFatDirWalker::WalkEntries(const BYTE* bytes, size_t count, const Job& job, bool isRoot)
{
    const FatDirEntry* entries = (const FatDirEntry*)bytes;
    const uint32_t self = isRoot ? 0 : job.cluster;
    std::vector<Job> liveChildren;
    for (size_t i = 0; i < count; ++i)
    {
        if (m_host.IsStopRequested())
            break;
        const FatDirEntry& e = entries[i];
        if (e.name[0] == 0)
            break;
        if (e.attr == kFatAttrLongName)
            continue;
        if ((e.attr & kFatAttrVolumeLabel) && !(e.attr & kFatAttrDirectory))
            continue;
        const bool deleted = e.name[0] == kFatDeletedMark;
        if (e.attr & kFatAttrDirectory)
        {
            if (IsDotName(e))
                continue;
            const std::wstring name = EntryName(entries, i);
            if (name.empty() || !CScanDiskDlg::IsValidFileName(name.c_str()))
                continue;
            const uint32_t cluster = m_vol.EntryCluster(e);
            if (cluster < 2 || cluster > m_vol.MaxCluster() || m_visited.count(cluster))
            {
                if (!(m_vol.IsFat32() && deleted && e.firstClusterHigh == 0 && m_vol.MaxCluster() > 0xFFFF))
                    continue;
            }
            Job child = {cluster, self, CFolderPath::Child(job.path, name), job.inDeleted || deleted, false,
                         job.depth + 1};
            m_host.ProgressPoint((int)(m_host.Examined() % kProgressScale), kProgressScale);
            if (child.inDeleted)
            {
                // A live folder with a size is no folder a driver made.
                if (!deleted && e.fileSize != 0)
                    continue;
                child.searchHighWord = m_vol.IsFat32() && deleted && e.firstClusterHigh == 0 &&
                                       m_vol.MaxCluster() > 0xFFFF;
                m_work.PushDeleted(child);
            }
            else if (e.fileSize == 0)
                liveChildren.push_back(child);
            continue;
        }
        m_host.CountExamined();
        if (!(deleted || job.inDeleted || m_opt.reportLive) || e.fileSize == 0)
            continue;
        const std::wstring name = EntryName(entries, i);
        if (name.empty())
            continue;
        const std::wstring time = m_vol.DosTime(e.writeDate, e.writeTime);
        int percent = m_vol.RecoverablePercent(&e);
        // A deleted file's chain is freed: its clusters are taken as one run
        // from the first, which holds it for certain only when it needs one.
        if (deleted && percent > 99 && e.fileSize > m_vol.ClusterBytes())
            percent = 99;
        // A size that the clusters it can occupy cannot hold (from its first
        // cluster to the volume's end when deleted, the whole volume when
        // live) marks a damaged entry.
        if (!fatcommon::SizeFitsClusters(e.fileSize, deleted ? m_vol.EntryCluster(e) : 2, m_vol.MaxCluster(),
                                         m_vol.ClusterBytes()))
            percent = 0;
        m_host.ProgressPoint((int)(m_host.Examined() % kProgressScale), kProgressScale);
        CFoundItem* item = new CFoundItem(name.c_str(), job.path, time.c_str(), e.fileSize, 0);
        item->m_bContiguous = deleted ? 1 : 0;
        item->m_bDeleted = deleted;
        item->m_uFirstCluster = m_vol.EntryCluster(e);
        item->SetRecoverability(percent);
        m_host.HandOver(item);
    }
    m_work.PushLiveInOrder(liveChildren);
}

uint32_t CFatDirWalker::LookupDirectory(const wchar_t* path, bool* deleted)
{
    if (deleted)
        *deleted = false;
    if (!path || wcslen(path) < 3)
        return 0;
    const wchar_t* cursor = path + 3;
    wchar_t part[261];
    uint32_t current = 0;  // 0: the root
    bool currentDeleted = false;
    bool any = false;
    std::vector<BYTE> bytes;
    while (CScanDiskDlg::NextPathComponent(cursor, part) > 0)
    {
        any = true;
        bytes.clear();
        bool ok;
        if (current == 0 && !m_vol.IsFat32())
        {
            uint32_t n = 0;
            BYTE* fixed = m_vol.ReadFixedRoot(&n);
            ok = fixed != nullptr;
            if (fixed)
                bytes.assign(fixed, fixed + (size_t)n * 32);
            delete[] fixed;
        }
        else
        {
            // A lookup reads folders without claiming them for the walk.
            std::unordered_set<uint32_t> keep;
            keep.swap(m_visited);
            ok = ReadDirectory(current == 0 ? m_vol.RootCluster() : current, false, kParentUnknown, false, bytes);
            keep.swap(m_visited);
        }
        if (!ok)
            return 0;
        const FatDirEntry* entries = (const FatDirEntry*)bytes.data();
        uint32_t found = 0;
        bool foundDeleted = false;
        for (size_t i = 0; i < bytes.size() / 32; ++i)
        {
            const FatDirEntry& e = entries[i];
            if (e.name[0] == 0)
                break;
            if (e.attr == kFatAttrLongName || !(e.attr & kFatAttrDirectory) || IsDotName(e))
                continue;
            if (EntryName(entries, i) != part)
                continue;
            const uint32_t c = m_vol.EntryCluster(e);
            if (c < 2 || c > m_vol.MaxCluster())
                continue;
            const bool del = e.name[0] == kFatDeletedMark;
            if (!found || (foundDeleted && !del))
            {
                found = c;
                foundDeleted = del;
            }
            if (!del)
                break;
        }
        if (!found)
            return 0;
        current = found;
        currentDeleted = currentDeleted || foundDeleted;
    }
    if (!any)
        return 0;
    if (deleted)
        *deleted = currentDeleted;
    return current;
}
