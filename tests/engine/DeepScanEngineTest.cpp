#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>

#include "EngineTestUtil.h"
#include "common/TestPaths.h"
#include "storage/DiskMappingPointer.h"

using enginetest::Image;
using enginetest::Record;
using enginetest::RunDeepScan;
using enginetest::ScanSetup;

namespace {
const char kSig[] = "DLVTSIG1";
const char kSize[] = "DLVSIZE1";
const char kCheck[] = "DLVCHK";
const uint64_t kGiB = 1024ull * 1024 * 1024;
// A reader asked for 64 KiB windows gets one unit more: 129 blocks of 512.
const uint64_t kWindow = 66048;

ScanSetup MakeSetup(const std::wstring& image, std::vector<std::wstring> formats) {
  ScanSetup s;
  s.image = image;
  s.windowSize = 65536;
  s.formats = formats;
  return s;
}

std::vector<std::wstring> AllFormats() {
  return {L"FILE_TYPE_TSIG", L"FILE_TYPE_TSIZE", L"FILE_TYPE_TCHECK"};
}

std::string CheckRecord(int64_t length, const std::string& ext) {
  std::string r = Record(kCheck, length, 0, ext);
  r.resize(1100, '\0');
  memcpy(&r[1000], "DLVEND", 6);
  return r;
}

std::vector<uint64_t> Starts(const CRecordingFrame& f) {
  std::vector<uint64_t> v;
  for (const DeepScanHit* h : f.Hits()) v.push_back(h->GetStart());
  return v;
}

TEST(DeepScanEngine, BindsOnlyCompletePluginsAndSkipsUnknownNames) {
  Image img(256 * 1024);
  img.Put(0, Record(kSig, 1000, 0, "tsg"));
  img.Put(4096, Record("DLVNOSG1", 1000, 0, "nos"));  // signature too long: never matched
  img.Put(8192, Record("DLVNOAT1", 1000, 0, "noa"));  // length-at-once without the export
  std::wstring path = enginetest::WriteTemp(img.bytes, L"bind");
  CRecordingFrame frame;
  unsigned int count = 0;
  ScanSetup s = MakeSetup(path, {L"FILE_TYPE_MISSING", L"FILE_TYPE_TSIG", L"FILE_TYPE_TNOSIGN",
                             L"FILE_TYPE_TNOATONCE", L"FILE_TYPE_TCHECK"});
  ASSERT_EQ(1, RunDeepScan(frame, s, &count));
  // TSIG, TNOSIGN (bound without GetFileSizeAtOnce, never matches), TCHECK
  EXPECT_EQ(3u, count);
  ASSERT_EQ(1u, frame.Hits().size());
  EXPECT_EQ(0u, frame.Hits()[0]->uPluginIndex);
  EXPECT_EQ(0u, frame.Hits()[0]->GetStart());
}

TEST(DeepScanEngine, FindsSignaturesAndCheckRoutinesAndNamesHits) {
  Image img(512 * 1024, 77);  // noise around the records
  img.Put(1024, Record(kSig, 3000, 0, "tsg"));
  img.Put(20480, CheckRecord(1500, "chk"));
  img.Put(300 * 1024, Record(kSig, 70000, 0, "big"));
  img.Put(400 * 1024 + 100, Record(kSig, 3000, 0, "off"));  // off the block grid
  std::wstring path = enginetest::WriteTemp(img.bytes, L"find");
  CRecordingFrame frame;
  ASSERT_EQ(1, RunDeepScan(frame, MakeSetup(path, AllFormats())));
  ASSERT_EQ(3u, frame.Hits().size());
  const DeepScanHit* a = frame.Hits()[0];
  EXPECT_EQ(1024u, a->GetStart());
  EXPECT_EQ(3000u, a->u64Length);
  EXPECT_STREQ("File0000001.tsg", a->szName);
  EXPECT_STREQ("tsg", a->szExtension);
  EXPECT_EQ(1u, a->uValid);
  EXPECT_EQ(0u, a->u64WindowBase);
  const DeepScanHit* b = frame.Hits()[1];
  EXPECT_EQ(20480u, b->GetStart());
  EXPECT_EQ(2u, b->uPluginIndex);
  EXPECT_STREQ("File0000002.chk", b->szName);
  const DeepScanHit* c = frame.Hits()[2];
  EXPECT_EQ(300u * 1024, c->GetStart());
  EXPECT_EQ(4 * kWindow, c->u64WindowBase);
  EXPECT_EQ(300u * 1024 - 4 * kWindow, c->u64Position);
  EXPECT_STREQ("File0000003.big", c->szName);
}

TEST(DeepScanEngine, LengthAtOnceJumpsToTheBlockOfTheLastByte) {
  Image img(256 * 1024);
  // Block step 4096: a 10000-byte file at 0 sends the next pass to 8192.
  img.Put(0, Record(kSize, 10000, 0, "tsz"));
  img.Put(4096, Record(kSig, 1000, 0, "in1"));   // inside the jumped body
  img.Put(8192, Record(kSig, 1000, 0, "at2"));   // block of the last byte
  // A file of 4096 bytes or less moves on by one block.
  img.Put(65536, Record(kSize, 4096, 0, "tsz"));
  img.Put(65536 + 4096, Record(kSig, 1000, 0, "nx1"));
  img.Put(98304, Record(kSize, 700, 0, "tsz"));
  img.Put(98304 + 4096, Record(kSig, 1000, 0, "nx2"));
  std::wstring path = enginetest::WriteTemp(img.bytes, L"jump");
  CRecordingFrame frame;
  ScanSetup s = MakeSetup(path, AllFormats());
  s.windowSize = 0;  // default window: the whole image in one
  s.blockStep = 4096;
  ASSERT_EQ(1, RunDeepScan(frame, s));
  std::vector<uint64_t> expect = {0, 8192, 65536, 65536 + 4096, 98304, 98304 + 4096};
  EXPECT_EQ(expect, Starts(frame));
}

TEST(DeepScanEngine, UnconfirmedLengthAtOnceDoesNotSkipTheWindow) {
  Image img(256 * 1024);
  // The header claims 5 MiB but the plug-in then rejects the candidate.
  img.Put(0, Record(kSize, 5 * 1024 * 1024, 1, "tsz"));
  img.Put(4096, Record(kSig, 1000, 0, "af1"));
  // A negative length at once is no length.
  img.Put(8192, Record(kSize, -4096, 8, "tsz"));
  img.Put(12288, Record(kSig, 1000, 0, "af2"));
  std::wstring path = enginetest::WriteTemp(img.bytes, L"nojump");
  CRecordingFrame frame;
  ScanSetup s = MakeSetup(path, AllFormats());
  s.windowSize = 0;
  s.blockStep = 4096;
  ASSERT_EQ(1, RunDeepScan(frame, s));
  std::vector<uint64_t> expect = {4096, 12288};
  EXPECT_EQ(expect, Starts(frame));
}

TEST(DeepScanEngine, LengthLimitsAndValidity) {
  Image img(1024 * 1024);
  img.Put(0, Record(kSig, 511, 0, "l511"));
  img.Put(4096, Record(kSig, 512, 0, "l512"));
  img.Put(8192, Record(kSig, (int64_t)(10 * kGiB + 1), 0, "over"));
  img.Put(12288, Record(kSig, -1, 0, "neg"));
  img.Put(16384, Record(kSig, 2048, 8, "nolen"));   // length not reported
  img.Put(20480, Record(kSig, 2048, 2, "inval"));   // valid 0
  img.Put(24576, Record(kSig, 2048, 4, "noflag"));  // valid flag bit missing
  img.Put(28672, Record(kSig, 2048, 1, "reject"));  // plug-in says no
  img.Put(32768, Record(kSig, (int64_t)(10 * kGiB), 0, "max"));
  std::wstring path = enginetest::WriteTemp(img.bytes, L"limits");
  CRecordingFrame frame;
  ASSERT_EQ(1, RunDeepScan(frame, MakeSetup(path, AllFormats())));
  ASSERT_EQ(2u, frame.Hits().size());
  EXPECT_STREQ("l512", frame.Hits()[0]->szExtension);
  EXPECT_EQ(512u, frame.Hits()[0]->u64Length);
  // 10 GiB passes the limit; the device ends long before, so it is cut there.
  EXPECT_STREQ("max", frame.Hits()[1]->szExtension);
  EXPECT_EQ(img.bytes.size() - 32768u, frame.Hits()[1]->u64Length);
}

TEST(DeepScanEngine, LengthPastTheDeviceEndIsCut) {
  Image img(128 * 1024);
  img.Put(128 * 1024 - 8192, Record(kSig, 1 << 20, 0, "cut"));
  img.Put(128 * 1024 - 1024, Record(kSig, 1 << 20, 0, "tiny"));  // 1024 left: still >= 512
  std::wstring path = enginetest::WriteTemp(img.bytes, L"cut");
  CRecordingFrame frame;
  ASSERT_EQ(1, RunDeepScan(frame, MakeSetup(path, AllFormats())));
  ASSERT_EQ(2u, frame.Hits().size());
  EXPECT_EQ(8192u, frame.Hits()[0]->u64Length);
  EXPECT_EQ(1024u, frame.Hits()[1]->u64Length);
}

TEST(DeepScanEngine, RefusedHitGivesItsNumberToTheNext) {
  Image img(256 * 1024);
  for (int i = 0; i < 7; ++i) img.Put(4096u * i, Record(kSig, 1000, 0, "n"));
  std::wstring path = enginetest::WriteTemp(img.bytes, L"names");
  CRecordingFrame frame;
  frame.RefuseCall(5);
  ASSERT_EQ(1, RunDeepScan(frame, MakeSetup(path, AllFormats())));
  EXPECT_EQ(7u, frame.OfferCount());
  ASSERT_EQ(6u, frame.Hits().size());
  for (int i = 0; i < 6; ++i) {
    char want[32];
    snprintf(want, sizeof want, "File%07d.n", i + 1);
    EXPECT_STREQ(want, frame.Hits()[i]->szName);
  }
  EXPECT_EQ(5u * 4096, frame.Hits()[4]->GetStart());  // the sixth record took number 5
}

TEST(DeepScanEngine, ExtensionsAreBoundedAndSafeInNames) {
  Image img(64 * 1024);
  img.Put(0, Record(kSig, 1000, 0, "abcdefghijklmnopqrstuvwxyz"));  // no NUL in its 21 bytes
  img.Put(4096, Record(kSig, 1000, 0, "../..\\x:y"));
  std::wstring path = enginetest::WriteTemp(img.bytes, L"ext");
  CRecordingFrame frame;
  ASSERT_EQ(1, RunDeepScan(frame, MakeSetup(path, AllFormats())));
  ASSERT_EQ(2u, frame.Hits().size());
  const DeepScanHit* a = frame.Hits()[0];
  EXPECT_STREQ("abcdefghijklmnopqrst", a->szExtension);
  EXPECT_EQ(31u, strlen(a->szName));  // cut to fit its 32-byte field
  EXPECT_EQ(0, strncmp(a->szName, "File0000001.abcdefghijklmnopqrs", 31));
  const DeepScanHit* b = frame.Hits()[1];
  EXPECT_EQ(nullptr, strpbrk(b->szName, "/\\:"));
  EXPECT_EQ(0, strncmp(b->szName, "File0000002.", 12));
}

TEST(DeepScanEngine, MatchesAtWindowEndsSeeTheNextWindowsBytes) {
  Image img(4 * kWindow + 8192);
  // Each check record starts in the last block of a window; its tail marker
  // lies 1000 bytes on, in the next window.
  img.Put(kWindow - 512, CheckRecord(2000, "e1"));      // lower half -> upper half
  img.Put(2 * kWindow - 512, CheckRecord(2000, "e2"));  // upper half -> past the buffer
  img.Put(3 * kWindow - 512, CheckRecord(2000, "e3"));
  // A start without its tail. The next window goes into the half that held
  // window 2, whose bytes at the same place hold e2's tail: a scan reading
  // the half being refilled could match it.
  std::string orphan = Record(kCheck, 2000, 0, "e4");
  img.Put(4 * kWindow - 512, orphan);
  std::wstring path = enginetest::WriteTemp(img.bytes, L"edge");
  for (bool pathForm : {true, false}) {
    CRecordingFrame frame;
    ScanSetup s = MakeSetup(path, AllFormats());
    s.pathForm = pathForm;
    ASSERT_EQ(1, RunDeepScan(frame, s));
    std::vector<uint64_t> expect = {kWindow - 512, 2 * kWindow - 512, 3 * kWindow - 512};
    EXPECT_EQ(expect, Starts(frame)) << "path form " << pathForm;
  }
}

TEST(DeepScanEngine, ProgressEveryFortyBlocksAndOnceAtTheEnd) {
  Image img(3 * kWindow);
  img.Put(1024, Record(kSig, 1000, 0, "p"));
  img.Put(kWindow + 2048, Record(kSig, 1000, 0, "p"));
  std::wstring path = enginetest::WriteTemp(img.bytes, L"progress");
  CRecordingFrame frame;
  ASSERT_EQ(1, RunDeepScan(frame, MakeSetup(path, AllFormats())));
  const auto& reports = frame.ProgressReports();
  // 129 blocks a window: reports at blocks 0, 40, 80 and 120 of each window.
  ASSERT_EQ(13u, reports.size());
  const uint64_t offsets[] = {0, 20480, 40960, 61440};
  for (int w = 0; w < 3; ++w)
    for (int k = 0; k < 4; ++k) {
      const auto& r = reports[w * 4 + k];
      EXPECT_TRUE(r.active);
      EXPECT_EQ(20000, r.total);
      uint64_t a = w * kWindow + offsets[k];
      EXPECT_EQ((int)((double)a / (double)img.bytes.size() * 20000.0), r.done);
    }
  const auto& last = reports.back();
  EXPECT_FALSE(last.active);
  EXPECT_EQ(2, last.done);
  EXPECT_EQ(2, last.total);
  EXPECT_FALSE(last.status.empty());
}

struct ThreadScan {
  CRecordingFrame* frame;
  CDiskMappingPointer* reader;
  CDeepScanEngine* engine;
  int result;
};

DWORD WINAPI ScanThread(LPVOID p) {
  ThreadScan* t = (ThreadScan*)p;
  t->result = t->engine->Run();
  return 0;
}

TEST(DeepScanEngine, PauseHoldsTheScanAndStopWhilePausedEndsIt) {
  Image img(2 * kWindow);
  for (int i = 0; i < 20; ++i) img.Put(4096u * i + 4096, Record(kSig, 1000, 0, "pz"));
  std::wstring path = enginetest::WriteTemp(img.bytes, L"pause");
  for (bool stop : {false, true}) {
    CRecordingFrame frame;
    frame.SetRegistry(&enginetest::TestRegistry());
    CScanDiskDlg* dlg = frame.GetScanDiskDlg();
    dlg->SetTargetKind(0);
    dlg->BeginScanState();
    dlg->PauseScan();
    CDiskMappingPointer reader(path.c_str(), 0, 0, 65536, 512, 0);
    CDeepScanEngine engine(&frame);
    engine.BindPlugins(AllFormats());
    engine.SetReader(&reader);
    ThreadScan t = {&frame, &reader, &engine, -1};
    HANDLE th = CreateThread(nullptr, 0, ScanThread, &t, 0, nullptr);
    ASSERT_NE(nullptr, th);
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(th, 300));
    EXPECT_EQ(0u, frame.OfferCount());  // held at the first progress point
    if (stop)
      dlg->StopScan();
    else
      dlg->ResumeScan();
    ASSERT_EQ((DWORD)WAIT_OBJECT_0, WaitForSingleObject(th, 20000));
    CloseHandle(th);
    EXPECT_EQ(1, t.result);
    dlg->OnScanThreadExit();
    frame.PumpMessages();
    EXPECT_EQ(stop ? 0u : 20u, frame.Hits().size());
    ASSERT_FALSE(frame.ProgressReports().empty());
    EXPECT_FALSE(frame.ProgressReports().back().active);  // the final report always comes
    EXPECT_FALSE(engine.IsRunning());
  }
}

// Runs the scan on a thread of its own while this thread pumps the frame's
// messages, as the main window does.
int RunWhilePumping(CRecordingFrame& frame, CDeepScanEngine& engine, CDiskMappingPointer& reader) {
  ThreadScan t = {&frame, &reader, &engine, -1};
  HANDLE th = CreateThread(nullptr, 0, ScanThread, &t, 0, nullptr);
  if (!th) return -1;
  for (;;) {
    DWORD wait = MsgWaitForMultipleObjects(1, &th, FALSE, 60000, QS_ALLINPUT);
    frame.PumpMessages();
    if (wait != WAIT_OBJECT_0 + 1) break;
  }
  CloseHandle(th);
  return t.result;
}

TEST(DeepScanEngine, ProgressFloodArrivesCompleteAndInOrder) {
  // A block step of 8 puts a progress point every 320 bytes: several times
  // more reports than the scan keeps queued, so the scan must wait for the
  // poster rather than drop any.
  const uint64_t size = 5 * 1024 * 1024 / 2;
  const uint64_t every = 40 * 8;
  Image img((size_t)size);
  img.Put(100000, Record(kSig, 1000, 0, "f1"));
  img.Put(700000, Record(kSig, 1000, 0, "f2"));
  std::wstring path = enginetest::WriteTemp(img.bytes, L"flood");
  CRecordingFrame frame;
  frame.SetRegistry(&enginetest::TestRegistry());
  CScanDiskDlg* dlg = frame.GetScanDiskDlg();
  dlg->SetTargetKind(0);
  dlg->BeginScanState();
  CDiskMappingPointer reader(path.c_str(), 0, 0, 0, 512, 0);  // one window holds it all
  CDeepScanEngine engine(&frame);
  engine.BindPlugins(AllFormats());
  engine.SetBlockStep(8);
  engine.SetReader(&reader);
  ASSERT_EQ(1, RunWhilePumping(frame, engine, reader));
  dlg->OnScanThreadExit();
  frame.PumpMessages();
  ASSERT_EQ(2u, frame.Hits().size());

  const auto& reports = frame.ProgressReports();
  const size_t points = (size_t)((size + every - 1) / every);
  ASSERT_GE(points, 2u * 4096);
  ASSERT_EQ(points + 1, reports.size());
  for (size_t i = 0; i < points; ++i) {
    const uint64_t a = i * every;
    ASSERT_TRUE(reports[i].active) << i;
    ASSERT_EQ((int)((double)a / (double)size * 20000.0), reports[i].done) << i;
    // The count in the text is the one the scan had reached at that point:
    // a hit is counted after the report made at its own position.
    unsigned int found = (a > 100000) + (a > 700000);
    ASSERT_EQ(dlg->FormatScanningText(found), reports[i].status) << i;
  }
  EXPECT_FALSE(reports.back().active);
  EXPECT_EQ(2, reports.back().done);
}

TEST(DeepScanEngine, PauseDuringTheScanHoldsItAtTheNextProgressPoint) {
  Image img(2 * kWindow);
  for (int i = 0; i < 20; ++i) img.Put(4096u * i + 4096, Record(kSig, 1000, 0, "pm"));
  std::wstring path = enginetest::WriteTemp(img.bytes, L"pausemid");
  CRecordingFrame frame;
  frame.SetRegistry(&enginetest::TestRegistry());
  CScanDiskDlg* dlg = frame.GetScanDiskDlg();
  dlg->SetTargetKind(0);
  dlg->BeginScanState();
  // The third hit (at 12288) pauses; the next progress point is block 40 (20480),
  // so only the hit at 16384 still comes before the scan holds.
  frame.onOffer = [&](const DeepScanHit& h) {
    if (h.GetStart() == 12288) dlg->PauseScan();
  };
  CDiskMappingPointer reader(path.c_str(), 0, 0, 65536, 512, 0);
  CDeepScanEngine engine(&frame);
  engine.BindPlugins(AllFormats());
  engine.SetReader(&reader);
  ThreadScan t = {&frame, &reader, &engine, -1};
  HANDLE th = CreateThread(nullptr, 0, ScanThread, &t, 0, nullptr);
  ASSERT_NE(nullptr, th);
  EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(th, 400));
  EXPECT_EQ(4u, frame.OfferCount());
  EXPECT_TRUE(engine.IsRunning());
  dlg->ResumeScan();
  ASSERT_EQ((DWORD)WAIT_OBJECT_0, WaitForSingleObject(th, 20000));
  CloseHandle(th);
  EXPECT_EQ(1, t.result);
  dlg->OnScanThreadExit();
  frame.PumpMessages();
  EXPECT_EQ(20u, frame.Hits().size());
  ASSERT_FALSE(frame.ProgressReports().empty());
  EXPECT_FALSE(frame.ProgressReports().back().active);
}

TEST(DeepScanEngine, RunRefusesWithoutReaderDeviceOrController) {
  CRecordingFrame frame;
  frame.SetRegistry(&enginetest::TestRegistry());
  {
    CDeepScanEngine engine(&frame);
    EXPECT_EQ(0, engine.Run());
  }
  std::wstring empty = enginetest::WriteTemp(std::string(), L"emptydev");
  CDiskMappingPointer reader(empty.c_str(), 0, 0, 65536, 512, 0);
  {
    CDeepScanEngine engine(&frame);
    engine.SetReader(&reader);
    EXPECT_EQ(0, engine.Run());
  }
  struct NoController : CRecordingFrame {
    CScanDiskDlg* GetScanDiskDlg() override { return nullptr; }
  } bare;
  std::wstring one = enginetest::WriteTemp(std::string(4096, 'x'), L"nodlg");
  CDiskMappingPointer reader2(one.c_str(), 0, 0, 65536, 512, 0);
  CDeepScanEngine engine(&bare);
  engine.SetReader(&reader2);
  EXPECT_EQ(0, engine.Run());
  EXPECT_EQ(0u, bare.ProgressReports().size());
}

std::wstring ProgramLog() { return testpaths::Join(testpaths::BinDir(), L"log.txt"); }

TEST(DeepScanEngine, ScanLogOnlyBesideAProgramOffTheScannedVolume) {
  Image img(64 * 1024);
  img.Put(8192, Record(kSig, 1000, 0, "lg"));
  std::wstring path = enginetest::WriteTemp(img.bytes, L"log");
  // Image target: the log is written while scanning, then deleted.
  {
    CRecordingFrame frame;
    bool seen = false;
    std::string text;
    frame.onOffer = [&](const DeepScanHit&) {
      seen = testpaths::FileExists(ProgramLog());
      text = testpaths::ReadWholeFile(ProgramLog());
    };
    ASSERT_EQ(1, RunDeepScan(frame, MakeSetup(path, AllFormats())));
    ASSERT_EQ(1u, frame.Hits().size());
    EXPECT_TRUE(seen);
    EXPECT_EQ("FILE_TYPE_TSIG : 0x0000000000002000\r\n", text);
    EXPECT_FALSE(testpaths::FileExists(ProgramLog()));
  }
  // Volume target on the program's own volume: no log is made at all.
  std::wstring beside = testpaths::Join(enginetest::TestPluginHome(), L"logtest.raw");
  ASSERT_TRUE(CopyFileW(path.c_str(), beside.c_str(), FALSE));
  path = beside;
  {
    CRecordingFrame frame;
    bool seen = true;
    frame.onOffer = [&](const DeepScanHit&) { seen = testpaths::FileExists(ProgramLog()); };
    ScanSetup s = MakeSetup(path, AllFormats());
    s.targetKind = 1;
    ASSERT_EQ(1, RunDeepScan(frame, s));
    ASSERT_EQ(1u, frame.Hits().size());
    EXPECT_FALSE(seen);
  }
  DeleteFileW(beside.c_str());
}

TEST(DeepScanEngine, PathAndBorrowedHandleReadersAgreeOverManyWindows) {
  // Dense candidates in every window: each analysis seeks while the next
  // window is being read; a shared file pointer would corrupt the windows.
  Image img(8 * kWindow, 5);
  std::vector<uint64_t> expect;
  for (uint64_t off = 0; off + 4096 < img.bytes.size(); off += 3072) {
    img.Put(off, Record(kSig, 1000 + off % 7, 0, "dn"));
    expect.push_back(off);
  }
  std::wstring path = enginetest::WriteTemp(img.bytes, L"dense");
  for (bool pathForm : {true, false}) {
    CRecordingFrame frame;
    ScanSetup s = MakeSetup(path, AllFormats());
    s.pathForm = pathForm;
    ASSERT_EQ(1, RunDeepScan(frame, s));
    EXPECT_EQ(expect, Starts(frame)) << "path form " << pathForm;
    for (const DeepScanHit* h : frame.Hits()) EXPECT_EQ(1000 + h->GetStart() % 7, h->u64Length);
  }
}

// Corrupted copies of the real fixture image, scanned with the real plug-ins
// and the test ones: every run ends, and every hit lies inside the device.
TEST(DeepScanEngine, MutatedFixtureImagesScanCleanly) {
  std::string base = testpaths::ReadWholeFile(testpaths::Fixture(L"carve.img"));
  ASSERT_FALSE(base.empty());
  struct QuietRegistry : CFormatPluginRegistry {
    void ShowLoadError() override {}
  } real;
  real.LoadFrom(testpaths::BinDir());
  std::vector<std::wstring> formats = real.GetFormatNames();
  std::mt19937 rng(1234);
  std::wstring dir = testpaths::MakeTempDir(L"mutate");
  std::wstring path = dir + L"\\m.raw";
  unsigned int hits = 0;
  // Each run scans several mutated slices laid end to end (a run costs more
  // than a slice: readers and threads are set up per run).
  for (int iter = 0; iter < 150; ++iter) {
    std::string m;
    for (int piece = 0; piece < 4; ++piece) {
      size_t start = (rng() % (base.size() / 512)) * 512;
      size_t len = 4096 + rng() % (64 * 1024);
      std::string slice = base.substr(start, len);
      int flips = 1 + rng() % 64;
      for (int i = 0; i < flips; ++i) slice[rng() % slice.size()] = (char)rng();
      if (piece < 3) slice.resize((slice.size() + 511) / 512 * 512, '\0');
      m += slice;  // the last slice keeps its odd length: the device ends mid-sector
    }
    // Signatures dropped at block starts, followed by garbage.
    static const struct {
      const char* bytes;
      size_t size;
    } sigs[] = {{"\xFF\xD8\xFF", 3}, {"GIF89a", 6}, {"BM", 2}, {"8BPS", 4}, {"\0\0\1\0", 4}};
    for (int i = 0; i < 8; ++i) {
      size_t at = (rng() % (m.size() / 512)) * 512;
      const auto& sg = sigs[rng() % 5];
      memcpy(&m[at], sg.bytes, sg.size > m.size() - at ? m.size() - at : sg.size);
    }
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    DWORD wrote = 0;
    WriteFile(h, m.data(), (DWORD)m.size(), &wrote, nullptr);
    CloseHandle(h);

    CRecordingFrame frame;
    frame.SetRegistry(&real);
    ScanSetup s;
    s.image = path;
    s.windowSize = 8192 + (rng() % 4) * 16384;
    s.formats = formats;
    ASSERT_EQ(1, RunDeepScan(frame, s)) << "iteration " << iter;
    for (const DeepScanHit* hit : frame.Hits()) {
      EXPECT_LE(hit->GetStart() + hit->u64Length, m.size());
      EXPECT_GE(hit->u64Length, 512u);
      EXPECT_NE(nullptr, memchr(hit->szName, 0, sizeof(hit->szName)));
      EXPECT_NE(nullptr, memchr(hit->szExtension, 0, sizeof(hit->szExtension)));
      ++hits;
    }
  }
  RecordProperty("hits", (int)hits);
}
}  // namespace
