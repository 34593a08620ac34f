#include "storage/PartitionTable.h"

#include <objbase.h>
#include <winioctl.h>
#include <cstdio>
#include <cstring>

#include "core/Log.h"
#include "storage/DeviceIo.h"

#include <zlib.h>

namespace {

const unsigned int kSector = 512;

unsigned int Crc32(const unsigned char* data, size_t size)
{
    return (unsigned int)crc32(0L, data, (uInt)size);
}

bool HasBootSignature(const unsigned char* sector)
{
    return sector[510] == 0x55 && sector[511] == 0xAA;
}

// A partition table's four status bytes are 0x00 or 0x80. Anything else
// means sector 0 is a volume's own boot sector (a disk formatted without a
// partition table) whose boot code merely happens to sit where the entries
// would be; reading it as a table would list garbage partitions.
bool IsValidStatus(unsigned char status)
{
    return status == 0x00 || status == 0x80;
}

// Whether sector 0 reads as a table at all: some used entry has a proper
// status byte, or an odd one whose start holds a file system (see
// OddStatusEntryHoldsFileSystem). A boot sector of a file system also ends
// in 0x55 0xAA, but its bytes there are code or zeros, not entries that
// lead to volumes.
bool IsExtendedType(unsigned char type)
{
    return type == 0x05 || type == 0x0F;
}

bool AllZero(const unsigned char* p, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        if (p[i])
            return false;
    return true;
}

}  // namespace

int DetectFileSystem(const unsigned char* bs)
{
    if (!bs)
        return FS_UNKNOWN;
    if (memcmp(bs + 3, "NTFS    ", 8) == 0)
        return FS_NTFS;
    if (memcmp(bs + 3, "EXFAT   ", 8) == 0)
        return FS_EXFAT;
    // FAT: the usual OEM names of Windows' own format, or any OEM name (other
    // formatters and cameras write their own) over a plausible boot record.
    const bool windowsOem = memcmp(bs + 3, "MSDOS5.0", 8) == 0 || memcmp(bs + 3, "MSWIN4.0", 8) == 0 ||
                            memcmp(bs + 3, "MSWIN4.1", 8) == 0;
    const unsigned int bps = bs[11] | (bs[12] << 8);
    const unsigned int spc = bs[13];
    const unsigned int reserved = bs[14] | (bs[15] << 8);
    const bool plausibleBpb = bps >= 512 && bps <= 4096 && (bps & (bps - 1)) == 0 && spc != 0 &&
                              (spc & (spc - 1)) == 0 && reserved != 0 && bs[16] >= 1 && bs[16] <= 2;
    if (windowsOem || plausibleBpb) {
        if (memcmp(bs + 54, "FAT16   ", 8) == 0)
            return FS_FAT16;
        if (memcmp(bs + 82, "FAT32   ", 8) == 0)
            return FS_FAT32;
    }
    return FS_UNKNOWN;
}

namespace {
const unsigned int kStandardGptEntries = 128;
const unsigned int kSectorSizes[] = {512, 1024, 2048, 4096};
}  // namespace

unsigned int BootSectorBytesPerSector(const unsigned char* bs)
{
    const int code = DetectFileSystem(bs);
    unsigned int bytes = 0;
    if (code == FS_EXFAT)
        bytes = bs[108] >= 9 && bs[108] <= 12 ? 1u << bs[108] : 0;
    else if (code != FS_UNKNOWN)
        bytes = bs[11] | (bs[12] << 8);
    for (unsigned int size : kSectorSizes)
        if (bytes == size)
            return bytes;
    return 0;
}

unsigned int DetectDiskSectorSize(HANDLE h)
{
    if (h == NULL || h == INVALID_HANDLE_VALUE)
        return kSector;
    // The reads below go in whole units of the largest sector size, which a
    // disk of any sector size accepts.
    const DWORD align = 4096;
    unsigned char buf[kSector];
    for (unsigned int size : kSectorSizes)
        if (ReadAtAligned(h, size, buf, kSector, align) == kSector && memcmp(buf, "EFI PART", 8) == 0)
            return size;
    unsigned char mbr[kSector];
    if (ReadAtAligned(h, 0, mbr, kSector, align) == kSector) {
        if (HasBootSignature(mbr)) {
            for (int i = 0; i < 4; ++i) {
                const unsigned char* e = mbr + 0x1BE + 16 * i;
                const unsigned __int64 first = Le32(e + 8);
                if (e[4] == 0 || IsExtendedType(e[4]) || e[4] == 0xEE || first == 0 || Le32(e + 12) == 0)
                    continue;
                for (unsigned int size : kSectorSizes) {
                    unsigned char bs[kSector];
                    if (ReadAtAligned(h, first * size, bs, kSector, align) == kSector &&
                        BootSectorBytesPerSector(bs) == size)
                        return size;
                }
            }
            // A volume without a partition table: its own boot sector.
            if (const unsigned int own = BootSectorBytesPerSector(mbr))
                return own;
        }
    }
    DISK_GEOMETRY geometry;
    DWORD got = 0;
    if (StorageDeviceIoControl(h, IOCTL_DISK_GET_DRIVE_GEOMETRY, NULL, 0, &geometry, sizeof(geometry), &got) &&
        got >= sizeof(geometry))
        for (unsigned int size : kSectorSizes)
            if (geometry.BytesPerSector == size)
                return size;
    return kSector;
}

CPartitionInfo::CPartitionInfo()
    : m_nDiskNumber(-1), m_bActive(FALSE), m_bLogical(FALSE), m_nType(0), m_nScheme(1), m_uSectorSize(kSector),
      m_StartSector(0), m_SectorCount(0), m_HiddenSectors(0), m_bPastDiskEnd(FALSE),
      m_bUnverified(FALSE)
{
}

std::wstring CPartitionInfo::GetSizeText() const
{
    if (m_SectorCount == 0)
        return std::wstring();
    const unsigned __int64 sectorSize = m_uSectorSize ? m_uSectorSize : kSector;
    const unsigned __int64 mb =
        m_SectorCount > ~0ull / sectorSize ? ~0ull / 1048576ull : m_SectorCount * sectorSize / 1048576ull;
    float gb = (float)mb / 1024.0f;
    wchar_t text[64];
    if (gb < 1.0f)
        swprintf(text, 64, L"%d MB", (int)mb);
    else
        swprintf(text, 64, L"%.02f GB", gb);
    return text;
}

CPartitionTable::CPartitionTable()
    : m_nScheme(SCHEME_MBR), m_uSectorSize(kSector), m_bUsedBackupGpt(0), m_bUnverifiedGpt(0)
{
}

CPartitionTable::~CPartitionTable()
{
    DeleteAll();
}

void CPartitionTable::DeleteAll()
{
    for (size_t i = 0; i < m_Items.size(); ++i)
        delete m_Items[i];
    m_Items.clear();
}

CPartitionInfo* CPartitionTable::GetAt(int index) const
{
    if (index < 0 || index >= (int)m_Items.size())
        return NULL;
    return m_Items[index];
}

unsigned char* CPartitionTable::ReadSectors(HANDLE hDisk, unsigned __int64 sector, unsigned int count)
{
    if (count == 0 || count > kMaxGptArrayBytes / m_uSectorSize + 1)
        return NULL;
    if (sector > (~0ull) / m_uSectorSize)
        return NULL;
    const DWORD size = count * m_uSectorSize;
    unsigned char* buf = new (std::nothrow) unsigned char[size];
    if (!buf)
        return NULL;
    if (ReadAtAligned(hDisk, sector * m_uSectorSize, buf, size, m_uSectorSize) != size) {
        delete[] buf;
        return NULL;
    }
    return buf;
}

unsigned __int64 CPartitionTable::GetDiskSectors(HANDLE hDisk)
{
    return QueryDeviceLength(hDisk, 1) / m_uSectorSize;
}

int CPartitionTable::ReadFromDisk(int diskNumber)
{
    HANDLE h = OpenRawReadOnly(PhysicalDrivePath(diskNumber).c_str(), FILE_ATTRIBUTE_READONLY);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    int result = ReadFromHandle(h);
    CloseHandle(h);
    for (CPartitionInfo* p : m_Items)
        if (p)
            p->m_nDiskNumber = diskNumber;
    return result;
}

void CPartitionTable::AddMbrEntry(HANDLE hDisk, const unsigned char* e, unsigned __int64 start,
                                  BOOL bLogical)
{
    CPartitionInfo* info = new (std::nothrow) CPartitionInfo;
    if (!info)
        return;
    info->m_bActive = e[0] == 0x80;
    info->m_bLogical = bLogical;
    info->m_nType = e[4];
    info->m_nScheme = SCHEME_MBR;
    info->m_uSectorSize = m_uSectorSize;
    info->m_StartSector = start;
    info->m_SectorCount = Le32(e + 12);
    unsigned char* bs = ReadSectors(hDisk, start, 1);
    if (bs) {
        info->m_HiddenSectors = Le32(bs + 0x1C);
        delete[] bs;
    }
    m_Items.push_back(info);
}

int CPartitionTable::ReadFromHandle(HANDLE hDisk)
{
    DeleteAll();
    m_nScheme = SCHEME_MBR;
    m_bUsedBackupGpt = 0;
    m_bUnverifiedGpt = 0;
    m_uSectorSize = kSector;
    if (hDisk == NULL || hDisk == INVALID_HANDLE_VALUE)
        return 0;
    // Every sector number of the table counts sectors of the disk's own size.
    m_uSectorSize = DetectDiskSectorSize(hDisk);
    unsigned char* sector0 = ReadSectors(hDisk, 0, 1);
    if (!sector0)
        return 0;
    unsigned char mbr[kSector];
    memcpy(mbr, sector0, kSector);
    delete[] sector0;
    if (!HasBootSignature(mbr))
        return 0;

    std::vector<unsigned __int64> visited;
    visited.push_back(0);
    bool gptDone = false;
    // Every entry is judged by one rule, whatever its neighbours hold: a
    // proper status byte, or an odd one over a file system.
    bool anyUsed = false, anyTaken = false;
    for (int i = 0; i < 4; ++i) {
        const unsigned char* e = mbr + 0x1BE + 16 * i;
        const unsigned char type = e[4];
        if (type == 0)
            continue;
        const unsigned int first = Le32(e + 8);
        const unsigned int count = Le32(e + 12);
        if (count == 0)
            break;
        anyUsed = true;
        if (!IsValidStatus(e[0]) && !OddStatusEntryHoldsFileSystem(hDisk, e, first)) {
            DebugPrint(L"[Delvaro] CPartitionTable: MBR entry %d with status 0x%02x passed over\n", i, e[0]);
            continue;
        }
        anyTaken = true;
        if (type == 0xEE) {
            m_nScheme = SCHEME_GPT;
            if (!gptDone) {
                gptDone = true;
                ReadGpt(hDisk);
            }
        } else if (IsExtendedType(type)) {
            ReadExtendedChain(hDisk, first, first, visited);
        } else {
            m_nScheme = SCHEME_MBR;
            AddMbrEntry(hDisk, e, first, FALSE);
        }
    }
    // Used entries of which none holds: sector 0 is no partition table.
    if (anyUsed && !anyTaken) {
        DeleteAll();
        m_nScheme = SCHEME_MBR;
        return 0;
    }
    // Entries that claim more than the disk holds are marked.
    const unsigned __int64 diskSectors = GetDiskSectors(hDisk);
    for (size_t i = 0; diskSectors && i < m_Items.size(); ++i) {
        CPartitionInfo* p = m_Items[i];
        if (p->m_StartSector >= diskSectors || p->m_SectorCount > diskSectors - p->m_StartSector)
            p->m_bPastDiskEnd = TRUE;
    }
    return 1;
}

void CPartitionTable::ReadExtendedChain(HANDLE hDisk, unsigned __int64 ebrSector,
                                        unsigned __int64 extStart,
                                        std::vector<unsigned __int64>& visited)
{
    // A chain that loops back on itself, or one too long to be real, ends here.
    if (visited.size() > kMaxChainLinks)
        return;
    for (size_t i = 0; i < visited.size(); ++i)
        if (visited[i] == ebrSector)
            return;
    visited.push_back(ebrSector);

    unsigned char ebr[kSector];
    unsigned char* link = ReadSectors(hDisk, ebrSector, 1);
    if (!link)
        return;
    memcpy(ebr, link, kSector);
    delete[] link;
    if (!HasBootSignature(ebr))
        return;
    for (int i = 0; i < 4; ++i) {
        const unsigned char* e = ebr + 0x1BE + 16 * i;
        const unsigned char type = e[4];
        if (type == 0)
            continue;
        const unsigned int first = Le32(e + 8);
        if (Le32(e + 12) == 0)
            break;
        if (!IsValidStatus(e[0]) &&
            (IsExtendedType(type) || !OddStatusEntryHoldsFileSystem(hDisk, e, ebrSector + first)))
            continue;
        if (IsExtendedType(type))
            ReadExtendedChain(hDisk, extStart + first, extStart, visited);
        else
            AddMbrEntry(hDisk, e, ebrSector + first, TRUE);
    }
}

int CPartitionTable::ReadGpt(HANDLE hDisk)
{
    const unsigned __int64 diskSectors = GetDiskSectors(hDisk);
    if (ReadGptAt(hDisk, 1, diskSectors))
        return 1;

    // The primary header or its array is damaged: look for the backup header,
    // normally in the disk's last sector.
    std::vector<unsigned __int64> candidates;
    if (diskSectors > 2)
        candidates.push_back(diskSectors - 1);
    if (unsigned char* hdr = ReadSectors(hDisk, 1, 1)) {
        if (memcmp(hdr, "EFI PART", 8) == 0)
            candidates.push_back(Le64(hdr + 32));
        delete[] hdr;
    }
    if (unsigned char* mbr = ReadSectors(hDisk, 0, 1)) {
        for (int i = 0; i < 4; ++i) {
            const unsigned char* e = mbr + 0x1BE + 16 * i;
            if (e[4] == 0xEE && Le32(e + 8) == 1 && Le32(e + 12) != 0xFFFFFFFFu && Le32(e + 12) > 1)
                candidates.push_back(Le32(e + 12));
        }
        delete[] mbr;
    }
    for (size_t i = 0; i < candidates.size(); ++i) {
        bool seen = candidates[i] <= 1;
        for (size_t j = 0; j < i && !seen; ++j)
            seen = candidates[j] == candidates[i];
        if (seen)
            continue;
        if (ReadGptAt(hDisk, candidates[i], diskSectors)) {
            m_bUsedBackupGpt = 1;
            DebugPrint(L"[Delvaro] CPartitionTable::ReadGpt primary header damaged, backup at %I64u used\n",
                       candidates[i]);
            return 1;
        }
    }
    // Neither header holds: the entry array where every tool puts it (LBA 2,
    // 128 entries of 128 bytes), each entry taken only when it is plausible
    // and marked unverified.
    unsigned char* array =
        ReadSectors(hDisk, 2, (kStandardGptEntries * 128 + m_uSectorSize - 1) / m_uSectorSize);
    if (!array)
        return 0;
    const int found = ReadGptEntries(hDisk, array, kStandardGptEntries, 128, diskSectors, TRUE);
    delete[] array;
    if (found > 0) {
        m_bUnverifiedGpt = 1;
        DebugPrint(L"[Delvaro] CPartitionTable::ReadGpt both headers damaged, %d unverified entries at LBA 2\n",
                   found);
        return 1;
    }
    return 0;
}

bool CPartitionTable::OddStatusEntryHoldsFileSystem(HANDLE hDisk, const unsigned char* entry, unsigned __int64 start)
{
    if (IsExtendedType(entry[4]) || entry[4] == 0xEE || start == 0)
        return false;
    unsigned char* bs = ReadSectors(hDisk, start, 1);
    if (!bs)
        return false;
    const bool fs = DetectFileSystem(bs) != FS_UNKNOWN;
    delete[] bs;
    return fs;
}

int CPartitionTable::ReadGptEntries(HANDLE hDisk, const unsigned char* array, unsigned int count,
                                    unsigned int entrySize, unsigned __int64 diskSectors, BOOL unverified)
{
    int found = 0;
    for (unsigned int i = 0; i < count; ++i) {
        const unsigned char* e = array + (size_t)i * entrySize;
        // An unused slot (no type) may sit between used ones: skip it.
        if (AllZero(e, 16))
            continue;
        const unsigned __int64 firstLba = Le64(e + 32);
        const unsigned __int64 lastLba = Le64(e + 40);
        if (firstLba == 0 || lastLba < firstLba)
            continue;
        // Without a header to vouch for it, an entry must lie behind the
        // array and on the disk.
        const unsigned __int64 firstUsable = 2 + (kStandardGptEntries * 128 + m_uSectorSize - 1) / m_uSectorSize;
        if (unverified && (firstLba < firstUsable || (diskSectors != 0 && lastLba >= diskSectors)))
            continue;
        CPartitionInfo* info = new (std::nothrow) CPartitionInfo;
        if (!info)
            continue;
        info->m_bActive = FALSE;
        info->m_nScheme = SCHEME_GPT;
        info->m_uSectorSize = m_uSectorSize;
        info->m_StartSector = firstLba;
        info->m_SectorCount = lastLba - firstLba + 1;
        info->m_bUnverified = unverified;
        wchar_t name[37];
        for (int k = 0; k < 36; ++k)
            name[k] = (wchar_t)(e[56 + 2 * k] | (e[57 + 2 * k] << 8));
        name[36] = 0;
        info->m_strName = name;  // stops at the first NUL
        GUID guid;
        memcpy(&guid, e, sizeof(guid));
        wchar_t guidText[64] = {};
        if (StringFromGUID2(guid, guidText, 64) > 0)
            info->m_strTypeGuid = guidText;
        unsigned char* bs = ReadSectors(hDisk, firstLba, 1);
        if (bs) {
            info->m_nType = DetectFileSystem(bs);
            delete[] bs;
        }
        m_Items.push_back(info);
        ++found;
    }
    if (found)
        m_nScheme = SCHEME_GPT;
    return found;
}

int CPartitionTable::ReadGptAt(HANDLE hDisk, unsigned __int64 headerLba, unsigned __int64 diskSectors)
{
    if (diskSectors != 0 && headerLba >= diskSectors)
        return 0;
    unsigned char* hdr = ReadSectors(hDisk, headerLba, 1);
    if (!hdr)
        return 0;
    int ok = 0;
    unsigned char* array = NULL;
    do {
        if (memcmp(hdr, "EFI PART", 8) != 0)
            break;
        const unsigned int headerSize = Le32(hdr + 12);
        if (headerSize < 92 || headerSize > kSector)
            break;
        const unsigned int headerCrc = Le32(hdr + 16);
        unsigned char copy[kSector];
        memcpy(copy, hdr, kSector);
        memset(copy + 16, 0, 4);
        if (Crc32(copy, headerSize) != headerCrc)
            break;
        if (Le64(hdr + 24) != headerLba)
            break;
        const unsigned __int64 entriesLba = Le64(hdr + 72);
        const unsigned int count = Le32(hdr + 80);
        const unsigned int entrySize = Le32(hdr + 84);
        const unsigned int arrayCrc = Le32(hdr + 88);
        // Entries are 128 bytes or a larger power of two; the array must fit
        // a sane bound and lie on the disk.
        if (entrySize < 128 || entrySize > 4096 || (entrySize & (entrySize - 1)) != 0)
            break;
        if (count == 0 || count > kMaxGptEntries * 8u ||
            (unsigned __int64)count * entrySize > kMaxGptArrayBytes)
            break;
        const unsigned int arrayBytes = count * entrySize;
        const unsigned int arraySectors = (arrayBytes + m_uSectorSize - 1) / m_uSectorSize;
        if (entriesLba < 2)
            break;
        if (diskSectors != 0 && (entriesLba >= diskSectors || diskSectors - entriesLba < arraySectors))
            break;
        array = ReadSectors(hDisk, entriesLba, arraySectors);
        if (!array)
            break;
        if (Crc32(array, arrayBytes) != arrayCrc)
            break;

        ReadGptEntries(hDisk, array, count, entrySize, diskSectors, FALSE);
        m_nScheme = SCHEME_GPT;
        ok = 1;
    } while (false);
    delete[] array;
    delete[] hdr;
    return ok;
}
