// Mutation test: the table sectors (MBR, EBRs, both GPT headers and arrays)
// of the real fixture disks get random byte flips and truncations, a few
// thousand times. Every run must end, never crash, stay within the chain and
// array bounds, and give either the right table or a refusal.
#include <gtest/gtest.h>
#include <windows.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "StorageTestUtil.h"
#include "common/TestPaths.h"
#include "storage/PartitionTable.h"

namespace {

struct Row
{
    int logical, type;
    unsigned __int64 start, count;
    std::wstring name;
    bool operator==(const Row& o) const
    {
        return logical == o.logical && type == o.type && start == o.start && count == o.count && name == o.name;
    }
};

std::vector<Row> Rows(const CPartitionTable& t)
{
    std::vector<Row> rows;
    for (int i = 0; i < t.GetCount(); ++i) {
        const CPartitionInfo* p = t.GetAt(i);
        rows.push_back({p->m_bLogical ? 1 : 0, p->m_nType, p->m_StartSector, p->m_SectorCount, p->m_strName});
    }
    return rows;
}

// The sectors of an image that the table reader can reach, kept in memory;
// each run writes them into a sparse file of the chosen length.
struct DiskModel
{
    unsigned __int64 size = 0;
    std::map<unsigned __int64, std::string> sectors;  // sector -> 512 bytes
    std::vector<unsigned __int64> tableSectors;       // the ones to mutate
};

DiskModel LoadModel(const std::wstring& path, const std::vector<unsigned __int64>& table,
                    const std::vector<unsigned __int64>& extra)
{
    DiskModel m;
    HANDLE h = storagetest::OpenForRead(path);
    LARGE_INTEGER sz = {};
    GetFileSizeEx(h, &sz);
    CloseHandle(h);
    m.size = (unsigned __int64)sz.QuadPart;
    m.tableSectors = table;
    std::vector<unsigned __int64> all = table;
    all.insert(all.end(), extra.begin(), extra.end());
    for (unsigned __int64 s : all) {
        std::string buf(512, '\0');
        storagetest::ReadFileAt(path, s * 512, &buf[0], 512);
        m.sectors[s] = buf;
    }
    return m;
}

// The file holds zeros but for the model's sectors, so rewriting those (the
// part of each below the length) and setting the length gives the mutant,
// whatever the previous run left.
bool WriteModel(HANDLE h, unsigned __int64 length, const std::map<unsigned __int64, std::string>& sectors)
{
    if (h == INVALID_HANDLE_VALUE)
        return false;
    for (auto& kv : sectors) {
        const unsigned __int64 at = kv.first * 512;
        if (at >= length)
            continue;
        const DWORD n = (DWORD)(length - at < 512 ? length - at : 512);
        LARGE_INTEGER li;
        li.QuadPart = (LONGLONG)at;
        DWORD w = 0;
        SetFilePointerEx(h, li, NULL, FILE_BEGIN);
        if (!WriteFile(h, kv.second.data(), n, &w, NULL) || w != n)
            return false;
    }
    LARGE_INTEGER end;
    end.QuadPart = (LONGLONG)length;
    SetFilePointerEx(h, end, NULL, FILE_BEGIN);
    return SetEndOfFile(h) != FALSE;
}

std::vector<Row> ReadRows(HANDLE h, int* result, int* scheme)
{
    CPartitionTable t;
    *result = t.ReadFromHandle(h);
    *scheme = t.GetScheme();
    return Rows(t);
}

class PartitionMutation : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_dir = testpaths::MakeTempDir(L"ptmut");
        ASSERT_FALSE(m_dir.empty());
        m_path = m_dir + L"\\mutant.img";
    }
    void TearDown() override
    {
        if (m_h != INVALID_HANDLE_VALUE)
            CloseHandle(m_h);
        storagetest::RemoveTree(m_dir);
    }

    // Runs iterations; GPT-only damage must give the original table or none.
    void Run(const DiskModel& model, int iterations, bool gptDisk, unsigned seed)
    {
        int r = 0, scheme = 0;
        m_h = CreateFileW(m_path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS, 0,
                          NULL);
        ASSERT_TRUE(WriteModel(m_h, model.size, model.sectors));
        const std::vector<Row> original = ReadRows(m_h, &r, &scheme);
        ASSERT_EQ(1, r);
        ASSERT_FALSE(original.empty());

        std::mt19937 rng(seed);
        int refused = 0, exact = 0;
        for (int it = 0; it < iterations; ++it) {
            std::map<unsigned __int64, std::string> sectors = model.sectors;
            bool touchedMbr = false;
            // Every fifth run only truncates.
            const bool truncateOnly = it % 5 == 4;
            const int flips = truncateOnly ? 0 : 1 + (int)(rng() % 8);
            for (int f = 0; f < flips; ++f) {
                unsigned __int64 s = model.tableSectors[rng() % model.tableSectors.size()];
                std::string& sec = sectors[s];
                size_t off;
                // Aim most flips at the fields that steer the walk.
                if (s == 0 || !gptDisk)
                    off = (rng() % 3) ? 0x1BE + rng() % 66 : rng() % 512;
                else
                    off = (rng() % 2) ? rng() % 96 : rng() % 512;
                sec[off] = (char)(sec[off] ^ (1 + rng() % 255));
                if (s == 0)
                    touchedMbr = true;
            }
            unsigned __int64 length = model.size;
            const bool truncated = truncateOnly || rng() % 5 == 0;
            if (truncated)
                length = (rng() % (model.size / 512 + 1)) * 512 + (rng() % 2 ? rng() % 512 : 0);
            ASSERT_TRUE(WriteModel(m_h, length, sectors));

            std::vector<Row> got = ReadRows(m_h, &r, &scheme);
            ASSERT_TRUE(r == 0 || r == 1);
            if (r == 0) {
                EXPECT_TRUE(got.empty());
                ++refused;
                continue;
            }
            ASSERT_LE(got.size(), 4u + 4u * CPartitionTable::kMaxChainLinks + 8u * CPartitionTable::kMaxGptEntries);
            if (gptDisk && !touchedMbr && scheme == CPartitionTable::SCHEME_GPT) {
                // The CRCs guard the GPT: the right table, or nothing.
                if (got.empty())
                    ++refused;
                else {
                    // A truncated disk may lose a boot sector, hence the type.
                    ASSERT_EQ(original.size(), got.size()) << "iteration " << it;
                    for (size_t k = 0; k < got.size(); ++k) {
                        Row want = original[k];
                        if (truncated)
                            want.type = got[k].type;
                        ASSERT_TRUE(got[k] == want) << "iteration " << it << " row " << k;
                    }
                    ++exact;
                }
            } else if (!gptDisk && truncateOnly) {
                // A truncated chain is a prefix of the right one.
                for (const Row& row : got) {
                    bool known = false;
                    for (const Row& o : original)
                        known = known || (o.start == row.start && o.count == row.count);
                    EXPECT_TRUE(known) << "iteration " << it;
                }
            }
        }
        EXPECT_GT(refused + exact, 0);
    }

    std::wstring m_dir, m_path;
    HANDLE m_h = INVALID_HANDLE_VALUE;
};

TEST_F(PartitionMutation, MbrAndExtendedChain)
{
    DiskModel m = LoadModel(testpaths::Fixture(L"disk-mbr.img"), {0, 34816, 53248, 124928},
                            {2048, 18432, 36864, 55296, 126976});
    Run(m, 2500, false, 20261209);
}

TEST_F(PartitionMutation, GptHeadersAndArrays)
{
    const unsigned __int64 last = 48ull * 1024 * 2 - 1;
    std::vector<unsigned __int64> table = {0, 1, 2, 3, last, last - 32, last - 31};
    std::vector<unsigned __int64> extra = {2048, 34816, 67584, 83968};
    for (unsigned __int64 s = 4; s <= 33; ++s)
        extra.push_back(s);
    for (unsigned __int64 s = last - 30; s < last; ++s)
        extra.push_back(s);
    DiskModel m = LoadModel(testpaths::Fixture(L"disk-gpt.img"), table, extra);
    Run(m, 2500, true, 7);
}

}  // namespace
