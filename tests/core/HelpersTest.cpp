#include <gtest/gtest.h>

#include <set>
#include <vector>

#include <shlwapi.h>

#include <cstring>

#include "core/Helpers.h"
#include "core/Language.h"
#include "core/Log.h"
#include "CoreTestUtil.h"

namespace {

TEST(TextConversions, Utf8DetectionAndDecoding) {
  const struct {
    const char* bytes;
    int expect;
  } cases[] = {{"\xE4\xB8\xAD", 1},  {"abc", 0},          {"\xC3", 0},
               {"\xC3\x41", 0},      {"\x80", 0},         {"\xF0\x9F\x98\x80", 1},
               {"\xD6\xD0\xCE\xC4", 0 /* GBK */},        {"\xFC\x80\x80\x80\x80\x80", 1}};
  for (auto& c : cases) EXPECT_EQ(c.expect, IsUtf8Text(c.bytes, strlen(c.bytes))) << c.bytes;
  EXPECT_EQ(0, IsUtf8Text(nullptr, 3));
  EXPECT_EQ(L"a", TextToCString("\xEF\xBB\xBF" "a", 4));
  EXPECT_EQ(L"\u4e2d", TextToCString("\xE4\xB8\xAD", 3));
  EXPECT_EQ(L"", TextToCString(nullptr, 3));
  EXPECT_EQ(L"x:y_z", SanitizeFileName(L"x:y*z", L'_'));
  EXPECT_EQ(L"--------ok", SanitizeFileName(L"\\/*?<>|\"ok", L'-'));
}

TEST(TextConversions, SizeText) {
  std::wstring saved = g_strLangByte;
  g_strLangByte = L"B";
  const struct {
    uint64_t size;
    const wchar_t* text;
  } cases[] = {{0, L"0B"},           {1024, L"1024B"},          {1025, L"1.00KB"},
               {1048576, L"1024.00KB"}, {1048577, L"1.00MB"},   {1073741825, L"1.00GB"},
               {0x100000000ULL, L"4.00GB"}, {1ULL << 54, L"16777216.00GB"}};
  wchar_t buf[64];
  for (auto& c : cases) {
    EXPECT_EQ(1, FormatSizeText(c.size, buf, sizeof buf));
    EXPECT_STREQ(c.text, buf);
  }
  wchar_t small[4];  // cut, and stays terminated
  EXPECT_EQ(1, FormatSizeText(1073741825, small, sizeof small));
  EXPECT_EQ(3u, wcslen(small));
  g_strLangByte = saved;
}

// Names from a damaged or hostile disk never leave the destination folder
// and always make a plain file there; safe names are kept as they are.
TEST(UniqueName, CountsUpAndKeepsHostileNamesInsideTheFolder) {
  std::wstring dir = testpaths::MakeTempDir(L"uniq");
  ASSERT_FALSE(dir.empty());
  auto make = [&](const std::wstring& name) {
    std::wstring p = MakeUniqueFilePath(name, dir);
    HANDLE h = CreateFileW(p.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, h) << name << L" -> " << p;
    if (h != INVALID_HANDLE_VALUE) {
      EXPECT_EQ((DWORD)FILE_TYPE_DISK, GetFileType(h)) << name;  // never a device
      CloseHandle(h);
    }
    return p.substr(0, dir.size() + 1) == dir + L"\\" ? p.substr(dir.size() + 1) : L"<outside>" + p;
  };
  EXPECT_EQ(L"a.txt", make(L"a.txt"));
  EXPECT_EQ(dir + L"\\a(1).txt", MakeUniqueFilePath(L"a.txt", dir + L"\\"));  // one backslash
  EXPECT_EQ(L"a(1).txt", make(L"a.txt"));
  EXPECT_EQ(L"a(2).txt", make(L"a.txt"));
  make(L"x.tar.gz");
  EXPECT_EQ(L"x.tar(1).gz", make(L"x.tar.gz"));  // only the last dot counts
  make(L"README");
  EXPECT_EQ(L"(1)README", make(L"README"));  // no dot: no base name
  EXPECT_EQ(L"", MakeUniqueFilePath(L"a.txt", L""));  // never the drive's root

  const std::wstring safe[] = {L"r\u00e9sum\u00e9 \u65e5\u672c.txt", L"a..b.txt", L".hidden",
                               L"COM10.txt", L"x$y#z@!~'%&()[]{};,+=.bin", L"nul_file", L"LPT"};
  for (const std::wstring& n : safe) EXPECT_EQ(n, make(n));
  const std::wstring hostile[] = {
      L"..", L".", L"../escape.txt", L"..\\escape.txt", L"a:b.txt", L"x:y*z", L"file.txt::$DATA",
      L"CON", L"con.txt", L"Nul", L"COM1.log", L"lpt9", L"aux .txt", L"CONOUT$", L"trailing.",
      L"trailing ", L"", L"<>|?*\"", L"C:\\Windows\\evil.exe", L"\\\\?\\C:\\x",
      L"\\\\server\\share\\f", L"ctl\x01\x1f.txt", std::wstring(300, L'n') + L".txt", L"...",
      L" ", L"\u00b9com"};
  for (const std::wstring& n : hostile) {
    for (int round = 0; round < 2; ++round) {  // the second round takes the "(1)" form
      std::wstring leaf = make(n);
      EXPECT_FALSE(leaf.empty()) << n;
      EXPECT_EQ(std::wstring::npos, leaf.find_first_of(L"\\/:*?\"<>|")) << n << L" -> " << leaf;
      EXPECT_TRUE(leaf.back() != L'.' && leaf.back() != L' ') << n;
      EXPECT_LE(leaf.size(), 255u) << n;
    }
  }
  // Every file landed in the folder itself, each under its own name.
  size_t count = 0;
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW((dir + L"\\*").c_str(), &fd);
  for (BOOL more = h != INVALID_HANDLE_VALUE; more; more = FindNextFileW(h, &fd))
    count += wcscmp(fd.cFileName, L".") && wcscmp(fd.cFileName, L"..");
  if (h != INVALID_HANDLE_VALUE) FindClose(h);
  EXPECT_EQ(7 + sizeof safe / sizeof *safe + 2 * (sizeof hostile / sizeof *hostile), count);
  EXPECT_FALSE(testpaths::FileExists(dir.substr(0, dir.rfind(L'\\')) + L"\\escape.txt"));
  coretest::RemoveTree(dir);
}

// Characters that draw nothing but reorder or hide what is shown: a name
// with a right-to-left override cannot pose as another file type.
TEST(UniqueName, InvisibleFormatCharactersBecomeVisible) {
  EXPECT_EQ(L"_exe.txt", MakeSafeFileName(L"\u202Eexe.txt"));
  EXPECT_EQ(L"a_b_c_d_e_f.txt", MakeSafeFileName(L"a\u200Bb\u200Fc\u2066d\uFEFFe\u0085f.txt"));
  EXPECT_EQ(L"in_voice_fdp.exe", MakeSafeFileName(L"in\u202Dvoice\u202Efdp.exe"));
  // Ordinary accented and CJK names are kept as they are.
  EXPECT_EQ(L"r\u00e9sum\u00e9 \u65e5\u672c.txt", MakeSafeFileName(L"r\u00e9sum\u00e9 \u65e5\u672c.txt"));
}

// Characters past the first 64K are judged whole: tag characters hidden in
// an NTFS name (U+E0041 "TAG LATIN CAPITAL LETTER A") and the musical format
// controls become one "_" each, halves of pairs on their own become "_",
// and a long name is cut between characters, never inside a pair.
TEST(UniqueName, CharactersBeyondTheFirst64KAreJudgedWhole) {
  EXPECT_EQ(L"invoice_.pdf", MakeSafeFileName(L"invoice\U000E0041.pdf"));
  EXPECT_EQ(L"a__b.txt", MakeSafeFileName(L"a\U000E0001\U000E007Fb.txt"));
  EXPECT_EQ(L"x_.doc", MakeSafeFileName(L"x\U0001D173.doc"));
  // Half of a pair: at the end, before a plain character, or a low half first.
  EXPECT_EQ(L"a_.txt", MakeSafeFileName(std::wstring(L"a") + (wchar_t)0xD83D + L".txt"));
  EXPECT_EQ(L"a_b", MakeSafeFileName(std::wstring(L"a") + (wchar_t)0xDE00 + L"b"));
  EXPECT_EQ(L"ab_", MakeSafeFileName(std::wstring(L"ab") + (wchar_t)0xD83D));
  // Pictures and rare ideographs stay.
  EXPECT_EQ(L"\U0001F600 \U00020000.jpg", MakeSafeFileName(L"\U0001F600 \U00020000.jpg"));

  std::wstring faces;
  for (int i = 0; i < 125; ++i) faces += L"\U0001F600";
  const std::wstring cut = MakeSafeFileName(L"a" + faces + L".txt");
  EXPECT_EQ(L"a" + faces.substr(0, 234) + L".txt", cut);
  EXPECT_LE(cut.size(), 240u);
  // Every pair whole: the name converts without a replacement character.
  char utf8[1024] = {};
  ASSERT_GT(WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, cut.c_str(), (int)cut.size(), utf8, sizeof utf8,
                                nullptr, nullptr), 0);
  EXPECT_EQ(nullptr, strstr(utf8, "\xEF\xBF\xBD"));
}

// The names one run gives: thousands of files of one name in one folder
// cost one candidate each, counted on from where the name stopped, and a
// name taken on disk (from an earlier run) is passed over once.
TEST(UniqueName, MemoryGivesEachNameOnceWithoutProbing) {
  CUniqueNameMemory names;
  EXPECT_EQ(L"C:\\out\\notes.txt", names.NextPath(L"notes.txt", L"C:\\out"));
  EXPECT_EQ(L"C:\\out\\notes(1).txt", names.NextPath(L"notes.txt", L"C:\\out\\"));
  EXPECT_EQ(L"c:\\OUT\\NOTES(2).TXT", names.NextPath(L"NOTES.TXT", L"c:\\OUT"));  // one name to Windows
  // A file really named like a numbered one takes the next number instead.
  EXPECT_EQ(L"C:\\out\\notes(3).txt", names.NextPath(L"notes(3).txt", L"C:\\out"));
  EXPECT_EQ(L"C:\\out\\notes(4).txt", names.NextPath(L"notes.txt", L"C:\\out"));
  EXPECT_EQ(L"C:\\out\\(1)README", (names.NextPath(L"README", L"C:\\out"), names.NextPath(L"README", L"C:\\out")));
  EXPECT_EQ(L"C:\\other\\notes.txt", names.NextPath(L"notes.txt", L"C:\\other"));  // per folder
  // Back to a folder after another, as it was given and in another case.
  EXPECT_EQ(L"C:\\out\\notes(5).txt", names.NextPath(L"notes.txt", L"C:\\out"));
  EXPECT_EQ(L"C:\\other\\notes(1).txt", names.NextPath(L"notes.txt", L"C:\\other"));
  EXPECT_EQ(L"C:\\OUT\\notes(6).txt", names.NextPath(L"notes.txt", L"C:\\OUT\\"));
  EXPECT_EQ(2u, names.FolderCount());
  EXPECT_EQ(L"", names.NextPath(L"notes.txt", L""));
  std::set<std::wstring> seen;
  for (int i = 0; i < 4000; ++i) seen.insert(names.NextPath(L"same.dat", L"C:\\many"));
  EXPECT_EQ(4000u, seen.size());
  EXPECT_EQ(1u, seen.count(L"C:\\many\\same(3999).dat"));

  // On disk: the create fails for a taken name and the next one follows.
  std::wstring dir = testpaths::MakeTempDir(L"uniqmem");
  ASSERT_FALSE(dir.empty());
  for (const wchar_t* taken : {L"\\x.bin", L"\\x(1).bin"}) {
    HANDLE h = CreateFileW((dir + taken).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    CloseHandle(h);
  }
  CUniqueNameMemory run;
  int creates = 0;
  std::vector<std::wstring> made;
  for (int file = 0; file < 3; ++file) {
    for (;;) {
      const std::wstring p = run.NextPath(L"x.bin", dir);
      ++creates;
      HANDLE h = CreateFileW(p.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
      if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        made.push_back(p.substr(dir.size() + 1));
        break;
      }
      ASSERT_EQ((DWORD)ERROR_FILE_EXISTS, GetLastError());
    }
  }
  EXPECT_EQ(std::vector<std::wstring>({L"x(2).bin", L"x(3).bin", L"x(4).bin"}), made);
  EXPECT_EQ(5, creates);  // the two taken names once each, then one create per file
  coretest::RemoveTree(dir);
}

// Paths past MAX_PATH take the long-path form; shorter ones stay as they are.
TEST(UniqueName, LongPathForm) {
  const std::wstring deep = L"D:\\out" + std::wstring(150, L'x');
  EXPECT_EQ(L"C:\\short\\a.txt", LongPathForm(L"C:\\short\\a.txt"));
  EXPECT_EQ(L"\\\\?\\" + deep, LongPathForm(deep, 100));
  EXPECT_EQ(L"\\\\?\\" + deep, LongPathForm(L"\\\\?\\" + deep, 100));  // once
  EXPECT_EQ(L"\\\\?\\UNC\\srv\\share\\" + deep.substr(3),
            LongPathForm(L"\\\\srv\\share\\" + deep.substr(3), 100));
  EXPECT_EQ(L"relative\\" + deep, LongPathForm(L"relative\\" + deep, 100));  // no prefix can help it
  // The limit counts the terminating null: a folder path of exactly
  // MAX_PATH - 12 characters is one too long for the plain form.
  const std::wstring at = L"C:\\" + std::wstring(MAX_PATH - 12 - 3, L'f');
  EXPECT_EQ(L"\\\\?\\" + at, LongPathForm(at));
  EXPECT_EQ(at.substr(0, at.size() - 1), LongPathForm(at.substr(0, at.size() - 1)));
}

// On disk: a folder of exactly MAX_PATH - 12 characters and a file in it
// are made, and deleted again, through the long-path form.
TEST(UniqueName, FolderAtTheLimitIsMadeAndItsFileDeleted) {
  const std::wstring dir = testpaths::MakeTempDir(L"limit");
  ASSERT_FALSE(dir.empty());
  ASSERT_LT(dir.size() + 1, (size_t)MAX_PATH - 12);
  const std::wstring folder = dir + L"\\" + std::wstring(MAX_PATH - 12 - dir.size() - 1, L'd');
  ASSERT_EQ((size_t)MAX_PATH - 12, folder.size());
  ASSERT_TRUE(CreateDirectoryW(LongPathForm(folder).c_str(), nullptr)) << GetLastError();
  const std::wstring file = folder + L"\\recovered.bin";
  ASSERT_TRUE(coretest::WriteBytes(LongPathForm(file), "x"));
  EXPECT_TRUE(DeleteFileW(LongPathForm(file, MAX_PATH).c_str()));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(LongPathForm(file).c_str()));
  EXPECT_TRUE(RemoveDirectoryW(LongPathForm(folder).c_str()));
  coretest::RemoveTree(dir);
}

TEST(FileLog, AppendsTimedLinesAndCutsLongText) {
  std::wstring dir = testpaths::MakeTempDir(L"log");
  wchar_t saved[MAX_PATH];
  lstrcpynW(saved, g_strFileLogPath, MAX_PATH);
  lstrcpynW(g_strFileLogPath, (dir + L"\\delvaro_log.log").c_str(), MAX_PATH);
  WriteFileLog(L"first %d", 1);
  WriteFileLog(L"%s", std::wstring(3000, L'w').c_str());
  std::string log = testpaths::ReadWholeFile(g_strFileLogPath);
  size_t end1 = log.find("\r\n");
  ASSERT_TRUE(end1 != std::string::npos && end1 >= 9) << log;
  EXPECT_TRUE(log[2] == ':' && log[5] == ':' && log[8] == '-') << log.substr(0, 9);  // hh:mm:ss-
  EXPECT_EQ("first 1", log.substr(9, end1 - 9));
  std::string second = log.substr(end1 + 2);
  ASSERT_GE(second.size(), 11u);
  EXPECT_LE(second.size(), 527u);  // cut to fit, still ended
  EXPECT_EQ(std::string(second.size() - 11, 'w') + "\r\n", second.substr(9));
  // An unwritable log is skipped silently; a long trace is cut.
  lstrcpynW(g_strFileLogPath, (dir + L"\\missing\\x.log").c_str(), MAX_PATH);
  WriteFileLog(L"lost");
  DebugPrint(L"[Delvaro] %s\n", std::wstring(5000, L'd').c_str());
  lstrcpynW(g_strFileLogPath, saved, MAX_PATH);
  coretest::RemoveTree(dir);
}

// Only a dispatched timer message can end this wait.
TEST(Wait, PumpsUntilSignalled) {
  EXPECT_EQ((DWORD)WAIT_FAILED, WaitWithMessagePump(nullptr, 10, TRUE));
  static HANDLE s_ev;
  s_ev = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitWithMessagePump(s_ev, 20, FALSE));
  struct P {
    static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) { SetEvent(s_ev); }
  };
  UINT_PTR timer = SetTimer(nullptr, 0, 10, &P::Tick);
  EXPECT_EQ((DWORD)WAIT_OBJECT_0, WaitWithMessagePump(s_ev, 10000, TRUE));
  KillTimer(nullptr, timer);
  CloseHandle(s_ev);
}

TEST(Program, FoldersAndDirectShowText) {
  std::wstring savedData = g_strAppDataDir;
  int savedCp = g_nUICodePage;
  InitApplicationPaths();
  EXPECT_EQ(0, lstrcmpiW(testpaths::BinDir().c_str(), g_strAppDir));  // no trailing backslash
  EXPECT_EQ(L"\\Delvaro6", g_strAppDataDir.substr(g_strAppDataDir.size() - 9));
  EXPECT_TRUE(PathFileExistsW(g_strAppDataDir.c_str()));  // created
  // DirectShow may be missing under Wine: the text still has its lead.
  g_nUICodePage = 1252;
  std::wstring t = GetDirectShowErrorText((HRESULT)0x80040216);
  EXPECT_EQ(0u, t.find(L"Playback failed: "));
  EXPECT_GT(t.size(), wcslen(L"Playback failed: "));
  g_strAppDataDir = savedData;
  g_nUICodePage = savedCp;
}

}  // namespace
