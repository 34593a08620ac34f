// Where a partition's file system starts on its disk. A partition read from a
// table starts at its first sector; a partition found by the lost-partition
// search counts its start from where its boot sector's hidden-sectors value
// counts, so its boot sector lies at start + hidden sectors. Every reader of
// a lost partition (the scan of a found partition, its recovery, a loaded
// result) goes through here.
#pragma once
#include <cstdint>

#include "storage/PartitionTable.h"

// First sector of the file system of `p`; false when the sum does not fit.
bool PartitionBootSector(const CPartitionInfo& p, uint64_t* sector);
// Byte offset of that sector with `sectorSize`-byte sectors (0: the
// partition's own sector size, else 512); false when it does not fit 64 bits.
bool PartitionBootOffset(const CPartitionInfo& p, uint32_t sectorSize, uint64_t* offset);
