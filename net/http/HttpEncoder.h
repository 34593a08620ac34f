// Text encoders of the HTTP client library: ANSI (a code page), UTF-8 and
// URL (form) encoding, for UTF-16 sources (CHttpEncoderW) and 8-bit sources
// in a code page (CHttpEncoderA).
//
// Every encoding writes into a caller's buffer that holds the matching
// length operation's result plus one terminator, and returns that buffer.
// Lengths are output characters without the terminator. A NULL or empty
// source gives length 0 and an empty result.
#pragma once
#include <windows.h>

#include "net/http/HttpError.h"

namespace Kestor {

class CHttpEncoderW {
 public:
  // CP_UTF8 and CP_UTF7 are refused as code pages here.
  static DWORD AnsiEncodeLen(const wchar_t* text, UINT codePage = CP_ACP);
  static char* AnsiEncode(char* buffer, const wchar_t* text, UINT codePage = CP_ACP);
  static DWORD AnsiDecodeLen(const char* text, UINT codePage = CP_ACP);
  static wchar_t* AnsiDecode(wchar_t* buffer, const char* text, UINT codePage = CP_ACP);

  static DWORD Utf8EncodeLen(const wchar_t* text, UINT codePage = CP_ACP);
  static char* Utf8Encode(char* buffer, const wchar_t* text, UINT codePage = CP_ACP);
  static DWORD Utf8DecodeLen(const char* text);
  static wchar_t* Utf8Decode(wchar_t* buffer, const char* text);

  // Letters and digits stay, the blank becomes "+", every other byte of the
  // text in CP_UTF8 (flag set) or the code page becomes "%XX".
  static DWORD UrlEncodeLen(const wchar_t* text, BOOL utf8 = TRUE, UINT codePage = CP_ACP);
  static char* UrlEncodeA(char* buffer, const wchar_t* text, BOOL utf8 = TRUE, UINT codePage = CP_ACP);
  static wchar_t* UrlEncodeW(wchar_t* buffer, const wchar_t* text, BOOL utf8 = TRUE, UINT codePage = CP_ACP);
  // Decoding; a bad escape or sequence throws 109.
  static DWORD UrlDecodeLenA(const wchar_t* encoded, BOOL utf8 = TRUE, UINT codePage = CP_ACP);
  static DWORD UrlDecodeLenW(const wchar_t* encoded, BOOL utf8 = TRUE, UINT codePage = CP_ACP);
  static char* UrlDecodeA(char* buffer, const wchar_t* encoded, BOOL utf8 = TRUE, UINT codePage = CP_ACP);
  static wchar_t* UrlDecodeW(wchar_t* buffer, const wchar_t* encoded, BOOL utf8 = TRUE,
                             UINT codePage = CP_ACP);

  // URL encoding of a byte string.
  static DWORD _UrlEncodeLen(const char* bytes);
  static char* _UrlEncode(char* buffer, const char* bytes);
  // One UTF-8 sequence to at most two bytes of the code page and a
  // terminator; returns the byte count.
  static DWORD _Utf8CharToAnsiChar(char* ansiChar, const char* utf8Char, UINT codePage);
};

class CHttpEncoderA {
 public:
  // The source already is ANSI: these copy it (the code page is not used).
  static DWORD AnsiEncodeLen(const char* text, UINT codePage = CP_ACP);
  static char* AnsiEncode(char* buffer, const char* text, UINT codePage = CP_ACP);
  static DWORD AnsiDecodeLen(const char* text, UINT codePage = CP_ACP);
  static char* AnsiDecode(char* buffer, const char* text, UINT codePage = CP_ACP);

  // One source character (one byte, or two from a lead byte) at a time.
  static DWORD Utf8EncodeLen(const char* text, UINT codePage = CP_ACP);
  static char* Utf8Encode(char* buffer, const char* text, UINT codePage = CP_ACP);
  // UTF-8 to the code page, one sequence at a time; bad UTF-8 throws 110.
  static DWORD Utf8DecodeLen(const char* text, UINT codePage = CP_ACP);
  static char* Utf8Decode(char* buffer, const char* text, UINT codePage = CP_ACP);

  static DWORD UrlEncodeLen(const char* text, BOOL utf8 = TRUE, UINT codePage = CP_ACP);
  static char* UrlEncodeA(char* buffer, const char* text, BOOL utf8 = TRUE, UINT codePage = CP_ACP);
  static wchar_t* UrlEncodeW(wchar_t* buffer, const char* text, BOOL utf8 = TRUE, UINT codePage = CP_ACP);
  static DWORD UrlDecodeLenA(const char* encoded, BOOL utf8 = TRUE, UINT codePage = CP_ACP);
  static DWORD UrlDecodeLenW(const char* encoded, BOOL utf8 = TRUE, UINT codePage = CP_ACP);
  static char* UrlDecodeA(char* buffer, const char* encoded, BOOL utf8 = TRUE, UINT codePage = CP_ACP);
  static wchar_t* UrlDecodeW(wchar_t* buffer, const char* encoded, BOOL utf8 = TRUE, UINT codePage = CP_ACP);

  static DWORD _UrlEncodeLen(const char* bytes);
  static char* _UrlEncode(char* buffer, const char* bytes);
  // One ANSI character (one or two bytes) to its UTF-8 bytes (at most six
  // and a terminator); returns the byte count.
  static DWORD _AnsiCharToUtf8Char(char* utf8Char, const char* ansiChar, UINT codePage);
  static DWORD _Utf8CharToAnsiChar(char* ansiChar, const char* utf8Char, UINT codePage);
};

}  // namespace Kestor
