// Directory indexes of real images: lookups through root and index blocks,
// case folding through the volume's $UpCase, path walks, view indexes, and a
// loop between index blocks.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ntfs/NtfsTestUtil.h"
#include "storage/fs/NTFSAttr.h"
#include "storage/fs/NTFSFileRecord.h"
#include "storage/fs/NTFSIndex.h"
#include "storage/fs/NTFSVolume.h"

using namespace ntfstest;

namespace {
const DWORD kIndexMask = NtfsAttrMask(ATTR_TYPE_INDEX_ROOT) | NtfsAttrMask(ATTR_TYPE_INDEX_ALLOCATION);

std::wstring ManyName(int i) {
  wchar_t buf[64];
  swprintf(buf, 64, L"file-with-a-longish-name-%04d.txt", i);
  return buf;
}

std::wstring Upper(std::wstring s) {
  for (wchar_t& c : s) c = (wchar_t)towupper(c);
  return s;
}

// Folder walk from the root the way a path lookup does it.
uint64_t Lookup(CNTFSVolume& vol, const std::vector<std::wstring>& parts) {
  uint64_t cur = 5;
  CFileRecord rec(&vol);
  for (const std::wstring& p : parts) {
    rec.SetAttrMask(kIndexMask);
    if (!rec.LoadRecord(cur) || !rec.LoadAttributes()) return ~0ull;
    CIndexEntry e;
    if (!rec.FindChildEntry(p.c_str(), e)) return ~0ull;
    cur = e.GetFileReference();
  }
  return cur;
}
}  // namespace

TEST(NtfsIndex, EveryNameOfABigFolderIsFoundInAnyCase) {
  for (const wchar_t* image : {L"ntfs-4k.img", L"ntfs-512.img"}) {
    SCOPED_TRACE(image);
    std::vector<Expected> exp = LoadExpected(image);
    CLostNTFSVolume vol(testpaths::Fixture(image).c_str(), 0);
    CFileRecord dir(&vol);
    dir.SetAttrMask(kIndexMask);
    ASSERT_TRUE(dir.LoadRecord(FindExpected(exp, L"/many")->inode));
    ASSERT_TRUE(dir.LoadAttributes());
    ASSERT_NE(nullptr, dir.FindFirstAttr(ATTR_TYPE_INDEX_ALLOCATION));  // root alone cannot hold 300
    for (int i = 1; i <= 300; ++i) {
      std::wstring name = ManyName(i);
      uint64_t want = FindExpected(exp, L"/many/" + name)->inode;
      CIndexEntry e;
      ASSERT_TRUE(dir.FindChildEntry(name.c_str(), e)) << i;
      EXPECT_EQ(want, e.GetFileReference());
      wchar_t got[300];
      EXPECT_EQ((int)name.size(), e.GetName(got, 300));
      EXPECT_EQ(name, std::wstring(got));
      CIndexEntry u;
      ASSERT_TRUE(dir.FindChildEntry(Upper(name).c_str(), u)) << i;
      EXPECT_EQ(want, u.GetFileReference());
    }
    CIndexEntry e;
    EXPECT_FALSE(dir.FindChildEntry(L"file-with-a-longish-name-0301.txt", e));
    EXPECT_FALSE(dir.FindChildEntry(L"", e));
    EXPECT_FALSE(dir.FindChildEntry(L"zzz", e));
    EXPECT_FALSE(dir.FindChildEntry(std::wstring(261, L'f').c_str(), e));
    EXPECT_FALSE(e.HasKey());
  }
}

TEST(NtfsIndex, RootOnlyFolderAndNonAsciiNames) {
  std::vector<Expected> exp = LoadExpected(L"ntfs-4k.img");
  CLostNTFSVolume vol(testpaths::Fixture(L"ntfs-4k.img").c_str(), 0);
  CFileRecord dir(&vol);
  dir.SetAttrMask(kIndexMask);
  ASSERT_TRUE(dir.LoadRecord(FindExpected(exp, L"/Case")->inode));
  ASSERT_TRUE(dir.LoadAttributes());
  EXPECT_EQ(nullptr, dir.FindFirstAttr(ATTR_TYPE_INDEX_ALLOCATION));
  const std::pair<const wchar_t*, const wchar_t*> cases[] = {
      {L"\u00e4rger.txt", L"/Case/\u00c4rger.txt"},
      {L"\u00e9cole.TXT", L"/Case/\u00c9COLE.txt"},
      {L"MIXEDcase.txt", L"/Case/mixedCASE.txt"},
  };
  for (const auto& c : cases) {
    CIndexEntry e;
    ASSERT_TRUE(dir.FindChildEntry(c.first, e)) << c.second;
    EXPECT_EQ(FindExpected(exp, c.second)->inode, e.GetFileReference());
    EXPECT_FALSE(e.IsDirectory());
    EXPECT_EQ(FindExpected(exp, L"/Case")->inode, e.GetParentRecord());
  }
  EXPECT_EQ(FindExpected(exp, L"/docs/\u041d\u043e\u0432\u0430\u044f \u043f\u0430\u043f\u043a\u0430/\u0444\u0430\u0439\u043b.bin")->inode,
            Lookup(vol, {L"DOCS", L"\u043d\u043e\u0432\u0430\u044f \u043f\u0430\u043f\u043a\u0430", L"\u0424\u0410\u0419\u041b.BIN"}));
  std::vector<std::wstring> deep;
  std::wstring path;
  for (int i = 1; i <= 12; ++i) {
    deep.push_back(L"level" + std::to_wstring(i));
    path += L"/level" + std::to_wstring(i);
  }
  deep.push_back(L"deep.txt");
  EXPECT_EQ(FindExpected(exp, path + L"/deep.txt")->inode, Lookup(vol, deep));
  EXPECT_EQ(~0ull, Lookup(vol, {L"level1", L"nothing"}));
}

TEST(NtfsIndex, ViewIndexesHaveNoFileNames) {
  CLostNTFSVolume vol(testpaths::Fixture(L"ntfs-4k.img").c_str(), 0);
  CFileRecord secure(&vol);  // $Secure indexes security ids, not names
  secure.SetAttrMask(kIndexMask);
  ASSERT_TRUE(secure.LoadRecord(9));
  ASSERT_TRUE(secure.LoadAttributes());
  const CAttr_IndexRoot* root = (const CAttr_IndexRoot*)secure.FindFirstAttr(ATTR_TYPE_INDEX_ROOT);
  ASSERT_NE(nullptr, root);
  EXPECT_FALSE(root->IsFileName());
  EXPECT_EQ(0, root->GetCount());
  CIndexEntry e;
  EXPECT_FALSE(secure.FindChildEntry(L"$SDH", e));
}

TEST(NtfsIndex, EntriesAndNamesAsValues) {
  CLostNTFSVolume vol(testpaths::Fixture(L"ntfs-4k.img").c_str(), 0);
  CFileRecord root(&vol);
  root.SetAttrMask(kIndexMask);
  ASSERT_TRUE(root.LoadRecord(5));
  ASSERT_TRUE(root.LoadAttributes());
  CIndexEntry found;
  ASSERT_TRUE(root.FindChildEntry(L"BIG.BIN", found));
  // A view entry does not take copies.
  CAttr_IndexRoot* ir = (CAttr_IndexRoot*)root.FindFirstAttr(ATTR_TYPE_INDEX_ROOT);
  CIndexEntry* view = ir->FindFirst();
  ASSERT_NE(nullptr, view);
  ULONGLONG before = view->GetFileReference();
  view->CopyFrom(found);
  EXPECT_EQ(before, view->GetFileReference());
  // The copy outlives the record it came from.
  root.LoadRecord(0);
  wchar_t name[32];
  EXPECT_EQ(7, found.GetName(name, 32));
  EXPECT_STREQ(L"big.bin", name);
  EXPECT_EQ(-7, found.GetName(name, 3));
  CIndexEntry empty;
  EXPECT_EQ(~0ull, empty.GetFileReference());
  EXPECT_EQ(~0ull, empty.GetSubNodeVCN());
  EXPECT_FALSE(empty.HasSubNode());
  EXPECT_EQ(0, empty.GetName(name, 32));

  // Upper-casing follows the table given, not the C library.
  BYTE value[80] = {};
  ATTR_FILE_NAME* fn = (ATTR_FILE_NAME*)value;
  fn->NameLength = 1;
  fn->Name[0] = L'b';
  std::vector<WORD> table(65536);
  for (int i = 0; i < 65536; ++i) table[i] = (WORD)i;
  table[L'a'] = L'b';
  CFileName withTable(fn, table.data());
  EXPECT_EQ(0, withTable.Compare(L"a"));
  EXPECT_EQ(0, withTable.Compare(L"b"));
  EXPECT_NE(0, withTable.Compare(L"B"));
  CFileName library(fn, nullptr);
  EXPECT_EQ(0, library.Compare(L"b"));
  EXPECT_GT(library.Compare(L"c"), 0);
  EXPECT_LT(library.Compare(L"a"), 0);
  EXPECT_EQ(1, library.Compare(std::wstring(300, L'a').c_str()));
}

TEST(NtfsIndex, LoopBetweenIndexBlocksEndsTheWalk) {
  std::vector<Expected> exp = LoadExpected(L"ntfs-4k.img");
  std::wstring copy = CopyImage(L"ntfs-4k.img", L"ntfsloop");
  ASSERT_FALSE(copy.empty());
  const uint64_t many = FindExpected(exp, L"/many")->inode;
  uint64_t blockAt = 0, vcn = 0;
  {
    CLostNTFSVolume vol(copy.c_str(), 0);
    CFileRecord dir(&vol);
    dir.SetAttrMask(kIndexMask);
    ASSERT_TRUE(dir.LoadRecord(many));
    ASSERT_TRUE(dir.LoadAttributes());
    CAttr_IndexRoot* root = (CAttr_IndexRoot*)dir.FindFirstAttr(ATTR_TYPE_INDEX_ROOT);
    CIndexEntry* first = root->FindFirst();
    ASSERT_TRUE(first && first->HasSubNode());
    vcn = first->GetSubNodeVCN();
    const CAttr_IndexAlloc* alloc = (const CAttr_IndexAlloc*)dir.FindFirstAttr(ATTR_TYPE_INDEX_ALLOCATION);
    uint64_t block = alloc->SubNodeVcnToBlock(vcn);
    const tagDataRun_Entry* run = alloc->GetDataRunList().FindIf([&](tagDataRun_Entry* r) {
      return block >= r->startVcn && block <= r->lastVcn;  // 4 KiB clusters: one block per cluster
    });
    ASSERT_NE(nullptr, run);
    blockAt = (run->lcn + (block - run->startVcn)) * vol.GetClusterSize();
  }
  // Make the block's first entry point back at the block itself.
  std::vector<BYTE> raw(4096);
  ASSERT_TRUE(ReadFileAt(copy, blockAt, raw.data(), 4096));
  std::vector<BYTE> fixed = raw;
  ASSERT_TRUE(CFileRecord::PatchUS(fixed.data(), 4096));
  const INDEX_BLOCK* ib = (const INDEX_BLOCK*)fixed.data();
  const DWORD at = 24 + ib->Header.EntryOffset;
  INDEX_ENTRY* e = (INDEX_ENTRY*)(raw.data() + at);
  ASSERT_GT(e->StreamSize, 0);
  if ((DWORD)e->StreamSize + 24 > e->Size) {
    e->StreamSize -= 8;
    ((ATTR_FILE_NAME*)e->Stream)->NameLength -= 4;
  }
  e->Flags |= 1;
  ASSERT_LT((at + e->Size - 8) % 512, 502u);  // stays clear of the stride ends
  memcpy(raw.data() + at + e->Size - 8, &vcn, 8);
  ASSERT_TRUE(PatchFile(copy, blockAt, raw.data(), 4096));

  CLostNTFSVolume vol(copy.c_str(), 0);
  CFileRecord dir(&vol);
  dir.SetAttrMask(kIndexMask);
  ASSERT_TRUE(dir.LoadRecord(many));
  ASSERT_TRUE(dir.LoadAttributes());
  CIndexEntry found;
  EXPECT_FALSE(dir.FindChildEntry(L"a", found));  // descends into the loop and comes back
  EXPECT_TRUE(dir.FindChildEntry(ManyName(300).c_str(), found));
}
