// What a scan could not read: the unreadable stretches of the device it
// passed over, and whether (and where) the device stopped answering so that
// the scan ended early. The scan's threads write it while they run; the
// window and the tools read it once the scan has ended, to tell the user.
#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

class CReadTrouble
{
public:
    CReadTrouble();
    ~CReadTrouble();

    // Forgets everything: called when a scan starts.
    void Reset();
    // A stretch of bytes at a device offset that could not be read and was
    // passed over (zeros stood in for it, or the structure it held was
    // skipped). A stretch that starts where the last one ended extends it:
    // one bad area is counted once however it was read.
    void NoteUnreadable(uint64_t offset, uint64_t bytes);
    // The device stopped answering at this offset: the scan ends there and
    // keeps what it found so far. The first offset noted is kept.
    void NoteDeviceGone(uint64_t offset);
    // The scan ended before it had read everything it meant to, for a
    // reason other than a stop the user asked for (a time budget, say).
    void NoteUnfinished();

    uint64_t UnreadableBytes() const { return m_u64Bytes.load(); }
    uint32_t UnreadableAreas() const { return m_uAreas.load(); }
    bool DeviceGone() const { return m_bGone.load(); }
    uint64_t GoneAt() const { return m_u64GoneAt.load(); }
    bool Unfinished() const { return m_bGone.load() || m_bUnfinished.load(); }
    bool Any() const { return m_uAreas.load() != 0 || Unfinished(); }

    // The end-of-scan text for the user, in the interface language (message
    // texts "ScanDeviceGone", "ScanUnfinished" and "ScanUnreadable"); empty
    // when the scan read everything.
    std::wstring Describe() const;
    // The same facts as one plain English line for the tools' output; empty
    // when the scan read everything.
    std::string DescribePlain() const;

private:
    CReadTrouble(const CReadTrouble&);
    CReadTrouble& operator=(const CReadTrouble&);

    mutable CRITICAL_SECTION m_cs;
    uint64_t m_u64LastEnd;
    std::atomic<uint64_t> m_u64Bytes;
    std::atomic<uint32_t> m_uAreas;
    std::atomic<bool> m_bGone;
    std::atomic<uint64_t> m_u64GoneAt;
    std::atomic<bool> m_bUnfinished;
};
