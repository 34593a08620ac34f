#include "sectorengine/Blockmill.h"

#include <winioctl.h>
#include <ntddscsi.h>
#include <cstring>
#include <vector>

#include "sectorengine/BlockmillIo.h"

namespace blockmill {
ReadFileFn g_pfnReadFile = &ReadFile;
IoControlFn g_pfnIoControl = &DeviceIoControl;

bool BuildRead10(ScsiReadRequest* req, void* buffer, DWORD firstSector, DWORD count)
{
    if (!req || count > kMaxRead10Sectors)
        return false;
    memset(req, 0, sizeof(*req));
    SCSI_PASS_THROUGH_DIRECT& s = req->sptd;
    s.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
    s.PathId = 0;
    s.TargetId = 1;
    s.Lun = 0;
    s.CdbLength = 10;
    s.SenseInfoLength = 24;
    s.DataIn = SCSI_IOCTL_DATA_IN;
    s.DataTransferLength = count * kSectorBytes;
    s.TimeOutValue = 2;
    s.DataBuffer = buffer;
    s.SenseInfoOffset = (ULONG)offsetof(ScsiReadRequest, sense);
    s.Cdb[0] = 0x28;
    s.Cdb[2] = (UCHAR)(firstSector >> 24);
    s.Cdb[3] = (UCHAR)(firstSector >> 16);
    s.Cdb[4] = (UCHAR)(firstSector >> 8);
    s.Cdb[5] = (UCHAR)firstSector;
    s.Cdb[7] = (UCHAR)(count >> 8);
    s.Cdb[8] = (UCHAR)count;
    return true;
}
}  // namespace blockmill

using namespace blockmill;

int Blockmill::m_bSkipBadSector = 1;
unsigned int Blockmill::m_uSkipBadSectorNums = 32;
unsigned int Blockmill::m_uChunkSize = 16384;
std::wstring Blockmill::m_strFillBadSectorValue = L"UNREADABLESECTOR";

namespace {
bool IsUsable(HANDLE h)
{
    return h != NULL && h != INVALID_HANDLE_VALUE;
}

// Codes a failed read of sectors can carry besides ERROR_CRC, when the
// sectors will not read but the device is still there.
bool IsSectorError(DWORD error)
{
    return error == ERROR_NOT_READY || error == ERROR_GEN_FAILURE || error == ERROR_READ_FAULT ||
           error == ERROR_SECTOR_NOT_FOUND || error == ERROR_IO_DEVICE;
}

bool MoveFilePos(HANDLE h, LONGLONG distance, DWORD method, LONGLONG* newPos = NULL)
{
    LARGE_INTEGER li, out;
    li.QuadPart = distance;
    if (!SetFilePointerEx(h, li, &out, method))
        return false;
    if (newPos)
        *newPos = out.QuadPart;
    return true;
}
}  // namespace

Blockmill::Blockmill() {}
Blockmill::~Blockmill() {}
Blockmill& Blockmill::operator=(const Blockmill&) { return *this; }

void Blockmill::EnableSkip(int bSkip)
{
    m_bSkipBadSector = bSkip;
}

void Blockmill::SetSkipNums(unsigned int sectors)
{
    // Kept below 4 GiB per chunk: a chunk is one ReadFile.
    if (sectors > kMaxChunkSectors)
        sectors = kMaxChunkSectors;
    m_uSkipBadSectorNums = sectors;
    m_uChunkSize = sectors * kSectorBytes;
}

void Blockmill::SetBadSectorValue(const wchar_t* pattern)
{
    if (pattern)
        m_strFillBadSectorValue = pattern;
}

void Blockmill::InitValue(int bSkip, unsigned int sectors, const wchar_t* pattern, void*)
{
    EnableSkip(bSkip);
    SetSkipNums(sectors);
    SetBadSectorValue(pattern);
}

int Blockmill::FillBadBlocks(void* buffer, DWORD length)
{
    if (!buffer || length == 0)
        return 1;
    unsigned char* out = (unsigned char*)buffer;
    std::string text;
    if (!m_strFillBadSectorValue.empty()) {
        int n = WideCharToMultiByte(CP_THREAD_ACP, 0, m_strFillBadSectorValue.c_str(),
                                    (int)m_strFillBadSectorValue.size(), NULL, 0, NULL, NULL);
        if (n > 0) {
            text.resize(n);
            n = WideCharToMultiByte(CP_THREAD_ACP, 0, m_strFillBadSectorValue.c_str(),
                                    (int)m_strFillBadSectorValue.size(), &text[0], n, NULL, NULL);
            text.resize(n > 0 ? n : 0);
        }
    }
    // No pattern, or one that has no form in this code page: zeros.
    if (text.empty()) {
        memset(out, 0, length);
        return 1;
    }
    // The pattern's length is that of its converted bytes, so a pattern whose
    // 8-bit form is shorter than its wide form is never read past its end.
    const DWORD L = (DWORD)text.size();
    if (L < length) {
        DWORD whole = length / L;
        for (DWORD i = 0; i < whole; ++i)
            memcpy(out + (size_t)i * L, text.data(), L);
        memcpy(out + (size_t)whole * L, text.data(), length % L);
    } else {
        memcpy(out, text.data(), length);
    }
    return 1;
}

unsigned int Blockmill::ComputeSectorSize(HANDLE hDevice)
{
    unsigned char* buf = (unsigned char*)VirtualAlloc(NULL, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (!buf)
        return 512;
    unsigned int result = 512;
    LONGLONG consumed = 0;
    static const DWORD sizes[] = {512, 1024, 2048, 4096};
    for (int i = 0; i < 4; ++i) {
        DWORD got = 0;
        BOOL ok = g_pfnReadFile(hDevice, buf, sizes[i], &got, NULL);
        if (got <= sizes[i])
            consumed += got;
        if (ok && got == sizes[i]) {
            result = sizes[i];
            break;
        }
    }
    if (consumed)
        MoveFilePos(hDevice, -consumed, FILE_CURRENT);
    VirtualFree(buf, 0, MEM_RELEASE);
    return result;
}

BOOL Blockmill::ReadDataEx(HANDLE hDevice, void* buffer, DWORD length, DWORD* read, OVERLAPPED* ov)
{
    if (!IsUsable(hDevice))
        return FALSE;
    const DWORD chunk = m_uChunkSize;
    if (!m_bSkipBadSector || chunk == 0)
        return g_pfnReadFile(hDevice, buffer, length, read, ov);
    if (!read)
        return FALSE;
    *read = 0;
    if (!buffer && length)
        return FALSE;

    // Every chunk is read from its own offset, start + i x chunk, into its own
    // place in the buffer, whatever a failed read did to the file pointer.
    LONGLONG start = 0;
    if (!MoveFilePos(hDevice, 0, FILE_CURRENT, &start))
        return FALSE;
    unsigned char* out = (unsigned char*)buffer;
    const DWORD n = length / chunk;
    const DWORD r = length % chunk;
    bool reposition = false;
    bool stopped = false;
    bool filled = false;
    // The last chunk of this call that read whole, to ask the device again
    // when a chunk fails with a code that a bad sector and a pulled device
    // share (under Wine a bad sector gives ERROR_NOT_READY).
    DWORD lastGood = n;
    auto stillAnswers = [&](DWORD error) -> bool {
        if (lastGood == n || !MoveFilePos(hDevice, start + (LONGLONG)lastGood * chunk, FILE_BEGIN))
            return false;
        // Its own first sector again, into its own place: the same bytes.
        DWORD again = 0;
        const BOOL answered = g_pfnReadFile(hDevice, out + (size_t)lastGood * chunk, kSectorBytes, &again, NULL);
        SetLastError(error);
        return answered && again == kSectorBytes;
    };
    for (DWORD i = 0; i < n && !stopped; ++i) {
        const LONGLONG at = start + (LONGLONG)i * chunk;
        if (reposition && !MoveFilePos(hDevice, at, FILE_BEGIN))
            return FALSE;
        reposition = false;
        DWORD got = 0;
        BOOL ok = g_pfnReadFile(hDevice, out + (size_t)i * chunk, chunk, &got, NULL);
        const DWORD error = ok ? 0 : GetLastError();
        if (ok && got == chunk)
            lastGood = i;
        if (!ok && (error == ERROR_CRC || (IsSectorError(error) && stillAnswers(error)))) {
            // Unreadable: the chunk gets the pattern and is stepped over.
            FillBadBlocks(out + (size_t)i * chunk, chunk);
            reposition = true;
            filled = true;
            continue;
        }
        if (got > chunk)
            got = chunk;
        *read += got;
        if (!ok)
            stopped = true;  // not a media error, or the device no longer answers: gone or refused
        else if (got < chunk)
            reposition = true;
    }
    if (!stopped && r > 0) {
        if (reposition && !MoveFilePos(hDevice, start + (LONGLONG)n * chunk, FILE_BEGIN))
            return FALSE;
        DWORD got = 0;
        BOOL ok = g_pfnReadFile(hDevice, out + (size_t)n * chunk, r, &got, NULL);
        const DWORD error = ok ? 0 : GetLastError();
        if (!ok && (error == ERROR_CRC || (IsSectorError(error) && stillAnswers(error)))) {
            FillBadBlocks(out + (size_t)n * chunk, r);
            got = 0;
            filled = true;
        }
        if (got <= r)
            *read += got;
    }
    // Stepping over an unreadable area leaves the file pointer after the
    // whole range, as if it had been read.
    if (filled && !stopped)
        MoveFilePos(hDevice, start + (LONGLONG)length, FILE_BEGIN);
    return *read == length;
}

bool Blockmill::ReadSector(HANDLE hDevice, void* buffer, DWORD firstSector, DWORD count)
{
    if (!hDevice || !buffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    ScsiReadRequest req;
    if (!BuildRead10(&req, buffer, firstSector, count)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    DWORD returned = 0;
    return g_pfnIoControl(hDevice, IOCTL_SCSI_PASS_THROUGH_DIRECT, &req, sizeof(req), &req,
                          sizeof(req), &returned, NULL) != FALSE;
}

BOOL Blockmill::GetAlignMaskFromDevice(HANDLE hDevice, DWORD* alignMask, DWORD* maxTransfer)
{
    if (alignMask)
        *alignMask = 0;
    const STORAGE_PROPERTY_ID ids[2] = {StorageAdapterProperty, StorageDeviceProperty};
    std::vector<unsigned char> adapter;
    bool adapterOk = false;
    for (int k = 0; k < 2; ++k) {
        STORAGE_PROPERTY_QUERY query;
        memset(&query, 0, sizeof(query));
        query.PropertyId = ids[k];
        query.QueryType = PropertyStandardQuery;
        STORAGE_DESCRIPTOR_HEADER header;
        memset(&header, 0, sizeof(header));
        DWORD returned = 0;
        if (!g_pfnIoControl(hDevice, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof(query), &header,
                            sizeof(header), &returned, NULL)) {
            DWORD e = GetLastError();
            if (e != ERROR_MORE_DATA && e != ERROR_INVALID_FUNCTION && e != ERROR_NOT_SUPPORTED)
                return FALSE;
            memset(&header, 0, sizeof(header));
        }
        DWORD size = header.Size;
        if (size < sizeof(STORAGE_ADAPTER_DESCRIPTOR))
            size = sizeof(STORAGE_ADAPTER_DESCRIPTOR);
        if (size < sizeof(STORAGE_DEVICE_DESCRIPTOR))
            size = sizeof(STORAGE_DEVICE_DESCRIPTOR);
        if (size > 65536)
            size = 65536;
        std::vector<unsigned char> desc(size, 0);
        returned = 0;
        if (g_pfnIoControl(hDevice, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof(query), &desc[0], size,
                           &returned, NULL)) {
            if (k == 0 && returned >= offsetof(STORAGE_ADAPTER_DESCRIPTOR, MaximumPhysicalPages)) {
                adapter.swap(desc);
                adapterOk = true;
            }
        } else {
            DWORD e = GetLastError();
            if (e != ERROR_MORE_DATA && e != ERROR_INVALID_FUNCTION && e != ERROR_NOT_SUPPORTED)
                return FALSE;
        }
    }
    if (adapterOk) {
        const STORAGE_ADAPTER_DESCRIPTOR* d = (const STORAGE_ADAPTER_DESCRIPTOR*)&adapter[0];
        if (alignMask)
            *alignMask = d->AlignmentMask;
        if (maxTransfer)
            *maxTransfer = d->MaximumTransferLength;
    }
    return TRUE;
}

BOOL Blockmill::ReadFile_SCSI(HANDLE hDevice, void* buffer, DWORD length)
{
    if (!IsUsable(hDevice))
        return FALSE;
    DWORD mask = 0, maxTransfer = 0;
    GetAlignMaskFromDevice(hDevice, &mask, &maxTransfer);
    LONGLONG pos = 0;
    if (!MoveFilePos(hDevice, 0, FILE_CURRENT, &pos))
        return FALSE;
    // Positions are 64-bit; READ(10) addresses 32-bit sectors, so a transfer
    // that would pass sector 2^32 is not issued rather than wrapped.
    unsigned __int64 sector = (unsigned __int64)pos / kSectorBytes;
    const DWORD unitSectors =
        maxTransfer / kSectorBytes > kMaxRead10Sectors ? kMaxRead10Sectors : maxTransfer / kSectorBytes;
    if (unitSectors > 0 && buffer) {
        const DWORD unitBytes = unitSectors * kSectorBytes;
        const DWORD units = length / unitBytes;
        unsigned char* out = (unsigned char*)buffer;
        for (DWORD i = 0; i < units; ++i) {
            if (sector + unitSectors > kRead10SectorLimit)
                break;
            ReadSector(hDevice, out + (size_t)i * unitBytes, (DWORD)sector, unitSectors);
            sector += unitSectors;
        }
    }
    MoveFilePos(hDevice, (LONGLONG)length, FILE_CURRENT);
    return FALSE;
}
