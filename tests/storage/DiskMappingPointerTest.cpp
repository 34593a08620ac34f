// The cached reader over a real disk image: window arithmetic, cursor moves,
// double buffering, failed reads and the device path under Wine.
#include <gtest/gtest.h>
#include <windows.h>
#include <winioctl.h>

#include <cstring>
#include <random>
#include <string>

#include "StorageTestUtil.h"
#include "common/DeviceMap.h"
#include "common/TestPaths.h"
#include "storage/DeviceIo.h"
#include "storage/DiskMappingPointer.h"

namespace {

const unsigned __int64 kSmallWindow = 64 * 1024;  // request; the window is one unit more

class ReaderTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        s_path = new std::wstring(testpaths::Fixture(L"disk-gpt.img"));
        s_image = new std::string(testpaths::ReadWholeFile(*s_path));
    }
    static void TearDownTestSuite()
    {
        delete s_image;
        delete s_path;
    }
    void SetUp() override { ASSERT_EQ(s_image->size(), 48u * 1024 * 1024); }

    // The bytes the reader shows at its cursor equal the image's bytes there.
    static void ExpectBytesAt(CDiskMappingPointer& r, size_t n)
    {
        const unsigned __int64 pos = r.GetPosition();
        ASSERT_LE(pos + n, s_image->size());
        ASSERT_EQ(0, memcmp(r.GetPointer(), s_image->data() + pos, n)) << "at " << pos;
    }

    static std::wstring* s_path;
    static std::string* s_image;
};
std::wstring* ReaderTest::s_path;
std::string* ReaderTest::s_image;

TEST_F(ReaderTest, WindowSizeRounding)
{
    CDiskMappingPointer one(s_path->c_str(), 0, 0, 512, 512, 0);
    EXPECT_EQ(1024u, one.m_WindowSize);
    CDiskMappingPointer exact(s_path->c_str(), 0, 0, 4096, 512, 0);
    EXPECT_EQ(4608u, exact.m_WindowSize);
    CDiskMappingPointer huge(s_path->c_str(), 0, 0, 200ull * 1024 * 1024, 512, 0);
    EXPECT_EQ(52428800u, huge.m_WindowSize);
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    CDiskMappingPointer def(s_path->c_str(), 0, 0, 0, 512, 0);
    EXPECT_EQ(500ull * si.dwAllocationGranularity, def.m_WindowSize);
    ExpectBytesAt(def, 4096);
    EXPECT_EQ(0u, def.GetError());
}

TEST_F(ReaderTest, ConstructionAtUnalignedStart)
{
    const unsigned __int64 start = 1024 * 1024 + 77;
    CDiskMappingPointer r(s_path->c_str(), start, 0, kSmallWindow, 512, 5000001);
    EXPECT_EQ(start, r.GetPosition());
    EXPECT_EQ(1024u * 1024, r.m_Base);
    EXPECT_EQ(77u, r.m_CurrentPos);
    EXPECT_EQ(5000001ull & ~511ull, r.m_EndOffset);
    EXPECT_EQ(start, r.GetSavedPosition());
    EXPECT_EQ(1, r.m_bHalf);
    EXPECT_EQ(1, r.m_bOwnHandles);
    EXPECT_EQ(s_image->size(), r.GetTotalSize());
    ExpectBytesAt(r, 1000);
}

TEST_F(ReaderTest, SeekLimitAndEnd)
{
    CDiskMappingPointer r(s_path->c_str(), 0, 0, kSmallWindow, 512, 0);
    const unsigned __int64 limit = r.GetTotalSize();
    EXPECT_EQ(1, r.SeekTo(limit));
    EXPECT_EQ(0, r.IsEnd());
    EXPECT_EQ(1, r.SeekTo(limit - 100));
    ExpectBytesAt(r, 100);
    EXPECT_EQ(0, r.SeekTo(limit + 1));
    EXPECT_EQ(1, r.IsEnd());
    EXPECT_EQ(limit + 1, r.GetPosition());
}

TEST_F(ReaderTest, SeeksInsideTheTrustedHalfReadNothing)
{
    CDiskMappingPointer r(s_path->c_str(), 4096, 0, kSmallWindow, 512, 0);
    const unsigned __int64 half = r.m_WindowSize / 2;
    // Forward inside the half: only the cursor moves.
    EXPECT_EQ(1, r.SeekTo(4096 + 1000));
    EXPECT_EQ(4096u, r.m_Base);
    EXPECT_EQ(1000u, r.m_CurrentPos);
    EXPECT_EQ(half, r.GetWindowRemaining());
    ExpectBytesAt(r, 100);
    // The last aligned offset that still stays.
    EXPECT_EQ(1, r.SeekTo(4096 + half - 512));
    EXPECT_EQ(4096u, r.m_Base);
    // Below the base: always re-read.
    EXPECT_EQ(1, r.SeekTo(4095));
    EXPECT_EQ(3584u, r.m_Base);
    EXPECT_EQ(511u, r.m_CurrentPos);
    ExpectBytesAt(r, 2000);
    // Past the half: re-read at the target's unit.
    const unsigned __int64 farTarget = 3584 + half + 1000;
    EXPECT_EQ(1, r.SeekTo(farTarget));
    EXPECT_EQ(farTarget & ~511ull, r.m_Base);
    EXPECT_EQ(farTarget & 511, r.m_CurrentPos);
    ExpectBytesAt(r, 2000);
}

TEST_F(ReaderTest, CursorBeyondHalfForcesReload)
{
    CDiskMappingPointer r(s_path->c_str(), 0, 0, kSmallWindow, 512, 0);
    const unsigned __int64 half = r.m_WindowSize / 2;
    // Put the cursor past the half without a seek (as the carving loop's
    // callers do by moving m_CurrentPos through their own copies).
    r.m_CurrentPos = half + 10;
    EXPECT_EQ(1, r.SeekTo(100));
    EXPECT_EQ(0u, r.m_Base);
    EXPECT_EQ(100u, r.m_CurrentPos);
    ExpectBytesAt(r, 512);
}

TEST_F(ReaderTest, SavedPositionsAndRestore)
{
    CDiskMappingPointer r(s_path->c_str(), 2 * 1024 * 1024 + 1500, 0, kSmallWindow, 512, 0);
    r.SavePosition();
    const unsigned __int64 saved = r.GetPosition();
    // Small relative move with an unchanged base: nothing to do.
    EXPECT_EQ(0, r.SeekFromSaved(100));
    EXPECT_EQ(saved, r.GetPosition());
    EXPECT_EQ(1, r.Skip(100));
    EXPECT_EQ(saved + 100, r.GetPosition());
    // Far move reloads; restoring brings back the saved window's bytes.
    EXPECT_EQ(1, r.SeekFromSaved(10 * 1024 * 1024));
    EXPECT_EQ(saved + 10 * 1024 * 1024, r.GetPosition());
    ExpectBytesAt(r, 512);
    r.RestorePosition();
    EXPECT_EQ(saved, r.GetPosition());
    EXPECT_EQ(r.m_SavedBase, r.m_Base);
    ExpectBytesAt(r, 4096);
    // Construction left the mark at 0: the saved cursor has used its offset.
    EXPECT_EQ(r.m_WindowSize / 2 - r.m_SavedPos, r.GetSavedWindowRemaining());
}

TEST_F(ReaderTest, RestoreAfterSavingAnAdvancedCursorKeepsBufferAndBaseInStep)
{
    // The saved cursor lies several units into its window: the reload must
    // be at the saved base itself, not at the saved position's unit.
    CDiskMappingPointer r(s_path->c_str(), 1024 * 1024, 0, kSmallWindow, 512, 0);
    r.SeekTo(1024 * 1024 + 5000);
    r.SavePosition();
    r.SeekTo(30 * 1024 * 1024);
    r.RestorePosition();
    EXPECT_EQ(1024u * 1024 + 5000, r.GetPosition());
    ExpectBytesAt(r, 8192);
}

TEST_F(ReaderTest, DoubleBufferSteps)
{
    CDiskMappingPointer r(s_path->c_str(), 0, 0, kSmallWindow, 512, 0);
    const unsigned __int64 w = r.m_WindowSize;
    unsigned char* start = r.m_pBuffer;
    r.SaveBufferStart();
    EXPECT_EQ(start, r.m_pBufferStart);
    r.ReadNext();
    EXPECT_EQ(start + w, r.m_pBuffer);
    EXPECT_EQ(w, r.m_Base);
    EXPECT_EQ(0, r.m_bHalf);
    EXPECT_EQ(0, memcmp(r.m_pBuffer, s_image->data() + w, (size_t)w));
    // The lower half still holds the previous window for the worker.
    EXPECT_EQ(0, memcmp(start, s_image->data(), (size_t)w));
    r.ReadNext();
    EXPECT_EQ(start, r.m_pBuffer);
    EXPECT_EQ(2 * w, r.m_Base);
    EXPECT_EQ(0, memcmp(r.m_pBuffer, s_image->data() + 2 * w, (size_t)w));
    r.RestoreBufferStart();
    EXPECT_EQ(start, r.m_pBuffer);
}

TEST_F(ReaderTest, RandomCursorWalkAlwaysShowsTheSourceBytes)
{
    // The plug-ins' promise: after any move, the bytes that GetWindowRemaining
    // reports at the cursor are the source's bytes there.
    CDiskMappingPointer r(s_path->c_str(), 0, 0, kSmallWindow, 512, 0);
    const unsigned __int64 limit = r.GetTotalSize();
    std::mt19937_64 rng(42);
    for (int i = 0; i < 3000; ++i) {
        switch (rng() % 6) {
        case 0: r.SeekTo(rng() % (limit + 2)); break;
        case 1: r.Skip(rng() % 70000); break;
        case 2: r.SavePosition(); break;
        case 3: r.RestorePosition(); break;
        case 4:
            if (r.SeekFromSaved(rng() % 50000) == 0)
                r.Skip(0);
            break;
        case 5: r.m_CurrentPos += rng() % 100; break;  // a plug-in stepping through bytes
        }
        if (r.IsEnd())
            continue;
        const unsigned __int64 pos = r.GetPosition();
        unsigned __int64 n = r.GetWindowRemaining();
        if (n > limit - pos)
            n = limit - pos;
        ASSERT_LE(r.m_CurrentPos + n, r.m_WindowSize) << i;
        ASSERT_EQ(0, memcmp(r.GetPointer(), s_image->data() + pos, (size_t)n)) << "step " << i << " at " << pos;
        ASSERT_EQ(0u, r.GetError());
    }
}

TEST_F(ReaderTest, FailedReadLeavesZerosAndTheNextWindowComesFromItsOffset)
{
    HANDLE good = storagetest::OpenForRead(*s_path);
    ASSERT_NE(INVALID_HANDLE_VALUE, good);
    {
        CDiskMappingPointer r(good, 0, 0, kSmallWindow, 512, 0);
        r.SaveBufferStart();
        // A handle without read access: the next reads fail.
        std::wstring dir = testpaths::MakeTempDir(L"wo");
        std::wstring wo = dir + L"\\writeonly.bin";
        HANDLE bad = CreateFileW(wo.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
        ASSERT_NE(INVALID_HANDLE_VALUE, bad);
        r.m_hFile = bad;
        r.ReadNext();
        EXPECT_NE(0u, r.GetError());
        const unsigned __int64 w = r.m_WindowSize;
        bool allZero = true;
        for (unsigned __int64 i = 0; i < w; ++i)
            allZero = allZero && r.m_pBuffer[i] == 0;
        EXPECT_TRUE(allZero) << "stale bytes after a failed read";
        // The device comes back: the following window is the one after.
        r.m_hFile = good;
        r.ReadNext();
        EXPECT_EQ(0u, r.GetError());
        EXPECT_EQ(2 * w, r.m_Base);
        EXPECT_EQ(0, memcmp(r.m_pBuffer, s_image->data() + 2 * w, (size_t)w));
        CloseHandle(bad);
        storagetest::RemoveTree(dir);
    }
    // The borrowed handle stays open after the reader is gone.
    DWORD flags = 0;
    EXPECT_TRUE(GetHandleInformation(good, &flags));
    CloseHandle(good);
}

TEST_F(ReaderTest, UnitThatIsNotAPowerOfTwoIsRefused)
{
    for (unsigned int unit : {0u, 3u, 520u}) {
        CDiskMappingPointer r(s_path->c_str(), 1000, 0, kSmallWindow, unit, 0);
        EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, r.GetError()) << unit;
        EXPECT_EQ(0u, r.GetTotalSize());
        EXPECT_EQ(0, r.SeekTo(4096));
        EXPECT_EQ(1, r.IsEnd());
        EXPECT_TRUE(r.m_uUnitSize != 0 && (r.m_uUnitSize & (r.m_uUnitSize - 1)) == 0);
    }
}

TEST_F(ReaderTest, MissingSourceShowsAsFailedRead)
{
    CDiskMappingPointer r(L"Z:\\nonexistent\\no.img", 0, 0, kSmallWindow, 512, 0);
    EXPECT_NE(0u, r.GetError());
    EXPECT_EQ(0u, r.GetTotalSize());
    EXPECT_EQ(0, r.m_pBuffer[0]);
}

TEST_F(ReaderTest, StreamHoldsTheWindow)
{
    CDiskMappingPointer r(s_path->c_str(), 8192, 0, kSmallWindow, 512, 0);
    IStream* s = r.CreateStream();
    ASSERT_TRUE(s != NULL);
    STATSTG st = {};
    ASSERT_EQ(S_OK, s->Stat(&st, STATFLAG_NONAME));
    EXPECT_EQ(r.m_WindowSize, st.cbSize.QuadPart);
    std::string buf((size_t)r.m_WindowSize, '\0');
    ULONG got = 0;
    LARGE_INTEGER zero = {};
    s->Seek(zero, STREAM_SEEK_SET, NULL);
    s->Read(&buf[0], (ULONG)buf.size(), &got);
    EXPECT_EQ(buf.size(), got);
    EXPECT_EQ(0, memcmp(buf.data(), s_image->data() + 8192, buf.size()));
    s->Release();
}

// ---- the device path: "\\.\PhysicalDriveN" onto the image ----

unsigned __int64 g_fakeLength = 0;
BOOL WINAPI FakeLengthIoControl(HANDLE, DWORD code, LPVOID, DWORD, LPVOID out, DWORD outSize, LPDWORD ret,
                                LPOVERLAPPED)
{
    if (code == IOCTL_DISK_GET_LENGTH_INFO && outSize >= sizeof(GET_LENGTH_INFORMATION)) {
        ((GET_LENGTH_INFORMATION*)out)->Length.QuadPart = (LONGLONG)g_fakeLength;
        *ret = sizeof(GET_LENGTH_INFORMATION);
        return TRUE;
    }
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

TEST_F(ReaderTest, DeviceLengthFromControlCodeOrFileSize)
{
    if (!devicemap::Available())
        GTEST_SKIP() << "needs Wine's dosdevices";
    devicemap::CScopedDeviceMap map;
    const int n = 11;
    ASSERT_TRUE(map.PhysicalDrive(n, *s_path));
    wchar_t dev[64];
    swprintf(dev, 64, L"\\\\.\\PhysicalDrive%d", n);
    {
        // Wine answers "not supported" to the length request: the file size serves.
        CDiskMappingPointer r(dev, 512, 1, kSmallWindow, 512, 0);
        EXPECT_EQ(0u, r.GetError());
        EXPECT_EQ(s_image->size(), r.GetTotalSize());
        ExpectBytesAt(r, 512);  // the GPT header
        EXPECT_EQ(0, memcmp(r.GetPointer(), "EFI PART", 8));
    }
    {
        // A driver that answers the length request is believed.
        g_fakeLength = 40ull * 1024 * 1024;
        StorageIoControlFn old = SetStorageIoControlHook(&FakeLengthIoControl);
        CDiskMappingPointer r(dev, 0, 1, kSmallWindow, 512, 0);
        SetStorageIoControlHook(old);
        EXPECT_EQ(g_fakeLength, r.GetTotalSize());
        EXPECT_EQ(0, r.SeekTo(g_fakeLength + 1));
        // The window that reaches the device's end is shortened, not failed.
        EXPECT_EQ(1, r.SeekTo(g_fakeLength - 1000));
        EXPECT_EQ(0u, r.GetError());
        ExpectBytesAt(r, 1000);
    }
}

TEST_F(ReaderTest, VolumeDevicePathReadsTheImage)
{
    if (!devicemap::Available())
        GTEST_SKIP() << "needs Wine's dosdevices";
    devicemap::CScopedDeviceMap map;
    ASSERT_TRUE(map.Volume(L'r', *s_path));
    CDiskMappingPointer r(L"\\\\.\\R:", 1024 * 1024, 1, 0, 512, 0);
    EXPECT_EQ(0u, r.GetError());
    EXPECT_EQ(s_image->size(), r.GetTotalSize());
    ExpectBytesAt(r, 65536);
}

}  // namespace
