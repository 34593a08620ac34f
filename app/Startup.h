// Start-up and the run routine: crash handling, the skin archive, the
// command-line switches, the single instance and the main window's loop.
#pragma once
#include <windows.h>

#include <string>

// The "/debug" switch: read by the traces and the carving log.
extern bool g_bDebugSwitch;
// The "/pathfile:" folder filter of the quick scan is g_strPathFilter of
// the scan engine (engine/MainFrameServices.h).

struct CommandLineOptions
{
    bool bUninstall;
    bool bReportUninstall;
    bool bDebug;
    bool bInstallGuide;
    bool bPathFile;
    std::wstring strPathFile;
};
// Each switch is found anywhere in the command line (case-sensitive). The
// "/pathfile:" argument is the one token after it: a quoted path without
// its quotes, or the text up to the next blank.
CommandLineOptions ParseCommandLine(const wchar_t* commandLine);

// Writes the skin archive for the UI code page to skinFolder + "SKIN.zip":
// resource 218 (type "DATA") of module for 936, else "skin\skin_tr.skin"
// (950) or "skin\skin_en.skin" of programFolder. True when it is ready.
bool PrepareSkinArchive(HMODULE module, int codePage, const std::wstring& programFolder,
                        const std::wstring& skinFolder);

// The unhandled-exception filter: writes the minidump "Error.tmp" in the
// program folder, then tells the user.
LONG WINAPI CrashFilter(EXCEPTION_POINTERS* pointers);
// The same with the dump path given; returns EXCEPTION_EXECUTE_HANDLER.
LONG HandleCrash(const std::wstring& dumpPath, EXCEPTION_POINTERS* pointers);
// The crash box: "except" with the exception code and the address.
typedef void (*CrashBoxProc)(const wchar_t* text);
CrashBoxProc SetCrashBoxProc(CrashBoxProc proc);
// The box's text for a code and an address (pointer-sized).
std::wstring FormatCrashText(DWORD code, const void* address);

// The fallback dialog when the skin is missing (plain Win32, resource 234 in
// the language of the code page); answers 2.
INT_PTR ShowSkinLostDialog(HMODULE module, HWND owner, int codePage);

// The run routine (after the core services are up). Returns 0.
int RunApplication(HINSTANCE instance, const wchar_t* commandLine);
