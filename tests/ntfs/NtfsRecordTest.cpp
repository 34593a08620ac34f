// File records of real images: fix-up, attribute walk bounds, data runs
// patched into a real record, and attribute lists.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <vector>

#include "ntfs/NtfsTestUtil.h"
#include "storage/DeviceIo.h"
#include "tools/fsdump/FsDump.h"

using namespace ntfstest;

namespace {
// A record's raw image and the same image fixed up (with the stride ends put
// back, so that it loads again) for patching.
struct Raw {
  Raw(CNTFSVolume& vol, uint64_t n) : raw(vol.GetFileRecordSize()), rec(&vol), n((DWORD)n) {
    rec.SetAttrMask(0xFFFF);
    if (!vol.ReadRawRecord(n, raw.data()) || !rec.LoadRecordFromBuffer(this->n, 0, raw.data())) return;
    fixed.assign(rec.GetBuffer(), rec.GetBuffer() + raw.size());
    for (size_t s = 510; s < raw.size(); s += 512) memcpy(&fixed[s], &raw[s], 2);
  }
  int AttrAt(DWORD type) const {
    for (DWORD off = ((const FILE_RECORD_HEADER*)fixed.data())->OffsetOfAttr; off + 8 <= fixed.size();) {
      const ATTR_HEADER_COMMON* a = (const ATTR_HEADER_COMMON*)(fixed.data() + off);
      if (a->Type == ATTR_TYPE_END || a->TotalSize == 0) break;
      if (a->Type == type) return (int)off;
      off += a->TotalSize;
    }
    return -1;
  }
  // Loads a patched copy of the fixed-up image; FALSE when the record fails.
  bool Load(std::vector<BYTE> img, int at, DWORD value, int width) {
    memcpy(img.data() + at, &value, width);
    return rec.LoadRecordFromBuffer(n, 0, img.data()) && rec.LoadAttributes();
  }
  std::vector<BYTE> raw, fixed;
  CFileRecord rec;
  DWORD n;
};

// Reads of the images counted through the storage hook, and one byte range
// made to fail as a bad sector does.
int g_reads = 0;
uint64_t g_failFrom = ~0ull, g_failTo = 0;
DWORD CountingRead(HANDLE h, unsigned __int64 offset, void* buffer, DWORD size) {
  ++g_reads;
  if (offset < g_failTo && offset + size > g_failFrom) {
    SetLastError(ERROR_CRC);
    return 0;
  }
  return RawReadAt(h, offset, buffer, size);
}
struct CountedReads {
  StorageReadFn old;
  CountedReads() : old(SetStorageReadHook(CountingRead)) { g_reads = 0; }
  ~CountedReads() {
    SetStorageReadHook(old);
    g_failFrom = ~0ull, g_failTo = 0;
  }
};

// Where byte `offset` of a non-resident stream lies on the volume; ~0 in a hole.
uint64_t DiskOffset(const CAttrNonResident* a, uint64_t offset, DWORD cs) {
  const uint64_t vcn = offset / cs;
  const tagDataRun_Entry* r = a->GetDataRunList().FindIf(
      [&](tagDataRun_Entry* e) { return vcn >= e->startVcn && vcn <= e->lastVcn && e->lcn >= 0; });
  return r ? (uint64_t)(r->lcn + (LONGLONG)(vcn - r->startVcn)) * cs + offset % cs : ~0ull;
}

std::vector<BYTE> Le(uint64_t v, int n) {
  std::vector<BYTE> b;
  for (int i = 0; i < n; ++i) b.push_back((BYTE)(v >> (8 * i)));
  return b;
}
}  // namespace

TEST(NtfsRecord, FixupIsCheckedInFiveHundredTwelveByteStrides) {
  for (const wchar_t* image : {L"ntfs-4k.img", L"ntfs-4kn.img"}) {
    SCOPED_TRACE(image);
    Image f(image);
    Raw r(f.vol, 5);
    ASSERT_FALSE(r.fixed.empty());
    EXPECT_TRUE(r.rec.IsDirectory());
    std::vector<std::vector<BYTE>> bad;
    for (size_t s = 510; s < r.raw.size(); s += 512) {  // every stride, also on 4 KiB sectors
      bad.push_back(r.raw);
      bad.back()[s] ^= 0x55;
    }
    // Update-sequence array too short or outside the record, no "FILE".
    for (auto patch : {std::vector<BYTE>{6, 2}, {4, 0xFF, 0xFF}, {0, 'X'}}) {
      bad.push_back(r.raw);
      memcpy(&bad.back()[patch[0]], &patch[1], patch.size() - 1);
    }
    for (const auto& b : bad) {
      EXPECT_FALSE(r.rec.LoadRecordFromBuffer(5, 0, b.data()));
      EXPECT_EQ(nullptr, r.rec.GetBuffer());
    }
    EXPECT_FALSE(r.rec.LoadRecordFromBuffer(5, 0, nullptr));
    EXPECT_EQ(~0ull, r.rec.GetRecordNumber());
  }
}

TEST(NtfsRecord, DamagedAttributesFailOnlyTheirRecord) {
  Image f(L"ntfs-4k.img");
  const uint64_t n = f.Inode(L"/small.txt");
  Raw r(f.vol, n);
  const int fnAt = r.AttrAt(ATTR_TYPE_FILE_NAME), dataAt = r.AttrAt(ATTR_TYPE_DATA);
  const int siAt = r.AttrAt(ATTR_TYPE_STANDARD_INFORMATION);
  ASSERT_TRUE(0 < siAt && siAt < fnAt && fnAt < dataAt);
  // A zero length or one past the record ends the walk: what came before stays.
  for (DWORD len : {0u, 0x7FFFFFF0u}) {
    EXPECT_TRUE(r.Load(r.fixed, dataAt + 4, len, 4));
    EXPECT_NE(nullptr, r.rec.FindFirstAttr(ATTR_TYPE_FILE_NAME));
    EXPECT_EQ(nullptr, r.rec.FindDataStream());
  }
  // A value or name outside its attribute, or a first attribute at the
  // record's very end, fail the record.
  const int bad[][3] = {{dataAt + 16, 0x10000, 4}, {dataAt + 20, 0xFFF0, 2}, {dataAt + 9, 0xFF, 1},
                        {fnAt + 88, 0xFF, 1},      {fnAt + 4, 8, 4},          {20, 0x3FD, 2},
                        {20, 0x3FC, 2}};
  for (const auto& b : bad) EXPECT_FALSE(r.Load(r.fixed, b[0], b[1], b[2])) << "byte " << b[0];
  // Types that are not multiples of 0x10 never land in a neighbouring type's list.
  EXPECT_TRUE(r.Load(r.fixed, fnAt, 0x31, 4));
  EXPECT_EQ(nullptr, r.rec.FindFirstAttr(ATTR_TYPE_FILE_NAME));
  wchar_t none[16];
  EXPECT_EQ(0, r.rec.GetFileName(none, 16));
  EXPECT_TRUE(r.Load(r.fixed, siAt, 0x1F, 4));
  EXPECT_EQ(nullptr, r.rec.FindFirstAttr(ATTR_TYPE_STANDARD_INFORMATION));
  // Compressed or encrypted files are refused.
  const WORD valueAt = *(const WORD*)(r.fixed.data() + siAt + 20);
  for (DWORD flag : {0x800u, 0x4000u}) {
    EXPECT_FALSE(r.Load(r.fixed, siAt + valueAt + 32, flag, 4));
    EXPECT_EQ(flag == 0x800u, !!r.rec.IsCompressed());
    EXPECT_EQ(flag == 0x4000u, !!r.rec.IsEncrypted());
  }
  // The record on disk is unaffected.
  ASSERT_TRUE(Load(r.rec, n, 0xFFFF));
  EXPECT_NE(nullptr, r.rec.FindDataStream());
}

TEST(NtfsRecord, DataRunsDecodedFromPatchedRecord) {
  Image f(L"ntfs-4k.img");
  Raw r(f.vol, f.Inode(L"/big.bin"));  // 25 clusters in one run
  ASSERT_FALSE(r.fixed.empty());
  ASSERT_TRUE(r.rec.LoadAttributes());
  const CAttrBase* orig = r.rec.FindDataStream();
  ASSERT_NE(nullptr, orig);
  const LONGLONG lcn = FirstLcn(orig);
  const std::vector<BYTE> content = ReadAll(orig);
  ASSERT_EQ(102400u, content.size());
  const int at = r.AttrAt(ATTR_TYPE_DATA);
  const ATTR_HEADER_NON_RESIDENT* nr = (const ATTR_HEADER_NON_RESIDENT*)(r.fixed.data() + at);
  ASSERT_EQ(ATTR_TYPE_END, *(const DWORD*)(r.fixed.data() + at + nr->Header.TotalSize));

  // Writes a run list into the $DATA attribute, growing it over the end marker.
  auto load = [&](std::initializer_list<std::vector<BYTE>> parts) -> const CAttrNonResident* {
    std::vector<BYTE> runs, img = r.fixed;
    for (auto& p : parts) runs.insert(runs.end(), p.begin(), p.end());
    DWORD size = std::max<DWORD>(nr->Header.TotalSize, (nr->DataRunOffset + (DWORD)runs.size() + 8) & ~7u);
    EXPECT_LT(at + size + 8, 500u);  // stays inside the first stride
    ((ATTR_HEADER_NON_RESIDENT*)(img.data() + at))->Header.TotalSize = size;
    *(DWORD*)(img.data() + at + size) = ATTR_TYPE_END;
    memset(img.data() + at + nr->DataRunOffset, 0, size - nr->DataRunOffset);
    memcpy(img.data() + at + nr->DataRunOffset, runs.data(), runs.size());
    if (!r.rec.LoadRecordFromBuffer(r.n, 0, img.data()) || !r.rec.LoadAttributes()) return nullptr;
    return (const CAttrNonResident*)r.rec.FindDataStream();
  };
  std::vector<BYTE> buf(8192);
  DWORD got = 0;

  // 10 clusters, a 5-cluster hole, then the last 10 clusters of the file.
  const CAttrNonResident* a = load({{0x31, 10}, Le(lcn, 3), {0x01, 5}, {0x11, 10, 15}});
  ASSERT_NE(nullptr, a);
  EXPECT_TRUE(a->IsDataValid());
  std::vector<BYTE> want = content;
  std::fill(want.begin() + 40960, want.begin() + 61440, 0);
  EXPECT_TRUE(want == ReadAll(a));

  // A negative offset byte (0xFF) moves the running LCN back by one; past
  // the runs no run covers the VCN and the read ends instead of hanging.
  const CAttrNonResident* b = load({{0x31, 1}, Le(lcn + 1, 3), {0x11, 1, 0xFF}});
  ASSERT_NE(nullptr, b);
  ASSERT_TRUE(b->ReadData(0, buf.data(), 8192, &got));
  EXPECT_EQ(0, memcmp(buf.data(), content.data() + 4096, 4096));
  EXPECT_EQ(0, memcmp(buf.data() + 4096, content.data(), 4096));
  EXPECT_FALSE(b->ReadData(8192, buf.data(), 4096, &got));

  // Runs past the header's VCN span, or a negative LCN, invalidate the runs.
  const CAttrNonResident* c = load({{0x31, 30}, Le(lcn, 3)});
  ASSERT_NE(nullptr, c);
  EXPECT_FALSE(c->IsDataValid());
  EXPECT_FALSE(c->ReadData(0, buf.data(), 10, &got));
  const CAttrNonResident* d = load({{0x31, 1}, Le(lcn, 3), {0x31, 1}, Le((uint64_t)-(lcn + 5), 3)});
  ASSERT_NE(nullptr, d);
  EXPECT_FALSE(d->IsDataValid());

  // More than 8 length bytes ends the list, keeping what came before.
  const CAttrNonResident* e = load({{0x31, 2}, Le(lcn, 3), {0x09, 1}});
  ASSERT_NE(nullptr, e);
  EXPECT_TRUE(e->IsDataValid());
  EXPECT_EQ(1, e->GetDataRunList().GetCount());
}

// The attribute list of a file in 1500 extents, as written and with its
// entries reversed on disk: each extension record once, one stream whose
// runs cover VCN 0 to the end in order, and the same content whole or in pieces.
TEST(NtfsRecord, AttributeListInAnyOrderGivesTheSameStream) {
  std::wstring copy = CopyImage(L"ntfs-512.img", L"ntfsattrlist");
  for (int reversed = 0; reversed < 2; ++reversed) {
    SCOPED_TRACE(reversed);
    Image f(L"ntfs-512.img", copy);
    CFileRecord rec(&f.vol);
    ASSERT_TRUE(Load(rec, f.Inode(L"/islands.bin"), NtfsAttrMask(ATTR_TYPE_DATA)));
    CAttrBase* list = rec.FindFirstAttr(ATTR_TYPE_ATTRIBUTE_LIST);
    ASSERT_TRUE(list && list->IsNonResident());
    std::set<uint64_t> numbers;
    auto& ext = static_cast<CAttr_AttrList<CAttrNonResident>*>(list)->GetExtensionRecords();
    ext.ForEach([&](CFileRecord* x) { numbers.insert(x->GetRecordNumber()); });
    EXPECT_GE(numbers.size(), 2u);
    EXPECT_EQ((size_t)ext.GetCount(), numbers.size());
    EXPECT_EQ(1, rec.GetAttrList(ATTR_TYPE_DATA)->GetCount());
    EXPECT_FALSE(rec.IsAttrListIncomplete());
    const CAttrNonResident* data = (const CAttrNonResident*)rec.FindDataStream();
    ASSERT_NE(nullptr, data);
    ULONGLONG next = 0;
    data->GetDataRunList().ForEach([&](tagDataRun_Entry* x) {
      EXPECT_EQ(next, x->startVcn);
      next = x->lastVcn + 1;
    });
    EXPECT_EQ(3072000u / 512, next);
    std::vector<BYTE> all = ReadAll(data), part(9000);
    EXPECT_EQ(f.Find(L"/islands.bin").sha256, Sha256Hex(all.data(), all.size()));
    for (uint64_t off : {1ull, 2047ull, 1000001ull, all.size() - 1ull}) {  // reads across runs, and the tail
      DWORD got = 0;
      ASSERT_TRUE(data->ReadData(off, part.data(), 9000, &got));
      ASSERT_EQ(std::min<uint64_t>(9000, all.size() - off), got);
      EXPECT_EQ(0, memcmp(part.data(), all.data() + off, got)) << off;
    }
    DWORD got = 7;
    EXPECT_TRUE(data->ReadData(all.size(), part.data(), 1, &got));  // at the end: nothing, but no failure
    EXPECT_EQ(0u, got);
    EXPECT_FALSE(data->ReadData(all.size() + 1, part.data(), 1, &got));
    if (reversed) break;

    const uint64_t listAt = FirstLcn(list) * 512ull;
    std::vector<BYTE> bytes((size_t)list->GetDataSize()), back;
    ASSERT_LE(bytes.size(), 512u);
    ASSERT_TRUE(FileIo(copy, listAt, bytes.data(), (DWORD)bytes.size(), false));
    std::vector<size_t> starts;
    for (size_t off = 0; off + sizeof(ATTR_ATTRIBUTE_LIST) <= bytes.size();
         off += ((const ATTR_ATTRIBUTE_LIST*)&bytes[off])->RecordSize) {
      ASSERT_GE(((const ATTR_ATTRIBUTE_LIST*)&bytes[off])->RecordSize, sizeof(ATTR_ATTRIBUTE_LIST));
      starts.push_back(off);
    }
    ASSERT_GT(starts.size(), 3u);
    starts.push_back(bytes.size());
    for (size_t i = starts.size() - 1; i-- > 0;) back.insert(back.end(), &bytes[starts[i]], &bytes[0] + starts[i + 1]);
    ASSERT_EQ(bytes.size(), back.size());
    ASSERT_TRUE(FileIo(copy, listAt, back.data(), (DWORD)back.size(), true));
  }
  // An entry that names a record that is not one of the file's extensions
  // ($MFT itself) leaves the file incomplete, and the record says so.
  Image f(L"ntfs-512.img", copy);
  CFileRecord probe(&f.vol);
  ASSERT_TRUE(Load(probe, f.Inode(L"/islands.bin"), NtfsAttrMask(ATTR_TYPE_DATA)));
  const uint64_t listAt = FirstLcn(probe.FindFirstAttr(ATTR_TYPE_ATTRIBUTE_LIST)) * 512ull;
  std::vector<BYTE> bytes(512);
  ASSERT_TRUE(FileIo(copy, listAt, bytes.data(), 512, false));
  size_t off = 0;
  auto entry = [&]() { return (ATTR_ATTRIBUTE_LIST*)&bytes[off]; };
  while (off + sizeof(ATTR_ATTRIBUTE_LIST) <= bytes.size() && entry()->RecordSize &&
         (entry()->AttrType != ATTR_TYPE_DATA || NtfsRecordNumber(entry()->BaseRef) == f.Inode(L"/islands.bin")))
    off += entry()->RecordSize;
  ASSERT_LE(off + sizeof(ATTR_ATTRIBUTE_LIST), bytes.size());
  entry()->BaseRef = 0;
  ASSERT_TRUE(FileIo(copy, listAt, bytes.data(), 512, true));
  Image g(L"ntfs-512.img", copy);
  CFileRecord rec(&g.vol);
  ASSERT_TRUE(Load(rec, g.Inode(L"/islands.bin"), NtfsAttrMask(ATTR_TYPE_DATA)));
  EXPECT_TRUE(rec.IsAttrListIncomplete());
}

// A file cut and extended again by the driver: its initialized size (20,000)
// lies far below its data size, and the cluster behind byte 20,000 still holds
// the old bytes. Everything past the initialized size reads as zeros.
TEST(NtfsRecord, DataPastTheInitializedSizeReadsAsZeros) {
  Image f(L"ntfs-prealloc.img");
  CFileRecord rec(&f.vol);
  ASSERT_TRUE(Load(rec, f.Inode(L"/prealloc.bin"), NtfsAttrMask(ATTR_TYPE_DATA)));
  const CAttrNonResident* data = (const CAttrNonResident*)rec.FindDataStream();
  ASSERT_TRUE(data && data->IsNonResident());
  ASSERT_EQ(200000u, data->GetDataSize());
  std::vector<BYTE> all = ReadAll(data);
  ASSERT_EQ(200000u, all.size());
  EXPECT_EQ(f.Find(L"/prealloc.bin").sha256, Sha256Hex(all.data(), all.size()));
  EXPECT_EQ(all.end(), std::find_if(all.begin() + 20000, all.end(), [](BYTE b) { return b != 0; }));
  // A read that starts before the initialized size and ends past it.
  std::vector<BYTE> part(4096, 0xCC);
  DWORD got = 0;
  ASSERT_TRUE(data->ReadData(18000, part.data(), 4096, &got));
  ASSERT_EQ(4096u, got);
  EXPECT_EQ(0, memcmp(part.data(), all.data() + 18000, 4096));
}

// A stream whose last cluster is partial reads that cluster along with the
// clusters before it when the buffer has room for it: one read per run, where
// the tail cost a read of its own. The bytes are the same, past the
// initialized size too; without the room the tail is read alone.
TEST(NtfsRecord, ATailClusterComesInTheReadOfItsRun) {
  struct Case {
    const wchar_t* image;
    const wchar_t* path;
  };
  for (const Case& c : {Case{L"ntfs-4k.img", L"/odd-size.bin"}, Case{L"ntfs-4k.img", L"/docs/Новая папка/файл.bin"},
                        Case{L"ntfs-512.img", L"/odd-size.bin"},
                        Case{L"ntfs-prealloc.img", L"/prealloc.bin"}}) {
    SCOPED_TRACE(testpaths::Narrow(std::wstring(c.image) + c.path));
    Image f(c.image);
    CFileRecord rec(&f.vol);
    ASSERT_TRUE(Load(rec, f.Inode(c.path), NtfsAttrMask(ATTR_TYPE_DATA)));
    const CAttrNonResident* data = (const CAttrNonResident*)rec.FindDataStream();
    ASSERT_TRUE(data && data->IsNonResident());
    const DWORD cs = f.vol.GetClusterSize();
    const DWORD size = (DWORD)data->GetDataSize();
    ASSERT_GT(size, cs);
    ASSERT_NE(0u, size % cs);
    int runs = 0;
    data->GetDataRunList().ForEach([&](tagDataRun_Entry* e) { runs += e->lcn >= 0; });
    // A tail in a hole (prealloc.bin's) is zeros, read from nowhere.
    const int tailRead = DiskOffset(data, size - 1, cs) != ~0ull ? 1 : 0;
    CountedReads reads;
    std::vector<BYTE> plain(size);
    DWORD got = 0;
    ASSERT_TRUE(data->ReadData(0, plain.data(), size, &got));
    ASSERT_EQ(size, got);
    EXPECT_EQ(runs + tailRead, g_reads);
    EXPECT_EQ(f.Find(c.path).sha256, Sha256Hex(plain.data(), size));

    std::vector<BYTE> roomy(size + cs, 0xCC);
    g_reads = 0;
    got = 0;
    ASSERT_TRUE(data->ReadDataInto(0, roomy.data(), size, (DWORD)roomy.size(), &got));
    ASSERT_EQ(size, got);
    EXPECT_EQ(runs, g_reads);
    EXPECT_EQ(0, memcmp(roomy.data(), plain.data(), size));

    // One byte short of the whole last cluster: the tail alone, as before.
    std::vector<BYTE> tight(size + (cs - size % cs) - 1, 0xCC);
    g_reads = 0;
    ASSERT_TRUE(data->ReadDataInto(0, tight.data(), size, (DWORD)tight.size(), &got));
    ASSERT_EQ(size, got);
    EXPECT_EQ(runs + tailRead, g_reads);
    EXPECT_EQ(0, memcmp(tight.data(), plain.data(), size));

    // From the middle of a cluster to the end.
    const DWORD from = cs + 100;
    g_reads = 0;
    ASSERT_TRUE(data->ReadDataInto(from, roomy.data(), size - from, (DWORD)roomy.size(), &got));
    ASSERT_EQ(size - from, got);
    EXPECT_EQ(0, memcmp(roomy.data(), plain.data() + from, size - from));
  }
}

// Records that lie together in the MFT come from one read of their block. A
// bad sector in the block costs only its own record: the others are read one
// by one, and the block is not asked for again for each of them; the records
// of the bad sector's cluster, which do not read by whole clusters, are read
// through their own sectors.
TEST(NtfsRecord, NeighbouringRecordsShareOneReadAndABadSectorFailsOnlyItsRecord) {
  // One 64 KiB block of 1 KiB records (the MFT may end inside it).
  const ULONGLONG first = 384;
  ULONGLONG last = 447;
  std::set<ULONGLONG> good;
  {
    Image f(L"ntfs-4k.img");
    ASSERT_EQ(1024u, f.vol.GetFileRecordSize());
    last = std::min<ULONGLONG>(last, f.vol.GetRecordCount() - 1);
    ASSERT_GT(last, 420u);
    CFileRecord rec(&f.vol);
    CountedReads reads;
    for (ULONGLONG n = first; n <= last; ++n)
      if (rec.LoadRecord(n)) good.insert(n);
    EXPECT_EQ(1, g_reads);
  }
  ASSERT_GE(good.size(), 30u);
  ASSERT_TRUE(good.count(402) && good.count(410));
  Image f(L"ntfs-4k.img");
  const CAttrNonResident* mft = (const CAttrNonResident*)f.vol.GetMFTData();
  ASSERT_TRUE(mft);
  g_failFrom = DiskOffset(mft, 410ull * 1024 + 512, f.vol.GetClusterSize());
  ASSERT_NE(~0ull, g_failFrom);
  g_failTo = g_failFrom + 512;  // the second sector of record 410
  CFileRecord rec(&f.vol);
  CountedReads reads;
  for (ULONGLONG n = first; n <= last; ++n)
    EXPECT_EQ(good.count(n) && n != 410, rec.LoadRecord(n) != FALSE) << n;
  // The block once, then every record of it on its own, and the four of the
  // bad cluster (4 records a cluster) once more through their sectors.
  EXPECT_EQ(1 + (int)(last - first + 1) + 4, g_reads);
}
