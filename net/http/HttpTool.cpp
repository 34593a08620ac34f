#include "net/http/HttpTool.h"

#include <objbase.h>
#include <urlmon.h>

#include <cstdio>
#include <cstdlib>

namespace Kestor {

const char kDefaultBoundaryA[] = "----KESTOR-00000000000000000000000000000000-";
const wchar_t kDefaultBoundaryW[] = L"----KESTOR-00000000000000000000000000000000-";
const char kDefaultUploadContentTypeA[] =
    "multipart/form-data; boundary=----KESTOR-00000000000000000000000000000000-";
const wchar_t kDefaultUploadContentTypeW[] =
    L"multipart/form-data; boundary=----KESTOR-00000000000000000000000000000000-";

namespace {

const char kOctetStream[] = "application/octet-stream";

// Argument checks: "<class>::<operation>: <what>", code 0. The W tool keeps
// its texts 8-bit and throws them through the narrow-to-wide routine.
[[noreturn]] void ArgFail(bool ansi, const char* operation, const char* what) {
  char text[256];
  _snprintf(text, sizeof text - 1, "%s::%s: %s", ansi ? "CHttpToolA" : "CHttpToolW", operation, what);
  text[sizeof text - 1] = 0;
  if (ansi) ThrowWithTextA(text, ErrNotSpecified);
  ThrowNarrowAsWide(text, ErrNotSpecified, 0);
}

void CheckCodePage(bool ansi, const char* operation, UINT codePage) {
  if (codePage == CP_UTF8 || codePage == CP_UTF7)
    ArgFail(ansi, operation, "CP_UTF8 and CP_UTF7 can not be used for the CodePage parameter.");
}

[[noreturn]] void SystemFail(bool ansi, DWORD code, DWORD win32) {
  if (ansi) ThrowSystemErrorA(code, win32);
  ThrowSystemErrorW(code, win32);
}

[[noreturn]] void OutOfMemory(bool ansi) {
  if (ansi) ThrowByCodeA(ErrOutOfMemory);
  ThrowByCodeW(ErrOutOfMemory);
}

char* Unicode2AnsiImpl(bool ansi, const wchar_t* text, UINT codePage) {
  CheckCodePage(ansi, "Unicode2Ansi", codePage);
  if (!text) return nullptr;
  int n = WideCharToMultiByte(codePage, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) SystemFail(ansi, ErrWideCharToMultiByte, GetLastError());
  char* out = (char*)malloc((size_t)n);
  if (!out) OutOfMemory(ansi);
  if (WideCharToMultiByte(codePage, 0, text, -1, out, n, nullptr, nullptr) <= 0) {
    DWORD e = GetLastError();
    free(out);
    SystemFail(ansi, ErrWideCharToMultiByte, e);
  }
  return out;
}

wchar_t* Ansi2UnicodeImpl(bool ansi, const char* text, UINT codePage) {
  CheckCodePage(ansi, "Ansi2Unicode", codePage);
  if (!text) return nullptr;
  int n = MultiByteToWideChar(codePage, 0, text, -1, nullptr, 0);
  if (n <= 0) SystemFail(ansi, ErrMultiByteToWideChar, GetLastError());
  wchar_t* out = (wchar_t*)malloc((size_t)n * sizeof(wchar_t));
  if (!out) OutOfMemory(ansi);
  if (MultiByteToWideChar(codePage, 0, text, -1, out, n) <= 0) {
    DWORD e = GetLastError();
    free(out);
    SystemFail(ansi, ErrMultiByteToWideChar, e);
  }
  return out;
}

char* DupNarrow(const char* s, bool ansi) {
  size_t n = strlen(s) + 1;
  char* p = (char*)malloc(n);
  if (!p) OutOfMemory(ansi);
  memcpy(p, s, n);
  return p;
}

void CloseHandleRef(HINTERNET& handle) {
  if (handle) {
    InternetCloseHandle(handle);
    handle = nullptr;
  }
}

BOOL SendRequestExImpl(bool ansi, HINTERNET hRequest, DWORD totalLength) {
  if (!hRequest) ArgFail(ansi, "SendRequestEx", "hRequest can not be NULL.");
  INTERNET_BUFFERSA buffers;
  memset(&buffers, 0, sizeof buffers);
  buffers.dwStructSize = sizeof buffers;
  buffers.dwBufferTotal = totalLength;
  if (!HttpSendRequestExA(hRequest, &buffers, nullptr, 0, 0))
    SystemFail(ansi, ErrHttpSendRequestEx, GetLastError());
  return TRUE;
}

void InternetWriteFileImpl(bool ansi, HINTERNET hRequest, const BYTE* buffer, DWORD count) {
  if (!hRequest) ArgFail(ansi, "InternetWriteFile", "hRequest can not be NULL.");
  if (!buffer) ArgFail(ansi, "InternetWriteFile", "pbyBuff can not be NULL.");
  if (count == 0) ArgFail(ansi, "InternetWriteFile", "cbyBuff can not be zero.");
  DWORD done = 0;
  while (done < count) {
    DWORD written = 0;
    if (!::InternetWriteFile(hRequest, buffer + done, count - done, &written))
      SystemFail(ansi, ErrInternetWriteFile, GetLastError());
    // A success that writes nothing would loop forever: count it a failure.
    if (written == 0) SystemFail(ansi, ErrInternetWriteFile, ERROR_WRITE_FAULT);
    done += written;
  }
}

void EndRequestImpl(bool ansi, HINTERNET hRequest) {
  if (!hRequest) ArgFail(ansi, "EndRequest", "hRequest can not be NULL.");
  if (!HttpEndRequestA(hRequest, nullptr, 0, 0)) SystemFail(ansi, ErrHttpEndRequest, GetLastError());
}

DWORD GetFileSizeImpl(bool ansi, HANDLE hFile, bool pathGiven) {
  if (!hFile) ArgFail(ansi, "GetFileSize", "hFile can not be NULL.");
  if (!pathGiven) ArgFail(ansi, "GetFileSize", "szFilePath can not be NULL.");
  DWORD high = 0;
  DWORD low = ::GetFileSize(hFile, &high);
  if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return INVALID_FILE_SIZE;
  if (high != 0) {
    // The body length is declared in 32 bits: refuse rather than send a
    // wrong length.
    if (ansi) ThrowArithmeticErrorA(kArithCauseOverflow);
    ThrowArithmeticErrorW(kArithCauseOverflow);
  }
  return low;
}

// "----TAVRO-" + 32 lower-case hex digits of a new GUID + "-" (43 characters).
bool FormatBoundary(char (&text)[44]) {
  GUID g;
  if (FAILED(CoCreateGuid(&g))) return false;
  _snprintf(text, 43, "----TAVRO-%.08lx%.04x%.04x%.02x%.02x%.02x%.02x%.02x%.02x%.02x%.02x-",
            (unsigned long)g.Data1, g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
            g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  text[43] = 0;
  return true;
}

}  // namespace

// ---------------- CHttpToolA ----------------

char* CHttpToolA::Unicode2Ansi(const wchar_t* text, UINT codePage) {
  return Unicode2AnsiImpl(true, text, codePage);
}
wchar_t* CHttpToolA::Ansi2Unicode(const char* text, UINT codePage) {
  return Ansi2UnicodeImpl(true, text, codePage);
}

HINTERNET CHttpToolA::OpenInternet(const char* agent, DWORD accessType, const char* proxy,
                                   const char* proxyBypass, DWORD flags) {
  HINTERNET h = InternetOpenA(agent, accessType, proxy, proxyBypass, flags);
  if (!h) ThrowSystemErrorA(ErrInternetOpen, GetLastError());
  return h;
}

void CHttpToolA::CloseInternet(HINTERNET& handle) { CloseHandleRef(handle); }
void CHttpToolA::CloseConnection(HINTERNET& handle) { CloseHandleRef(handle); }
void CHttpToolA::CloseRequest(HINTERNET& handle) { CloseHandleRef(handle); }

HINTERNET CHttpToolA::OpenConnection(HINTERNET hInternet, const char* server, INTERNET_PORT port,
                                     const char* userName, const char* password) {
  if (!hInternet) ArgFail(true, "OpenConnection", "hInternet can not be NULL.");
  if (!server) ArgFail(true, "OpenConnection", "szServerAddr can not be NULL.");
  if (!*server) ArgFail(true, "OpenConnection", "szServerAddr can not be an empty string.");
  HINTERNET h = InternetConnectA(hInternet, server, port, userName, password, INTERNET_SERVICE_HTTP, 0, 0);
  if (!h) ThrowSystemErrorA(ErrInternetConnect, GetLastError());
  return h;
}

HINTERNET CHttpToolA::OpenRequest(HINTERNET hConnection, const char* verb, const char* objectName,
                                  DWORD flags, const char* referer, UINT) {
  if (!hConnection) ArgFail(true, "OpenRequest", "hConnection can not be NULL.");
  if (!objectName) ArgFail(true, "OpenRequest", "szObjectName can not be NULL.");
  if (!*objectName) ArgFail(true, "OpenRequest", "szObjectName can not be an empty string.");
  const char* accept[] = {"*/*", nullptr};
  HINTERNET h = HttpOpenRequestA(hConnection, verb, objectName, "HTTP/1.1", referer, accept, flags, 0);
  if (!h) ThrowSystemErrorA(ErrHttpOpenRequest, GetLastError());
  return h;
}

BOOL CHttpToolA::AddHeader(HINTERNET hRequest, const char* name, const char* value, UINT) {
  if (!hRequest) ArgFail(true, "AddHeader", "hRequest can not be NULL.");
  if (!name) ArgFail(true, "AddHeader", "szName can not be NULL.");
  if (!value) value = "";
  DWORD size = SafeAdd<true>(SafeAdd<true>(SafeDword<true>(strlen(name)), SafeDword<true>(strlen(value))), 5);
  char* line = (char*)malloc(size);
  if (!line) ThrowByCodeA(ErrOutOfMemory);
  _snprintf(line, size, "%s: %s\r\n", name, value);
  line[size - 1] = 0;
  if (!HttpAddRequestHeadersA(hRequest, line, size - 1, HTTP_ADDREQ_FLAG_ADD)) {
    DWORD e = GetLastError();
    free(line);
    ThrowSystemErrorA(ErrHttpAddRequestHeaders, e);
  }
  free(line);
  return TRUE;
}

BOOL CHttpToolA::SendRequest(HINTERNET hRequest, const char* postArgs, UINT) {
  if (!hRequest) ArgFail(true, "SendRequest", "hRequest can not be NULL.");
  DWORD len = postArgs ? SafeDword<true>(strlen(postArgs)) : 0;
  if (!HttpSendRequestA(hRequest, nullptr, 0, (void*)postArgs, len))
    ThrowSystemErrorA(ErrHttpSendRequest, GetLastError());
  return TRUE;
}

BOOL CHttpToolA::SendRequestEx(HINTERNET hRequest, DWORD totalLength) {
  return SendRequestExImpl(true, hRequest, totalLength);
}
void CHttpToolA::InternetWriteFile(HINTERNET hRequest, const BYTE* buffer, DWORD count) {
  InternetWriteFileImpl(true, hRequest, buffer, count);
}
void CHttpToolA::EndRequest(HINTERNET hRequest) { EndRequestImpl(true, hRequest); }

BOOL CHttpToolA::SetOption(HINTERNET handle, DWORD option, void* buffer, DWORD length) {
  if (!InternetSetOptionA(handle, option, buffer, length))
    ThrowSystemErrorA(ErrInternetSetOption, GetLastError());
  return TRUE;
}

BOOL CHttpToolA::FileExists(const char* path) {
  if (!path) ArgFail(true, "FileExists", "szFilePath can not be NULL.");
  HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return FALSE;
  CloseHandle(h);
  return TRUE;
}

HANDLE CHttpToolA::OpenFile(const char* path) {
  if (!path) ArgFail(true, "OpenFile", "szFilePath can not be NULL.");
  return CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
}

HANDLE CHttpToolA::CreateFileAlwaysToWrite(const char* path) {
  if (!path) ArgFail(true, "CreateFileAlwaysToWrite", "szFilePath can not be NULL.");
  return CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

DWORD CHttpToolA::GetFileSize(HANDLE hFile, const char* path) {
  DWORD size = GetFileSizeImpl(true, hFile, path != nullptr);
  if (size == INVALID_FILE_SIZE) ThrowSystemErrorA(ErrGetFileSize, GetLastError(), path);
  return size;
}

char* CHttpToolA::GetMimeType(HANDLE hFile, UINT codePage) {
  if (!hFile) ArgFail(true, "GetMimeType", "hFile can not be NULL.");
  try {
    return CHttpToolW::GetMimeType(hFile, codePage);
  } catch (const httpclientexceptionW& e) {
    ThrowWideAsNarrow(e.GetErrorMessage(), e.GetErrorCode(), e.GetWin32Error());
  }
}

char* CHttpToolA::GetStatusText(HINTERNET hRequest) {
  if (!hRequest) ArgFail(true, "GetStatusText", "hRequest can not be NULL.");
  DWORD size = 0;
  if (!HttpQueryInfoA(hRequest, HTTP_QUERY_STATUS_TEXT, nullptr, &size, nullptr) &&
      GetLastError() != ERROR_INSUFFICIENT_BUFFER)
    ThrowSystemErrorA(ErrHttpQueryInfo, GetLastError());
  size = SafeAdd<true>(size, 1);
  char* text = (char*)calloc(size, 1);
  if (!text) ThrowByCodeA(ErrOutOfMemory);
  if (!HttpQueryInfoA(hRequest, HTTP_QUERY_STATUS_TEXT, text, &size, nullptr)) {
    DWORD e = GetLastError();
    free(text);
    ThrowSystemErrorA(ErrHttpQueryInfo, e);
  }
  return text;
}

char* CHttpToolA::GetHeader(HINTERNET hRequest, const char* name, DWORD* index) {
  if (!hRequest) ArgFail(true, "GetHeader", "hRequest can not be NULL.");
  if (!name) ArgFail(true, "GetHeader", "szName can not be NULL.");
  const DWORD nameBytes = SafeBufferBytes<true>(strlen(name), 1);
  DWORD size = nameBytes;
  const DWORD saved = index ? *index : 0;
  for (int attempt = 0; attempt < 2; ++attempt) {
    // HTTP_QUERY_CUSTOM reads the header name from the buffer.
    char* buffer = (char*)calloc(SafeAdd<true>(size > nameBytes ? size : nameBytes, 1), 1);
    if (!buffer) ThrowByCodeA(ErrOutOfMemory);
    strcpy(buffer, name);
    DWORD got = size;
    if (HttpQueryInfoA(hRequest, HTTP_QUERY_CUSTOM, buffer, &got, index)) return buffer;
    DWORD e = GetLastError();
    free(buffer);
    if (index) *index = saved;
    if (e == ERROR_HTTP_HEADER_NOT_FOUND) return nullptr;
    if (e != ERROR_INSUFFICIENT_BUFFER || attempt == 1) ThrowSystemErrorA(ErrHttpQueryInfo, e);
    size = got;
  }
  return nullptr;
}

char* CHttpToolA::CreateUploadBoundary() {
  char text[44];
  if (!FormatBoundary(text)) return nullptr;
  char* out = (char*)malloc(44);
  if (out) memcpy(out, text, 44);
  return out;
}

// ---------------- CHttpToolW ----------------

char* CHttpToolW::Unicode2Ansi(const wchar_t* text, UINT codePage) {
  return Unicode2AnsiImpl(false, text, codePage);
}
wchar_t* CHttpToolW::Ansi2Unicode(const char* text, UINT codePage) {
  return Ansi2UnicodeImpl(false, text, codePage);
}

HINTERNET CHttpToolW::OpenInternet(const wchar_t* agent, DWORD accessType, const wchar_t* proxy,
                                   const wchar_t* proxyBypass, DWORD flags) {
  HINTERNET h = InternetOpenW(agent, accessType, proxy, proxyBypass, flags);
  if (!h) ThrowSystemErrorW(ErrInternetOpen, GetLastError());
  return h;
}

HINTERNET CHttpToolW::OpenConnection(HINTERNET hInternet, const wchar_t* server, INTERNET_PORT port,
                                     const wchar_t* userName, const wchar_t* password) {
  if (!hInternet) ArgFail(false, "OpenConnection", "hInternet can not be NULL.");
  if (!server) ArgFail(false, "OpenConnection", "szServerAddr can not be NULL.");
  if (!*server) ArgFail(false, "OpenConnection", "szServerAddr can not be an empty string.");
  HINTERNET h = InternetConnectW(hInternet, server, port, userName, password, INTERNET_SERVICE_HTTP, 0, 0);
  if (!h) ThrowSystemErrorW(ErrInternetConnect, GetLastError());
  return h;
}

HINTERNET CHttpToolW::OpenRequest(HINTERNET hConnection, const wchar_t* verb, const wchar_t* objectName,
                                  DWORD flags, const wchar_t* referer, UINT codePage) {
  if (!hConnection) ArgFail(false, "OpenRequest", "hConnection can not be NULL.");
  if (!objectName) ArgFail(false, "OpenRequest", "szObjectName can not be NULL.");
  if (!*objectName) ArgFail(false, "OpenRequest", "szObjectName can not be an empty string.");
  CheckCodePage(false, "OpenRequest", codePage);
  char* v = Unicode2Ansi(verb, codePage);
  char* o = nullptr;
  char* r = nullptr;
  HINTERNET h = nullptr;
  try {
    o = Unicode2Ansi(objectName, codePage);
    r = Unicode2Ansi(referer, codePage);
    h = CHttpToolA::OpenRequest(hConnection, v, o, flags, r, codePage);
  } catch (const httpclientexceptionA& e) {
    free(v), free(o), free(r);
    ThrowNarrowAsWide(e.GetErrorMessage(), e.GetErrorCode(), e.GetWin32Error());
  } catch (...) {
    free(v), free(o), free(r);
    throw;
  }
  free(v), free(o), free(r);
  return h;
}

BOOL CHttpToolW::AddHeader(HINTERNET hRequest, const wchar_t* name, const wchar_t* value, UINT codePage) {
  if (!hRequest) ArgFail(false, "AddHeader", "hRequest can not be NULL.");
  if (!name) ArgFail(false, "AddHeader", "szName can not be NULL.");
  CheckCodePage(false, "AddHeader", codePage);
  char* n = Unicode2Ansi(name, codePage);
  char* v = nullptr;
  try {
    v = Unicode2Ansi(value, codePage);
    CHttpToolA::AddHeader(hRequest, n, v, codePage);
  } catch (const httpclientexceptionA& e) {
    free(n), free(v);
    ThrowNarrowAsWide(e.GetErrorMessage(), e.GetErrorCode(), e.GetWin32Error());
  } catch (...) {
    free(n), free(v);
    throw;
  }
  free(n), free(v);
  return TRUE;
}

BOOL CHttpToolW::SendRequest(HINTERNET hRequest, const wchar_t* postArgs, UINT codePage) {
  if (!hRequest) ArgFail(false, "SendRequest", "hRequest can not be NULL.");
  CheckCodePage(false, "SendRequest", codePage);
  char* args = Unicode2Ansi(postArgs, codePage);
  DWORD len = args ? (DWORD)strlen(args) : 0;
  if (!HttpSendRequestW(hRequest, nullptr, 0, args, len)) {
    DWORD e = GetLastError();
    free(args);
    ThrowSystemErrorW(ErrHttpSendRequest, e);
  }
  free(args);
  return TRUE;
}

BOOL CHttpToolW::SendRequestEx(HINTERNET hRequest, DWORD totalLength) {
  return SendRequestExImpl(false, hRequest, totalLength);
}
void CHttpToolW::InternetWriteFile(HINTERNET hRequest, const BYTE* buffer, DWORD count) {
  InternetWriteFileImpl(false, hRequest, buffer, count);
}
void CHttpToolW::EndRequest(HINTERNET hRequest) { EndRequestImpl(false, hRequest); }

BOOL CHttpToolW::SetOption(HINTERNET handle, DWORD option, void* buffer, DWORD length) {
  if (!InternetSetOptionW(handle, option, buffer, length))
    ThrowSystemErrorW(ErrInternetSetOption, GetLastError());
  return TRUE;
}

BOOL CHttpToolW::FileExists(const wchar_t* path) {
  if (!path) ArgFail(false, "FileExists", "szFilePath can not be NULL.");
  HANDLE h = CreateFileW(path, 0, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return FALSE;
  CloseHandle(h);
  return TRUE;
}

HANDLE CHttpToolW::OpenFile(const wchar_t* path) {
  if (!path) ArgFail(false, "OpenFile", "szFilePath can not be NULL.");
  return CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
}

HANDLE CHttpToolW::CreateFileAlwaysToWrite(const wchar_t* path) {
  if (!path) ArgFail(false, "CreateFileAlwaysToWrite", "szFilePath can not be NULL.");
  return CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

DWORD CHttpToolW::GetFileSize(HANDLE hFile, const wchar_t* path) {
  DWORD size = GetFileSizeImpl(false, hFile, path != nullptr);
  if (size == INVALID_FILE_SIZE) ThrowSystemErrorW(ErrGetFileSize, GetLastError(), path);
  return size;
}

char* CHttpToolW::GetMimeType(HANDLE hFile, UINT codePage) {
  if (!hFile) ArgFail(false, "GetMimeType", "hFile can not be NULL.");
  CheckCodePage(false, "GetMimeType", codePage);
  if (hFile == INVALID_HANDLE_VALUE) return DupNarrow(kOctetStream, false);
  BYTE head[256];
  DWORD got = 0;
  if (!ReadFile(hFile, head, sizeof head, &got, nullptr)) ThrowSystemErrorW(ErrReadFile, GetLastError());
  if (SetFilePointer(hFile, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR)
    ThrowSystemErrorW(ErrSetFilePointer, GetLastError());
  wchar_t* mime = nullptr;
  if (got == 0 || FAILED(FindMimeFromData(nullptr, nullptr, head, got, nullptr, 0, &mime, 0)) || !mime)
    return DupNarrow(kOctetStream, false);
  char* out = nullptr;
  try {
    out = Unicode2Ansi(mime, codePage);
  } catch (...) {
    CoTaskMemFree(mime);
    throw;
  }
  CoTaskMemFree(mime);
  return out;
}

wchar_t* CHttpToolW::GetStatusText(HINTERNET hRequest) {
  if (!hRequest) ArgFail(false, "GetStatusText", "hRequest can not be NULL.");
  DWORD size = 0;
  if (!HttpQueryInfoW(hRequest, HTTP_QUERY_STATUS_TEXT, nullptr, &size, nullptr) &&
      GetLastError() != ERROR_INSUFFICIENT_BUFFER)
    ThrowSystemErrorW(ErrHttpQueryInfo, GetLastError());
  size = SafeAdd<false>(size, sizeof(wchar_t));
  wchar_t* text = (wchar_t*)calloc(size, 1);
  if (!text) ThrowByCodeW(ErrOutOfMemory);
  if (!HttpQueryInfoW(hRequest, HTTP_QUERY_STATUS_TEXT, text, &size, nullptr)) {
    DWORD e = GetLastError();
    free(text);
    ThrowSystemErrorW(ErrHttpQueryInfo, e);
  }
  return text;
}

wchar_t* CHttpToolW::GetHeader(HINTERNET hRequest, const wchar_t* name, DWORD* index) {
  if (!hRequest) ArgFail(false, "GetHeader", "hRequest can not be NULL.");
  if (!name) ArgFail(false, "GetHeader", "szName can not be NULL.");
  const DWORD nameBytes = SafeBufferBytes<false>(wcslen(name), sizeof(wchar_t));
  DWORD size = nameBytes;
  const DWORD saved = index ? *index : 0;
  for (int attempt = 0; attempt < 2; ++attempt) {
    DWORD alloc = SafeAdd<false>(size > nameBytes ? size : nameBytes, sizeof(wchar_t));
    wchar_t* buffer = (wchar_t*)calloc(alloc, 1);
    if (!buffer) ThrowByCodeW(ErrOutOfMemory);
    wcscpy(buffer, name);
    DWORD got = size;
    if (HttpQueryInfoW(hRequest, HTTP_QUERY_CUSTOM, buffer, &got, index)) return buffer;
    DWORD e = GetLastError();
    free(buffer);
    if (index) *index = saved;
    if (e == ERROR_HTTP_HEADER_NOT_FOUND) return nullptr;
    if (e != ERROR_INSUFFICIENT_BUFFER || attempt == 1) ThrowSystemErrorW(ErrHttpQueryInfo, e);
    size = got;
  }
  return nullptr;
}

wchar_t* CHttpToolW::CreateUploadBoundary() {
  char text[44];
  if (!FormatBoundary(text)) return nullptr;
  wchar_t* out = (wchar_t*)malloc(44 * sizeof(wchar_t));
  if (out)
    for (int i = 0; i < 44; ++i) out[i] = (wchar_t)(unsigned char)text[i];
  return out;
}

}  // namespace Kestor
