// Partition tables of the sfdisk/sgdisk fixture disks, read through
// "\\.\PhysicalDriveN" and from damaged copies (broken boot signature,
// looping and endless EBR chains, broken GPT headers and arrays).
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "StorageTestUtil.h"
#include "common/DeviceMap.h"
#include "storage/PartitionTable.h"
#include "zlib.h"

using storagetest::FileAt;

namespace {

// Logical flag, type, start, count, name.
const std::vector<std::wstring> kMbrDisk = {L"0 6 2048 16384 ", L"0 7 18432 16384 ", L"1 7 36864 16384 ",
                                            L"1 12 55296 69632 ", L"1 131 126976 18432 "};
const std::vector<std::wstring> kGptDisk = {L"0 7 2048 32768 Data NTFS", L"0 6 34816 32768 Old FAT sixteen",
                                            L"0 -7 67584 16384 exFAT stick", L"0 0 83968 14303 linux spare"};
const unsigned __int64 kGptBackupHeader = 48ull * 1024 * 1024 - 512;

int ReadImage(const std::wstring& path, CPartitionTable& t)
{
    HANDLE h = storagetest::OpenForRead(path);
    int r = h == INVALID_HANDLE_VALUE ? -1 : t.ReadFromHandle(h);
    CloseHandle(h);
    return r;
}

TEST(PartitionTable, FixtureDisksThroughPhysicalDriveNamesOpenedReadOnly)
{
    if (!devicemap::Available())
        GTEST_SKIP() << "needs Wine's dosdevices";
    storagetest::CFixtureCopy mbr(L"disk-mbr.img"), gpt(L"disk-gpt.img");
    devicemap::CScopedDeviceMap map;
    ASSERT_TRUE(map.PhysicalDrive(12, mbr.m_path) && map.PhysicalDrive(13, gpt.m_path));
    storagetest::CWriteBar bar1(mbr.m_path), bar2(gpt.m_path);
    ASSERT_EQ(INVALID_HANDLE_VALUE, CreateFileW(L"\\\\.\\PhysicalDrive12", GENERIC_READ | GENERIC_WRITE,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL));
    CPartitionTable t, g;
    ASSERT_EQ(1, t.ReadFromDisk(12));
    EXPECT_EQ(CPartitionTable::SCHEME_MBR, t.GetScheme());
    EXPECT_EQ(kMbrDisk, storagetest::RowsOf(t));
    EXPECT_TRUE(t.GetAt(0)->m_bActive && !t.GetAt(1)->m_bActive);
    // Hidden sectors come from each partition's own boot sector.
    EXPECT_EQ(18432u, t.GetAt(1)->m_HiddenSectors);
    EXPECT_EQ(0u, t.GetAt(4)->m_HiddenSectors);
    EXPECT_TRUE(t.GetAt(5) == NULL && t.GetAt(-1) == NULL);
    // Each entry knows its disk.
    EXPECT_EQ(12, t.GetAt(0)->m_nDiskNumber);
    EXPECT_EQ(12, t.GetAt(4)->m_nDiskNumber);

    ASSERT_EQ(1, g.ReadFromDisk(13));
    EXPECT_EQ(CPartitionTable::SCHEME_GPT, g.GetScheme());
    EXPECT_EQ(0, g.UsedBackupGpt());
    EXPECT_EQ(kGptDisk, storagetest::RowsOf(g));
    EXPECT_EQ(L"{EBD0A0A2-B9E5-4433-87C0-68B6B72699C7}", g.GetAt(0)->m_strTypeGuid);
    EXPECT_EQ(13, g.GetAt(0)->m_nDiskNumber);
    // No such disk (a number no test program maps: the window tests map 15).
    EXPECT_EQ(0, CPartitionTable().ReadFromDisk(29));
}

// Damage: new bytes at an offset of a disk.
typedef std::pair<unsigned __int64, std::string> Patch;

Patch Entry(unsigned __int64 sector, int index, unsigned char type, unsigned int first, unsigned int count)
{
    std::string e(16, '\0');
    e[4] = (char)type;
    memcpy(&e[8], &first, 4);
    memcpy(&e[12], &count, 4);
    return Patch(sector * 512 + 0x1BE + 16 * index, e);
}

std::string GptBytes(unsigned __int64 offset, DWORD n)
{
    std::string s(n, '\0');
    EXPECT_TRUE(FileAt(testpaths::Fixture(L"disk-gpt.img"), offset, &s[0], n, false));
    return s;
}

Patch Flip(unsigned __int64 offset)
{
    return Patch(offset, std::string(1, (char)(GptBytes(offset, 1)[0] ^ 0x5A)));
}

// A GPT header whose field holds value, under a matching CRC.
Patch HeaderField(unsigned __int64 header, int field, unsigned int value)
{
    std::string h = GptBytes(header, 512);
    unsigned int size = 0, crc = 0;
    memcpy(&h[field], &value, 4);
    memcpy(&size, &h[12], 4);
    memcpy(&h[16], &crc, 4);
    crc = (unsigned int)crc32(0, (const Bytef*)h.data(), size);
    memcpy(&h[16], &crc, 4);
    return Patch(header, h);
}

bool Apply(const std::wstring& img, const Patch& p)
{
    std::string b = p.second;
    return FileAt(img, p.first, &b[0], (DWORD)b.size(), true);
}

struct Damage
{
    const char* what;
    std::vector<Patch> patches;
    int result;
    std::vector<int> rows;  // indexes into the undamaged table
    int usedBackup;
    int unverified = 0;     // neither GPT header held: rows from the standard array
};

// Each case damages a private copy, reads it, and puts the original bytes back.
void ExpectDamage(const wchar_t* fixture, const std::vector<std::wstring>& table, const std::vector<Damage>& cases)
{
    storagetest::CFixtureCopy copy(fixture);
    ASSERT_FALSE(copy.m_path.empty());
    for (const Damage& c : cases) {
        for (const Patch& p : c.patches)
            ASSERT_TRUE(Apply(copy.m_path, p));
        CPartitionTable t;
        EXPECT_EQ(c.result, ReadImage(copy.m_path, t)) << c.what;
        EXPECT_EQ(c.usedBackup, t.UsedBackupGpt()) << c.what;
        EXPECT_EQ(c.unverified, t.UsedUnverifiedGpt()) << c.what;
        for (int i = 0; i < t.GetCount(); ++i)
            EXPECT_EQ(c.unverified, t.GetAt(i)->m_bUnverified) << c.what << " row " << i;
        std::vector<std::wstring> want;
        for (int i : c.rows)
            want.push_back(table[i]);
        EXPECT_EQ(want, storagetest::RowsOf(t)) << c.what;
        for (const Patch& p : c.patches) {
            std::string orig(p.second.size(), '\0');
            FileAt(testpaths::Fixture(fixture), p.first, &orig[0], (DWORD)orig.size(), false);
            Apply(copy.m_path, Patch(p.first, orig));
        }
    }
}

TEST(DamagedDisk, MbrAndExtendedChain)
{
    ExpectDamage(L"disk-mbr.img", kMbrDisk,
                 {
                     {"no boot signature", {Patch(510, std::string(2, '\0'))}, 0, {}, 0},
                     {"empty second entry is skipped", {Patch(0x1BE + 16 + 4, std::string(1, '\0'))}, 1, {0, 2, 3, 4}, 0},
                     {"zero-length entry ends the walk", {Patch(0x1BE + 16 + 12, std::string(4, '\0'))}, 1, {0}, 0},
                     {"last EBR links back to the first", {Entry(124928, 1, 0x05, 0, 2048)}, 1, {0, 1, 2, 3, 4}, 0},
                     {"EBR links to itself", {Entry(34816, 1, 0x05, 0, 2048)}, 1, {0, 1, 2}, 0},
                     // One odd status byte costs at most its own entry: kept when
                     // its first sector is a file system's boot sector.
                     {"odd status of an NTFS entry", {Patch(0x1BE + 16, "\x7F")}, 1, {0, 1, 2, 3, 4}, 0},
                     {"odd status of the extended entry", {Patch(0x1BE + 32, "\x01")}, 1, {0, 1}, 0},
                     // The same rule with no proper status beside them.
                     {"odd status everywhere: the entries over file systems",
                      {Patch(0x1BE, "\x01"), Patch(0x1BE + 16, "\x01"), Patch(0x1BE + 32, "\x01")}, 1, {0, 1}, 0},
                     {"odd status everywhere, nothing over a file system: no table",
                      {Patch(0x1BE, "\x01"), Patch(0x1BE + 16, "\x01"), Patch(0x1BE + 32, "\x01"),
                       Patch(0x1BE + 8, std::string("\x00\xF0\x01\x00", 4)),
                       Patch(0x1BE + 16 + 8, std::string("\x00\xF0\x01\x00", 4))},
                      0, {}, 0},
                 });
}

TEST(DamagedDisk, GptFallsBackToTheBackupThenToTheStandardArray)
{
    ExpectDamage(L"disk-gpt.img", kGptDisk,
                 {
                     {"primary header CRC", {Flip(512 + 60)}, 1, {0, 1, 2, 3}, 1},
                     {"primary header wiped", {Patch(512, std::string(512, '\0'))}, 1, {0, 1, 2, 3}, 1},
                     {"primary array CRC", {Flip(1024 + 58)}, 1, {0, 1, 2, 3}, 1},
                     {"primary entry size", {HeaderField(512, 84, 0x10000)}, 1, {0, 1, 2, 3}, 1},
                     // Neither header holds: the array at LBA 2, unverified.
                     {"both headers", {Flip(512 + 60), Flip(kGptBackupHeader + 60)}, 1, {0, 1, 2, 3}, 0, 1},
                     {"entry counts past any array",
                      {HeaderField(512, 80, 0xFFFFFFFFu), HeaderField(kGptBackupHeader, 80, 0x01000000u)}, 1,
                      {0, 1, 2, 3}, 0, 1},
                     {"both headers, first entry past the disk",
                      {Flip(512 + 60), Flip(kGptBackupHeader + 60), Patch(1024 + 40, std::string(7, '\x7F'))}, 1,
                      {1, 2, 3}, 0, 1},
                     {"both headers and the array wiped",
                      {Flip(512 + 60), Flip(kGptBackupHeader + 60), Patch(1024, std::string(16384, '\0'))}, 1, {}, 0},
                 });
}

TEST(DamagedDisk, EndlessChainIsBounded)
{
    // 300 EBRs, each with one logical partition and a link to the next.
    storagetest::CFixtureCopy copy(L"disk-mbr.img");
    const unsigned int ext = 34816;
    ASSERT_TRUE(Apply(copy.m_path, Entry(0, 2, 0x05, ext, 300 * 4)));
    for (unsigned int k = 0; k < 300; ++k) {
        const unsigned __int64 sector = ext + 4ull * k;
        ASSERT_TRUE(Apply(copy.m_path, Patch(sector * 512, std::string(510, '\0') + "\x55\xAA")));
        Apply(copy.m_path, Entry(sector, 0, 0x83, 1, 2));
        Apply(copy.m_path, Entry(sector, 1, 0x05, 4 * (k + 1), 4));
    }
    CPartitionTable t;
    EXPECT_EQ(1, ReadImage(copy.m_path, t));
    EXPECT_EQ(2 + (int)CPartitionTable::kMaxChainLinks, t.GetCount());
    EXPECT_EQ(ext + 5u, t.GetAt(3)->m_StartSector);
}

TEST(DetectFileSystemCodes, BootSectorsOfTheFixture)
{
    const struct { unsigned __int64 sector; int code; } cases[] = {
        {2048, FS_FAT16}, {18432, FS_NTFS}, {36864, FS_EXFAT}, {55296, FS_FAT32}, {126976, FS_UNKNOWN}, {0, FS_UNKNOWN}};
    for (auto& c : cases) {
        unsigned char bs[512];
        ASSERT_TRUE(FileAt(testpaths::Fixture(L"disk-mbr.img"), c.sector * 512, bs, 512, false));
        EXPECT_EQ(c.code, DetectFileSystem(bs)) << c.sector;
    }
}

}  // namespace

namespace {

// A GPT disk made over a loop device of 4 KiB sectors (make-unusual.sh): the
// table counts in 4 KiB sectors, and a disk of 512-byte sectors read after
// it in 512-byte ones.
TEST(PartitionTable, EachDiskInItsOwnSectorSize)
{
    CPartitionTable t;
    ASSERT_EQ(1, ReadImage(testpaths::Fixture(L"disk-4kn.img"), t));
    EXPECT_EQ(4096u, t.GetSectorSize());
    EXPECT_EQ(CPartitionTable::SCHEME_GPT, t.GetScheme());
    ASSERT_EQ(1, t.GetCount());
    const CPartitionInfo& p = *t.GetAt(0);
    EXPECT_EQ(256u, p.m_StartSector);
    EXPECT_EQ(16384u, p.m_SectorCount);
    EXPECT_EQ(FS_EXFAT, p.m_nType);
    EXPECT_EQ(4096u, p.m_uSectorSize);
    EXPECT_EQ(L"64 MB", p.GetSizeText());
    EXPECT_FALSE(p.m_bPastDiskEnd);

    CPartitionTable u;
    ASSERT_EQ(1, ReadImage(testpaths::Fixture(L"disk-mbr.img"), u));
    EXPECT_EQ(512u, u.GetSectorSize());
    ASSERT_LT(0, u.GetCount());
    EXPECT_EQ(512u, u.GetAt(0)->m_uSectorSize);
    EXPECT_EQ(2048u, u.GetAt(0)->m_StartSector);
    EXPECT_EQ(L"8 MB", u.GetAt(0)->GetSizeText());
}

}  // namespace
