// The HTTP client: settings for the WinINet session, request headers and
// parameters, GET requests, and POST bodies (url-encoded or multipart
// upload) streamed in caller-sized steps with an exactly declared length.
//
// CHttpClientW is the UTF-16 instance the program uses; CHttpClientA the
// 8-bit one. A client and the responses it returns belong to one thread.
#pragma once
#include <windows.h>
#include <wininet.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "net/http/HttpClientMap.h"
#include "net/http/HttpEncoder.h"
#include "net/http/HttpError.h"
#include "net/http/HttpPostStat.h"
#include "net/http/HttpResponse.h"
#include "net/http/HttpTool.h"
#include "net/http/HttpUrlAnalyzer.h"

// The literal of the instance's width.
#define KESTOR_TEXT(s) Tool::Pick(s, L##s)

namespace Kestor {

template <class Tool, class Encoder>
class CHttpClientT {
 public:
  typedef typename Tool::CharType CharType;
  typedef CHttpResponseT<Tool> Response;
  typedef CHttpPostStatT<Tool> PostStat;
  typedef CHttpClientMapT<Tool> Map;
  typedef CHttpUrlAnalyzerT<Tool> Analyzer;

  // Parameter flags.
  enum : DWORD { ParamFile = 1, ParamEncodedName = 2, ParamEncodedValue = 4 };
  // WinINet flags of the use-cache switch.
  static const DWORD kFlagsUseCache = 0x00400E00;
  static const DWORD kFlagsNoCache = 0x84400F00;
  // Size of the file read buffer of an upload.
  static const DWORD kReadBufferSize = 0xE000;

  CHttpClientT()
      : m_bStrictFileCheck(FALSE),
        m_szBoundary(nullptr),
        m_szBoundaryA(nullptr),
        m_bBoundaryAOwned(FALSE),
        m_szUploadContentType(nullptr),
        m_bUseUtf8(FALSE),
        m_nAnsiCodePage(CP_ACP),
        m_szUserAgent(nullptr),
        m_dwAccessType(INTERNET_OPEN_TYPE_PRECONFIG),
        m_szProxyName(nullptr),
        m_szProxyBypass(nullptr),
        m_dwInternetFlags(0),
        m_szProxyUserName(nullptr),
        m_szProxyPassword(nullptr) {
    InitPostContext();
    m_szBoundary = Tool::CreateUploadBoundary();
    if (!m_szBoundary) return;
    try {
      static const char kPrefix[] = "multipart/form-data; boundary=";
      const size_t prefixLen = sizeof kPrefix - 1;
      const size_t boundaryLen = Tool::StringLength(m_szBoundary);
      m_szUploadContentType =
          (CharType*)malloc(SafeBufferBytes<kAnsi>(prefixLen + boundaryLen, sizeof(CharType)));
      if (!m_szUploadContentType) Tool::ThrowByCode(ErrOutOfMemory);
      for (size_t i = 0; i < prefixLen; ++i) m_szUploadContentType[i] = (CharType)kPrefix[i];
      Tool::StringCopy(m_szUploadContentType + prefixLen, m_szBoundary);
      BOOL owned = FALSE;
      m_szBoundaryA = _ToAnsi(m_szBoundary, owned);
      m_bBoundaryAOwned = owned;
    } catch (...) {
      // No boundary of our own: the library's fixed one serves.
      free(m_szBoundary);
      free(m_szUploadContentType);
      m_szBoundary = m_szUploadContentType = nullptr;
      m_szBoundaryA = nullptr;
      m_bBoundaryAOwned = FALSE;
    }
  }

  virtual ~CHttpClientT() {
    _EndPostContext();
    free(m_szBoundary);
    free(m_szUploadContentType);
    if (m_bBoundaryAOwned) free((void*)m_szBoundaryA);
    free(m_szUserAgent);
    free(m_szProxyName);
    free(m_szProxyBypass);
    free(m_szProxyUserName);
    free(m_szProxyPassword);
  }

  // ---------------- settings ----------------

  BOOL SetStrictFileCheck(BOOL strict) {
    BOOL old = m_bStrictFileCheck;
    m_bStrictFileCheck = strict;
    return old;
  }
  BOOL GetStrictFileCheck() const { return m_bStrictFileCheck; }

  BOOL SetUseUtf8(BOOL useUtf8) {
    CheckNoPost(KESTOR_TEXT(
        "CHttpClientT::SetUseUtf8: It is not allowed to call this method if the POST context is active."));
    BOOL old = m_bUseUtf8;
    m_bUseUtf8 = useUtf8;
    return old;
  }
  BOOL GetUseUtf8() const { return m_bUseUtf8; }

  UINT SetAnsiCodePage(UINT codePage) {
    CheckNoPost(
        KESTOR_TEXT("CHttpClientT::SetAnsiCodePage: It is not allowed to call this method if the POST "
                    "context is active."));
    if (codePage == CP_UTF8 || codePage == CP_UTF7)
      Tool::ThrowWithText(
          KESTOR_TEXT("CHttpClientT::SetAnsiCodePage: CP_UTF8 and CP_UTF7 can not be used for the "
                      "nAnsiCodePage parameter."));
    UINT old = m_nAnsiCodePage;
    m_nAnsiCodePage = codePage;
    return old;
  }
  UINT GetAnsiCodePage() const { return m_nAnsiCodePage; }

  void SetInternet(const CharType* userAgent, DWORD accessType = INTERNET_OPEN_TYPE_PRECONFIG,
                   const CharType* proxyName = nullptr, const CharType* proxyBypass = nullptr,
                   DWORD flags = 0) {
    CharType* agent = _DupString(userAgent, m_szUserAgent);
    CharType* proxy = nullptr;
    CharType* bypass = nullptr;
    try {
      proxy = _DupString(proxyName, m_szProxyName);
      bypass = _DupString(proxyBypass, m_szProxyBypass);
    } catch (...) {
      if (agent != m_szUserAgent) free(agent);
      if (proxy != m_szProxyName) free(proxy);
      throw;
    }
    Replace(m_szUserAgent, agent);
    Replace(m_szProxyName, proxy);
    Replace(m_szProxyBypass, bypass);
    m_dwAccessType = accessType;
    m_dwInternetFlags = flags;
  }

  CHttpClientT& SetUserAgent(const CharType* text) {
    Replace(m_szUserAgent, _DupString(text, m_szUserAgent));
    return *this;
  }
  const CharType* GetUserAgent() const {
    return m_szUserAgent ? m_szUserAgent : KESTOR_TEXT("Kestor HTTP Client Class");
  }
  CHttpClientT& SetAccessType(DWORD accessType) {
    m_dwAccessType = accessType;
    return *this;
  }
  DWORD GetAccessType() const { return m_dwAccessType; }
  CHttpClientT& SetProxyName(const CharType* text) {
    Replace(m_szProxyName, _DupString(text, m_szProxyName));
    return *this;
  }
  const CharType* GetProxyName() const { return m_szProxyName; }
  CHttpClientT& SetProxyBypass(const CharType* text) {
    Replace(m_szProxyBypass, _DupString(text, m_szProxyBypass));
    return *this;
  }
  const CharType* GetProxyBypass() const { return m_szProxyBypass; }
  CHttpClientT& SetInternetFlags(DWORD flags) {
    m_dwInternetFlags = flags;
    return *this;
  }
  DWORD GetInternetFlags() const { return m_dwInternetFlags; }

  // A NULL user name clears the account; otherwise both parts are needed.
  void SetProxyAccount(const CharType* userName, const CharType* password) {
    if (!userName) {
      Replace(m_szProxyUserName, nullptr);
      Replace(m_szProxyPassword, nullptr);
      return;
    }
    if (!*userName)
      Tool::ThrowWithText(
          KESTOR_TEXT("CHttpClientT::SetProxyAccount: szUserName can not be an empty string."));
    if (!password)
      Tool::ThrowWithText(KESTOR_TEXT("CHttpClientT::SetProxyAccount: szPassword can not be NULL."));
    if (!*password)
      Tool::ThrowWithText(
          KESTOR_TEXT("CHttpClientT::SetProxyAccount: szPassword can not be an empty string."));
    CharType* user = _DupString(userName, m_szProxyUserName);
    CharType* pass = nullptr;
    try {
      pass = _DupString(password, m_szProxyPassword);
    } catch (...) {
      if (user != m_szProxyUserName) free(user);
      throw;
    }
    Replace(m_szProxyUserName, user);
    Replace(m_szProxyPassword, pass);
  }
  const CharType* GetProxyUserName() const { return m_szProxyUserName ? m_szProxyUserName : KESTOR_TEXT(""); }
  const CharType* GetProxyPassword() const { return m_szProxyPassword ? m_szProxyPassword : KESTOR_TEXT(""); }

  // ---------------- headers ----------------

  void AddHeader(const CharType* name, const CharType* value) {
    CheckHeader(name, value, false);
    m_headers.Add(name, value, 0);
  }
  void SetHeader(const CharType* name, const CharType* value, DWORD index = 0) {
    CheckHeader(name, value, true);
    m_headers.Set(name, value, 0, index);
  }
  BOOL RemoveHeader(const CharType* name, DWORD index = 0) { return m_headers.Remove(name, index); }
  BOOL RemoveHeader(DWORD position) { return m_headers.Remove(position); }
  BOOL RemoveAllHeader(const CharType* name) { return m_headers.RemoveAll(name); }
  BOOL ClearHeader() { return m_headers.Clear(); }
  const CharType* GetHeaderName(DWORD position) const { return m_headers.GetKey(position); }
  const CharType* GetHeaderValue(const CharType* name, DWORD index = 0) const {
    return m_headers.GetValue(name, index);
  }
  const CharType* GetHeaderValue(DWORD position) const { return m_headers.GetValue(position); }
  BOOL HeaderExists(const CharType* name, DWORD index = 0) const { return m_headers.Exists(name, index); }
  DWORD CountHeader(const CharType* name = nullptr) const { return m_headers.Count(name); }

  // ---------------- parameters ----------------

  void AddParam(const CharType* name, const CharType* value = nullptr, DWORD flags = 0) {
    CheckNoPost(KESTOR_TEXT(
        "CHttpClientT::AddParam: It is not allowed to call this method if the POST context is active."));
    m_params.Add(name, value, flags);
  }
  void SetParam(const CharType* name, const CharType* value = nullptr, DWORD flags = 0, DWORD index = 0) {
    CheckNoPost(KESTOR_TEXT(
        "CHttpClientT::SetParam: It is not allowed to call this method if the POST context is active."));
    m_params.Set(name, value, flags, index);
  }
  BOOL RemoveParam(const CharType* name, DWORD index = 0) {
    CheckNoPost(KESTOR_TEXT(
        "CHttpClientT::RemoveParam: It is not allowed to call this method if the POST context is active."));
    return m_params.Remove(name, index);
  }
  BOOL RemoveParam(DWORD position) {
    CheckNoPost(KESTOR_TEXT(
        "CHttpClientT::RemoveParam: It is not allowed to call this method if the POST context is active."));
    return m_params.Remove(position);
  }
  BOOL RemoveAllParam(const CharType* name) {
    CheckNoPost(
        KESTOR_TEXT("CHttpClientT::RemoveAllParam: It is not allowed to call this method if the POST context "
                    "is active."));
    return m_params.RemoveAll(name);
  }
  BOOL ClearParam() {
    CheckNoPost(KESTOR_TEXT(
        "CHttpClientT::ClearParam: It is not allowed to call this method if the POST context is active."));
    return m_params.Clear();
  }
  const CharType* GetParamName(DWORD position) const { return m_params.GetKey(position); }
  const CharType* GetParamValue(const CharType* name, DWORD index = 0) const {
    return m_params.GetValue(name, index);
  }
  const CharType* GetParamValue(DWORD position) const { return m_params.GetValue(position); }
  DWORD GetParamFlag(const CharType* name, DWORD index = 0) const { return m_params.GetFlag(name, index); }
  DWORD GetParamFlag(DWORD position) const { return m_params.GetFlag(position); }
  BOOL ParamExists(const CharType* name, DWORD index = 0) const { return m_params.Exists(name, index); }
  DWORD CountParam(const CharType* name = nullptr) const { return m_params.Count(name); }

  // ---------------- request steps ----------------

  HINTERNET OpenInternet() {
    return Tool::OpenInternet(GetUserAgent(), m_dwAccessType, m_szProxyName, m_szProxyBypass,
                              m_dwInternetFlags);
  }

  // Port 80, 443 for https, or the URL's own port (at most five digits,
  // up to 65535; else error 107). No host: error 103.
  HINTERNET OpenConnection(HINTERNET hInternet, const CharType* url, const CharType* userName = nullptr,
                           const CharType* password = nullptr) {
    if (!hInternet)
      Tool::ThrowWithText(KESTOR_TEXT("CHttpClientT::OpenConnection: hInternet can not be NULL."));
    Analyzer a(url, m_nAnsiCodePage);
    INTERNET_PORT port = IsHttps(url, a) ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT;
    if (a.GetPortLength() > 0) {
      if (a.GetPortLength() > 5) Tool::ThrowByCode(ErrInvalidPort);
      DWORD value = 0;
      for (int i = 0; i < a.GetPortLength(); ++i) {
        CharType c = url[a.GetPortPos() + i];
        if (c < '0' || c > '9') Tool::ThrowByCode(ErrInvalidPort);
        value = value * 10 + (DWORD)(c - '0');
      }
      if (value > 65535) Tool::ThrowByCode(ErrInvalidPort);
      port = (INTERNET_PORT)value;
    }
    if (a.GetHostLength() == 0) Tool::ThrowByCode(ErrInvalidUrl);
    CharType* host = CopyRange(url + a.GetHostPos(), (DWORD)a.GetHostLength());
    HINTERNET conn = nullptr;
    try {
      conn = Tool::OpenConnection(hInternet, host, port, userName, password);
      ApplyProxyAccount(conn);
    } catch (...) {
      free(host);
      Tool::CloseConnection(conn);
      throw;
    }
    free(host);
    return conn;
  }

  void ApplyProxyAccount(HINTERNET hConnection) {
    if (!hConnection)
      Tool::ThrowWithText(KESTOR_TEXT("CHttpClientT::ApplyProxyAccount: hConnection can not be NULL."));
    if (!m_szProxyUserName || !m_szProxyPassword) return;
    Tool::SetOption(hConnection, INTERNET_OPTION_PROXY_USERNAME, m_szProxyUserName,
                    (DWORD)Tool::StringLength(m_szProxyUserName));
    Tool::SetOption(hConnection, INTERNET_OPTION_PROXY_PASSWORD, m_szProxyPassword,
                    (DWORD)Tool::StringLength(m_szProxyPassword));
  }

  // The object name is the path with query and fragment, "/" plus a lone
  // query or fragment, or "/". https adds INTERNET_FLAG_SECURE.
  HINTERNET OpenRequest(HINTERNET hConnection, const CharType* verb, const CharType* url, DWORD flags,
                        const CharType* referer = nullptr) {
    if (!hConnection)
      Tool::ThrowWithText(KESTOR_TEXT("CHttpClientT::OpenRequest: hConnection can not be NULL."));
    Analyzer a(url, m_nAnsiCodePage);
    if (IsHttps(url, a)) flags |= INTERNET_FLAG_SECURE;
    CharType* allocated = nullptr;
    const CharType* object = KESTOR_TEXT("/");
    if (url && a.GetPathLength() > 0) {
      object = url + a.GetPathPos();
    } else if (url && url[a.GetPathPos()]) {
      const CharType* rest = url + a.GetPathPos();
      DWORD restLen = SafeDword<kAnsi>(Tool::StringLength(rest));
      allocated = (CharType*)malloc(SafeBufferBytes<kAnsi>(SafeAdd<kAnsi>(restLen, 1), sizeof(CharType)));
      if (!allocated) Tool::ThrowByCode(ErrOutOfMemory);
      allocated[0] = '/';
      Tool::StringCopy(allocated + 1, rest);
      object = allocated;
    }
    HINTERNET request = nullptr;
    try {
      request = Tool::OpenRequest(hConnection, verb, object, flags, referer, m_nAnsiCodePage);
      if (flags & INTERNET_FLAG_PRAGMA_NOCACHE)
        Tool::AddHeader(request, KESTOR_TEXT("Cache-Control"), KESTOR_TEXT("no-cache"), m_nAnsiCodePage);
    } catch (...) {
      Tool::CloseRequest(request);
      free(allocated);
      throw;
    }
    free(allocated);
    return request;
  }

  void AddRequestHeader(HINTERNET hRequest) {
    if (!hRequest)
      Tool::ThrowWithText(KESTOR_TEXT("CHttpClientT::AddRequestHeader: hRequest can not be NULL."));
    for (typename Map::ConstIterator it = m_headers.begin(); it != m_headers.end(); ++it)
      Tool::AddHeader(hRequest, it->first, Map::ValueAt(it).szValue, m_nAnsiCodePage);
  }

  DWORD MakeGetUrlLen(const CharType* url) {
    DWORD n = url ? SafeDword<kAnsi>(Tool::StringLength(url)) : 0;
    if (m_params.Empty()) return n;
    for (typename Map::ConstIterator it = m_params.begin(); it != m_params.end(); ++it) {
      DWORD flags = Map::ValueAt(it).dwFlag;
      n = SafeAdd<kAnsi>(n, WrittenLen(it->first, (flags & ParamEncodedName) != 0));
      n = SafeAdd<kAnsi>(n, WrittenLen(Map::ValueAt(it).szValue, (flags & ParamEncodedValue) != 0));
      n = SafeAdd<kAnsi>(n, 2);
    }
    if (!url) return n - 1;
    Analyzer a(url, m_nAnsiCodePage);
    return a.GetPathLength() == 0 ? SafeAdd<kAnsi>(n, 1) : n;
  }

  // The URL with the parameters in its query (before the fragment); with a
  // NULL URL the bare "name=value&..." text.
  CharType* MakeGetUrl(CharType* buffer, const CharType* url) {
    if (!buffer) Tool::ThrowWithText(KESTOR_TEXT("CHttpClientT::MakeGetUrl: szBuff can not be NULL."));
    if (m_params.Empty()) {
      Tool::StringCopy(buffer, url ? url : KESTOR_TEXT(""));
      return buffer;
    }
    DWORD pos = 0;
    Analyzer a(url, m_nAnsiCodePage);
    if (url) {
      pos = Put(buffer, pos, url, (DWORD)a.GetPathPos());
      if (a.GetPathLength() == 0) buffer[pos++] = '/';
      pos = Put(buffer, pos, url + a.GetPathPos(), (DWORD)(a.GetPathLength() + a.GetQueryLength()));
      buffer[pos++] = a.GetQueryLength() > 0 ? '&' : '?';
    }
    bool first = true;
    for (typename Map::ConstIterator it = m_params.begin(); it != m_params.end(); ++it) {
      if (!first) buffer[pos++] = '&';
      first = false;
      DWORD flags = Map::ValueAt(it).dwFlag;
      pos = PutParamText(buffer, pos, it->first, (flags & ParamEncodedName) != 0);
      buffer[pos++] = '=';
      pos = PutParamText(buffer, pos, Map::ValueAt(it).szValue, (flags & ParamEncodedValue) != 0);
    }
    if (url) pos = Put(buffer, pos, url + a.GetFragmentPos(), (DWORD)a.GetFragmentLength());
    buffer[pos] = 0;
    return buffer;
  }

  // ---------------- GET ----------------

  Response* SendGetRequest(HINTERNET hInternet, HINTERNET hConnection, const CharType* url, DWORD flags,
                           const CharType* referer, const CharType* userName, const CharType* password) {
    _EndPostContext();
    HINTERNET inet = hInternet, conn = hConnection, request = nullptr;
    CharType* built = nullptr;
    try {
      if (!inet) inet = OpenInternet();
      if (!conn) conn = OpenConnection(inet, url, userName, password);
      const CharType* target = url;
      if (!m_params.Empty()) {
        built = (CharType*)malloc(SafeMul<kAnsi>(SafeAdd<kAnsi>(MakeGetUrlLen(url), 1), sizeof(CharType)));
        if (!built) Tool::ThrowByCode(ErrOutOfMemory);
        target = MakeGetUrl(built, url);
      }
      request = OpenRequest(conn, KESTOR_TEXT("GET"), target, flags, referer);
      free(built);
      built = nullptr;
      AddRequestHeader(request);
      Tool::SendRequest(request, nullptr, m_nAnsiCodePage);
      Response* response =
          new (std::nothrow) Response(hInternet ? nullptr : inet, hConnection ? nullptr : conn, request);
      if (!response) Tool::ThrowByCode(ErrOutOfMemory);
      return response;
    } catch (const typename Tool::Exception&) {
      CleanUpRequest(built, request, hConnection, conn, hInternet, inet);
      throw;
    } catch (...) {
      CleanUpRequest(built, request, hConnection, conn, hInternet, inet);
      Tool::ThrowByCode(ErrUnexpected);
    }
  }
  Response* SendGetRequest(const CharType* url, DWORD flags, const CharType* referer = nullptr,
                           const CharType* userName = nullptr, const CharType* password = nullptr) {
    return SendGetRequest(nullptr, nullptr, url, flags, referer, userName, password);
  }
  Response* SendGetRequest(HINTERNET hInternet, const CharType* url, DWORD flags, const CharType* referer,
                           const CharType* userName, const CharType* password) {
    return SendGetRequest(hInternet, nullptr, url, flags, referer, userName, password);
  }
  Response* SendGetRequest(const CharType* url, bool useCache = false) {
    return SendGetRequest(nullptr, nullptr, url, CacheFlags(useCache), nullptr, nullptr, nullptr);
  }
  Response* SendGetRequest(HINTERNET hInternet, const CharType* url, bool useCache) {
    return SendGetRequest(hInternet, nullptr, url, CacheFlags(useCache), nullptr, nullptr, nullptr);
  }
  Response* SendGetRequest(HINTERNET hInternet, HINTERNET hConnection, const CharType* url, bool useCache) {
    return SendGetRequest(hInternet, hConnection, url, CacheFlags(useCache), nullptr, nullptr, nullptr);
  }

  // ---------------- POST and upload ----------------

  void BeginPost(HINTERNET hInternet, HINTERNET hConnection, const CharType* url, DWORD flags,
                 const CharType* referer, const CharType* userName, const CharType* password) {
    _StartPostContext(hInternet, hConnection, url, flags, referer, userName, password);
  }
  void BeginPost(const CharType* url, DWORD flags, const CharType* referer = nullptr,
                 const CharType* userName = nullptr, const CharType* password = nullptr) {
    BeginPost(nullptr, nullptr, url, flags, referer, userName, password);
  }
  void BeginPost(HINTERNET hInternet, const CharType* url, DWORD flags, const CharType* referer,
                 const CharType* userName, const CharType* password) {
    BeginPost(hInternet, nullptr, url, flags, referer, userName, password);
  }
  void BeginPost(const CharType* url, bool useCache = false) {
    BeginPost(nullptr, nullptr, url, CacheFlags(useCache), nullptr, nullptr, nullptr);
  }
  void BeginPost(HINTERNET hInternet, const CharType* url, bool useCache) {
    BeginPost(hInternet, nullptr, url, CacheFlags(useCache), nullptr, nullptr, nullptr);
  }
  void BeginPost(HINTERNET hInternet, HINTERNET hConnection, const CharType* url, bool useCache) {
    BeginPost(hInternet, hConnection, url, CacheFlags(useCache), nullptr, nullptr, nullptr);
  }

  void BeginUpload(HINTERNET hInternet, HINTERNET hConnection, const CharType* url, DWORD flags,
                   const CharType* referer, const CharType* userName, const CharType* password) {
    _StartUploadContext(hInternet, hConnection, url, flags, referer, userName, password);
  }
  void BeginUpload(const CharType* url, DWORD flags, const CharType* referer = nullptr,
                   const CharType* userName = nullptr, const CharType* password = nullptr) {
    BeginUpload(nullptr, nullptr, url, flags, referer, userName, password);
  }
  void BeginUpload(HINTERNET hInternet, const CharType* url, DWORD flags, const CharType* referer,
                   const CharType* userName, const CharType* password) {
    BeginUpload(hInternet, nullptr, url, flags, referer, userName, password);
  }
  void BeginUpload(const CharType* url, bool useCache = false) {
    BeginUpload(nullptr, nullptr, url, CacheFlags(useCache), nullptr, nullptr, nullptr);
  }
  void BeginUpload(HINTERNET hInternet, const CharType* url, bool useCache) {
    BeginUpload(hInternet, nullptr, url, CacheFlags(useCache), nullptr, nullptr, nullptr);
  }
  void BeginUpload(HINTERNET hInternet, HINTERNET hConnection, const CharType* url, bool useCache) {
    BeginUpload(hInternet, hConnection, url, CacheFlags(useCache), nullptr, nullptr, nullptr);
  }

  Response* SendPostRequest(HINTERNET hInternet, HINTERNET hConnection, const CharType* url, DWORD flags,
                            const CharType* referer, const CharType* userName, const CharType* password) {
    BeginPost(hInternet, hConnection, url, flags, referer, userName, password);
    return ProceedToEnd();
  }
  Response* SendPostRequest(const CharType* url, DWORD flags, const CharType* referer = nullptr,
                            const CharType* userName = nullptr, const CharType* password = nullptr) {
    return SendPostRequest(nullptr, nullptr, url, flags, referer, userName, password);
  }
  Response* SendPostRequest(const CharType* url, bool useCache = false) {
    return SendPostRequest(nullptr, nullptr, url, CacheFlags(useCache), nullptr, nullptr, nullptr);
  }
  Response* SendUploadRequest(HINTERNET hInternet, HINTERNET hConnection, const CharType* url, DWORD flags,
                              const CharType* referer, const CharType* userName, const CharType* password) {
    BeginUpload(hInternet, hConnection, url, flags, referer, userName, password);
    return ProceedToEnd();
  }
  Response* SendUploadRequest(const CharType* url, DWORD flags, const CharType* referer = nullptr,
                              const CharType* userName = nullptr, const CharType* password = nullptr) {
    return SendUploadRequest(nullptr, nullptr, url, flags, referer, userName, password);
  }
  Response* SendUploadRequest(const CharType* url, bool useCache = false) {
    return SendUploadRequest(nullptr, nullptr, url, CacheFlags(useCache), nullptr, nullptr, nullptr);
  }

  // Sends the next piece (at most desired payload bytes); the response once
  // the body is complete, else NULL.
  Response* Proceed(DWORD desired) {
    return m_nPostKind == kKindUrlEncoded ? _ProceedPostContext(desired) : _ProceedUploadContext(desired);
  }

  BOOL Cancel() {
    if (!IsPostContextActive()) return FALSE;
    _EndPostContext();
    return TRUE;
  }

  // Copies the statistics; before the first step the first parameter
  // already shows as current.
  void QueryPostStat(PostStat& stat) const {
    if (m_stat.IsActive() && m_stat.TotalCount() > 0 && m_stat.PostedCount() == 0)
      stat = m_savedStat;
    else
      stat = m_stat;
  }

  BOOL IsPostContextActive() const { return m_stat.IsActive(); }

  // The multipart boundary as sent, and the upload's content type.
  const char* GetUploadBoundaryA() const { return m_szBoundaryA ? m_szBoundaryA : kDefaultBoundaryA; }
  const CharType* GetUploadBoundary() const {
    return m_szBoundary ? m_szBoundary : Tool::Pick(kDefaultBoundaryA, kDefaultBoundaryW);
  }
  const CharType* GetUploadContentType() const {
    return m_szUploadContentType ? m_szUploadContentType
                                 : Tool::Pick(kDefaultUploadContentTypeA, kDefaultUploadContentTypeW);
  }

  // ---------------- encoding helpers ----------------

  DWORD _AnsiLen(const CharType* text) { return Encoder::AnsiEncodeLen(text, m_nAnsiCodePage); }
  DWORD _UrlEncodedLen(const CharType* text) {
    return Encoder::UrlEncodeLen(text, m_bUseUtf8, m_nAnsiCodePage);
  }
  char* _UrlEncodeToAnsi(char* out, const CharType* text) {
    return Encoder::UrlEncodeA(out, text, m_bUseUtf8, m_nAnsiCodePage);
  }
  char* _AllocUrlEncodedAnsi(const CharType* text) {
    char* out = (char*)malloc(SafeAdd<kAnsi>(_UrlEncodedLen(text), 1));
    if (!out) Tool::ThrowByCode(ErrOutOfMemory);
    try {
      return _UrlEncodeToAnsi(out, text);
    } catch (...) {
      free(out);
      throw;
    }
  }
  CharType* _UrlEncodeNative(CharType* out, const CharType* text) {
    if constexpr (kAnsi)
      return Encoder::UrlEncodeA(out, text, m_bUseUtf8, m_nAnsiCodePage);
    else
      return Encoder::UrlEncodeW(out, text, m_bUseUtf8, m_nAnsiCodePage);
  }
  CharType* _AllocUrlEncodedNative(const CharType* text) {
    CharType* out = (CharType*)malloc(SafeBufferBytes<kAnsi>(_UrlEncodedLen(text), sizeof(CharType)));
    if (!out) Tool::ThrowByCode(ErrOutOfMemory);
    try {
      return _UrlEncodeNative(out, text);
    } catch (...) {
      free(out);
      throw;
    }
  }
  DWORD _Utf8Len(const CharType* text) { return Encoder::Utf8EncodeLen(text, m_nAnsiCodePage); }
  char* _EncodeUtf8(char* out, const CharType* text) {
    return Encoder::Utf8Encode(out, text, m_nAnsiCodePage);
  }
  char* _AllocUtf8(const CharType* text) {
    char* out = (char*)malloc(SafeAdd<kAnsi>(_Utf8Len(text), 1));
    if (!out) Tool::ThrowByCode(ErrOutOfMemory);
    try {
      return _EncodeUtf8(out, text);
    } catch (...) {
      free(out);
      throw;
    }
  }
  // The same pointer or an equal text keeps current; NULL gives NULL.
  CharType* _DupString(const CharType* text, CharType* current) {
    if (!text) return nullptr;
    if (text == current || (current && Tool::StringLength(text) == Tool::StringLength(current) &&
                            memcmp(text, current, Tool::StringLength(text) * sizeof(CharType)) == 0))
      return current;
    return CopyRange(text, SafeDword<kAnsi>(Tool::StringLength(text)));
  }
  // An 8-bit form of the text in the client's code page.
  const char* _ToAnsi(const CharType* text, BOOL& owned) {
    if constexpr (kAnsi) {
      owned = FALSE;
      return text;
    } else {
      char* out = (char*)malloc(SafeAdd<kAnsi>(Encoder::AnsiEncodeLen(text, m_nAnsiCodePage), 1));
      if (!out) Tool::ThrowByCode(ErrOutOfMemory);
      try {
        Encoder::AnsiEncode(out, text, m_nAnsiCodePage);
      } catch (...) {
        free(out);
        throw;
      }
      owned = TRUE;
      return out;
    }
  }

 protected:
  static constexpr bool kAnsi = sizeof(CharType) == 1;
  enum { kKindUpload = 0, kKindUrlEncoded = 1 };

  // ---------------- the POST context ----------------

  void _SetValueBuffer(const char* buffer, BOOL owned) {
    if (m_bValueOwned) free((void*)m_pValue);
    m_pValue = buffer;
    m_bValueOwned = owned;
  }

  void _AllocReadBuffer() {
    if (m_pReadBuffer) return;
    m_pReadBuffer = (BYTE*)malloc(kReadBufferSize);
    if (!m_pReadBuffer) Tool::ThrowByCode(ErrOutOfMemory);
  }

  void _StartPostContext(HINTERNET hInternet, HINTERNET hConnection, const CharType* url, DWORD flags,
                         const CharType* referer, const CharType* userName, const CharType* password) {
    StartContext(kKindUrlEncoded, hInternet, hConnection, url, flags, referer, userName, password);
  }
  void _StartUploadContext(HINTERNET hInternet, HINTERNET hConnection, const CharType* url, DWORD flags,
                           const CharType* referer, const CharType* userName, const CharType* password) {
    StartContext(kKindUpload, hInternet, hConnection, url, flags, referer, userName, password);
  }

  Response* _ProceedPostContext(DWORD desired) {
    CheckProceed(desired, false);
    try {
      const DWORD started = m_stat.PostedCount();
      if (m_stat.CurrParamIsComplete()) {
        if (started == m_stat.TotalCount()) {
          Tool::EndRequest(m_hRequest);
          return _ReleasePostResponse();
        }
        const CharType* name = m_params.GetKey(started);
        typename Map::MapValue v = m_params.Get(started);
        if (started > 0) _WritePost("&");
        WriteConverted(name, (v.dwFlag & ParamEncodedName) != 0);
        _WritePost("=");
        DWORD size = 0;
        char* value = AllocFormValue(v.szValue, (v.dwFlag & ParamEncodedValue) != 0, size);
        _SetValueBuffer(value, TRUE);
        m_stat._StartNewEntry(name, size, FALSE, nullptr);
        return nullptr;
      }
      DWORD n = Min(desired, m_stat.CurrParamRemainByte());
      _WritePost((const BYTE*)m_pValue + m_stat.CurrParamPostedByte(), n, TRUE);
      return nullptr;
    } catch (...) {
      _EndPostContext();
      throw;
    }
  }

  Response* _ProceedUploadContext(DWORD desired) {
    CheckProceed(desired, true);
    try {
      if (m_stat.IsComplete()) {
        Tool::EndRequest(m_hRequest);
        return _ReleasePostResponse();
      }
      const char* boundary = GetUploadBoundaryA();
      if (m_stat.TotalCount() == 0) {
        _WritePost("\r\n--");
        _WritePost(boundary);
        _WritePost("--\r\n");
        return nullptr;
      }
      const DWORD started = m_stat.PostedCount();
      if (m_stat.CurrParamIsComplete() && started < m_stat.TotalCount()) {
        WritePartHeader(started, boundary);
        return nullptr;
      }
      if (m_stat.CurrParamIsComplete()) {
        _WritePost("--");
        _WritePost(boundary);
        _WritePost("--\r\n");
        return nullptr;
      }
      DWORD n = Min(desired, m_stat.CurrParamRemainByte());
      if (m_stat.CurrParamIsFile()) {
        HANDLE file = m_pFiles[m_stat.PostedFileCount() - 1];
        _AllocReadBuffer();
        while (n > 0) {
          DWORD chunk = Min(n, kReadBufferSize);
          DWORD got = 0;
          if (!ReadFile(file, m_pReadBuffer, chunk, &got, nullptr))
            Tool::ThrowSystemError(ErrReadFile, GetLastError());
          if (got < chunk) Tool::ThrowByCode(ErrFileReadShort);
          _WritePost(m_pReadBuffer, got, TRUE);
          n -= got;
        }
      } else {
        _WritePost((const BYTE*)m_pValue + m_stat.CurrParamPostedByte(), n, TRUE);
      }
      if (m_stat.CurrParamIsComplete()) _WritePost("\r\n");
      return nullptr;
    } catch (...) {
      _EndPostContext();
      throw;
    }
  }

  // Writes bytes into the body: payload or framing. Never more than the
  // declared length.
  void _WritePost(const BYTE* bytes, DWORD length, BOOL payload) {
    if (!m_hRequest)
      Tool::ThrowWithText(KESTOR_TEXT("CHttpClientT::_WritePost: m_hRequest can not be NULL."));
    if (!bytes || length == 0) return;
    if (payload)
      m_stat._TestAddPostedBytes(length);
    else
      m_stat._TestAddActualPostedBytes(length);
    if (SafeAdd<kAnsi>(m_stat.ActualPostedByte(), length) > m_stat.ActualTotalByte())
      Tool::ThrowByCode(ErrArithmetic);
    Tool::InternetWriteFile(m_hRequest, bytes, length);
    if (payload)
      m_stat._AddPostedBytes(length);
    else
      m_stat._AddActualPostedBytes(length);
  }
  void _WritePost(const char* text) { _WritePost((const BYTE*)text, text ? (DWORD)strlen(text) : 0, FALSE); }
  void _WritePost(BOOL useUtf8, const CharType* text) {
    if (!text || !*text) return;
    DWORD length = 0;
    BOOL owned = FALSE;
    const char* bytes = Convert8(text, useUtf8, length, owned);
    try {
      _WritePost((const BYTE*)bytes, length, FALSE);
    } catch (...) {
      if (owned) free((void*)bytes);
      throw;
    }
    if (owned) free((void*)bytes);
  }

  Response* _ReleasePostResponse() {
    if (!m_stat.IsActive())
      Tool::ThrowWithText(KESTOR_TEXT("CHttpClientT::_ReleasePostResponse: The post context is not active."));
    HINTERNET inet = m_bBorrowedInternet ? nullptr : m_hInternet;
    HINTERNET conn = m_bBorrowedConnection ? nullptr : m_hConnection;
    HINTERNET request = m_hRequest;
    ReleaseContextResources();
    Response* response = new (std::nothrow) Response(inet, conn, request);
    if (!response) {
      Tool::CloseRequest(request);
      Tool::CloseConnection(conn);
      Tool::CloseInternet(inet);
      Tool::ThrowByCode(ErrOutOfMemory);
    }
    return response;
  }

  void _EndPostContext() {
    if (!m_stat.IsActive()) return;
    HINTERNET inet = m_bBorrowedInternet ? nullptr : m_hInternet;
    HINTERNET conn = m_bBorrowedConnection ? nullptr : m_hConnection;
    HINTERNET request = m_hRequest;
    ReleaseContextResources();
    Tool::CloseRequest(request);
    Tool::CloseConnection(conn);
    Tool::CloseInternet(inet);
  }

 private:
  CHttpClientT(const CHttpClientT&);
  CHttpClientT& operator=(const CHttpClientT&);

  static DWORD Min(DWORD a, DWORD b) { return a < b ? a : b; }
  static DWORD CacheFlags(bool useCache) { return useCache ? kFlagsUseCache : kFlagsNoCache; }

  static bool IsHttps(const CharType* url, const Analyzer& a) {
    return url && a.GetSchemeLength() == 5 && Tool::StringNICompare(url, KESTOR_TEXT("HTTPS"), 5) == 0;
  }

  static void Replace(CharType*& field, CharType* value) {
    if (field != value) free(field);
    field = value;
  }

  static CharType* CopyRange(const CharType* text, DWORD length) { return HeapCopyText<Tool>(text, length); }

  static DWORD Put(CharType* buffer, DWORD pos, const CharType* text, DWORD length) {
    memcpy(buffer + pos, text, length * sizeof(CharType));
    return pos + length;
  }

  void CheckNoPost(const CharType* text) const {
    if (IsPostContextActive()) Tool::ThrowWithText(text);
  }

  void CheckHeader(const CharType* name, const CharType* value, bool set) {
    if (!name)
      Tool::ThrowWithText(set ? KESTOR_TEXT("CHttpClientT::SetHeader: szName can not be NULL.")
                              : KESTOR_TEXT("CHttpClientT::AddHeader: szName can not be NULL."));
    if (!*name)
      Tool::ThrowWithText(set ? KESTOR_TEXT("CHttpClientT::SetHeader: szName can not be an empty string.")
                              : KESTOR_TEXT("CHttpClientT::AddHeader: szName can not be an empty string."));
    if (!value)
      Tool::ThrowWithText(set ? KESTOR_TEXT("CHttpClientT::SetHeader: szValue can not be NULL.")
                              : KESTOR_TEXT("CHttpClientT::AddHeader: szValue can not be NULL."));
    if (!*value)
      Tool::ThrowWithText(set ? KESTOR_TEXT("CHttpClientT::SetHeader: szValue can not be an empty string.")
                              : KESTOR_TEXT("CHttpClientT::AddHeader: szValue can not be an empty string."));
  }

  // Characters a parameter text takes in a GET URL.
  DWORD WrittenLen(const CharType* text, bool raw) {
    if (!text) return 0;
    return raw ? SafeDword<kAnsi>(Tool::StringLength(text)) : _UrlEncodedLen(text);
  }

  DWORD PutParamText(CharType* buffer, DWORD pos, const CharType* text, bool raw) {
    if (!text) return pos;
    if (raw) return Put(buffer, pos, text, SafeDword<kAnsi>(Tool::StringLength(text)));
    CharType* encoded = _AllocUrlEncodedNative(text);
    DWORD n = (DWORD)Tool::StringLength(encoded);
    pos = Put(buffer, pos, encoded, n);
    free(encoded);
    return pos;
  }

  void CleanUpRequest(CharType* built, HINTERNET request, HINTERNET givenConn, HINTERNET conn,
                      HINTERNET givenInet, HINTERNET inet) {
    free(built);
    Tool::CloseRequest(request);
    if (!givenConn) Tool::CloseConnection(conn);
    if (!givenInet) Tool::CloseInternet(inet);
  }

  // The text in 8 bits (UTF-8 or the code page); owned tells whether the
  // result must be freed.
  const char* Convert8(const CharType* text, BOOL useUtf8, DWORD& length, BOOL& owned) {
    if (!text) {
      length = 0;
      owned = FALSE;
      return "";
    }
    const char* bytes;
    if (useUtf8) {
      bytes = _AllocUtf8(text);
      owned = TRUE;
    } else {
      bytes = _ToAnsi(text, owned);
    }
    length = SafeDword<kAnsi>(strlen(bytes));
    return bytes;
  }

  DWORD Length8(const CharType* text) {
    if (!text) return 0;
    return m_bUseUtf8 ? _Utf8Len(text) : _AnsiLen(text);
  }

  // A url-encoded form name: encoded, or (flag 2) only converted to 8 bits.
  void WriteConverted(const CharType* name, bool raw) {
    if (raw) {
      _WritePost(FALSE, name);
      return;
    }
    if (!name) return;
    char* encoded = _AllocUrlEncodedAnsi(name);
    try {
      _WritePost(encoded);
    } catch (...) {
      free(encoded);
      throw;
    }
    free(encoded);
  }

  // A url-encoded form value in a new buffer (NULL and 0 for no value).
  char* AllocFormValue(const CharType* value, bool raw, DWORD& size) {
    size = 0;
    if (!value) return nullptr;
    char* out;
    if (raw) {
      out = (char*)malloc(SafeAdd<kAnsi>(_AnsiLen(value), 1));
      if (!out) Tool::ThrowByCode(ErrOutOfMemory);
      try {
        Encoder::AnsiEncode(out, value, m_nAnsiCodePage);
      } catch (...) {
        free(out);
        throw;
      }
    } else {
      out = _AllocUrlEncodedAnsi(value);
    }
    size = (DWORD)strlen(out);
    return out;
  }

  void WritePartHeader(DWORD index, const char* boundary) {
    const CharType* name = m_params.GetKey(index);
    typename Map::MapValue v = m_params.Get(index);
    const bool isFile = (v.dwFlag & ParamFile) != 0;
    _WritePost("--");
    _WritePost(boundary);
    _WritePost("\r\nContent-Disposition: form-data; name=\"");
    _WritePost(m_bUseUtf8, name);
    DWORD size;
    if (isFile) {
      const DWORD fileIndex = m_stat.PostedFileCount();
      _WritePost("\"; filename=\"");
      _WritePost(m_bUseUtf8, v.szValue);
      _WritePost("\"\r\nContent-Type: ");
      _WritePost(m_pMimeTypes[fileIndex]);
      _WritePost("\r\n\r\n");
      size = m_pFileSizes[fileIndex];
      m_stat._StartNewEntry(name, size, TRUE, v.szValue);
    } else {
      _WritePost("\"\r\n\r\n");
      DWORD length = 0;
      BOOL owned = FALSE;
      const char* value = Convert8(v.szValue, m_bUseUtf8, length, owned);
      _SetValueBuffer(value, owned);
      size = length;
      m_stat._StartNewEntry(name, size, FALSE, nullptr);
    }
    if (size == 0) _WritePost("\r\n");
  }

  void CheckProceed(DWORD desired, bool upload) {
    if (!m_stat.IsActive()) Tool::ThrowByCode(ErrPostNotStarted);
    if (upload) {
      if (!m_hInternet)
        Tool::ThrowWithText(KESTOR_TEXT("CHttpClientT::_ProceedUploadContext: m_hInternet can not be NULL."));
      if (!m_hConnection)
        Tool::ThrowWithText(
            KESTOR_TEXT("CHttpClientT::_ProceedUploadContext: m_hConnection can not be NULL."));
      if (!m_hRequest)
        Tool::ThrowWithText(KESTOR_TEXT("CHttpClientT::_ProceedUploadContext: m_hRequest can not be NULL."));
      if (!desired)
        Tool::ThrowWithText(KESTOR_TEXT("CHttpClientT::_ProceedUploadContext: nDesired can not be zero."));
    } else {
      if (!m_hInternet)
        Tool::ThrowWithText(KESTOR_TEXT("CHttpClientT::_ProceedPostContext: m_hInternet can not be NULL."));
      if (!m_hConnection)
        Tool::ThrowWithText(KESTOR_TEXT("CHttpClientT::_ProceedPostContext: m_hConnection can not be NULL."));
      if (!m_hRequest)
        Tool::ThrowWithText(KESTOR_TEXT("CHttpClientT::_ProceedPostContext: m_hRequest can not be NULL."));
      if (!desired)
        Tool::ThrowWithText(KESTOR_TEXT("CHttpClientT::_ProceedPostContext: nDesired can not be zero."));
    }
  }

  Response* ProceedToEnd() {
    for (;;) {
      Response* r = Proceed(0xFFFFFFFFu);
      if (r) return r;
    }
  }

  void InitPostContext() {
    m_pFiles = nullptr;
    m_pMimeTypes = nullptr;
    m_pFileSizes = nullptr;
    m_dwContextFiles = 0;
    m_pValue = nullptr;
    m_bValueOwned = FALSE;
    m_hInternet = m_hConnection = m_hRequest = nullptr;
    m_bBorrowedInternet = m_bBorrowedConnection = FALSE;
    m_nPostKind = kKindUrlEncoded;
    m_pReadBuffer = nullptr;
  }

  static void FreeFiles(HANDLE* files, char** mimes, DWORD* sizes, DWORD count) {
    for (DWORD i = 0; files && i < count; ++i)
      if (files[i] && files[i] != INVALID_HANDLE_VALUE) CloseHandle(files[i]);
    for (DWORD i = 0; mimes && i < count; ++i) free(mimes[i]);
    free(files);
    free(mimes);
    free(sizes);
  }

  // Detaches and frees everything of the context but its WinINet handles.
  void ReleaseContextResources() {
    FreeFiles(m_pFiles, m_pMimeTypes, m_pFileSizes, m_dwContextFiles);
    _SetValueBuffer(nullptr, FALSE);
    free(m_pReadBuffer);
    int kind = m_nPostKind;
    InitPostContext();
    m_nPostKind = kind;
    m_stat._MakeInactive();
    m_savedStat._MakeInactive();
  }

  void StartContext(int kind, HINTERNET hInternet, HINTERNET hConnection, const CharType* url, DWORD flags,
                    const CharType* referer, const CharType* userName, const CharType* password) {
    _EndPostContext();
    HANDLE* files = nullptr;
    char** mimes = nullptr;
    DWORD* sizes = nullptr;
    DWORD fileCount = 0;
    HINTERNET inet = hInternet, conn = hConnection, request = nullptr;
    try {
      const DWORD count = m_params.Count();
      DWORD total = 0, payload = 0, firstSize = 0;
      if (kind == kKindUpload) {
        for (DWORD i = 0; i < count; ++i)
          if (m_params.GetFlag(i) & ParamFile) ++fileCount;
        if (fileCount) {
          files = (HANDLE*)calloc(fileCount, sizeof(HANDLE));
          mimes = (char**)calloc(fileCount, sizeof(char*));
          sizes = (DWORD*)calloc(fileCount, sizeof(DWORD));
          if (!files || !mimes || !sizes) Tool::ThrowByCode(ErrOutOfMemory);
          for (DWORD i = 0; i < fileCount; ++i) files[i] = INVALID_HANDLE_VALUE;
        }
        const DWORD L = (DWORD)strlen(GetUploadBoundaryA());
        DWORD f = 0;
        for (DWORD i = 0; i < count; ++i) {
          const CharType* name = m_params.GetKey(i);
          typename Map::MapValue v = m_params.Get(i);
          DWORD part, size;
          if (v.dwFlag & ParamFile) {
            HANDLE h = Tool::OpenFile(v.szValue);
            files[f] = h;
            size = 0;
            if (h == INVALID_HANDLE_VALUE) {
              if (m_bStrictFileCheck) Tool::ThrowSystemError(ErrOpenFile, GetLastError(), v.szValue);
            } else {
              size = Tool::GetFileSize(h, v.szValue);
            }
            mimes[f] = Tool::GetMimeType(h, m_nAnsiCodePage);
            sizes[f] = size;
            ++f;
            part = SafeAdd<kAnsi>(L, 4 + 72);
            part = SafeAdd<kAnsi>(part, Length8(name));
            part = SafeAdd<kAnsi>(part, Length8(v.szValue));
            part = SafeAdd<kAnsi>(part, SafeDword<kAnsi>(strlen(mimes[f - 1])));
            part = SafeAdd<kAnsi>(part, size);
          } else {
            size = Length8(v.szValue);
            part = SafeAdd<kAnsi>(SafeAdd<kAnsi>(L, 4 + 43), Length8(name));
            part = SafeAdd<kAnsi>(part, size);
          }
          part = SafeAdd<kAnsi>(part, 2);
          total = SafeAdd<kAnsi>(total, part);
          payload = SafeAdd<kAnsi>(payload, size);
          if (i == 0) firstSize = size;
        }
        total = count ? SafeAdd<kAnsi>(total, SafeAdd<kAnsi>(L, 6)) : SafeAdd<kAnsi>(L, 8);
      } else {
        for (DWORD i = 0; i < count; ++i) {
          const CharType* name = m_params.GetKey(i);
          typename Map::MapValue v = m_params.Get(i);
          DWORD nameLen = name ? ((v.dwFlag & ParamEncodedName) ? _AnsiLen(name) : _UrlEncodedLen(name)) : 0;
          DWORD valueLen = (v.dwFlag & ParamEncodedValue) ? _AnsiLen(v.szValue) : _UrlEncodedLen(v.szValue);
          total = SafeAdd<kAnsi>(total, SafeAdd<kAnsi>(SafeAdd<kAnsi>(nameLen, valueLen), 2));
          payload = SafeAdd<kAnsi>(payload, valueLen);
          if (i == 0) firstSize = valueLen;
        }
        if (total) --total;  // the first parameter has no "&"
      }

      if (!inet) inet = OpenInternet();
      if (!conn) conn = OpenConnection(inet, url, userName, password);
      request = OpenRequest(conn, KESTOR_TEXT("POST"), url, flags, referer);
      AddRequestHeader(request);
      Tool::AddHeader(
          request, KESTOR_TEXT("Content-Type"),
          kind == kKindUpload ? GetUploadContentType() : KESTOR_TEXT("application/x-www-form-urlencoded"),
          m_nAnsiCodePage);
      Tool::SendRequestEx(request, total);

      PostStat saved;
      if (count) {
        saved._MakeActive(total, payload, count, fileCount);
        typename Map::MapValue v = m_params.Get((DWORD)0);
        const bool isFile = kind == kKindUpload && (v.dwFlag & ParamFile);
        saved._StartNewEntry(m_params.GetKey((DWORD)0), firstSize, isFile, isFile ? v.szValue : nullptr);
      }
      m_stat._MakeActive(total, payload, count, fileCount);
      m_savedStat = saved;
      m_hInternet = inet;
      m_bBorrowedInternet = hInternet != nullptr;
      m_hConnection = conn;
      m_bBorrowedConnection = hConnection != nullptr;
      m_hRequest = request;
      m_pFiles = files;
      m_pMimeTypes = mimes;
      m_pFileSizes = sizes;
      m_dwContextFiles = fileCount;
      m_nPostKind = kind;
    } catch (const typename Tool::Exception&) {
      m_stat._MakeInactive();
      FreeFiles(files, mimes, sizes, fileCount);
      Tool::CloseRequest(request);
      if (!hConnection) Tool::CloseConnection(conn);
      if (!hInternet) Tool::CloseInternet(inet);
      throw;
    } catch (...) {
      m_stat._MakeInactive();
      FreeFiles(files, mimes, sizes, fileCount);
      Tool::CloseRequest(request);
      if (!hConnection) Tool::CloseConnection(conn);
      if (!hInternet) Tool::CloseInternet(inet);
      Tool::ThrowByCode(ErrUnexpected);
    }
  }

  // Fields, in order.
  BOOL m_bStrictFileCheck;
  CharType* m_szBoundary;
  const char* m_szBoundaryA;
  BOOL m_bBoundaryAOwned;
  CharType* m_szUploadContentType;
  BOOL m_bUseUtf8;
  UINT m_nAnsiCodePage;
  Map m_headers;
  Map m_params;
  CharType* m_szUserAgent;
  DWORD m_dwAccessType;
  CharType* m_szProxyName;
  CharType* m_szProxyBypass;
  DWORD m_dwInternetFlags;
  CharType* m_szProxyUserName;
  CharType* m_szProxyPassword;
  PostStat m_savedStat;
  PostStat m_stat;
  // The POST context.
  HANDLE* m_pFiles;
  char** m_pMimeTypes;
  DWORD* m_pFileSizes;
  DWORD m_dwContextFiles;
  const char* m_pValue;
  BOOL m_bValueOwned;
  HINTERNET m_hInternet;
  BOOL m_bBorrowedInternet;
  HINTERNET m_hConnection;
  BOOL m_bBorrowedConnection;
  HINTERNET m_hRequest;
  int m_nPostKind;
  BYTE* m_pReadBuffer;
};

typedef CHttpClientT<CHttpToolA, CHttpEncoderA> CHttpClientA;
typedef CHttpClientT<CHttpToolW, CHttpEncoderW> CHttpClientW;
typedef CHttpResponseT<CHttpToolA> CHttpResponseA;
typedef CHttpResponseT<CHttpToolW> CHttpResponseW;
typedef CHttpPostStatT<CHttpToolA> CHttpPostStatA;
typedef CHttpPostStatT<CHttpToolW> CHttpPostStatW;
typedef CHttpClientMapT<CHttpToolA> CHttpClientMapA;
typedef CHttpClientMapT<CHttpToolW> CHttpClientMapW;
typedef CHttpUrlAnalyzerT<CHttpToolA> CHttpUrlAnalyzerA;
typedef CHttpUrlAnalyzerT<CHttpToolW> CHttpUrlAnalyzerW;

}  // namespace Kestor
