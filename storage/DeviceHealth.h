// What the reads of one device have shown: the stretches that would not
// read, places that did, whether the device still answers, and the time
// spent on reads that failed.
//
// A read that fails is taken apart here. The code a failed read returns
// cannot tell a bad sector from a device that was pulled (under Wine both
// come back as ERROR_NOT_READY or ERROR_GEN_FAILURE), so the device is asked
// again for a place it gave before: while it answers, what does not read is
// a bad stretch, zeroed and passed over; when it no longer answers, it is
// gone and nothing more is read from it.
//
// Healthy reads never come here: the readers read as they always do and
// only a failed read pays for what follows.
#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <utility>
#include <vector>

// Who is told, once per stretch, what could not be read.
class IDeviceHealthSink
{
public:
    // A stretch of the device that could not be read; zeros stand in for it.
    virtual void NoteUnreadable(uint64_t offset, uint64_t bytes) = 0;
    // The device stopped answering; this read at this offset found it out.
    virtual void NoteDeviceGone(uint64_t offset) = 0;

protected:
    ~IDeviceHealthSink() {}
};

class CDeviceHealth
{
public:
    // What one read taken apart came to.
    struct Outcome
    {
        bool anyRead = false;     // some bytes of the request came from the device
        uint64_t zeroed = 0;      // bytes of the request that are zeros (bad, gone or given up)
        bool gone = false;        // the device no longer answers
        bool outOfTime = false;   // the failed reads have used up their time; the rest was not read
        DWORD error = 0;          // code of the last failed read
    };

    explicit CDeviceHealth(IDeviceHealthSink* sink = nullptr);
    ~CDeviceHealth();

    // Reads `bytes` at device `offset` into `buffer`, around what will not
    // read: first as a whole (unless the caller has just tried that and it
    // failed, `wholeFailed`), then in pieces of 64 KiB, a failed piece unit by
    // unit (`unit` bytes, the reader's sector). From a bad unit on, units
    // further and further on (1, 2, 4, ... on) are tried until one reads, the
    // end of the bad stretch is narrowed down between the two, and what the
    // steps jumped over is read once more as a whole: a bad stretch costs a
    // few reads and every piece around it that reads is kept. Stretches
    // already known to be bad are not asked again. Bytes at or past `limit`
    // (the device length, 0 when unknown) are not asked for and read as
    // zeros. `failedMs` is what the caller's failed try took.
    Outcome ReadAround(HANDLE device, uint64_t offset, BYTE* buffer, DWORD bytes, DWORD unit, uint64_t limit,
                       bool wholeFailed, DWORD failedMs);

    // A place of the device that has just read well.
    void ReadWell(uint64_t offset);
    // Whether any byte of [offset, offset + bytes) is known not to read.
    bool KnownBad(uint64_t offset, uint64_t bytes) const;

    // What another record of the same device knew: its bad stretches (told
    // to this sink, as new), the places that read, and whether it was gone.
    void TakeOver(const CDeviceHealth& other);

    bool IsGone() const { return m_bGone.load(); }
    uint64_t GoneAt() const { return m_u64GoneAt.load(); }
    bool IsOutOfTime() const { return m_bOutOfTime.load(); }
    uint64_t UnreadableBytes() const { return m_u64Unreadable.load(); }
    uint64_t FailedReads() const { return m_u64FailedReads.load(); }
    // The stretches known bad, sorted and merged.
    std::vector<std::pair<uint64_t, uint64_t>> BadStretches() const;

    // Time the failed reads may take: baseMs plus msPerMiB for every MiB
    // found unreadable, so that a device with many bad stretches gets the
    // time to prove them while one that fails slowly everywhere ends. Past
    // it, a failed read is given up unread (outOfTime).
    static const DWORD kBudgetBaseMs = 30000;
    static const DWORD kBudgetMsPerMiB = 10000;
    void SetTimeBudget(DWORD baseMs, DWORD msPerMiB);

private:
    CDeviceHealth(const CDeviceHealth&);
    CDeviceHealth& operator=(const CDeviceHealth&);

    struct Request;
    bool ReadSpan(Request& rq, uint64_t from, uint64_t to, bool skipWhole);
    bool TryRead(Request& rq, uint64_t from, uint64_t to);
    bool Answers(HANDLE device, DWORD unit);
    bool OverBudget() const;
    void MarkBad(Request& rq, uint64_t from, uint64_t to);
    void AddStretch(uint64_t from, uint64_t to);

    IDeviceHealthSink* m_pSink;
    CRITICAL_SECTION m_cs;      // one read taken apart at a time
    mutable SRWLOCK m_mapLock;  // the bad stretches and the good places
    std::vector<std::pair<uint64_t, uint64_t>> m_bad;
    std::atomic<bool> m_bAnyBad;
    uint64_t m_u64FirstGood;
    uint64_t m_u64LastGood;
    bool m_bAnyGood;
    std::atomic<bool> m_bGone;
    std::atomic<uint64_t> m_u64GoneAt;
    std::atomic<bool> m_bOutOfTime;
    std::atomic<uint64_t> m_u64Unreadable;
    std::atomic<uint64_t> m_u64FailedReads;
    uint64_t m_u64FailedMs;
    DWORD m_dwBaseMs;
    DWORD m_dwMsPerMiB;
};
