// The cached reader over a failing device: a read that fails is taken apart,
// every unit that reads is kept, bad stretches are zeros and told once, a
// device that no longer answers is gone, and slow failures end in time. The
// device is a stand-in: a file of random bytes read through the storage
// read hook, which fails the reads that touch its bad ranges, or every read
// once the device is pulled.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "StorageTestUtil.h"
#include "storage/DeviceHealth.h"
#include "storage/DeviceIo.h"
#include "storage/DiskMappingPointer.h"

namespace {

const unsigned __int64 kDevice = 8ull * 1024 * 1024;
const unsigned __int64 kWindow = 1024 * 1024;  // request; the window is one unit more

// The stand-in device's state (the hook is a plain function).
struct StandIn
{
    std::vector<std::pair<unsigned __int64, unsigned __int64>> bad;  // [from, to)
    unsigned __int64 goneAt = ~0ull;  // the first read touching it pulls the device
    bool gone = false;
    DWORD sleepMs = 0;  // per failed read
    int reads = 0, failed = 0;
    std::vector<std::pair<unsigned __int64, DWORD>> failedReads;
} g_dev;

DWORD StandInRead(HANDLE h, unsigned __int64 offset, void* buffer, DWORD size)
{
    ++g_dev.reads;
    bool fails = false;
    DWORD code = ERROR_NOT_READY;  // what a bad sector gives under Wine
    if (offset + size > g_dev.goneAt)
        g_dev.gone = true;
    if (g_dev.gone) {
        fails = true;
        code = ERROR_GEN_FAILURE;
    }
    for (const auto& b : g_dev.bad)
        if (offset < b.second && b.first < offset + size)
            fails = true;
    if (fails) {
        ++g_dev.failed;
        g_dev.failedReads.push_back(std::make_pair(offset, size));
        if (g_dev.sleepMs)
            Sleep(g_dev.sleepMs);
        SetLastError(code);
        return 0;
    }
    return RawReadAt(h, offset, buffer, size);
}

class CNotes : public IDeviceHealthSink
{
public:
    void NoteUnreadable(uint64_t offset, uint64_t bytes) override { unreadable.push_back(std::make_pair(offset, bytes)); }
    void NoteDeviceGone(uint64_t offset) override { gone.push_back(offset); }
    std::vector<std::pair<uint64_t, uint64_t>> unreadable;
    std::vector<uint64_t> gone;
};

class DeviceHealthTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_dev = StandIn();
        m_path = m_dir.m_dir + L"\\device.bin";
        m_bytes.resize((size_t)kDevice);
        std::mt19937 rng(7);
        for (auto& b : m_bytes)
            b = (char)(rng() | 1);  // never 0: a zeroed byte is always told apart
        ASSERT_TRUE(WriteWhole(m_path, m_bytes));
        m_h = storagetest::OpenForRead(m_path);
        ASSERT_NE(INVALID_HANDLE_VALUE, m_h);
        SetStorageReadHook(StandInRead);
    }
    void TearDown() override
    {
        SetStorageReadHook(NULL);
        CloseHandle(m_h);
    }
    static bool WriteWhole(const std::wstring& path, const std::string& bytes)
    {
        HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
        DWORD n = 0;
        const bool ok = h != INVALID_HANDLE_VALUE && WriteFile(h, bytes.data(), (DWORD)bytes.size(), &n, NULL) &&
                        n == bytes.size();
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
        return ok;
    }
    // The window's bytes are the device's, except [from, to) ranges that are zeros.
    ::testing::AssertionResult WindowIs(const CDiskMappingPointer& r,
                                        const std::vector<std::pair<unsigned __int64, unsigned __int64>>& zeros)
    {
        for (unsigned __int64 i = 0; i < r.m_WindowSize; ++i) {
            const unsigned __int64 at = r.m_Base + i;
            bool zero = at >= kDevice;
            for (const auto& z : zeros)
                zero = zero || (at >= z.first && at < z.second);
            const char want = zero ? 0 : m_bytes[(size_t)at];
            if ((char)r.m_pBuffer[i] != want)
                return ::testing::AssertionFailure() << "byte at " << at << " is " << (int)r.m_pBuffer[i]
                                                     << ", not " << (int)want;
        }
        return ::testing::AssertionSuccess();
    }
    storagetest::CTempDir m_dir;
    std::wstring m_path;
    std::string m_bytes;
    HANDLE m_h = INVALID_HANDLE_VALUE;
};

TEST_F(DeviceHealthTest, FailedWindowKeepsEveryUnitThatReadsAndTellsEachBadStretchOnce)
{
    CNotes notes;
    CDeviceHealth health(&notes);
    CDiskMappingPointer r(m_h, 0, 0, kWindow, 512, 0);
    r.SetHealth(&health);
    ASSERT_EQ(kDevice, r.GetTotalSize());
    // In the second window: one sector; bad, bad, good, bad sectors (the
    // good one lies where the growing steps jump over it); and 40 KiB that
    // cross a 64 KiB piece boundary.
    const unsigned __int64 w = r.m_WindowSize;
    const unsigned __int64 u = w + 10 * 512;
    const unsigned __int64 v = w + 300 * 512;
    const unsigned __int64 x = w + 3 * 65536 - 20 * 1024;
    g_dev.bad = {{u, u + 512}, {v, v + 1024}, {v + 1536, v + 2048}, {x, x + 40 * 1024}};
    ASSERT_EQ(1, r.SeekTo(w));
    EXPECT_EQ(0u, r.GetError()) << "the window was read around its bad sectors";
    EXPECT_TRUE(WindowIs(r, g_dev.bad));
    const std::vector<std::pair<uint64_t, uint64_t>> told = {{u, 512}, {v, 1024}, {v + 1536, 512}, {x, 40 * 1024}};
    EXPECT_EQ(told, notes.unreadable);
    EXPECT_EQ(512u + 1024 + 512 + 40 * 1024, health.UnreadableBytes());
    EXPECT_TRUE(notes.gone.empty());
    EXPECT_FALSE(health.IsGone());
    // A bad stretch costs a few reads, not one per sector.
    EXPECT_LT(g_dev.failed, 40) << g_dev.failed << " failed reads";

    // A second reader of the same device (as the deep scan's analysis
    // reader is) never asks for the known stretches again, nor tells them.
    CDiskMappingPointer analysis(m_h, 0, 0, 64 * 1024, 512, 0);
    analysis.SetHealth(&health);
    const int failedBefore = g_dev.failed;
    ASSERT_EQ(1, analysis.SeekTo(x - 8192));
    EXPECT_EQ(0u, analysis.GetError());
    EXPECT_TRUE(WindowIs(analysis, g_dev.bad));
    EXPECT_EQ(failedBefore, g_dev.failed);
    EXPECT_EQ(4u, notes.unreadable.size());
    r.SetHealth(NULL);
    analysis.SetHealth(NULL);
}

TEST_F(DeviceHealthTest, HealthyWindowsTakeOneReadEachAndWholeBadWindowKeepsItsCode)
{
    CNotes notes;
    CDeviceHealth health(&notes);
    CDiskMappingPointer r(m_h, 0, 0, kWindow, 512, 0);
    r.SetHealth(&health);
    r.SaveBufferStart();
    const int before = g_dev.reads;
    r.ReadNext();
    r.ReadNext();
    EXPECT_EQ(before + 2, g_dev.reads) << "a healthy window is one read";
    EXPECT_TRUE(WindowIs(r, {}));
    // A window that is bad from end to end: zeros, its code, and one stretch.
    const unsigned __int64 next = r.m_Base + r.m_WindowSize;
    g_dev.bad = {{next - 4096, next + r.m_WindowSize + 4096}};
    r.ReadNext();
    EXPECT_EQ(next, r.m_Base);
    EXPECT_EQ((DWORD)ERROR_NOT_READY, r.GetError());
    EXPECT_TRUE(WindowIs(r, g_dev.bad));
    ASSERT_EQ(1u, notes.unreadable.size());
    EXPECT_EQ(std::make_pair((uint64_t)next, (uint64_t)r.m_WindowSize), notes.unreadable[0]);
    EXPECT_FALSE(health.IsGone()) << "the device still gives the sectors it gave before";
    r.SetHealth(NULL);
}

TEST_F(DeviceHealthTest, PulledDeviceIsGoneNotBadAndIsAskedNoMore)
{
    CNotes notes;
    CDeviceHealth health(&notes);
    CDiskMappingPointer r(m_h, 0, 0, kWindow, 512, 0);
    r.SetHealth(&health);
    r.SaveBufferStart();
    g_dev.goneAt = r.m_WindowSize + 100 * 1024;
    r.ReadNext();
    EXPECT_NE(0u, r.GetError());
    EXPECT_TRUE(health.IsGone());
    ASSERT_EQ(1u, notes.gone.size());
    EXPECT_EQ(health.GoneAt(), notes.gone[0]);
    EXPECT_GE(health.GoneAt(), r.m_Base);
    EXPECT_LE(health.GoneAt(), g_dev.goneAt);
    EXPECT_TRUE(notes.unreadable.empty()) << "a pulled device is not a bad stretch";
    EXPECT_EQ(0u, health.UnreadableBytes());
    const int failed = g_dev.failed;
    r.ReadNext();
    EXPECT_NE(0u, r.GetError());
    EXPECT_EQ(failed + 1, g_dev.failed) << "only the window's own read is tried";
    EXPECT_EQ(1u, notes.gone.size());
    r.SetHealth(NULL);
}

TEST_F(DeviceHealthTest, SlowFailuresEndWhenTheirTimeIsUsedUpAndTheRestIsNotCountedUnreadable)
{
    CNotes notes;
    CDeviceHealth health(&notes);
    health.SetTimeBudget(300, 0);
    g_dev.sleepMs = 40;
    CDiskMappingPointer r(m_h, 0, 0, kWindow, 512, 0);
    r.SetHealth(&health);
    r.SaveBufferStart();
    // A bad sector in every 8 KiB of the next two windows.
    const unsigned __int64 next = r.m_WindowSize;
    for (unsigned __int64 at = next + 4096; at < next + 2 * r.m_WindowSize; at += 8192)
        g_dev.bad.push_back(std::make_pair(at, at + 512));
    const ULONGLONG t0 = GetTickCount64();
    r.ReadNext();
    const ULONGLONG took = GetTickCount64() - t0;
    EXPECT_TRUE(health.IsOutOfTime());
    EXPECT_FALSE(health.IsGone());
    EXPECT_NE(0u, r.GetError());
    EXPECT_LT(took, 3000u) << "failed reads went on for " << took << " ms";
    // What was told is bad is bad; far less than the window was told.
    uint64_t told = 0;
    for (const auto& n : notes.unreadable) {
        told += n.second;
        EXPECT_EQ(0u, (n.first - next - 4096) % 8192) << n.first;
    }
    EXPECT_EQ(told, health.UnreadableBytes());
    EXPECT_LT(told, 64u * 512);
    // Out of time, nothing more is asked for.
    const int failed = g_dev.failed;
    r.ReadNext();
    EXPECT_EQ(failed + 1, g_dev.failed);
    r.SetHealth(NULL);
}

}  // namespace
