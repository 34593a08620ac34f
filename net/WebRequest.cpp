#include <winsock2.h>
#include <ws2tcpip.h>

#include "net/WebRequest.h"

#include <wininet.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "core/Helpers.h"
#include "core/Log.h"

namespace {

volatile LONG g_postTimeoutMs = 20000;
const DWORD kGetTimeoutMs = 20000;

std::wstring Decode(const char* bytes, BOOL utf8) {
  return utf8 ? Utf8ToWideString(bytes) : CStringFromAnsi(bytes);
}

DWORD StatusOf(HINTERNET request) {
  DWORD status = 0, size = sizeof status;
  if (!HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr))
    return 0;
  return status;
}

bool IsSuccess(DWORD status) { return status >= 200 && status < 300; }

// Reads until count bytes or the end of the body; the bytes read.
DWORD ReadUpTo(HINTERNET request, char* buffer, DWORD count) {
  DWORD total = 0;
  while (total < count) {
    DWORD got = 0;
    if (!InternetReadFile(request, buffer + total, count - total, &got) || got == 0) break;
    total += got;
  }
  return total;
}

// Internet handle, connection and request for one exchange, each with the
// time-outs set before anything is sent.
struct Exchange {
  HINTERNET inet = nullptr, conn = nullptr, request = nullptr;
  ~Exchange() {
    if (request) InternetCloseHandle(request);
    if (conn) InternetCloseHandle(conn);
    if (inet) InternetCloseHandle(inet);
  }
  bool Open(const WebUrlParts& parts, DWORD accessType, const wchar_t* verb, DWORD flags, DWORD timeoutMs) {
    inet = InternetOpenW(L"", accessType, nullptr, nullptr, 0);
    if (!inet) return false;
    SetWebTimeouts(inet, timeoutMs);
    conn =
        InternetConnectW(inet, parts.host.c_str(), parts.port, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0);
    if (!conn) return false;
    SetWebTimeouts(conn, timeoutMs);
    request = HttpOpenRequestW(conn, verb, parts.object.c_str(), nullptr, nullptr, nullptr,
                               flags | (parts.secure ? INTERNET_FLAG_SECURE : 0), 0);
    if (!request) return false;
    SetWebTimeouts(request, timeoutMs);
    return true;
  }
};

std::wstring GetOnce(const wchar_t* url, BOOL utf8, DWORD timeoutMs, DWORD accessType) {
  std::wstring text;
  WebUrlParts parts;
  if (!CrackWebUrl(url, 2048, parts)) return text;
  Exchange x;
  // Always from the server: a cached answer would hide a new reply.
  if (!x.Open(parts, accessType, L"GET", INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, timeoutMs) ||
      !HttpSendRequestW(x.request, nullptr, 0, nullptr, 0))
    return text;
  // Only a successful answer is a reply; an error page is not.
  if (IsSuccess(StatusOf(x.request))) {
    char buffer[kMaxGetReplyBytes + 1] = {};
    ReadUpTo(x.request, buffer, kMaxGetReplyBytes);
    text = Decode(buffer, utf8);
  }
  return text;
}

std::string ToAnsi(const std::wstring& text) {
  int n = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string out((size_t)n, '\0');
  WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, &out[0], n, nullptr, nullptr);
  out.resize((size_t)n - 1);
  return out;
}

// True once a raw reply holds its whole body: as many bytes as its
// Content-Length says, or the last chunk of a chunked body. A reply with
// neither ends when the server closes.
bool ReplyComplete(const std::string& reply) {
  size_t end = reply.find("\r\n\r\n");
  if (end == std::string::npos) return false;
  std::string head = reply.substr(0, end + 2);
  for (char& c : head) c = (char)tolower((unsigned char)c);
  const size_t body = reply.size() - (end + 4);
  size_t at = head.find("\r\ncontent-length:");
  if (at != std::string::npos) return body >= strtoul(head.c_str() + at + 17, nullptr, 10);
  if (head.find("\r\ntransfer-encoding: chunked") != std::string::npos)
    return reply.compare(reply.size() >= 5 ? reply.size() - 5 : 0, 5, "0\r\n\r\n") == 0;
  return false;
}

// The body of a chunked reply with its framing removed (as far as it came).
std::string Dechunk(const std::string& raw) {
  std::string body;
  size_t pos = 0;
  while (pos < raw.size()) {
    size_t eol = raw.find("\r\n", pos);
    if (eol == std::string::npos) break;
    unsigned long size = strtoul(raw.substr(pos, eol - pos).c_str(), nullptr, 16);
    if (size == 0 || size > raw.size()) break;
    pos = eol + 2;
    body.append(raw, pos, (size_t)size);
    pos += (size_t)size + 2;
  }
  return body;
}

// The brace-delimited object of a raw HTTP reply, or empty. Only a 2xx
// answer counts: an error page is no reply.
std::wstring BracedObject(const std::string& reply) {
  size_t end = reply.find("\r\n\r\n");
  if (end == std::string::npos) return std::wstring();
  if (reply.compare(0, 5, "HTTP/") != 0) return std::wstring();
  size_t space = reply.find(' ');
  if (space == std::string::npos || space > end || reply[space + 1] != '2') return std::wstring();
  std::string head = reply.substr(0, end);
  for (char& c : head) c = (char)tolower((unsigned char)c);
  std::string body = reply.substr(end + 4);
  // An HTTP/1.1 server may send its body in chunks.
  if (head.find("\r\ntransfer-encoding: chunked") != std::string::npos) body = Dechunk(body);
  size_t open = body.find('{');
  if (open == std::string::npos) return std::wstring();
  size_t close = body.find('}', open);
  if (close == std::string::npos) return std::wstring();
  return CStringFromAnsi(body.substr(open, close - open + 1).c_str());
}

}  // namespace

bool CrackWebUrl(const wchar_t* url, DWORD capacity, WebUrlParts& parts) {
  if (!url) return false;
  if (capacity == 0) capacity = (DWORD)wcslen(url) + 1;
  std::vector<wchar_t> host(capacity), path(capacity), extra(capacity);
  URL_COMPONENTSW uc;
  memset(&uc, 0, sizeof uc);
  uc.dwStructSize = sizeof uc;
  uc.lpszHostName = host.data();
  uc.dwHostNameLength = capacity;
  uc.lpszUrlPath = path.data();
  uc.dwUrlPathLength = capacity;
  uc.lpszExtraInfo = extra.data();
  uc.dwExtraInfoLength = capacity;
  if (!InternetCrackUrlW(url, 0, 0, &uc)) return false;
  if (uc.nScheme != INTERNET_SCHEME_HTTP && uc.nScheme != INTERNET_SCHEME_HTTPS) return false;
  parts.host = host.data();
  parts.object = std::wstring(path.data()) + extra.data();
  if (parts.object.empty()) parts.object = L"/";
  parts.port = uc.nPort;
  parts.secure = uc.nScheme == INTERNET_SCHEME_HTTPS;
  return !parts.host.empty();
}

void SetWebTimeouts(HINTERNET handle, DWORD ms) {
  if (ms == 0 || !handle) return;
  InternetSetOptionW(handle, INTERNET_OPTION_CONNECT_TIMEOUT, &ms, sizeof ms);
  InternetSetOptionW(handle, INTERNET_OPTION_SEND_TIMEOUT, &ms, sizeof ms);
  InternetSetOptionW(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, &ms, sizeof ms);
}

void SetPostFormTimeout(DWORD ms) { InterlockedExchange(&g_postTimeoutMs, (LONG)ms); }
DWORD GetPostFormTimeout() { return (DWORD)g_postTimeoutMs; }

std::wstring Utf8ToWideString(const char* text) {
  if (!text) return std::wstring();
  int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
  if (n <= 0) return std::wstring();
  wchar_t* buffer = (wchar_t*)calloc((size_t)n + 1, sizeof(wchar_t));
  if (!buffer) return std::wstring();
  MultiByteToWideChar(CP_UTF8, 0, text, -1, buffer, n);
  std::wstring out(buffer);
  free(buffer);
  return out;
}

std::wstring HttpGetString(const wchar_t* url, BOOL utf8, DWORD timeoutMs) {
  if (!url) return std::wstring();
  try {
    std::wstring text = GetOnce(url, utf8, timeoutMs, INTERNET_OPEN_TYPE_PRECONFIG);
    if (text.empty()) text = GetOnce(url, utf8, timeoutMs, INTERNET_OPEN_TYPE_DIRECT);
    return text;
  } catch (...) {
    return std::wstring();
  }
}

std::wstring SocketGetString(const wchar_t* url, DWORD timeoutMs) {
  WebUrlParts parts;
  // A plain socket speaks no TLS: https addresses stay with WinINet.
  if (!CrackWebUrl(url, 2048, parts) || parts.secure) return std::wstring();
  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return std::wstring();
  std::wstring text;
  SOCKET s = INVALID_SOCKET;
  try {
    s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s != INVALID_SOCKET) {
      if (timeoutMs) {
        DWORD t = timeoutMs;
        setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, (const char*)&t, sizeof t);
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, (const char*)&t, sizeof t);
      }
      std::string host = ToAnsi(parts.host);
      sockaddr_in addr;
      memset(&addr, 0, sizeof addr);
      addr.sin_family = AF_INET;
      addr.sin_port = htons(parts.port);
      addr.sin_addr.s_addr = inet_addr(host.c_str());
      bool resolved = addr.sin_addr.s_addr != INADDR_NONE;
      if (!resolved) {
        addrinfo hints, *found = nullptr;
        memset(&hints, 0, sizeof hints);
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        if (getaddrinfo(host.c_str(), nullptr, &hints, &found) == 0 && found) {
          addr.sin_addr = ((sockaddr_in*)found->ai_addr)->sin_addr;
          resolved = true;
        }
        if (found) freeaddrinfo(found);
      }
      if (resolved && connect(s, (sockaddr*)&addr, sizeof addr) == 0) {
        std::string request =
            "GET " + ToAnsi(parts.object) + " HTTP/1.1\r\nHOST:" + host + "\r\nConnection: Close\r\n\r\n";
        if (send(s, request.data(), (int)request.size(), 0) == (int)request.size()) {
          // Until the reply is complete, the server closes, or 4095 bytes came.
          char buffer[4096];
          int total = 0;
          for (;;) {
            int got = recv(s, buffer + total, 4095 - total, 0);
            if (got <= 0) break;
            total += got;
            if (total >= 4095 || ReplyComplete(std::string(buffer, (size_t)total))) break;
          }
          if (total > 0) text = BracedObject(std::string(buffer, (size_t)total));
        }
      }
    }
  } catch (...) {
    WriteFileLog(L"GetStringFromUrl except.");
    text.clear();
  }
  if (s != INVALID_SOCKET) closesocket(s);
  WSACleanup();
  return text;
}

std::wstring GetStringFromUrl(const wchar_t* url, BOOL utf8) {
  std::wstring text = HttpGetString(url, utf8, kGetTimeoutMs);
  if (text.empty()) text = SocketGetString(url, kGetTimeoutMs);
  return text;
}

BOOL HttpPostForm(const wchar_t* url, const void* body, DWORD length, std::wstring* reply, BOOL utf8) {
  WebUrlParts parts;
  if (!CrackWebUrl(url, 260, parts)) return FALSE;
  BOOL sent = FALSE;
  char* buffer = nullptr;
  try {
    Exchange x;
    if (x.Open(parts, INTERNET_OPEN_TYPE_PRECONFIG, L"POST", INTERNET_FLAG_EXISTING_CONNECT,
               GetPostFormTimeout())) {
      // Headers, body and end in separate steps: WinINet then never sends the
      // body a second time on a fresh connection when a reused one is
      // dropped before the answer, so a report arrives at most once.
      static const wchar_t kType[] = L"Content-Type: application/x-www-form-urlencoded";
      INTERNET_BUFFERSW buffers;
      memset(&buffers, 0, sizeof buffers);
      buffers.dwStructSize = sizeof buffers;
      buffers.lpcszHeader = kType;
      buffers.dwHeadersLength = (DWORD)wcslen(kType);
      buffers.dwBufferTotal = length;
      sent = HttpSendRequestExW(x.request, &buffers, nullptr, 0, 0);
      for (DWORD done = 0; sent && done < length;) {
        DWORD written = 0;
        sent = InternetWriteFile(x.request, (const BYTE*)body + done, length - done, &written) && written;
        done += written;
      }
      sent = sent && HttpEndRequestW(x.request, nullptr, 0, 0);
    }
    if (sent && reply && IsSuccess(StatusOf(x.request))) {
      DWORD declared = 0, size = sizeof declared;
      // The declared size is capped before anything is allocated for it.
      if (HttpQueryInfoW(x.request, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &declared, &size,
                         nullptr) &&
          declared != 0 && declared <= kMaxPostReplyBytes) {
        buffer = (char*)calloc((size_t)declared + 1, 1);
        // A reply cut short is no reply.
        if (buffer && ReadUpTo(x.request, buffer, declared) == declared) *reply = Decode(buffer, utf8);
      }
    }
  } catch (...) {
  }
  free(buffer);
  return sent;
}
