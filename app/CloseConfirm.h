// The question asked before the program closes, with a "don't ask again" box
// remembered in the registry.
#pragma once
#include <windows.h>

// HKEY_LOCAL_MACHINE\Software\Microsoft\Delvaro, value "CloseConfirm":
// 0 closes without asking; absent or unreadable asks.
extern const wchar_t kCloseConfirmKey[];
extern const wchar_t kCloseConfirmValue[];

// True when the program may close.
bool ConfirmClose(HWND mainWindow);
