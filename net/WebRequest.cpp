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

void SetTimeouts(HINTERNET handle, DWORD ms) {
  if (ms == 0) return;
  InternetSetOptionW(handle, INTERNET_OPTION_CONNECT_TIMEOUT, &ms, sizeof ms);
  InternetSetOptionW(handle, INTERNET_OPTION_SEND_TIMEOUT, &ms, sizeof ms);
  InternetSetOptionW(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, &ms, sizeof ms);
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

std::wstring GetOnce(const wchar_t* url, BOOL utf8, DWORD timeoutMs, DWORD accessType) {
  std::wstring text;
  HINTERNET inet = InternetOpenW(L"", accessType, nullptr, nullptr, 0);
  if (!inet) return text;
  SetTimeouts(inet, timeoutMs);
  // Always from the server: a cached answer would hide a new reply.
  HINTERNET request =
      InternetOpenUrlW(inet, url, nullptr, 0, INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, 0);
  if (request) {
    // Only a successful answer is a reply; an error page is not.
    if (IsSuccess(StatusOf(request))) {
      char buffer[kMaxGetReplyBytes + 1] = {};
      ReadUpTo(request, buffer, kMaxGetReplyBytes);
      text = Decode(buffer, utf8);
    }
    InternetCloseHandle(request);
  }
  InternetCloseHandle(inet);
  return text;
}

struct UrlParts {
  std::wstring host;
  std::wstring object;  // path and query
  INTERNET_PORT port;
  bool secure;
};

bool CrackUrl(const wchar_t* url, DWORD capacity, UrlParts& parts) {
  if (!url) return false;
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

std::string ToAnsi(const std::wstring& text) {
  int n = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string out((size_t)n, '\0');
  WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, &out[0], n, nullptr, nullptr);
  out.resize((size_t)n - 1);
  return out;
}

// The brace-delimited object of a raw HTTP reply, or empty.
std::wstring BracedObject(const std::string& reply) {
  size_t body = reply.find("\r\n\r\n");
  if (body == std::string::npos) return std::wstring();
  size_t open = reply.find('{', body + 4);
  if (open == std::string::npos) return std::wstring();
  size_t close = reply.find('}', open);
  if (close == std::string::npos) return std::wstring();
  return CStringFromAnsi(reply.substr(open, close - open + 1).c_str());
}

}  // namespace

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
  UrlParts parts;
  // A plain socket speaks no TLS: https addresses stay with WinINet.
  if (!CrackUrl(url, 2048, parts) || parts.secure) return std::wstring();
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
        std::string request = "GET " + ToAnsi(parts.object) + " HTTP/1.1\r\nHOST:" + host +
                              "\r\nConnection: Close\r\n\r\n";
        if (send(s, request.data(), (int)request.size(), 0) == (int)request.size()) {
          // The server closes after its reply: read until then, at most 4095 bytes.
          char buffer[4096];
          int total = 0;
          for (;;) {
            int got = recv(s, buffer + total, 4095 - total, 0);
            if (got <= 0) break;
            total += got;
            if (total >= 4095) break;
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
  UrlParts parts;
  if (!CrackUrl(url, 260, parts)) return FALSE;
  BOOL sent = FALSE;
  HINTERNET inet = nullptr, conn = nullptr, request = nullptr;
  char* buffer = nullptr;
  try {
    inet = InternetOpenW(L"", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (inet) {
      SetTimeouts(inet, GetPostFormTimeout());
      conn = InternetConnectW(inet, parts.host.c_str(), parts.port, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0);
    }
    if (conn) {
      DWORD flags = INTERNET_FLAG_EXISTING_CONNECT | (parts.secure ? INTERNET_FLAG_SECURE : 0);
      request = HttpOpenRequestW(conn, L"POST", parts.object.c_str(), nullptr, nullptr, nullptr, flags, 0);
    }
    if (request) {
      sent = HttpSendRequestW(request, L"Content-Type: application/x-www-form-urlencoded", (DWORD)-1,
                              const_cast<void*>(body), length);
    }
    if (sent && reply && IsSuccess(StatusOf(request))) {
      DWORD declared = 0, size = sizeof declared;
      // The declared size is capped before anything is allocated for it.
      if (HttpQueryInfoW(request, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &declared, &size, nullptr) &&
          declared != 0 && declared <= kMaxPostReplyBytes) {
        buffer = (char*)calloc((size_t)declared + 1, 1);
        // A reply cut short is no reply.
        if (buffer && ReadUpTo(request, buffer, declared) == declared) *reply = Decode(buffer, utf8);
      }
    }
  } catch (...) {
  }
  free(buffer);
  if (request) InternetCloseHandle(request);
  if (conn) InternetCloseHandle(conn);
  if (inet) InternetCloseHandle(inet);
  return sent;
}
