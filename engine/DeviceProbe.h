// Telling a bad sector from a device that is gone. Under Wine a sector that
// will not read and a pulled device give the same error codes (and on
// Windows a pulled stick may answer as a bad sector does), so the walks ask
// the device again for sectors it gave before: a device that answers none
// of them is gone, one that answers has bad sectors where the read failed.
#pragma once
#include <windows.h>

#include <cstdint>
#include <vector>

class IScanWalkHost;

class CDeviceProbe
{
public:
    // sectorBytes: the size of one read of a place (the device's sector).
    CDeviceProbe(HANDLE device, uint32_t sectorBytes);
    void SetDevice(HANDLE device, uint32_t sectorBytes);
    // A place (a sector-aligned device offset) that read well. The first
    // place is kept for good, later ones in a ring of a few.
    void Good(uint64_t offset);
    // Asks the device again for the places that read before; true when one
    // of them still reads (or none is known).
    bool StillAnswers();

    // After a read of [offset, offset + bytes) failed: false with the
    // device noted as gone when it no longer answers (the walk then ends);
    // else the stretch is noted as unreadable and the result is true.
    bool NoteFailedRead(IScanWalkHost& host, uint64_t offset, uint64_t bytes);

    // Reads bytes at offset (a whole number of sectors). Where the read
    // fails as a whole, sector by sector: each sector that does not read is
    // filled with `fill` (fillBytes long, repeated) and noted as unreadable.
    // Returns the sectors that read; 0 when none did (noted as unreadable,
    // or the device noted as gone). firstBad, when given, tells whether the
    // first sector was among those that did not read.
    uint32_t ReadCarefully(IScanWalkHost& host, uint64_t offset, BYTE* buffer, uint32_t bytes, const BYTE* fill,
                           uint32_t fillBytes, bool* firstBad = nullptr);

private:
    HANDLE m_hDevice;
    uint32_t m_uSector;
    std::vector<uint64_t> m_places;
    size_t m_next = 1;
};
