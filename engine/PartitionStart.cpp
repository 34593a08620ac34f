#include "engine/PartitionStart.h"

bool PartitionBootSector(const CPartitionInfo& p, uint64_t* sector)
{
    if (!sector)
        return false;
    uint64_t first = p.m_StartSector;
    // Only found partitions (no table scheme) count from before their boot sector.
    if (p.m_nScheme == 0 && __builtin_add_overflow(first, (uint64_t)p.m_HiddenSectors, &first))
        return false;
    *sector = first;
    return true;
}

bool PartitionBootOffset(const CPartitionInfo& p, uint32_t sectorSize, uint64_t* offset)
{
    if (!offset)
        return false;
    if (sectorSize == 0)
        sectorSize = p.m_uSectorSize ? p.m_uSectorSize : 512;
    uint64_t sector = 0;
    uint64_t bytes = 0;
    if (!PartitionBootSector(p, &sector) || __builtin_mul_overflow(sector, (uint64_t)sectorSize, &bytes))
        return false;
    *offset = bytes;
    return true;
}
