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

// A disk: a real image file whose reads fail with a CRC error at chosen
// 16 KiB chunks, and which may move the file pointer on a failed read.
std::set<LONGLONG> g_badOffsets;
bool g_advanceOnFailure = false;
unsigned int g_minRead = 0;  // reads shorter than this fail (a 4 KiB-sector device)

BOOL WINAPI FlakyRead(HANDLE h, LPVOID buf, DWORD size, LPDWORD got, LPOVERLAPPED ov)
{
    LARGE_INTEGER zero = {}, pos;
    SetFilePointerEx(h, zero, &pos, FILE_CURRENT);
    if (size < g_minRead) {
        *got = 0;
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    for (LONGLONG bad : g_badOffsets) {
        if (bad >= pos.QuadPart && bad < pos.QuadPart + (LONGLONG)size) {
            *got = 0;
            if (g_advanceOnFailure) {
                LARGE_INTEGER skip;
                skip.QuadPart = 777;
                SetFilePointerEx(h, skip, NULL, FILE_CURRENT);
            }
            SetLastError(ERROR_CRC);
            return FALSE;
        }
    }
    return ReadFile(h, buf, size, got, ov);
}

class FailingDisk : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_path = testpaths::Fixture(L"disk-gpt.img");
        m_image = testpaths::ReadWholeFile(m_path);
        ASSERT_FALSE(m_image.empty());
        m_h = CreateFileW(m_path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
        ASSERT_NE(INVALID_HANDLE_VALUE, m_h);
        blockmill::g_pfnReadFile = &FlakyRead;
        g_badOffsets.clear();
        g_advanceOnFailure = false;
        g_minRead = 0;
        Blockmill::InitValue(1, 32, L"UNREADABLESECTOR", NULL);
    }
    void TearDown() override
    {
        blockmill::g_pfnReadFile = &ReadFile;
        blockmill::g_pfnIoControl = &DeviceIoControl;
        if (m_h != INVALID_HANDLE_VALUE)
            CloseHandle(m_h);
    }
    void Seek(LONGLONG at)
    {
        LARGE_INTEGER li;
        li.QuadPart = at;
        SetFilePointerEx(m_h, li, NULL, FILE_BEGIN);
    }
    LONGLONG Tell()
    {
        LARGE_INTEGER zero = {}, pos;
        SetFilePointerEx(m_h, zero, &pos, FILE_CURRENT);
        return pos.QuadPart;
    }
    bool IsPattern(const unsigned char* p, size_t n)
    {
        static const char pat[] = "UNREADABLESECTOR";
        for (size_t i = 0; i < n; ++i)
            if (p[i] != (unsigned char)pat[i % 16])
                return false;
        return true;
    }
    std::wstring m_path;
    std::string m_image;
    HANDLE m_h = INVALID_HANDLE_VALUE;
};

TEST_F(FailingDisk, BadChunkIsFilledAndEveryOtherChunkLandsAtItsOwnOffset)
{
    for (bool advance : {false, true}) {
        g_advanceOnFailure = advance;
        const LONGLONG start = 1024 * 1024;
        const DWORD chunk = 16384;
        g_badOffsets = {start + chunk * 1 + 100, start + chunk * 4};
        std::vector<unsigned char> buf(chunk * 6 + 1000);
        Seek(start);
        DWORD got = 0;
        EXPECT_FALSE(Blockmill::ReadDataEx(m_h, buf.data(), (DWORD)buf.size(), &got, NULL));
        EXPECT_EQ(buf.size() - 2 * chunk, got) << advance;
        for (int i = 0; i < 6; ++i) {
            const unsigned char* p = buf.data() + i * chunk;
            if (i == 1 || i == 4)
                EXPECT_TRUE(IsPattern(p, chunk)) << "chunk " << i;
            else
                EXPECT_EQ(0, memcmp(p, m_image.data() + start + i * chunk, chunk)) << "chunk " << i;
        }
        EXPECT_EQ(0, memcmp(buf.data() + 6 * chunk, m_image.data() + start + 6 * chunk, 1000));
        EXPECT_EQ(start + (LONGLONG)buf.size(), Tell());
    }
}

TEST_F(FailingDisk, UnreadableLastChunkIsFilledToo)
{
    const LONGLONG start = 2 * 1024 * 1024;
    g_badOffsets = {start + 16384 * 2};
    std::vector<unsigned char> buf(16384 * 3, 0xEE);
    Seek(start);
    DWORD got = 0;
    EXPECT_FALSE(Blockmill::ReadDataEx(m_h, buf.data(), (DWORD)buf.size(), &got, NULL));
    EXPECT_EQ(2u * 16384, got);
    EXPECT_TRUE(IsPattern(buf.data() + 2 * 16384, 16384));
}

TEST_F(FailingDisk, SkippingOffIsOnePlainRead)
{
    Blockmill::EnableSkip(0);
    g_badOffsets = {0};
    std::vector<unsigned char> buf(4096, 0xEE);
    Seek(0);
    DWORD got = 0;
    EXPECT_FALSE(Blockmill::ReadDataEx(m_h, buf.data(), 4096, &got, NULL));
    EXPECT_EQ((DWORD)ERROR_CRC, GetLastError());
    EXPECT_EQ(0xEE, buf[0]);
}

TEST_F(FailingDisk, SectorSizeProbeOf4KDevice)
{
    g_minRead = 4096;
    Seek(8192);
    EXPECT_EQ(4096u, Blockmill::ComputeSectorSize(m_h));
    EXPECT_EQ(8192, Tell());
    g_minRead = 0;
    EXPECT_EQ(512u, Blockmill::ComputeSectorSize(m_h));
    EXPECT_EQ(8192, Tell());
}

// ---- pass-through ----

struct Captured
{
    int calls = 0;
    std::vector<DWORD> lbas;
    std::vector<DWORD> counts;
    ULONG length = 0, senseOffset = 0, transfer = 0;
    UCHAR dataIn = 0, cdbLength = 0, targetId = 0;
    void* buffer = NULL;
} g_cap;
DWORD g_maxTransfer = 64 * 1024;

BOOL WINAPI FakeScsi(HANDLE, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD ret,
                     LPOVERLAPPED)
{
    if (code == IOCTL_STORAGE_QUERY_PROPERTY) {
        const STORAGE_PROPERTY_QUERY* q = (const STORAGE_PROPERTY_QUERY*)in;
        if (q->PropertyId == StorageAdapterProperty) {
            STORAGE_ADAPTER_DESCRIPTOR d = {};
            d.Version = d.Size = sizeof(d);
            d.MaximumTransferLength = g_maxTransfer;
            d.AlignmentMask = 3;
            memcpy(out, &d, outSize < sizeof(d) ? outSize : sizeof(d));
            *ret = outSize < sizeof(d) ? outSize : sizeof(d);
            return TRUE;
        }
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    if (code == IOCTL_SCSI_PASS_THROUGH_DIRECT) {
        const SCSI_PASS_THROUGH_DIRECT* s = (const SCSI_PASS_THROUGH_DIRECT*)in;
        g_cap.calls++;
        g_cap.length = s->Length;
        g_cap.senseOffset = s->SenseInfoOffset;
        g_cap.transfer = s->DataTransferLength;
        g_cap.dataIn = s->DataIn;
        g_cap.cdbLength = s->CdbLength;
        g_cap.targetId = s->TargetId;
        g_cap.buffer = s->DataBuffer;
        g_cap.lbas.push_back(((DWORD)s->Cdb[2] << 24) | ((DWORD)s->Cdb[3] << 16) | ((DWORD)s->Cdb[4] << 8) | s->Cdb[5]);
        g_cap.counts.push_back(((DWORD)s->Cdb[7] << 8) | s->Cdb[8]);
        (void)inSize;
        (void)outSize;
        *ret = 0;
        return TRUE;
    }
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

TEST_F(FailingDisk, PassThroughRequestLayout)
{
    blockmill::g_pfnIoControl = &FakeScsi;
    g_cap = Captured();
    std::vector<unsigned char> buf(4096);
    EXPECT_TRUE(Blockmill::ReadSector(m_h, buf.data(), 0x01020304, 8));
    ASSERT_EQ(1, g_cap.calls);
    EXPECT_EQ(sizeof(SCSI_PASS_THROUGH_DIRECT), g_cap.length);
    EXPECT_EQ(offsetof(blockmill::ScsiReadRequest, sense), g_cap.senseOffset);
    EXPECT_GE(g_cap.senseOffset, sizeof(SCSI_PASS_THROUGH_DIRECT));
    EXPECT_EQ(4096u, g_cap.transfer);
    EXPECT_EQ(SCSI_IOCTL_DATA_IN, g_cap.dataIn);
    EXPECT_EQ(10, g_cap.cdbLength);
    EXPECT_EQ(1, g_cap.targetId);
    EXPECT_EQ(buf.data(), g_cap.buffer);
    EXPECT_EQ(0x01020304u, g_cap.lbas[0]);
    EXPECT_EQ(8u, g_cap.counts[0]);
    // A count the command cannot carry is refused, not truncated.
    EXPECT_FALSE(Blockmill::ReadSector(m_h, buf.data(), 0, 0x10000));
    EXPECT_EQ(1, g_cap.calls);
}

TEST_F(FailingDisk, PassThroughReadWalksWholeTransferUnitsFromThe64BitPosition)
{
    blockmill::g_pfnIoControl = &FakeScsi;
    g_cap = Captured();
    g_maxTransfer = 64 * 1024;
    std::vector<unsigned char> buf(64 * 1024 * 3 + 1000);
    Seek(512 * 10);
    EXPECT_FALSE(Blockmill::ReadFile_SCSI(m_h, buf.data(), (DWORD)buf.size()));
    ASSERT_EQ(3, g_cap.calls);
    EXPECT_EQ(10u, g_cap.lbas[0]);
    EXPECT_EQ(138u, g_cap.lbas[1]);
    EXPECT_EQ(266u, g_cap.lbas[2]);
    EXPECT_EQ(128u, g_cap.counts[2]);
    EXPECT_EQ(buf.data() + 2 * 64 * 1024, g_cap.buffer);
    EXPECT_EQ(512 * 10 + (LONGLONG)buf.size(), Tell());

    // Smaller than one unit: nothing read, the position still moves.
    g_cap = Captured();
    Seek(0);
    Blockmill::ReadFile_SCSI(m_h, buf.data(), 1000);
    EXPECT_EQ(0, g_cap.calls);
    EXPECT_EQ(1000, Tell());
}

}  // namespace
