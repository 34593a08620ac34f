// Driving the program's real windows in the test process: the skin and
// language set-up of start-up, a message pump that waits on conditions,
// synthetic clicks and keys on named controls, and PNG screenshots.
#pragma once
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "app/DuiLibInc.h"

namespace gui {

// Once per process: COM, common controls, the shadow class, GDI+, the
// application folders (settings written to a temporary Config.ini) and a
// temporary folder of this process's own, so the skin archive of parallel
// runs never collides. Then the skin and texts of codePage.
void InitProcess(int codePage);
// Switches the UI language: texts, language file and skin archive.
void UseLanguage(int codePage);

// Pumps messages (through DuiLib's translation) until cond holds or the
// time runs out; the result of cond. The bound is generous: tests wait on
// conditions, never on time.
bool PumpUntil(const std::function<bool()>& cond, DWORD timeoutMs = 20000);
// Pumps what is queued now.
void PumpPending();

CControlUI* Find(CPaintManagerUI& pm, const wchar_t* name);
// Left click at the middle of a control of a window (posted mouse messages).
bool Click(CPaintManagerUI& pm, CControlUI* control);
bool Click(CPaintManagerUI& pm, const wchar_t* name);
void Key(HWND hwnd, UINT vk);
// Visible, with all its parents.
bool IsShown(CControlUI* control);
// Why a user cannot see or click a control; empty when nothing stands in
// the way: it is shown, its whole rectangle lies inside each of its parents
// (their insets and scroll bars taken off) and inside the window's client
// area, nothing painted after it meets it, and at its centre both DuiLib's
// hit test and the native window there find the control itself (or a part
// of it: a child control, or its own native window).
std::wstring Unreachable(CPaintManagerUI& pm, CControlUI* control);
std::wstring Unreachable(CPaintManagerUI& pm, const wchar_t* name);
// The shown controls of a window that a user clicks or types into: buttons
// (options and check boxes among them), edits, lists and their header items.
std::vector<CControlUI*> ClickableControls(CPaintManagerUI& pm);
bool IsShown(CPaintManagerUI& pm, const wchar_t* name);
bool IsSelected(CPaintManagerUI& pm, const wchar_t* name);

// ---- the pointer as a person moves it ----
// Input through the system's input queue (SendInput), which routes every
// move and press to whatever window lies under the pointer, a tooltip or a
// menu over the window included, as a real mouse's input is routed.
// Moves the pointer to a point of a window's client area and pumps what
// the move brings; false when the pointer did not get there.
bool MovePointer(HWND hwnd, POINT client);
// To the centre of a control (or of a rectangle of its window).
bool MovePointer(CPaintManagerUI& pm, CControlUI* control);
bool MovePointer(HWND hwnd, const RECT& client);
// A left press and release where the pointer is, then pumps.
void PressPointer();
// Moves to the centre of a control and presses there.
bool ClickAsPerson(CPaintManagerUI& pm, CControlUI* control);
bool ClickAsPerson(CPaintManagerUI& pm, const wchar_t* name);
// The pointer rests where it is, messages pumped, until a tooltip of this
// thread shows or ms pass; the tooltip, or NULL.
HWND RestUntilTooltip(DWORD ms);
// Pumps messages for ms while the pointer rests.
void Rest(DWORD ms);
// The shown tooltip window of this thread, or NULL.
HWND ShownTooltip();

// The visible top-level window of class cls on this thread, other than except.
HWND FindThreadWindow(const wchar_t* cls, HWND except = NULL);
// Calls action once with the first dialog window of class cls that appears
// while a modal loop runs (a timer polls for it); the action usually clicks
// one of its buttons.
void OnDialog(const wchar_t* cls, std::function<void(HWND)> action);
// The DuiLib paint manager of a skinned window, or NULL.
CPaintManagerUI* ManagerOf(HWND hwnd);

// Screenshots of a window into PNG files in the build folder's
// "screenshots" folder: the window's own picture as name.png, and what the
// screen shows of it and a margin round it (taken from the root window, so
// whatever covers the window shows) as name_screen.png. Returns the path of
// the first, empty on failure.
std::wstring SaveScreenshot(HWND hwnd, const wchar_t* name);
// Pixels of a window's own picture (0xAARRGGBB rows, top-down).
bool CaptureWindow(HWND hwnd, int& w, int& h, std::vector<uint32_t>& pixels);
// Pixels of a rectangle of the screen, read from the root window.
bool CaptureScreen(const RECT& rc, int& w, int& h, std::vector<uint32_t>& pixels);
// Compares what the screen shows inside the window's rectangle with the
// window's own picture, inside the window's region: the share of pixels
// that differ, and the share that the screen shows dark (near black) where
// the window's own picture is not. False when either capture fails.
bool CompareWithScreen(HWND hwnd, double& differing, double& darkened);
// The window is on the screen as it paints itself: nothing (a shadow, a
// black rectangle, another window) covers it. The message names the shares.
bool IsUncoveredOnScreen(HWND hwnd, std::wstring* why = NULL);
// Saves the whole screen as name.png (root window).
std::wstring SaveScreenScreenshot(const wchar_t* name);
// PNG bytes of 32-bit pixels (alpha ignored).
std::string EncodePng(int w, int h, const std::vector<uint32_t>& pixels);
// Distinct colours and the share of pixels unlike the most common colour.
void ImageStats(const std::vector<uint32_t>& pixels, size_t& colours, double& nonBackground);

}  // namespace gui
