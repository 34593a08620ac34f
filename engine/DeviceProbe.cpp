#include "engine/DeviceProbe.h"

#include <algorithm>
#include <cstring>

#include "engine/ScanWalkHost.h"
#include "storage/DeviceIo.h"

namespace
{
const size_t kPlaces = 4;
}

CDeviceProbe::CDeviceProbe(HANDLE device, uint32_t sectorBytes) { SetDevice(device, sectorBytes); }

void CDeviceProbe::SetDevice(HANDLE device, uint32_t sectorBytes)
{
    m_hDevice = device;
    m_uSector = sectorBytes >= 512 && sectorBytes <= 65536 ? sectorBytes : 512;
    m_places.clear();
    m_next = 1;
}

void CDeviceProbe::Good(uint64_t offset)
{
    offset = offset / m_uSector * m_uSector;
    if (std::find(m_places.begin(), m_places.end(), offset) != m_places.end())
        return;
    if (m_places.size() < kPlaces)
    {
        m_places.push_back(offset);
        return;
    }
    m_places[m_next] = offset;
    m_next = m_next + 1 < kPlaces ? m_next + 1 : 1;
}

bool CDeviceProbe::StillAnswers()
{
    if (m_places.empty())
        return true;
    std::vector<BYTE> sector(m_uSector);
    for (uint64_t place : m_places)
        if (ReadAt(m_hDevice, place, sector.data(), m_uSector) == m_uSector)
            return true;
    return false;
}

bool CDeviceProbe::NoteFailedRead(IScanWalkHost& host, uint64_t offset, uint64_t bytes)
{
    if (!StillAnswers())
    {
        host.NoteDeviceGone(offset);
        return false;
    }
    host.NoteUnreadable(offset, bytes);
    return true;
}

uint32_t CDeviceProbe::ReadCarefully(IScanWalkHost& host, uint64_t offset, BYTE* buffer, uint32_t bytes,
                                     const BYTE* fill, uint32_t fillBytes, bool* firstBad)
{
    if (firstBad)
        *firstBad = false;
    if (!buffer || !bytes)
        return 0;
    const uint32_t sectors = (bytes + m_uSector - 1) / m_uSector;
    if (ReadAt(m_hDevice, offset, buffer, bytes) == bytes)
    {
        Good(offset);
        return sectors;
    }
    uint32_t good = 0;
    std::vector<std::pair<uint64_t, uint64_t>> bad;
    for (uint32_t i = 0; i < sectors; ++i)
    {
        const uint32_t at = i * m_uSector;
        const uint32_t n = std::min<uint32_t>(m_uSector, bytes - at);
        if (ReadAt(m_hDevice, offset + at, buffer + at, n) == n)
        {
            Good(offset + at);
            ++good;
            continue;
        }
        for (uint32_t k = 0; k < n; ++k)
            buffer[at + k] = fill && fillBytes ? fill[k % fillBytes] : 0;
        if (i == 0 && firstBad)
            *firstBad = true;
        if (!bad.empty() && bad.back().first + bad.back().second == offset + at)
            bad.back().second += n;
        else
            bad.push_back({offset + at, n});
    }
    if (good == 0)
    {
        NoteFailedRead(host, offset, bytes);
        return 0;
    }
    for (const auto& b : bad)
        host.NoteUnreadable(b.first, b.second);
    return good;
}
