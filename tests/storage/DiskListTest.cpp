// Physical-disk and volume lists over images mapped to device names, with the
// driver answers (SMART identify, geometry) played through the control-call
// seam where Wine has none.
#include <gtest/gtest.h>
#include <windows.h>
#include <winioctl.h>

#include <cstring>
#include <string>
#include <vector>

#include "StorageTestUtil.h"
#include "common/DeviceMap.h"
#include "common/TestPaths.h"
#include "storage/DeviceIo.h"
#include "storage/PhysicalDiskList.h"
#include "storage/VolumeList.h"

namespace {

// ---- a drive that answers SMART identify ----
WORD g_identify[256];
BYTE g_deviceMap = 1;
BYTE g_lastCommand = 0;
BYTE g_lastDriveHead = 0;
DWORD g_lastInSize = 0, g_lastOutSize = 0;
bool g_answerGeometry = false;

void PutAta(int first, int last, const char* text)
{
    std::string s(text);
    s.resize((last - first + 1) * 2, ' ');
    for (int w = first; w <= last; ++w)
        g_identify[w] = (WORD)(((unsigned char)s[(w - first) * 2] << 8) | (unsigned char)s[(w - first) * 2 + 1]);
}

BOOL WINAPI FakeDrive(HANDLE, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD ret,
                      LPOVERLAPPED)
{
    if (code == SMART_GET_VERSION && outSize >= sizeof(GETVERSIONINPARAMS)) {
        GETVERSIONINPARAMS* v = (GETVERSIONINPARAMS*)out;
        memset(v, 0, sizeof(*v));
        v->bIDEDeviceMap = g_deviceMap;
        *ret = sizeof(*v);
        return TRUE;
    }
    if (code == SMART_RCV_DRIVE_DATA) {
        const SENDCMDINPARAMS* p = (const SENDCMDINPARAMS*)in;
        g_lastCommand = p->irDriveRegs.bCommandReg;
        g_lastDriveHead = p->irDriveRegs.bDriveHeadReg;
        g_lastInSize = inSize;
        g_lastOutSize = outSize;
        memset(out, 0, outSize);
        memcpy((unsigned char*)out + 16, g_identify, 512);
        *ret = outSize;
        return TRUE;
    }
    if (code == IOCTL_DISK_GET_DRIVE_GEOMETRY && g_answerGeometry && outSize >= sizeof(DISK_GEOMETRY)) {
        DISK_GEOMETRY* g = (DISK_GEOMETRY*)out;
        g->Cylinders.QuadPart = 9;
        g->TracksPerCylinder = 255;
        g->SectorsPerTrack = 63;
        g->BytesPerSector = 4096;
        *ret = sizeof(*g);
        return TRUE;
    }
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

class PhysicalDisks : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!devicemap::Available())
            GTEST_SKIP() << "needs Wine's dosdevices";
        ASSERT_TRUE(m_map.PhysicalDrive(9, testpaths::Fixture(L"disk-mbr.img")));
        memset(g_identify, 0, sizeof(g_identify));
        g_deviceMap = 1;
        g_answerGeometry = false;
    }
    void TearDown() override { SetStorageIoControlHook(NULL); }
    devicemap::CScopedDeviceMap m_map;
};

TEST_F(PhysicalDisks, ImageWithoutDriverAnswersIsSizedFromItsLength)
{
    CPhysicalDiskList list;
    int identified = 0;
    EXPECT_EQ(1, list.AddDisk(9, &identified));
    EXPECT_EQ(0, identified);
    ASSERT_EQ(1, list.GetCount());
    const CPhysicalDiskInfo* d = list.GetDisk(0);
    EXPECT_EQ(L"Hard Disk", d->m_strModel);
    EXPECT_EQ(9, d->m_nDiskNumber);
    EXPECT_EQ(0, d->m_nMediaKind);
    EXPECT_EQ(72ull * 2048, list.GetDiskSectors(0));
    EXPECT_EQ(72ull * 1024 * 1024, list.GetDiskBytes(0));
    EXPECT_FLOAT_EQ(72.0f / 1024.0f, list.GetDiskGB(0));
    EXPECT_TRUE(list.GetDisk(1) == NULL);
    EXPECT_EQ(0u, list.GetDiskBytes(5));
    // A number with no drive behind it adds nothing and says so.
    EXPECT_EQ(0, list.AddDisk(14, &identified));
    EXPECT_EQ(1, list.GetCount());
}

TEST_F(PhysicalDisks, EnumerationFindsTheMappedDisk)
{
    CPhysicalDiskList list;
    EXPECT_EQ(0, list.EnumerateDisks());
    bool found = false;
    for (int i = 0; i < list.GetCount(); ++i)
        found = found || list.GetDisk(i)->m_nDiskNumber == 9;
    EXPECT_TRUE(found);
    // A second round after DeleteAll lists it once again, not twice.
    list.DeleteAll();
    EXPECT_EQ(0, list.GetCount());
}

TEST_F(PhysicalDisks, SmartIdentifyOf48BitDrive)
{
    PutAta(27, 46, "WDC WD10EZEX-00BN5A0");
    PutAta(10, 19, "WD-WCC3F1234567");
    PutAta(23, 26, "01.01A01");
    g_identify[0] = 0x0040;  // not removable
    g_identify[60] = 0xFFFF;
    g_identify[61] = 0x0FFF;  // 268,435,455 sectors in the 28-bit field
    g_identify[83] = 1 << 10;
    const unsigned __int64 sectors = 1953525168ull;
    g_identify[100] = (WORD)sectors;
    g_identify[101] = (WORD)(sectors >> 16);
    g_identify[102] = 0;
    g_identify[103] = 0;
    SetStorageIoControlHook(&FakeDrive);
    CPhysicalDiskList list;
    int identified = 0;
    EXPECT_EQ(1, list.AddDisk(9, &identified));
    EXPECT_EQ(1, identified);
    EXPECT_EQ(0xEC, g_lastCommand);
    EXPECT_EQ(0xB0, g_lastDriveHead);  // odd drive number
    EXPECT_EQ(32u, g_lastInSize);
    EXPECT_EQ(528u, g_lastOutSize);
    ASSERT_EQ(1, list.GetCount());
    const CPhysicalDiskInfo* d = list.GetDisk(0);
    EXPECT_EQ(L"WDC WD10EZEX-00BN5A0", d->m_strModel);
    EXPECT_EQ(L"WD-WCC3F1234567", d->m_strSerial);
    EXPECT_EQ(L"01.01A01", d->m_strFirmware);
    EXPECT_EQ(1, d->m_nMediaKind);
    EXPECT_EQ(sectors, d->m_SectorCount);
    EXPECT_EQ(sectors * 512, d->m_TotalBytes);
}

TEST_F(PhysicalDisks, SmartIdentifyOfRemovable28BitPacketDevice)
{
    PutAta(27, 46, "CF CARD");
    g_identify[0] = 0x0080;
    g_identify[60] = 0x5000;
    g_identify[61] = 0x0001;
    ASSERT_TRUE(m_map.PhysicalDrive(1, testpaths::Fixture(L"disk-gpt.img")));
    g_deviceMap = 0x10 << 1;  // bit 4 after the shift by the drive number: packet device
    SetStorageIoControlHook(&FakeDrive);
    CPhysicalDiskList list;
    int identified = 0;
    list.AddDisk(1, &identified);
    EXPECT_EQ(0xB0, g_lastDriveHead);
    EXPECT_EQ(0xA1, g_lastCommand);
    ASSERT_EQ(1, list.GetCount());
    EXPECT_EQ(L"CF CARD", list.GetDisk(0)->m_strModel);
    EXPECT_EQ(2, list.GetDisk(0)->m_nMediaKind);
    EXPECT_EQ(0x15000u, list.GetDisk(0)->m_SectorCount);
}

TEST_F(PhysicalDisks, GeometryWhenSmartIsRejected)
{
    g_deviceMap = 0;
    g_answerGeometry = true;
    SetStorageIoControlHook(&FakeDrive);
    CPhysicalDiskList list;
    int identified = 0;
    list.AddDisk(9, &identified);
    EXPECT_EQ(0, identified);
    ASSERT_EQ(1, list.GetCount());
    EXPECT_EQ(L"Hard Disk", list.GetDisk(0)->m_strModel);
    EXPECT_EQ(9ull * 255 * 63, list.GetDisk(0)->m_SectorCount);  // the geometry's sector size is not used
}

// ---- volumes ----

TEST(VolumeInfo, SizeTexts)
{
    CVolumeInfo v;
    v.m_dwSectorsPerCluster = 8;
    v.m_dwBytesPerSector = 512;
    v.m_dwTotalClusters = 1023 * 256;  // 1,023 MiB
    v.m_dwFreeClusters = 1024 * 256;   // 1,024 MiB
    EXPECT_EQ(L"1023M", v.GetTotalSizeText());
    EXPECT_EQ(L"1.00G", v.GetFreeSizeText());
}

TEST(VolumeInfo, QueryDeviceOfAMappedVolume)
{
    if (!devicemap::Available())
        GTEST_SKIP() << "needs Wine's dosdevices";
    devicemap::CScopedDeviceMap map;
    ASSERT_TRUE(map.Volume(L't', testpaths::Fixture(L"disk-gpt.img")));
    CVolumeInfo v;
    v.m_strRoot = L"T:\\";
    v.QueryDevice();
    EXPECT_EQ(48ull * 1024 * 1024, v.m_Length);
    PARTITION_INFORMATION pi;
    EXPECT_EQ(0, v.GetPartitionInfo(&pi));  // Wine has no partition information
    EXPECT_EQ(0, v.GetPartitionInfo(NULL));
    VolumeDiskEntry e = {};
    EXPECT_EQ(1, GetVolumeDiskNumber(L'T', &e));
    EXPECT_EQ((DWORD)L'T', e.letter);
    EXPECT_EQ(0, GetVolumeDiskNumber(L'U', &e));
    // A volume that cannot be opened leaves the record alone.
    CVolumeInfo gone;
    gone.m_strRoot = L"U:\\";
    gone.QueryDevice();
    EXPECT_EQ(0u, gone.m_Length);
}

TEST(VolumeList, EnumerationListsEachVolumeOnceAndNeverAOrB)
{
    CVolumeList list;
    EXPECT_EQ(1, list.EnumerateVolumes());
    EXPECT_EQ(1, list.RefreshRemovable());
    const size_t first = list.Fixed().size() + list.Raw().size() + list.Removable().size();
    list.DeleteAll();
    EXPECT_EQ(1, list.EnumerateVolumes());
    EXPECT_EQ(1, list.RefreshRemovable());
    EXPECT_EQ(first, list.Fixed().size() + list.Raw().size() + list.Removable().size());
    for (auto* v : list.Fixed())
        EXPECT_GT(v->m_strRoot[0], L'B');
    // Wine's C: drive is a fixed volume with a file system.
    CVolumeInfo* c = list.FindVolumeByLetter(L'C');
    ASSERT_TRUE(c != NULL);
    EXPECT_EQ(DRIVE_FIXED, c->m_uDriveType);
    EXPECT_FALSE(c->m_strFileSystem.empty());
    EXPECT_TRUE(list.FindVolumeByLetter(L'c') == NULL);  // the letter is compared exactly
    EXPECT_TRUE(list.GetAtOrNull(-1) == NULL);
    EXPECT_TRUE(list.GetAtOrNull((int)list.Fixed().size()) == NULL);
    std::vector<VolumeDiskEntry> map;
    list.GetVolumeDiskMap(map);
    std::vector<CVolumeInfo*> onDisk;
    list.CollectVolumesOnDisk(0xFFFFFF, onDisk);
    EXPECT_TRUE(onDisk.empty());
}

TEST(VolumeList, MappedVolumesFixedAndRaw)
{
    if (!devicemap::Available())
        GTEST_SKIP() << "needs Wine's dosdevices";
    // The FAT16 partition of the MBR fixture as a volume of its own.
    std::wstring dir = testpaths::MakeTempDir(L"vol");
    std::wstring part = dir + L"\\fat16.img";
    std::wstring root = dir + L"\\root";
    ASSERT_TRUE(CreateDirectoryW(root.c_str(), NULL));
    {
        std::string disk = testpaths::ReadWholeFile(testpaths::Fixture(L"disk-mbr.img"));
        ASSERT_GT(disk.size(), (2048u + 16384u) * 512u);
        HANDLE h = CreateFileW(part.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
        DWORD w = 0;
        ASSERT_TRUE(WriteFile(h, disk.data() + 2048 * 512, 16384 * 512, &w, NULL));
        CloseHandle(h);
    }
    {
    devicemap::CScopedDeviceMap map;
    ASSERT_TRUE(map.DriveFolder(L's', root));
    ASSERT_TRUE(map.Volume(L's', part));
    // Wine lists drive letters as they were at process start, so the new
    // letter is added by root, as the enumeration does for each letter.
    CVolumeList list;
    EXPECT_EQ(1, list.AddFixedVolume(L"S:\\"));
    CVolumeInfo* v = list.FindVolumeByLetter(L'S');
    ASSERT_TRUE(v != NULL);
    EXPECT_EQ(L"S:\\", v->m_strRoot);
    EXPECT_EQ((UINT)DRIVE_FIXED, v->m_uDriveType);
    EXPECT_FALSE(v->m_strFileSystem.empty());
    EXPECT_EQ(16384ull * 512, v->m_Length);
    EXPECT_TRUE(list.GetAtOrNull(0) == v);

    // Without its folder the letter is only a device: listed as RAW with its length.
    ASSERT_TRUE(map.Volume(L'v', part));
    EXPECT_EQ(0, list.AddFixedVolume(L"V:\\"));
    EXPECT_EQ(1, list.AddRawVolume(L"V:\\"));
    ASSERT_EQ(1u, list.Raw().size());
    CVolumeInfo* raw = list.Raw()[0];
    EXPECT_EQ(L"RAW", raw->m_strFileSystem);
    EXPECT_EQ(16384ull * 512, raw->m_Length);
    EXPECT_EQ(16384u * 512, raw->m_dwTotalClusters);
    EXPECT_EQ(raw->m_dwTotalClusters, raw->m_dwFreeClusters);
    EXPECT_EQ(1u, raw->m_dwSectorsPerCluster);
    EXPECT_EQ(1u, raw->m_dwBytesPerSector);
    EXPECT_EQ(L"8M", raw->GetTotalSizeText());
    EXPECT_TRUE(list.FindVolumeByLetter(L'V') == raw);
    std::vector<VolumeDiskEntry> disks;
    EXPECT_EQ(2, list.GetVolumeDiskMap(disks));
    }
    storagetest::RemoveTree(dir);
}

TEST(VolumeList, RawAndRemovableRules)
{
    CVolumeList list;
    EXPECT_EQ(0, list.AddRawVolume(NULL));
    // A root with nothing behind it has no length: not listed as RAW.
    EXPECT_EQ(0, list.AddRawVolume(L"Y:\\"));
    EXPECT_EQ(0, list.AddFixedVolume(L"Y:\\"));
    EXPECT_EQ(0, list.AddRemovableVolume(L"C:\\"));  // C: is fixed, not removable
    EXPECT_TRUE(list.Raw().empty());
}

}  // namespace
