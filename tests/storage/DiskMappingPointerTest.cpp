// The cached reader over a real disk image: cursor moves against the image's
// bytes, double buffering, failed and short reads, and the device paths.
#include <gtest/gtest.h>
#include <windows.h>
#include <winioctl.h>

#include <cstring>
#include <random>
#include <string>

#include "StorageTestUtil.h"
#include "common/DeviceMap.h"
#include "storage/DeviceIo.h"
#include "storage/DiskMappingPointer.h"

namespace {

const unsigned __int64 kSmallWindow = 64 * 1024;  // request; the window is one unit more

class ReaderTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { s_image = new std::string(testpaths::ReadWholeFile(Path())); }
    static void TearDownTestSuite() { delete s_image; }
    void SetUp() override { ASSERT_EQ(s_image->size(), 48u * 1024 * 1024); }
    static std::wstring Path() { return testpaths::Fixture(L"disk-gpt.img"); }
    // The n bytes the reader shows at its cursor are the image's bytes there.
    static bool Shows(CDiskMappingPointer& r, size_t n)
    {
        const unsigned __int64 pos = r.GetPosition();
        return pos + n <= s_image->size() && memcmp(r.GetPointer(), s_image->data() + pos, n) == 0;
    }
    static std::string* s_image;
};
std::string* ReaderTest::s_image;

TEST_F(ReaderTest, RandomCursorWalkAlwaysShowsTheSourceBytes)
{
    // The plug-ins' promise: after any move, the bytes that GetWindowRemaining
    // reports at the cursor are the source's bytes there.
    CDiskMappingPointer r(Path().c_str(), 0, 0, kSmallWindow, 512, 0);
    const unsigned __int64 limit = r.GetTotalSize();
    ASSERT_EQ(s_image->size(), limit);
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
        if (r.IsEnd()) {
            ASSERT_GT(r.GetPosition(), limit);
            continue;
        }
        const unsigned __int64 n = std::min(r.GetWindowRemaining(), limit - r.GetPosition());
        ASSERT_LE(r.m_CurrentPos + n, r.m_WindowSize) << i;
        ASSERT_TRUE(Shows(r, (size_t)n)) << "step " << i << " at " << r.GetPosition();
        ASSERT_EQ(0u, r.GetError());
    }
}

TEST_F(ReaderTest, SeekToTheSourceEndIsAllowedAndOnePastItIsTheEnd)
{
    // A plug-in that measured a file ending exactly at the source end seeks
    // there; one byte further is past the end.
    CDiskMappingPointer r(Path().c_str(), 0, 0, kSmallWindow, 512, 0);
    const unsigned __int64 limit = r.GetTotalSize();
    EXPECT_EQ(1, r.SeekTo(limit - 1));
    EXPECT_EQ(0, r.IsEnd());
    EXPECT_TRUE(Shows(r, 1));
    EXPECT_EQ(1, r.SeekTo(limit));
    EXPECT_EQ(limit, r.GetPosition());
    EXPECT_EQ(0, r.IsEnd());
    EXPECT_EQ(0, r.SeekTo(limit + 1));
    EXPECT_EQ(limit + 1, r.GetPosition());
    EXPECT_EQ(1, r.IsEnd());
    EXPECT_EQ(1, r.SeekTo(100));  // and back inside
    EXPECT_EQ(0, r.IsEnd());
    EXPECT_TRUE(Shows(r, 512));
}

TEST_F(ReaderTest, RestoreAfterSavingAnAdvancedCursorKeepsBufferAndBaseInStep)
{
    CDiskMappingPointer r(Path().c_str(), 1024 * 1024, 0, kSmallWindow, 512, 0);
    r.SeekTo(1024 * 1024 + 5000);  // several units into the window
    r.SavePosition();
    r.SeekTo(30 * 1024 * 1024);
    r.RestorePosition();
    EXPECT_EQ(1024u * 1024 + 5000, r.GetPosition());
    EXPECT_EQ(r.m_SavedBase, r.m_Base);
    EXPECT_TRUE(Shows(r, 8192));
    // A caller that stepped the cursor past the trusted half: the next seek reloads.
    r.m_CurrentPos = r.m_WindowSize / 2 + 10;
    EXPECT_EQ(1, r.SeekTo(r.m_Base + 100));
    EXPECT_EQ(100u, r.m_CurrentPos);
    EXPECT_TRUE(Shows(r, 512));
}

TEST_F(ReaderTest, DoubleBufferAndFailedReadLeavingZerosWithTheNextWindowFromItsOffset)
{
    HANDLE good = storagetest::OpenForRead(Path());
    storagetest::CTempDir dir;
    // A handle without read access: reads through it fail.
    HANDLE bad = CreateFileW((dir.m_dir + L"\\wo.bin").c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, bad);
    {
        CDiskMappingPointer r(good, 0, 0, kSmallWindow, 512, 0);
        const size_t w = (size_t)r.m_WindowSize;
        unsigned char* lower = r.m_pBuffer;
        r.ReadNext();  // the lower half keeps the previous window for the worker
        EXPECT_EQ(lower + w, r.m_pBuffer);
        EXPECT_EQ(0, memcmp(r.m_pBuffer, s_image->data() + w, w));
        EXPECT_EQ(0, memcmp(lower, s_image->data(), w));
        r.m_hFile = bad;
        r.ReadNext();
        EXPECT_EQ(lower, r.m_pBuffer);
        EXPECT_NE(0u, r.GetError());
        EXPECT_EQ(std::string(w, '\0'), std::string((const char*)lower, w)) << "stale bytes after a failed read";
        r.m_hFile = good;  // the device comes back: the following window is the one after
        r.ReadNext();
        EXPECT_EQ(0u, r.GetError());
        EXPECT_EQ(3u * w, r.m_Base);
        EXPECT_EQ(0, memcmp(r.m_pBuffer, s_image->data() + 3 * w, w));
    }
    DWORD flags = 0;
    EXPECT_TRUE(GetHandleInformation(good, &flags));  // a borrowed handle stays open
    CloseHandle(good);
    CloseHandle(bad);
}

TEST_F(ReaderTest, BadUnitOrMissingSourceIsRefusedCleanly)
{
    for (unsigned int unit : {0u, 3u, 520u}) {
        CDiskMappingPointer r(Path().c_str(), 1000, 0, kSmallWindow, unit, 0);
        EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, r.GetError()) << unit;
        EXPECT_EQ(0u, r.GetTotalSize());
        EXPECT_EQ(0, r.SeekTo(4096));
        EXPECT_EQ(1, r.IsEnd());
    }
    CDiskMappingPointer gone(L"Z:\\nonexistent\\no.img", 0, 0, kSmallWindow, 512, 0);
    EXPECT_NE(0u, gone.GetError());
    EXPECT_EQ(0u, gone.GetTotalSize());
    EXPECT_EQ(0, gone.m_pBuffer[0]);
}

// ---- the device paths: "\\.\PhysicalDriveN" and "\\.\X:" onto the image ----

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

TEST_F(ReaderTest, DevicePathsOpenedReadOnlyAndSizedByControlCodeOrFileSize)
{
    if (!devicemap::Available())
        GTEST_SKIP() << "needs Wine's dosdevices";
    storagetest::CFixtureCopy copy(L"disk-gpt.img");
    devicemap::CScopedDeviceMap map;
    ASSERT_TRUE(map.PhysicalDrive(11, copy.m_path));
    ASSERT_TRUE(map.Volume(L'r', copy.m_path));
    storagetest::CWriteBar bar(copy.m_path);
    for (const wchar_t* dev : {L"\\\\.\\PhysicalDrive11", L"\\\\.\\R:"}) {
        // Wine answers "not supported" to the length request: the file size serves.
        CDiskMappingPointer r(dev, 512, 1, kSmallWindow, 512, 0);
        EXPECT_EQ(0u, r.GetError());
        EXPECT_EQ(s_image->size(), r.GetTotalSize());
        EXPECT_TRUE(Shows(r, 512));
        EXPECT_EQ(0, memcmp(r.GetPointer(), "EFI PART", 8));
    }
    // A driver that answers the length request is believed, shorter or longer.
    StorageIoControlFn old = SetStorageIoControlHook(&FakeLengthIoControl);
    g_fakeLength = 40ull * 1024 * 1024;
    CDiskMappingPointer shorter(L"\\\\.\\PhysicalDrive11", 0, 1, kSmallWindow, 512, 0);
    g_fakeLength = s_image->size() + 4096;
    CDiskMappingPointer longer(L"\\\\.\\PhysicalDrive11", 0, 1, kSmallWindow, 512, 0);
    SetStorageIoControlHook(old);
    EXPECT_EQ(40ull * 1024 * 1024, shorter.GetTotalSize());
    EXPECT_EQ(0, shorter.SeekTo(40ull * 1024 * 1024 + 1));
    EXPECT_EQ(1, shorter.SeekTo(40ull * 1024 * 1024 - 1000));  // the last window is shortened, not failed
    EXPECT_EQ(0u, shorter.GetError());
    EXPECT_TRUE(Shows(shorter, 1000));
    // Past the file's end the short read leaves zeros, not the previous window.
    memset(longer.m_pBuffer, 0xAA, (size_t)longer.m_WindowSize);
    EXPECT_EQ(1, longer.SeekTo(s_image->size() - 1000));
    EXPECT_TRUE(Shows(longer, 1000));
    EXPECT_EQ(std::string(4096, '\0'), std::string((const char*)longer.GetPointer() + 1000, 4096));
}

}  // namespace
