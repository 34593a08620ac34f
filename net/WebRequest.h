// Small web exchanges outside the HTTP client library: a short text fetched
// with GET (WinINet with the system's proxy settings, then direct, then a
// plain socket) and a form body posted with its reply read back. All of
// them block; callers run them on worker threads. Every failure shows as
// an empty text or FALSE.
#pragma once
#include <windows.h>
#include <wininet.h>

#include <string>

// Replies are short: a GET keeps at most this many bytes, and a POST reply
// that declares more than kMaxPostReplyBytes is not read at all.
const DWORD kMaxGetReplyBytes = 4096;
const DWORD kMaxPostReplyBytes = 65536;

// HttpGetString (20 s), then SocketGetString (20 s) when that gave nothing.
std::wstring GetStringFromUrl(const wchar_t* url, BOOL utf8);
// The body of a 2xx reply, decoded as UTF-8 (flag set) or in the thread's
// ANSI code page; tried with the configured proxy, then directly.
std::wstring HttpGetString(const wchar_t* url, BOOL utf8, DWORD timeoutMs);
// Plain HTTP over a socket: only a reply holding a brace-delimited object
// yields text (from the first "{" of the body to the next "}").
std::wstring SocketGetString(const wchar_t* url, DWORD timeoutMs);
// Posts body as "application/x-www-form-urlencoded". TRUE when the request
// was sent. The reply of a 2xx answer with a Content-Length is decoded into
// *reply (when given); otherwise *reply is left unchanged.
BOOL HttpPostForm(const wchar_t* url, const void* body, DWORD length, std::wstring* reply, BOOL utf8);
std::wstring Utf8ToWideString(const char* text);

// An http or https address taken apart: host, path with its query (and
// fragment), port and scheme. The parts may be as long as capacity
// characters (0: as long as the address). False for other schemes.
struct WebUrlParts {
  std::wstring host;
  std::wstring object;
  INTERNET_PORT port;
  bool secure;
};
bool CrackWebUrl(const wchar_t* url, DWORD capacity, WebUrlParts& parts);

// Sets the connect, send and receive time-outs of a WinINet handle (the
// request and connection handles honour them; 0 leaves the defaults).
void SetWebTimeouts(HINTERNET handle, DWORD ms);
// Connect, send and receive time-out of HttpPostForm and of the crash-dump
// upload (20 s by default).
void SetPostFormTimeout(DWORD ms);
DWORD GetPostFormTimeout();
