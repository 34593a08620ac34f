#include <gtest/gtest.h>

#include <string>

#include "CoreTestUtil.h"

namespace {

// Runs a program of the bin folder and returns its exit code (-1 when it
// could not start or did not end in time).
DWORD RunTool(const std::wstring& commandLine, DWORD timeoutMs = 30000) {
  std::wstring cmd = commandLine;
  STARTUPINFOW si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  if (!CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
    return (DWORD)-1;
  DWORD code = (DWORD)-1;
  if (WaitForSingleObject(pi.hProcess, timeoutMs) == WAIT_OBJECT_0)
    GetExitCodeProcess(pi.hProcess, &code);
  else
    TerminateProcess(pi.hProcess, 99);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return code;
}

std::wstring Quote(const std::wstring& s) { return L"\"" + s + L"\""; }

TEST(MkLang, RefusesBadSources) {
  std::wstring exe = testpaths::Join(testpaths::BinDir(), L"mklang.exe");
  ASSERT_TRUE(testpaths::FileExists(exe));
  std::wstring dir = testpaths::MakeTempDir(L"mklang");
  std::wstring out = dir + L"\\out.dll";
  EXPECT_EQ(2u, RunTool(Quote(exe)));  // usage
  EXPECT_EQ(1u, RunTool(Quote(exe) + L" " + Quote(dir + L"\\missing.txt") + L" " + Quote(out)));
  ASSERT_TRUE(coretest::WriteBytes(dir + L"\\bad.txt", "[UI]\nA=\xC3\x28\n"));
  EXPECT_EQ(1u, RunTool(Quote(exe) + L" " + Quote(dir + L"\\bad.txt") + L" " + Quote(out)));
  ASSERT_TRUE(coretest::WriteBytes(dir + L"\\orphan.txt", "A=1\n[UI]\nB=2\n"));
  EXPECT_EQ(1u, RunTool(Quote(exe) + L" " + Quote(dir + L"\\orphan.txt") + L" " + Quote(out)));
  EXPECT_FALSE(testpaths::FileExists(out));
  // A good source with a BOM and CRLF line ends.
  ASSERT_TRUE(coretest::WriteBytes(dir + L"\\good.txt",
                                   "\xEF\xBB\xBF# c\r\n[UI]\r\nA=x\\ty\r\n\r\n[Message]\r\nT=\xE4\xB8\xAD\r\n"));
  EXPECT_EQ(0u, RunTool(Quote(exe) + L" " + Quote(dir + L"\\good.txt") + L" " + Quote(out)));
  std::vector<unsigned char> raw = coretest::ReadRawStream(out, L"UI");
  ASSERT_EQ(12u, raw.size());  // "A=x<tab>y" and its NUL
  EXPECT_EQ('A' ^ 0x17, raw[0]);
  EXPECT_EQ('\t', raw[6]);
  EXPECT_EQ(8u, coretest::ReadRawStream(out, L"Message").size());  // "T=" CJK NUL
  coretest::RemoveTree(dir);
}

// Ends the started program if a check fails before it was closed.
struct ProcessGuard {
  PROCESS_INFORMATION pi = {};
  ~ProcessGuard() {
    if (pi.hProcess) {
      if (WaitForSingleObject(pi.hProcess, 0) != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 99);
      CloseHandle(pi.hThread);
      CloseHandle(pi.hProcess);
    }
  }
};

bool CanCreateWindows() {
  HWND w = CreateWindowExW(0, L"STATIC", L"probe", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                           nullptr, nullptr);
  if (!w) return false;
  DestroyWindow(w);
  return true;
}

// The program starts, shows its plain main window and ends when it is closed.
// Without a display it must still run its start-up and end cleanly.
TEST(Startup, MainWindowOpensAndCloses) {
  std::wstring exe = testpaths::Join(testpaths::BinDir(), L"Delvaro6.exe");
  if (!testpaths::FileExists(exe)) GTEST_SKIP() << "Delvaro6.exe was not built";
  bool display = CanCreateWindows();
  ASSERT_EQ(nullptr, FindWindowW(L"DelvaroWndClass", nullptr));
  std::wstring cmd = Quote(exe);
  STARTUPINFOW si = {};
  si.cb = sizeof si;
  ProcessGuard g;
  ASSERT_TRUE(CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &g.pi));
  HWND wnd = nullptr;
  for (int i = 0; i < 400 && !wnd; ++i) {
    wnd = FindWindowW(L"DelvaroWndClass", nullptr);
    if (wnd || WaitForSingleObject(g.pi.hProcess, 50) == WAIT_OBJECT_0) break;
  }
  if (!display) {
    // No window can exist: the program gives up with exit code 1.
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g.pi.hProcess, 20000));
    DWORD code = 99;
    GetExitCodeProcess(g.pi.hProcess, &code);
    EXPECT_EQ(1u, code);
    GTEST_SKIP() << "no display here: only the start-up without a window was checked";
  }
  ASSERT_NE(nullptr, wnd);
  wchar_t title[256] = {};
  GetWindowTextW(wnd, title, 256);
  std::wstring t = title;
  EXPECT_TRUE(t == L"Delvaro Data Recovery" || t == L"Delvaro \u6570\u636e\u6062\u590d" ||
              t == L"Delvaro \u8cc7\u6599\u6551\u63f4")
      << t;
  RECT rc = {};
  GetWindowRect(wnd, &rc);
  EXPECT_EQ(800, rc.right - rc.left);
  EXPECT_EQ(600, rc.bottom - rc.top);
  PostMessageW(wnd, WM_CLOSE, 0, 0);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g.pi.hProcess, 20000));
  DWORD code = 99;
  GetExitCodeProcess(g.pi.hProcess, &code);
  EXPECT_EQ(0u, code);
}

}  // namespace
