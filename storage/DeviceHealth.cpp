#include "storage/DeviceHealth.h"

#include <algorithm>
#include <cstring>

#include "core/Log.h"
#include "storage/DeviceIo.h"

namespace
{
const uint64_t kPieceBytes = 64 * 1024;
const uint64_t kNoPlace = ~0ull;

bool IsUnit(DWORD unit) { return unit != 0 && (unit & (unit - 1)) == 0 && unit <= (1u << 20); }
}  // namespace

struct CDeviceHealth::Request
{
    HANDLE device;
    uint64_t offset;  // device offset of buffer[0]
    BYTE* buffer;
    DWORD unit;
    uint64_t limit;  // device length, 0 when unknown
    Outcome* out;
    BYTE* At(uint64_t devOffset) const { return buffer + (size_t)(devOffset - offset); }
};

CDeviceHealth::CDeviceHealth(IDeviceHealthSink* sink)
    : m_pSink(sink),
      m_bAnyBad(false),
      m_u64FirstGood(kNoPlace),
      m_u64LastGood(kNoPlace),
      m_bAnyGood(false),
      m_bGone(false),
      m_u64GoneAt(0),
      m_bOutOfTime(false),
      m_u64Unreadable(0),
      m_u64FailedReads(0),
      m_u64FailedMs(0),
      m_dwBaseMs(kBudgetBaseMs),
      m_dwMsPerMiB(kBudgetMsPerMiB)
{
    InitializeCriticalSection(&m_cs);
    InitializeSRWLock(&m_mapLock);
}

CDeviceHealth::~CDeviceHealth() { DeleteCriticalSection(&m_cs); }

void CDeviceHealth::SetTimeBudget(DWORD baseMs, DWORD msPerMiB)
{
    EnterCriticalSection(&m_cs);
    m_dwBaseMs = baseMs;
    m_dwMsPerMiB = msPerMiB;
    LeaveCriticalSection(&m_cs);
}

void CDeviceHealth::ReadWell(uint64_t offset)
{
    AcquireSRWLockExclusive(&m_mapLock);
    if (!m_bAnyGood)
        m_u64FirstGood = offset;
    m_u64LastGood = offset;
    m_bAnyGood = true;
    ReleaseSRWLockExclusive(&m_mapLock);
}

bool CDeviceHealth::KnownBad(uint64_t offset, uint64_t bytes) const
{
    if (!m_bAnyBad.load() || bytes == 0)
        return false;
    bool bad = false;
    AcquireSRWLockShared(&m_mapLock);
    // The first stretch ending after offset decides.
    auto it = std::upper_bound(m_bad.begin(), m_bad.end(), offset,
                               [](uint64_t o, const std::pair<uint64_t, uint64_t>& s) { return o < s.second; });
    bad = it != m_bad.end() && it->first < offset + bytes;
    ReleaseSRWLockShared(&m_mapLock);
    return bad;
}

std::vector<std::pair<uint64_t, uint64_t>> CDeviceHealth::BadStretches() const
{
    AcquireSRWLockShared(&m_mapLock);
    std::vector<std::pair<uint64_t, uint64_t>> copy = m_bad;
    ReleaseSRWLockShared(&m_mapLock);
    return copy;
}

void CDeviceHealth::AddStretch(uint64_t from, uint64_t to)
{
    AcquireSRWLockExclusive(&m_mapLock);
    auto it = std::lower_bound(m_bad.begin(), m_bad.end(), std::make_pair(from, to));
    it = m_bad.insert(it, std::make_pair(from, to));
    // Merge with the neighbours it touches.
    size_t i = (size_t)(it - m_bad.begin());
    if (i > 0 && m_bad[i - 1].second >= m_bad[i].first)
    {
        m_bad[i - 1].second = std::max(m_bad[i - 1].second, m_bad[i].second);
        m_bad.erase(m_bad.begin() + i);
        --i;
    }
    while (i + 1 < m_bad.size() && m_bad[i].second >= m_bad[i + 1].first)
    {
        m_bad[i].second = std::max(m_bad[i].second, m_bad[i + 1].second);
        m_bad.erase(m_bad.begin() + i + 1);
    }
    m_bAnyBad = true;
    ReleaseSRWLockExclusive(&m_mapLock);
}

void CDeviceHealth::TakeOver(const CDeviceHealth& other)
{
    if (&other == this)
        return;
    const std::vector<std::pair<uint64_t, uint64_t>> stretches = other.BadStretches();
    AcquireSRWLockShared(&other.m_mapLock);
    const bool anyGood = other.m_bAnyGood;
    const uint64_t first = other.m_u64FirstGood, last = other.m_u64LastGood;
    ReleaseSRWLockShared(&other.m_mapLock);
    EnterCriticalSection(&m_cs);
    if (anyGood)
    {
        AcquireSRWLockExclusive(&m_mapLock);
        if (!m_bAnyGood)
            m_u64FirstGood = first;
        m_u64LastGood = last;
        m_bAnyGood = true;
        ReleaseSRWLockExclusive(&m_mapLock);
    }
    for (const auto& s : stretches)
    {
        if (KnownBad(s.first, s.second - s.first))
            continue;
        AddStretch(s.first, s.second);
        m_u64Unreadable += s.second - s.first;
        if (m_pSink)
            m_pSink->NoteUnreadable(s.first, s.second - s.first);
    }
    m_u64FailedMs += other.m_u64FailedMs;
    if (other.IsOutOfTime())
        m_bOutOfTime = true;
    if (other.IsGone() && !m_bGone)
    {
        m_u64GoneAt = other.GoneAt();
        m_bGone = true;
        if (m_pSink)
            m_pSink->NoteDeviceGone(other.GoneAt());
    }
    LeaveCriticalSection(&m_cs);
}

bool CDeviceHealth::OverBudget() const
{
    return m_u64FailedMs > (uint64_t)m_dwBaseMs + (uint64_t)m_dwMsPerMiB * (m_u64Unreadable.load() >> 20);
}

bool CDeviceHealth::TryRead(Request& rq, uint64_t from, uint64_t to)
{
    // Only what lies inside the device is asked for.
    uint64_t need = to - from;
    if (rq.limit && to > rq.limit)
        need = from < rq.limit ? rq.limit - from : 0;
    if (need == 0)
        return true;
    const ULONGLONG t0 = GetTickCount64();
    SetLastError(0);
    const DWORD got = ReadAt(rq.device, from, rq.At(from), (DWORD)(to - from));
    if (got >= need)
    {
        rq.out->anyRead = true;
        ReadWell(from);
        return true;
    }
    const DWORD error = GetLastError();
    rq.out->error = error ? error : ERROR_READ_FAULT;
    m_u64FailedMs += GetTickCount64() - t0;
    ++m_u64FailedReads;
    return false;
}

bool CDeviceHealth::Answers(HANDLE device, DWORD unit)
{
    AcquireSRWLockShared(&m_mapLock);
    const bool anyGood = m_bAnyGood;
    const uint64_t places[2] = {m_u64LastGood, m_u64FirstGood};
    ReleaseSRWLockShared(&m_mapLock);
    if (!anyGood)
        return true;  // nothing has read yet to ask again: no verdict against the device
    BYTE* sector = (BYTE*)VirtualAlloc(nullptr, unit, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (!sector)
        return true;
    bool answers = false;
    for (int k = 0; k < 2 && !answers; ++k)
    {
        if (k == 1 && places[1] == places[0])
            break;
        answers = ReadAt(device, places[k] / unit * unit, sector, unit) == unit;
    }
    VirtualFree(sector, 0, MEM_RELEASE);
    return answers;
}

void CDeviceHealth::MarkBad(Request& rq, uint64_t from, uint64_t to)
{
    if (rq.limit && to > rq.limit)
        to = std::max(from, rq.limit);
    if (to <= from)
        return;
    memset(rq.At(from), 0, (size_t)(to - from));
    rq.out->zeroed += to - from;
    AddStretch(from, to);
    m_u64Unreadable += to - from;
    if (m_pSink)
        m_pSink->NoteUnreadable(from, to - from);
    DebugPrint(L"[Delvaro] CDeviceHealth::ReadAround error . unreadable 0x%I64x, %I64u bytes, code %u.\n", from,
               to - from, rq.out->error);
}

bool CDeviceHealth::ReadSpan(Request& rq, uint64_t from, uint64_t to, bool skipWhole)
{
    if (!skipWhole && TryRead(rq, from, to))
        return true;
    const uint64_t unit = rq.unit;
    const uint64_t n = (to - from + unit - 1) / unit;
    auto at = [&](uint64_t i) { return std::min(to, from + i * unit); };
    auto read = [&](uint64_t i, uint64_t j) { return TryRead(rq, at(i), at(j)); };
    // Ends the span here: the rest of it is zeros, not read.
    auto endHere = [&](uint64_t i, bool gone) {
        memset(rq.At(at(i)), 0, (size_t)(to - at(i)));
        rq.out->zeroed += to - at(i);
        if (gone)
        {
            if (!m_bGone)
            {
                m_u64GoneAt = at(i);
                m_bGone = true;
                DebugPrint(L"[Delvaro] CDeviceHealth::ReadAround error . the device stopped answering at 0x%I64x, "
                           L"code %u.\n",
                           at(i), rq.out->error);
                if (m_pSink)
                    m_pSink->NoteDeviceGone(at(i));
            }
            rq.out->gone = true;
        }
        else
        {
            m_bOutOfTime = true;
            rq.out->outOfTime = true;
        }
        return false;
    };
    // After a failed unit read: 1 go on, 0 the device is gone, -1 out of time.
    auto verdict = [&]() -> int {
        if (!Answers(rq.device, rq.unit))
            return 0;
        return OverBudget() ? -1 : 1;
    };
    const uint64_t per = std::max<uint64_t>(1, kPieceBytes / unit);
    for (uint64_t i = 0; i < n;)
    {
        const uint64_t j = std::min(n, (i / per + 1) * per);
        if (read(i, j))
        {
            i = j;
            continue;
        }
        while (i < j && read(i, i + 1))
            ++i;
        if (i == j)
            continue;  // the piece read unit by unit after all
        int v = verdict();
        if (v <= 0)
            return endHere(i, v == 0);
        // Unit i is bad. Known bad units in order; hi: the first unit found to
        // read after them (n: none in this span).
        std::vector<uint64_t> bad(1, i);
        uint64_t lo = i, hi = n;
        for (uint64_t step = 1; lo + 1 < n; step *= 2)
        {
            const uint64_t k = std::min(lo + step, n - 1);
            if (read(k, k + 1))
            {
                hi = k;
                break;
            }
            if ((v = verdict()) <= 0)
                return endHere(i, v == 0);
            lo = k;
            bad.push_back(k);
        }
        while (hi < n && hi - lo > 1)
        {
            const uint64_t mid = lo + (hi - lo) / 2;
            if (read(mid, mid + 1))
            {
                hi = mid;
                continue;
            }
            if ((v = verdict()) <= 0)
                return endHere(i, v == 0);
            lo = mid;
            bad.push_back(mid);
        }
        // What the steps jumped over between two bad units is read once more
        // as a whole; what reads is kept, the rest is taken for bad.
        uint64_t badFrom = i;
        for (size_t m = 0; m + 1 < bad.size(); ++m)
        {
            if (bad[m + 1] - bad[m] < 2)
                continue;
            if (read(bad[m] + 1, bad[m + 1]))
            {
                MarkBad(rq, at(badFrom), at(bad[m] + 1));
                badFrom = bad[m + 1];
                continue;
            }
            if ((v = verdict()) <= 0)
            {
                MarkBad(rq, at(badFrom), at(bad[m] + 1));
                return endHere(bad[m] + 1, v == 0);
            }
        }
        MarkBad(rq, at(badFrom), at(hi));
        i = hi;
    }
    return true;
}

CDeviceHealth::Outcome CDeviceHealth::ReadAround(HANDLE device, uint64_t offset, BYTE* buffer, DWORD bytes,
                                                 DWORD unit, uint64_t limit, bool wholeFailed, DWORD failedMs)
{
    Outcome out;
    if (!buffer || bytes == 0)
        return out;
    if (!IsUnit(unit))
        unit = 512;
    EnterCriticalSection(&m_cs);
    m_u64FailedMs += failedMs;
    const uint64_t end = offset + bytes;
    if (m_bGone || m_bOutOfTime)
    {
        // Nothing more is asked of a device that is gone or out of time.
        memset(buffer, 0, bytes);
        out.zeroed = bytes;
        out.gone = m_bGone;
        out.outOfTime = !m_bGone;
        out.error = ERROR_NOT_READY;
        LeaveCriticalSection(&m_cs);
        return out;
    }
    Request rq = {device, offset, buffer, unit, limit, &out};
    const std::vector<std::pair<uint64_t, uint64_t>> known = BadStretches();
    bool overlapsKnown = false;
    uint64_t pos = offset;
    bool goOn = true;
    for (const auto& s : known)
    {
        if (s.second <= pos)
            continue;
        if (s.first >= end)
            break;
        overlapsKnown = true;
        if (s.first > pos && !ReadSpan(rq, pos, s.first, false))
        {
            pos = s.first;
            goOn = false;
            break;
        }
        const uint64_t badFrom = std::max(pos, s.first);
        const uint64_t badTo = std::min(end, s.second);
        memset(rq.At(badFrom), 0, (size_t)(badTo - badFrom));
        out.zeroed += badTo - badFrom;
        if (!out.error)
            out.error = ERROR_CRC;
        pos = badTo;
    }
    if (goOn && pos < end && !ReadSpan(rq, pos, end, wholeFailed && !overlapsKnown))
        pos = end;  // the span zeroed its own rest
    else if (goOn)
        pos = end;
    if (pos < end)
    {
        // A span ended the read (gone, or out of time): the rest is zeros too.
        memset(rq.At(pos), 0, (size_t)(end - pos));
        out.zeroed += end - pos;
    }
    LeaveCriticalSection(&m_cs);
    return out;
}
