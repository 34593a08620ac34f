// Directory indexes of real images: lookups through root and index blocks,
// case folding through an upper-case table, and a loop between index blocks.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ntfs/NtfsTestUtil.h"
#include "storage/fs/NTFSIndex.h"

using namespace ntfstest;

namespace {
const DWORD kIndexMask = NtfsAttrMask(ATTR_TYPE_INDEX_ROOT) | NtfsAttrMask(ATTR_TYPE_INDEX_ALLOCATION);

std::wstring ManyName(int i) {
  wchar_t buf[64];
  swprintf(buf, 64, L"file-with-a-longish-name-%04d.txt", i);
  return buf;
}

// Folder walk from the root the way a path lookup does it.
uint64_t Lookup(CNTFSVolume& vol, const std::vector<std::wstring>& parts) {
  uint64_t cur = 5;
  CFileRecord rec(&vol);
  for (const std::wstring& p : parts) {
    CIndexEntry e;
    if (!Load(rec, cur, kIndexMask) || !rec.FindChildEntry(p.c_str(), e)) return ~0ull;
    cur = e.GetFileReference();
  }
  return cur;
}
}  // namespace

TEST(NtfsIndex, EveryNameIsFoundInAnyCase) {
  for (const wchar_t* image : {L"ntfs-4k.img", L"ntfs-512.img"}) {
    SCOPED_TRACE(image);
    Image f(image);
    CFileRecord dir(&f.vol);
    ASSERT_TRUE(Load(dir, f.Inode(L"/many"), kIndexMask));
    ASSERT_NE(nullptr, dir.FindFirstAttr(ATTR_TYPE_INDEX_ALLOCATION));  // the root alone cannot hold 300
    for (int i = 1; i <= 300; ++i) {
      std::wstring name = ManyName(i), upper = name;
      for (wchar_t& c : upper) c = (wchar_t)towupper(c);
      CIndexEntry e, u;
      ASSERT_TRUE(dir.FindChildEntry(name.c_str(), e) && dir.FindChildEntry(upper.c_str(), u)) << i;
      EXPECT_EQ(f.Inode(L"/many/" + name), e.GetFileReference());
      EXPECT_EQ(e.GetFileReference(), u.GetFileReference());
    }
    CIndexEntry e;
    for (std::wstring miss : {ManyName(301), std::wstring(), std::wstring(L"zzz"), std::wstring(261, L'f')})
      EXPECT_FALSE(dir.FindChildEntry(miss.c_str(), e));
    EXPECT_FALSE(e.HasKey());
  }
  // Non-ASCII names in a folder with only an index root, and a path walk.
  Image f(L"ntfs-4k.img");
  const std::pair<const wchar_t*, const wchar_t*> cases[] = {
      {L"\u00e4rger.txt", L"/Case/\u00c4rger.txt"},
      {L"\u00e9cole.TXT", L"/Case/\u00c9COLE.txt"},
      {L"MIXEDcase.txt", L"/Case/mixedCASE.txt"},
  };
  CFileRecord dir(&f.vol);
  ASSERT_TRUE(Load(dir, f.Inode(L"/Case"), kIndexMask));
  EXPECT_EQ(nullptr, dir.FindFirstAttr(ATTR_TYPE_INDEX_ALLOCATION));
  for (const auto& c : cases) {
    CIndexEntry e;
    ASSERT_TRUE(dir.FindChildEntry(c.first, e)) << c.second;
    EXPECT_EQ(f.Inode(c.second), e.GetFileReference());
    EXPECT_EQ(f.Inode(L"/Case"), e.GetParentRecord());
  }
  EXPECT_EQ(f.Inode(L"/docs/\u041d\u043e\u0432\u0430\u044f \u043f\u0430\u043f\u043a\u0430/\u0444\u0430\u0439\u043b.bin"),
            Lookup(f.vol, {L"DOCS", L"\u043d\u043e\u0432\u0430\u044f \u043f\u0430\u043f\u043a\u0430", L"\u0424\u0410\u0419\u041b.BIN"}));
  EXPECT_EQ(~0ull, Lookup(f.vol, {L"level1", L"nothing"}));
}

TEST(NtfsIndex, NamesCompareThroughTheGivenTable) {
  BYTE value[80] = {};
  ATTR_FILE_NAME* fn = (ATTR_FILE_NAME*)value;
  fn->NameLength = 1;
  fn->Name[0] = L'b';
  std::vector<WORD> table(65536);
  for (int i = 0; i < 65536; ++i) table[i] = (WORD)i;
  table[L'a'] = L'b';
  CFileName withTable(fn, table.data());
  EXPECT_EQ(0, withTable.Compare(L"a"));
  EXPECT_NE(0, withTable.Compare(L"B"));  // not the C library's upper case
  CFileName library(fn, nullptr);
  EXPECT_GT(library.Compare(L"c"), 0);
  EXPECT_LT(library.Compare(L"a"), 0);
  EXPECT_EQ(1, library.Compare(std::wstring(300, L'a').c_str()));

}

TEST(NtfsIndex, LoopBetweenIndexBlocksEndsTheWalk) {
  std::wstring copy = CopyImage(L"ntfs-4k.img", L"ntfsloop");
  Image f(L"ntfs-4k.img", copy);
  CFileRecord dir(&f.vol);
  ASSERT_TRUE(Load(dir, f.Inode(L"/many"), kIndexMask));
  CIndexEntry* first = ((CAttr_IndexRoot*)dir.FindFirstAttr(ATTR_TYPE_INDEX_ROOT))->FindFirst();
  ASSERT_TRUE(first && first->HasSubNode());
  const uint64_t vcn = first->GetSubNodeVCN();
  const CAttr_IndexAlloc* alloc = (const CAttr_IndexAlloc*)dir.FindFirstAttr(ATTR_TYPE_INDEX_ALLOCATION);
  const uint64_t block = alloc->SubNodeVcnToBlock(vcn);
  const tagDataRun_Entry* run = alloc->GetDataRunList().FindIf([&](tagDataRun_Entry* r) {
    return block >= r->startVcn && block <= r->lastVcn;  // 4 KiB clusters: one block per cluster
  });
  ASSERT_NE(nullptr, run);
  const uint64_t blockAt = (run->lcn + (block - run->startVcn)) * f.vol.GetClusterSize();

  // Make the block's first entry point back at the block itself.
  std::vector<BYTE> raw(4096);
  ASSERT_TRUE(FileIo(copy, blockAt, raw.data(), 4096, false));
  std::vector<BYTE> fixed = raw;
  ASSERT_TRUE(CFileRecord::PatchUS(fixed.data(), 4096));
  const DWORD at = 24 + ((const INDEX_BLOCK*)fixed.data())->Header.EntryOffset;
  INDEX_ENTRY* e = (INDEX_ENTRY*)(raw.data() + at);
  if ((DWORD)e->StreamSize + 24 > e->Size) {  // make room for the sub-node VCN
    e->StreamSize -= 8;
    ((ATTR_FILE_NAME*)e->Stream)->NameLength -= 4;
  }
  e->Flags |= 1;
  ASSERT_LT((at + e->Size - 8) % 512, 502u);  // stays clear of the stride ends
  memcpy(raw.data() + at + e->Size - 8, &vcn, 8);
  ASSERT_TRUE(FileIo(copy, blockAt, raw.data(), 4096, true));

  Image g(L"ntfs-4k.img", copy);
  CFileRecord again(&g.vol);
  ASSERT_TRUE(Load(again, g.Inode(L"/many"), kIndexMask));
  CIndexEntry found;
  EXPECT_FALSE(again.FindChildEntry(L"a", found));  // descends into the loop and comes back
  EXPECT_TRUE(again.FindChildEntry(ManyName(300).c_str(), found));
}
