// The sector engine through Blockmill.dll: the setters, the pattern fill, the
// sector-size probe and reads over a real disk image.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/TestPaths.h"
#include "sectorengine/Blockmill.h"

namespace {

class BlockmillSettings : public ::testing::Test
{
protected:
    void TearDown() override { Blockmill::InitValue(1, 32, L"UNREADABLESECTOR", NULL); }
};

TEST_F(BlockmillSettings, InitialValuesAndSetters)
{
    EXPECT_EQ(1, Blockmill::m_bSkipBadSector);
    EXPECT_EQ(32u, Blockmill::m_uSkipBadSectorNums);
    EXPECT_EQ(16384u, Blockmill::m_uChunkSize);
    EXPECT_EQ(L"UNREADABLESECTOR", Blockmill::m_strFillBadSectorValue);

    Blockmill::InitValue(0, 8, L"BAD", NULL);
    EXPECT_EQ(0, Blockmill::m_bSkipBadSector);
    EXPECT_EQ(8u, Blockmill::m_uSkipBadSectorNums);
    EXPECT_EQ(4096u, Blockmill::m_uChunkSize);
    EXPECT_EQ(L"BAD", Blockmill::m_strFillBadSectorValue);

    Blockmill::SetBadSectorValue(NULL);  // null changes nothing
    EXPECT_EQ(L"BAD", Blockmill::m_strFillBadSectorValue);
    Blockmill::SetSkipNums(0);
    EXPECT_EQ(0u, Blockmill::m_uChunkSize);
    Blockmill::EnableSkip(1);
    EXPECT_EQ(1, Blockmill::m_bSkipBadSector);
    Blockmill a, b;
    EXPECT_EQ(&a, &(a = b));
}

TEST_F(BlockmillSettings, FillPattern)
{
    char buf[41];
    memset(buf, '#', sizeof(buf));
    EXPECT_EQ(1, Blockmill::FillBadBlocks(buf, 40));
    EXPECT_EQ(std::string("UNREADABLESECTORUNREADABLESECTORUNREADAB"), std::string(buf, 40));
    EXPECT_EQ('#', buf[40]);  // nothing past the length

    memset(buf, '#', sizeof(buf));
    EXPECT_EQ(1, Blockmill::FillBadBlocks(buf, 10));
    EXPECT_EQ(std::string("UNREADABLE"), std::string(buf, 10));
    EXPECT_EQ('#', buf[10]);

    Blockmill::SetBadSectorValue(L"");
    memset(buf, '#', sizeof(buf));
    Blockmill::FillBadBlocks(buf, 40);
    EXPECT_EQ(std::string(40, '\0'), std::string(buf, 40));
    EXPECT_EQ('#', buf[40]);
}

TEST_F(BlockmillSettings, PatternWhose8BitFormIsShorterIsNotOverread)
{
    // A surrogate pair is two wide characters but one '?' in the ANSI page.
    Blockmill::SetBadSectorValue(L"A\xD83D\xDE00" L"B");
    std::vector<char> buf(13, '#');
    Blockmill::FillBadBlocks(buf.data(), 12);
    EXPECT_EQ('A', buf[0]);
    EXPECT_EQ('#', buf[12]);
    for (int i = 0; i < 12; ++i)
        EXPECT_NE('\0', buf[i]) << i;
}

TEST_F(BlockmillSettings, ReadsOfAnImage)
{
    const std::wstring img = testpaths::Fixture(L"disk-mbr.img");
    const std::string image = testpaths::ReadWholeFile(img);
    ASSERT_FALSE(image.empty());
    HANDLE h = CreateFileW(img.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);

    LARGE_INTEGER at, pos;
    at.QuadPart = 4096;
    SetFilePointerEx(h, at, NULL, FILE_BEGIN);
    EXPECT_EQ(512u, Blockmill::ComputeSectorSize(h));
    LARGE_INTEGER zero = {};
    SetFilePointerEx(h, zero, &pos, FILE_CURRENT);
    EXPECT_EQ(4096, pos.QuadPart);  // the probe put the position back

    // Chunked read: 2.5 chunks from an odd sector.
    std::vector<unsigned char> buf(16384 * 2 + 8192);
    at.QuadPart = 18432ll * 512;
    SetFilePointerEx(h, at, NULL, FILE_BEGIN);
    DWORD got = 0;
    EXPECT_TRUE(Blockmill::ReadDataEx(h, buf.data(), (DWORD)buf.size(), &got, NULL));
    EXPECT_EQ(buf.size(), got);
    EXPECT_EQ(0, memcmp(buf.data(), image.data() + at.QuadPart, buf.size()));
    SetFilePointerEx(h, zero, &pos, FILE_CURRENT);
    EXPECT_EQ(at.QuadPart + (LONGLONG)buf.size(), pos.QuadPart);

    EXPECT_FALSE(Blockmill::ReadDataEx(NULL, buf.data(), 512, &got, NULL));
    EXPECT_FALSE(Blockmill::ReadDataEx(INVALID_HANDLE_VALUE, buf.data(), 512, &got, NULL));
    EXPECT_FALSE(Blockmill::ReadDataEx(h, buf.data(), 512, NULL, NULL));

    // Skipping off: one plain read.
    Blockmill::SetSkipNums(0);
    SetFilePointerEx(h, zero, NULL, FILE_BEGIN);
    EXPECT_TRUE(Blockmill::ReadDataEx(h, buf.data(), 1000, &got, NULL));
    EXPECT_EQ(1000u, got);
    EXPECT_EQ(0, memcmp(buf.data(), image.data(), 1000));

    // No pass-through under an image file: nothing is read, the position moves on.
    SetFilePointerEx(h, zero, NULL, FILE_BEGIN);
    memset(buf.data(), 0xCC, 1024);
    EXPECT_FALSE(Blockmill::ReadFile_SCSI(h, buf.data(), 1024));
    EXPECT_EQ(0xCC, buf[0]);
    SetFilePointerEx(h, zero, &pos, FILE_CURRENT);
    EXPECT_EQ(1024, pos.QuadPart);
    EXPECT_FALSE(Blockmill::ReadSector(h, buf.data(), 0, 1));
    EXPECT_FALSE(Blockmill::ReadSector(NULL, buf.data(), 0, 1));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    DWORD mask = 7, maxT = 0;
    EXPECT_TRUE(Blockmill::GetAlignMaskFromDevice(h, &mask, &maxT));
    EXPECT_EQ(0u, mask);
    CloseHandle(h);
}

}  // namespace
