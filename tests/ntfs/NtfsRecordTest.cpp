// File records of real images: fix-up, attribute walk bounds, data runs
// (patched into a real record), resident, sparse, named and attribute-list
// streams.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <vector>

#include "ntfs/NtfsTestUtil.h"
#include "storage/fs/NTFSAttr.h"
#include "storage/fs/NTFSFileRecord.h"
#include "storage/fs/NTFSIndex.h"
#include "storage/fs/NTFSVolume.h"
#include "tools/fsdump/FsDump.h"

using namespace ntfstest;

namespace {
struct Fixture {
  explicit Fixture(const wchar_t* image, uint64_t offset = 0)
      : expected(LoadExpected(image)), vol(testpaths::Fixture(image).c_str(), offset) {}
  uint64_t Inode(const wchar_t* path) const {
    const Expected* e = FindExpected(expected, path);
    return e ? e->inode : ~0ull;
  }
  std::vector<Expected> expected;
  CLostNTFSVolume vol;
};

std::vector<BYTE> RawRecord(CNTFSVolume& vol, uint64_t n) {
  std::vector<BYTE> img(vol.GetFileRecordSize());
  if (!vol.ReadRawRecord(n, img.data())) img.clear();
  return img;
}

std::vector<BYTE> ReadAll(const CAttrBase* a) {
  std::vector<BYTE> out((size_t)a->GetDataSize());
  DWORD got = 0;
  if (!out.empty() && (!a->ReadData(0, out.data(), (DWORD)out.size(), &got) || got != out.size())) out.clear();
  return out;
}

// Offset of the first attribute of a type inside a fixed-up record image.
int AttrOffset(const std::vector<BYTE>& img, DWORD type) {
  DWORD off = ((const FILE_RECORD_HEADER*)img.data())->OffsetOfAttr;
  while (off + 8 <= img.size()) {
    const ATTR_HEADER_COMMON* a = (const ATTR_HEADER_COMMON*)(img.data() + off);
    if (a->Type == ATTR_TYPE_END || a->TotalSize == 0) break;
    if (a->Type == type) return (int)off;
    off += a->TotalSize;
  }
  return -1;
}

// Undoes the fix-up of a raw record image so that it can be loaded again.
void Unfix(std::vector<BYTE>& img, const std::vector<BYTE>& raw) {
  for (size_t s = 510; s < img.size(); s += 512) {
    img[s] = raw[s];
    img[s + 1] = raw[s + 1];
  }
}
}  // namespace

TEST(NtfsRecord, FixupIsCheckedInFiveHundredTwelveByteStrides) {
  for (const wchar_t* image : {L"ntfs-4k.img", L"ntfs-4kn.img"}) {
    SCOPED_TRACE(image);
    Fixture f(image);
    std::vector<BYTE> raw = RawRecord(f.vol, 5);
    ASSERT_FALSE(raw.empty());
    CFileRecord rec(&f.vol);
    ASSERT_TRUE(rec.LoadRecordFromBuffer(5, 0, raw.data()));
    EXPECT_EQ(5u, rec.GetRecordNumber());
    EXPECT_TRUE(rec.IsDirectory());
    // Every 512-byte stride carries the sequence value, also on 4 KiB sectors.
    for (size_t s = 510; s < raw.size(); s += 512) {
      std::vector<BYTE> bad = raw;
      bad[s] ^= 0x55;
      EXPECT_FALSE(rec.LoadRecordFromBuffer(5, 0, bad.data())) << "stride end " << s;
      EXPECT_EQ(nullptr, rec.GetBuffer());
    }
    std::vector<BYTE> shortArray = raw;
    shortArray[6] = 2;  // update-sequence count too small for the record
    EXPECT_FALSE(rec.LoadRecordFromBuffer(5, 0, shortArray.data()));
    std::vector<BYTE> arrayOutside = raw;
    arrayOutside[4] = 0xFF;
    arrayOutside[5] = 0xFF;
    EXPECT_FALSE(rec.LoadRecordFromBuffer(5, 0, arrayOutside.data()));
    std::vector<BYTE> notFile = raw;
    notFile[0] = 'X';
    EXPECT_FALSE(rec.LoadRecordFromBuffer(5, 0, notFile.data()));
    EXPECT_FALSE(rec.LoadRecordFromBuffer(5, 0, nullptr));
    EXPECT_EQ(~0ull, rec.GetRecordNumber());
  }
}

TEST(NtfsRecord, ResidentAndNamedStreams) {
  Fixture f(L"ntfs-4k.img");
  CFileRecord rec(&f.vol);
  rec.SetAttrMask(NtfsAttrMask(ATTR_TYPE_DATA) | NtfsAttrMask(ATTR_TYPE_FILE_NAME));
  ASSERT_TRUE(rec.LoadRecord(f.Inode(L"/small.txt")));
  ASSERT_TRUE(rec.LoadAttributes());
  const CAttrBase* data = rec.FindDataStream();
  ASSERT_NE(nullptr, data);
  EXPECT_FALSE(data->IsNonResident());
  std::string want;
  for (int i = 0; i < 15; ++i) want += "small resident file\n";
  std::vector<BYTE> all = ReadAll(data);
  EXPECT_EQ(want, std::string(all.begin(), all.end()));
  char c = 0;
  DWORD got = 1;
  EXPECT_FALSE(data->ReadData(want.size(), &c, 1, &got));
  EXPECT_EQ(0u, got);
  EXPECT_TRUE(data->ReadData(want.size(), &c, 0, &got));
  wchar_t name[64];
  EXPECT_EQ(9, rec.GetFileName(name, 64));
  EXPECT_STREQ(L"small.txt", name);
  EXPECT_EQ(-9, rec.GetFileName(name, 4));
  EXPECT_EQ(5u, rec.GetParentRecord());
  FILETIME m, cr, a;
  rec.GetFileTimes(&m, &cr, &a);
  EXPECT_NE(0u, m.dwHighDateTime);
  EXPECT_FALSE(rec.IsDeleted());
  EXPECT_FALSE(rec.IsCompressed());

  ASSERT_TRUE(rec.LoadRecord(f.Inode(L"/ads.txt")));
  ASSERT_TRUE(rec.LoadAttributes());
  const CAttrBase* secret = rec.FindDataStream(L"secret");
  ASSERT_NE(nullptr, secret);
  all = ReadAll(secret);
  EXPECT_EQ("hidden stream text\n", std::string(all.begin(), all.end()));
  EXPECT_EQ(nullptr, rec.FindDataStream(L"SECRET"));  // stream names match exactly
  const CAttrBase* big = rec.FindDataStream(L"bigstream");
  ASSERT_NE(nullptr, big);
  EXPECT_TRUE(big->IsNonResident());
  EXPECT_EQ(20000u, big->GetDataSize());
  all = ReadAll(big);
  ASSERT_EQ(20000u, all.size());
  EXPECT_EQ(0, memcmp(all.data() + 19968, "stream@19968\n", 13));
  all = ReadAll(rec.FindDataStream());
  EXPECT_EQ("ads host\n", std::string(all.begin(), all.end()));
}

TEST(NtfsRecord, NonResidentReadsAlignedOrNot) {
  Fixture f(L"ntfs-4k.img");
  CFileRecord rec(&f.vol);
  rec.SetAttrMask(NtfsAttrMask(ATTR_TYPE_DATA));
  ASSERT_TRUE(rec.LoadRecord(f.Inode(L"/odd-size.bin")));
  ASSERT_TRUE(rec.LoadAttributes());
  const CAttrBase* data = rec.FindDataStream();
  ASSERT_NE(nullptr, data);
  const uint64_t size = 4096 * 3 + 17;
  ULONGLONG alloc = 0;
  EXPECT_EQ(size, data->GetDataSize(&alloc));
  EXPECT_EQ(4096u * 4, alloc);
  std::vector<BYTE> all = ReadAll(data);
  ASSERT_EQ(size, all.size());
  // Head, body and tail pieces agree with one whole read.
  for (uint64_t off : {0ull, 1ull, 511ull, 4095ull, 4096ull, 5000ull, size - 17, size - 1}) {
    for (DWORD len : {1u, 17u, 4096u, 9000u}) {
      std::vector<BYTE> part(len);
      DWORD got = 0;
      ASSERT_TRUE(data->ReadData(off, part.data(), len, &got));
      DWORD want = (DWORD)std::min<uint64_t>(len, size - off);
      ASSERT_EQ(want, got);
      EXPECT_EQ(0, memcmp(part.data(), all.data() + off, got)) << off << "+" << len;
    }
  }
  DWORD got = 7;
  BYTE b;
  EXPECT_TRUE(data->ReadData(size, &b, 1, &got));  // at the end: nothing, but no failure
  EXPECT_EQ(0u, got);
  EXPECT_FALSE(data->ReadData(size + 1, &b, 1, &got));
}

TEST(NtfsRecord, SparseAndFragmentedFilesComeOutWhole) {
  Fixture f(L"ntfs-4k.img");
  CFileRecord rec(&f.vol);
  rec.SetAttrMask(NtfsAttrMask(ATTR_TYPE_DATA));
  ASSERT_TRUE(rec.LoadRecord(f.Inode(L"/sparse.bin")));
  ASSERT_TRUE(rec.LoadAttributes());
  const CAttrNonResident* sparse = (const CAttrNonResident*)rec.FindDataStream();
  ASSERT_NE(nullptr, sparse);
  int holes = 0;
  sparse->GetDataRunList().ForEach([&](tagDataRun_Entry* r) { holes += r->lcn == -1; });
  EXPECT_GE(holes, 2);
  char buf[16] = {};
  DWORD got = 0;
  ASSERT_TRUE(sparse->ReadData(1048576, buf, 10, &got));
  EXPECT_EQ("island one", std::string(buf, got));
  ASSERT_TRUE(sparse->ReadData(3145728, buf, 10, &got));
  EXPECT_EQ("island two", std::string(buf, got));
  ASSERT_TRUE(sparse->ReadData(4096 * 3, buf, 16, &got));
  EXPECT_EQ(std::string(16, '\0'), std::string(buf, 16));

  for (const wchar_t* path : {L"/fragmented.bin", L"/interleaved-a.bin", L"/interleaved-b.bin"}) {
    SCOPED_TRACE(path);
    ASSERT_TRUE(rec.LoadRecord(f.Inode(path)));
    ASSERT_TRUE(rec.LoadAttributes());
    const CAttrNonResident* data = (const CAttrNonResident*)rec.FindDataStream();
    ASSERT_NE(nullptr, data);
    EXPECT_GT(data->GetDataRunList().GetCount(), 1);
    std::vector<BYTE> all = ReadAll(data);
    EXPECT_EQ(FindExpected(f.expected, path)->sha256, Sha256Hex(all.data(), all.size()));
  }
}

TEST(NtfsRecord, AttributeListPullsExtentsInOnceAndInOrder) {
  Fixture f(L"ntfs-512.img");
  CFileRecord rec(&f.vol);
  rec.SetAttrMask(NtfsAttrMask(ATTR_TYPE_DATA));
  ASSERT_TRUE(rec.LoadRecord(f.Inode(L"/islands.bin")));
  ASSERT_TRUE(rec.LoadAttributes());
  CAttrBase* list = rec.FindFirstAttr(ATTR_TYPE_ATTRIBUTE_LIST);
  ASSERT_NE(nullptr, list);
  CSList<CFileRecord>* ext = list->IsNonResident()
                                 ? &static_cast<CAttr_AttrList<CAttrNonResident>*>(list)->GetExtensionRecords()
                                 : &static_cast<CAttr_AttrList<CAttrResident>*>(list)->GetExtensionRecords();
  EXPECT_GE(ext->GetCount(), 2);
  std::set<uint64_t> numbers;
  ext->ForEach([&](CFileRecord* r) {
    numbers.insert(r->GetRecordNumber());
    EXPECT_EQ(rec.GetRecordNumber(), r->GetBaseRecord());
  });
  EXPECT_EQ((size_t)ext->GetCount(), numbers.size());

  // One stream whose runs cover VCN 0 to the end without gaps.
  EXPECT_EQ(1, rec.GetAttrList(ATTR_TYPE_DATA)->GetCount());
  const CAttrNonResident* data = (const CAttrNonResident*)rec.FindDataStream();
  ASSERT_NE(nullptr, data);
  EXPECT_EQ(3072000u, data->GetDataSize());
  ULONGLONG next = 0;
  bool contiguous = true;
  data->GetDataRunList().ForEach([&](tagDataRun_Entry* r) {
    contiguous &= r->startVcn == next;
    next = r->lastVcn + 1;
  });
  EXPECT_TRUE(contiguous);
  EXPECT_EQ(3072000u / 512, next);
  EXPECT_GT(data->GetDataRunList().GetCount(), 1500);
  for (int k : {0, 1, 700, 1499}) {
    char c = 0;
    DWORD got = 0;
    ASSERT_TRUE(data->ReadData(2048ull * k, &c, 1, &got));
    EXPECT_EQ('A' + k % 26, c) << k;
  }
  std::vector<BYTE> all = ReadAll(data);
  EXPECT_EQ(FindExpected(f.expected, L"/islands.bin")->sha256, Sha256Hex(all.data(), all.size()));

  // Many hard links with long names spill $FILE_NAMEs into extension records.
  Fixture g(L"ntfs-4k.img");
  CFileRecord links(&g.vol);
  links.SetAttrMask(NtfsAttrMask(ATTR_TYPE_FILE_NAME));
  ASSERT_TRUE(links.LoadRecord(g.Inode(L"/links/target.txt")));
  ASSERT_TRUE(links.LoadAttributes());
  EXPECT_NE(nullptr, links.FindFirstAttr(ATTR_TYPE_ATTRIBUTE_LIST));
  EXPECT_EQ(15, links.GetAttrList(ATTR_TYPE_FILE_NAME)->GetCount());
}

namespace {
// Writes a run list into the $DATA attribute of a record image, growing the
// attribute over the end marker when it needs room.
bool PutRuns(std::vector<BYTE>& img, const std::vector<BYTE>& runs) {
  int off = AttrOffset(img, ATTR_TYPE_DATA);
  if (off < 0) return false;
  ATTR_HEADER_NON_RESIDENT* nr = (ATTR_HEADER_NON_RESIDENT*)(img.data() + off);
  DWORD end = off + nr->Header.TotalSize;
  if (*(DWORD*)(img.data() + end) != ATTR_TYPE_END) return false;
  DWORD need = (nr->DataRunOffset + (DWORD)runs.size() + 1 + 7) & ~7u;
  if (need > nr->Header.TotalSize) {
    if (off + need + 8 > 500) return false;  // stay inside the first stride
    nr->Header.TotalSize = need;
    *(DWORD*)(img.data() + off + need) = ATTR_TYPE_END;
  }
  memset(img.data() + off + nr->DataRunOffset, 0, nr->Header.TotalSize - nr->DataRunOffset);
  memcpy(img.data() + off + nr->DataRunOffset, runs.data(), runs.size());
  return true;
}

std::vector<BYTE> Le(uint64_t v, int n) {
  std::vector<BYTE> b;
  for (int i = 0; i < n; ++i) b.push_back((BYTE)(v >> (8 * i)));
  return b;
}
}  // namespace

TEST(NtfsRecord, DataRunsDecodedFromPatchedRecord) {
  Fixture f(L"ntfs-4k.img");
  const uint64_t n = f.Inode(L"/big.bin");  // 25 clusters in one run
  std::vector<BYTE> raw = RawRecord(f.vol, n);
  ASSERT_FALSE(raw.empty());
  CFileRecord rec(&f.vol);
  rec.SetAttrMask(NtfsAttrMask(ATTR_TYPE_DATA));
  ASSERT_TRUE(rec.LoadRecordFromBuffer((DWORD)n, 0, raw.data()));
  ASSERT_TRUE(rec.LoadAttributes());
  const CAttrNonResident* orig = (const CAttrNonResident*)rec.FindDataStream();
  ASSERT_EQ(1, orig->GetDataRunList().GetCount());
  const LONGLONG lcn = orig->GetDataRunList().FindIf([](tagDataRun_Entry*) { return true; })->lcn;
  std::vector<BYTE> content = ReadAll(orig);
  ASSERT_EQ(102400u, content.size());
  std::vector<BYTE> fixed(rec.GetBuffer(), rec.GetBuffer() + raw.size());
  Unfix(fixed, raw);

  auto load = [&](const std::vector<BYTE>& runs) -> const CAttrNonResident* {
    std::vector<BYTE> img = fixed;
    if (!PutRuns(img, runs)) return nullptr;
    if (!rec.LoadRecordFromBuffer((DWORD)n, 0, img.data()) || !rec.LoadAttributes()) return nullptr;
    return (const CAttrNonResident*)rec.FindDataStream();
  };
  auto cat = [](std::initializer_list<std::vector<BYTE>> parts) {
    std::vector<BYTE> r;
    for (auto& p : parts) r.insert(r.end(), p.begin(), p.end());
    return r;
  };

  // 10 clusters, a 5-cluster hole, then the last 10 clusters of the file.
  const CAttrNonResident* a = load(cat({{0x31, 10}, Le(lcn, 3), {0x01, 5}, {0x11, 10, 15}}));
  ASSERT_NE(nullptr, a);
  EXPECT_TRUE(a->IsDataValid());
  ASSERT_EQ(3, a->GetDataRunList().GetCount());
  std::vector<BYTE> got = ReadAll(a);
  ASSERT_EQ(content.size(), got.size());
  EXPECT_EQ(0, memcmp(got.data(), content.data(), 40960));
  EXPECT_EQ(std::vector<BYTE>(20480, 0), std::vector<BYTE>(got.begin() + 40960, got.begin() + 61440));
  EXPECT_EQ(0, memcmp(got.data() + 61440, content.data() + 61440, 40960));

  // Header 0x11 with offset byte 0xFF moves the running LCN back by one.
  const CAttrNonResident* b = load(cat({{0x31, 1}, Le(lcn + 1, 3), {0x11, 1, 0xFF}}));
  ASSERT_NE(nullptr, b);
  std::vector<LONGLONG> lcns;
  b->GetDataRunList().ForEach([&](tagDataRun_Entry* r) { lcns.push_back(r->lcn); });
  EXPECT_EQ((std::vector<LONGLONG>{lcn + 1, lcn}), lcns);
  std::vector<BYTE> two(8192);
  DWORD n2 = 0;
  ASSERT_TRUE(b->ReadData(0, two.data(), 8192, &n2));
  EXPECT_EQ(0, memcmp(two.data(), content.data() + 4096, 4096));
  EXPECT_EQ(0, memcmp(two.data() + 4096, content.data(), 4096));
  // Past the two runs no run covers the VCN: the read ends instead of hanging.
  EXPECT_FALSE(b->ReadData(8192, two.data(), 4096, &n2));

  // A run past the header's VCN span empties the list.
  const CAttrNonResident* c = load(cat({{0x31, 30}, Le(lcn, 3)}));
  ASSERT_NE(nullptr, c);
  EXPECT_FALSE(c->IsDataValid());
  EXPECT_EQ(0, c->GetDataRunList().GetCount());
  EXPECT_FALSE(c->ReadData(0, two.data(), 10, &n2));

  // A negative LCN stops decoding and marks the runs invalid.
  const CAttrNonResident* d = load(cat({{0x31, 1}, Le(lcn, 3), {0x31, 1}, Le((uint64_t)-(lcn + 5), 3)}));
  ASSERT_NE(nullptr, d);
  EXPECT_FALSE(d->IsDataValid());
  EXPECT_EQ(1, d->GetDataRunList().GetCount());

  // A header byte of 0x00 after a valid run ends the list; one with more
  // than 8 length bytes ends it as well, keeping what came before.
  const CAttrNonResident* e = load(cat({{0x31, 2}, Le(lcn, 3), {0x09, 1}}));
  ASSERT_NE(nullptr, e);
  EXPECT_TRUE(e->IsDataValid());
  EXPECT_EQ(1, e->GetDataRunList().GetCount());
}

TEST(NtfsRecord, DamagedAttributesFailOnlyTheirRecord) {
  Fixture f(L"ntfs-4k.img");
  const uint64_t n = f.Inode(L"/small.txt");
  std::vector<BYTE> raw = RawRecord(f.vol, n);
  CFileRecord rec(&f.vol);
  rec.SetAttrMask(0xFFFF);
  ASSERT_TRUE(rec.LoadRecordFromBuffer((DWORD)n, 0, raw.data()));
  std::vector<BYTE> fixed(rec.GetBuffer(), rec.GetBuffer() + raw.size());
  Unfix(fixed, raw);
  const int fnAt = AttrOffset(fixed, ATTR_TYPE_FILE_NAME);
  const int dataAt = AttrOffset(fixed, ATTR_TYPE_DATA);
  ASSERT_GT(fnAt, 0);
  ASSERT_GT(dataAt, fnAt);

  auto patched = [&](int at, DWORD value, int width) {
    std::vector<BYTE> img = fixed;
    memcpy(img.data() + at, &value, width);
    return img;
  };
  // Length 0 ends the walk: what came before stays.
  std::vector<BYTE> img = patched(dataAt + 4, 0, 4);
  ASSERT_TRUE(rec.LoadRecordFromBuffer((DWORD)n, 0, img.data()));
  EXPECT_TRUE(rec.LoadAttributes());
  EXPECT_NE(nullptr, rec.FindFirstAttr(ATTR_TYPE_FILE_NAME));
  EXPECT_EQ(nullptr, rec.FindDataStream());
  // A length past the record ends the walk too.
  img = patched(dataAt + 4, 0x7FFFFFF0, 4);
  ASSERT_TRUE(rec.LoadRecordFromBuffer((DWORD)n, 0, img.data()));
  EXPECT_TRUE(rec.LoadAttributes());
  EXPECT_EQ(nullptr, rec.FindDataStream());
  // A value or name outside its attribute is damage: the record fails.
  for (auto bad : {patched(dataAt + 16, 0x10000, 4), patched(dataAt + 20, 0xFFF0, 2),
                   patched(dataAt + 9, 0xFF, 1), patched(fnAt + 16 + 8 + 64, 0xFF, 1),
                   patched(fnAt + 4, 8, 4), patched(20, 0x3FD, 2), patched(20, 0x3FC, 2)}) {
    ASSERT_TRUE(rec.LoadRecordFromBuffer((DWORD)n, 0, bad.data()));
    EXPECT_FALSE(rec.LoadAttributes());
  }
  // Types that are not multiples of 0x10 are nobody's: they never land in the
  // list of a neighbouring type.
  img = patched(fnAt, 0x31, 4);
  ASSERT_TRUE(rec.LoadRecordFromBuffer((DWORD)n, 0, img.data()));
  EXPECT_TRUE(rec.LoadAttributes());
  EXPECT_EQ(nullptr, rec.FindFirstAttr(ATTR_TYPE_FILE_NAME));
  wchar_t none[16];
  EXPECT_EQ(0, rec.GetFileName(none, 16));
  img = patched(AttrOffset(fixed, ATTR_TYPE_STANDARD_INFORMATION), 0x1F, 4);
  ASSERT_TRUE(rec.LoadRecordFromBuffer((DWORD)n, 0, img.data()));
  EXPECT_TRUE(rec.LoadAttributes());
  EXPECT_EQ(nullptr, rec.FindFirstAttr(ATTR_TYPE_STANDARD_INFORMATION));
  EXPECT_FALSE(rec.IsCompressed());
  // The next record is unaffected.
  ASSERT_TRUE(rec.LoadRecord(n));
  EXPECT_TRUE(rec.LoadAttributes());
  EXPECT_NE(nullptr, rec.FindDataStream());

  // A compressed or encrypted file is refused.
  const int siAt = AttrOffset(fixed, ATTR_TYPE_STANDARD_INFORMATION);
  const WORD valueAt = *(const WORD*)(fixed.data() + siAt + 20);
  for (DWORD flag : {0x800u, 0x4000u}) {
    img = patched(siAt + valueAt + 32, flag, 4);
    ASSERT_TRUE(rec.LoadRecordFromBuffer((DWORD)n, 0, img.data()));
    EXPECT_FALSE(rec.LoadAttributes());
    EXPECT_EQ(flag == 0x800u, !!rec.IsCompressed());
    EXPECT_EQ(flag == 0x4000u, !!rec.IsEncrypted());
  }
}

TEST(NtfsRecord, AttributeListInAnyOrderGivesTheSameStream) {
  std::vector<Expected> exp = LoadExpected(L"ntfs-512.img");
  const uint64_t n = FindExpected(exp, L"/islands.bin")->inode;
  std::wstring copy = CopyImage(L"ntfs-512.img", L"ntfsattrlist");
  ASSERT_FALSE(copy.empty());
  uint64_t listAt = 0;
  DWORD listSize = 0;
  {
    CLostNTFSVolume vol(copy.c_str(), 0);
    CFileRecord rec(&vol);
    rec.SetAttrMask(NtfsAttrMask(ATTR_TYPE_DATA));
    ASSERT_TRUE(rec.LoadRecord(n));
    ASSERT_TRUE(rec.LoadAttributes());
    CAttrNonResident* list = (CAttrNonResident*)rec.FindFirstAttr(ATTR_TYPE_ATTRIBUTE_LIST);
    ASSERT_TRUE(list && list->IsNonResident());
    ASSERT_EQ(1, list->GetDataRunList().GetCount());
    listAt = list->GetDataRunList().FindIf([](tagDataRun_Entry*) { return true; })->lcn * 512ull;
    listSize = (DWORD)list->GetDataSize();
    ASSERT_LE(listSize, 512u);
  }
  std::vector<BYTE> bytes(listSize);
  ASSERT_TRUE(ReadFileAt(copy, listAt, bytes.data(), listSize));
  // Split into entries and write them back last to first.
  std::vector<std::vector<BYTE>> entries;
  for (DWORD off = 0; off + sizeof(ATTR_ATTRIBUTE_LIST) <= listSize;) {
    WORD len = ((const ATTR_ATTRIBUTE_LIST*)(bytes.data() + off))->RecordSize;
    ASSERT_GE(len, sizeof(ATTR_ATTRIBUTE_LIST));
    ASSERT_LE(off + len, listSize);
    entries.emplace_back(bytes.begin() + off, bytes.begin() + off + len);
    off += len;
  }
  ASSERT_GT(entries.size(), 3u);
  std::vector<BYTE> reversed;
  for (size_t i = entries.size(); i-- > 0;) reversed.insert(reversed.end(), entries[i].begin(), entries[i].end());
  ASSERT_EQ(listSize, reversed.size());
  ASSERT_TRUE(PatchFile(copy, listAt, reversed.data(), listSize));

  CLostNTFSVolume vol(copy.c_str(), 0);
  CFileRecord rec(&vol);
  rec.SetAttrMask(NtfsAttrMask(ATTR_TYPE_DATA));
  ASSERT_TRUE(rec.LoadRecord(n));
  ASSERT_TRUE(rec.LoadAttributes());
  EXPECT_EQ(1, rec.GetAttrList(ATTR_TYPE_DATA)->GetCount());
  const CAttrBase* data = rec.FindDataStream();
  ASSERT_NE(nullptr, data);
  std::vector<BYTE> all = ReadAll(data);
  EXPECT_EQ(FindExpected(exp, L"/islands.bin")->sha256, Sha256Hex(all.data(), all.size()));
}
