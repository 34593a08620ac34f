// The found-file readers and the recovery worker over volumes written and
// deleted by the real drivers (tests/fixtures/make-recover.sh), mapped to
// drive letters T: and A: (D: serves as a target drive). Every scanned image
// is checked unchanged (bytes and time stamp) when its test ends.
#include <gtest/gtest.h>

#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string_view>
#include <unordered_set>

#include "RecordingFrame.h"
#include "RecordingRecoverDlg.h"
#include "common/DeviceMap.h"
#include "common/TestPaths.h"
#include "core/Helpers.h"
#include "core/Language.h"
#include "engine/EngineText.h"
#include "engine/RecoverFile.h"
#include "engine/RecoverFileImpl.h"
#include "engine/RecoverProcess.h"
#include "engine/RecoverTarget.h"
#include "storage/DeviceIo.h"
#include "storage/PartitionTable.h"
#include "storage/fs/ExFATVolume.h"
#include "storage/fs/FATVolume.h"
#include "storage/fs/NTFSVolume.h"

namespace {
using testpaths::ReadWholeFile;


// A fresh folder of the temp folder. Another test program's drive mapping may
// hide the temp folder for a moment: try again for a while.
std::wstring TempDir(const wchar_t* tag) {
  for (int i = 0; i < 200; ++i) {
    const std::wstring dir = testpaths::MakeTempDir(tag);
    if (!dir.empty()) return dir;
    Sleep(25);
  }
  ADD_FAILURE() << "no temp folder";
  return L"Z:\\tmp";
}

// The content make-recover.sh gives a file: each 512-byte block is its tag,
// "@", its offset and a newline, padded with "-".
std::string Generated(const std::string& tag, size_t size) {
  std::string out;
  for (size_t off = 0; off < size; off += 512) {
    std::string block = tag + "@" + std::to_string(off) + "\n";
    block.resize(512, '-');
    out += block;
  }
  out.resize(size);
  return out;
}

// A fixture mapped to a drive letter as it is (never copied); its bytes and
// time stamp are checked unchanged at the end.
struct Mapped {
  std::wstring path;
  std::string bytes;
  FILETIME written = {};
  devicemap::CScopedDeviceMap map;
  static FILETIME Stamp(const std::wstring& p) {
    FILETIME t = {};
    HANDLE h = CreateFileW(p.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) GetFileTime(h, nullptr, nullptr, &t), CloseHandle(h);
    return t;
  }
  bool Map(wchar_t letter, const std::wstring& file) {
    path = file;
    bytes = ReadWholeFile(path);
    written = Stamp(path);
    return !bytes.empty() && map.Volume(letter, path);
  }
  ~Mapped() {
    if (path.empty()) return;
    const FILETIME now = Stamp(path);
    EXPECT_TRUE(ReadWholeFile(path) == bytes) << "the scanned image changed";
    EXPECT_EQ(0, CompareFileTime(&now, &written)) << "the scanned image's time stamp changed";
  }
};

struct Session {
  CRecordingFrame frame;
  bool Scan(wchar_t letter, int kind) {
    frame.SelectVolume(frame.AddMappedVolume(letter));
    ScanKind = kind;
    const bool ok = (kind == SCAN_KIND_RECYCLE ? frame.GetScanDiskDlg()->StartRecycleScan()
                                               : frame.GetScanDiskDlg()->StartScan(nullptr, true)) &&
                    frame.WaitForScan(60000);
    return ok;
  }
  CFoundItem* Find(const std::wstring& name) const {
    for (CFoundItem* f : frame.Found())
      if (f->m_strName == name) return f;
    return nullptr;
  }
};

std::vector<std::wstring> g_boxes;
std::vector<bool> g_boxOwnerShown;  // per box: its owner window was on screen
int g_answer = IDYES;
int RecordBox(HWND owner, const wchar_t* text, const wchar_t*, UINT, int) {
  g_boxes.push_back(text ? text : L"");
  g_boxOwnerShown.push_back(owner && IsWindowVisible(owner));
  return g_answer;
}
struct BoxRecorder {
  MessageDlgProc old;
  BoxRecorder() : old(SetMessageDlgProc(RecordBox)) {
    InitApplicationPaths();  // the boxes' texts come from the program's language file
    g_boxes.clear(), g_boxOwnerShown.clear(), g_answer = IDYES;
  }
  ~BoxRecorder() { SetMessageDlgProc(old); }
  static bool Shown(const char* key) {
    const std::wstring text = [&] {
      wchar_t buffer[260] = {};
      ReadLanguageText(L"Message", DecodeBase64Key(key).c_str(), L"", buffer, 260, GetLanguageFilePath().c_str());
      return std::wstring(buffer);
    }();
    return !text.empty() && std::find(g_boxes.begin(), g_boxes.end(), text) != g_boxes.end();
  }
};
const char kDiskNoSpace[] = "RGlza05vU3BhY2U=";
const char kErrorWhenRecover[] = "RXJyb3JXaGVuUmVjb3Zlcg==";
const char kErrorOpenVolume[] = "RXJyb3JPcGVuVm9sdW1l";
const char kFileRecordParseErr[] = "RmlsZVJlY29yZFBhcnNlRXJy";
const char kNotSupportCompressed[] = "Tm90U3VwcG9ydENvbXByZXNzZWQ=";
const char kNotCompleteRestore[] = "Tm90Q29tcGxldGVSZXN0b3Jl";
const char kRecoverDiffDrive[] = "UmVjb3ZlckRpZmZEcml2ZQ==";
const char kFileSystemUnknow[] = "RmlsZVN5c3RlbVVua25vdw==";

// Recovers one entry into a fresh folder; the outcome and the bytes written.
struct One {
  RecoverOutcome outcome;
  std::string bytes;
  int result = 0;
};
One RecoverOne(CRecoverFile& reader, const wchar_t* root, CFoundItem* item, int kind,
               const ILostPartitionSource* lost = nullptr, const volatile int* stop = nullptr,
               const std::wstring& into = L"") {
  // A folder of its own (or one the caller empties again).
  const std::wstring dir = into.empty() ? TempDir(L"recover-one") : into;
  One r;
  r.result = reader.RecoverToFile(root, lost, item, kind, dir.c_str(), stop, FALSE);
  r.outcome = reader.GetLastOutcome();
  if (!r.outcome.path.empty()) r.bytes = ReadWholeFile(r.outcome.path);
  WIN32_FIND_DATAW fd;
  HANDLE f = FindFirstFileW((dir + L"\\*").c_str(), &fd);
  int files = 0;
  if (f != INVALID_HANDLE_VALUE) {
    do files += !(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY); while (FindNextFileW(f, &fd));
    FindClose(f);
  }
  EXPECT_EQ(r.result, files) << "a failed recovery leaves no file, a good one exactly one";
  return r;
}

std::string StreamBytes(IStream* s) {
  std::string out;
  if (!s) return out;
  STATSTG st = {};
  s->Stat(&st, STATFLAG_NONAME);
  LARGE_INTEGER zero = {}, pos = {};
  ULARGE_INTEGER at = {};
  s->Seek(zero, STREAM_SEEK_CUR, &at);
  EXPECT_EQ(st.cbSize.QuadPart, at.QuadPart) << "the stream is left at its end";
  s->Seek(pos, STREAM_SEEK_SET, nullptr);
  out.resize((size_t)st.cbSize.QuadPart);
  ULONG got = 0;
  if (!out.empty()) s->Read(&out[0], (ULONG)out.size(), &got);
  s->Release();
  return out;
}

// A lost partition held as the partition scan control holds it, on an image file.
struct LostPartition : ILostPartitionSource {
  std::wstring disk;
  CPartitionInfo info;
  int GetDiskNumber() const override { return 14; }
  const CPartitionInfo* GetCurrentPartition() const override { return &info; }
  unsigned int GetSectorSize() const override { return 512; }
  std::wstring GetDiskPath() const override { return disk; }
};

// ---- NTFS -----------------------------------------------------------------------

TEST(RecoverNtfs, EdgeFilesStreamsStopAndCompressedFiles) {
  NEEDS_WINE_DRIVES();
  BoxRecorder boxes;
  Mapped vol;
  ASSERT_TRUE(vol.Map(L'T', testpaths::Fixture(L"recover-ntfs.img")));
  Session s;
  ASSERT_TRUE(s.Scan(L'T', SCAN_KIND_DELETED));
  CRecordingRecoverDlg dlg(&s.frame, L"", 0, false);
  CRecoverFileNTFS reader(nullptr);
  dlg.Attach(reader);

  CFoundItem* empty = s.Find(L"empty.dat");
  ASSERT_TRUE(empty);
  One r = RecoverOne(reader, L"T:\\", empty, SCAN_KIND_DELETED);
  EXPECT_EQ(1, r.result);  // a 0-byte file is an empty file, written
  EXPECT_EQ(0u, r.bytes.size());

  for (const wchar_t* name : {L"exact64k.bin", L"over64k.bin", L"big.bin", L"resident.txt"}) {
    CFoundItem* item = s.Find(name);
    ASSERT_TRUE(item) << name;
    dlg.PumpMessages();
    const size_t before = dlg.PerMille().size();
    r = RecoverOne(reader, L"T:\\", item, SCAN_KIND_DELETED);
    EXPECT_EQ(1, r.result) << name;
    const std::string tag = testpaths::Narrow(name) + "-" + std::to_string(item->m_u64Size);
    EXPECT_TRUE(r.bytes == Generated(tag, (size_t)item->m_u64Size)) << name;
    dlg.PumpMessages();
    const std::vector<int> p(dlg.PerMille().begin() + before, dlg.PerMille().end());
    EXPECT_TRUE(std::is_sorted(p.begin(), p.end()) && p.size() <= 1001 && (p.empty() || p.back() == 1000)) << name;
    // A preview: the whole file, or its first bytes.
    EXPECT_TRUE(StreamBytes(reader.ReadToStream(L"T:\\", nullptr, item, 0, SCAN_KIND_DELETED)) == r.bytes);
    EXPECT_TRUE(StreamBytes(reader.ReadToStream(L"T:\\", nullptr, item, 100, SCAN_KIND_DELETED)) ==
                r.bytes.substr(0, 100));
  }
  // Single-file mode replaces the file the user chose.
  const std::wstring chosen = TempDir(L"recover-single") + L"\\chosen.bin";
  ASSERT_TRUE(testpaths::WriteWholeFile(chosen, "an older file of that name"));
  ASSERT_EQ(1, reader.RecoverToFile(L"T:\\", nullptr, s.Find(L"over64k.bin"), SCAN_KIND_DELETED, chosen.c_str(),
                                    nullptr, TRUE));
  EXPECT_EQ(65537u, ReadWholeFile(chosen).size());

  // A stop asked before the first chunk: no file.
  volatile int stop = 1;
  r = RecoverOne(reader, L"T:\\", s.Find(L"big.bin"), SCAN_KIND_DELETED, nullptr, &stop);
  EXPECT_EQ(kRecoverStopped, r.outcome.result);

  // A compressed file (record 80 of the fixture): refused, with the box only
  // when one file was asked for.
  CFoundItem packed(L"compressed.bin", L"T:\\packed\\", L"", 65536, 80);
  r = RecoverOne(reader, L"T:\\", &packed, SCAN_KIND_DELETED);
  EXPECT_EQ(kRecoverNotSupported, r.outcome.result);
  EXPECT_FALSE(BoxRecorder::Shown(kNotSupportCompressed));
  EXPECT_EQ(0, reader.RecoverToFile(L"T:\\", nullptr, &packed, SCAN_KIND_DELETED, chosen.c_str(), nullptr, TRUE));
  EXPECT_TRUE(BoxRecorder::Shown(kNotSupportCompressed));
  // A record without an unnamed data stream ($Secure keeps its data in named
  // ones): nothing to write, and no empty file.
  CFoundItem secure(L"$Secure", L"T:\\", L"", 0, 9);
  EXPECT_EQ(kRecoverNoData, RecoverOne(reader, L"T:\\", &secure, SCAN_KIND_FORMATTED).outcome.result);
  // A live record is no deleted file any more; no volume, no entry: nothing.
  CFoundItem live(L"$MFT", L"T:\\", L"", 4096, 0);
  EXPECT_EQ(kRecoverRecordChanged, RecoverOne(reader, L"T:\\", &live, SCAN_KIND_DELETED).outcome.result);
  EXPECT_EQ(0, reader.RecoverToFile(L"", nullptr, s.Find(L"big.bin"), SCAN_KIND_DELETED, L"Z:\\", nullptr, FALSE));
  EXPECT_EQ(0, reader.RecoverToFile(L"T:\\", nullptr, nullptr, SCAN_KIND_DELETED, L"Z:\\", nullptr, FALSE));
}

// The same volume after new small files took freed records: an entry of the
// old result is recovered only while its record is still its own.
TEST(RecoverNtfs, ARecordReusedSinceTheScanIsNotRecoveredUnderTheOldName) {
  NEEDS_WINE_DRIVES();
  BoxRecorder boxes;
  Mapped before, after;
  ASSERT_TRUE(before.Map(L'T', testpaths::Fixture(L"recover-ntfs.img")));
  ASSERT_TRUE(after.Map(L'A', testpaths::Fixture(L"recover-ntfs-reused.img")));
  Session s;
  ASSERT_TRUE(s.Scan(L'T', SCAN_KIND_DELETED));
  CRecoverFileNTFS reader(nullptr);
  int refused = 0, same = 0;
  for (CFoundItem* item : s.frame.Found()) {
    const One was = RecoverOne(reader, L"T:\\", item, SCAN_KIND_DELETED);
    const One now = RecoverOne(reader, L"A:\\", item, SCAN_KIND_DELETED);
    if (now.result) {
      EXPECT_TRUE(now.bytes == was.bytes) << testpaths::Narrow(item->m_strName);
      ++same;
    } else {
      EXPECT_EQ(kRecoverRecordChanged, now.outcome.result) << testpaths::Narrow(item->m_strName);
      ++refused;
    }
  }
  EXPECT_GT(same, 0);
  EXPECT_GE(refused, 2);
  // The record of exact64k.bin holds a live file of that very name now.
  CFoundItem* old = s.Find(L"exact64k.bin");
  ASSERT_TRUE(old);
  EXPECT_EQ(kRecoverRecordChanged, RecoverOne(reader, L"A:\\", old, SCAN_KIND_DELETED).outcome.result);
  const std::wstring file = TempDir(L"recover-reused") + L"\\x.bin";
  EXPECT_EQ(0, reader.RecoverToFile(L"A:\\", nullptr, old, SCAN_KIND_DELETED, file.c_str(), nullptr, TRUE));
  EXPECT_TRUE(BoxRecorder::Shown(kFileRecordParseErr));
}

// ---- FAT and exFAT ---------------------------------------------------------------

TEST(RecoverFat, ClusterRulesModesAndBounds) {
  NEEDS_WINE_DRIVES();
  BoxRecorder boxes;
  Mapped vol;
  ASSERT_TRUE(vol.Map(L'T', testpaths::Fixture(L"recover-fat16.img")));
  Session s;
  ASSERT_TRUE(s.Scan(L'T', SCAN_KIND_DELETED));
  CRecoverFileFAT16 reader(nullptr);
  const std::string img = "-recover-fat16.img";
  // 10,000 bytes on 4 KiB clusters: 4096 + 4096 + 1808; 8,192: two whole clusters.
  CFoundItem* ten = s.Find(L"ten thousand.bin");
  CFoundItem* exact = s.Find(L"exact 8192.bin");
  CFoundItem* small = s.Find(L"_mall.txt");
  CFoundItem* frag = s.Find(L"fragmented.bin");
  ASSERT_TRUE(ten && exact && small && frag);
  // A deleted file needing more than one cluster is never certain; one cluster is.
  EXPECT_LE(ten->m_nPercent, 99);
  EXPECT_LE(frag->m_nPercent, 99);
  EXPECT_EQ(100, small->m_nPercent);
  for (int kind : {SCAN_KIND_DELETED, SCAN_KIND_FORMATTED}) {
    One r = RecoverOne(reader, L"T:\\", ten, kind);
    EXPECT_TRUE(r.bytes == Generated("ten_thousand.bin-10000" + img, 10000)) << kind;
    EXPECT_TRUE(r.outcome.assumedContiguous);
    r = RecoverOne(reader, L"T:\\", exact, kind);
    EXPECT_TRUE(r.bytes == Generated("exact_8192.bin-8192" + img, 8192)) << kind;
  }
  One r = RecoverOne(reader, L"T:\\", small, SCAN_KIND_DELETED);
  EXPECT_FALSE(r.outcome.assumedContiguous);
  // The file written into the holes between live files comes back whole.
  r = RecoverOne(reader, L"T:\\", frag, SCAN_KIND_DELETED);
  EXPECT_TRUE(r.bytes == Generated("fragmented.bin-24586" + img, 24586));
  EXPECT_TRUE(r.outcome.assumedContiguous);

  // Chain mode over a live fragmented file (fat16.img's large file written
  // into holes): its chain, not the run from its first cluster.
  Mapped other;
  ASSERT_TRUE(other.Map(L'A', testpaths::Fixture(L"fat16.img")));
  CFATVolume fat(L'A');
  uint16_t count = 0;
  std::unique_ptr<BYTE[]> rootDir(fat.ReadRootDirectory(&count));
  ASSERT_TRUE(rootDir);
  CFoundItem live(L"fragmented large file.bin", L"A:\\", L"", 0, 0);
  for (uint16_t i = 0; i < count; ++i) {
    const FatDirEntry* e = (const FatDirEntry*)rootDir.get();
    if (fatcommon::LongName(e, i) == L"fragmented large file.bin" && e[i].name[0] != kFatDeletedMark)
      live.m_uFirstCluster = e[i].firstClusterLow, live.m_u64Size = e[i].fileSize;
  }
  ASSERT_GT(live.m_u64Size, 8192u);
  live.m_bContiguous = 0;
  live.SetRecoverability(100);
  ClusterList16 chain;
  ASSERT_TRUE(fat.GetFileClusterList((uint16_t)live.m_uFirstCluster, chain, (uint32_t)live.m_u64Size));
  std::string expected;
  for (size_t i = 0; i < chain.GetCount(); ++i) {
    std::string c(4096, '\0');
    ASSERT_TRUE(fat.ReadCluster(chain[i], &c[0], 4096));
    expected += c;
  }
  expected.resize((size_t)live.m_u64Size);
  r = RecoverOne(reader, L"A:\\", &live, SCAN_KIND_DELETED);
  EXPECT_TRUE(r.bytes == expected);
  EXPECT_FALSE(r.outcome.assumedContiguous);
  live.m_bContiguous = 1;  // the same file taken as a run: other bytes
  EXPECT_FALSE(RecoverOne(reader, L"A:\\", &live, SCAN_KIND_FORMATTED).bytes == expected);
  live.m_bContiguous = 0;
  // A chain shorter than the clusters due: nothing, and no empty file.
  live.m_u64Size += 3 * 4096;
  EXPECT_EQ(kRecoverChainBroken, RecoverOne(reader, L"A:\\", &live, SCAN_KIND_DELETED).outcome.result);
  // Clusters due beyond the volume, a first cluster past it: refused.
  CFoundItem huge(L"huge.bin", L"T:\\", L"", 3ull << 30, 0);
  huge.m_uFirstCluster = 5;
  EXPECT_EQ(kRecoverOutsideVolume, RecoverOne(reader, L"T:\\", &huge, SCAN_KIND_DELETED).outcome.result);
  huge.m_u64Size = 100;
  huge.m_uFirstCluster = 0x12345;
  EXPECT_EQ(kRecoverOutsideVolume, RecoverOne(reader, L"T:\\", &huge, SCAN_KIND_DELETED).outcome.result);

  // One file asked for at below 100 percent: the question first.
  const std::wstring file = TempDir(L"recover-ask") + L"\\ten.bin";
  g_answer = IDNO;
  EXPECT_EQ(0, reader.RecoverToFile(L"T:\\", nullptr, ten, SCAN_KIND_DELETED, file.c_str(), nullptr, TRUE));
  EXPECT_TRUE(BoxRecorder::Shown(kNotCompleteRestore));
  EXPECT_FALSE(testpaths::FileExists(file));
  g_boxes.clear();
  EXPECT_EQ(1, reader.RecoverToFile(L"T:\\", nullptr, small, SCAN_KIND_DELETED, file.c_str(), nullptr, TRUE));
  EXPECT_TRUE(g_boxes.empty());  // 100 percent: no question
  // The preview takes the same clusters.
  EXPECT_TRUE(StreamBytes(reader.ReadToStream(L"T:\\", nullptr, ten, 5000, SCAN_KIND_DELETED)) ==
              Generated("ten_thousand.bin-10000" + img, 5000));
}

TEST(RecoverFat, ExFatFilesWithoutChainsAreCertainChainedOnesAreNot) {
  NEEDS_WINE_DRIVES();
  BoxRecorder boxes;  // a box never waits for a click in a test
  Mapped vol;
  ASSERT_TRUE(vol.Map(L'T', testpaths::Fixture(L"recover-exfat.img")));
  Session s;
  ASSERT_TRUE(s.Scan(L'T', SCAN_KIND_DELETED));
  CRecoverFileExFAT reader(nullptr);
  CFoundItem* plain = s.Find(L"ten thousand.bin");
  CFoundItem* turns = s.Find(L"turns-a.bin");
  ASSERT_TRUE(plain && turns);
  One r = RecoverOne(reader, L"T:\\", plain, SCAN_KIND_DELETED);
  EXPECT_TRUE(r.bytes == Generated("ten_thousand.bin-10000-exfat", 10000));
  EXPECT_FALSE(r.outcome.assumedContiguous);  // written without a chain
  EXPECT_LE(turns->m_nPercent, 99);
  r = RecoverOne(reader, L"T:\\", turns, SCAN_KIND_DELETED);
  EXPECT_EQ(1, r.result);
  EXPECT_TRUE(r.outcome.assumedContiguous);
  // A run that would pass the end of the heap is refused.
  CFoundItem past(L"past.bin", L"T:\\", L"", 3 * 4096, 0);
  CExFATVolume v(L'T');
  past.m_uFirstCluster = (uint32_t)v.GetMaxCluster() - 1;
  EXPECT_EQ(kRecoverOutsideVolume, RecoverOne(reader, L"T:\\", &past, SCAN_KIND_DELETED).outcome.result);
}

// A cluster in the middle of a file that cannot be read (a bad sector): a
// cluster of zeros in its place, counted; every other byte where it belongs,
// never the bytes of the cluster read before.
// Under Wine a bad sector fails with ERROR_NOT_READY, the code a pulled
// device gives on Windows; a pulled device here fails with ERROR_GEN_FAILURE.
// The first read that touches g_goneAt or beyond pulls the device: every
// read after it fails, the sectors read before included.
uint64_t g_badFrom = 0, g_badTo = 0, g_goneAt = ~0ull;
bool g_gone = false;
DWORD g_badError = ERROR_NOT_READY;
DWORD BadSectorRead(HANDLE h, unsigned __int64 offset, void* buffer, DWORD size) {
  if (offset + size > g_goneAt) g_gone = true;
  if (g_gone) {
    SetLastError(ERROR_GEN_FAILURE);
    return 0;
  }
  if (offset < g_badTo && offset + size > g_badFrom) {
    SetLastError(g_badError);
    return 0;
  }
  return RawReadAt(h, offset, buffer, size);
}
// Plugs the device back in.
void Replug() {
  g_goneAt = ~0ull;
  g_gone = false;
}
const char kDeviceGone[] = "RGV2aWNlR29uZQ==";

// The same, counting the reads; sets *g_stopFlag after g_stopAfterReads.
size_t g_badReads = 0, g_stopAfterReads = 0;
volatile int* g_stopFlag = nullptr;
DWORD CountedBadSectorRead(HANDLE h, unsigned __int64 offset, void* buffer, DWORD size) {
  if (++g_badReads == g_stopAfterReads && g_stopFlag) *g_stopFlag = 1;
  return BadSectorRead(h, offset, buffer, size);
}

TEST(RecoverFat, AnUnreadableClusterIsWrittenAsZerosNotAsStaleBytes) {
  NEEDS_WINE_DRIVES();
  BoxRecorder boxes;  // a box never waits for a click in a test
  Mapped vol;
  ASSERT_TRUE(vol.Map(L'T', testpaths::Fixture(L"recover-fat16.img")));
  Session s;
  ASSERT_TRUE(s.Scan(L'T', SCAN_KIND_DELETED));
  CFoundItem* big = s.Find(L"_ig.bin");
  ASSERT_TRUE(big && big->m_u64Size > (1u << 20));
  CFATVolume v(L'T');
  g_badFrom = v.GetDataOffset() + (uint64_t)(big->m_uFirstCluster - 2 + 1100) * 4096 + 1024;
  g_badTo = g_badFrom + 512;  // one sector inside cluster 1,100 of the file (the second read)
  CRecoverFileFAT16 reader(nullptr);
  StorageReadFn old = SetStorageReadHook(BadSectorRead);
  for (int kind : {SCAN_KIND_DELETED, SCAN_KIND_FORMATTED}) {  // run mode and the free clusters
    const One r = RecoverOne(reader, L"T:\\", big, kind);
    ASSERT_EQ(1, r.result);
    EXPECT_EQ(1u, r.outcome.unreadableClusters);
    EXPECT_NE(std::wstring::npos, r.outcome.Text().find(L"unreadable"));
    std::string want = Generated("big.bin-5243003-recover-fat16.img", (size_t)big->m_u64Size);
    want.replace(1100 * 4096, 4096, 4096, '\0');
    EXPECT_TRUE(r.bytes == want) << kind;
  }
  // Every cluster of it bad while the device still answers: no file of zeros.
  g_badFrom = v.GetDataOffset() + (uint64_t)(big->m_uFirstCluster - 2) * 4096;
  g_badTo = g_badFrom + big->m_u64Size + 4096;
  One none = RecoverOne(reader, L"T:\\", big, SCAN_KIND_DELETED);
  EXPECT_EQ(kRecoverReadError, none.outcome.result) << testpaths::Narrow(none.outcome.Text());
  // The device pulled inside it: not a partial file of zeros, but no file, the
  // message, and the end of the run.
  g_badFrom = g_badTo = 0;
  g_goneAt = v.GetDataOffset() + (uint64_t)(big->m_uFirstCluster - 2 + 300) * 4096;
  g_boxes.clear();
  CRecordingFrame frame;
  CRecordingRecoverDlg dlg(&frame, L"Z:\\tmp", 0, false);
  dlg.Attach(reader);
  const One gone = RecoverOne(reader, L"T:\\", big, SCAN_KIND_DELETED);
  reader.SetMessageSink(nullptr, nullptr);
  Replug();
  SetStorageReadHook(old);
  dlg.PumpMessages();
  EXPECT_EQ(kRecoverDeviceGone, gone.outcome.result) << testpaths::Narrow(gone.outcome.Text());
  EXPECT_TRUE(gone.outcome.postedDone);
  EXPECT_EQ(1, dlg.DoneMessages());
  EXPECT_TRUE(BoxRecorder::Shown(kDeviceGone));

  // A run over every entry with that bad sector: the end counts the partial
  // file as recovered and says it is partial; the status line counts files
  // recovered, not entries tried.
  g_badFrom = v.GetDataOffset() + (uint64_t)(big->m_uFirstCluster - 2 + 1100) * 4096 + 1024;
  g_badTo = g_badFrom + 512;
  old = SetStorageReadHook(BadSectorRead);
  CRecordingRecoverDlg run(&s.frame, TempDir(L"recover-partial"), 1, false);
  ASSERT_TRUE(run.Start() && run.WaitForEnd(60000));
  SetStorageReadHook(old);
  g_badFrom = g_badTo = 0;
  const RecoverFinishedInfo& info = run.FinishedInfo();
  int ok = 0, partial = 0;
  for (const RecoverEntryResult& e : run.Worker().Results()) ok += e.outcome.Ok(), partial += e.outcome.Partial();
  EXPECT_EQ(1, partial);
  EXPECT_EQ(ok, info.recovered);
  EXPECT_EQ(1, info.partial);
  EXPECT_EQ((int)run.Worker().Results().size() - ok, info.failed);
  ASSERT_FALSE(run.Statuses().empty());
  for (const RecoverStatusText& st : run.Statuses())
    EXPECT_EQ(std::wstring::npos, st.countText.find(L"Recovered " + std::to_wstring(ok + 1) + L" of"));
  const std::wstring end = CRecoverProcessWorker::FinishedText(info);
  EXPECT_NE(std::wstring::npos, end.find(std::to_wstring(ok - 1) + L" whole, 1 partial")) << testpaths::Narrow(end);

  // An entry larger than the room on the target is refused before any file
  // is made, whatever its percentage; one larger than its volume holds is
  // refused as such first.
  const int percent = big->m_nPercent;
  big->m_nPercent = 0;
  reader.SetTargetRoom(big->m_u64Size - 1);
  EXPECT_EQ(kRecoverTargetFull, RecoverOne(reader, L"T:\\", big, SCAN_KIND_DELETED).outcome.result);
  const uint64_t size = big->m_u64Size;
  big->m_u64Size = 1ull << 40;
  EXPECT_EQ(kRecoverOutsideVolume, RecoverOne(reader, L"T:\\", big, SCAN_KIND_DELETED).outcome.result);
  big->m_u64Size = size;
  big->m_nPercent = percent;
  reader.SetTargetRoom(~0ull);
}

// The end of a run in words: whole, partial and failed files.
TEST(RecoverRun, TheEndSaysHowManyCameBackWholePartialAndFailed) {
  BoxRecorder boxes;  // loads the language texts
  RecoverFinishedInfo info;
  EXPECT_EQ(L"", CRecoverProcessWorker::FinishedText(info));
  info.recovered = 2;
  EXPECT_EQ(0u, CRecoverProcessWorker::FinishedText(info).find(L"2 files were recovered."));
  info.recovered = 3, info.partial = 1, info.failed = 2;
  const std::wstring mixed = CRecoverProcessWorker::FinishedText(info);
  EXPECT_EQ(0u, mixed.find(L"Files recovered: 3 (2 whole, 1 partial")) << testpaths::Narrow(mixed);
  EXPECT_NE(std::wstring::npos, mixed.find(L"written as zeros")) << testpaths::Narrow(mixed);
  EXPECT_NE(std::wstring::npos, mixed.find(L"failed: 2.")) << testpaths::Narrow(mixed);
  // Some failed, none partial: nothing was written as zeros, so nothing says so.
  info.recovered = 5, info.partial = 0, info.failed = 2;
  const std::wstring failed = CRecoverProcessWorker::FinishedText(info);
  EXPECT_EQ(L"Files recovered: 5. Files that failed: 2. Open the folder now?", failed);
  EXPECT_EQ(std::wstring::npos, failed.find(L"zeros")) << testpaths::Narrow(failed);
  EXPECT_EQ(std::wstring::npos, failed.find(L"partial")) << testpaths::Narrow(failed);
  info.recovered = 0, info.partial = 0, info.failed = 4;
  EXPECT_EQ(L"No file could be recovered. Files that failed: 4.", CRecoverProcessWorker::FinishedText(info));
  // A translation that does not take four numbers is not trusted.
  const int four[] = {1, 2, 3, 4};
  EXPECT_EQ(L"Recovered 1 of 2 files", EngineFormatInts(L"RecoveredCount", four, 2));
  EXPECT_EQ(EngineDefaultText(L"RecoverNothing"), EngineFormatInts(L"RecoverNothing", four, 4));
}

TEST(RecoverNtfs, AnUnreadableClusterIsWrittenAsZerosAndTheFileKeptAsPartial) {
  NEEDS_WINE_DRIVES();
  BoxRecorder boxes;
  Mapped vol;
  ASSERT_TRUE(vol.Map(L'T', testpaths::Fixture(L"recover-ntfs.img")));
  Session s;
  ASSERT_TRUE(s.Scan(L'T', SCAN_KIND_DELETED));
  CFoundItem* big = s.Find(L"big.bin");
  ASSERT_TRUE(big && big->m_u64Size > (1u << 20));
  CNTFSVolume v(L'T');
  const DWORD cs = v.GetClusterSize();
  ASSERT_GE(cs, 512u);
  // Where cluster 5 of the file lies: its bytes, looked up in the image.
  std::string want = Generated("big.bin-" + std::to_string(big->m_u64Size), (size_t)big->m_u64Size);
  const std::string image = ReadWholeFile(testpaths::Fixture(L"recover-ntfs.img"));
  const size_t at = image.find(want.substr(5 * cs, cs));
  ASSERT_NE(std::string::npos, at);
  g_badFrom = at + 1024;
  g_badTo = g_badFrom + 512;  // one sector of that cluster
  CRecoverFileNTFS reader(nullptr);
  StorageReadFn old = SetStorageReadHook(BadSectorRead);
  const One r = RecoverOne(reader, L"T:\\", big, SCAN_KIND_DELETED);
  SetStorageReadHook(old);
  ASSERT_EQ(1, r.result);  // kept, not deleted at the first failed read
  EXPECT_EQ(1u, r.outcome.unreadableClusters);
  EXPECT_NE(std::wstring::npos, r.outcome.Text().find(L"partial"));
  want.replace(5 * cs, cs, cs, '\0');
  EXPECT_EQ(want.size(), r.bytes.size());
  EXPECT_TRUE(r.bytes == want);
  // Eight bad sectors (ERROR_NOT_READY under Wine, as a pulled device's
  // code on Windows) at cluster 9: zeros exactly there, the file partial.
  g_badFrom = at + 4 * (uint64_t)cs;
  g_badTo = g_badFrom + 8 * 512;
  old = SetStorageReadHook(BadSectorRead);
  const One eight = RecoverOne(reader, L"T:\\", big, SCAN_KIND_DELETED);
  SetStorageReadHook(old);
  ASSERT_EQ(1, eight.result) << testpaths::Narrow(eight.outcome.Text());
  std::string want8 = Generated("big.bin-" + std::to_string(big->m_u64Size), (size_t)big->m_u64Size);
  const size_t badClusters = (4096 + cs - 1) / cs;
  want8.replace(9 * cs, badClusters * cs, badClusters * cs, '\0');
  EXPECT_TRUE(eight.outcome.Partial());
  EXPECT_EQ(badClusters, eight.outcome.unreadableClusters);
  EXPECT_TRUE(eight.bytes == want8);
  // A device pulled from that cluster on is no bad cluster: the file is not
  // kept (not a partial one of zeros), the message is shown and the run ends.
  g_badFrom = g_badTo = 0;
  g_goneAt = at;
  g_boxes.clear();
  CRecordingFrame frame;
  CRecordingRecoverDlg dlg(&frame, L"Z:\\tmp", 0, false);
  dlg.Attach(reader);
  old = SetStorageReadHook(BadSectorRead);
  const One gone = RecoverOne(reader, L"T:\\", big, SCAN_KIND_DELETED);
  SetStorageReadHook(old);
  reader.SetMessageSink(nullptr, nullptr);
  Replug();
  dlg.PumpMessages();
  EXPECT_EQ(0, gone.result);
  EXPECT_EQ(kRecoverDeviceGone, gone.outcome.result) << testpaths::Narrow(gone.outcome.Text());
  EXPECT_TRUE(gone.outcome.path.empty() || !testpaths::FileExists(gone.outcome.path));
  EXPECT_EQ(1, dlg.DoneMessages());
  EXPECT_TRUE(BoxRecorder::Shown(kDeviceGone));
}

// The reading again of a failed span, on its own: a bad run of 1 MiB in a
// span of 4 MiB is jumped over (what follows it is read after a few failed
// reads), then gone back over (zeros exactly there, every piece read once);
// groups of bad, bad, good and bad pieces keep the good group; past its time
// budget a span is read on only up to its first bad piece and the rest is
// not read (which is not unreadable); a device that no longer answers ends
// it; so does a stop.
TEST(RecoverReread, ABadRunIsJumpedThenGoneBackOverEveryGoodPieceIsKept) {
  const DWORD piece = 4096, n = 1024;
  std::vector<std::pair<DWORD, DWORD>> bad = {{300, 556}};
  std::vector<BYTE> want((size_t)n * piece);
  for (size_t i = 0; i < want.size(); ++i) want[i] = (BYTE)(i * 7 + i / 4096);
  std::vector<BYTE> buffer(want.size(), 0xCC);
  size_t reads = 0, failed = 0, failedBeforeAfterRun = ~(size_t)0;
  bool gone = false;
  auto isBad = [&](DWORD i) {
    for (const auto& b : bad)
      if (i >= b.first && i < b.second) return true;
    return false;
  };
  auto pieceAt = [&](DWORD) { return piece; };
  std::vector<int> readsOf(n, 0);
  auto read = [&](DWORD at, DWORD bytes) {
    ++reads;
    ++readsOf[at / piece];
    if (at / piece >= bad.back().second && failedBeforeAfterRun == ~(size_t)0) failedBeforeAfterRun = failed;
    if (isBad(at / piece)) {
      ++failed;
      memset(&buffer[at], 0x55, bytes);  // a failed read leaves rubbish
      SetLastError(ERROR_NOT_READY);
      return false;
    }
    memcpy(&buffer[at], &want[at], bytes);
    return true;
  };
  auto isGone = [&] { return gone; };
  auto zeroedAt = [&](size_t from, size_t to) {
    std::vector<BYTE> z = want;
    for (DWORD i = 0; i < n; ++i)
      if (isBad(i) || (i >= from && i < to)) std::fill(z.begin() + (size_t)i * piece, z.begin() + (size_t)(i + 1) * piece, 0);
    return z;
  };
  recoverimpl::RereadState state;
  EXPECT_EQ(kRecoverOk, recoverimpl::RereadPieces(buffer.data(), n * piece, pieceAt, read, isGone, nullptr, state));
  EXPECT_TRUE(buffer == zeroedAt(0, 0));
  EXPECT_EQ(256u, state.unreadable);
  EXPECT_EQ(256u * piece, state.unreadableBytes);
  EXPECT_EQ(0u, state.notRead);
  EXPECT_TRUE(state.anyRead);
  EXPECT_EQ((DWORD)ERROR_NOT_READY, state.error);
  EXPECT_EQ(256u, state.failedReads);
  EXPECT_EQ((size_t)n, reads);  // each piece once
  EXPECT_TRUE(std::all_of(readsOf.begin(), readsOf.end(), [](int r) { return r == 1; }));
  EXPECT_LE(failedBeforeAfterRun, 12u);  // the run jumped first: what follows it read after a few failures

  // Bad, bad, good, bad: 60 bad pieces zeroed, the 20 good ones between kept.
  bad = {{300, 340}, {360, 380}};
  reads = failed = 0;
  std::fill(readsOf.begin(), readsOf.end(), 0);
  std::fill(buffer.begin(), buffer.end(), 0xCC);
  recoverimpl::RereadState groups;
  EXPECT_EQ(kRecoverOk, recoverimpl::RereadPieces(buffer.data(), n * piece, pieceAt, read, isGone, nullptr, groups));
  EXPECT_TRUE(buffer == zeroedAt(0, 0));
  EXPECT_EQ(60u, groups.unreadable);
  EXPECT_EQ((size_t)n, reads);

  // Over its time budget: read on up to the first bad piece, the rest of the
  // span not read.
  bad = {{300, 556}};
  recoverimpl::RereadState spent;
  spent.failedMs = recoverimpl::RereadState::kRereadBaseMs + 1;
  reads = 0;
  std::fill(buffer.begin(), buffer.end(), 0xCC);
  EXPECT_EQ(kRecoverOk, recoverimpl::RereadPieces(buffer.data(), n * piece, pieceAt, read, isGone, nullptr, spent));
  EXPECT_EQ(300u + 1, reads);
  EXPECT_TRUE(buffer == zeroedAt(300, n));
  EXPECT_EQ(1u, spent.unreadable);
  EXPECT_EQ(n - 301u, spent.notRead);
  EXPECT_EQ((uint64_t)(n - 301) * piece, spent.notReadBytes);
  // More unreadable data buys more time: 10 s a MiB.
  spent.unreadableBytes = 4ull << 20;
  EXPECT_FALSE(spent.OverBudget());

  // The device gone at the first bad piece; a stop asked before any read.
  gone = true;
  recoverimpl::RereadState pulled;
  EXPECT_EQ(kRecoverDeviceGone,
            recoverimpl::RereadPieces(buffer.data(), n * piece, pieceAt, read, isGone, nullptr, pulled));
  EXPECT_EQ(1u, pulled.failedReads);
  volatile int stop = 1;
  reads = 0;
  recoverimpl::RereadState stopped;
  EXPECT_EQ(kRecoverStopped,
            recoverimpl::RereadPieces(buffer.data(), n * piece, pieceAt, read, isGone, &stop, stopped));
  EXPECT_EQ(0u, reads);
}

// ---- writing -------------------------------------------------------------------

int g_writes = 0, g_failAt = 0;
DWORD g_writeError = 0;
BOOL WINAPI FailingWrite(HANDLE h, LPCVOID data, DWORD bytes, LPDWORD done, LPOVERLAPPED ov) {
  if (++g_writes == g_failAt) {
    *done = 0;
    if (!g_writeError) return TRUE;  // took nothing, said nothing
    SetLastError(g_writeError);
    return FALSE;
  }
  return WriteFile(h, data, bytes, done, ov);
}

TEST(RecoverWrite, AFullOrVanishedTargetIsAFailedRecovery) {
  NEEDS_WINE_DRIVES();
  BoxRecorder boxes;
  Mapped vol;
  ASSERT_TRUE(vol.Map(L'T', testpaths::Fixture(L"recover-ntfs.img")));
  Session s;
  ASSERT_TRUE(s.Scan(L'T', SCAN_KIND_DELETED));
  CRecoverFileNTFS reader(nullptr);
  RecoverWriteFn old = SetRecoverWriteHook(FailingWrite);
  const struct { DWORD error; RecoverResult want; } cases[] = {
      {ERROR_DISK_FULL, kRecoverTargetFull}, {0, kRecoverTargetFull}, {ERROR_DEV_NOT_EXIST, kRecoverWriteError}};
  for (const auto& c : cases) {
    g_writes = 0, g_failAt = 2, g_writeError = c.error;
    const One r = RecoverOne(reader, L"T:\\", s.Find(L"big.bin"), SCAN_KIND_DELETED);  // two chunks
    EXPECT_EQ(c.want, r.outcome.result) << c.error;
    EXPECT_TRUE(r.outcome.TargetFailed());
  }
  // Through the worker: the third entry's write finds the target full. The
  // target still has room, so that entry fails alone with the box and the
  // fourth is written; a target that is gone ends the run there. The
  // progress frame is off the screen while the box is up, and back for the
  // rest of the run.
  HWND frame = CreateWindowExW(0, L"STATIC", L"recovering", WS_POPUP | WS_VISIBLE, 0, 0, 200, 100, nullptr, nullptr,
                               nullptr, nullptr);
  ASSERT_TRUE(frame != nullptr);
  const std::vector<std::wstring> names = {L"resident.txt", L"over64k.bin", L"exact64k.bin", L"CON"};
  s.frame.isChecked = [&](const CFoundItem& f) { return std::find(names.begin(), names.end(), f.m_strName) != names.end(); };
  for (DWORD error : {(DWORD)ERROR_DISK_FULL, (DWORD)ERROR_DEV_NOT_EXIST}) {
    g_writes = 0, g_failAt = 3, g_writeError = error;
    g_boxes.clear(), g_boxOwnerShown.clear();
    ShowWindow(frame, SW_SHOWNA);
    const std::wstring out = TempDir(L"recover-full");
    CRecordingRecoverDlg dlg(&s.frame, out, 0, false);
    ASSERT_TRUE(dlg.Start(frame) && dlg.WaitForEnd(60000));
    const bool full = error == ERROR_DISK_FULL;
    EXPECT_EQ(full ? 4u : 3u, dlg.Worker().Results().size()) << error;
    EXPECT_EQ(full ? 3 : 2, dlg.FinishedInfo().recovered) << error;
    EXPECT_EQ(full, BoxRecorder::Shown(kDiskNoSpace)) << error;
    if (full) {
      ASSERT_EQ(g_boxes.size(), g_boxOwnerShown.size());
      for (size_t i = 0; i < g_boxes.size(); ++i)
        EXPECT_FALSE(g_boxOwnerShown[i]) << testpaths::Narrow(g_boxes[i]);
      EXPECT_TRUE(IsWindowVisible(frame));
    }
    // Status lines go out by time, not per file: the first at once.
    EXPECT_TRUE(dlg.Statuses().size() >= 1 && dlg.Statuses().size() <= 4u);
  }
  SetRecoverWriteHook(old);
  DestroyWindow(frame);
}

// ---- many files ------------------------------------------------------------------

// 2,000 deleted files of one name (folders of their own), one at the end of
// a chain of 150 deleted folders, and a damaged record claiming a petabyte:
// every file comes back, each of one name under a name of its own, the deep
// one under its whole folder path, and the giant fails alone.
TEST(RecoverRun, ThousandsOfOneNameADeepChainAndAPetabyteRecord) {
  NEEDS_WINE_DRIVES();
  BoxRecorder boxes;
  Mapped vol;
  ASSERT_TRUE(vol.Map(L'T', testpaths::Fixture(L"recover-many.img")));
  Session s;
  ASSERT_TRUE(s.Scan(L'T', SCAN_KIND_DELETED));
  size_t notes = 0;
  for (CFoundItem* f : s.frame.Found()) notes += f->m_strName == L"notes.txt";
  EXPECT_EQ(2000u, notes);
  CFoundItem* giant = s.Find(L"giant.bin");
  CFoundItem* bottom = s.Find(L"bottom.txt");
  ASSERT_TRUE(giant && bottom);
  EXPECT_EQ(1ull << 50, giant->m_u64Size);
  EXPECT_EQ(0, giant->m_nPercent);  // shown as damaged, not recoverable
  EXPECT_NE(std::wstring::npos, bottom->GetPath().find(L"\\d150\\"));

  s.frame.isChecked = [](const CFoundItem&) { return true; };
  for (int fullPath = 0; fullPath < 2; ++fullPath) {
    const std::wstring out = TempDir(fullPath ? L"recover-many-full" : L"recover-many-flat");
    CRecordingRecoverDlg dlg(&s.frame, out, fullPath, false);
    const DWORD t0 = GetTickCount();
    ASSERT_TRUE(dlg.Start() && dlg.WaitForEnd(300000));
    const DWORD ms = GetTickCount() - t0;
    // One create per file: probing "notes(1).txt", "notes(2).txt"... for
    // every file took minutes for this many; a generous bound all the same.
    EXPECT_LT(ms, 30000u) << fullPath;
    const auto& results = dlg.Worker().Results();
    ASSERT_EQ(s.frame.Found().size(), results.size());
    EXPECT_EQ((int)results.size() - 1, dlg.FinishedInfo().recovered) << fullPath;
    std::set<std::wstring> paths;
    std::set<std::string> texts;
    for (const RecoverEntryResult& r : results) {
      if (r.name == L"giant.bin") {
        // More than the target holds, but refused as more than its volume:
        // the user is not told the target is full.
        EXPECT_EQ(kRecoverOutsideVolume, r.outcome.result) << r.outcome.Text();
        EXPECT_TRUE(r.outcome.path.empty());
        continue;
      }
      ASSERT_TRUE(r.outcome.Ok()) << r.name << " " << r.outcome.Text();
      EXPECT_TRUE(paths.insert(r.outcome.path).second) << r.outcome.path;
      const std::string bytes = ReadWholeFile(LongPathForm(r.outcome.path));
      if (r.name == L"notes.txt") texts.insert(bytes);
      if (r.name == L"bottom.txt") {
        EXPECT_EQ("at the bottom of 150 folders\n", bytes);
        if (fullPath) {
          EXPECT_GT(r.outcome.path.size(), (size_t)MAX_PATH);
          EXPECT_NE(std::wstring::npos, r.outcome.path.find(L"\\d150\\bottom.txt")) << r.outcome.path;
        }
      }
    }
    EXPECT_FALSE(BoxRecorder::Shown(kDiskNoSpace)) << fullPath;
    EXPECT_EQ(2000u, texts.size());  // "note 0" .. "note 1999", each once
    EXPECT_EQ(1u, texts.count("note 1999\n"));
    if (!fullPath) {
      EXPECT_EQ(1u, paths.count(out + L"\\notes(1999).txt"));
      EXPECT_EQ(0u, paths.count(out + L"\\notes(2000).txt"));
    }
  }
}

// Reads of a run, counted as they reach the volume's device.
std::atomic<int> g_runReads{0};
DWORD CountRunRead(HANDLE h, unsigned __int64 offset, void* buffer, DWORD size) {
  ++g_runReads;
  return RawReadAt(h, offset, buffer, size);
}

// The 2,000 small files of one name: their records lie together in the MFT,
// so a run reads them a block at a time, not one read per record. Their data
// is resident: the run's reads are the records' and the folders'.
TEST(RecoverRun, NeighbouringRecordsOfARunShareTheirReads) {
  NEEDS_WINE_DRIVES();
  BoxRecorder boxes;
  Mapped vol;
  ASSERT_TRUE(vol.Map(L'T', testpaths::Fixture(L"recover-many.img")));
  Session s;
  ASSERT_TRUE(s.Scan(L'T', SCAN_KIND_DELETED));
  s.frame.isChecked = [](const CFoundItem& f) { return f.m_strName == L"notes.txt"; };
  const std::wstring out = TempDir(L"recover-reads");
  CRecordingRecoverDlg dlg(&s.frame, out, 1, false);
  g_runReads = 0;
  StorageReadFn old = SetStorageReadHook(CountRunRead);
  const bool ended = dlg.Start() && dlg.WaitForEnd(300000);
  SetStorageReadHook(old);
  ASSERT_TRUE(ended);
  ASSERT_EQ(2000u, dlg.Worker().Results().size());
  EXPECT_EQ(2000, dlg.FinishedInfo().recovered);
  std::set<std::string> texts;
  for (const RecoverEntryResult& r : dlg.Worker().Results()) texts.insert(ReadWholeFile(LongPathForm(r.outcome.path)));
  EXPECT_EQ(2000u, texts.size());
  EXPECT_EQ(1u, texts.count("note 1999\n"));
  // One read per record was 2,000 and more.
  EXPECT_LT(g_runReads.load(), 200);
}

// ---- the target ------------------------------------------------------------------

TEST(RecoverTarget, NamesAndFoldersStayInsideTheTarget) {
  EXPECT_EQ(L"Z:\\out\\docs", KeepPathFolder(L"Z:\\out", L"C:\\docs\\", true, L"Recycle Bin"));
  EXPECT_EQ(L"Z:\\out\\C_\\docs", KeepPathFolder(L"Z:\\out\\", L"C:\\docs\\", false, L"Recycle Bin"));
  EXPECT_EQ(L"Z:\\out\\Recycle Bin\\S-1", KeepPathFolder(L"Z:\\out", L"C:\\$Recycle.Bin\\S-1\\", true, L"Recycle Bin"));
  EXPECT_EQ(L"Z:\\out\\_\\_\\x\\_con\\a_b\\y", KeepPathFolder(L"Z:\\out", L"C:\\..\\.\\x\\con\\a:b\\y. \\", true, L"R"));
  for (const wchar_t* bad : {L"..", L".", L"", L"a/b", L"a\\b", L"x:$DATA", L"NUL", L"com1.txt", L"end. . "}) {
    const std::wstring n = SafeRecoverName(bad);
    EXPECT_TRUE(n.find_first_of(L"\\/:") == std::wstring::npos && n != L"." && n != L".." && !n.empty() &&
                n.back() != L'.' && n.back() != L' ')
        << testpaths::Narrow(bad);
  }
  EXPECT_EQ(L"_NUL", SafeRecoverName(L"NUL"));
  EXPECT_EQ(L"end", SafeRecoverName(L"end. . "));

  CCarvedFolderLayout byType(L"Z:\\t", true);
  EXPECT_EQ(L"Z:\\t\\jpg", byType.NextFolder("jpg"));
  EXPECT_EQ(L"Z:\\t\\jpg", byType.NextFolder("jpg"));
  EXPECT_EQ(L"Z:\\t\\png", byType.NextFolder("png"));
  EXPECT_EQ(L"Z:\\t\\docx", byType.NextFolder("docx"));  // not "doc"'s folder
  EXPECT_EQ(L"Z:\\t\\doc", byType.NextFolder("doc"));
  EXPECT_EQ(L"Z:\\t\\bin", byType.NextFolder("bin"));
  EXPECT_EQ(L"Z:\\t\\_", byType.NextFolder(".."));
  for (int i = 3; i < 2500; ++i) byType.NextFolder("jpg"), byType.NextFolder(i % 2 ? "png" : "gif");
  EXPECT_EQ(L"Z:\\t\\jpg", byType.NextFolder("jpg"));  // the 2,500th
  EXPECT_EQ(L"Z:\\t\\jpg.1", byType.NextFolder("jpg"));
  for (int i = 1; i < 2500; ++i) byType.NextFolder("jpg");
  EXPECT_EQ(L"Z:\\t\\jpg.2", byType.NextFolder("jpg"));  // named from the base folder
  CCarvedFolderLayout flat(L"Z:\\t", false);
  for (int i = 0; i < 2500; ++i) EXPECT_EQ(L"Z:\\t\\Delvaro", flat.NextFolder(i % 2 ? "jpg" : "png"));
  EXPECT_EQ(L"Z:\\t\\Delvaro.1", flat.NextFolder("jpg"));
}

// The folders of a run: a chain comes parents first, each folder is made
// once (one in another case is the same folder), one there from before is
// taken as it is, and a file in the way refuses the folder and what is below.
TEST(RecoverTarget, FoldersOfARunAreMadeOnceAndAFileInTheWayRefusesThem) {
  const std::wstring out = TempDir(L"recover-folders");
  CRecoverSession s;
  EXPECT_TRUE(s.EnsureFolder(out + L"\\a\\b\\c"));
  EXPECT_TRUE(s.EnsureFolder(out + L"\\a\\b\\d\\e\\"));  // below a made one: d, then e
  EXPECT_TRUE(s.EnsureFolder(out + L"\\A\\B\\C"));
  for (const wchar_t* made : {L"\\a\\b\\c", L"\\a\\b\\d\\e"}) {
    const DWORD at = GetFileAttributesW((out + made).c_str());
    EXPECT_TRUE(at != INVALID_FILE_ATTRIBUTES && (at & FILE_ATTRIBUTE_DIRECTORY)) << testpaths::Narrow(made);
  }
  ASSERT_TRUE(CreateDirectoryW((out + L"\\before").c_str(), nullptr));
  EXPECT_TRUE(s.EnsureFolder(out + L"\\before\\x"));
  HANDLE h = CreateFileW((out + L"\\a\\file").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  CloseHandle(h);
  EXPECT_FALSE(s.EnsureFolder(out + L"\\a\\file"));
  EXPECT_FALSE(s.EnsureFolder(out + L"\\a\\file\\below\\deeper"));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((out + L"\\a\\file\\below").c_str()));
  // Known to the run: a, b, c, d, e and x; nothing above what it made.
  EXPECT_EQ(6u, s.FoldersKnown());
}

// What the fake system answers for every volume: its one extent (disk 14,
// the first 64 MiB, unless a test says otherwise), or, with g_extentsTold
// false, no extents and only a device number, as some systems answer for
// every drive.
DISK_EXTENT g_extent = {14, {}, {}};
bool g_extentsTold = true;
int g_deviceNumber = 14;
BOOL WINAPI FakeDisks(HANDLE h, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD got,
                      LPOVERLAPPED ov) {
  if (code == IOCTL_STORAGE_GET_DEVICE_NUMBER && !g_extentsTold && outSize >= sizeof(STORAGE_DEVICE_NUMBER)) {
    STORAGE_DEVICE_NUMBER* n = (STORAGE_DEVICE_NUMBER*)out;
    n->DeviceType = FILE_DEVICE_DISK;
    n->DeviceNumber = (DWORD)g_deviceNumber;
    n->PartitionNumber = 1;
    *got = sizeof(*n);
    return TRUE;
  }
  if (code != IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS) return DeviceIoControl(h, code, in, inSize, out, outSize, got, ov);
  if (!g_extentsTold) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  VOLUME_DISK_EXTENTS* e = (VOLUME_DISK_EXTENTS*)out;
  memset(e, 0, sizeof(*e));
  e->NumberOfDiskExtents = 1;
  e->Extents[0] = g_extent;
  if (!e->Extents[0].ExtentLength.QuadPart) e->Extents[0].ExtentLength.QuadPart = 64ll << 20;
  *got = sizeof(*e);
  return TRUE;
}

TEST(RecoverTarget, ATargetOnTheScannedDeviceIsRefused) {
  NEEDS_WINE_DRIVES();
  BoxRecorder boxes;
  Mapped vol;
  ASSERT_TRUE(vol.Map(L'T', testpaths::Fixture(L"recover-fat16.img")));
  Session s;
  ASSERT_TRUE(s.Scan(L'T', SCAN_KIND_DELETED));
  // T: is also a drive whose root is a folder here: a target on it is refused
  // and nothing is written.
  const std::wstring root = TempDir(L"recover-t-root");
  ASSERT_TRUE(vol.map.DriveFolder(L't', root));
  {
    CRecordingRecoverDlg dlg(&s.frame, L"T:\\out", 1, false);
    ASSERT_TRUE(dlg.Start() && dlg.WaitForEnd(60000));
    EXPECT_TRUE(dlg.Worker().WasRefused());
    EXPECT_EQ(0, dlg.FinishedInfo().recovered);
    EXPECT_TRUE(BoxRecorder::Shown(kRecoverDiffDrive));
  }
  EXPECT_FALSE(testpaths::FileExists(root + L"\\out"));
  ScannedSource src;
  src.scanKind = SCAN_KIND_DELETED;
  src.volumeRoot = L"T:\\";
  EXPECT_TRUE(IsTargetOnScannedDevice(src, L"T:\\a\\b"));
  EXPECT_TRUE(IsTargetOnScannedDevice(src, L"t:\\"));
  EXPECT_FALSE(IsTargetOnScannedDevice(src, TempDir(L"recover-elsewhere")));
  // Recycle bins: each entry's own volume.
  src.scanKind = SCAN_KIND_RECYCLE;
  src.volumeRoot.clear();
  src.entryLetters = {L'Q', L't'};
  EXPECT_TRUE(IsTargetOnScannedDevice(src, L"T:\\x"));
  // A whole disk: any volume of it (the system names the disk of D:).
  ASSERT_TRUE(vol.map.DriveFolder(L'd', TempDir(L"recover-w")) &&
              vol.map.Volume(L'd', testpaths::Fixture(L"recover-exfat.img")));
  StorageIoControlFn oldIo = SetStorageIoControlHook(FakeDisks);
  src = ScannedSource();
  src.scanKind = SCAN_KIND_DEEP;
  src.targetKind = SCAN_TARGET_DISK;
  src.diskNumber = 14;
  EXPECT_TRUE(IsTargetOnScannedDevice(src, L"D:\\out"));
  src.diskNumber = 15;
  EXPECT_FALSE(IsTargetOnScannedDevice(src, L"D:\\out"));
  SetStorageIoControlHook(oldIo);
  // An image: never the image file itself.
  src = ScannedSource();
  src.scanKind = SCAN_KIND_DEEP;
  src.targetKind = SCAN_TARGET_IMAGE;
  src.imagePath = testpaths::Fixture(L"recover-fat16.img");
  EXPECT_TRUE(IsTargetOnScannedDevice(src, testpaths::Fixture(L"recover-fat16.img")));
  EXPECT_FALSE(IsTargetOnScannedDevice(src, testpaths::Fixture(L"recover-exfat.img")));
}

// A lost partition is read from its disk's sectors: a target is refused
// when its volume is known to lie over them (same disk, overlapping
// extents), and the refusal says where; a volume elsewhere on that disk, on
// another disk, or whose place the system does not tell is a fine target.
TEST(RecoverTarget, ALostPartitionRefusesOnlyATargetKnownToLieOverIt) {
  NEEDS_WINE_DRIVES();
  devicemap::CScopedDeviceMap map;
  ASSERT_TRUE(map.DriveFolder(L'd', TempDir(L"recover-lost-d")) &&
              map.Volume(L'd', testpaths::Fixture(L"recover-exfat.img")));
  StorageIoControlFn oldIo = SetStorageIoControlHook(FakeDisks);
  LostPartition lost;  // disk 14
  lost.disk = L"\\\\.\\PhysicalDrive14";
  lost.info.m_StartSector = 2048;
  lost.info.m_SectorCount = 16384;  // bytes 1 MiB .. 9 MiB
  ScannedSource src;
  src.scanKind = SCAN_KIND_LOST_PARTITION;
  src.lost = &lost;
  const struct {
    const char* what;
    bool told;
    int disk;
    long long start, length;
    bool refused;
  } cases[] = {
      {"over the partition", true, 14, 0, 64ll << 20, true},
      {"over its last sector", true, 14, (9ll << 20) - 512, 1 << 20, true},
      {"right after it", true, 14, 9ll << 20, 1 << 20, false},
      {"right before it", true, 14, 0, 1 << 20, false},
      {"another disk", true, 15, 0, 64ll << 20, false},
      {"place not told, same disk number", false, 14, 0, 0, false},
  };
  for (const auto& c : cases) {
    g_extentsTold = c.told;
    g_deviceNumber = c.disk;
    g_extent.DiskNumber = (DWORD)c.disk;
    g_extent.StartingOffset.QuadPart = c.start;
    g_extent.ExtentLength.QuadPart = c.length;
    TargetConflict why;
    EXPECT_EQ(c.refused, IsTargetOnScannedDevice(src, L"D:\\out", &why)) << c.what;
    if (c.refused) {
      EXPECT_EQ(14, why.disk) << c.what;
      EXPECT_EQ((uint64_t)c.start, why.volumeStart) << c.what;
      EXPECT_EQ(2048u * 512, why.partitionStart) << c.what;
      EXPECT_EQ(16384u * 512, why.partitionLength) << c.what;
    }
  }
  // A whole disk read by a deep scan: any volume of it.
  g_extentsTold = true;
  g_extent = DISK_EXTENT{14, {}, {}};
  src = ScannedSource();
  src.scanKind = SCAN_KIND_DEEP;
  src.targetKind = SCAN_TARGET_DISK;
  src.diskNumber = 14;
  EXPECT_TRUE(IsTargetOnScannedDevice(src, L"D:\\out"));
  SetStorageIoControlHook(oldIo);
}

// A lost partition: the file system starts at the partition's start plus its
// hidden sectors; the file-system code comes from the boot sector when the
// record's type is a table byte.
// The lost NTFS reader shares its disk for reading and writing, as the other
// lost readers do: a disk that the system (or another program) has open for
// writing still opens.
TEST(RecoverLostPartition, TheLostNtfsReaderSharesTheDiskForWriting) {
  NEEDS_WINE_DRIVES();
  const std::wstring disk = TempDir(L"lost-share") + L"\\disk.img";
  ASSERT_TRUE(CopyFileW(testpaths::Fixture(L"ntfs-disk.img").c_str(), disk.c_str(), FALSE));
  devicemap::CScopedDeviceMap map;
  ASSERT_TRUE(map.PhysicalDrive(10, disk));
  HANDLE writer = CreateFileW(disk.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, writer);
  {
    CLostNTFSVolume byNumber(10, 1048576, 0);
    EXPECT_TRUE(byNumber.IsVolumeOK());
    EXPECT_EQ(1048576u, byNumber.GetPartitionOffset());
    EXPECT_GT(byNumber.GetRecordCount(), 16u);
  }
  CloseHandle(writer);
}

TEST(RecoverLostPartition, ReadsAtStartPlusHiddenSectors) {
  NEEDS_WINE_DRIVES();
  BoxRecorder boxes;  // a box never waits for a click in a test
  for (const wchar_t* fixture : {L"recover-ntfs.img", L"recover-fat16.img"}) {
    Mapped vol;
    ASSERT_TRUE(vol.Map(L'T', testpaths::Fixture(fixture)));
    Session s;
    ASSERT_TRUE(s.Scan(L'T', SCAN_KIND_DELETED));
    LostPartition lost;
    lost.disk = TempDir(L"recover-lost") + L"\\disk.img";
    ASSERT_TRUE(testpaths::WriteWholeFile(lost.disk, std::string(1 << 20, '\0') + vol.bytes));
    lost.info.m_nScheme = 0;  // found by the search: boot sector at start + hidden
    lost.info.m_StartSector = 1024;
    lost.info.m_HiddenSectors = 1024;
    lost.info.m_nType = fixture[8] == L'n' ? 0x07 : 0x0E;
    const int code = PartitionTypeCodeOf(nullptr, SCAN_KIND_LOST_PARTITION, L"", &lost.info, &lost);
    ASSERT_EQ(fixture[8] == L'n' ? FS_NTFS : FS_FAT16, code);
    std::unique_ptr<CRecoverFile> reader(CreateRecoverFile(code, nullptr));
    int compared = 0;
    for (CFoundItem* item : s.frame.Found()) {
      const One a = RecoverOne(*reader, L"T:\\", item, SCAN_KIND_DELETED);
      const One b = RecoverOne(*reader, nullptr, item, SCAN_KIND_LOST_PARTITION, &lost);
      EXPECT_EQ(a.result, b.result);
      EXPECT_TRUE(a.bytes == b.bytes) << testpaths::Narrow(item->m_strName);
      compared += a.result;
    }
    EXPECT_GT(compared, 5);
    // No partition record: nothing to open, and no box.
    lost.info.m_HiddenSectors = ~0ull;
    EXPECT_EQ(0, RecoverOne(*reader, nullptr, s.frame.Found()[0], SCAN_KIND_LOST_PARTITION, &lost).result);
  }
}

// ---- the run -----------------------------------------------------------------------

DWORD WINAPI ThumbnailWorker(LPVOID) {
  Sleep(50);
  return 0;
}

TEST(RecoverRun, CarvedFilesThroughItsOwnHandleSortedByTypeNeverReplaced) {
  NEEDS_WINE_DRIVES();
  BoxRecorder boxes;
  Mapped vol;
  ASSERT_TRUE(vol.Map(L'T', testpaths::Fixture(L"carve.img")));
  CFormatPluginRegistry registry;
  registry.Load();
  Session s;
  s.frame.SetRegistry(&registry);
  s.frame.SetSelectedFormats(registry.GetFormatNames());
  ASSERT_TRUE(s.Scan(L'T', SCAN_KIND_DEEP));
  ASSERT_GT(s.frame.Hits().size(), 10u);
  // The frame's handle is gone (another reader owns it): the run opens its own.
  s.frame.SetDeepScanDevice(INVALID_HANDLE_VALUE);
  HANDLE thumbnails = CreateThread(nullptr, 0, ThumbnailWorker, nullptr, 0, nullptr);
  s.frame.SetThumbnailThread(thumbnails);
  const std::wstring out = TempDir(L"recover-carved");
  std::vector<std::wstring> first;
  for (int round = 0; round < 2; ++round) {
    CRecordingRecoverDlg dlg(&s.frame, out, 1, false);
    ASSERT_TRUE(dlg.Start() && dlg.WaitForEnd(60000));
    EXPECT_EQ((int)s.frame.Hits().size(), dlg.FinishedInfo().recovered);
    EXPECT_EQ(std::vector<bool>({true, false}),
              std::vector<bool>(s.frame.ThumbnailStops().end() - 2, s.frame.ThumbnailStops().end()));
    EXPECT_TRUE(dlg.Statuses().size() >= 1 && dlg.Statuses().size() <= s.frame.Hits().size());
    EXPECT_FALSE(dlg.PerMille().empty());
    for (size_t i = 0; i < s.frame.Hits().size(); ++i) {
      const DeepScanHit* hit = s.frame.Hits()[i];
      const RecoverOutcome& o = dlg.Worker().Results()[i].outcome;
      const std::wstring folder = out + L"\\" + std::wstring(hit->szExtension, hit->szExtension + strlen(hit->szExtension));
      EXPECT_EQ(folder, o.path.substr(0, o.path.rfind(L'\\')));
      EXPECT_TRUE(ReadWholeFile(o.path) == vol.bytes.substr((size_t)hit->GetStart(), (size_t)hit->u64Length));
      if (round == 0) first.push_back(o.path);
      else EXPECT_NE(first[i], o.path);  // a second run never replaces the first
    }
  }
  for (size_t i = 0; i < first.size(); ++i)
    EXPECT_TRUE(ReadWholeFile(first[i]) == vol.bytes.substr((size_t)s.frame.Hits()[i]->GetStart(),
                                                            (size_t)s.frame.Hits()[i]->u64Length));
  CloseHandle(thumbnails);
}

TEST(RecoverRun, WriteCarvedFileChecksItsRangeAndEveryRead) {
  BoxRecorder boxes;
  // A sparse image of 80 MiB with marks at chunk edges.
  const std::wstring dir = TempDir(L"recover-wcf");
  const std::wstring image = dir + L"\\dev.img";
  HANDLE h = CreateFileW(image.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  SYSTEM_INFO si;
  GetSystemInfo(&si);
  const uint64_t chunk = (uint64_t)std::max<DWORD>(si.dwAllocationGranularity, 4096) * 512;
  const uint64_t start = 3 * 512 + 4096;
  for (uint64_t at : {start, start + chunk - 1, start + chunk, start + 2 * chunk - 1}) {
    LARGE_INTEGER li;
    li.QuadPart = (LONGLONG)at;
    SetFilePointerEx(h, li, nullptr, FILE_BEGIN);
    DWORD w = 0;
    WriteFile(h, "M", 1, &w, nullptr);
  }
  LARGE_INTEGER end;
  end.QuadPart = 80 << 20;
  SetFilePointerEx(h, end, nullptr, FILE_BEGIN);
  SetEndOfFile(h);
  CRecordingFrame frame;
  CRecoverProcessWorker worker(&frame, dir, 0, false);
  DeepScanHit hit = {};
  strcpy(hit.szName, "File0000001.bin");
  strcpy(hit.szExtension, "bin");
  hit.u64WindowBase = 4096;
  hit.u64Position = 3 * 512;
  hit.u64Length = 2 * chunk;
  hit.uValid = 1;
  const std::wstring path = dir + L"\\File0000001.bin";
  ASSERT_EQ(1, worker.WriteCarvedFile(h, path, &hit, SCAN_TARGET_IMAGE, nullptr, nullptr));
  const std::string got = ReadWholeFile(path);
  ASSERT_EQ(2 * chunk, got.size());  // exactly two whole chunks
  for (uint64_t at : {0ull, chunk - 1, chunk, 2 * chunk - 1}) EXPECT_EQ('M', got[(size_t)at]);
  // A bad sector in the second chunk: that sector comes back as zeros, the
  // rest of its 4 KiB block and of the file as it is, and the file is kept
  // as partial.
  const uint64_t badBlock = (start + chunk + 8192) / 4096 * 4096;
  g_badFrom = badBlock + 512;
  g_badTo = g_badFrom + 512;
  LARGE_INTEGER mark;
  mark.QuadPart = (LONGLONG)(badBlock + 100);
  DWORD w = 0;
  ASSERT_TRUE(SetFilePointerEx(h, mark, nullptr, FILE_BEGIN) && WriteFile(h, "B", 1, &w, nullptr));
  {
    StorageReadFn old = SetStorageReadHook(BadSectorRead);
    const std::wstring partial = dir + L"\\partial.bin";
    EXPECT_EQ(1, worker.WriteCarvedFile(h, partial, &hit, SCAN_TARGET_IMAGE, nullptr, nullptr));
    SetStorageReadHook(old);
    const std::string bytes = ReadWholeFile(partial);
    ASSERT_EQ(2 * chunk, bytes.size());
    const size_t zeroFrom = (size_t)(g_badFrom - start);
    EXPECT_EQ(std::string(512, '\0'), bytes.substr(zeroFrom, 512));
    EXPECT_EQ('B', bytes[(size_t)(badBlock - start) + 100]);  // the sector before it is kept
    EXPECT_EQ(1u, worker.LastCarvedOutcome().unreadableClusters);
    // Compared in place: each side is tens of MiB.
    EXPECT_EQ(0, got.compare(0, (size_t)(badBlock - start), bytes, 0, (size_t)(badBlock - start)));
    EXPECT_EQ(0, got.compare(zeroFrom + 512, std::string::npos, bytes, zeroFrom + 512, std::string::npos));
    EXPECT_EQ('M', bytes[(size_t)(2 * chunk - 1)]);
  }
  // A bad run of 1 MiB inside the file: the reads jump over it in growing
  // steps and go back over every sector of it, so every byte around it comes
  // back; the good part of the chunk is read a 4 KiB block at a time, not a
  // sector at a time.
  {
    g_badFrom = (start + chunk + chunk / 4) / 4096 * 4096;
    g_badTo = g_badFrom + (1 << 20);
    g_badReads = 0;
    StorageReadFn old = SetStorageReadHook(CountedBadSectorRead);
    const std::wstring run = dir + L"\\run.bin";
    EXPECT_EQ(1, worker.WriteCarvedFile(h, run, &hit, SCAN_TARGET_IMAGE, nullptr, nullptr));
    SetStorageReadHook(old);
    const std::string bytes = ReadWholeFile(run);
    std::string want = got;  // the file as the first copy wrote it
    const size_t zeroFrom = (size_t)(g_badFrom - start);
    want.replace(zeroFrom, 1 << 20, 1 << 20, '\0');
    want[(size_t)(badBlock - start) + 100] = 'B';
    if (badBlock >= g_badFrom && badBlock < g_badTo) want[(size_t)(badBlock - start) + 100] = '\0';
    EXPECT_TRUE(bytes == want);
    EXPECT_EQ((1u << 20) / 512, worker.LastCarvedOutcome().unreadableClusters);
    // The blocks of its chunk read once each, each sector of the bad run once,
    // and a question to the device (a read or two) every 16 failures.
    EXPECT_LE(g_badReads, chunk / 4096 + (1u << 20) / 512 + 2 * ((1u << 20) / 512 / 16) + 8);
  }
  // Every sector of a two-chunk file unreadable while the device answers: no
  // file of zeros, at a bounded number of reads per chunk.
  {
    g_badFrom = start / 4096 * 4096;
    g_badTo = start + 2 * chunk + 4096;
    g_badReads = 0;
    StorageReadFn old = SetStorageReadHook(CountedBadSectorRead);
    const std::wstring none = dir + L"\\none.bin";
    EXPECT_EQ(0, worker.WriteCarvedFile(h, none, &hit, SCAN_TARGET_IMAGE, nullptr, nullptr));
    EXPECT_EQ(kRecoverReadError, worker.LastCarvedOutcome().result);
    EXPECT_FALSE(testpaths::FileExists(none));
    // Per chunk: the chunk, each block once, each sector once, and a question
    // to the device every 16 failures.
    EXPECT_LE(g_badReads, 2 * (1 + chunk / 4096 + chunk / 512 + 2 * (chunk / 512 / 16) + 8));
    EXPECT_GT(g_badReads, 2u);
    // A stop asked while the blocks are read again ends the file there.
    static volatile int stop = 0;
    g_stopAfterReads = 5;
    g_stopFlag = &stop;
    g_badReads = 0;
    const std::wstring stopped = dir + L"\\stopped.bin";
    EXPECT_EQ(0, worker.WriteCarvedFile(h, stopped, &hit, SCAN_TARGET_IMAGE, nullptr, &stop));
    EXPECT_EQ(kRecoverStopped, worker.LastCarvedOutcome().result);
    EXPECT_LE(g_badReads, 5u + 1);  // the sector in hand may cost its block's read and its own
    EXPECT_FALSE(testpaths::FileExists(stopped));
    g_stopFlag = nullptr;
    // The device pulled in the second chunk: no file, the message, the end.
    g_badFrom = g_badTo = 0;
    g_goneAt = start + chunk + 8192;
    g_boxes.clear();
    CRecordingRecoverDlg dlg(&frame, dir, 0, false);
    dlg.Attach(worker);
    const std::wstring pulled = dir + L"\\pulled.bin";
    EXPECT_EQ(0, worker.WriteCarvedFile(h, pulled, &hit, SCAN_TARGET_IMAGE, nullptr, nullptr));
    Replug();
    SetStorageReadHook(old);
    dlg.PumpMessages();
    EXPECT_EQ(kRecoverDeviceGone, worker.LastCarvedOutcome().result);
    EXPECT_FALSE(testpaths::FileExists(pulled));
    EXPECT_EQ(1, dlg.DoneMessages());
    EXPECT_TRUE(BoxRecorder::Shown(kDeviceGone));
    worker.SetDialogMessageSink(nullptr, nullptr);
  }
  // No length, not valid, past the end of the device: nothing written.
  for (auto change : std::vector<std::function<void(DeepScanHit&)>>{
           [](DeepScanHit& x) { x.u64Length = 0; }, [](DeepScanHit& x) { x.uValid = 0; },
           [](DeepScanHit& x) { x.u64Length = (80 << 20); }, [](DeepScanHit& x) { x.u64Length = ~0ull >> 1; },
           [](DeepScanHit& x) { x.u64Position = ~0ull - 100; }}) {
    DeepScanHit bad = hit;
    change(bad);
    const std::wstring p = dir + L"\\bad.bin";
    EXPECT_EQ(0, worker.WriteCarvedFile(h, p, &bad, SCAN_TARGET_IMAGE, nullptr, nullptr));
    EXPECT_FALSE(testpaths::FileExists(p));
  }
  CloseHandle(h);
  // A device that is gone: its box, the end of the run, and no file.
  CRecordingRecoverDlg dlg(&frame, dir, 0, false);
  const std::wstring p = dir + L"\\gone.bin";
  HANDLE gone = (HANDLE)(ULONG_PTR)0x7FFF0000;  // no handle of this process
  dlg.Attach(worker);
  EXPECT_EQ(0, worker.WriteCarvedFile(gone, p, &hit, SCAN_TARGET_DISK, nullptr, nullptr));
  dlg.PumpMessages();
  EXPECT_EQ(1, dlg.DoneMessages());
  EXPECT_FALSE(testpaths::FileExists(p));
  EXPECT_FALSE(g_boxes.empty());
}

// The volume of an entry that will not open ends the run after that entry;
// an unknown file system too (its message posted, never sent).
TEST(RecoverRun, AVolumeThatWillNotOpenOrIsUnknownEndsTheRun) {
  NEEDS_WINE_DRIVES();
  BoxRecorder boxes;
  Mapped vol;
  ASSERT_TRUE(vol.Map(L'T', testpaths::Fixture(L"recover-fat16.img")));
  Session s;
  ASSERT_TRUE(s.Scan(L'T', SCAN_KIND_DELETED));
  ASSERT_GT(s.frame.Found().size(), 3u);
  for (const wchar_t* fs : {L"NTFS", L"RAW"}) {
    s.frame.GetSelectedVolume()->m_strFileSystem = fs;
    g_boxes.clear();
    CRecordingRecoverDlg dlg(&s.frame, TempDir(L"recover-noopen"), 1, false);
    ASSERT_TRUE(dlg.Start() && dlg.WaitForEnd(60000));
    EXPECT_EQ(1u, dlg.Worker().Results().size()) << testpaths::Narrow(fs);
    EXPECT_EQ(1, dlg.DoneMessages());
    // The cause by name: the volume does not open (nothing was being written).
    EXPECT_TRUE(BoxRecorder::Shown(fs[0] == L'N' ? kErrorOpenVolume : kFileSystemUnknow));
    EXPECT_FALSE(BoxRecorder::Shown(kErrorWhenRecover));
  }
}

// ---- corrupted volumes ----------------------------------------------------------------

// Mutated and cut copies of the fixtures, read through the readers as a lost
// partition of an image file: with the entries of the clean scan and with
// made-up ones. Every call ends; nothing that is written is invented: each
// whole 512-byte block of an output is zeros or a block of the image, and
// from a cut image whatever comes back without unreadable clusters and
// without a guess is what the clean image gives.
// One case per volume, so that the program's shards share the work.
struct FuzzTarget {
  const wchar_t* fixture;
  int code;
  size_t metaBytes;
  unsigned seed;
  const char* name;
};

class RecoverFuzz : public ::testing::TestWithParam<FuzzTarget> {};

TEST_P(RecoverFuzz, CorruptedVolumesNeverCrashHangOrInventBytes) {
  NEEDS_WINE_DRIVES();
  BoxRecorder boxes;
  g_answer = IDYES;
  const FuzzTarget& t = GetParam();
  std::mt19937 rng(t.seed);
  const std::wstring dir = TempDir(L"recover-fuzz");
  const std::wstring out = TempDir(L"recover-fuzz-out");
  {
    Mapped vol;
    ASSERT_TRUE(vol.Map(L'T', testpaths::Fixture(t.fixture)));
    Session s;
    ASSERT_TRUE(s.Scan(L'T', SCAN_KIND_DELETED));
    std::vector<CFoundItem> items;
    for (CFoundItem* f : s.frame.Found()) items.push_back(*f);
    for (int i = 0; i < 12; ++i) {  // made-up entries: any cluster, size, record, flags
      CFoundItem f(L"made up.bin", L"T:\\", L"", rng() % 3 ? rng() % 200000 : ((uint64_t)rng() << 20), rng() % 200);
      f.m_uFirstCluster = rng() % 3 ? rng() % 5000 : rng();
      f.m_bContiguous = rng() % 2;
      f.SetRecoverability((int)(rng() % 102) - 1);
      items.push_back(f);
    }
    LostPartition lost;
    lost.info.m_nType = t.code;
    lost.disk = dir + L"\\" + t.fixture;
    std::unique_ptr<CRecoverFile> reader(CreateRecoverFile(t.code, nullptr));
    // What the clean image gives.
    ASSERT_TRUE(testpaths::WriteWholeFile(lost.disk, vol.bytes));
    std::vector<std::string> clean;
    for (CFoundItem& f : items) clean.push_back(RecoverOne(*reader, nullptr, &f, SCAN_KIND_LOST_PARTITION, &lost).bytes);
    std::vector<size_t> hot;
    for (size_t i = 0; i + 4 <= std::min(vol.bytes.size(), t.metaBytes); i += 4)
      if (vol.bytes[i] || vol.bytes[i + 1]) hot.push_back(i);
    // Each round writes only the pages its damage changed (and the previous
    // round's back), not the whole image.
    std::string onDisk = vol.bytes;
    for (int round = 0; round < 16; ++round) {
      std::string img = vol.bytes;
      const bool cut = round % 4 == 3;
      if (cut) {
        img.resize((size_t)(rng() % img.size()) & ~(size_t)511);
      } else {
        for (int e = 1 + (int)(rng() % 60); e > 0; --e) {
          const size_t at = hot[rng() % hot.size()];
          switch (rng() % 3) {
            case 0: img[at] = (char)rng(); break;
            case 1: img[at + rng() % 4] ^= (char)(1u << (rng() % 8)); break;
            default: { const uint32_t v = rng() % 4 ? rng() % 70000 : rng(); memcpy(&img[at], &v, 4); }
          }
        }
      }
      ASSERT_TRUE(testpaths::RewriteChanged(lost.disk, onDisk, img));
      // The image's blocks, as views into it (no copy of the image per round).
      std::unordered_set<std::string_view> blocks;
      blocks.reserve(img.size() / 512);
      for (size_t i = 0; i + 512 <= img.size(); i += 512) blocks.insert(std::string_view(img).substr(i, 512));
      const std::string zeros(512, '\0');
      for (size_t k = 0; k < items.size(); ++k) {
        const ULONGLONG t0 = GetTickCount64();
        const One r = RecoverOne(*reader, nullptr, &items[k], SCAN_KIND_LOST_PARTITION, &lost, nullptr, out);
        if (r.result) DeleteFileW(r.outcome.path.c_str());
        IStream* preview = reader->ReadToStream(nullptr, &lost, &items[k], 4096, SCAN_KIND_LOST_PARTITION);
        if (preview) preview->Release();
        EXPECT_LT(GetTickCount64() - t0, 20000u) << "round " << round;
        if (!r.result) continue;
        EXPECT_EQ(items[k].m_u64Size, r.bytes.size());
        const bool resident = t.code == FS_NTFS && r.bytes.size() < 1024;
        for (size_t i = 0; !resident && i + 512 <= r.bytes.size(); i += 512) {
          const std::string_view b = std::string_view(r.bytes).substr(i, 512);
          ASSERT_TRUE(b == zeros || blocks.count(b)) << testpaths::Narrow(t.fixture) << " round " << round
                                                     << " entry " << k << " block " << i / 512;
        }
        // A guess (clusters taken as a run) may guess otherwise on a shorter disk.
        if (cut && r.outcome.unreadableClusters == 0 && !r.outcome.assumedContiguous) {
          size_t at = 0;
          while (at < r.bytes.size() && at < clean[k].size() && r.bytes[at] == clean[k][at]) ++at;
          EXPECT_TRUE(r.bytes == clean[k]) << "round " << round << " entry " << k << " "
                                           << testpaths::Narrow(items[k].m_strName) << " size " << r.bytes.size()
                                           << "/" << clean[k].size() << " first difference " << at << " cut at "
                                           << img.size();
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Volumes, RecoverFuzz,
                         ::testing::Values(FuzzTarget{L"recover-ntfs.img", FS_NTFS, 16 << 20, 20241209, "Ntfs"},
                                           FuzzTarget{L"recover-fat16.img", FS_FAT16, 256 << 10, 20241210, "Fat16"},
                                           FuzzTarget{L"recover-exfat.img", FS_EXFAT, 1 << 20, 20241211, "ExFat"}),
                         [](const ::testing::TestParamInfo<FuzzTarget>& i) { return std::string(i.param.name); });

}  // namespace
