// Program entry: start-up in its fixed order, then the main window.
#include <windows.h>
#include <objbase.h>

#include "core/Helpers.h"
#include "core/Language.h"
#include "core/Log.h"
#include "core/Settings.h"
#include "sectorengine/Blockmill.h"

namespace {
const wchar_t kMainWindowClass[] = L"DelvaroWndClass";

LRESULT CALLBACK MainWndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(hwnd, msg, wp, lp);
  }
}

// Folders, settings, partner settings, language texts, sector engine.
void InitCoreServices() {
  InitApplicationPaths();
  g_ConfigSetting.Load();
  std::wstring oemPath = GetAppFilePath(L"oem.ini");
  g_OemInfo.LoadLanguage(oemPath.c_str());
  g_OemInfo.Load(oemPath.c_str());
  LoadLanguageStrings();
  // Sector engine: the bad-sector policy from "Config.ini".
  Blockmill::InitValue(g_ConfigSetting.m_bEnableSkipBadSector,
                       g_ConfigSetting.m_uSkipBadSectorNums,
                       g_ConfigSetting.m_strBadSectorValue.c_str(), nullptr);
  DebugPrint(L"[Delvaro] start-up %s: code page %d, program folder %s\n", GetProgramVersion().c_str(),
             g_nUICodePage, g_strAppDir);
}

// A plain top-level window until the skinned main window exists.
int RunMainWindow(HINSTANCE instance) {
  HWND existing = FindWindowW(kMainWindowClass, nullptr);
  if (existing) {
    if (IsIconic(existing)) ShowWindow(existing, SW_RESTORE);
    SetForegroundWindow(existing);
    return 0;
  }
  WNDCLASSEXW wc = {};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = MainWndProc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
  wc.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
  wc.lpszClassName = kMainWindowClass;
  if (!RegisterClassExW(&wc)) return 1;

  const int width = 800, height = 600;
  int x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
  int y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
  if (x < 0) x = 0;
  if (y < 0) y = 0;
  std::wstring title = g_strLangProductName.empty() ? L"Delvaro6" : g_strLangProductName;
  HWND hwnd = CreateWindowExW(0, kMainWindowClass, title.c_str(),
                              WS_VISIBLE | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX,
                              x, y, width, height, nullptr, nullptr, instance, nullptr);
  if (!hwnd) return 1;
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return 0;
}
}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
  CoInitialize(nullptr);
  InitCoreServices();
  int rc = RunMainWindow(instance);
  CoUninitialize();
  return rc;
}
