#include "net/http/HttpError.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace Kestor {
namespace {

// Texts by group; the index is the code modulo 100.
const char* const kGroup100A[] = {
    "Unexpected error occurred.",
    "The index is out of range.",
    "Out of memory.",
    "The requested URL is not a valid URL.",
    "The post context is not started yet.",
    "Couldn't read expected bytes from a file.",
    "The post context has not been finished yet.",
    "The port number is not valid.",
    "std::exception occurred.",
    "The encoded URL is not valid.",
    "The UTF8 string contains an invalid character.",
    "An unexpected arithmetic error has been occurred.",
    "An arithmetic overflow error has been occurred.",
    "An interger divide by zero exception has been occurred.",
    "The file (%s) aleady exists.",
};
const wchar_t* const kGroup100W[] = {
    L"Unexpected error occurred.",
    L"The index is out of range.",
    L"Out of memory.",
    L"The requested URL is not a valid URL.",
    L"The post context is not started yet.",
    L"Couldn't read expected bytes from a file.",
    L"The post context has not been finished yet.",
    L"The port number is not valid.",
    L"std::exception occurred.",
    L"The encoded URL is not valid.",
    L"The UTF8 string contains an invalid character.",
    L"An unexpected arithmetic error has been occurred.",
    L"An arithmetic overflow error has been occurred.",
    L"An interger divide by zero exception has been occurred.",
    L"The file (%s) aleady exists.",
};
const char* const kGroup400A[] = {
    "::HttpQueryInfo failed.",   "::InternetReadFile failed.",  "::InternetOpen failed.",
    "::InternetConnect failed.", "::HttpOpenRequest failed.",   "::HttpAddRequestHeaders failed.",
    "::HttpSendRequest failed.", "::HttpSendRequestEx failed.", "::InternetWriteFile failed.",
    "::HttpEndRequest failed.",  "::InternetSetOption failed.",
};
const wchar_t* const kGroup400W[] = {
    L"::HttpQueryInfo failed.",   L"::InternetReadFile failed.",  L"::InternetOpen failed.",
    L"::InternetConnect failed.", L"::HttpOpenRequest failed.",   L"::HttpAddRequestHeaders failed.",
    L"::HttpSendRequest failed.", L"::HttpSendRequestEx failed.", L"::InternetWriteFile failed.",
    L"::HttpEndRequest failed.",  L"::InternetSetOption failed.",
};
const char* const kGroup600A[] = {
    "::WideCharToMultiByte failed.",
    "::MultiByteToWideChar failed.",
    "::ReadFile failed.",
    "OpenFile (::CreateFile) failed (\"%s\").",
    "::SetFilePointer failed.",
    "::GetFileSize failed (\"%s\").",
    "::WriteFile failed (\"%s\").",
};
const wchar_t* const kGroup600W[] = {
    L"::WideCharToMultiByte failed.",
    L"::MultiByteToWideChar failed.",
    L"::ReadFile failed.",
    L"OpenFile (::CreateFile) failed (\"%s\").",
    L"::SetFilePointer failed.",
    L"::GetFileSize failed (\"%s\").",
    L"::WriteFile failed (\"%s\").",
};

template <class C, size_t N>
const C* Entry(const C* const (&table)[N], DWORD index, const C* unknown) {
  return index < N ? table[index] : unknown;
}

const size_t kFormatChars = 512;

// The code's text with its "%s" (if any) replaced by arg: the only
// conversions the table texts hold. At most 511 characters are kept.
template <class C>
void FormatCodeText(C* out, const C* text, const C* arg) {
  size_t n = 0;
  for (const C* p = text; *p && n + 1 < kFormatChars; ++p) {
    if (p[0] == '%' && p[1] == 's') {
      for (const C* a = arg; a && *a && n + 1 < kFormatChars; ++a) out[n++] = *a;
      ++p;
    } else {
      out[n++] = *p;
    }
  }
  out[n] = 0;
}

DWORD ArithmeticCode(DWORD cause) {
  if (cause == kArithCauseDivideByZero) return ErrDivideByZero;
  if (cause == kArithCauseOverflow) return ErrArithmeticOverflow;
  return ErrArithmetic;
}

char* DupA(const char* s) {
  if (!s) return nullptr;
  size_t n = strlen(s) + 1;
  char* p = (char*)malloc(n);
  if (p) memcpy(p, s, n);
  return p;
}

wchar_t* DupW(const wchar_t* s) {
  if (!s) return nullptr;
  size_t n = wcslen(s) + 1;
  wchar_t* p = (wchar_t*)malloc(n * sizeof(wchar_t));
  if (p) memcpy(p, s, n * sizeof(wchar_t));
  return p;
}

// Text converted between the ANSI code page and UTF-16; NULL on failure.
wchar_t* AnsiToWide(const char* s) {
  if (!s) return nullptr;
  int n = MultiByteToWideChar(CP_ACP, 0, s, -1, nullptr, 0);
  if (n <= 0) return nullptr;
  wchar_t* p = (wchar_t*)malloc((size_t)n * sizeof(wchar_t));
  if (p && MultiByteToWideChar(CP_ACP, 0, s, -1, p, n) <= 0) {
    free(p);
    p = nullptr;
  }
  return p;
}

char* WideToAnsi(const wchar_t* s) {
  if (!s) return nullptr;
  int n = WideCharToMultiByte(CP_ACP, 0, s, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return nullptr;
  char* p = (char*)malloc((size_t)n);
  if (p && WideCharToMultiByte(CP_ACP, 0, s, -1, p, n, nullptr, nullptr) <= 0) {
    free(p);
    p = nullptr;
  }
  return p;
}

}  // namespace

const char* GetHttpErrorTextA(DWORD code) {
  static const char kUnknown[] = "Unknown error.";
  if (code >= 1000) return "user-defined error message";
  if (code >= 600) return Entry(kGroup600A, code - 600, kUnknown);
  if (code >= 400) return Entry(kGroup400A, code - 400, kUnknown);
  if (code >= 200) return kUnknown;
  if (code >= 100) return Entry(kGroup100A, code - 100, kUnknown);
  return code == 0 ? "Not specified" : kUnknown;
}

const wchar_t* GetHttpErrorTextW(DWORD code) {
  static const wchar_t kUnknown[] = L"Unknown error.";
  if (code >= 1000) return L"user-defined error message";
  if (code >= 600) return Entry(kGroup600W, code - 600, kUnknown);
  if (code >= 400) return Entry(kGroup400W, code - 400, kUnknown);
  if (code >= 200) return kUnknown;
  if (code >= 100) return Entry(kGroup100W, code - 100, kUnknown);
  return code == 0 ? L"Not specified" : kUnknown;
}

// ---- errmsg_exceptionA / W ----

errmsg_exceptionA::errmsg_exceptionA() noexcept : m_szErrMsg(nullptr) {}
errmsg_exceptionA::errmsg_exceptionA(const char* message) noexcept : m_szErrMsg(DupA(message)) {}
errmsg_exceptionA::errmsg_exceptionA(const errmsg_exceptionA& other) noexcept
    : std::exception(other), m_szErrMsg(DupA(other.m_szErrMsg)) {}
errmsg_exceptionA& errmsg_exceptionA::operator=(const errmsg_exceptionA& other) noexcept {
  if (this != &other) SetErrorMessage(other.m_szErrMsg);
  return *this;
}
errmsg_exceptionA::~errmsg_exceptionA() noexcept { free(m_szErrMsg); }
const char* errmsg_exceptionA::what() const noexcept { return GetErrorMessage(); }
const char* errmsg_exceptionA::GetErrorMessage() const noexcept { return m_szErrMsg ? m_szErrMsg : "NULL"; }
void errmsg_exceptionA::SetErrorMessage(const char* message) noexcept {
  char* copy = DupA(message);
  free(m_szErrMsg);
  m_szErrMsg = copy;
}

errmsg_exceptionW::errmsg_exceptionW() noexcept : m_szErrMsg(nullptr) {}
errmsg_exceptionW::errmsg_exceptionW(const wchar_t* message) noexcept : m_szErrMsg(DupW(message)) {}
errmsg_exceptionW::errmsg_exceptionW(const errmsg_exceptionW& other) noexcept
    : std::exception(other), m_szErrMsg(DupW(other.m_szErrMsg)) {}
errmsg_exceptionW& errmsg_exceptionW::operator=(const errmsg_exceptionW& other) noexcept {
  if (this != &other) SetErrorMessage(other.m_szErrMsg);
  return *this;
}
errmsg_exceptionW::~errmsg_exceptionW() noexcept { free(m_szErrMsg); }
const char* errmsg_exceptionW::what() const noexcept { return "errmsg_exceptionW"; }
const wchar_t* errmsg_exceptionW::GetErrorMessage() const noexcept {
  return m_szErrMsg ? m_szErrMsg : L"NULL";
}
void errmsg_exceptionW::SetErrorMessage(const wchar_t* message) noexcept {
  wchar_t* copy = DupW(message);
  free(m_szErrMsg);
  m_szErrMsg = copy;
}

// ---- varerrmsg_exceptionA / W ----

varerrmsg_exceptionA::varerrmsg_exceptionA(const char* format, ...) noexcept {
  va_list ap;
  va_start(ap, format);
  SetErrorMessageV(format, ap);
  va_end(ap);
}
varerrmsg_exceptionA::varerrmsg_exceptionA(const char* format, va_list args) noexcept {
  SetErrorMessageV(format, args);
}
void varerrmsg_exceptionA::SetErrorMessageV(const char* format, va_list args) noexcept {
  if (!format) {
    SetErrorMessage(nullptr);
    return;
  }
  char buf[kFormatChars];
  // The CRT leaves a cut result unterminated: terminate it here.
  _vsnprintf(buf, kFormatChars - 1, format, args);
  buf[kFormatChars - 1] = 0;
  SetErrorMessage(buf);
}
void varerrmsg_exceptionA::SetErrorMessageF(const char* format, ...) noexcept {
  va_list ap;
  va_start(ap, format);
  SetErrorMessageV(format, ap);
  va_end(ap);
}

varerrmsg_exceptionW::varerrmsg_exceptionW(const wchar_t* format, ...) noexcept {
  va_list ap;
  va_start(ap, format);
  SetErrorMessageV(format, ap);
  va_end(ap);
}
varerrmsg_exceptionW::varerrmsg_exceptionW(const wchar_t* format, va_list args) noexcept {
  SetErrorMessageV(format, args);
}
const char* varerrmsg_exceptionW::what() const noexcept { return "varerrmsg_exceptionW"; }
void varerrmsg_exceptionW::SetErrorMessageV(const wchar_t* format, va_list args) noexcept {
  if (!format) {
    SetErrorMessage(nullptr);
    return;
  }
  wchar_t buf[kFormatChars];
  _vsnwprintf(buf, kFormatChars - 1, format, args);
  buf[kFormatChars - 1] = 0;
  SetErrorMessage(buf);
}
void varerrmsg_exceptionW::SetErrorMessageF(const wchar_t* format, ...) noexcept {
  va_list ap;
  va_start(ap, format);
  SetErrorMessageV(format, ap);
  va_end(ap);
}

const char* httpclientexceptionW::what() const noexcept { return "httpclientexceptionW"; }

// ---- throw routines ----

void ThrowByCodeA(DWORD code) { throw httpclientexceptionA(GetHttpErrorTextA(code), code, 0); }

void ThrowWithTextA(const char* text, DWORD code) { throw httpclientexceptionA(text, code, 0); }

void ThrowSystemErrorA(DWORD code, DWORD win32, const char* arg) {
  if (!arg) throw httpclientexceptionA(GetHttpErrorTextA(code), code, win32);
  char buf[kFormatChars];
  FormatCodeText(buf, GetHttpErrorTextA(code), arg);
  throw httpclientexceptionA(buf, code, win32);
}

void ThrowWideAsNarrow(const wchar_t* text, DWORD code, DWORD win32) {
  char* narrow = WideToAnsi(text);
  httpclientexceptionA e(narrow, code, win32);
  free(narrow);
  throw e;
}

void ThrowArithmeticErrorA(DWORD cause) { ThrowByCodeA(ArithmeticCode(cause)); }

void ThrowByCodeW(DWORD code) { throw httpclientexceptionW(GetHttpErrorTextW(code), code, 0); }

void ThrowWithTextW(const wchar_t* text, DWORD code) { throw httpclientexceptionW(text, code, 0); }

void ThrowSystemErrorW(DWORD code, DWORD win32, const wchar_t* arg) {
  if (!arg) throw httpclientexceptionW(GetHttpErrorTextW(code), code, win32);
  wchar_t buf[kFormatChars];
  FormatCodeText(buf, GetHttpErrorTextW(code), arg);
  throw httpclientexceptionW(buf, code, win32);
}

void ThrowNarrowAsWide(const char* text, DWORD code, DWORD win32) {
  wchar_t* wide = AnsiToWide(text);
  httpclientexceptionW e(wide, code, win32);
  free(wide);
  throw e;
}

void ThrowArithmeticErrorW(DWORD cause) { ThrowByCodeW(ArithmeticCode(cause)); }

// ---- error-text helpers ----

namespace {

template <class C>
size_t Len(const C* s) {
  size_t n = 0;
  while (s && s[n]) ++n;
  return n;
}

// prefix + text into buffer, cut to cch - 1 characters.
template <class C>
void PutText(C* buffer, DWORD cch, const C* prefix, const C* text) {
  if (!buffer || cch == 0) return;
  size_t n = 0;
  for (const C* p = prefix; p && *p && n + 1 < cch; ++p) buffer[n++] = *p;
  for (const C* p = text; p && *p && n + 1 < cch; ++p) buffer[n++] = *p;
  buffer[n] = 0;
}

void FormatSystemA(DWORD code, HMODULE module, char* buffer, DWORD cch, const char* prefix) {
  char* text = nullptr;
  DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  if (module) flags |= FORMAT_MESSAGE_FROM_HMODULE;
  if (FormatMessageA(flags, module, code, 0, (char*)&text, 0, nullptr) && text) {
    PutText(buffer, cch, prefix, text);
  } else {
    char fallback[96];
    _snprintf(fallback, sizeof fallback - 1, "Error Code is %lu, FormatMessage Error Code is %lu",
              (unsigned long)code, (unsigned long)GetLastError());
    fallback[sizeof fallback - 1] = 0;
    PutText(buffer, cch, prefix, fallback);
  }
  if (text) LocalFree(text);
}

void FormatSystemW(DWORD code, HMODULE module, wchar_t* buffer, DWORD cch, const wchar_t* prefix) {
  wchar_t* text = nullptr;
  DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  if (module) flags |= FORMAT_MESSAGE_FROM_HMODULE;
  if (FormatMessageW(flags, module, code, 0, (wchar_t*)&text, 0, nullptr) && text) {
    PutText(buffer, cch, prefix, text);
  } else {
    wchar_t fallback[96];
    _snwprintf(fallback, 95, L"Error Code is %lu, FormatMessage Error Code is %lu", (unsigned long)code,
               (unsigned long)GetLastError());
    fallback[95] = 0;
    PutText(buffer, cch, prefix, fallback);
  }
  if (text) LocalFree(text);
}

HMODULE WinInetModule() { return GetModuleHandleW(L"wininet.dll"); }

}  // namespace

void GetErrorMessageTextA(DWORD code, char* buffer, DWORD cch, const char* prefix) {
  FormatSystemA(code, nullptr, buffer, cch, prefix);
}
void GetErrorMessageTextW(DWORD code, wchar_t* buffer, DWORD cch, const wchar_t* prefix) {
  FormatSystemW(code, nullptr, buffer, cch, prefix);
}
void GetLastErrorMessageA(char* buffer, DWORD cch, const char* prefix) {
  FormatSystemA(GetLastError(), nullptr, buffer, cch, prefix);
}
void GetLastErrorMessageW(wchar_t* buffer, DWORD cch, const wchar_t* prefix) {
  FormatSystemW(GetLastError(), nullptr, buffer, cch, prefix);
}
void GetWinInetErrorMessageA(DWORD code, char* buffer, DWORD cch, const char* prefix) {
  FormatSystemA(code, WinInetModule(), buffer, cch, prefix);
}
void GetWinInetErrorMessageW(DWORD code, wchar_t* buffer, DWORD cch, const wchar_t* prefix) {
  FormatSystemW(code, WinInetModule(), buffer, cch, prefix);
}
void GetWinInetLastErrorMessageA(char* buffer, DWORD cch, const char* prefix) {
  FormatSystemA(GetLastError(), WinInetModule(), buffer, cch, prefix);
}
void GetWinInetLastErrorMessageW(wchar_t* buffer, DWORD cch, const wchar_t* prefix) {
  FormatSystemW(GetLastError(), WinInetModule(), buffer, cch, prefix);
}

BOOL GetComErrorMessageW(IErrorInfo* errorInfo, wchar_t* buffer, DWORD cch, const wchar_t* prefix) {
  IErrorInfo* info = errorInfo;
  if (!info) {
    if (GetErrorInfo(0, &info) != S_OK || !info) {
      PutText(buffer, cch, prefix, L"Failed to get a IErrorInfo interface.");
      return FALSE;
    }
  }
  BSTR description = nullptr;
  BOOL ok = SUCCEEDED(info->GetDescription(&description)) && description;
  PutText(buffer, cch, prefix, ok ? description : L"Failed to get a error message from IErrorInfo");
  SysFreeString(description);
  if (!errorInfo) info->Release();
  return ok;
}

BOOL GetComErrorMessageA(IErrorInfo* errorInfo, char* buffer, DWORD cch, const char* prefix) {
  IErrorInfo* info = errorInfo;
  if (!info) {
    if (GetErrorInfo(0, &info) != S_OK || !info) {
      PutText(buffer, cch, prefix, "Failed to get a IErrorInfo interface.");
      return FALSE;
    }
  }
  BSTR description = nullptr;
  BOOL ok = SUCCEEDED(info->GetDescription(&description)) && description;
  if (!ok) {
    PutText(buffer, cch, prefix, "Failed to get a error message from IErrorInfo");
  } else {
    char* narrow = WideToAnsi(description);
    if (narrow) {
      PutText(buffer, cch, prefix, narrow);
      free(narrow);
    } else {
      PutText(buffer, cch, prefix, "Failed to convert a COM error message to ANSI");
      ok = FALSE;
    }
  }
  SysFreeString(description);
  if (!errorInfo) info->Release();
  return ok;
}

HRESULT SetComErrorInfoW(const wchar_t* description, const wchar_t* source, const GUID* guid,
                         const wchar_t* helpFile, DWORD helpContext) {
  ICreateErrorInfo* create = nullptr;
  HRESULT hr = CreateErrorInfo(&create);
  if (FAILED(hr)) return hr;
  if (guid && FAILED(hr = create->SetGUID(*guid))) goto done;
  if (source && FAILED(hr = create->SetSource(const_cast<wchar_t*>(source)))) goto done;
  if (description && FAILED(hr = create->SetDescription(const_cast<wchar_t*>(description)))) goto done;
  if (helpFile && FAILED(hr = create->SetHelpFile(const_cast<wchar_t*>(helpFile)))) goto done;
  if (FAILED(hr = create->SetHelpContext(helpContext))) goto done;
  {
    IErrorInfo* info = nullptr;
    hr = create->QueryInterface(IID_IErrorInfo, (void**)&info);
    if (SUCCEEDED(hr)) {
      hr = SetErrorInfo(0, info);
      info->Release();
    }
  }
done:
  create->Release();
  return FAILED(hr) ? hr : 0;
}

HRESULT SetComErrorInfoA(const char* description, const char* source, const GUID* guid, const char* helpFile,
                         DWORD helpContext) {
  wchar_t* d = AnsiToWide(description);
  wchar_t* s = AnsiToWide(source);
  wchar_t* h = AnsiToWide(helpFile);
  HRESULT hr = (description && !d) || (source && !s) || (helpFile && !h)
                   ? E_OUTOFMEMORY
                   : SetComErrorInfoW(d, s, guid, h, helpContext);
  free(d);
  free(s);
  free(h);
  return hr;
}

}  // namespace Kestor
