// Shared pieces of the preview tests: sample bytes, a pump that waits on
// conditions, and a plain window for video.
#pragma once
#include <windows.h>

#include <functional>
#include <string>

namespace viewtest {

// The bytes of an unpacked fixture sample (empty when missing).
std::string Sample(const wchar_t* name);
// Pumps window messages until cond holds or timeoutMs passes; cond's result.
bool PumpUntil(const std::function<bool()>& cond, DWORD timeoutMs = 20000);
// A visible top-level window of w by h for video (destroyed by the caller).
HWND MakeHostWindow(int w, int h);

}  // namespace viewtest
