// Exceptions of the HTTP client library, its error codes and texts, the
// routines through which every library class throws, checked size
// arithmetic, and free helpers that format system error texts.
//
// Every class of the library comes in an 8-bit (A) and a UTF-16 (W) form;
// the A form throws httpclientexceptionA, the W form httpclientexceptionW.
#pragma once
#include <windows.h>
#include <oaidl.h>

#include <cstdarg>
#include <exception>

namespace Kestor {

enum : DWORD {
  ErrNotSpecified = 0,
  ErrUnexpected = 100,
  ErrOutOfRange = 101,
  ErrOutOfMemory = 102,
  ErrInvalidUrl = 103,
  ErrPostNotStarted = 104,
  ErrFileReadShort = 105,
  ErrPostNotFinished = 106,
  ErrInvalidPort = 107,
  ErrStdException = 108,
  ErrInvalidEncodedUrl = 109,
  ErrInvalidUtf8 = 110,
  ErrArithmetic = 111,
  ErrArithmeticOverflow = 112,
  ErrDivideByZero = 113,
  ErrFileExists = 114,
  ErrHttpQueryInfo = 400,
  ErrInternetReadFile = 401,
  ErrInternetOpen = 402,
  ErrInternetConnect = 403,
  ErrHttpOpenRequest = 404,
  ErrHttpAddRequestHeaders = 405,
  ErrHttpSendRequest = 406,
  ErrHttpSendRequestEx = 407,
  ErrInternetWriteFile = 408,
  ErrHttpEndRequest = 409,
  ErrInternetSetOption = 410,
  ErrWideCharToMultiByte = 600,
  ErrMultiByteToWideChar = 601,
  ErrReadFile = 602,
  ErrOpenFile = 603,
  ErrSetFilePointer = 604,
  ErrGetFileSize = 605,
  ErrWriteFile = 606,
  ErrUserDefined = 1000,
};

// Causes that the arithmetic translation knows: the system codes of an
// integer division by zero and of an arithmetic overflow.
const DWORD kArithCauseDivideByZero = 0xC0000094;
const DWORD kArithCauseOverflow = ERROR_ARITHMETIC_OVERFLOW;  // 534

// Fixed text of a library error code. A code that the table lacks (such as
// 150 or 620) gives "Unknown error.".
const char* GetHttpErrorTextA(DWORD code);
const wchar_t* GetHttpErrorTextW(DWORD code);

class errmsg_exceptionA : public std::exception {
 public:
  errmsg_exceptionA() noexcept;
  explicit errmsg_exceptionA(const char* message) noexcept;
  errmsg_exceptionA(const errmsg_exceptionA& other) noexcept;
  errmsg_exceptionA& operator=(const errmsg_exceptionA& other) noexcept;
  virtual ~errmsg_exceptionA() noexcept;
  // The stored message, or "NULL" when there is none.
  const char* what() const noexcept override;
  virtual const char* GetErrorMessage() const noexcept;
  // Stores a heap copy (none for NULL, or when the copy cannot be made).
  virtual void SetErrorMessage(const char* message) noexcept;

 protected:
  char* m_szErrMsg;
};

class errmsg_exceptionW : public std::exception {
 public:
  errmsg_exceptionW() noexcept;
  explicit errmsg_exceptionW(const wchar_t* message) noexcept;
  errmsg_exceptionW(const errmsg_exceptionW& other) noexcept;
  errmsg_exceptionW& operator=(const errmsg_exceptionW& other) noexcept;
  virtual ~errmsg_exceptionW() noexcept;
  // The class name; the text is GetErrorMessage's.
  const char* what() const noexcept override;
  virtual const wchar_t* GetErrorMessage() const noexcept;
  virtual void SetErrorMessage(const wchar_t* message) noexcept;

 protected:
  wchar_t* m_szErrMsg;
};

class varerrmsg_exceptionA : public errmsg_exceptionA {
 public:
  varerrmsg_exceptionA() noexcept {}
  explicit varerrmsg_exceptionA(const char* format, ...) noexcept;
  varerrmsg_exceptionA(const char* format, va_list args) noexcept;
  // Formats into 512 characters (a longer result is cut to 511).
  virtual void SetErrorMessageV(const char* format, va_list args) noexcept;
  virtual void SetErrorMessageF(const char* format, ...) noexcept;
};

class varerrmsg_exceptionW : public errmsg_exceptionW {
 public:
  varerrmsg_exceptionW() noexcept {}
  explicit varerrmsg_exceptionW(const wchar_t* format, ...) noexcept;
  varerrmsg_exceptionW(const wchar_t* format, va_list args) noexcept;
  const char* what() const noexcept override;
  virtual void SetErrorMessageV(const wchar_t* format, va_list args) noexcept;
  virtual void SetErrorMessageF(const wchar_t* format, ...) noexcept;
};

class httpclientexceptionA : public errmsg_exceptionA {
 public:
  httpclientexceptionA() noexcept : m_dwErrorCode(0), m_dwWin32LastError(0) {}
  httpclientexceptionA(const char* message, DWORD code, DWORD win32) noexcept
      : errmsg_exceptionA(message), m_dwErrorCode(code), m_dwWin32LastError(win32) {}
  DWORD GetErrorCode() const noexcept { return m_dwErrorCode; }
  DWORD GetWin32Error() const noexcept { return m_dwWin32LastError; }

 private:
  DWORD m_dwErrorCode;
  DWORD m_dwWin32LastError;
};

class httpclientexceptionW : public errmsg_exceptionW {
 public:
  httpclientexceptionW() noexcept : m_dwErrorCode(0), m_dwWin32LastError(0) {}
  httpclientexceptionW(const wchar_t* message, DWORD code, DWORD win32) noexcept
      : errmsg_exceptionW(message), m_dwErrorCode(code), m_dwWin32LastError(win32) {}
  const char* what() const noexcept override;
  DWORD GetErrorCode() const noexcept { return m_dwErrorCode; }
  DWORD GetWin32Error() const noexcept { return m_dwWin32LastError; }

 private:
  DWORD m_dwErrorCode;
  DWORD m_dwWin32LastError;
};

// Throw routines. ThrowSystemError with an argument formats the code's text
// with it (one string argument, at most 511 characters, always terminated).
[[noreturn]] void ThrowByCodeA(DWORD code);
[[noreturn]] void ThrowWithTextA(const char* text, DWORD code);
[[noreturn]] void ThrowSystemErrorA(DWORD code, DWORD win32, const char* arg = nullptr);
[[noreturn]] void ThrowWideAsNarrow(const wchar_t* text, DWORD code, DWORD win32);
[[noreturn]] void ThrowArithmeticErrorA(DWORD cause);
[[noreturn]] void ThrowByCodeW(DWORD code);
[[noreturn]] void ThrowWithTextW(const wchar_t* text, DWORD code);
[[noreturn]] void ThrowSystemErrorW(DWORD code, DWORD win32, const wchar_t* arg = nullptr);
[[noreturn]] void ThrowNarrowAsWide(const char* text, DWORD code, DWORD win32);
[[noreturn]] void ThrowArithmeticErrorW(DWORD cause);

// Checked unsigned 32-bit size arithmetic: an overflow throws code 112 in
// the exception class of the caller's kind.
template <bool Ansi>
[[noreturn]] inline void ThrowArithmetic(DWORD cause) {
  if (Ansi) ThrowArithmeticErrorA(cause);
  ThrowArithmeticErrorW(cause);
}
template <bool Ansi>
inline DWORD SafeAdd(DWORD a, DWORD b) {
  DWORD r;
  if (__builtin_add_overflow(a, b, &r)) ThrowArithmetic<Ansi>(kArithCauseOverflow);
  return r;
}
template <bool Ansi>
inline DWORD SafeSub(DWORD a, DWORD b) {
  DWORD r;
  if (__builtin_sub_overflow(a, b, &r)) ThrowArithmetic<Ansi>(kArithCauseOverflow);
  return r;
}
template <bool Ansi>
inline DWORD SafeMul(DWORD a, DWORD b) {
  DWORD r;
  if (__builtin_mul_overflow(a, b, &r)) ThrowArithmetic<Ansi>(kArithCauseOverflow);
  return r;
}
// A length that must fit 32 bits.
template <bool Ansi>
inline DWORD SafeDword(size_t n) {
  DWORD r;
  if (__builtin_add_overflow(n, (size_t)0, &r)) ThrowArithmetic<Ansi>(kArithCauseOverflow);
  return r;
}
// Bytes of (characters + 1) characters of size charSize.
template <bool Ansi>
inline DWORD SafeBufferBytes(size_t chars, DWORD charSize) {
  return SafeMul<Ansi>(SafeAdd<Ansi>(SafeDword<Ansi>(chars), 1), charSize);
}

// Error-text helpers: write an error's text behind an optional prefix into
// a caller's buffer of cch characters, cut to fit (always terminated).
void GetErrorMessageTextA(DWORD code, char* buffer, DWORD cch, const char* prefix = nullptr);
void GetErrorMessageTextW(DWORD code, wchar_t* buffer, DWORD cch, const wchar_t* prefix = nullptr);
void GetLastErrorMessageA(char* buffer, DWORD cch, const char* prefix = nullptr);
void GetLastErrorMessageW(wchar_t* buffer, DWORD cch, const wchar_t* prefix = nullptr);
void GetWinInetErrorMessageA(DWORD code, char* buffer, DWORD cch, const char* prefix = nullptr);
void GetWinInetErrorMessageW(DWORD code, wchar_t* buffer, DWORD cch, const wchar_t* prefix = nullptr);
void GetWinInetLastErrorMessageA(char* buffer, DWORD cch, const char* prefix = nullptr);
void GetWinInetLastErrorMessageW(wchar_t* buffer, DWORD cch, const wchar_t* prefix = nullptr);
// The description of errorInfo, or of the thread's current COM error object
// when errorInfo is NULL. True when a description was obtained (and, in the
// 8-bit form, converted).
BOOL GetComErrorMessageA(IErrorInfo* errorInfo, char* buffer, DWORD cch, const char* prefix = nullptr);
BOOL GetComErrorMessageW(IErrorInfo* errorInfo, wchar_t* buffer, DWORD cch, const wchar_t* prefix = nullptr);
// Sets the thread's COM error object; the first failing HRESULT, or 0.
HRESULT SetComErrorInfoW(const wchar_t* description, const wchar_t* source = nullptr,
                         const GUID* guid = nullptr, const wchar_t* helpFile = nullptr,
                         DWORD helpContext = 0);
HRESULT SetComErrorInfoA(const char* description, const char* source = nullptr, const GUID* guid = nullptr,
                         const char* helpFile = nullptr, DWORD helpContext = 0);

}  // namespace Kestor
