// The sector engine through Blockmill.dll's exports: the pattern fill and
// reads over a real disk image.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/TestPaths.h"
#include "sectorengine/Blockmill.h"

namespace {

std::string Fill(const wchar_t* value, size_t n)
{
    Blockmill::SetBadSectorValue(value);
    std::vector<char> buf(n + 1, '#');
    EXPECT_EQ(1, Blockmill::FillBadBlocks(buf.data(), (DWORD)n));
    EXPECT_EQ('#', buf[n]) << "written past the length";
    return std::string(buf.data(), n);
}

TEST(BlockmillDll, FillPatternStaysWithinItsLength)
{
    EXPECT_EQ("UNREADABLESECTORUNREADABLESECTORUNREADAB", Fill(L"UNREADABLESECTOR", 40));
    EXPECT_EQ("UNREADABLE", Fill(L"UNREADABLESECTOR", 10));
    EXPECT_EQ(std::string(40, '\0'), Fill(L"", 40));
    // A surrogate pair is two wide characters, but its ANSI form may differ
    // in length: that form is what repeats, never read past its end.
    const std::string s = Fill(L"A\xD83D\xDE00" L"B", 12);
    EXPECT_TRUE(s[0] == 'A' && s.find('\0') == std::string::npos && s.find('B') < 4) << s;
    Blockmill::SetBadSectorValue(L"UNREADABLESECTOR");
}

TEST(BlockmillDll, ReadsOfAnImage)
{
    const std::wstring img = testpaths::Fixture(L"disk-mbr.img");
    const std::string image = testpaths::ReadWholeFile(img);
    // Other test programs map this image as a disk, and listing disks opens
    // it with read and write access for a moment: share both, as the
    // program's own reads do.
    HANDLE h = CreateFileW(img.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0,
                           NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, h) << GetLastError();
    auto seek = [h](LONGLONG to, DWORD how) {
        LARGE_INTEGER li, pos;
        li.QuadPart = to;
        SetFilePointerEx(h, li, &pos, how);
        return pos.QuadPart;
    };
    seek(4096, FILE_BEGIN);
    EXPECT_EQ(512u, Blockmill::ComputeSectorSize(h));
    EXPECT_EQ(4096, seek(0, FILE_CURRENT));  // the probe puts the position back

    // A chunked read lands where it was asked for; bad handles are refused.
    std::vector<unsigned char> buf(16384 * 2 + 8192);
    const LONGLONG at = seek(18432ll * 512, FILE_BEGIN);
    DWORD got = 0;
    EXPECT_TRUE(Blockmill::ReadDataEx(h, buf.data(), (DWORD)buf.size(), &got, NULL));
    EXPECT_TRUE(got == buf.size() && memcmp(buf.data(), image.data() + at, buf.size()) == 0);
    EXPECT_FALSE(Blockmill::ReadDataEx(NULL, buf.data(), 512, &got, NULL));
    EXPECT_FALSE(Blockmill::ReadDataEx(h, buf.data(), 512, NULL, NULL));

    // No pass-through under an image file: nothing is read, the position moves on.
    seek(0, FILE_BEGIN);
    memset(buf.data(), 0xCC, 1024);
    EXPECT_FALSE(Blockmill::ReadFile_SCSI(h, buf.data(), 1024));
    EXPECT_EQ(0xCC, buf[0]);
    EXPECT_EQ(1024, seek(0, FILE_CURRENT));
    EXPECT_FALSE(Blockmill::ReadSector(NULL, buf.data(), 0, 1));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    CloseHandle(h);
}

}  // namespace
