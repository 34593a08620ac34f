// Debug trace and file log.
#pragma once
#include <windows.h>

// printf-style trace to the debugger (at most 511 characters).
void DebugPrint(const wchar_t* format, ...);
// Appends "hh:mm:ss-text\r\n" to the file log.
void WriteFileLog(const wchar_t* format, ...);
