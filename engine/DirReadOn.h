// Reading on through a folder whose cluster chain cannot be followed (a
// deleted folder's chain was freed with it), shared by the FAT and exFAT
// walks.
//
// Drivers give a growing folder the next free cluster, after the data of the
// files written so far, so a folder's clusters are spread between the data
// of the files it lists. Past its first cluster the walk reads on: clusters
// the folder's own entries account for (the data runs of its files, the
// first clusters of its folders) and clusters taken by something else are
// stepped over; a cluster that is neither must hold directory entries, and
// once it is read, every cluster stepped over on the way to it must be
// accounted for by the entries read so far. Anything else ends the folder.
// A folder grows after the data of the files it lists so far: the next
// cluster is looked for past the last of them, which keeps the clusters of
// other folders made next to it out.
#pragma once
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <vector>

namespace dirreadon
{
// Clusters accounted for, as runs.
class CSpans
{
public:
    void Add(uint32_t first, uint64_t count)
    {
        if (first < 2 || count == 0)
            return;
        const uint64_t last = std::min<uint64_t>((uint64_t)first + count - 1, 0xFFFFFFFFu);
        uint32_t& end = m_spans[first];
        end = std::max<uint32_t>(end, (uint32_t)last);
        m_maxEnd = std::max<uint32_t>(m_maxEnd, (uint32_t)last);
    }
    // The highest cluster accounted for (0 when none).
    uint32_t MaxEnd() const { return m_maxEnd; }
    // The last cluster of a run holding c, or 0.
    uint32_t EndOf(uint32_t c) const
    {
        auto it = m_spans.upper_bound(c);
        if (it == m_spans.begin())
            return 0;
        --it;
        return c <= it->second ? it->second : 0;
    }

private:
    std::map<uint32_t, uint32_t> m_spans;
    uint32_t m_maxEnd = 0;
};

// Clusters read on the way that held no entries: at most this many (and at
// most 4 MiB of them) between two clusters of a folder.
const size_t kMaxGapClusters = 2048;
const uint64_t kMaxGapBytes = 4u << 20;
// Clusters looked at past the folder's last cluster found, at most.
const uint64_t kMaxSteps = 65536;

// Reads on from the cluster after `last`; out holds the folder's bytes so
// far and grows by whole clusters (cs bytes) up to maxClusters.
//   stop()                  true when the walk must end
//   taken(c)                c belongs to something else (stepped over)
//   read(c, buf)            reads cluster c
//   isEntries(buf)          the cluster holds directory entries (and may follow)
//   isEnd(buf)              the cluster ends the folder
//   account(bytes, n, out)  adds the runs that n bytes of entries list to out
//   accept(c)               c is the folder's next cluster
template <class Stop, class Taken, class Read, class IsEntries, class IsEnd, class Account, class Accept>
void ReadOn(uint32_t last, uint32_t maxCluster, uint32_t cs, size_t maxClusters, std::vector<BYTE>& out, Stop stop,
            Taken taken, Read read, IsEntries isEntries, IsEnd isEnd, Account account, Accept accept)
{
    CSpans spans;
    account(out.data(), out.size(), spans);
    const size_t maxGap = (size_t)std::min<uint64_t>(kMaxGapClusters, std::max<uint64_t>(16, kMaxGapBytes / cs));
    std::vector<BYTE> buf(cs);
    std::vector<uint32_t> gap;
    uint64_t steps = 0;
    for (uint64_t c = std::max<uint64_t>(last, spans.MaxEnd()) + 1;
         c >= 2 && c <= maxCluster && out.size() / cs < maxClusters;)
    {
        if (++steps > kMaxSteps || stop())
            return;
        const uint32_t end = spans.EndOf((uint32_t)c);
        if (end)
        {
            c = (uint64_t)end + 1;
            continue;
        }
        if (taken((uint32_t)c))
        {
            ++c;
            continue;
        }
        if (!read((uint32_t)c, buf.data()))
            return;
        if (!isEntries(buf.data()))
        {
            gap.push_back((uint32_t)c);
            if (gap.size() > maxGap)
                return;
            ++c;
            continue;
        }
        // What the new cluster lists (with the cluster before it, for entry
        // sets that cross into it) must account for the clusters stepped over.
        const size_t tail = std::min<size_t>(out.size(), cs);
        std::vector<BYTE> recent(out.end() - tail, out.end());
        recent.insert(recent.end(), buf.begin(), buf.end());
        CSpans fresh;
        account(recent.data(), recent.size(), fresh);
        for (uint32_t g : gap)
            if (!fresh.EndOf(g))
                return;
        account(recent.data(), recent.size(), spans);
        gap.clear();
        out.insert(out.end(), buf.begin(), buf.end());
        accept((uint32_t)c);
        steps = 0;
        if (isEnd(buf.data()))
            return;
        c = std::max<uint64_t>(c, spans.MaxEnd()) + 1;
    }
}
}  // namespace dirreadon
