#include "net/http/HttpEncoder.h"

#include <cstdio>
#include <cstring>
#include <cwchar>

namespace Kestor {
namespace {

const char kW[] = "CHttpEncoderW";
const char kA[] = "CHttpEncoderA";

bool IsAnsiClass(const char* cls) { return cls == kA; }

[[noreturn]] void Fail(const char* cls, const char* operation, const char* what) {
  char text[256];
  if (operation)
    _snprintf(text, sizeof text - 1, "%s::%s: %s", cls, operation, what);
  else
    _snprintf(text, sizeof text - 1, "%s", what);
  text[sizeof text - 1] = 0;
  if (IsAnsiClass(cls)) ThrowWithTextA(text, ErrNotSpecified);
  ThrowNarrowAsWide(text, ErrNotSpecified, 0);
}

[[noreturn]] void Code(const char* cls, DWORD code) {
  if (IsAnsiClass(cls)) ThrowByCodeA(code);
  ThrowByCodeW(code);
}

[[noreturn]] void System(const char* cls, DWORD code) {
  DWORD e = GetLastError();
  if (IsAnsiClass(cls)) ThrowSystemErrorA(code, e);
  ThrowSystemErrorW(code, e);
}

void CheckCodePage(const char* cls, const char* operation, UINT codePage) {
  if (codePage == CP_UTF8 || codePage == CP_UTF7)
    Fail(cls, operation, "CP_UTF8 and CP_UTF7 can not be used for the CodePage parameter.");
}

void CheckBuffer(const char* cls, const char* operation, const void* buffer) {
  if (!buffer) Fail(cls, operation, "szBuff can not be NULL.");
}

template <class C>
DWORD CheckedLength(const char* cls, const C* text) {
  size_t n = 0;
  while (text[n]) ++n;
  DWORD r;
  if (__builtin_add_overflow(n, (size_t)0, &r) || r == 0xFFFFFFFFu) {
    if (IsAnsiClass(cls)) ThrowArithmeticErrorA(kArithCauseOverflow);
    ThrowArithmeticErrorW(kArithCauseOverflow);
  }
  return r;
}

DWORD Add(const char* cls, DWORD a, DWORD b) {
  DWORD r;
  if (__builtin_add_overflow(a, b, &r)) {
    if (IsAnsiClass(cls)) ThrowArithmeticErrorA(kArithCauseOverflow);
    ThrowArithmeticErrorW(kArithCauseOverflow);
  }
  return r;
}

bool IsAlnum(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// ---- URL encoding of bytes ----

DWORD UrlEncodedBytesLen(const char* cls, const char* bytes) {
  if (!bytes) Fail(cls, nullptr, "_UrlEncodeLen: szStr can not be NULL.");
  DWORD n = 0;
  for (const unsigned char* p = (const unsigned char*)bytes; *p; ++p)
    n = Add(cls, n, (IsAlnum(*p) || *p == ' ') ? 1 : 3);
  return n;
}

// Appends the encoding of bytes to out at position pos (no terminator).
template <class C>
DWORD PutUrlEncoded(C* out, DWORD pos, const char* bytes) {
  static const char hex[] = "0123456789ABCDEF";
  for (const unsigned char* p = (const unsigned char*)bytes; *p; ++p) {
    if (IsAlnum(*p)) {
      out[pos++] = (C)*p;
    } else if (*p == ' ') {
      out[pos++] = (C)'+';
    } else {
      out[pos++] = (C)'%';
      out[pos++] = (C)hex[*p >> 4];
      out[pos++] = (C)hex[*p & 15];
    }
  }
  return pos;
}

// One UTF-16 unit in the code page, with a terminator (at most 6 bytes).
void UnitToBytes(const char* cls, wchar_t unit, UINT codePage, char (&bytes)[7]) {
  wchar_t text[2] = {unit, 0};
  if (WideCharToMultiByte(codePage, 0, text, -1, bytes, 7, nullptr, nullptr) <= 0)
    System(cls, ErrWideCharToMultiByte);
}

// ---- URL decoding ----

int HexValue(unsigned c) {
  if (c >= '0' && c <= '9') return (int)(c - '0');
  if (c >= 'A' && c <= 'F') return (int)(c - 'A' + 10);
  if (c >= 'a' && c <= 'f') return (int)(c - 'a' + 10);
  return -1;
}

const int kEnd = -1;
const int kInvalid = -2;

// Next decoded byte of an encoded text.
template <class C>
int NextEncodedByte(const C*& p) {
  if (!*p) return kEnd;
  unsigned c = (unsigned)*p;
  if (c == '+') {
    ++p;
    return ' ';
  }
  if (c == '%') {
    int hi = HexValue((unsigned)p[1]);
    if (hi < 0) return kInvalid;
    int lo = HexValue((unsigned)p[2]);
    if (lo < 0) return kInvalid;
    p += 3;
    return hi * 16 + lo;
  }
  ++p;
  return (int)(c & 0xFF);
}

// Next plain byte of a UTF-8 text.
int NextPlainByte(const char*& p) {
  if (!*p) return kEnd;
  return (unsigned char)*p++;
}

// Bytes of a UTF-8 sequence that starts with first; 0 when first cannot
// start one.
int Utf8SequenceLength(int first) {
  if (first < 0x80) return 1;
  if (first >= 0xC0 && first <= 0xDF) return 2;
  if (first >= 0xE0 && first <= 0xEF) return 3;
  if (first >= 0xF0 && first <= 0xF7) return 4;
  if (first >= 0xF8 && first <= 0xFB) return 5;
  if (first == 0xFC || first == 0xFD) return 6;
  return 0;
}

// Reads one UTF-8 sequence through next() into seq (terminated); false at
// the end of the text; throws invalidCode on a bad sequence.
template <class Next>
bool ReadUtf8Sequence(const char* cls, Next next, DWORD invalidCode, char (&seq)[8]) {
  int first = next();
  if (first == kEnd) return false;
  if (first == kInvalid) Code(cls, invalidCode);
  int n = Utf8SequenceLength(first);
  if (n == 0) Code(cls, invalidCode);
  seq[0] = (char)first;
  for (int i = 1; i < n; ++i) {
    int b = next();
    if (b < 0x80 || b > 0xBF) Code(cls, invalidCode);
    seq[i] = (char)b;
  }
  seq[n] = 0;
  return true;
}

// A UTF-8 sequence to exactly one UTF-16 unit.
wchar_t Utf8SequenceToUnit(const char* cls, const char* seq) {
  wchar_t out[2] = {0, 0};
  if (MultiByteToWideChar(CP_UTF8, 0, seq, -1, out, 2) <= 0) System(cls, ErrMultiByteToWideChar);
  return out[0];
}

DWORD Utf8CharToAnsiChar(const char* cls, const char* operation, char* ansiChar, const char* utf8Char,
                         UINT codePage) {
  if (!ansiChar || !utf8Char) Fail(cls, operation, "szAnsiChar and szUtf8Char can not be NULL.");
  wchar_t wide[2] = {0, 0};
  if (MultiByteToWideChar(CP_UTF8, 0, utf8Char, -1, wide, 2) <= 0) System(cls, ErrMultiByteToWideChar);
  if (WideCharToMultiByte(codePage, 0, wide, -1, ansiChar, 3, nullptr, nullptr) <= 0)
    System(cls, ErrWideCharToMultiByte);
  return (DWORD)strlen(ansiChar);
}

// Decodes an encoded text character by character. Each character is handed
// to sink as 8-bit bytes (count) and as one UTF-16 unit.
template <class C, class Sink>
void UrlDecodeChars(const char* cls, const C* encoded, BOOL utf8, UINT codePage, bool wantWide, Sink sink) {
  if (!encoded) return;
  const C* p = encoded;
  auto next = [&p]() { return NextEncodedByte(p); };
  for (;;) {
    char bytes[8] = {};
    DWORD count = 0;
    wchar_t unit = 0;
    if (utf8) {
      char seq[8];
      if (!ReadUtf8Sequence(cls, next, ErrInvalidEncodedUrl, seq)) return;
      if (wantWide) {
        unit = Utf8SequenceToUnit(cls, seq);
      } else {
        count = Utf8CharToAnsiChar(cls, "_Utf8CharToAnsiChar", bytes, seq, codePage);
      }
    } else {
      int b = next();
      if (b == kEnd) return;
      if (b == kInvalid) Code(cls, ErrInvalidEncodedUrl);
      bytes[count++] = (char)b;
      if (IsDBCSLeadByteEx(codePage, (BYTE)b)) {
        int t = next();
        if (t < 0) Code(cls, ErrInvalidEncodedUrl);
        bytes[count++] = (char)t;
      }
      if (wantWide && MultiByteToWideChar(codePage, 0, bytes, (int)count, &unit, 1) <= 0)
        System(cls, ErrMultiByteToWideChar);
    }
    sink(bytes, count, unit);
  }
}

template <class C>
DWORD UrlDecodeLen(const char* cls, const C* encoded, BOOL utf8, UINT codePage, bool wide) {
  DWORD n = 0;
  UrlDecodeChars(cls, encoded, utf8, codePage, wide,
                 [&](const char*, DWORD count, wchar_t) { n = Add(cls, n, wide ? 1 : count); });
  return n;
}

template <class C>
char* UrlDecodeNarrow(const char* cls, char* buffer, const C* encoded, BOOL utf8, UINT codePage) {
  CheckBuffer(cls, "UrlDecodeA", buffer);
  DWORD pos = 0;
  UrlDecodeChars(cls, encoded, utf8, codePage, false, [&](const char* bytes, DWORD count, wchar_t) {
    for (DWORD i = 0; i < count; ++i) buffer[pos++] = bytes[i];
  });
  buffer[pos] = 0;
  return buffer;
}

template <class C>
wchar_t* UrlDecodeWide(const char* cls, wchar_t* buffer, const C* encoded, BOOL utf8, UINT codePage) {
  CheckBuffer(cls, "UrlDecodeW", buffer);
  DWORD pos = 0;
  UrlDecodeChars(cls, encoded, utf8, codePage, true,
                 [&](const char*, DWORD, wchar_t unit) { buffer[pos++] = unit; });
  buffer[pos] = 0;
  return buffer;
}

// Characters of an 8-bit text in a code page: one byte, or two from a lead
// byte (a lead byte at the end stands alone).
template <class Fn>
void ForEachAnsiChar(const char* text, UINT codePage, Fn fn) {
  for (const char* p = text; p && *p;) {
    char ch[3] = {p[0], 0, 0};
    if (IsDBCSLeadByteEx(codePage, (BYTE)p[0]) && p[1]) {
      ch[1] = p[1];
      p += 2;
    } else {
      p += 1;
    }
    fn(ch);
  }
}

}  // namespace

// ---------------- CHttpEncoderW ----------------

DWORD CHttpEncoderW::AnsiEncodeLen(const wchar_t* text, UINT codePage) {
  CheckCodePage(kW, "AnsiEncodeLen", codePage);
  if (!text || !*text) return 0;
  int n = WideCharToMultiByte(codePage, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) System(kW, ErrWideCharToMultiByte);
  return (DWORD)n - 1;
}

char* CHttpEncoderW::AnsiEncode(char* buffer, const wchar_t* text, UINT codePage) {
  CheckCodePage(kW, "AnsiEncode", codePage);
  CheckBuffer(kW, "AnsiEncode", buffer);
  DWORD len = AnsiEncodeLen(text, codePage);
  buffer[0] = 0;
  if (len && WideCharToMultiByte(codePage, 0, text, -1, buffer, (int)len + 1, nullptr, nullptr) <= 0)
    System(kW, ErrWideCharToMultiByte);
  return buffer;
}

DWORD CHttpEncoderW::AnsiDecodeLen(const char* text, UINT codePage) {
  CheckCodePage(kW, "AnsiDecodeLen", codePage);
  if (!text || !*text) return 0;
  int n = MultiByteToWideChar(codePage, 0, text, -1, nullptr, 0);
  if (n <= 0) System(kW, ErrMultiByteToWideChar);
  return (DWORD)n - 1;
}

wchar_t* CHttpEncoderW::AnsiDecode(wchar_t* buffer, const char* text, UINT codePage) {
  CheckCodePage(kW, "AnsiDecode", codePage);
  CheckBuffer(kW, "AnsiDecode", buffer);
  DWORD len = AnsiDecodeLen(text, codePage);
  buffer[0] = 0;
  if (len && MultiByteToWideChar(codePage, 0, text, -1, buffer, (int)len + 1) <= 0)
    System(kW, ErrMultiByteToWideChar);
  return buffer;
}

DWORD CHttpEncoderW::Utf8EncodeLen(const wchar_t* text, UINT) {
  if (!text || !*text) return 0;
  int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) System(kW, ErrWideCharToMultiByte);
  return (DWORD)n - 1;
}

char* CHttpEncoderW::Utf8Encode(char* buffer, const wchar_t* text, UINT) {
  CheckBuffer(kW, "Utf8Encode", buffer);
  DWORD len = Utf8EncodeLen(text);
  buffer[0] = 0;
  if (len && WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer, (int)len + 1, nullptr, nullptr) <= 0)
    System(kW, ErrWideCharToMultiByte);
  return buffer;
}

DWORD CHttpEncoderW::Utf8DecodeLen(const char* text) {
  if (!text || !*text) return 0;
  int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
  if (n <= 0) System(kW, ErrMultiByteToWideChar);
  return (DWORD)n - 1;
}

wchar_t* CHttpEncoderW::Utf8Decode(wchar_t* buffer, const char* text) {
  CheckBuffer(kW, "Utf8Decode", buffer);
  DWORD len = Utf8DecodeLen(text);
  buffer[0] = 0;
  if (len && MultiByteToWideChar(CP_UTF8, 0, text, -1, buffer, (int)len + 1) <= 0)
    System(kW, ErrMultiByteToWideChar);
  return buffer;
}

DWORD CHttpEncoderW::UrlEncodeLen(const wchar_t* text, BOOL utf8, UINT codePage) {
  if (!text) return 0;
  const UINT cp = utf8 ? CP_UTF8 : codePage;
  DWORD n = 0;
  for (const wchar_t* p = text; *p; ++p) {
    char bytes[7];
    UnitToBytes(kW, *p, cp, bytes);
    n = Add(kW, n, UrlEncodedBytesLen(kW, bytes));
  }
  return n;
}

char* CHttpEncoderW::UrlEncodeA(char* buffer, const wchar_t* text, BOOL utf8, UINT codePage) {
  CheckBuffer(kW, "UrlEncodeA", buffer);
  const UINT cp = utf8 ? CP_UTF8 : codePage;
  DWORD pos = 0;
  for (const wchar_t* p = text; p && *p; ++p) {
    char bytes[7];
    UnitToBytes(kW, *p, cp, bytes);
    pos = PutUrlEncoded(buffer, pos, bytes);
  }
  buffer[pos] = 0;
  return buffer;
}

wchar_t* CHttpEncoderW::UrlEncodeW(wchar_t* buffer, const wchar_t* text, BOOL utf8, UINT codePage) {
  CheckBuffer(kW, "UrlEncodeW", buffer);
  const UINT cp = utf8 ? CP_UTF8 : codePage;
  DWORD pos = 0;
  for (const wchar_t* p = text; p && *p; ++p) {
    char bytes[7];
    UnitToBytes(kW, *p, cp, bytes);
    pos = PutUrlEncoded(buffer, pos, bytes);
  }
  buffer[pos] = 0;
  return buffer;
}

DWORD CHttpEncoderW::UrlDecodeLenA(const wchar_t* encoded, BOOL utf8, UINT codePage) {
  return UrlDecodeLen(kW, encoded, utf8, codePage, false);
}
DWORD CHttpEncoderW::UrlDecodeLenW(const wchar_t* encoded, BOOL utf8, UINT codePage) {
  return UrlDecodeLen(kW, encoded, utf8, codePage, true);
}
char* CHttpEncoderW::UrlDecodeA(char* buffer, const wchar_t* encoded, BOOL utf8, UINT codePage) {
  return UrlDecodeNarrow(kW, buffer, encoded, utf8, codePage);
}
wchar_t* CHttpEncoderW::UrlDecodeW(wchar_t* buffer, const wchar_t* encoded, BOOL utf8, UINT codePage) {
  return UrlDecodeWide(kW, buffer, encoded, utf8, codePage);
}

DWORD CHttpEncoderW::_UrlEncodeLen(const char* bytes) { return UrlEncodedBytesLen(kW, bytes); }

char* CHttpEncoderW::_UrlEncode(char* buffer, const char* bytes) {
  CheckBuffer(kW, "_UrlEncode", buffer);
  buffer[bytes ? PutUrlEncoded(buffer, 0, bytes) : 0] = 0;
  return buffer;
}

DWORD CHttpEncoderW::_Utf8CharToAnsiChar(char* ansiChar, const char* utf8Char, UINT codePage) {
  return Utf8CharToAnsiChar(kW, "_Utf8CharToAnsiChar", ansiChar, utf8Char, codePage);
}

// ---------------- CHttpEncoderA ----------------

DWORD CHttpEncoderA::AnsiEncodeLen(const char* text, UINT) { return text ? CheckedLength(kA, text) : 0; }

char* CHttpEncoderA::AnsiEncode(char* buffer, const char* text, UINT) {
  CheckBuffer(kA, "AnsiEncode", buffer);
  DWORD len = AnsiEncodeLen(text);
  if (len) memcpy(buffer, text, len);
  buffer[len] = 0;
  return buffer;
}

DWORD CHttpEncoderA::AnsiDecodeLen(const char* text, UINT) { return AnsiEncodeLen(text); }

char* CHttpEncoderA::AnsiDecode(char* buffer, const char* text, UINT) {
  CheckBuffer(kA, "AnsiDecode", buffer);
  return AnsiEncode(buffer, text);
}

DWORD CHttpEncoderA::Utf8EncodeLen(const char* text, UINT codePage) {
  DWORD n = 0;
  ForEachAnsiChar(text, codePage, [&](const char* ch) {
    char utf8[7];
    n = Add(kA, n, _AnsiCharToUtf8Char(utf8, ch, codePage));
  });
  return n;
}

char* CHttpEncoderA::Utf8Encode(char* buffer, const char* text, UINT codePage) {
  CheckBuffer(kA, "Utf8Encode", buffer);
  DWORD pos = 0;
  ForEachAnsiChar(text, codePage, [&](const char* ch) {
    char utf8[7];
    DWORD n = _AnsiCharToUtf8Char(utf8, ch, codePage);
    memcpy(buffer + pos, utf8, n);
    pos += n;
  });
  buffer[pos] = 0;
  return buffer;
}

DWORD CHttpEncoderA::Utf8DecodeLen(const char* text, UINT codePage) {
  DWORD n = 0;
  const char* p = text;
  if (!p) return 0;
  char seq[8];
  while (ReadUtf8Sequence(
      kA, [&p]() { return NextPlainByte(p); }, ErrInvalidUtf8, seq)) {
    char ansi[3];
    n = Add(kA, n, _Utf8CharToAnsiChar(ansi, seq, codePage));
  }
  return n;
}

char* CHttpEncoderA::Utf8Decode(char* buffer, const char* text, UINT codePage) {
  CheckBuffer(kA, "Utf8Decode", buffer);
  DWORD pos = 0;
  const char* p = text;
  char seq[8];
  while (p && ReadUtf8Sequence(
                  kA, [&p]() { return NextPlainByte(p); }, ErrInvalidUtf8, seq)) {
    char ansi[3];
    DWORD n = _Utf8CharToAnsiChar(ansi, seq, codePage);
    memcpy(buffer + pos, ansi, n);
    pos += n;
  }
  buffer[pos] = 0;
  return buffer;
}

DWORD CHttpEncoderA::UrlEncodeLen(const char* text, BOOL utf8, UINT codePage) {
  if (!text) return 0;
  if (!utf8) return UrlEncodedBytesLen(kA, text);
  DWORD n = 0;
  ForEachAnsiChar(text, codePage, [&](const char* ch) {
    char bytes[7];
    _AnsiCharToUtf8Char(bytes, ch, codePage);
    n = Add(kA, n, UrlEncodedBytesLen(kA, bytes));
  });
  return n;
}

namespace {
template <class C>
C* UrlEncodeFromAnsi(C* buffer, const char* text, BOOL utf8, UINT codePage) {
  DWORD pos = 0;
  if (text && !utf8) {
    pos = PutUrlEncoded(buffer, 0, text);
  } else if (text) {
    ForEachAnsiChar(text, codePage, [&](const char* ch) {
      char bytes[7];
      CHttpEncoderA::_AnsiCharToUtf8Char(bytes, ch, codePage);
      pos = PutUrlEncoded(buffer, pos, bytes);
    });
  }
  buffer[pos] = 0;
  return buffer;
}
}  // namespace

char* CHttpEncoderA::UrlEncodeA(char* buffer, const char* text, BOOL utf8, UINT codePage) {
  CheckBuffer(kA, "UrlEncodeA", buffer);
  return UrlEncodeFromAnsi(buffer, text, utf8, codePage);
}

wchar_t* CHttpEncoderA::UrlEncodeW(wchar_t* buffer, const char* text, BOOL utf8, UINT codePage) {
  CheckBuffer(kA, "UrlEncodeW", buffer);
  return UrlEncodeFromAnsi(buffer, text, utf8, codePage);
}

DWORD CHttpEncoderA::UrlDecodeLenA(const char* encoded, BOOL utf8, UINT codePage) {
  return UrlDecodeLen(kA, encoded, utf8, codePage, false);
}
DWORD CHttpEncoderA::UrlDecodeLenW(const char* encoded, BOOL utf8, UINT codePage) {
  return UrlDecodeLen(kA, encoded, utf8, codePage, true);
}
char* CHttpEncoderA::UrlDecodeA(char* buffer, const char* encoded, BOOL utf8, UINT codePage) {
  return UrlDecodeNarrow(kA, buffer, encoded, utf8, codePage);
}
wchar_t* CHttpEncoderA::UrlDecodeW(wchar_t* buffer, const char* encoded, BOOL utf8, UINT codePage) {
  return UrlDecodeWide(kA, buffer, encoded, utf8, codePage);
}

DWORD CHttpEncoderA::_UrlEncodeLen(const char* bytes) { return UrlEncodedBytesLen(kA, bytes); }

char* CHttpEncoderA::_UrlEncode(char* buffer, const char* bytes) {
  CheckBuffer(kA, "_UrlEncode", buffer);
  buffer[bytes ? PutUrlEncoded(buffer, 0, bytes) : 0] = 0;
  return buffer;
}

DWORD CHttpEncoderA::_AnsiCharToUtf8Char(char* utf8Char, const char* ansiChar, UINT codePage) {
  if (!utf8Char || !ansiChar) Fail(kA, "_AnsiCharToUtf8Char", "szUtf8Char and szAnsiChar can not be NULL.");
  wchar_t wide[2] = {0, 0};
  if (MultiByteToWideChar(codePage, 0, ansiChar, -1, wide, 2) <= 0) System(kA, ErrMultiByteToWideChar);
  if (WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8Char, 7, nullptr, nullptr) <= 0)
    System(kA, ErrWideCharToMultiByte);
  return (DWORD)strlen(utf8Char);
}

DWORD CHttpEncoderA::_Utf8CharToAnsiChar(char* ansiChar, const char* utf8Char, UINT codePage) {
  return Utf8CharToAnsiChar(kA, "_Utf8CharToAnsiChar", ansiChar, utf8Char, codePage);
}

}  // namespace Kestor
