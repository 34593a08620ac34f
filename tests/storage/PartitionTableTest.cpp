// Partition tables of real disk images: sfdisk/sgdisk fixtures read through
// "\\.\PhysicalDriveN", the public extended-partition test disk, and damaged
// copies (broken boot signature, looping and endless EBR chains, broken
// primary GPT).
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "StorageTestUtil.h"
#include "common/DeviceMap.h"
#include "common/TestPaths.h"
#include "storage/PartitionTable.h"
#include "zlib.h"

using storagetest::CopyFixture;
using storagetest::OpenForRead;
using storagetest::PatchFile;
using storagetest::ReadFileAt;

namespace {

struct Expected
{
    int logical;
    int type;
    unsigned __int64 start;
    unsigned __int64 count;
    const wchar_t* name;
};

void ExpectTable(const CPartitionTable& t, const std::vector<Expected>& want)
{
    ASSERT_EQ((int)want.size(), t.GetCount());
    for (size_t i = 0; i < want.size(); ++i) {
        const CPartitionInfo* p = t.GetAt((int)i);
        ASSERT_TRUE(p != NULL);
        EXPECT_EQ(want[i].logical, p->m_bLogical ? 1 : 0) << i;
        EXPECT_EQ(want[i].type, p->m_nType) << i;
        EXPECT_EQ(want[i].start, p->m_StartSector) << i;
        EXPECT_EQ(want[i].count, p->m_SectorCount) << i;
        EXPECT_EQ(std::wstring(want[i].name), p->m_strName) << i;
        EXPECT_EQ(512u, p->m_uSectorSize);
    }
}

const std::vector<Expected> kMbrDisk = {
    {0, 0x06, 2048, 16384, L""},   {0, 0x07, 18432, 16384, L""},  {1, 0x07, 36864, 16384, L""},
    {1, 0x0C, 55296, 69632, L""},  {1, 0x83, 126976, 18432, L""},
};
const std::vector<Expected> kGptDisk = {
    {0, FS_NTFS, 2048, 32768, L"Data NTFS"},
    {0, FS_FAT16, 34816, 32768, L"Old FAT sixteen"},
    {0, FS_EXFAT, 67584, 16384, L"exFAT stick"},
    {0, FS_UNKNOWN, 83968, 14303, L"linux spare"},
};

int ReadImage(const std::wstring& path, CPartitionTable& t)
{
    HANDLE h = OpenForRead(path);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    int r = t.ReadFromHandle(h);
    CloseHandle(h);
    return r;
}

TEST(PartitionTable, MbrDiskThroughPhysicalDriveName)
{
    if (!devicemap::Available())
        GTEST_SKIP() << "needs Wine's dosdevices";
    devicemap::CScopedDeviceMap map;
    ASSERT_TRUE(map.PhysicalDrive(12, testpaths::Fixture(L"disk-mbr.img")));
    CPartitionTable t;
    ASSERT_EQ(1, t.ReadFromDisk(12));
    EXPECT_EQ(CPartitionTable::SCHEME_MBR, t.GetScheme());
    ExpectTable(t, kMbrDisk);
    EXPECT_TRUE(t.GetAt(0)->m_bActive);
    EXPECT_FALSE(t.GetAt(1)->m_bActive);
    // Hidden sectors come from each partition's own boot sector.
    EXPECT_EQ(2048u, t.GetAt(0)->m_HiddenSectors);
    EXPECT_EQ(18432u, t.GetAt(1)->m_HiddenSectors);
    EXPECT_EQ(55296u, t.GetAt(3)->m_HiddenSectors);
    EXPECT_EQ(0u, t.GetAt(4)->m_HiddenSectors);
    EXPECT_TRUE(t.GetAt(0)->m_strTypeGuid.empty());
    EXPECT_EQ(L"8 MB", t.GetAt(0)->GetSizeText());
    EXPECT_TRUE(t.GetAt(5) == NULL);
    EXPECT_TRUE(t.GetAt(-1) == NULL);
    EXPECT_EQ(0, CPartitionTable().ReadFromDisk(15));  // no such disk
}

TEST(PartitionTable, GptDiskWithUnusedSlotsThroughPhysicalDriveName)
{
    if (!devicemap::Available())
        GTEST_SKIP() << "needs Wine's dosdevices";
    devicemap::CScopedDeviceMap map;
    ASSERT_TRUE(map.PhysicalDrive(13, testpaths::Fixture(L"disk-gpt.img")));
    CPartitionTable t;
    ASSERT_EQ(1, t.ReadFromDisk(13));
    EXPECT_EQ(CPartitionTable::SCHEME_GPT, t.GetScheme());
    EXPECT_EQ(0, t.UsedBackupGpt());
    ExpectTable(t, kGptDisk);
    EXPECT_EQ(L"{EBD0A0A2-B9E5-4433-87C0-68B6B72699C7}", t.GetAt(0)->m_strTypeGuid);
    EXPECT_EQ(L"{0FC63DAF-8483-4772-8E79-3D69D8477DE4}", t.GetAt(3)->m_strTypeGuid);
    EXPECT_FALSE(t.GetAt(0)->m_bActive);
    EXPECT_EQ(L"16 MB", t.GetAt(0)->GetSizeText());
}

TEST(PartitionTable, PublicExtendedPartitionDiskMatchesItsAnswerKey)
{
    std::wstring dir = testpaths::MakeTempDir(L"dftt1");
    std::wstring img = dir + L"\\ext-part-test-2.dd";
    ASSERT_TRUE(storagetest::ExtractZipMember(testpaths::Shared(L"corpora/disks/dftt/1-extend-part.zip"),
                                              "ext-part-test-2.dd", img));
    CPartitionTable t;
    EXPECT_EQ(1, ReadImage(img, t));
    // Three primaries, then an extended table holding two partitions and a
    // link, then one more logical partition.
    ExpectTable(t, {{0, 4, 63, 52353, L""},
                    {0, 4, 52416, 52416, L""},
                    {0, 4, 104832, 52416, L""},
                    {1, 4, 157311, 52353, L""},
                    {1, 4, 209727, 52353, L""},
                    {1, 6, 262143, 50337, L""}});
    storagetest::RemoveTree(dir);
}

TEST(PartitionTable, VolumeWithoutPartitionTableListsNothing)
{
    // A volume image made by Windows: its boot code and messages lie where
    // MBR entries would, behind the same 55 AA signature.
    std::wstring dir = testpaths::MakeTempDir(L"dftt7");
    std::wstring img = dir + L"\\7-ntfs-undel.dd";
    ASSERT_TRUE(storagetest::ExtractZipMember(testpaths::Shared(L"corpora/disks/dftt/7-undel-ntfs.zip"),
                                              "7-ntfs-undel.dd", img));
    unsigned char bs[512];
    ASSERT_TRUE(ReadFileAt(img, 0, bs, 512));
    ASSERT_EQ(0x55, bs[510]);
    ASSERT_EQ(FS_NTFS, DetectFileSystem(bs));
    CPartitionTable t;
    EXPECT_EQ(0, ReadImage(img, t));
    EXPECT_EQ(0, t.GetCount());
    storagetest::RemoveTree(dir);
}

class DamagedMbr : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_img = CopyFixture(L"disk-mbr.img", L"mbr");
        ASSERT_FALSE(m_img.empty());
    }
    void TearDown() override { storagetest::RemoveTree(m_img.substr(0, m_img.rfind(L'\\'))); }
    void PatchEntry(unsigned __int64 sector, int index, unsigned char type, unsigned int first,
                    unsigned int count)
    {
        unsigned char e[16] = {};
        e[4] = type;
        memcpy(e + 8, &first, 4);
        memcpy(e + 12, &count, 4);
        ASSERT_TRUE(PatchFile(m_img, sector * 512 + 0x1BE + 16 * index, e, 16));
    }
    std::wstring m_img;
};

TEST_F(DamagedMbr, NoBootSignatureIsRefused)
{
    const unsigned char zero[2] = {0, 0};
    ASSERT_TRUE(PatchFile(m_img, 510, zero, 2));
    CPartitionTable t;
    EXPECT_EQ(0, ReadImage(m_img, t));
    EXPECT_EQ(0, t.GetCount());
}

TEST_F(DamagedMbr, EmptySecondEntryIsSkipped)
{
    const unsigned char zero = 0;
    ASSERT_TRUE(PatchFile(m_img, 0x1BE + 16 + 4, &zero, 1));  // type of entry 2
    CPartitionTable t;
    EXPECT_EQ(1, ReadImage(m_img, t));
    ExpectTable(t, {kMbrDisk[0], kMbrDisk[2], kMbrDisk[3], kMbrDisk[4]});
}

TEST_F(DamagedMbr, ZeroLengthEntryEndsTheWalk)
{
    const unsigned char zero[4] = {};
    ASSERT_TRUE(PatchFile(m_img, 0x1BE + 16 + 12, zero, 4));
    CPartitionTable t;
    EXPECT_EQ(1, ReadImage(m_img, t));
    ExpectTable(t, {kMbrDisk[0]});
}

TEST_F(DamagedMbr, ChainLoopingBackEndsAfterOneRound)
{
    // The last EBR links back to the first one (relative offset 0).
    PatchEntry(124928, 1, 0x05, 0, 2048);
    CPartitionTable t;
    EXPECT_EQ(1, ReadImage(m_img, t));
    ExpectTable(t, kMbrDisk);
}

TEST_F(DamagedMbr, ChainLinkingToItselfEnds)
{
    PatchEntry(34816, 1, 0x05, 0, 2048);
    CPartitionTable t;
    EXPECT_EQ(1, ReadImage(m_img, t));
    ExpectTable(t, {kMbrDisk[0], kMbrDisk[1], kMbrDisk[2]});
}

TEST_F(DamagedMbr, EndlessChainIsBounded)
{
    // 300 EBRs, each with one logical partition and a link to the next.
    const unsigned int ext = 34816;
    PatchEntry(0, 2, 0x05, ext, 300 * 4);
    for (unsigned int k = 0; k < 300; ++k) {
        const unsigned __int64 sector = ext + 4ull * k;
        std::vector<unsigned char> ebr(512, 0);
        ebr[510] = 0x55;
        ebr[511] = 0xAA;
        ASSERT_TRUE(PatchFile(m_img, sector * 512, ebr.data(), 512));
        PatchEntry(sector, 0, 0x83, 1, 2);
        PatchEntry(sector, 1, 0x05, 4 * (k + 1), 4);
    }
    CPartitionTable t;
    EXPECT_EQ(1, ReadImage(m_img, t));
    EXPECT_EQ(2 + (int)CPartitionTable::kMaxChainLinks, t.GetCount());
    EXPECT_EQ(ext + 1u, t.GetAt(2)->m_StartSector);
    EXPECT_EQ(ext + 5u, t.GetAt(3)->m_StartSector);
}

class DamagedGpt : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_img = CopyFixture(L"disk-gpt.img", L"gpt");
        ASSERT_FALSE(m_img.empty());
    }
    void TearDown() override { storagetest::RemoveTree(m_img.substr(0, m_img.rfind(L'\\'))); }
    void Flip(unsigned __int64 offset)
    {
        unsigned char b = 0;
        ASSERT_TRUE(ReadFileAt(m_img, offset, &b, 1));
        b ^= 0x5A;
        ASSERT_TRUE(PatchFile(m_img, offset, &b, 1));
    }
    // Rewrites a 32-bit field of the header at headerOffset and its CRC, so
    // that only the field's value is wrong.
    void SetHeaderField(unsigned __int64 headerOffset, int field, unsigned int value)
    {
        unsigned char h[512];
        ASSERT_TRUE(ReadFileAt(m_img, headerOffset, h, 512));
        memcpy(h + field, &value, 4);
        unsigned int size = 0;
        memcpy(&size, h + 12, 4);
        memset(h + 16, 0, 4);
        unsigned int crc = (unsigned int)crc32(0, h, size);
        memcpy(h + 16, &crc, 4);
        ASSERT_TRUE(PatchFile(m_img, headerOffset, h, 512));
    }
    unsigned __int64 BackupHeaderOffset() const { return 48ull * 1024 * 1024 - 512; }
    std::wstring m_img;
};

TEST_F(DamagedGpt, BrokenPrimaryHeaderIsReadFromTheBackup)
{
    Flip(512 + 60);  // inside the disk GUID: header CRC no longer matches
    CPartitionTable t;
    EXPECT_EQ(1, ReadImage(m_img, t));
    EXPECT_EQ(1, t.UsedBackupGpt());
    ExpectTable(t, kGptDisk);
}

TEST_F(DamagedGpt, WipedPrimaryHeaderIsReadFromTheBackup)
{
    std::vector<unsigned char> zero(512, 0);
    ASSERT_TRUE(PatchFile(m_img, 512, zero.data(), 512));
    CPartitionTable t;
    EXPECT_EQ(1, ReadImage(m_img, t));
    EXPECT_EQ(1, t.UsedBackupGpt());
    ExpectTable(t, kGptDisk);
}

TEST_F(DamagedGpt, BrokenPrimaryEntryArrayIsReadFromTheBackup)
{
    Flip(1024 + 56 + 2);  // a character of the first partition's name
    CPartitionTable t;
    EXPECT_EQ(1, ReadImage(m_img, t));
    EXPECT_EQ(1, t.UsedBackupGpt());
    ExpectTable(t, kGptDisk);
}

TEST_F(DamagedGpt, EntrySizeOrCountThatDoesNotFitIsRefused)
{
    SetHeaderField(512, 84, 0x10000);  // entry size
    CPartitionTable t;
    EXPECT_EQ(1, ReadImage(m_img, t));
    EXPECT_EQ(1, t.UsedBackupGpt());
    ExpectTable(t, kGptDisk);

    SetHeaderField(512, 84, 128);
    SetHeaderField(512, 80, 0xFFFFFFFFu);  // entry count
    SetHeaderField(BackupHeaderOffset(), 80, 0x01000000u);
    CPartitionTable t2;
    EXPECT_EQ(1, ReadImage(m_img, t2));
    EXPECT_EQ(CPartitionTable::SCHEME_GPT, t2.GetScheme());
    EXPECT_EQ(0, t2.GetCount());
}

TEST_F(DamagedGpt, BothHeadersBrokenGivesNoPartitions)
{
    Flip(512 + 60);
    Flip(BackupHeaderOffset() + 60);
    CPartitionTable t;
    EXPECT_EQ(1, ReadImage(m_img, t));
    EXPECT_EQ(CPartitionTable::SCHEME_GPT, t.GetScheme());
    EXPECT_EQ(0, t.GetCount());
}

TEST(DetectFileSystemCodes, BootSectorsOfTheFixtures)
{
    std::wstring img = testpaths::Fixture(L"disk-mbr.img");
    unsigned char bs[512];
    struct { unsigned __int64 sector; int code; } cases[] = {
        {2048, FS_FAT16}, {18432, FS_NTFS}, {36864, FS_EXFAT}, {55296, FS_FAT32}, {126976, FS_UNKNOWN}, {0, FS_UNKNOWN}};
    for (auto& c : cases) {
        ASSERT_TRUE(ReadFileAt(img, c.sector * 512, bs, 512));
        EXPECT_EQ(c.code, DetectFileSystem(bs)) << c.sector;
    }
    // Windows' own OEM name is enough even when the boot record is odd.
    ASSERT_TRUE(ReadFileAt(img, 2048 * 512, bs, 512));
    memcpy(bs + 3, "MSWIN4.1", 8);
    bs[13] = 0;
    EXPECT_EQ(FS_FAT16, DetectFileSystem(bs));
    memcpy(bs + 3, "mkfs.fat", 8);
    EXPECT_EQ(FS_UNKNOWN, DetectFileSystem(bs));
}

}  // namespace
