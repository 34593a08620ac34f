// The sector engine against a disk that fails: media errors inside a chunked
// read, a sector-size probe on a 4 KiB device, and the pass-through request.
#include <gtest/gtest.h>
#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "common/TestPaths.h"
#include "sectorengine/Blockmill.h"
#include "sectorengine/BlockmillIo.h"

namespace {

// A real image whose reads fail with a CRC error where they touch a bad
// offset (moving the file pointer when g_advanceOnFailure), and fail outright
// when shorter than g_minRead (a 4 KiB-sector device).
std::set<LONGLONG> g_badOffsets;
bool g_advanceOnFailure = false;
unsigned int g_minRead = 0;
DWORD g_badCode = ERROR_CRC;        // what a bad offset fails with
LONGLONG g_goneAt = -1;             // a read touching it pulls the device
bool g_gone = false;

LONGLONG Move(HANDLE h, LONGLONG to, DWORD how)
{
    LARGE_INTEGER li, pos;
    li.QuadPart = to;
    SetFilePointerEx(h, li, &pos, how);
    return pos.QuadPart;
}

BOOL WINAPI FlakyRead(HANDLE h, LPVOID buf, DWORD size, LPDWORD got, LPOVERLAPPED ov)
{
    const LONGLONG pos = Move(h, 0, FILE_CURRENT);
    auto bad = g_badOffsets.lower_bound(pos);
    if (g_goneAt >= 0 && pos + (LONGLONG)size > g_goneAt)
        g_gone = true;
    if (g_gone) {
        *got = 0;
        SetLastError(ERROR_GEN_FAILURE);  // a pulled device under Wine
        return FALSE;
    }
    if (size < g_minRead || (bad != g_badOffsets.end() && *bad < pos + (LONGLONG)size)) {
        *got = 0;
        if (g_advanceOnFailure)
            Move(h, 777, FILE_CURRENT);
        SetLastError(size < g_minRead ? ERROR_INVALID_PARAMETER : g_badCode);
        return FALSE;
    }
    return ReadFile(h, buf, size, got, ov);
}

// Pass-through requests as the driver sees them.
std::vector<SCSI_PASS_THROUGH_DIRECT> g_requests;

BOOL WINAPI FakeScsi(HANDLE, DWORD code, LPVOID in, DWORD, LPVOID out, DWORD outSize, LPDWORD ret, LPOVERLAPPED)
{
    if (code == IOCTL_STORAGE_QUERY_PROPERTY &&
        ((const STORAGE_PROPERTY_QUERY*)in)->PropertyId == StorageAdapterProperty) {
        STORAGE_ADAPTER_DESCRIPTOR d = {};
        d.Version = d.Size = sizeof(d);
        d.MaximumTransferLength = 64 * 1024;
        d.AlignmentMask = 3;
        *ret = outSize < sizeof(d) ? outSize : sizeof(d);
        memcpy(out, &d, *ret);
        return TRUE;
    }
    if (code == IOCTL_SCSI_PASS_THROUGH_DIRECT) {
        g_requests.push_back(*(const SCSI_PASS_THROUGH_DIRECT*)in);
        *ret = 0;
        return TRUE;
    }
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

DWORD Lba(const SCSI_PASS_THROUGH_DIRECT& s)
{
    return ((DWORD)s.Cdb[2] << 24) | ((DWORD)s.Cdb[3] << 16) | ((DWORD)s.Cdb[4] << 8) | s.Cdb[5];
}

class FailingDisk : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_image = testpaths::ReadWholeFile(testpaths::Fixture(L"disk-gpt.img"));
        m_h = CreateFileW(testpaths::Fixture(L"disk-gpt.img").c_str(), GENERIC_READ,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
        ASSERT_NE(INVALID_HANDLE_VALUE, m_h) << GetLastError();
        blockmill::g_pfnReadFile = &FlakyRead;
        blockmill::g_pfnIoControl = &FakeScsi;
        g_badOffsets.clear();
        g_requests.clear();
        g_minRead = 0;
        g_advanceOnFailure = false;
        g_badCode = ERROR_CRC;
        g_goneAt = -1;
        g_gone = false;
        Blockmill::InitValue(1, 32, L"UNREADABLESECTOR", NULL);
    }
    void TearDown() override
    {
        blockmill::g_pfnReadFile = &ReadFile;
        blockmill::g_pfnIoControl = &DeviceIoControl;
        CloseHandle(m_h);
    }
    std::string m_image;
    HANDLE m_h = INVALID_HANDLE_VALUE;
};

TEST_F(FailingDisk, BadChunksAreFilledAndEveryOtherChunkLandsAtItsOwnOffset)
{
    const LONGLONG start = 1024 * 1024;
    const DWORD chunk = 16384, tail = 1000;
    for (bool advance : {false, true}) {
        g_advanceOnFailure = advance;
        g_badOffsets = {start + chunk + 100, start + chunk * 4, start + chunk * 6 + 10};  // the last: in the tail
        std::string buf(chunk * 6 + tail, '\0'), want = m_image.substr(start, buf.size());
        for (size_t bad : {chunk, 4 * chunk, 6 * chunk})  // each bad chunk gets the pattern from its start
            for (size_t i = bad; i < bad + chunk && i < buf.size(); ++i)
                want[i] = "UNREADABLESECTOR"[(i - bad) % 16];
        Move(m_h, start, FILE_BEGIN);
        DWORD got = 0;
        EXPECT_FALSE(Blockmill::ReadDataEx(m_h, &buf[0], (DWORD)buf.size(), &got, NULL));
        EXPECT_EQ(buf.size() - 2 * chunk - tail, got) << advance;
        EXPECT_TRUE(want == buf) << "advance " << advance;
        EXPECT_EQ(start + (LONGLONG)buf.size(), Move(m_h, 0, FILE_CURRENT));
    }
    // Skipping off: one plain read, its error as it came.
    Blockmill::EnableSkip(0);
    std::vector<unsigned char> buf(4096, 0xEE);
    Move(m_h, start + chunk, FILE_BEGIN);
    DWORD got = 0;
    EXPECT_FALSE(Blockmill::ReadDataEx(m_h, buf.data(), 4096, &got, NULL));
    EXPECT_EQ((DWORD)ERROR_CRC, GetLastError());
    EXPECT_EQ(0xEE, buf[0]);
}

TEST_F(FailingDisk, BadSectorsWithTheCodeOfAPulledDeviceAreSkippedWhileTheDeviceAnswers)
{
    // Under Wine a bad sector fails with ERROR_NOT_READY, the code a pulled
    // device gives on Windows: the chunks that read before are asked again,
    // and while they read the bad chunk is filled and passed over.
    const LONGLONG start = 2 * 1024 * 1024;
    const DWORD chunk = 16384;
    g_badCode = ERROR_NOT_READY;
    g_badOffsets = {start + 2 * chunk + 512};
    std::string buf(chunk * 5, '\0'), want = m_image.substr(start, buf.size());
    for (size_t i = 2 * chunk; i < 3 * chunk; ++i)
        want[i] = "UNREADABLESECTOR"[(i - 2 * chunk) % 16];
    Move(m_h, start, FILE_BEGIN);
    DWORD got = 0;
    EXPECT_FALSE(Blockmill::ReadDataEx(m_h, &buf[0], (DWORD)buf.size(), &got, NULL));
    EXPECT_EQ(4 * chunk, got);
    EXPECT_TRUE(want == buf);
    EXPECT_EQ(start + (LONGLONG)buf.size(), Move(m_h, 0, FILE_CURRENT));

    // A device pulled in the middle: nothing answers any more, the read
    // stops there with the chunks before it and the device's code.
    g_badOffsets.clear();
    g_goneAt = start + 3 * chunk + 100;
    std::string buf2(chunk * 5, '\0');
    Move(m_h, start, FILE_BEGIN);
    got = 0;
    EXPECT_FALSE(Blockmill::ReadDataEx(m_h, &buf2[0], (DWORD)buf2.size(), &got, NULL));
    EXPECT_EQ((DWORD)ERROR_GEN_FAILURE, GetLastError());
    EXPECT_EQ(3 * chunk, got);
    EXPECT_TRUE(m_image.substr(start, 3 * chunk) == buf2.substr(0, 3 * chunk));
    EXPECT_EQ(std::string(2 * chunk, '\0'), buf2.substr(3 * chunk)) << "no pattern where the device was gone";
}

TEST_F(FailingDisk, SectorSizeProbeOf4KDevice)
{
    g_minRead = 4096;
    Move(m_h, 8192, FILE_BEGIN);
    EXPECT_EQ(4096u, Blockmill::ComputeSectorSize(m_h));
    EXPECT_EQ(8192, Move(m_h, 0, FILE_CURRENT));
}

TEST_F(FailingDisk, PassThroughRequestLayout)
{
    std::vector<unsigned char> buf(4096);
    EXPECT_TRUE(Blockmill::ReadSector(m_h, buf.data(), 0x01020304, 8));
    ASSERT_EQ(1u, g_requests.size());
    const SCSI_PASS_THROUGH_DIRECT& s = g_requests[0];
    EXPECT_EQ(sizeof(SCSI_PASS_THROUGH_DIRECT), s.Length);
    EXPECT_EQ(offsetof(blockmill::ScsiReadRequest, sense), s.SenseInfoOffset);
    EXPECT_GE(s.SenseInfoOffset, sizeof(SCSI_PASS_THROUGH_DIRECT));
    EXPECT_EQ(4096u, s.DataTransferLength);
    EXPECT_EQ(SCSI_IOCTL_DATA_IN, s.DataIn);
    EXPECT_EQ(10, s.CdbLength);
    EXPECT_EQ(1, s.TargetId);
    EXPECT_EQ(buf.data(), s.DataBuffer);
    EXPECT_EQ(0x01020304u, Lba(s));
    EXPECT_EQ(8, (s.Cdb[7] << 8) | s.Cdb[8]);
    // A count the command cannot carry is refused, not truncated.
    EXPECT_FALSE(Blockmill::ReadSector(m_h, buf.data(), 0, 0x10000));
    EXPECT_EQ(1u, g_requests.size());
}

TEST_F(FailingDisk, PassThroughReadWalksWholeTransferUnitsFromThe64BitPosition)
{
    std::vector<unsigned char> buf(64 * 1024 * 3 + 1000);
    // Past 4 GiB (the position is beyond the image: the driver is played).
    const LONGLONG high = 5ll * 1024 * 1024 * 1024 + 512 * 10;
    Move(m_h, high, FILE_BEGIN);
    EXPECT_FALSE(Blockmill::ReadFile_SCSI(m_h, buf.data(), (DWORD)buf.size()));
    ASSERT_EQ(3u, g_requests.size());
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ((DWORD)(high / 512) + 128u * i, Lba(g_requests[i]));
        EXPECT_EQ(128, (g_requests[i].Cdb[7] << 8) | g_requests[i].Cdb[8]);
        EXPECT_EQ(buf.data() + i * 64 * 1024, g_requests[i].DataBuffer);
    }
    EXPECT_EQ(high + (LONGLONG)buf.size(), Move(m_h, 0, FILE_CURRENT));

    // Near sector 2^32: a unit that would wrap the 32-bit address is not sent.
    g_requests.clear();
    const LONGLONG edge = (0x100000000ll - 130) * 512;
    Move(m_h, edge, FILE_BEGIN);
    Blockmill::ReadFile_SCSI(m_h, buf.data(), (DWORD)buf.size());
    ASSERT_EQ(1u, g_requests.size());
    EXPECT_EQ(0xFFFFFF7Eu, Lba(g_requests[0]));
    EXPECT_EQ(edge + (LONGLONG)buf.size(), Move(m_h, 0, FILE_CURRENT));
}

}  // namespace
