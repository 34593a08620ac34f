#include "core/Log.h"

#include <cstdarg>
#include <cstdio>

void DebugPrint(const wchar_t* format, ...) {
  wchar_t buf[512] = {};
  va_list ap;
  va_start(ap, format);
  _vsnwprintf(buf, 511, format, ap);
  va_end(ap);
  OutputDebugStringW(buf);
}

void WriteFileLog(const wchar_t*, ...) {}
