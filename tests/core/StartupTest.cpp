#include <gtest/gtest.h>

#include <string>

#include "CoreTestUtil.h"

namespace {

// Ends the started program if a check fails before it ended.
struct ProcessGuard {
  PROCESS_INFORMATION pi = {};
  DWORD ExitCode() {  // -1 when it did not end in time
    DWORD code = (DWORD)-1;
    if (WaitForSingleObject(pi.hProcess, 20000) == WAIT_OBJECT_0)
      GetExitCodeProcess(pi.hProcess, &code);
    return code;
  }
  ~ProcessGuard() {
    if (!pi.hProcess) return;
    if (WaitForSingleObject(pi.hProcess, 0) != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 99);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }
};

bool CanCreateWindows() {
  HWND w = CreateWindowExW(0, L"STATIC", L"probe", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                           nullptr, nullptr);
  if (w) DestroyWindow(w);
  return w != nullptr;
}

// The program starts, shows its plain main window and ends when it is closed.
// Without a display it must still run its start-up and end cleanly.
TEST(Startup, MainWindowOpensAndCloses) {
  std::wstring exe = testpaths::Join(testpaths::BinDir(), L"Delvaro6.exe");
  if (!testpaths::FileExists(exe)) GTEST_SKIP() << "Delvaro6.exe was not built";
  bool display = CanCreateWindows();
  ASSERT_EQ(nullptr, FindWindowW(L"DelvaroWndClass", nullptr));
  std::wstring cmd = L"\"" + exe + L"\"";
  STARTUPINFOW si = {};
  si.cb = sizeof si;
  ProcessGuard p;
  ASSERT_TRUE(
      CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &p.pi));
  HWND wnd = nullptr;
  for (int i = 0; i < 400 && !wnd; ++i) {
    wnd = FindWindowW(L"DelvaroWndClass", nullptr);
    if (wnd || WaitForSingleObject(p.pi.hProcess, 50) == WAIT_OBJECT_0) break;
  }
  if (!display) {
    EXPECT_EQ(1u, p.ExitCode());  // no window can exist: the program gives up
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
  EXPECT_EQ(0u, p.ExitCode());
}

}  // namespace
