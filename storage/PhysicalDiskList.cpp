#include "storage/PhysicalDiskList.h"
#include "storage/PartitionTable.h"

#include <winioctl.h>
#include <cstdio>
#include <cstring>
#include <new>

#include "storage/DeviceIo.h"

namespace {
float SizeGB(unsigned __int64 bytes)
{
    return (float)(bytes / 1048576ull) / 1024.0f;
}

// Sizes as the driver interface counts them (the structures end in a
// one-byte array that is not part of the fixed size).
const DWORD kSendCmdInSize = 32;
const DWORD kSendCmdOutSize = 528;
}  // namespace

std::string IdentifyWordsToString(const WORD* words, int first, int last)
{
    std::string text;
    for (int w = first; w <= last; ++w) {
        text += (char)(words[w] >> 8);
        text += (char)(words[w] & 0xFF);
    }
    text.resize(strlen(text.c_str()));  // a zero byte ends the text
    while (text.size() > 1 && text[text.size() - 1] == ' ')
        text.resize(text.size() - 1);
    return text;
}

std::wstring GetAtaString(const WORD* words, int first, int last)
{
    std::string text = IdentifyWordsToString(words, first, last);
    if (text == " ")
        return std::wstring();
    wchar_t wide[128] = {};
    int m = MultiByteToWideChar(CP_ACP, 0, text.c_str(), (int)text.size(), wide, 127);
    return std::wstring(wide, m > 0 ? m : 0);
}

CPhysicalDiskInfo::CPhysicalDiskInfo()
    : m_nMediaKind(0), m_SectorCount(0), m_TotalBytes(0), m_fSizeGB(0.0f), m_nDiskNumber(0), m_uSectorSize(0)
{
}

CPhysicalDiskList::CPhysicalDiskList() {}

CPhysicalDiskList::~CPhysicalDiskList()
{
    DeleteAll();
}

void CPhysicalDiskList::DeleteAll()
{
    for (size_t i = 0; i < m_Disks.size(); ++i)
        delete m_Disks[i];
    m_Disks.clear();
}

int CPhysicalDiskList::EnumerateDisks()
{
    int any = 0;
    for (int n = 0; n < kMaxDisks; ++n) {
        int identified = 0;
        AddDisk(n, &identified);
        if (identified)
            any = 1;
    }
    return any;
}

BOOL CPhysicalDiskList::SendIdentify(HANDLE hDisk, BYTE command, int diskNumber, WORD* words)
{
    SENDCMDINPARAMS in;
    memset(&in, 0, sizeof(in));
    in.cBufferSize = 512;
    in.irDriveRegs.bFeaturesReg = 0;
    in.irDriveRegs.bSectorCountReg = 1;
    in.irDriveRegs.bSectorNumberReg = 1;
    in.irDriveRegs.bCylLowReg = 0;
    in.irDriveRegs.bCylHighReg = 0;
    in.irDriveRegs.bDriveHeadReg = (diskNumber & 1) ? 0xB0 : 0xA0;
    in.irDriveRegs.bCommandReg = command;
    in.bDriveNumber = (BYTE)diskNumber;
    unsigned char out[kSendCmdOutSize + 16];
    memset(out, 0, sizeof(out));
    DWORD got = 0;
    if (!StorageDeviceIoControl(hDisk, SMART_RCV_DRIVE_DATA, &in, kSendCmdInSize, out, kSendCmdOutSize,
                                &got))
        return FALSE;
    memcpy(words, out + 16, 512);
    return TRUE;
}

void CPhysicalDiskList::AddFromIdentify(int diskNumber, const WORD* words)
{
    CPhysicalDiskInfo* d = new (std::nothrow) CPhysicalDiskInfo;
    if (!d)
        return;
    d->m_strSerial = GetAtaString(words, 10, 19);
    d->m_strModel = GetAtaString(words, 27, 46);
    d->m_strFirmware = GetAtaString(words, 23, 26);
    unsigned __int64 sectors;
    if (words[83] & (1u << 10))
        sectors = (unsigned __int64)words[100] | ((unsigned __int64)words[101] << 16) |
                  ((unsigned __int64)words[102] << 32) | ((unsigned __int64)words[103] << 48);
    else
        sectors = (unsigned __int64)words[60] | ((unsigned __int64)words[61] << 16);
    d->m_SectorCount = sectors;
    d->m_TotalBytes = sectors * 512;
    d->m_fSizeGB = SizeGB(d->m_TotalBytes);
    if (words[0] & (1u << 7))
        d->m_nMediaKind = 2;
    else if (words[0] & (1u << 6))
        d->m_nMediaKind = 1;
    else
        d->m_nMediaKind = 0;
    d->m_nDiskNumber = diskNumber;
    m_Disks.push_back(d);
}

void CPhysicalDiskList::SetSize(CPhysicalDiskInfo* d, unsigned __int64 sectors)
{
    if (!d)
        return;
    d->m_SectorCount = sectors;
    d->m_TotalBytes = sectors * 512;
    d->m_fSizeGB = SizeGB(d->m_TotalBytes);
}

void CPhysicalDiskList::AddFromSize(int diskNumber, unsigned __int64 sectors)
{
    CPhysicalDiskInfo* d = new (std::nothrow) CPhysicalDiskInfo;
    if (!d)
        return;
    d->m_nDiskNumber = diskNumber;
    d->m_nMediaKind = 0;
    d->m_strModel = L"Hard Disk";
    d->m_SectorCount = sectors;
    d->m_TotalBytes = sectors * 512;
    d->m_fSizeGB = SizeGB(d->m_TotalBytes);
    m_Disks.push_back(d);
}

int CPhysicalDiskList::AddDisk(int diskNumber, int* pbIdentified)
{
    // SMART identify is sent with read and write access (nothing is
    // written); where that access is refused, the disk is still listed from
    // what a read-only handle can learn.
    const std::wstring path = PhysicalDrivePath(diskNumber);
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD e = GetLastError();
        if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND)
            return 0;
        h = OpenRawReadOnly(path.c_str(), 0);
        if (h == INVALID_HANDLE_VALUE)
            return GetLastError() == ERROR_FILE_NOT_FOUND ? 0 : 1;
    }

    // The length the driver reports is the disk's true size; the identify
    // data and the geometry (whole cylinders, up to 8 MB short) only stand
    // in where it does not answer. The size bounds every whole-disk search.
    unsigned __int64 length = 0;
    {
        GET_LENGTH_INFORMATION len = {};
        DWORD got = 0;
        if (StorageDeviceIoControl(h, IOCTL_DISK_GET_LENGTH_INFO, NULL, 0, &len, sizeof(len), &got) &&
            got >= sizeof(len) && len.Length.QuadPart >= 512)
            length = (unsigned __int64)len.Length.QuadPart;
    }

    const size_t listed = m_Disks.size();
    bool added = false;
    GETVERSIONINPARAMS ver;
    memset(&ver, 0, sizeof(ver));
    if (StorageDeviceIoControl(h, SMART_GET_VERSION, NULL, 0, &ver, sizeof(ver), NULL) && ver.bIDEDeviceMap) {
        BYTE command = ((ver.bIDEDeviceMap >> (diskNumber & 31)) & 0x10) ? 0xA1 : 0xEC;
        WORD words[256];
        if (SendIdentify(h, command, diskNumber, words)) {
            const size_t before = m_Disks.size();
            AddFromIdentify(diskNumber, words);
            if (length && m_Disks.size() > before)
                SetSize(m_Disks.back(), length / 512);
            if (pbIdentified)
                *pbIdentified = 1;
            added = true;
        }
    }
    if (!added) {
        DISK_GEOMETRY geo;
        memset(&geo, 0, sizeof(geo));
        DWORD got = 0;
        if (length) {
            AddFromSize(diskNumber, length / 512);
        } else if (StorageDeviceIoControl(h, IOCTL_DISK_GET_DRIVE_GEOMETRY, NULL, 0, &geo, sizeof(geo), &got) &&
                   got >= sizeof(geo)) {
            unsigned __int64 sectors = (unsigned __int64)geo.Cylinders.QuadPart * geo.TracksPerCylinder *
                                       geo.SectorsPerTrack;
            AddFromSize(diskNumber, sectors);
        } else {
            // Drivers that answer no geometry (an image behind the device
            // name, for one) are sized from their length.
            unsigned __int64 len = QueryDeviceLength(h, 1);
            if (len >= 512)
                AddFromSize(diskNumber, len / 512);
        }
    }
    if (m_Disks.size() > listed)
        m_Disks.back()->m_uSectorSize = DetectDiskSectorSize(h);
    CloseHandle(h);
    return 1;
}

CPhysicalDiskInfo* CPhysicalDiskList::GetDisk(int index) const
{
    if (index < 0 || index >= (int)m_Disks.size())
        return NULL;
    return m_Disks[index];
}

unsigned __int64 CPhysicalDiskList::GetDiskBytes(int index) const
{
    CPhysicalDiskInfo* d = GetDisk(index);
    return d ? d->m_TotalBytes : 0;
}

float CPhysicalDiskList::GetDiskGB(int index) const
{
    CPhysicalDiskInfo* d = GetDisk(index);
    return d ? d->m_fSizeGB : 0.0f;
}

unsigned __int64 CPhysicalDiskList::GetDiskSectors(int index) const
{
    CPhysicalDiskInfo* d = GetDisk(index);
    return d ? d->m_SectorCount : 0;
}
