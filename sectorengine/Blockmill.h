// Sector engine: static sector and chunk reads that step over unreadable
// areas and fill them with a pattern, plus the setters of that policy.
#pragma once
#include <windows.h>
#include <string>

#if defined(BLOCKMILL_BUILD)
#define BLOCKMILL_API __declspec(dllexport)
#else
#define BLOCKMILL_API __declspec(dllimport)
#endif

class BLOCKMILL_API Blockmill
{
public:
    Blockmill();
    ~Blockmill();
    Blockmill& operator=(const Blockmill&);

    // Probes the sector size by reads of 512 to 4096 bytes at the current
    // position; the position is restored. 512 when nothing answers.
    static unsigned int ComputeSectorSize(HANDLE hDevice);
    static void EnableSkip(int bSkip);
    // Fills length bytes with the bad-sector pattern (zeros when empty); 1.
    static int FillBadBlocks(void* buffer, DWORD length);
    static BOOL GetAlignMaskFromDevice(HANDLE hDevice, DWORD* alignMask, DWORD* maxTransfer);
    // Sets the whole bad-sector policy at start-up; the last argument is unused.
    static void InitValue(int bSkip, unsigned int sectors, const wchar_t* pattern, void* reserved);
    // Reads in chunks; a chunk that fails with a CRC error is replaced by the
    // pattern and skipped. TRUE only when every byte was read.
    static BOOL ReadDataEx(HANDLE hDevice, void* buffer, DWORD length, DWORD* read, OVERLAPPED* ov);
    // Pass-through read from the current position; always returns FALSE.
    static BOOL ReadFile_SCSI(HANDLE hDevice, void* buffer, DWORD length);
    // One SCSI READ(10) of count sectors from first.
    static bool ReadSector(HANDLE hDevice, void* buffer, DWORD firstSector, DWORD count);
    static void SetBadSectorValue(const wchar_t* pattern);
    static void SetSkipNums(unsigned int sectors);

    static int m_bSkipBadSector;
    static unsigned int m_uSkipBadSectorNums;
    static unsigned int m_uChunkSize;
    static std::wstring m_strFillBadSectorValue;
};
