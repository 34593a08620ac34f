#include "core/Log.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <cstring>

wchar_t g_strFileLogPath[MAX_PATH] = L"c:\\delvaro_log.log";

namespace {
// The log file is opened without sharing: writers of this process take
// turns instead of failing each other.
struct CLockHolder {
  CRITICAL_SECTION cs;
  CLockHolder() { InitializeCriticalSection(&cs); }
};

CRITICAL_SECTION* FileLogLock() {
  static CLockHolder holder;  // built once, thread-safe
  return &holder.cs;
}

const int kMaxLogLine = 527;
}  // namespace

void DebugPrint(const wchar_t* format, ...) {
  // Only a debugger reads these lines. Without one, sending them still costs
  // an exception and a look for a listener's buffer (under Wine a server
  // round trip each): a line per recovered file cost more than its create.
  if (!format || !IsDebuggerPresent()) return;
  wchar_t buf[512] = {};
  va_list ap;
  va_start(ap, format);
  _vsnwprintf(buf, 511, format, ap);
  va_end(ap);
  buf[511] = 0;
  OutputDebugStringW(buf);
}

void WriteFileLog(const wchar_t* format, ...) {
  if (!format) return;
  wchar_t text[512] = {};
  va_list ap;
  va_start(ap, format);
  _vsnwprintf(text, 511, format, ap);
  va_end(ap);
  text[511] = 0;

  char line[kMaxLogLine + 1] = {};
  char stamp[16] = {};
  _strtime(stamp);  // "hh:mm:ss"
  int pos = _snprintf(line, kMaxLogLine, "%s-", stamp);
  if (pos < 0) pos = 0;
  // Room for the text and the line end.
  int room = kMaxLogLine - pos - 2;
  int wlen = (int)wcslen(text);
  int got = 0;
  while (wlen > 0) {
    got = WideCharToMultiByte(CP_THREAD_ACP, 0, text, wlen, line + pos, room, nullptr, nullptr);
    if (got > 0) break;
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) break;
    // Too long: drop characters from the end until it fits.
    wlen = wlen > 16 ? wlen - 8 : wlen - 1;
  }
  if (got < 0) got = 0;
  pos += got;
  line[pos++] = '\r';
  line[pos++] = '\n';

  EnterCriticalSection(FileLogLock());
  HANDLE h = CreateFileW(g_strFileLogPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h != INVALID_HANDLE_VALUE) {
    LARGE_INTEGER zero = {};
    SetFilePointerEx(h, zero, nullptr, FILE_END);
    DWORD written = 0;
    WriteFile(h, line, (DWORD)pos, &written, nullptr);
    CloseHandle(h);
  }
  LeaveCriticalSection(FileLogLock());
}
