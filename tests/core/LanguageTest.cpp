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

struct Shown {
  std::wstring text, title;
  UINT type;
  int flag;
};
std::vector<Shown> g_shown;

int RecordMessage(HWND, const wchar_t* text, const wchar_t* title, UINT type, int flag) {
  g_shown.push_back({text, title, type, flag});
  return IDYES;
}

// The program folder is the test program's folder (bin/), where the build
// put language\cn.dll, en.dll and tr.dll; message boxes are recorded.
class LanguageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    lstrcpynW(g_strAppDir, testpaths::BinDir().c_str(), MAX_PATH);
    g_nUICodePage = 1252;
    g_shown.clear();
    g_LanguageSectionList.clear();
    m_oldProc = SetMessageDlgProc(RecordMessage);
  }
  void TearDown() override {
    SetMessageDlgProc(m_oldProc);
    lstrcpynW(g_strAppDir, testpaths::BinDir().c_str(), MAX_PATH);
    g_nUICodePage = m_savedCodePage;
    if (!m_tmp.empty()) coretest::RemoveTree(m_tmp);
  }
  // A program folder of its own; returns the path of its language file `name`.
  std::wstring UseLanguageFolder(const wchar_t* name) {
    m_tmp = testpaths::MakeTempDir(L"lang");
    CreateDirectoryW((m_tmp + L"\\language").c_str(), nullptr);
    lstrcpynW(g_strAppDir, m_tmp.c_str(), MAX_PATH);
    return m_tmp + L"\\language\\" + name;
  }
  int m_savedCodePage = g_nUICodePage;
  MessageDlgProc m_oldProc = nullptr;
  std::wstring m_tmp, m_odd = coretest::OddLanguageFile();
};

TEST_F(LanguageTest, FileChosenByCodePage) {
  const struct {
    int cp;
    const wchar_t *file, *picture;
  } cases[] = {{936, L"cn.dll", L"\u56fe\u7247"},
               {950, L"tr.dll", L"\u5716\u7247"},
               {1252, L"en.dll", L"Pictures"},
               {0, L"en.dll", L"Pictures"}};
  for (auto& c : cases) {
    g_nUICodePage = c.cp;
    EXPECT_EQ(coretest::BuiltLanguageFile(c.file), GetLanguageFilePath());
    EXPECT_EQ(c.picture, GetUIText(L"Picture")) << c.cp;
  }
  // The label texts come from the same file; a partner's product name wins.
  std::wstring savedName = g_OemInfo.m_strProductName;
  g_OemInfo.m_strProductName = L"Partner Recovery";
  g_nUICodePage = 936;
  LoadLanguageStrings();
  EXPECT_EQ(L"Partner Recovery", g_strLangProductName);
  EXPECT_EQ(L"\u89c6\u9891", g_strLangVedio);
  g_OemInfo.m_strProductName = savedName;
  g_nUICodePage = 1252;
  LoadLanguageStrings();
  EXPECT_EQ(L"Videos", g_strLangVedio);
}

// "K=abc\0" is 12 bytes: its third word ends at the last byte and is
// stored as it is; "K=abcd\0" (14 bytes) keeps its last two bytes.
TEST_F(LanguageTest, OddEntriesOfABuiltFile) {
  std::vector<unsigned char> raw;
  ASSERT_TRUE(ReadLanguageStream(m_odd.c_str(), L"Even", raw));
  const unsigned char even[] = {'K' ^ 0x17, 0x5C, '=', 0, 'a' ^ 0x17, 0x5C, 'b', 0, 'c', 0, 0, 0};
  EXPECT_EQ(std::vector<unsigned char>(even, even + sizeof even), raw);
  ASSERT_TRUE(ReadLanguageStream(m_odd.c_str(), L"Odd", raw));
  const unsigned char odd[] = {'K' ^ 0x17, 0x5C, '=', 0, 'a' ^ 0x17, 0x5C, 'b', 0,
                               'c' ^ 0x17, 0x5C, 'd', 0, 0, 0};
  EXPECT_EQ(std::vector<unsigned char>(odd, odd + sizeof odd), raw);
  const struct {
    const wchar_t *section, *key;
    int found;
    std::wstring value;
  } cases[] = {
      {L"Even", L"K", 1, L"abc"},
      {L"Odd", L"K", 1, L"abcd"},
      {L"UI", L"Dup", 1, L"first"},  // the first of two wins
      {L"UI", L"Eq", 1, L"a=b=c"},   // split at the first "="
      {L"UI", L"Empty", 1, L""},
      {L"UI", L"", 1, L"value without key"},
      {L"UI", L"casekey", 1, L"upper"},  // keys compare case included
      {L"UI", L"an entry without an equals sign", 0, L"dflt"},
      {L"UI", L"Last", 1, L"end"},  // entries after the skipped ones still count
      {L"UI", L"Long", 1, std::wstring(259, L'L')},
      {L"Stop", L"A", 1, L"1"},
      {L"Stop", L"B", 0, L"dflt"},  // an empty entry ends the section
      {L"Nope", L"Dup", 0, L"dflt"},
  };
  for (auto& c : cases) {
    wchar_t buf[261];
    buf[260] = L'#';
    int found = ReadLanguageText(c.section, c.key, L"dflt", buf, 260, m_odd.c_str());
    EXPECT_EQ(c.found, found) << c.key;
    EXPECT_EQ(c.value, buf) << c.key;
    EXPECT_EQ(L'#', buf[260]);  // nothing written past the buffer
  }
  wchar_t small[4];
  EXPECT_EQ(0, ReadLanguageText(L"UI", L"Dup", L"default", small, 4, L"Z:\\no\\such\\file.dll"));
  EXPECT_STREQ(L"def", small);  // the default, cut to the buffer
  // The section list keeps file order and duplicates, and appends.
  ASSERT_EQ(9, LoadLanguageSection(L"UI", m_odd.c_str()));
  EXPECT_EQ(L"second", g_LanguageSectionList[1].second);
  EXPECT_EQ(0, LoadLanguageSection(L"Missing", m_odd.c_str()));
  EXPECT_EQ(10, LoadLanguageSection(L"Even", m_odd.c_str()));
  // GetUIText cuts the same way.
  ASSERT_TRUE(CopyFileW(m_odd.c_str(), UseLanguageFolder(L"tr.dll").c_str(), FALSE));
  g_nUICodePage = 950;
  EXPECT_EQ(std::wstring(259, L'L'), GetUIText(L"Long"));
  EXPECT_EQ(L"", GetUIText(L"NoSuchKey"));
}

// A stream that fills the whole 128 KiB read without any NUL is ended by
// the reader without writing past its buffer; a key beyond it is not seen.
TEST_F(LanguageTest, FullReadBufferAndLongerStreams) {
  std::wstring path = UseLanguageFolder(L"big.dll"), nul(1, L'\0');
  std::wstring full = L"Big=" + std::wstring(0x10000 - 4, L'y');
  std::wstring longer = L"A=1" + nul + L"P=" + std::wstring(0x10000, L'p') + nul + L"Late=2" + nul;
  ASSERT_TRUE(
      coretest::WriteLanguageFile(path, {{L"UI", full}, {L"Long", longer}, {L"Empty", L""}}));
  wchar_t buf[300];
  EXPECT_EQ(1, ReadLanguageText(L"UI", L"Big", L"", buf, 300, path.c_str()));
  EXPECT_EQ(std::wstring(299, L'y'), std::wstring(buf));
  EXPECT_EQ(1, ReadLanguageText(L"Long", L"A", L"", buf, 300, path.c_str()));
  EXPECT_EQ(0, ReadLanguageText(L"Long", L"Late", L"none", buf, 300, path.c_str()));
  EXPECT_EQ(0, ReadLanguageText(L"Empty", L"Big", L"d", buf, 300, path.c_str()));
}

std::atomic<int> g_failures, g_done;

unsigned __stdcall LookupWorker(void* path) {
  const wchar_t* file = static_cast<const wchar_t*>(path);
  for (int i = 0; i < 40; ++i, ++g_done) {
    wchar_t buf[260];
    if (!ReadLanguageText(L"UI", L"Picture", L"", buf, 260, file) || wcscmp(buf, L"Pictures") ||
        GetUIText(L"Audio") != L"Audio")
      ++g_failures;
    // Whole-section loads run beside the single lookups.
    if (i % 4 == 0 && LoadLanguageSection(L"Extname", file) == 0) ++g_failures;
  }
  return 0;
}

TEST_F(LanguageTest, ConcurrentLookupsAllSucceed) {
  std::wstring path = GetLanguageFilePath();
  size_t perLoad = (size_t)LoadLanguageSection(L"Extname", path.c_str());
  g_LanguageSectionList.clear();
  HANDLE threads[8];
  for (HANDLE& h : threads)
    h = (HANDLE)_beginthreadex(nullptr, 0, &LookupWorker, (void*)path.c_str(), 0, nullptr);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(8, threads, TRUE, 60000));
  for (HANDLE h : threads) CloseHandle(h);
  EXPECT_EQ(8 * 40, g_done.load());
  EXPECT_EQ(0, g_failures.load());
  EXPECT_EQ(perLoad * 8 * 10, g_LanguageSectionList.size());  // no append lost
}

// Corrupted real section data: the entry walk stays inside the data.
TEST_F(LanguageTest, MutatedSectionDataStaysBounded) {
  std::vector<unsigned char> base;
  ASSERT_TRUE(ReadLanguageStream(coretest::BuiltLanguageFile(L"en.dll").c_str(), L"Message", base));
  UnmaskLanguageText(base.data(), (uint32_t)base.size());
  std::mt19937 rng(1234);
  for (int iter = 0; iter < 3000; ++iter) {
    std::vector<unsigned char> m = base;
    for (int e = 1 + (int)(rng() % 8); e > 0 && !m.empty(); --e) {
      size_t at = rng() % m.size();
      const unsigned char values[] = {(unsigned char)rng(), 0, '='};
      if (rng() % 4 == 3)
        m.resize(at);
      else
        m[at] = values[rng() % 3];
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
}

TEST_F(LanguageTest, MessageBoxesByKey) {
  EXPECT_EQ(IDYES, MessageBoxByKey(L"NTFSInvalid", nullptr, MB_ICONINFORMATION, 0));
  ErrorBoxByBase64Key(Base64Encode("NTFSInvalid").c_str(), nullptr);  // decoded, same lookup
  MessageBoxByKey(L"NoSuchKey", nullptr, 0, 7);                        // still shown, empty
  SetLastError(0);
  ShowLastErrorBox(nullptr, L"Open", 0);  // nothing failed: nothing shown
  SetLastError(ERROR_FILE_NOT_FOUND);
  ShowLastErrorBox(nullptr, L"Open", 0);
  ASSERT_EQ(4u, g_shown.size());
  EXPECT_EQ(L"Delvaro Data Recovery", g_shown[0].title);
  EXPECT_EQ(0u, g_shown[0].text.find(L"The NTFS volume cannot be opened"));
  EXPECT_EQ(g_shown[0].text, g_shown[1].text);
  EXPECT_EQ((UINT)MB_ICONERROR, g_shown[1].type);
  EXPECT_EQ(L"", g_shown[2].text);
  EXPECT_EQ(1, g_shown[2].flag);
  const std::wstring lead = L"Open failed with error 2: ";
  EXPECT_EQ(0u, g_shown[3].text.find(lead));
  EXPECT_GT(g_shown[3].text.size(), lead.size());
  EXPECT_EQ(L"Error", g_shown[3].title);
  // A file without "Title" gives an empty title.
  ASSERT_TRUE(coretest::WriteLanguageFile(UseLanguageFolder(L"en.dll"),
                                          {{L"Message", std::wstring(L"Only=Text here\0", 15)}}));
  MessageBoxByKey(L"Only", nullptr, MB_OK, 0);
  ASSERT_EQ(5u, g_shown.size());
  EXPECT_EQ(L"", g_shown[4].title);
  EXPECT_EQ(L"Text here", g_shown[4].text);
}

// Language texts used as formats take the one integer and nothing else.
TEST_F(LanguageTest, TextsUsedAsFormatsCannotMisbehave) {
  ASSERT_TRUE(CopyFileW(m_odd.c_str(), UseLanguageFolder(L"en.dll").c_str(), FALSE));
  const wchar_t* const cases[][2] = {
      {L"FmtInt", L"Found 42 files (100%)"}, {L"FmtS", L"Value %s here"},
      {L"FmtN", L"Count %n then 42"},        {L"FmtTwo", L"42 and %d"},
      {L"FmtWide", L"Wide %99999999d"},      {L"FmtHex", L"Hex 0x002a"},
      {L"FmtStar", L"Star %*d"},             {L"FmtLL", L"Long %lld"}};
  for (auto& c : cases) {
    g_shown.clear();
    MessageBoxByKeyFormat(c[0], 42, nullptr, MB_OK, 0);
    ASSERT_EQ(1u, g_shown.size());
    EXPECT_EQ(c[1], g_shown[0].text) << c[0];
    EXPECT_EQ(L"Odd title", g_shown[0].title);
  }
  ErrorBoxByBase64KeyFormat(Base64Encode("FmtN").c_str(), -3, nullptr, 1);
  EXPECT_EQ(L"Count %n then -3", g_shown.back().text);
}

TEST(FormatTextWithInt, OnlyTheOneIntegerConversion) {
  const wchar_t* const cases[][2] = {
      {L"%%d 100%", L"%d 100%"},
      {L"%p %f %c %ls %S", L"%p %f %c %ls %S"},
      {L"%I64d %lld %jd %zd %hhd", L"%I64d %lld %jd %zd %hhd"},
      {L"%*d %.*d %1000d", L"%*d %.*d %1000d"},
      {L"%08.3d", L"    -005"}};  // a precision turns the "0" flag off
  for (auto& c : cases) EXPECT_EQ(c[1], FormatTextWithInt(c[0], -5)) << c[0];
  // Long widths and precisions, which some C libraries mishandle.
  EXPECT_EQ(999u, FormatTextWithInt(L"%999d", 1).size());
  EXPECT_EQ(L"0x" + std::wstring(58, L'0') + L"ff", FormatTextWithInt(L"%#.60x", 255));
  EXPECT_EQ(L"", FormatTextWithInt(nullptr, 5));
  // The usual flags agree with the C library on harmless cases.
  for (const wchar_t* format : {L"%d", L"%+d", L"% d", L"%05d", L"%-5d|", L"%#x", L"%#X", L"%#o",
                              L"%.0d", L"%hd", L"%hu", L"%+.3i", L"%#08x", L"%lu", L"%u"}) {
    for (int v : {0, 7, -7, 65537, -2147483647 - 1, 2147483647}) {
      wchar_t expect[64] = {};
      _snwprintf(expect, 63, format, v);
      EXPECT_EQ(std::wstring(expect), FormatTextWithInt(format, v)) << format << L" " << v;
    }
  }
  // Random formats from the characters of conversions: at most one
  // conversion (up to 999 wide) replaces its text, never a crash.
  const wchar_t alphabet[] = L"%%%dsnxXpfcSI64l.hL*-+ #0123456789z";
  std::mt19937 rng(42);
  for (int iter = 0; iter < 5000; ++iter) {
    std::wstring f;
    for (int n = (int)(rng() % 24); n > 0; --n) f += alphabet[rng() % (wcslen(alphabet))];
    EXPECT_LE(FormatTextWithInt(f.c_str(), (int)rng()).size(), f.size() + 1000) << f;
  }
}

}  // namespace
