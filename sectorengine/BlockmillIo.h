// Internal to the sector engine (not exported): the read and control calls
// it makes, replaceable by a test that builds the engine's sources into
// itself to play a failing disk; and the SCSI READ(10) request block.
#pragma once
#include <windows.h>
#include <ntddscsi.h>
#include <cstddef>

namespace blockmill {

typedef BOOL (WINAPI* ReadFileFn)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
typedef BOOL (WINAPI* IoControlFn)(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);

// Sectors are 512 bytes for every read the engine makes.
const DWORD kSectorBytes = 512;
// A chunk is one ReadFile: at most this many sectors, so it stays below 4 GiB.
const unsigned int kMaxChunkSectors = 0x7FFFFF;
// READ(10) carries a 16-bit sector count and a 32-bit first sector.
const DWORD kMaxRead10Sectors = 0xFFFF;
const unsigned __int64 kRead10SectorLimit = 0x100000000ull;

extern ReadFileFn g_pfnReadFile;
extern IoControlFn g_pfnIoControl;

// The pass-through block: the request in the layout of this build's own
// pointer size, followed by room for the sense bytes.
struct ScsiReadRequest
{
    SCSI_PASS_THROUGH_DIRECT sptd;
    ULONG filler;
    UCHAR sense[32];
};

// Fills req for READ(10) of count sectors from firstSector into buffer.
// false when count does not fit the command's 16-bit count field.
bool BuildRead10(ScsiReadRequest* req, void* buffer, DWORD firstSector, DWORD count);

}  // namespace blockmill
