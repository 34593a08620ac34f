#include <gtest/gtest.h>

#include <process.h>

#include <atomic>
#include <random>

#include "core/Base64.h"
#include "core/Helpers.h"
#include "core/Language.h"
#include "core/Settings.h"
#include "CoreTestUtil.h"

namespace {

// The program folder is the test program's folder (bin/), where the build
// put language\cn.dll, en.dll and tr.dll.
class LanguageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_savedCodePage = g_nUICodePage;
    lstrcpynW(m_savedAppDir, g_strAppDir, MAX_PATH);
    lstrcpynW(g_strAppDir, testpaths::BinDir().c_str(), MAX_PATH);
  }
  void TearDown() override {
    g_nUICodePage = m_savedCodePage;
    lstrcpynW(g_strAppDir, m_savedAppDir, MAX_PATH);
  }
  int m_savedCodePage = 0;
  wchar_t m_savedAppDir[MAX_PATH] = {};
};

struct Shown {
  std::wstring text, title;
  UINT type = 0;
  int flag = -1;
  HWND parent = nullptr;
};
std::vector<Shown> g_shown;

int RecordMessage(HWND parent, const wchar_t* text, const wchar_t* title, UINT type, int flag) {
  g_shown.push_back({text, title, type, flag, parent});
  return IDYES;
}

// Replaces the message dialog with the recorder for one test.
class MessageTest : public LanguageTest {
 protected:
  void SetUp() override {
    LanguageTest::SetUp();
    g_shown.clear();
    m_old = SetMessageDlgProc(RecordMessage);
  }
  void TearDown() override {
    SetMessageDlgProc(m_old);
    LanguageTest::TearDown();
  }
  // A program folder whose English language file is the odd test file.
  std::wstring UseOddLanguageFolder() {
    m_tmp = testpaths::MakeTempDir(L"lang");
    CreateDirectoryW((m_tmp + L"\\language").c_str(), nullptr);
    EXPECT_TRUE(CopyFileW(coretest::OddLanguageFile().c_str(),
                          (m_tmp + L"\\language\\en.dll").c_str(), FALSE));
    lstrcpynW(g_strAppDir, m_tmp.c_str(), MAX_PATH);
    g_nUICodePage = 1252;
    return m_tmp;
  }
  MessageDlgProc m_old = nullptr;
  std::wstring m_tmp;
};

TEST_F(LanguageTest, FileChosenByCodePage) {
  std::wstring base = testpaths::BinDir() + L"\\language\\";
  g_nUICodePage = 936;
  EXPECT_EQ(base + L"cn.dll", GetLanguageFilePath());
  EXPECT_EQ(L"\u56fe\u7247", GetUIText(L"Picture"));  // simplified
  g_nUICodePage = 950;
  EXPECT_EQ(base + L"tr.dll", GetLanguageFilePath());
  EXPECT_EQ(L"\u5716\u7247", GetUIText(L"Picture"));  // traditional
  g_nUICodePage = 1252;
  EXPECT_EQ(base + L"en.dll", GetLanguageFilePath());
  EXPECT_EQ(L"Pictures", GetUIText(L"Picture"));
  g_nUICodePage = 0;
  EXPECT_EQ(base + L"en.dll", GetLanguageFilePath());
}

// The conversions of a format text, in order ("%d", "%.1f", "%%"...).
std::vector<std::wstring> Conversions(const std::wstring& text) {
  std::vector<std::wstring> out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != L'%') continue;
    size_t j = i + 1;
    while (j < text.size() && wcschr(L"-+ #0123456789.lhI", text[j])) ++j;
    if (j < text.size()) out.push_back(text.substr(i, j - i + 1));
    i = j;
  }
  return out;
}

TEST_F(LanguageTest, EveryBuiltFileHasTheSameKeysAndFormats) {
  LanguageSectionList saved;
  saved.swap(g_LanguageSectionList);
  std::vector<std::vector<std::wstring>> keys;
  std::vector<std::vector<std::vector<std::wstring>>> formats;
  for (const wchar_t* f : {L"en.dll", L"cn.dll", L"tr.dll"}) {
    for (const wchar_t* section : {L"UI", L"Message", L"Extname"}) {
      g_LanguageSectionList.clear();
      std::wstring path = coretest::BuiltLanguageFile(f);
      int n = LoadLanguageSection(section, path.c_str());
      EXPECT_GT(n, 10) << f << L" " << section;
      std::vector<std::wstring> k;
      std::vector<std::vector<std::wstring>> fm;
      for (auto& e : g_LanguageSectionList) {
        k.push_back(e.first);
        fm.push_back(Conversions(e.second));
        EXPECT_FALSE(e.second.empty()) << f << L" " << e.first;
        EXPECT_LE(e.second.size(), 259u) << e.first;
      }
      keys.push_back(k);
      formats.push_back(fm);
    }
  }
  EXPECT_EQ((std::vector<std::wstring>{L"%d", L"%.1f", L"%%", L"%d"}),
            Conversions(L"pass %d: %.1f%% (%d)"));
  // Callers fill the texts with fixed arguments: every translation takes
  // the same conversions in the same order.
  for (size_t i = 3; i < keys.size(); ++i) {
    EXPECT_EQ(keys[i % 3], keys[i]);
    EXPECT_EQ(formats[i % 3], formats[i]);
  }
  g_LanguageSectionList.swap(saved);
}

TEST_F(LanguageTest, KeysTheProgramAsksFor) {
  g_nUICodePage = 1252;
  for (const wchar_t* k : {L"Byte", L"Recycle", L"UnknowPer", L"LostDir", L"ScanningFile",
                           L"RemainTime", L"ErrMsgHint", L"UnknowCode", L"LocalDiskVolumeName"})
    EXPECT_FALSE(GetUIText(k).empty()) << k;
  // Message keys that callers keep as Base64 text.
  std::wstring path = GetLanguageFilePath();
  for (const char* b64 :
       {"SW5zdGFsbERlY29kZXI=", "Tm9TdXBwb3J0U2F2ZVZoZFJlc3VsdA==", "SW5wdXRTa2lwQmFkU2VjdG9y",
        "aW5wdXRTdWdnZXN0", "VW5pbnN0VGV4dA==", "Rm91bmRMb3N0RHJpdmU=",
        "Tm9QYXJ0aXRpb25DYW5SZWNvdmVyZWQ=", "Tm9GaWxlQ2FuUmVjb3ZlcmVk", "U2F2ZVJlc3VsdE9r",
        "U2Nhbm5pbmdIRA==", "U2VsZWN0RGlzaw==", "U2VsZWN0UmVjb3ZlclR5cGU=",
        "UmVjb3ZlcldoZW5TY2FubmluZw==", "Tm9TdXBwb3J0VmlydHVhbERpc2s="}) {
    wchar_t buf[260] = {};
    EXPECT_EQ(1, ReadLanguageText(L"Message", DecodeBase64Key(b64).c_str(), L"", buf, 260,
                                  path.c_str()))
        << b64;
  }
  // Formats with one integer carry exactly one integer conversion.
  EXPECT_EQ(L"Files found: 12", FormatTextWithInt(GetUIText(L"ScanningFile").c_str(), 12));
}

TEST_F(LanguageTest, OddEntries) {
  std::wstring odd = coretest::OddLanguageFile();
  wchar_t buf[260];
  EXPECT_EQ(1, ReadLanguageText(L"UI", L"Dup", L"d", buf, 260, odd.c_str()));
  EXPECT_STREQ(L"first", buf);  // the first of two wins
  EXPECT_EQ(1, ReadLanguageText(L"UI", L"Eq", L"d", buf, 260, odd.c_str()));
  EXPECT_STREQ(L"a=b=c", buf);  // split at the first "="
  EXPECT_EQ(1, ReadLanguageText(L"UI", L"Empty", L"d", buf, 260, odd.c_str()));
  EXPECT_STREQ(L"", buf);
  EXPECT_EQ(1, ReadLanguageText(L"UI", L"", L"d", buf, 260, odd.c_str()));
  EXPECT_STREQ(L"value without key", buf);
  EXPECT_EQ(1, ReadLanguageText(L"UI", L"casekey", L"d", buf, 260, odd.c_str()));
  EXPECT_STREQ(L"upper", buf);  // keys compare case included
  EXPECT_EQ(0, ReadLanguageText(L"UI", L"an entry without an equals sign", L"dflt", buf, 260,
                                odd.c_str()));
  EXPECT_STREQ(L"dflt", buf);
  EXPECT_EQ(1, ReadLanguageText(L"UI", L"Last", L"d", buf, 260, odd.c_str()));
  EXPECT_STREQ(L"end", buf);  // entries after the skipped ones still count
  // An empty entry ends the section.
  EXPECT_EQ(1, ReadLanguageText(L"Stop", L"A", L"d", buf, 260, odd.c_str()));
  EXPECT_STREQ(L"1", buf);
  EXPECT_EQ(0, ReadLanguageText(L"Stop", L"B", L"d", buf, 260, odd.c_str()));
  // Missing section, missing file: the default, cut to the buffer.
  EXPECT_EQ(0, ReadLanguageText(L"Nope", L"Dup", L"default", buf, 4, odd.c_str()));
  EXPECT_STREQ(L"def", buf);
  EXPECT_EQ(0, ReadLanguageText(L"UI", L"Dup", L"x", buf, 260, L"Z:\\no\\such\\file.dll"));
  EXPECT_STREQ(L"x", buf);
}

TEST_F(LanguageTest, LongValueCutTo259) {
  std::wstring odd = coretest::OddLanguageFile();
  wchar_t buf[400];
  wmemset(buf, L'#', 400);
  EXPECT_EQ(1, ReadLanguageText(L"UI", L"Long", L"", buf, 260, odd.c_str()));
  EXPECT_EQ(std::wstring(259, L'L'), std::wstring(buf));
  EXPECT_EQ(L'#', buf[260]);  // nothing written past the buffer
  // GetUIText reads section "UI" of the current file with the same cut.
  std::wstring tmp = testpaths::MakeTempDir(L"cut");
  CreateDirectoryW((tmp + L"\\language").c_str(), nullptr);
  ASSERT_TRUE(CopyFileW(odd.c_str(), (tmp + L"\\language\\tr.dll").c_str(), FALSE));
  lstrcpynW(g_strAppDir, tmp.c_str(), MAX_PATH);
  g_nUICodePage = 950;
  EXPECT_EQ(std::wstring(259, L'L'), GetUIText(L"Long"));
  EXPECT_EQ(L"", GetUIText(L"NoSuchKey"));
  coretest::RemoveTree(tmp);
}

TEST_F(LanguageTest, StreamOfWholeWordsKeepsItsLastWord) {
  std::wstring odd = coretest::OddLanguageFile();
  // "K=abc\0": 12 bytes, so the third word ends at the last byte.
  std::vector<unsigned char> raw = coretest::ReadRawStream(odd, L"Even");
  ASSERT_EQ(12u, raw.size());
  const unsigned char plain[12] = {'K', 0, '=', 0, 'a', 0, 'b', 0, 'c', 0, 0, 0};
  EXPECT_EQ(plain[0] ^ 0x17, raw[0]);
  EXPECT_EQ(plain[1] ^ 0x5C, raw[1]);
  EXPECT_EQ(plain[4] ^ 0x17, raw[4]);
  EXPECT_EQ(0, memcmp(plain + 8, raw.data() + 8, 4));  // stored as it is
  wchar_t buf[16];
  EXPECT_EQ(1, ReadLanguageText(L"Even", L"K", L"", buf, 16, odd.c_str()));
  EXPECT_STREQ(L"abc", buf);
  // "K=abcd\0": 14 bytes, the last two bytes stay as they are.
  raw = coretest::ReadRawStream(odd, L"Odd");
  ASSERT_EQ(14u, raw.size());
  EXPECT_EQ(0, raw[12]);
  EXPECT_EQ(0, raw[13]);
  EXPECT_EQ('c' ^ 0x17, raw[8]);
  EXPECT_EQ(0x5C, raw[9]);
  EXPECT_EQ(1, ReadLanguageText(L"Odd", L"K", L"", buf, 16, odd.c_str()));
  EXPECT_STREQ(L"abcd", buf);
}

TEST_F(LanguageTest, UnmaskIsItsOwnInverse) {
  for (uint32_t n = 0; n < 24; ++n) {
    std::vector<unsigned char> a(n), b;
    for (uint32_t i = 0; i < n; ++i) a[i] = (unsigned char)(i * 37 + 5);
    b = a;
    UnmaskLanguageText(b.data(), n);
    for (uint32_t i = 0; i < n; ++i) {
      bool masked = (i / 4) * 4 + 4 < n;
      unsigned char x = masked ? (i % 4 == 0 ? 0x17 : i % 4 == 1 ? 0x5C : 0) : 0;
      EXPECT_EQ(a[i] ^ x, b[i]) << n << " " << i;
    }
    UnmaskLanguageText(b.data(), n);
    EXPECT_EQ(a, b);
  }
}

TEST_F(LanguageTest, FullReadBufferAndLongerStreams) {
  std::wstring tmp = testpaths::MakeTempDir(L"big");
  std::wstring path = tmp + L"\\big.dll";
  // Exactly 128 KiB of text without any NUL: the reader must end the text
  // itself without writing past its buffer.
  std::wstring full = L"Big=" + std::wstring(0x10000 - 4, L'y');
  ASSERT_EQ(0x20000u, full.size() * 2);
  // A longer stream: a key beyond the first 128 KiB is not seen.
  std::wstring longer = L"A=1" + std::wstring(1, L'\0') + L"Pad=" +
                        std::wstring(0x10000, L'p') + std::wstring(1, L'\0') + L"Late=2" +
                        std::wstring(1, L'\0');
  ASSERT_TRUE(coretest::WriteLanguageFile(path, {{L"UI", full}, {L"Long", longer}}));
  wchar_t buf[300];
  EXPECT_EQ(1, ReadLanguageText(L"UI", L"Big", L"", buf, 300, path.c_str()));
  EXPECT_EQ(std::wstring(299, L'y'), std::wstring(buf));
  EXPECT_EQ(1, ReadLanguageText(L"Long", L"A", L"", buf, 300, path.c_str()));
  EXPECT_STREQ(L"1", buf);
  EXPECT_EQ(0, ReadLanguageText(L"Long", L"Late", L"none", buf, 300, path.c_str()));
  std::vector<unsigned char> bytes;
  ASSERT_TRUE(ReadLanguageStream(path.c_str(), L"Long", bytes));
  EXPECT_EQ(kLanguageStreamLimit, bytes.size());
  // A full stream of tiny entries without "=": the walk stays linear.
  std::wstring tiny;
  for (int i = 0; i < (0x10000 - 4) / 2; ++i) tiny += std::wstring(L"a\0", 2);
  tiny += std::wstring(L"K=v\0", 4);
  ASSERT_EQ(0x20000u, tiny.size() * 2);
  ASSERT_TRUE(coretest::WriteLanguageFile(path, {{L"UI", tiny}}));
  EXPECT_EQ(1, ReadLanguageText(L"UI", L"K", L"", buf, 300, path.c_str()));
  EXPECT_STREQ(L"v", buf);
  // An empty stream counts as not found.
  ASSERT_TRUE(coretest::WriteLanguageFile(path, {{L"UI", L""}}));
  EXPECT_EQ(0, ReadLanguageText(L"UI", L"Big", L"d", buf, 300, path.c_str()));
  coretest::RemoveTree(tmp);
}

TEST_F(LanguageTest, SectionListKeepsOrderAndDuplicates) {
  LanguageSectionList saved;
  saved.swap(g_LanguageSectionList);
  std::wstring odd = coretest::OddLanguageFile();
  int n = LoadLanguageSection(L"UI", odd.c_str());
  ASSERT_EQ(9, n);
  EXPECT_EQ(L"Dup", g_LanguageSectionList[0].first);
  EXPECT_EQ(L"first", g_LanguageSectionList[0].second);
  EXPECT_EQ(L"second", g_LanguageSectionList[1].second);
  EXPECT_EQ(L"Last", g_LanguageSectionList.back().first);
  EXPECT_EQ(0, LoadLanguageSection(L"Missing", odd.c_str()));
  EXPECT_EQ(n + 1, LoadLanguageSection(L"Even", odd.c_str()));  // appended
  g_LanguageSectionList.swap(saved);
}

TEST_F(LanguageTest, LabelTextsAndOemProductName) {
  g_nUICodePage = 1252;
  std::wstring savedName = g_OemInfo.m_strProductName;
  g_OemInfo.m_strProductName.clear();
  LoadLanguageStrings();
  EXPECT_EQ(L"Delvaro Data Recovery", g_strLangProductName);
  EXPECT_EQ(L"Videos", g_strLangVedio);
  EXPECT_EQ(L"B", g_strLangByte);
  EXPECT_EQ(L"%s/%s", g_strLangDateFormat);
  g_OemInfo.m_strProductName = L"Partner Recovery";
  g_nUICodePage = 936;
  LoadLanguageStrings();
  EXPECT_EQ(L"Partner Recovery", g_strLangProductName);
  EXPECT_EQ(L"\u89c6\u9891", g_strLangVedio);
  g_OemInfo.m_strProductName = savedName;
  g_nUICodePage = 1252;
  LoadLanguageStrings();
}

struct LookupCtx {
  std::atomic<int> failures{0};
  std::atomic<int> done{0};
  std::wstring path;
};

unsigned __stdcall LookupWorker(void* p) {
  LookupCtx* c = static_cast<LookupCtx*>(p);
  for (int i = 0; i < 40; ++i) {
    wchar_t buf[260];
    if (!ReadLanguageText(L"UI", L"Picture", L"", buf, 260, c->path.c_str()) ||
        wcscmp(buf, L"Pictures") != 0)
      ++c->failures;
    if (GetUIText(L"Audio") != L"Audio") ++c->failures;
    if (!ReadLanguageText(L"Message", L"Title", L"", buf, 260, c->path.c_str())) ++c->failures;
    // Whole-section loads run beside the single lookups.
    if (i % 4 == 0 && LoadLanguageSection(L"Extname", c->path.c_str()) == 0) ++c->failures;
    ++c->done;
  }
  return 0;
}

// Lookups from several threads at once all get their text.
TEST_F(LanguageTest, ConcurrentLookupsAllSucceed) {
  g_nUICodePage = 1252;
  LookupCtx ctx;
  ctx.path = GetLanguageFilePath();
  LanguageSectionList saved;
  saved.swap(g_LanguageSectionList);
  HANDLE threads[8];
  for (HANDLE& h : threads)
    h = (HANDLE)_beginthreadex(nullptr, 0, &LookupWorker, &ctx, 0, nullptr);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(8, threads, TRUE, 60000));
  for (HANDLE h : threads) CloseHandle(h);
  EXPECT_EQ(8 * 40, ctx.done.load());
  EXPECT_EQ(0, ctx.failures.load());
  EXPECT_EQ(0u, g_LanguageSectionList.size() % 28);  // whole sections only
  g_LanguageSectionList.swap(saved);
}

// Corrupted real section data: the entry walk stays inside the data.
TEST_F(LanguageTest, MutatedSectionDataNeverEscapes) {
  std::vector<unsigned char> base;
  ASSERT_TRUE(ReadLanguageStream(coretest::BuiltLanguageFile(L"en.dll").c_str(), L"Message", base));
  UnmaskLanguageText(base.data(), (uint32_t)base.size());
  std::mt19937 rng(1234);
  for (int iter = 0; iter < 3000; ++iter) {
    std::vector<unsigned char> m = base;
    int edits = 1 + (int)(rng() % 8);
    for (int e = 0; e < edits; ++e) {
      size_t at = rng() % m.size();
      switch (rng() % 4) {
        case 0: m[at] = (unsigned char)rng(); break;
        case 1: m[at] = 0; break;
        case 2: m[at] = '='; break;
        default: m.resize(at); break;
      }
      if (m.empty()) break;
    }
    std::wstring value;
    if (FindLanguageEntry(m.data(), m.size(), L"Title", value)) {
      EXPECT_LE(value.size() * 2, m.size());
    }
    LanguageSectionList list;
    CollectLanguageEntries(m.data(), m.size(), list);
    size_t total = 0;
    for (auto& e : list) total += e.first.size() + e.second.size() + 2;
    EXPECT_LE(total, m.size() / 2 + 1);
  }
  // Odd and tiny sizes.
  std::wstring v;
  EXPECT_FALSE(FindLanguageEntry(nullptr, 10, L"Title", v));
  EXPECT_FALSE(FindLanguageEntry(base.data(), 1, L"Title", v));
}

// Corrupted language files on disk give the default, never a crash.
TEST_F(LanguageTest, MutatedFilesGiveTheDefault) {
  std::string file = testpaths::ReadWholeFile(coretest::BuiltLanguageFile(L"en.dll"));
  ASSERT_FALSE(file.empty());
  std::wstring tmp = testpaths::MakeTempDir(L"mut");
  std::wstring path = tmp + L"\\m.dll";
  std::mt19937 rng(99);
  int found = 0;
  for (int iter = 0; iter < 300; ++iter) {
    std::string m = file;
    if (iter % 10 == 0) {
      m.resize(rng() % m.size());
    } else {
      for (int e = 0; e < 1 + (int)(rng() % 16); ++e) m[rng() % m.size()] = (char)rng();
    }
    ASSERT_TRUE(coretest::WriteBytes(path, m));
    wchar_t buf[260];
    int r = ReadLanguageText(L"UI", L"Picture", L"dflt", buf, 260, path.c_str());
    EXPECT_LT(wcslen(buf), 260u);
    if (!r) {
      EXPECT_STREQ(L"dflt", buf);
    }
    found += r;
  }
  EXPECT_GT(found, 0);  // most single-byte damage misses the entry
  coretest::RemoveTree(tmp);
}

TEST_F(MessageTest, MessageBoxByKeyLooksUpTitleAndText) {
  g_nUICodePage = 1252;
  HWND owner = (HWND)(INT_PTR)0x1234;
  EXPECT_EQ(IDYES, MessageBoxByKey(L"NTFSInvalid", owner, MB_ICONINFORMATION, 0));
  ASSERT_EQ(1u, g_shown.size());
  EXPECT_EQ(L"Delvaro Data Recovery", g_shown[0].title);
  EXPECT_EQ(0u, g_shown[0].text.find(L"The NTFS volume cannot be opened"));
  EXPECT_EQ((UINT)MB_ICONINFORMATION, g_shown[0].type);
  EXPECT_EQ(0, g_shown[0].flag);
  EXPECT_EQ(owner, g_shown[0].parent);
  // The same through the Base64 key, with the error icon.
  g_nUICodePage = 936;
  ErrorBoxByBase64Key(Base64Encode("NTFSInvalid").c_str(), nullptr);
  ASSERT_EQ(2u, g_shown.size());
  EXPECT_EQ((UINT)MB_ICONERROR, g_shown[1].type);
  EXPECT_EQ(L"Delvaro \u6570\u636e\u6062\u590d", g_shown[1].title);
  EXPECT_EQ(0u, g_shown[1].text.find(L"\u65e0\u6cd5\u6253\u5f00"));
  // A missing key still shows the box, with an empty text.
  MessageBoxByKey(L"NoSuchKey", nullptr, 0, 7);
  EXPECT_EQ(L"", g_shown[2].text);
  EXPECT_EQ(1, g_shown[2].flag);
}

TEST_F(MessageTest, MissingTitleGivesEmptyTitle) {
  std::wstring tmp = testpaths::MakeTempDir(L"notitle");
  CreateDirectoryW((tmp + L"\\language").c_str(), nullptr);
  std::wstring msg = L"Only=Text here" + std::wstring(1, L'\0');
  ASSERT_TRUE(coretest::WriteLanguageFile(tmp + L"\\language\\en.dll", {{L"Message", msg}}));
  lstrcpynW(g_strAppDir, tmp.c_str(), MAX_PATH);
  g_nUICodePage = 1252;
  MessageBoxByKey(L"Only", nullptr, MB_OK, 0);
  ASSERT_EQ(1u, g_shown.size());
  EXPECT_EQ(L"", g_shown[0].title);
  EXPECT_EQ(L"Text here", g_shown[0].text);
  coretest::RemoveTree(tmp);
}

TEST_F(MessageTest, TextsUsedAsFormatsCannotMisbehave) {
  std::wstring tmp = UseOddLanguageFolder();
  struct {
    const wchar_t* key;
    const wchar_t* expect;
  } cases[] = {
      {L"FmtInt", L"Found 42 files (100%)"},
      {L"FmtS", L"Value %s here"},
      {L"FmtN", L"Count %n then 42"},
      {L"FmtTwo", L"42 and %d"},
      {L"FmtStar", L"Star %*d"},
      {L"FmtWide", L"Wide %99999999d"},
      {L"FmtLL", L"Long %lld"},
      {L"FmtHex", L"Hex 0x002a"},
      {L"Plain", L"Just text"},
  };
  for (auto& c : cases) {
    g_shown.clear();
    MessageBoxByKeyFormat(c.key, 42, nullptr, MB_OK, 0);
    ASSERT_EQ(1u, g_shown.size());
    EXPECT_EQ(c.expect, g_shown[0].text) << c.key;
    EXPECT_EQ(L"Odd title", g_shown[0].title);
  }
  g_shown.clear();
  ErrorBoxByKeyFormat(L"FmtS", 1, nullptr, 1);
  ErrorBoxByBase64KeyFormat(Base64Encode("FmtInt").c_str(), 7, nullptr, 0);
  MessageBoxByBase64KeyFormat(Base64Encode("FmtN").c_str(), -3, nullptr, MB_YESNO, 0);
  ASSERT_EQ(3u, g_shown.size());
  EXPECT_EQ((UINT)MB_ICONERROR, g_shown[0].type);
  EXPECT_EQ(1, g_shown[0].flag);
  EXPECT_EQ(L"Found 7 files (100%)", g_shown[1].text);
  EXPECT_EQ(L"Count %n then -3", g_shown[2].text);
  EXPECT_EQ((UINT)MB_YESNO, g_shown[2].type);
  lstrcpynW(g_strAppDir, m_savedAppDir, MAX_PATH);
  coretest::RemoveTree(tmp);
}

TEST(FormatTextWithInt, OnlyTheOneIntegerConversion) {
  EXPECT_EQ(L"7", FormatTextWithInt(L"%d", 7));
  EXPECT_EQ(L"[   -7]", FormatTextWithInt(L"[%5d]", -7));
  EXPECT_EQ(L"[-7   ]", FormatTextWithInt(L"[%-5d]", -7));
  EXPECT_EQ(L"007", FormatTextWithInt(L"%.3d", 7));
  EXPECT_EQ(L"ff %X %o", FormatTextWithInt(L"%x %X %o", 255));
  EXPECT_EQ(L"010", FormatTextWithInt(L"%#o", 8));
  EXPECT_EQ(L"4294967295", FormatTextWithInt(L"%u", -1));
  EXPECT_EQ(L"5", FormatTextWithInt(L"%ld", 5));
  EXPECT_EQ(L"%d", FormatTextWithInt(L"%%d", 5));
  EXPECT_EQ(L"100%", FormatTextWithInt(L"100%", 5));
  EXPECT_EQ(L"%", FormatTextWithInt(L"%", 5));
  EXPECT_EQ(L"%s %n %p %f %c %ls %S", FormatTextWithInt(L"%s %n %p %f %c %ls %S", 5));
  EXPECT_EQ(L"%I64d %lld %jd %zd %hhd", FormatTextWithInt(L"%I64d %lld %jd %zd %hhd", 5));
  EXPECT_EQ(L"%*d %.*d %1000d", FormatTextWithInt(L"%*d %.*d %1000d", 5));
  EXPECT_EQ(L"%s then 5 then %d", FormatTextWithInt(L"%s then %d then %d", 5));
  EXPECT_EQ(L"", FormatTextWithInt(L"", 5));
  EXPECT_EQ(L"", FormatTextWithInt(nullptr, 5));
  std::wstring wide = FormatTextWithInt(L"%999d", 1);
  EXPECT_EQ(999u, wide.size());
  // The usual flags, checked against the C library on harmless cases.
  const wchar_t* specs[] = {L"%+d", L"% d", L"%05d", L"%-5d|", L"%#x", L"%#X", L"%#o", L"%.0d",
                            L"%hd", L"%hu", L"%hx", L"%+.3i", L"%-+6d|", L"%#8x",
                            L"%#08x", L"%lu", L"%o"};
  for (const wchar_t* spec : specs) {
    for (int v : {0, 7, -7, 255, 65537, -2147483647 - 1, 2147483647}) {
      wchar_t expect[64] = {};
      _snwprintf(expect, 63, spec, v);
      EXPECT_EQ(std::wstring(expect), FormatTextWithInt(spec, v)) << spec << L" " << v;
    }
  }
  // A precision turns the "0" flag off; long precisions, which some C
  // libraries mishandle, are done here.
  EXPECT_EQ(L"    -007", FormatTextWithInt(L"%08.3d", -7));
  EXPECT_EQ(std::wstring(97, L'0') + L"255", FormatTextWithInt(L"%.100d", 255));
  EXPECT_EQ(L"0x" + std::wstring(58, L'0') + L"ff", FormatTextWithInt(L"%#.60x", 255));
}

// Random formats built from the characters of conversions: the result is
// the text with at most one integer put in, never a crash.
TEST(FormatTextWithInt, RandomFormatsStayBounded) {
  const wchar_t alphabet[] = L"%%%dsnxXpfcSI64l.hL*-+ #0123456789z";
  std::mt19937 rng(42);
  for (int iter = 0; iter < 5000; ++iter) {
    std::wstring f;
    for (int n = (int)(rng() % 24); n > 0; --n) f += alphabet[rng() % (wcslen(alphabet))];
    std::wstring out = FormatTextWithInt(f.c_str(), (int)rng());
    // At most one conversion (up to 999 wide) replaces its text.
    EXPECT_LE(out.size(), f.size() + 1000) << f;
  }
}

TEST_F(MessageTest, LastErrorBox) {
  SetLastError(0);
  ShowLastErrorBox(nullptr, L"Open", 0);
  EXPECT_TRUE(g_shown.empty());  // nothing failed
  SetLastError(ERROR_FILE_NOT_FOUND);
  ShowLastErrorBox((HWND)(INT_PTR)0x42, L"Open", 0);
  ASSERT_EQ(1u, g_shown.size());
  EXPECT_EQ(0u, g_shown[0].text.find(L"Open failed with error 2: "));
  EXPECT_GT(g_shown[0].text.size(), wcslen(L"Open failed with error 2: "));
  EXPECT_EQ(L"Error", g_shown[0].title);
  EXPECT_EQ((UINT)MB_ICONERROR, g_shown[0].type);
  EXPECT_EQ(1, g_shown[0].flag);
  ShowLastErrorBox(nullptr, nullptr, 0xE0001234);  // no system text
  ASSERT_EQ(2u, g_shown.size());
  EXPECT_EQ(0u, g_shown[1].text.find(L" failed with error "));
}

}  // namespace
