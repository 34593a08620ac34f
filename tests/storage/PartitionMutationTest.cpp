// Mutation test: the table sectors (MBR, EBRs, both GPT headers and arrays)
// of the fixture disks get random byte flips and truncations, a few thousand
// times. Every run must end, never crash, stay within the chain and array
// bounds, and give either the right table or a refusal.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "StorageTestUtil.h"
#include "storage/PartitionTable.h"

namespace {

typedef std::map<unsigned __int64, std::string> Sectors;  // sector -> 512 bytes

std::vector<std::wstring> Rows(HANDLE h, int* result, int* scheme, int* unverified = nullptr)
{
    CPartitionTable t;
    *result = t.ReadFromHandle(h);
    *scheme = t.GetScheme();
    if (unverified)
        *unverified = t.UsedUnverifiedGpt();
    return storagetest::RowsOf(t);
}

// The file holds zeros but for the sectors the reader can reach, so writing
// those (below the length) and setting the length gives the mutant whatever
// the previous run left.
void WriteDisk(HANDLE h, unsigned __int64 length, const Sectors& sectors)
{
    for (auto& kv : sectors) {
        LARGE_INTEGER li;
        li.QuadPart = (LONGLONG)(kv.first * 512);
        DWORD w = 0;
        if ((unsigned __int64)li.QuadPart < length && SetFilePointerEx(h, li, NULL, FILE_BEGIN))
            WriteFile(h, kv.second.data(), (DWORD)std::min<unsigned __int64>(512, length - li.QuadPart), &w, NULL);
    }
    LARGE_INTEGER end;
    end.QuadPart = (LONGLONG)length;
    SetFilePointerEx(h, end, NULL, FILE_BEGIN);
    ASSERT_TRUE(SetEndOfFile(h));
}

// table: the sectors to mutate; extra: other sectors the reader looks at.
void Mutate(const wchar_t* fixture, bool gptDisk, const std::vector<unsigned __int64>& table,
            const std::vector<unsigned __int64>& extra, unsigned seed)
{
    const std::wstring path = testpaths::Fixture(fixture);
    const std::string image = testpaths::ReadWholeFile(path);
    ASSERT_FALSE(image.empty());
    Sectors model;
    for (auto list : {&table, &extra})
        for (unsigned __int64 s : *list)
            model[s] = image.substr((size_t)s * 512, 512);
    storagetest::CTempDir dir;
    HANDLE h = CreateFileW((dir.m_dir + L"\\mutant.img").c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                           NULL, CREATE_ALWAYS, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    int r = 0, scheme = 0;
    WriteDisk(h, image.size(), model);
    const std::vector<std::wstring> original = Rows(h, &r, &scheme);
    ASSERT_EQ(1, r);
    ASSERT_FALSE(original.empty());

    std::mt19937 rng(seed);
    int refusedOrExact = 0;
    for (int it = 0; it < 2500; ++it) {
        Sectors sectors = model;
        bool touchedMbr = false;
        const bool truncateOnly = it % 5 == 4;
        for (int f = truncateOnly ? 0 : 1 + (int)(rng() % 8); f > 0; --f) {
            const unsigned __int64 s = table[rng() % table.size()];
            // Aim most flips at the fields that steer the walk.
            size_t off = rng() % 512;
            if (rng() % 3 && (s == 0 || !gptDisk))
                off = 0x1BE + rng() % 66;
            else if (rng() % 2 && gptDisk)
                off = rng() % 96;
            sectors[s][off] ^= (char)(1 + rng() % 255);
            touchedMbr = touchedMbr || s == 0;
        }
        const bool truncated = truncateOnly || rng() % 5 == 0;
        const unsigned __int64 length =
            truncated ? (rng() % (image.size() / 512 + 1)) * 512 + (rng() % 2 ? rng() % 512 : 0) : image.size();
        WriteDisk(h, length, sectors);

        int unverified = 0;
        const std::vector<std::wstring> got = Rows(h, &r, &scheme, &unverified);
        ASSERT_TRUE(r == 0 || r == 1);
        ASSERT_TRUE(r == 1 || got.empty());
        ASSERT_LE(got.size(), 4u + 4u * CPartitionTable::kMaxChainLinks + 8u * CPartitionTable::kMaxGptEntries);
        if (gptDisk && !touchedMbr && scheme == CPartitionTable::SCHEME_GPT && unverified) {
            // Both headers failed: entries of the standard array, each on the disk.
            ASSERT_LE(got.size(), 128u) << "iteration " << it;
        } else if (gptDisk && !touchedMbr && scheme == CPartitionTable::SCHEME_GPT) {
            // The CRCs guard the GPT: the right table, or nothing. A truncated
            // disk may lose a partition's boot sector, hence its type.
            ASSERT_TRUE(got.empty() || got.size() == original.size()) << "iteration " << it;
            for (size_t k = 0; k < got.size(); ++k) {
                const std::wstring& a = got[k], &b = original[k];
                ASSERT_TRUE(truncated ? a.substr(a.find(L' ', 2)) == b.substr(b.find(L' ', 2)) : a == b)
                    << "iteration " << it << " row " << k;
            }
            ++refusedOrExact;
        } else if (!gptDisk && truncateOnly) {
            // A truncated chain gives only partitions of the right one.
            for (const std::wstring& row : got)
                EXPECT_NE(original.end(), std::find(original.begin(), original.end(), row)) << "iteration " << it;
        }
    }
    EXPECT_TRUE(!gptDisk || refusedOrExact > 0);
    CloseHandle(h);
}

TEST(PartitionMutation, MbrAndExtendedChain)
{
    Mutate(L"disk-mbr.img", false, {0, 34816, 53248, 124928}, {2048, 18432, 36864, 55296, 126976}, 20261209);
}

TEST(PartitionMutation, GptHeadersAndArrays)
{
    const unsigned __int64 last = 48ull * 1024 * 2 - 1;
    std::vector<unsigned __int64> extra = {2048, 34816, 67584, 83968};
    for (unsigned __int64 s = 4; s <= 33; ++s)
        extra.insert(extra.end(), {s, last - 34 + s});
    Mutate(L"disk-gpt.img", true, {0, 1, 2, 3, last, last - 32, last - 31}, extra, 7);
}

}  // namespace
