#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>

#include "RecordingFrame.h"
#include "common/TestPaths.h"
#include "core/Language.h"
#include "storage/DiskMappingPointer.h"

namespace {
const char kSig[] = "DLVTSIG1";
const char kSize[] = "DLVSIZE1";
const uint64_t kGiB = 1024ull * 1024 * 1024;
// A reader asked for 64 KiB windows gets one unit more: 129 blocks of 512.
const uint64_t kWindow = 66048;

struct QuietRegistry : CFormatPluginRegistry {
  void ShowLoadError() override {}
};
std::wstring PluginHome() { return testpaths::Join(testpaths::BinDir(), L"enginetest"); }
CFormatPluginRegistry& TestRegistry() {
  static QuietRegistry* reg = nullptr;
  if (!reg) (reg = new QuietRegistry)->LoadFrom(PluginHome());
  return *reg;
}
const std::vector<std::wstring> kFormats = {L"FILE_TYPE_TSIG", L"FILE_TYPE_TSIZE", L"FILE_TYPE_TCHECKLONG"};

// A 64-byte record of a test plug-in (see testplugins/TestPlugin.cpp).
std::string Record(const char* magic, int64_t length, uint32_t options, const std::string& ext) {
  std::string r(64, '\0');
  memcpy(&r[0], magic, strlen(magic));
  memcpy(&r[8], &length, 8);
  memcpy(&r[16], &options, 4);
  return r.replace(20, std::min<size_t>(ext.size(), 32), ext.substr(0, 32));
}
// A check record: its tail marker lies 1000 bytes after the start.
std::string CheckRecord(int64_t length, const std::string& ext) {
  std::string r = Record("DLVCHK", length, 0, ext) + std::string(1036, '\0');
  r.replace(1000, 6, "DLVEND");
  return r;
}
std::string Image(size_t size, unsigned seed = 0) {  // seed 0: zeros, else noise
  std::string b(size, '\0');
  std::mt19937 rng(seed);
  for (char& c : b) c = seed ? (char)rng() : 0;
  return b;
}
void Put(std::string& img, uint64_t at, const std::string& data) { img.replace(at, data.size(), data); }

// Writes bytes to path, or to a file in a fresh temp folder; returns the path.
std::wstring WriteTemp(const std::string& bytes, const wchar_t* tag, std::wstring path = L"") {
  if (path.empty()) path = testpaths::MakeTempDir(tag) + L"\\image.raw";
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD wrote = 0;
  WriteFile(h, bytes.data(), (DWORD)bytes.size(), &wrote, nullptr);
  CloseHandle(h);
  return wrote == bytes.size() ? path : L"";
}

// One deep scan through the recording frame, run here or on a thread of its own.
struct Scan {
  CRecordingFrame frame;
  HANDLE borrowed = INVALID_HANDLE_VALUE, thread = nullptr;
  std::unique_ptr<CDiskMappingPointer> reader;
  std::unique_ptr<CDeepScanEngine> engine;
  int result = -1;
  CScanDiskDlg* Dlg() { return frame.GetScanDiskDlg(); }

  explicit Scan(const std::wstring& image, uint64_t window = 65536, unsigned step = 512, bool borrow = false,
                int kind = 0, CFormatPluginRegistry* reg = &TestRegistry()) {
    frame.SetRegistry(reg);
    Dlg()->SetTargetKind(kind);
    Dlg()->BeginScanState();
    if (borrow)
      borrowed = CreateFileW(image.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    reader.reset(borrow ? new CDiskMappingPointer(borrowed, 0, kind, window, 512, 0)
                        : new CDiskMappingPointer(image.c_str(), 0, kind, window, 512, 0));
    engine.reset(new CDeepScanEngine(&frame));
    engine->SetBlockStep(step);
    engine->SetReader(reader.get());
  }
  ~Scan() {
    if (thread) { Dlg()->StopScan(); Join(false); }
    engine.reset();
    reader.reset();
    if (borrowed != INVALID_HANDLE_VALUE) CloseHandle(borrowed);
  }
  int Run(const std::vector<std::wstring>& formats = kFormats) {
    engine->BindPlugins(formats);
    result = engine->Run();
    Finish();
    return result;
  }
  void Start() {
    engine->BindPlugins(kFormats);
    thread = CreateThread(nullptr, 0, Body, this, 0, nullptr);
  }
  static DWORD WINAPI Body(LPVOID p) { return ((Scan*)p)->result = ((Scan*)p)->engine->Run(); }
  // Waits for the scan thread, optionally pumping the frame's messages as the main window does.
  bool Join(bool pump) {
    DWORD wait;
    do {
      wait = pump ? MsgWaitForMultipleObjects(1, &thread, FALSE, 60000, QS_ALLINPUT) : WaitForSingleObject(thread, 20000);
      frame.PumpMessages();
    } while (wait == WAIT_OBJECT_0 + 1);
    CloseHandle(thread);
    thread = nullptr;
    Finish();
    return wait == WAIT_OBJECT_0;
  }
  void Finish() {
    Dlg()->OnScanThreadExit();
    frame.PumpMessages();
  }
  std::vector<uint64_t> Starts() {
    std::vector<uint64_t> v;
    for (const DeepScanHit* h : frame.Hits()) v.push_back(h->GetStart());
    return v;
  }
};

bool Has(const std::vector<std::wstring>& v, const wchar_t* s) { return std::find(v.begin(), v.end(), s) != v.end(); }

TEST(FormatPluginRegistry, LoadsOnlyFmtModulesThatNameTheirFormat) {
  CFormatPluginRegistry& reg = TestRegistry();
  const auto& names = reg.GetFormatNames();
  EXPECT_TRUE(Has(names, L"FILE_TYPE_TSIG"));
  EXPECT_TRUE(Has(names, L"FILE_TYPE_TNOATONCE"));   // loaded; the deep scan refuses it later
  EXPECT_TRUE(Has(names, L"FILE_TYPE_TCHECKLONG"));  // 20 characters without a NUL arrive whole
  EXPECT_EQ(nullptr, reg.FindByFormat(L"FILE_TYPE_TCHECKLON"));
  EXPECT_EQ(nullptr, reg.FindByFormat(L"file_type_tsig"));  // exact, case-sensitive
  EXPECT_FALSE(Has(names, L"FILE_TYPE_PLAIN"));      // plain_tsig.dll lacks "fmt_": never loaded
  EXPECT_FALSE(Has(names, L"FILE_TYPE_TNOFORMAT"));  // no GetSupportFormat: freed again
  EXPECT_EQ(reg.GetModules().size(), names.size());
  EXPECT_EQ(nullptr, GetModuleHandleW(L"plain_tsig.dll"));
  EXPECT_EQ(nullptr, GetModuleHandleW(L"fmt_tnoformat.dll"));
  // Extensions map through the fixed table to a loaded plug-in.
  HMODULE icon = reg.FindByFormat(L"FILE_TYPE_ICON");
  ASSERT_NE(nullptr, icon);
  EXPECT_EQ(icon, reg.FindByExtension(L".ICO"));
  for (const wchar_t* ext : {L"", L".", L"..ico", L"txt", L"pdf"}) EXPECT_EQ(nullptr, reg.FindByExtension(ext)) << ext;
}

int g_boxes = 0;
TEST(FormatPluginRegistry, EmptyFolderShowsOneErrorBoxAndReloadWorks) {
  MessageDlgProc previous = SetMessageDlgProc([](HWND, const wchar_t*, const wchar_t*, UINT, int) {
    ++g_boxes;
    return IDOK;
  });
  std::wstring empty = testpaths::MakeTempDir(L"noplugins");
  CreateDirectoryW((empty + L"\\type").c_str(), nullptr);
  CFormatPluginRegistry reg;
  for (const std::wstring& home : {empty, empty + L"\\does-not-exist"}) {
    g_boxes = 0;
    reg.LoadFrom(home);
    EXPECT_EQ(1, g_boxes);
    EXPECT_TRUE(reg.GetModules().empty());
  }
  reg.LoadFrom(PluginHome() + L"\\");  // a trailing backslash is dropped
  EXPECT_NE(nullptr, reg.FindByFormat(L"FILE_TYPE_TSIG"));
  reg.Unload();
  EXPECT_TRUE(reg.GetModules().empty());
  EXPECT_EQ(nullptr, reg.FindByFormat(L"FILE_TYPE_TSIG"));
  SetMessageDlgProc(previous);
}

TEST(DeepScanEngine, BindsCompletePluginsFindsAndNamesHits) {
  std::string img = Image(512 * 1024, 77);  // noise around the records
  Put(img, 1024, Record(kSig, 3000, 0, "tsg"));
  Put(img, 4096, Record("DLVNOSG1", 1000, 0, "nos"));  // signature too long: never matched
  Put(img, 8192, Record("DLVNOAT1", 1000, 0, "noa"));  // length at once without the export
  Put(img, 20480, CheckRecord(1500, "chk"));
  Put(img, 300 * 1024, Record(kSig, 70000, 0, "big"));
  Put(img, 400 * 1024 + 100, Record(kSig, 3000, 0, "off"));  // off the block grid
  Scan s(WriteTemp(img, L"find"));
  ASSERT_EQ(1, s.Run({L"FILE_TYPE_MISSING", L"FILE_TYPE_TSIG", L"FILE_TYPE_ICON", L"FILE_TYPE_TNOATONCE",
                      L"FILE_TYPE_TCHECKLONG"}));
  EXPECT_EQ(3u, s.engine->GetPluginCount());  // TSIG, ICON (bound, never matches), TCHECKLONG
  ASSERT_EQ((std::vector<uint64_t>{1024, 20480, 300 * 1024}), s.Starts());
  const DeepScanHit* a = s.frame.Hits()[0];
  EXPECT_EQ(3000u, a->u64Length);
  EXPECT_STREQ("File0000001.tsg", a->szName);
  EXPECT_STREQ("tsg", a->szExtension);
  EXPECT_EQ(1u, a->uValid);
  EXPECT_EQ(2u, s.frame.Hits()[1]->uPluginIndex);
  EXPECT_EQ(4 * kWindow, s.frame.Hits()[2]->u64WindowBase);
  EXPECT_EQ(300u * 1024 - 4 * kWindow, s.frame.Hits()[2]->u64Position);
}

TEST(DeepScanEngine, StepJumpsOnlyOverConfirmedLengthsAtOnce) {
  // Step 4096. Each length at once is followed by a plain record one block on.
  std::string img = Image(256 * 1024);
  const struct { uint64_t at; int64_t length; uint32_t options; } sized[] = {
      {0, 10000, 0},       // the next pass is the block of its last byte, 8192
      {65536, 4096, 0},    // one block or less: moves on by one block
      {98304, 700, 0},
      {131072, 5 << 20, 1},  // claims 5 MiB, then rejected: no jump
      {139264, -4096, 8},    // a negative length at once is no length
      {196608, 8192, 0}};    // exactly two blocks: the next pass is its second block, 200704
  for (const auto& r : sized) {
    Put(img, r.at, Record(kSize, r.length, r.options, "tsz"));
    Put(img, r.at + 4096, Record(kSig, 1000, 0, "nx"));
  }
  Put(img, 8192, Record(kSig, 1000, 0, "at"));
  Scan s(WriteTemp(img, L"jump"), 0, 4096);
  ASSERT_EQ(1, s.Run());
  std::vector<uint64_t> expect = {0, 8192, 65536, 69632, 98304, 102400, 135168, 143360, 196608, 200704};
  EXPECT_EQ(expect, s.Starts());
}

TEST(DeepScanEngine, LengthLimitsValidityAndNaming) {
  const size_t size = 1024 * 1024;
  std::string img = Image(size);
  const struct { uint64_t at; int64_t length; uint32_t options; const char* ext; } records[] = {
      {0, 511, 0, "l511"}, {4096, 512, 0, "l512"}, {8192, (int64_t)(10 * kGiB + 1), 0, "over"},
      {12288, -1, 0, "neg"}, {16384, 2048, 8, "nolen"}, {20480, 2048, 2, "inval"},
      {24576, 2048, 4, "noflag"}, {28672, 2048, 1, "reject"},
      {32768, 1000, 0, "abcdefghijklmnopqrstuvwxyz"},  // no NUL in its 21 bytes
      {36864, 1000, 0, "../..\\x:y"}, {40960, 1000, 0, "gone"}, {45056, 1000, 0, "n"},
      {49152, (int64_t)(10 * kGiB), 0, "max"},  // at the limit; cut at the device end
      {size - 8192, 1 << 20, 0, "cut"}, {size - 1024, 1 << 20, 0, "tiny"}};
  for (const auto& r : records) Put(img, r.at, Record(kSig, r.length, r.options, r.ext));
  Scan s(WriteTemp(img, L"limits"));
  s.frame.RefuseCall(4);  // the refused hit gives its number to the next
  ASSERT_EQ(1, s.Run());
  EXPECT_EQ(8u, s.frame.OfferCount());
  const struct { uint64_t at; uint64_t length; const char* name; } expect[] = {
      {4096, 512, "File0000001.l512"}, {32768, 1000, "File0000002.abcdefghijklmnopqrs"},
      {36864, 1000, nullptr}, {45056, 1000, "File0000004.n"}, {49152, size - 49152, "File0000005.max"},
      {size - 8192, 8192, "File0000006.cut"}, {size - 1024, 1024, "File0000007.tiny"}};
  ASSERT_EQ(7u, s.frame.Hits().size());
  for (size_t i = 0; i < 7; ++i) {
    const DeepScanHit* h = s.frame.Hits()[i];
    EXPECT_EQ(expect[i].at, h->GetStart()) << i;
    EXPECT_EQ(expect[i].length, h->u64Length) << i;
    if (expect[i].name) {
      EXPECT_STREQ(expect[i].name, h->szName) << i;  // cut to fit its 32-byte field
    }
    EXPECT_EQ(nullptr, strpbrk(h->szName, "/\\:")) << i;
    EXPECT_EQ(0, strncmp(h->szName, "File000000", 10)) << i;
  }
  EXPECT_STREQ("abcdefghijklmnopqrst", s.frame.Hits()[1]->szExtension);
}

TEST(DeepScanEngine, WindowEndsSeeTrueNextBytesWithPathOrBorrowedHandle) {
  std::string img = Image(9 * kWindow, 5);
  // Check records start in a window's last block; their tail lies in the next window.
  std::vector<uint64_t> expect = {kWindow - 512, 2 * kWindow - 512, 3 * kWindow - 512};
  for (uint64_t at : expect) Put(img, at, CheckRecord(2000, "e"));
  // A start without its tail: the tail's window refills the half that held window 2,
  // whose bytes at the same place hold a tail. A stale half would match it.
  Put(img, 4 * kWindow - 512, Record("DLVCHK", 2000, 0, "orphan"));
  // Dense candidates: each analysis seeks while the next window is read, so
  // a shared file pointer would corrupt the windows.
  for (uint64_t at = 4 * kWindow + 1024; at + 4096 < img.size(); at += 3072) {
    Put(img, at, Record(kSig, 1000 + at % 7, 0, "dn"));
    expect.push_back(at);
  }
  std::wstring path = WriteTemp(img, L"edge");
  for (bool borrow : {false, true}) {
    Scan s(path, 65536, 512, borrow);
    ASSERT_EQ(1, s.Run());
    EXPECT_EQ(expect, s.Starts()) << "borrowed " << borrow;
    for (const DeepScanHit* h : s.frame.Hits())
      EXPECT_EQ(h->GetStart() < 4 * kWindow ? 2000 : 1000 + h->GetStart() % 7, h->u64Length);
  }
}

TEST(DeepScanEngine, PauseHoldsAtProgressPointsAndStopEndsAPausedScan) {
  std::string img = Image(2 * kWindow);
  for (int i = 1; i <= 20; ++i) Put(img, 4096u * i, Record(kSig, 1000, 0, "pz"));
  std::wstring path = WriteTemp(img, L"pause");
  // Paused before the start (held at the first progress point, 0), or by the
  // third hit at 12288 (held at block 40, after one more hit at 16384). The
  // report of the holding point is made just before the gate is waited on:
  // once it has arrived, the scan cannot move on until it is resumed.
  const struct { bool early, stop; unsigned held, hits; uint64_t at; } cases[] = {
      {true, false, 0, 20, 0}, {true, true, 0, 0, 0}, {false, false, 4, 20, 20480}};
  for (const auto& c : cases) {
    Scan s(path);
    if (c.early) s.Dlg()->PauseScan();
    else s.frame.onOffer = [&](const DeepScanHit& h) { if (h.GetStart() == 12288) s.Dlg()->PauseScan(); };
    s.Start();
    ASSERT_NE(nullptr, s.thread);
    const int heldDone = (int)((double)c.at / (double)img.size() * 20000.0);
    bool reported = false;
    for (int i = 0; i < 6000 && !reported; ++i) {  // a minute at most, on the slowest machine
      s.frame.PumpMessages();
      for (const auto& r : s.frame.ProgressReports()) reported = reported || (r.active && r.done == heldDone);
      if (!reported) Sleep(10);
    }
    ASSERT_TRUE(reported);
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(s.thread, 0));
    EXPECT_EQ(c.at, s.Dlg()->GetPublishedDone());  // where it holds, readable at any time
    EXPECT_EQ(c.held, s.frame.OfferCount());
    EXPECT_TRUE(s.engine->IsRunning());
    if (c.stop) s.Dlg()->StopScan();
    else s.Dlg()->ResumeScan();
    ASSERT_TRUE(s.Join(false));
    EXPECT_EQ(1, s.result);
    EXPECT_EQ(c.hits, s.frame.Hits().size());
    ASSERT_FALSE(s.frame.ProgressReports().empty());
    EXPECT_FALSE(s.frame.ProgressReports().back().active);  // the final report always comes
    EXPECT_FALSE(s.engine->IsRunning());
  }
}

TEST(DeepScanEngine, ProgressIsPostedByTimeAndThePositionPublishedAtEveryPoint) {
  // Step 8 puts a progress point every 40 blocks = 320 bytes: 8192 of them.
  // Posting each would flood the frame's queue (Windows holds 10,000 posted
  // messages, later posts fail); reports go out by time instead, the first at
  // once, then at most one per interval, and the final one.
  const uint64_t size = 5 * 1024 * 1024 / 2;
  std::string img = Image(size);
  Put(img, 100000, Record(kSig, 1000, 0, "f1"));
  Put(img, 700000, Record(kSig, 1000, 0, "f2"));
  Scan s(WriteTemp(img, L"flood"), 65536, 8);
  const ULONGLONG started = GetTickCount64();
  s.Start();
  ASSERT_TRUE(s.Join(true));
  const ULONGLONG elapsed = GetTickCount64() - started;
  ASSERT_EQ(1, s.result);
  ASSERT_EQ(2u, s.frame.Hits().size());
  const auto& reports = s.frame.ProgressReports();
  ASSERT_GE(reports.size(), 2u);
  EXPECT_LE(reports.size(), 3 + elapsed / (CDeepScanEngine::PROGRESS_INTERVAL_MS / 2)) << elapsed << " ms";
  EXPECT_TRUE(reports.front().active);
  EXPECT_EQ(0, reports.front().done);
  for (size_t i = 1; i + 1 < reports.size(); ++i) {
    EXPECT_TRUE(reports[i].active) << i;
    EXPECT_LE(reports[i - 1].done, reports[i].done) << i;
    EXPECT_EQ(20000, reports[i].total) << i;
  }
  EXPECT_FALSE(reports.back().active);
  EXPECT_EQ(2, reports.back().done);
  EXPECT_EQ(2, reports.back().total);
  EXPECT_EQ(s.Dlg()->FormatScanningText(2), reports.back().status);
  // The position any frame may read: the whole device once the scan ended.
  EXPECT_EQ(size, s.Dlg()->GetPublishedDone());
  EXPECT_EQ(size, s.Dlg()->GetPublishedTotal());
}

TEST(DeepScanEngine, RunRefusesWithoutReaderOrDevice) {
  CRecordingFrame frame;
  frame.SetRegistry(&TestRegistry());
  EXPECT_EQ(0, CDeepScanEngine(&frame).Run());
  Scan s(WriteTemp(std::string(), L"emptydev"));
  EXPECT_EQ(0, s.Run());
}

TEST(DeepScanEngine, ScanLogOnlyBesideAProgramOffTheScannedVolume) {
  const std::wstring log = testpaths::Join(testpaths::BinDir(), L"log.txt");
  std::string img = Image(64 * 1024);
  Put(img, 8192, Record(kSig, 1000, 0, "lg"));
  std::wstring path = WriteTemp(img, L"log");
  // Image target: the log is written while scanning, then deleted.
  std::string text = "unread";
  {
    Scan s(path);
    s.frame.onOffer = [&](const DeepScanHit&) { text = testpaths::ReadWholeFile(log); };
    ASSERT_EQ(1, s.Run());
    ASSERT_EQ(1u, s.frame.Hits().size());
  }
  EXPECT_EQ("FILE_TYPE_TSIG : 0x0000000000002000\r\n", text);
  EXPECT_FALSE(testpaths::FileExists(log));
  // Volume target on the program's own volume: no log at all.
  std::wstring beside = testpaths::Join(PluginHome(), L"logtest.raw");
  ASSERT_TRUE(CopyFileW(path.c_str(), beside.c_str(), FALSE));
  bool seen = true;
  {
    Scan s(beside, 65536, 512, false, 1);
    s.frame.onOffer = [&](const DeepScanHit&) { seen = testpaths::FileExists(log); };
    ASSERT_EQ(1, s.Run());
    ASSERT_EQ(1u, s.frame.Hits().size());
  }
  EXPECT_FALSE(seen);
  DeleteFileW(beside.c_str());
}

TEST(DeepScanEngine, CandidatesInsideAKeptFileAreCarvedOnceAndInProportion) {
  const uint64_t size = 1 << 20;
  std::string img = Image(size);
  // A file of 200000 bytes with headers of its own format inside it that
  // run to its end: one file, carved from its first start. A shorter one
  // inside it is a file of its own, and a header behind that one that runs
  // to the outer end is still part of the outer file.
  Put(img, 0, Record(kSig, 200000, 0, "out"));
  for (uint64_t at = 4096; at <= 81920; at += 4096) Put(img, at, Record(kSig, 200000 - at, 0, "part"));
  Put(img, 102400, Record(kSig, 10000, 0, "in"));
  Put(img, 122880, Record(kSig, 200000 - 122880, 0, "part"));
  Put(img, 204800, Record(kSig, 1000, 0, "next"));
  // Headers 512 bytes apart, each claiming to run on past the device's end
  // and each to another end: what they share with the files before them
  // may not outgrow the device.
  const uint64_t from = 262144;
  for (uint64_t k = 0; k < 64; ++k) Put(img, from + 512 * k, Record(kSig, (int64_t)(2 * size + k), 0, "run"));
  Scan s(WriteTemp(img, L"inside"));
  ASSERT_EQ(1, s.Run());
  EXPECT_EQ((std::vector<uint64_t>{0, 102400, 204800, from, from + 512}), s.Starts());
  uint64_t written = 0;
  for (const DeepScanHit* h : s.frame.Hits()) written += h->u64Length;
  EXPECT_LE(written, 2 * size);
  ASSERT_FALSE(s.frame.Hits().empty());
  EXPECT_EQ(200000u, s.frame.Hits()[0]->u64Length);
}

// Corrupted slices of the real fixture image, scanned with the real plug-ins:
// every run ends, and every hit lies inside the device with bounded names.
TEST(DeepScanEngine, MutatedFixtureImagesScanCleanly) {
  std::string base = testpaths::ReadWholeFile(testpaths::Fixture(L"carve.img"));
  ASSERT_FALSE(base.empty());
  QuietRegistry real;
  real.LoadFrom(testpaths::BinDir());
  std::mt19937 rng(1234);
  std::wstring path;
  static const std::string sigs[] = {"\xFF\xD8\xFF", "GIF89a", "BM", "8BPS", std::string("\0\0\1\0", 4)};
  for (int iter = 0; iter < 150; ++iter) {
    // Several slices end to end: runs cost more than slices. The last keeps
    // its odd length, so the device ends mid-sector.
    std::string m;
    for (int piece = 0; piece < 4; ++piece) {
      std::string slice = base.substr((rng() % (base.size() / 512)) * 512, 4096 + rng() % (64 * 1024));
      for (int i = 1 + rng() % 64; i > 0; --i) slice[rng() % slice.size()] = (char)rng();
      if (piece < 3) slice.resize((slice.size() + 511) / 512 * 512, '\0');
      m += slice;
    }
    for (int i = 0; i < 8; ++i) {  // signatures at block starts, followed by garbage
      size_t at = (rng() % (m.size() / 512)) * 512;
      const std::string& sg = sigs[rng() % 5];
      m.replace(at, std::min(sg.size(), m.size() - at), sg.substr(0, m.size() - at));
    }
    Scan s(path = WriteTemp(m, L"mutate", path), 8192 + (rng() % 4) * 16384, 512, false, 0, &real);
    ASSERT_EQ(1, s.Run(real.GetFormatNames())) << "iteration " << iter;
    for (const DeepScanHit* hit : s.frame.Hits()) {
      EXPECT_LE(hit->GetStart() + hit->u64Length, m.size());
      EXPECT_GE(hit->u64Length, 512u);
      EXPECT_NE(nullptr, memchr(hit->szName, 0, sizeof(hit->szName)));
      EXPECT_NE(nullptr, memchr(hit->szExtension, 0, sizeof(hit->szExtension)));
    }
  }
}
}  // namespace
