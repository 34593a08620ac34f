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
#include "storage/DeviceIo.h"
#include "storage/PhysicalDiskList.h"
#include "storage/VolumeList.h"

namespace {

// ---- a drive that answers SMART identify ----
WORD g_identify[256];
BYTE g_deviceMap = 1;
BYTE g_lastCommand = 0, g_lastDriveHead = 0;
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
        memset(out, 0, sizeof(GETVERSIONINPARAMS));
        ((GETVERSIONINPARAMS*)out)->bIDEDeviceMap = g_deviceMap;
        *ret = sizeof(GETVERSIONINPARAMS);
        return TRUE;
    }
    if (code == SMART_RCV_DRIVE_DATA && inSize == 32 && outSize == 528) {
        g_lastCommand = ((const SENDCMDINPARAMS*)in)->irDriveRegs.bCommandReg;
        g_lastDriveHead = ((const SENDCMDINPARAMS*)in)->irDriveRegs.bDriveHeadReg;
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
        ASSERT_TRUE(m_map.PhysicalDrive(1, testpaths::Fixture(L"disk-gpt.img")));
        memset(g_identify, 0, sizeof(g_identify));
        g_deviceMap = 1;
        g_answerGeometry = false;
    }
    void TearDown() override { SetStorageIoControlHook(NULL); }
    devicemap::CScopedDeviceMap m_map;
    storagetest::CWriteBar m_mbrBar{testpaths::Fixture(L"disk-mbr.img")}, m_gptBar{testpaths::Fixture(L"disk-gpt.img")};
};

TEST_F(PhysicalDisks, ImageWithoutDriverAnswersIsSizedFromItsLength)
{
    CPhysicalDiskList list, all;
    int identified = 0, found = 0;
    EXPECT_EQ(1, list.AddDisk(9, &identified));
    EXPECT_EQ(0, identified);
    ASSERT_EQ(1, list.GetCount());
    EXPECT_EQ(L"Hard Disk", list.GetDisk(0)->m_strModel);
    EXPECT_EQ(72ull * 1024 * 1024, list.GetDiskBytes(0));
    EXPECT_EQ(0, list.AddDisk(14, &identified));  // no drive behind the number
    EXPECT_TRUE(list.GetCount() == 1 && list.GetDisk(1) == NULL);
    EXPECT_EQ(0, all.EnumerateDisks());
    for (int i = 0; i < all.GetCount(); ++i)
        found += all.GetDisk(i)->m_nDiskNumber == 9;
    EXPECT_EQ(1, found);
}

TEST_F(PhysicalDisks, SmartIdentifyOf48BitDriveAndPacketDeviceThenGeometry)
{
    PutAta(27, 46, "WDC WD10EZEX-00BN5A0");
    PutAta(23, 26, "01.01A01");
    g_identify[0] = 0x0040;  // not removable
    g_identify[60] = 0xFFFF;
    g_identify[61] = 0x0FFF;  // 268,435,455 sectors in the 28-bit field
    g_identify[83] = 1 << 10;
    g_identify[100] = (WORD)1953525168ull;
    g_identify[101] = (WORD)(1953525168ull >> 16);
    SetStorageIoControlHook(&FakeDrive);
    CPhysicalDiskList list;
    int identified = 0;
    EXPECT_EQ(1, list.AddDisk(9, &identified));
    EXPECT_EQ(1, identified);
    EXPECT_EQ(0xEC, g_lastCommand);
    EXPECT_EQ(0xB0, g_lastDriveHead);  // odd drive number
    ASSERT_EQ(1, list.GetCount());
    const CPhysicalDiskInfo* d = list.GetDisk(0);
    EXPECT_EQ(L"WDC WD10EZEX-00BN5A0|01.01A01", d->m_strModel + L"|" + d->m_strFirmware);
    EXPECT_EQ(1, d->m_nMediaKind);
    EXPECT_EQ(1953525168ull * 512, d->m_TotalBytes);

    memset(g_identify, 0, sizeof(g_identify));
    PutAta(27, 46, "CF CARD");
    g_identify[0] = 0x0080;  // removable, 28-bit
    g_identify[60] = 0x5000;
    g_identify[61] = 0x0001;
    g_deviceMap = 0x10 << 1;  // bit 4 after the shift by the drive number: packet device
    list.AddDisk(1, &identified);
    EXPECT_EQ(0xA1, g_lastCommand);
    ASSERT_EQ(2, list.GetCount());
    EXPECT_EQ(L"CF CARD", list.GetDisk(1)->m_strModel);
    EXPECT_EQ(2, list.GetDisk(1)->m_nMediaKind);
    EXPECT_EQ(0x15000u, list.GetDisk(1)->m_SectorCount);

    // SMART rejected: the geometry gives the size (its sector size is not used).
    g_deviceMap = 0;
    g_answerGeometry = true;
    CPhysicalDiskList byGeometry;
    identified = 0;
    byGeometry.AddDisk(9, &identified);
    EXPECT_EQ(0, identified);
    ASSERT_EQ(1, byGeometry.GetCount());
    EXPECT_EQ(9ull * 255 * 63, byGeometry.GetDisk(0)->m_SectorCount);
}

// ---- the access SMART needs, and the size the driver reports ----
int g_writableHandles = 0, g_readOnlyHandles = 0;
LONGLONG g_length = 0;

BOOL WINAPI FakeDriveWithLength(HANDLE h, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                                LPDWORD ret, LPOVERLAPPED ov)
{
    if (code == SMART_GET_VERSION) {
        // A write of no bytes writes nothing; it only tells the handle's access.
        DWORD w = 0;
        if (WriteFile(h, "", 0, &w, NULL))
            ++g_writableHandles;
        else
            ++g_readOnlyHandles;
    }
    if (code == IOCTL_DISK_GET_LENGTH_INFO && g_length && outSize >= sizeof(GET_LENGTH_INFORMATION)) {
        ((GET_LENGTH_INFORMATION*)out)->Length.QuadPart = g_length;
        *ret = sizeof(GET_LENGTH_INFORMATION);
        return TRUE;
    }
    return FakeDrive(h, code, in, inSize, out, outSize, ret, ov);
}

TEST_F(PhysicalDisks, OpenedForSmartAndSizedFromTheLengthFirst)
{
    // Identify says 0x5000 sectors and the geometry whole cylinders; the
    // length the driver reports wins over both.
    g_identify[0] = 0x0040;
    g_identify[60] = 0x5000;
    PutAta(27, 46, "SD CARD READER");
    g_answerGeometry = true;
    g_length = 15931539456LL;  // a 16 GB card: not a whole number of cylinders
    g_writableHandles = g_readOnlyHandles = 0;
    storagetest::CFixtureCopy copy(L"disk-mbr.img");
    ASSERT_FALSE(copy.m_path.empty());
    devicemap::CScopedDeviceMap map;
    ASSERT_TRUE(map.PhysicalDrive(11, copy.m_path));
    SetStorageIoControlHook(&FakeDriveWithLength);
    CPhysicalDiskList list;
    int identified = 0;
    EXPECT_EQ(1, list.AddDisk(11, &identified));
    EXPECT_EQ(1, identified);
    ASSERT_EQ(1, list.GetCount());
    EXPECT_EQ(L"SD CARD READER", list.GetDisk(0)->m_strModel);
    EXPECT_EQ(15931539456ull / 512, list.GetDiskSectors(0));
    EXPECT_EQ(15931539456ull / 512 * 512, list.GetDiskBytes(0));
    EXPECT_EQ(1, g_writableHandles);  // read and write access for the identify
    EXPECT_EQ(0, g_readOnlyHandles);

    // SMART rejected: still the length, not the geometry.
    g_deviceMap = 0;
    CPhysicalDiskList byLength;
    byLength.AddDisk(11, &identified);
    ASSERT_EQ(1, byLength.GetCount());
    EXPECT_EQ(L"Hard Disk", byLength.GetDisk(0)->m_strModel);
    EXPECT_EQ(15931539456ull / 512, byLength.GetDiskSectors(0));

    // Write access refused (the image is held open by a reader that shares
    // only reading): the disk is listed from a read-only handle all the same.
    g_deviceMap = 1;
    g_writableHandles = g_readOnlyHandles = 0;
    CPhysicalDiskList barred;
    EXPECT_EQ(1, barred.AddDisk(9, &identified));
    ASSERT_EQ(1, barred.GetCount());
    EXPECT_EQ(1, g_readOnlyHandles);
    EXPECT_EQ(0, g_writableHandles);
    g_length = 0;
}

// ---- volumes ----

TEST(VolumeList, EnumerationListsEachVolumeOnceAndRefusesWhatIsNotThere)
{
    CVolumeList list, none;
    size_t counts[2];
    for (size_t& n : counts) {
        list.DeleteAll();
        EXPECT_EQ(1, list.EnumerateVolumes());
        EXPECT_EQ(1, list.RefreshRemovable());
        n = list.Fixed().size() + list.Raw().size() + list.Removable().size();
    }
    EXPECT_EQ(counts[0], counts[1]);
    for (auto* v : list.Fixed())
        EXPECT_GT(v->m_strRoot[0], L'B');
    CVolumeInfo* c = list.FindVolumeByLetter(L'C');  // Wine's C: is fixed, with a file system
    ASSERT_TRUE(c != NULL);
    EXPECT_TRUE(c->m_uDriveType == DRIVE_FIXED && !c->m_strFileSystem.empty());
    EXPECT_TRUE(list.GetAtOrNull(-1) == NULL && list.GetAtOrNull((int)list.Fixed().size()) == NULL);

    EXPECT_EQ(0, none.AddRawVolume(NULL));
    EXPECT_EQ(0, none.AddRawVolume(L"Y:\\"));  // nothing behind it: no length, not RAW
    EXPECT_EQ(0, none.AddFixedVolume(L"Y:\\"));
    EXPECT_EQ(0, none.AddRemovableVolume(L"C:\\"));
    EXPECT_TRUE(none.Raw().empty());
}

TEST(VolumeList, MappedVolumesFixedAndRaw)
{
    if (!devicemap::Available())
        GTEST_SKIP() << "needs Wine's dosdevices";
    // The FAT16 partition of the MBR fixture as a volume of its own.
    storagetest::CTempDir dir, root;  // the drive root must not hold the image
    const std::wstring part = dir.m_dir + L"\\fat16.img";
    std::string bytes = testpaths::ReadWholeFile(testpaths::Fixture(L"disk-mbr.img")).substr(2048 * 512, 16384 * 512);
    ASSERT_EQ(16384u * 512, bytes.size());
    HANDLE h = CreateFileW(part.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    DWORD w = 0;
    ASSERT_TRUE(WriteFile(h, bytes.data(), (DWORD)bytes.size(), &w, NULL));
    CloseHandle(h);
    devicemap::CScopedDeviceMap map;
    ASSERT_TRUE(map.DriveFolder(L's', root.m_dir) && map.Volume(L's', part) && map.Volume(L'v', part));
    storagetest::CWriteBar bar(part);

    // Wine lists drive letters as they were at process start, so the new
    // letter is added by root, as the enumeration does for each letter.
    CVolumeList list;
    EXPECT_EQ(1, list.AddFixedVolume(L"S:\\"));
    CVolumeInfo* v = list.FindVolumeByLetter(L'S');
    ASSERT_TRUE(v != NULL);
    // Wine names the root folder's host file system; the boot sector names FAT16.
    EXPECT_EQ(DRIVE_FIXED, v->m_uDriveType);
    EXPECT_EQ(L"FAT", v->m_strFileSystem);
    EXPECT_EQ(16384ull * 512, v->m_Length);
    PARTITION_INFORMATION pi;
    EXPECT_EQ(0, v->GetPartitionInfo(&pi));  // Wine has no partition information
    VolumeDiskEntry e = {};
    EXPECT_EQ(1, GetVolumeDiskNumber(L'S', &e));
    EXPECT_EQ((DWORD)L'S', e.letter);
    EXPECT_EQ(0, GetVolumeDiskNumber(L'U', &e));

    // Without its folder the letter is only a device: listed with the raw
    // volumes, with its length, and named by its boot sector.
    EXPECT_EQ(0, list.AddFixedVolume(L"V:\\"));
    EXPECT_EQ(1, list.AddRawVolume(L"V:\\"));
    ASSERT_EQ(1u, list.Raw().size());
    CVolumeInfo* raw = list.Raw()[0];
    EXPECT_EQ(L"FAT", raw->m_strFileSystem);
    EXPECT_EQ(16384ull * 512, raw->m_Length);
    EXPECT_TRUE(raw->m_dwTotalClusters == 16384u * 512 && raw->m_dwFreeClusters == raw->m_dwTotalClusters);
    EXPECT_EQ(L"8M", raw->GetTotalSizeText());
    std::vector<VolumeDiskEntry> disks;
    EXPECT_EQ(2, list.GetVolumeDiskMap(disks));
    raw->m_dwTotalClusters = 1023 * 2048;  // 1,023 MiB in 512-byte clusters
    raw->m_dwFreeClusters = 1024 * 2048;
    raw->m_dwBytesPerSector = 512;
    EXPECT_EQ(L"1023M", raw->GetTotalSizeText());
    EXPECT_EQ(L"1.00G", raw->GetFreeSizeText());

    // A RAW card of 16 GiB: its length in bytes has nothing below 4 GiB, and
    // its size text comes from the length.
    CVolumeInfo card;
    card.m_strFileSystem = L"RAW";
    card.m_dwSectorsPerCluster = card.m_dwBytesPerSector = 1;
    card.m_Length = 16ull << 30;
    card.m_dwTotalClusters = card.m_dwFreeClusters = (DWORD)card.m_Length;
    EXPECT_EQ(0u, card.m_dwTotalClusters);
    EXPECT_EQ(L"16.00G", card.GetTotalSizeText());
    EXPECT_EQ(L"16.00G", card.GetFreeSizeText());
    card.m_Length = (4ull << 30) + (512ull << 20);
    EXPECT_EQ(L"4.50G", card.GetTotalSizeText());

    // A boot sector that names no file system leaves the system's name.
    const std::wstring blank = dir.m_dir + L"\\blank.img";
    h = CreateFileW(blank.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    const std::string zeros(1024 * 1024, '\0');
    ASSERT_TRUE(WriteFile(h, zeros.data(), (DWORD)zeros.size(), &w, NULL));
    CloseHandle(h);
    ASSERT_TRUE(map.Volume(L'r', blank));
    EXPECT_EQ(1, list.AddRawVolume(L"R:\\"));
    ASSERT_EQ(2u, list.Raw().size());
    EXPECT_EQ(L"RAW", list.Raw()[1]->m_strFileSystem);
    EXPECT_EQ(1024ull * 1024, list.Raw()[1]->m_Length);
}

}  // namespace
