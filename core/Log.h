// Debug trace and file log.
#pragma once
#include <windows.h>

// Path of the file log; "c:\delvaro_log.log" unless changed.
extern wchar_t g_strFileLogPath[MAX_PATH];

// printf-style trace to the debugger (at most 511 characters), sent only
// while a debugger is attached.
void DebugPrint(const wchar_t* format, ...);
// Appends "hh:mm:ss-text\r\n" (ANSI, at most 527 bytes) to the file log.
// A log that cannot be opened is skipped silently.
void WriteFileLog(const wchar_t* format, ...);
