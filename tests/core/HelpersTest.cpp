#include <gtest/gtest.h>

#include <process.h>
#include <shlwapi.h>

#include "core/ByteBuffer.h"
#include "core/Helpers.h"
#include "core/Language.h"
#include "core/Log.h"
#include "CoreTestUtil.h"

namespace {

TEST(Utf8, Detection) {
  EXPECT_EQ(1, IsUtf8Text("\xE4\xB8\xAD", 3));
  EXPECT_EQ(0, IsUtf8Text("abc", 3));  // no byte of 0x80 or more
  EXPECT_EQ(0, IsUtf8Text("\xC3", 1));
  EXPECT_EQ(0, IsUtf8Text("\xC3\x41", 2));
  EXPECT_EQ(0, IsUtf8Text("\x80", 1));
  EXPECT_EQ(1, IsUtf8Text("a\xC3\xA9z", 4));
  EXPECT_EQ(1, IsUtf8Text("\xF0\x9F\x98\x80", 4));
  EXPECT_EQ(1, IsUtf8Text("\xFC\x80\x80\x80\x80\x80", 6));  // lenient 6-byte form
  EXPECT_EQ(0, IsUtf8Text("\xD6\xD0\xCE\xC4", 4));          // GBK "中文"
  EXPECT_EQ(0, IsUtf8Text(nullptr, 3));
  EXPECT_EQ(0, IsUtf8Text("", 0));
}

TEST(Utf8, TextToCString) {
  EXPECT_EQ(L"a", TextToCString("\xEF\xBB\xBF" "a", 4));
  EXPECT_EQ(L"\u4e2d", TextToCString("\xE4\xB8\xAD", 3));
  EXPECT_EQ(L"abc", TextToCString("abc", 3));
  EXPECT_EQ(L"", TextToCString("abc", 0));
  EXPECT_EQ(L"", TextToCString(nullptr, 3));
  // Not UTF-8: the ANSI code page gives one character per byte here.
  EXPECT_FALSE(TextToCString("\xD6\xD0\xCE\xC4", 4).empty());
  char* u = WideToUtf8(L"\u4e2d\u6587 ok");
  ASSERT_NE(nullptr, u);
  EXPECT_STREQ("\xE4\xB8\xAD\xE6\x96\x87 ok", u);
  delete[] u;
  u = WideToUtf8(nullptr);
  ASSERT_NE(nullptr, u);
  EXPECT_STREQ("", u);
  delete[] u;
  EXPECT_EQ(L"abc", CStringFromAnsi("abc"));
  EXPECT_EQ(L"", CStringFromAnsi(nullptr));
  char buf[4];
  EXPECT_EQ(nullptr, WideToAnsiBuffer(nullptr, L"x", 4, CP_ACP));
  EXPECT_EQ(buf, WideToAnsiBuffer(buf, L"ab", 4, CP_ACP));
  EXPECT_STREQ("ab", buf);
  EXPECT_EQ(nullptr, WideToAnsiBuffer(buf, L"abcdefgh", 4, CP_ACP));  // does not fit
  EXPECT_STREQ("lo", FindSubstring("hello", "lo"));
  EXPECT_EQ(nullptr, FindSubstring("hello", "xyz"));
}

TEST(SizeText, Units) {
  std::wstring saved = g_strLangByte;
  g_strLangByte = L"B";
  wchar_t buf[64];
  auto fmt = [&](uint64_t v) {
    FormatSizeText(v, buf, sizeof buf);
    return std::wstring(buf);
  };
  EXPECT_EQ(L"0B", fmt(0));
  EXPECT_EQ(L"1024B", fmt(1024));
  EXPECT_EQ(L"1.00KB", fmt(1025));
  EXPECT_EQ(L"1024.00KB", fmt(1048576));
  EXPECT_EQ(L"1.00MB", fmt(1048577));
  EXPECT_EQ(L"1024.00MB", fmt(1073741824));
  EXPECT_EQ(L"1.00GB", fmt(1073741825));
  EXPECT_EQ(L"4.00GB", fmt(0x100000000ULL));
  EXPECT_EQ(L"16777216.00GB", fmt(1ULL << 54));
  // A small buffer is cut and stays terminated.
  wchar_t small[4];
  EXPECT_EQ(1, FormatSizeText(1073741825, small, sizeof small));
  EXPECT_EQ(3u, wcslen(small));
  g_strLangByte = saved;
}

class UniqueNameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_dir = testpaths::MakeTempDir(L"uniq");
    ASSERT_FALSE(m_dir.empty());
  }
  void TearDown() override { coretest::RemoveTree(m_dir); }
  void Touch(const std::wstring& path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h) << path;
    CloseHandle(h);
  }
  std::vector<std::wstring> Listing() {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((m_dir + L"\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return names;
    do {
      if (wcscmp(fd.cFileName, L".") && wcscmp(fd.cFileName, L"..")) names.push_back(fd.cFileName);
    } while (FindNextFileW(h, &fd));
    FindClose(h);
    return names;
  }
  std::wstring m_dir;
};

TEST_F(UniqueNameTest, CountsUpWhileTaken) {
  std::wstring p = MakeUniqueFilePath(L"a.txt", m_dir);
  EXPECT_EQ(m_dir + L"\\a.txt", p);
  Touch(p);
  p = MakeUniqueFilePath(L"a.txt", m_dir + L"\\");  // trailing backslash kept single
  EXPECT_EQ(m_dir + L"\\a(1).txt", p);
  Touch(p);
  EXPECT_EQ(m_dir + L"\\a(2).txt", MakeUniqueFilePath(L"a.txt", m_dir));
  // Only the last dot separates the extension; no dot means no base name.
  Touch(m_dir + L"\\x.tar.gz");
  EXPECT_EQ(m_dir + L"\\x.tar(1).gz", MakeUniqueFilePath(L"x.tar.gz", m_dir));
  Touch(m_dir + L"\\README");
  EXPECT_EQ(m_dir + L"\\(1)README", MakeUniqueFilePath(L"README", m_dir));
  EXPECT_EQ(L"", MakeUniqueFilePath(L"a.txt", L""));  // never the drive's root
}

TEST_F(UniqueNameTest, SafeNamesAreKeptAsTheyAre) {
  for (const wchar_t* n : {L"r\u00e9sum\u00e9 \u65e5\u672c.txt", L"a..b.txt", L".hidden",
                           L"con-tract.doc", L"COM10.txt", L"name with spaces.jpg",
                           L"x$y#z@!~'%&()[]{};,+=.bin", L"nul_file", L"LPT"}) {
    EXPECT_EQ(m_dir + L"\\" + n, MakeUniqueFilePath(n, m_dir)) << n;
  }
}

// Names from a damaged or hostile disk never leave the destination folder
// and always make a plain file there.
TEST_F(UniqueNameTest, HostileNamesStayInsideTheFolder) {
  std::wstring longName(300, L'n');
  longName += L".txt";
  const std::wstring names[] = {
      L"..", L".", L"../escape.txt", L"..\\escape.txt", L"a:b.txt", L"file.txt:stream",
      L"file.txt::$DATA", L"CON", L"con.txt", L"Nul", L"COM1.log", L"lpt9", L"aux .txt",
      L"CONOUT$", L"trailing.", L"trailing ", L"", L"<>|?*\"", L"C:\\Windows\\evil.exe",
      L"\\\\?\\C:\\x", L"\\\\server\\share\\f", std::wstring(L"ctl\x01\x1f.txt"),
      L"x:y*z", longName, L"...", L" ", L"\u00b9com"};
  int made = 0;
  for (const std::wstring& n : names) {
    for (int round = 0; round < 2; ++round) {  // the second round takes the "(1)" form
      std::wstring p = MakeUniqueFilePath(n, m_dir);
      ASSERT_EQ(0u, p.find(m_dir + L"\\")) << n;
      std::wstring leaf = p.substr(m_dir.size() + 1);
      EXPECT_FALSE(leaf.empty()) << n;
      EXPECT_EQ(std::wstring::npos, leaf.find_first_of(L"\\/:*?\"<>|")) << n;
      EXPECT_NE(L'.', leaf.back()) << n;
      EXPECT_NE(L' ', leaf.back()) << n;
      EXPECT_NE(L"..", leaf);
      EXPECT_LE(leaf.size(), 255u) << n;
      HANDLE h = CreateFileW(p.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
      ASSERT_NE(INVALID_HANDLE_VALUE, h) << n << L" -> " << p;
      DWORD w = 0;
      WriteFile(h, "x", 1, &w, nullptr);
      // A device would not be a disk file.
      EXPECT_EQ((DWORD)FILE_TYPE_DISK, GetFileType(h)) << n;
      CloseHandle(h);
      ++made;
    }
  }
  // Every file landed in the folder itself, each under its own name.
  std::vector<std::wstring> listing = Listing();
  EXPECT_EQ((size_t)made, listing.size());
  std::wstring parent = m_dir.substr(0, m_dir.rfind(L'\\'));
  EXPECT_FALSE(testpaths::FileExists(parent + L"\\escape.txt"));
}

TEST(SanitizeFileName, ReplacesTheEightAndKeepsTheColon) {
  EXPECT_EQ(L"x:y_z", SanitizeFileName(L"x:y*z", L'_'));
  EXPECT_EQ(L"--------ok", SanitizeFileName(L"\\/*?<>|\"ok", L'-'));
}

TEST(ByteBuffer, SizeAndZeroFill) {
  CByteBuffer a(4096, 1);
  ASSERT_NE(nullptr, a.GetData());
  EXPECT_EQ(4096u, a.GetSize());
  for (uint32_t i = 0; i < a.GetSize(); ++i) ASSERT_EQ(0, a.GetData()[i]);
  CByteBuffer empty(0, 1);
  EXPECT_NE(nullptr, empty.GetData());
  EXPECT_EQ(0u, empty.GetSize());
}

TEST(FileLog, AppendsTimedLinesAndCutsLongText) {
  std::wstring dir = testpaths::MakeTempDir(L"log");
  wchar_t saved[MAX_PATH];
  lstrcpynW(saved, g_strFileLogPath, MAX_PATH);
  lstrcpynW(g_strFileLogPath, (dir + L"\\delvaro_log.log").c_str(), MAX_PATH);
  WriteFileLog(L"first %d", 1);
  WriteFileLog(L"%s", std::wstring(3000, L'w').c_str());
  WriteFileLog(L"third");
  std::string log = testpaths::ReadWholeFile(g_strFileLogPath);
  std::vector<std::string> lines;
  for (size_t pos = 0; pos < log.size();) {
    size_t end = log.find("\r\n", pos);
    ASSERT_NE(std::string::npos, end);
    lines.push_back(log.substr(pos, end - pos));
    pos = end + 2;
  }
  ASSERT_EQ(3u, lines.size());
  for (const std::string& l : lines) {
    ASSERT_GE(l.size(), 9u);
    EXPECT_EQ(':', l[2]);
    EXPECT_EQ(':', l[5]);
    EXPECT_EQ('-', l[8]);
    EXPECT_LE(l.size() + 2, 527u);
  }
  EXPECT_EQ("first 1", lines[0].substr(9));
  EXPECT_EQ(std::string(lines[1].size() - 9, 'w'), lines[1].substr(9));
  EXPECT_EQ("third", lines[2].substr(9));
  // An unwritable log is skipped silently.
  lstrcpynW(g_strFileLogPath, (dir + L"\\missing\\x.log").c_str(), MAX_PATH);
  WriteFileLog(L"lost");
  DebugPrint(L"[Delvaro] %s\n", std::wstring(5000, L'd').c_str());  // cut, no overflow
  lstrcpynW(g_strFileLogPath, saved, MAX_PATH);
  coretest::RemoveTree(dir);
}

unsigned __stdcall SetAfterDelay(void* event) {
  Sleep(150);
  SetEvent((HANDLE)event);
  return 0;
}

TEST(Wait, PumpsUntilSignalled) {
  EXPECT_EQ((DWORD)WAIT_FAILED, WaitWithMessagePump(nullptr, 10, TRUE));
  HANDLE ev = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitWithMessagePump(ev, 20, FALSE));
  // A posted message is dispatched while the wait goes on.
  static int s_seen = 0;
  s_seen = 0;
  struct P {
    static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) { ++s_seen; }
  };
  UINT_PTR timer = SetTimer(nullptr, 0, 10, &P::Tick);
  HANDLE th = (HANDLE)_beginthreadex(nullptr, 0, &SetAfterDelay, ev, 0, nullptr);
  EXPECT_EQ((DWORD)WAIT_OBJECT_0, WaitWithMessagePump(ev, 10000, TRUE));
  KillTimer(nullptr, timer);
  EXPECT_GT(s_seen, 0);
  WaitForSingleObject(th, INFINITE);
  CloseHandle(th);
  CloseHandle(ev);
}

TEST(Program, FoldersAndFacts) {
  std::wstring savedData = g_strAppDataDir;
  wchar_t savedDir[MAX_PATH];
  lstrcpynW(savedDir, g_strAppDir, MAX_PATH);
  int savedCp = g_nUICodePage;
  InitApplicationPaths();
  EXPECT_EQ((int)GetACP(), g_nUICodePage);
  std::wstring bin = testpaths::BinDir();
  EXPECT_EQ(0, lstrcmpiW(bin.c_str(), g_strAppDir));
  EXPECT_NE(L'\\', g_strAppDir[wcslen(g_strAppDir) - 1]);
  EXPECT_EQ(L"\\Delvaro6", g_strAppDataDir.substr(g_strAppDataDir.size() - 9));
  EXPECT_TRUE(PathFileExistsW(g_strAppDataDir.c_str()));
  EXPECT_EQ(g_strAppDataDir + L"\\Config.ini", GetAppDataFilePath(L"Config.ini"));
  EXPECT_EQ(g_strAppDataDir + L"\\ext.dll", MakeExeDirPath(L"ext.dll"));
  EXPECT_EQ(std::wstring(g_strAppDir) + L"\\oem.ini", GetAppFilePath(L"oem.ini"));
  EXPECT_EQ(L"D:\\out\\a.txt", JoinPath(L"D:\\out", L"a.txt"));
  g_nUICodePage = 950;
  EXPECT_EQ(1, IsNonChineseLocale());
  g_nUICodePage = 936;
  EXPECT_EQ(0, IsNonChineseLocale());
#ifdef _WIN64
  EXPECT_FALSE(IsWow64());
#endif
  EXPECT_EQ(L"", GetProgramVersion());  // the test program has no version resource
  EXPECT_EQ(L"", GetCompanionAppPath(3));
  EXPECT_EQ(11, GetMaskShift(0xF800));
  EXPECT_EQ(3, GetMaskLossBits(0xF800));
  EXPECT_EQ(-1, GetMaskShift(0));
  EXPECT_EQ(8, GetMaskLossBits(0));
  EXPECT_EQ(0, GetMaskLossBits(0xFF0000));
  g_strAppDataDir = savedData;
  lstrcpynW(g_strAppDir, savedDir, MAX_PATH);
  g_nUICodePage = savedCp;
}

TEST(Program, DirectShowErrorTextFailsSoft) {
  int savedCp = g_nUICodePage;
  g_nUICodePage = 1252;
  wchar_t savedDir[MAX_PATH];
  lstrcpynW(savedDir, g_strAppDir, MAX_PATH);
  lstrcpynW(g_strAppDir, testpaths::BinDir().c_str(), MAX_PATH);
  std::wstring t = GetDirectShowErrorText((HRESULT)0x80040216);
  EXPECT_EQ(0u, t.find(L"Playback failed: "));
  EXPECT_GT(t.size(), wcslen(L"Playback failed: "));
  lstrcpynW(g_strAppDir, savedDir, MAX_PATH);
  g_nUICodePage = savedCp;
}

}  // namespace
