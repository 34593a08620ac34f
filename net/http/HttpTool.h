// The character-kind traits of the HTTP client library: WinINet, local
// files, COM and string primitives for 8-bit (CHttpToolA) and UTF-16
// (CHttpToolW) texts. Every failure throws the library exception of the
// kind. Texts the tools return are malloc'ed and belong to the caller.
#pragma once
#include <windows.h>
#include <wininet.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "net/http/HttpError.h"

namespace Kestor {

class CHttpToolA {
 public:
  typedef char CharType;
  typedef httpclientexceptionA Exception;
  static bool IsAnsi() { return true; }
  // The literal of this kind out of an 8-bit/UTF-16 pair.
  static const char* Pick(const char* a, const wchar_t*) { return a; }

  [[noreturn]] static void ThrowByCode(DWORD code) { ThrowByCodeA(code); }
  [[noreturn]] static void ThrowWithText(const char* text, DWORD code = ErrNotSpecified) {
    ThrowWithTextA(text, code);
  }
  [[noreturn]] static void ThrowSystemError(DWORD code, DWORD win32, const char* arg = nullptr) {
    ThrowSystemErrorA(code, win32, arg);
  }
  [[noreturn]] static void ThrowArithmeticError(DWORD cause) { ThrowArithmeticErrorA(cause); }

  static size_t StringLength(const char* s) { return strlen(s); }
  static char* StringCopy(char* d, const char* s) { return strcpy(d, s); }
  static int StringICompare(const char* a, const char* b) { return _stricmp(a, b); }
  static int StringNICompare(const char* a, const char* b, size_t n) { return _strnicmp(a, b, n); }
  static bool IsLeadByte(UINT codePage, char c) { return IsDBCSLeadByteEx(codePage, (BYTE)c) != 0; }

  static char* Unicode2Ansi(const wchar_t* text, UINT codePage = CP_ACP);
  static wchar_t* Ansi2Unicode(const char* text, UINT codePage = CP_ACP);

  static HINTERNET OpenInternet(const char* agent, DWORD accessType, const char* proxy,
                                const char* proxyBypass, DWORD flags);
  static void CloseInternet(HINTERNET& handle);
  static void CloseConnection(HINTERNET& handle);
  static void CloseRequest(HINTERNET& handle);
  static HINTERNET OpenConnection(HINTERNET hInternet, const char* server, INTERNET_PORT port,
                                  const char* userName, const char* password);
  static HINTERNET OpenRequest(HINTERNET hConnection, const char* verb, const char* objectName, DWORD flags,
                               const char* referer, UINT codePage = CP_ACP);
  static BOOL AddHeader(HINTERNET hRequest, const char* name, const char* value, UINT codePage = CP_ACP);
  static BOOL SendRequest(HINTERNET hRequest, const char* postArgs, UINT codePage = CP_ACP);
  static BOOL SendRequestEx(HINTERNET hRequest, DWORD totalLength);
  static void InternetWriteFile(HINTERNET hRequest, const BYTE* buffer, DWORD count);
  static void EndRequest(HINTERNET hRequest);
  static BOOL SetOption(HINTERNET handle, DWORD option, void* buffer, DWORD length);

  static BOOL FileExists(const char* path);
  static HANDLE OpenFile(const char* path);
  static HANDLE CreateFileAlwaysToWrite(const char* path);
  // 32-bit size; a file of 4 GiB or more throws 112 (its size would not
  // fit a declared length).
  static DWORD GetFileSize(HANDLE hFile, const char* path);
  static char* GetMimeType(HANDLE hFile, UINT codePage = CP_ACP);

  static char* GetStatusText(HINTERNET hRequest);
  // The index-th value of a response header (index advanced by WinINet);
  // NULL when there is none.
  static char* GetHeader(HINTERNET hRequest, const char* name, DWORD* index = nullptr);
  static char* CreateUploadBoundary();
};

class CHttpToolW {
 public:
  typedef wchar_t CharType;
  typedef httpclientexceptionW Exception;
  static bool IsAnsi() { return false; }
  static const wchar_t* Pick(const char*, const wchar_t* w) { return w; }

  [[noreturn]] static void ThrowByCode(DWORD code) { ThrowByCodeW(code); }
  [[noreturn]] static void ThrowWithText(const wchar_t* text, DWORD code = ErrNotSpecified) {
    ThrowWithTextW(text, code);
  }
  [[noreturn]] static void ThrowSystemError(DWORD code, DWORD win32, const wchar_t* arg = nullptr) {
    ThrowSystemErrorW(code, win32, arg);
  }
  [[noreturn]] static void ThrowArithmeticError(DWORD cause) { ThrowArithmeticErrorW(cause); }

  static size_t StringLength(const wchar_t* s) { return wcslen(s); }
  static wchar_t* StringCopy(wchar_t* d, const wchar_t* s) { return wcscpy(d, s); }
  static int StringICompare(const wchar_t* a, const wchar_t* b) { return _wcsicmp(a, b); }
  static int StringNICompare(const wchar_t* a, const wchar_t* b, size_t n) { return _wcsnicmp(a, b, n); }
  static bool IsLeadByte(UINT, wchar_t) { return false; }

  static char* Unicode2Ansi(const wchar_t* text, UINT codePage = CP_ACP);
  static wchar_t* Ansi2Unicode(const char* text, UINT codePage = CP_ACP);

  static HINTERNET OpenInternet(const wchar_t* agent, DWORD accessType, const wchar_t* proxy,
                                const wchar_t* proxyBypass, DWORD flags);
  static void CloseInternet(HINTERNET& handle) { CHttpToolA::CloseInternet(handle); }
  static void CloseConnection(HINTERNET& handle) { CHttpToolA::CloseConnection(handle); }
  static void CloseRequest(HINTERNET& handle) { CHttpToolA::CloseRequest(handle); }
  static HINTERNET OpenConnection(HINTERNET hInternet, const wchar_t* server, INTERNET_PORT port,
                                  const wchar_t* userName, const wchar_t* password);
  static HINTERNET OpenRequest(HINTERNET hConnection, const wchar_t* verb, const wchar_t* objectName,
                               DWORD flags, const wchar_t* referer, UINT codePage = CP_ACP);
  static BOOL AddHeader(HINTERNET hRequest, const wchar_t* name, const wchar_t* value,
                        UINT codePage = CP_ACP);
  static BOOL SendRequest(HINTERNET hRequest, const wchar_t* postArgs, UINT codePage = CP_ACP);
  static BOOL SendRequestEx(HINTERNET hRequest, DWORD totalLength);
  static void InternetWriteFile(HINTERNET hRequest, const BYTE* buffer, DWORD count);
  static void EndRequest(HINTERNET hRequest);
  static BOOL SetOption(HINTERNET handle, DWORD option, void* buffer, DWORD length);

  static BOOL FileExists(const wchar_t* path);
  static HANDLE OpenFile(const wchar_t* path);
  static HANDLE CreateFileAlwaysToWrite(const wchar_t* path);
  static DWORD GetFileSize(HANDLE hFile, const wchar_t* path);
  static char* GetMimeType(HANDLE hFile, UINT codePage = CP_ACP);

  static wchar_t* GetStatusText(HINTERNET hRequest);
  static wchar_t* GetHeader(HINTERNET hRequest, const wchar_t* name, DWORD* index = nullptr);
  static wchar_t* CreateUploadBoundary();
};

// A malloc'ed copy of length characters of text, terminated: the one way
// the library copies texts. Code 102 when memory runs out, 112 when the size
// does not fit 32 bits.
template <class Tool>
typename Tool::CharType* HeapCopyText(const typename Tool::CharType* text, size_t length) {
  typedef typename Tool::CharType C;
  C* copy = (C*)malloc(SafeBufferBytes<sizeof(C) == 1>(length, sizeof(C)));
  if (!copy) Tool::ThrowByCode(ErrOutOfMemory);
  memcpy(copy, text, length * sizeof(C));
  copy[length] = 0;
  return copy;
}

// The library's own boundary, used when none could be made.
extern const char kDefaultBoundaryA[];
extern const wchar_t kDefaultBoundaryW[];
extern const char kDefaultUploadContentTypeA[];
extern const wchar_t kDefaultUploadContentTypeW[];

}  // namespace Kestor
