#include "net/ReportClient.h"

#include <json/json.h>

#include <cstdlib>
#include <cwchar>
#include <functional>
#include <new>

#include "core/Base64.h"
#include "core/Helpers.h"
#include "core/Settings.h"
#include "net/Aes.h"
#include "net/MachineId.h"
#include "net/SehGuard.h"
#include "net/SysInfo.h"
#include "net/WebRequest.h"
#include "net/http/HttpClient.h"

CReportClient g_ReportClient;

namespace {

// The report server decrypts bodies with this key.
const char kReportKey[] = "Rpt#Key#0000#XYZ";

std::string ToAnsi(const wchar_t* text, UINT codePage = CP_THREAD_ACP) {
  if (!text || !*text) return std::string();
  int n = WideCharToMultiByte(codePage, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string out((size_t)n, '\0');
  WideCharToMultiByte(codePage, 0, text, -1, &out[0], n, nullptr, nullptr);
  out.resize((size_t)n - 1);
  return out;
}


// A text for a query value of the crash-dump upload: as it is (versions and
// Windows names such as "6.0.0.1" and "windows10"), with only the bytes that
// would end or break the query (all but letters, digits and ".-_~")
// percent-encoded.
std::wstring QueryValue(const std::string& ansi) {
  static const char kHex[] = "0123456789ABCDEF";
  std::wstring out;
  for (unsigned char c : ansi) {
    const bool plain = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' ||
                       c == '-' || c == '_' || c == '~';
    if (plain) {
      out += (wchar_t)c;
    } else {
      out += L'%';
      out += (wchar_t)kHex[c >> 4];
      out += (wchar_t)kHex[c & 15];
    }
  }
  return out;
}

}  // namespace

// What one send needs, copied out of the client so that a sender thread
// shares nothing with later sends.
struct CReportClient::Job {
  int kind;
  std::wstring url;
  std::string body;
  std::wstring path;
};

// The client's lock. A report may be built inside a guarded call (the
// update check's action reports): a fault there leaves the lock released.
class CReportClient::CLock : public CGuardedLock {
 public:
  explicit CLock(CRITICAL_SECTION* cs) : CGuardedLock(cs) {}
};

CReportClient::CReportClient()
    : m_nAppId(0),
      m_nOsBit(32),
      m_nKind(0),
      m_hSender(nullptr),
      m_nSenderKind(0),
      m_pfnEncrypt(&AesEncryptBuffer) {
  InitializeCriticalSection(&m_lock);
}

CReportClient::~CReportClient() {
  // A sender still running works on its own copy and touches nothing here.
  for (ReportEvent* e : m_events) delete e;
  m_events.clear();
  DeleteCriticalSection(&m_lock);
}

void CReportClient::SetServer(const wchar_t* server) {
  CLock lock(&m_lock);
  m_strServer = server ? server : L"";
}
void CReportClient::SetAppId(int appId) {
  CLock lock(&m_lock);
  m_nAppId = appId;
}
void CReportClient::SetOsBit(bool is64) {
  CLock lock(&m_lock);
  m_nOsBit = is64 ? 64 : 32;
}
void CReportClient::SetChannelCode(const wchar_t* text) {
  CLock lock(&m_lock);
  m_strChannelCode = ToAnsi(text);
}
void CReportClient::SetVersion(const wchar_t* text) {
  CLock lock(&m_lock);
  m_strVersion = ToAnsi(text);
}
void CReportClient::SetMachineCode(const wchar_t* text) {
  CLock lock(&m_lock);
  m_strMachineCode = ToAnsi(text);
}
void CReportClient::SetOs(const wchar_t* text) {
  CLock lock(&m_lock);
  m_strOs = ToAnsi(text);
}
void CReportClient::SetUsername(const wchar_t* text) {
  CLock lock(&m_lock);
  m_strUsername = ToAnsi(text);
}

CReportClient::EncryptFn CReportClient::SetEncryptHook(EncryptFn fn) {
  CLock lock(&m_lock);
  EncryptFn old = m_pfnEncrypt;
  m_pfnEncrypt = fn ? fn : &AesEncryptBuffer;
  return old;
}

void CReportClient::AddEvent(const wchar_t* code, int times, int hasValue, const wchar_t* value) {
  ReportEvent* e = new (std::nothrow) ReportEvent;
  if (!e) return;
  try {
    e->Code = ToAnsi(code);
    e->Value = ToAnsi(value);
  } catch (...) {
    delete e;
    return;
  }
  e->Times = times;
  e->Mode = hasValue ? 2 : 1;
  CLock lock(&m_lock);
  if (m_events.size() >= kMaxQueuedEvents) {
    delete e;
    return;
  }
  try {
    m_events.push_back(e);
  } catch (...) {
    delete e;
  }
}

void CReportClient::ClearEvents() {
  CLock lock(&m_lock);
  for (ReportEvent* e : m_events) delete e;
  m_events.clear();
}

size_t CReportClient::GetEventCount() {
  CLock lock(&m_lock);
  return m_events.size();
}

const char* CReportClient::PageOfKind(int kind) {
  switch (kind) {
    case kEvents:
      return "report/event";
    case kError:
      return "report/error";
    case kErrorFile:
      return "report/crashdump";
    case kFeedback:
      return "report/feedback";
    default:
      return "report/action";
  }
}

std::wstring CReportClient::MakeReportUrl(const char* page) {
  CLock lock(&m_lock);
  std::wstring url = m_strServer.find(L"://") == std::wstring::npos ? L"http://" + m_strServer : m_strServer;
  url += L'/';
  for (const char* p = page; p && *p; ++p) url += (wchar_t)(unsigned char)*p;
  return url;
}

std::string CReportClient::SerializeReport(const Json::Value& root) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "   ";
  builder["commentStyle"] = "None";
  // Texts go out as their bytes (ANSI or UTF-8), never as \u escapes.
  builder["emitUTF8"] = true;
  const std::string text = Json::writeString(builder, root);
  // The stream writer starts an array or object member value on a line of
  // its own; the report layout keeps "[" and "{" behind the key's " : ".
  // Line breaks only occur between tokens (inside strings they are
  // escaped), so this touches nothing but that whitespace.
  std::string out;
  out.reserve(text.size() + 1);
  for (size_t i = 0; i < text.size(); ++i) {
    if (text.compare(i, 4, " : \n") == 0) {
      size_t j = i + 4;
      while (j < text.size() && text[j] == ' ') ++j;
      if (j < text.size() && (text[j] == '[' || text[j] == '{')) {
        out += " : ";
        i = j - 1;
        continue;
      }
    }
    out += text[i];
  }
  // Control characters other than the five with their own escapes are
  // written "\u00XX" with upper-case hex digits, as the server expects.
  bool inString = false;
  for (size_t i = 0; i < out.size(); ++i) {
    if (out[i] == '"') {
      inString = !inString;
    } else if (inString && out[i] == '\\' && i + 1 < out.size()) {
      if (out[i + 1] == 'u')
        for (size_t k = i + 2; k < i + 6 && k < out.size(); ++k)
          if (out[k] >= 'a' && out[k] <= 'f') out[k] = (char)(out[k] - 'a' + 'A');
      ++i;  // the escaped character is no quote of its own
    }
  }
  out += '\n';
  return out;
}

bool CReportClient::SenderRunningLocked() {
  if (!m_hSender) return false;
  if (WaitForSingleObject(m_hSender, 0) == WAIT_TIMEOUT) return true;
  CloseHandle(m_hSender);
  m_hSender = nullptr;
  return false;
}

bool CReportClient::EncodeLocked(const Json::Value& root, std::string& body) {
  const std::string json = SerializeReport(root);
  uint8_t* cipher = nullptr;
  uint32_t cipherLength = 0;
  if (json.size() > 0x7FFFFFF0u ||
      m_pfnEncrypt((const uint8_t*)json.data(), (uint32_t)json.size(), &cipher, &cipherLength, kReportKey) !=
          0 ||
      !cipher)
    return false;  // nothing is sent without its encryption
  body = Base64EncodeString(cipher, cipherLength);
  free(cipher);
  return true;
}

bool CReportClient::StartSenderLocked(Job* job) {
  HANDLE h = CreateThread(nullptr, 0, &CReportClient::SenderProc, job, 0, nullptr);
  if (!h) {
    delete job;
    return false;
  }
  m_hSender = h;
  m_nSenderKind = job->kind;
  return true;
}

DWORD WINAPI CReportClient::SenderProc(void* param) {
  Job* job = (Job*)param;
  RunJob(*job);
  delete job;
  return 0;
}

bool CReportClient::RunJob(const Job& job) {
  if (job.kind == kErrorFile) return UploadFile(job.url, job.path);
  return PostAndJudge(job.url, job.body);
}

bool CReportClient::PostAndJudge(const std::wstring& url, const std::string& body) {
  std::wstring reply;
  if (!HttpPostForm(url.c_str(), body.data(), (DWORD)body.size(), &reply, TRUE)) return false;
  // A decimal verdict; text that is no number counts as 0.
  return wcstol(reply.c_str(), nullptr, 10) >= 1;
}

bool CReportClient::UploadFile(const std::wstring& url, const std::wstring& path) {
  Kestor::CHttpClientW client;
  Kestor::CHttpResponseW* response = nullptr;
  HINTERNET inet = nullptr, conn = nullptr;
  try {
    client.AddParam(L"file", path.c_str(), Kestor::CHttpClientW::ParamFile);
    // Our own session and connection, so that a stalled server meets the
    // same time-outs as the reports.
    inet = client.OpenInternet();
    SetWebTimeouts(inet, GetPostFormTimeout());
    conn = client.OpenConnection(inet, url.c_str());
    SetWebTimeouts(conn, GetPostFormTimeout());
    client.BeginUpload(inet, conn, url.c_str(), false);
    while ((response = client.Proceed(1024)) == nullptr) {
    }
    bool ok = response->GetStatus() == 200;
    const wchar_t* type = ok ? response->GetHeader(L"Content-Type") : nullptr;
    ok = ok && type && _wcsnicmp(type, L"text/", 5) == 0;
    if (ok) {
      char text[1024] = {};
      DWORD got = response->ReadContent((BYTE*)text, 1023);
      text[got < 1023 ? got : 1023] = 0;
      ok = got == 1 && text[0] == '1';
    }
    delete response;
    InternetCloseHandle(conn);
    InternetCloseHandle(inet);
    return ok;
  } catch (...) {
    delete response;
    client.Cancel();
    if (conn) InternetCloseHandle(conn);
    if (inet) InternetCloseHandle(inet);
    return false;
  }
}

bool CReportClient::SendReport(int kind, bool async, const std::function<bool(Json::Value&)>& build) {
  Job* job = nullptr;
  {
    CLock lock(&m_lock);
    if (async && SenderRunningLocked()) return false;
    Json::Value root(Json::objectValue);
    if (!build(root)) return false;
    std::string body;
    if (!EncodeLocked(root, body)) return false;  // queued events stay for a later try
    if (kind == kEvents) {
      // The events are gone from here on, whether or not the report arrives.
      for (ReportEvent* e : m_events) delete e;
      m_events.clear();
    }
    m_strBody = body;
    m_nKind = kind;
    job = new (std::nothrow) Job;
    if (!job) return false;
    job->kind = kind;
    job->body = body;
    job->url = MakeReportUrl(PageOfKind(kind));
    if (async) return StartSenderLocked(job);
  }
  bool ok = RunJob(*job);
  delete job;
  return ok;
}

bool CReportClient::SendAction(int typeId, bool async) {
  return SendReport(typeId, async, [&](Json::Value& root) {
    root["AppId"] = (Json::UInt)m_nAppId;
    root["TypeId"] = (Json::Int)typeId;
    root["OsBit"] = (Json::UInt)m_nOsBit;
    root["ChannelCode"] = m_strChannelCode;
    root["Version"] = m_strVersion;
    root["MachineCode"] = m_strMachineCode;
    root["Os"] = m_strOs;
    return true;
  });
}

bool CReportClient::SendEvents(bool async) {
  return SendReport(kEvents, async, [&](Json::Value& root) {
    if (m_events.empty()) return false;
    root["AppId"] = (Json::UInt)m_nAppId;
    root["OsBit"] = (Json::UInt)m_nOsBit;
    root["Version"] = m_strVersion;
    root["Username"] = m_strUsername;
    root["MachineCode"] = m_strMachineCode;
    root["ChannelCode"] = m_strChannelCode;
    Json::Value& logs = root["Logs"] = Json::Value(Json::arrayValue);
    for (const ReportEvent* e : m_events) {
      Json::Value item(Json::objectValue);
      item["Code"] = e->Code;
      item["Value"] = e->Value;
      item["Times"] = (Json::UInt)e->Times;
      item["Mode"] = (Json::UInt)e->Mode;
      logs.append(item);
    }
    return true;
  });
}

bool CReportClient::SendError(const wchar_t* text, bool async) {
  return SendReport(kError, async, [&](Json::Value& root) {
    root["AppId"] = (Json::UInt)m_nAppId;
    root["OsBit"] = (Json::UInt)m_nOsBit;
    root["Version"] = m_strVersion;
    root["ChannelCode"] = m_strChannelCode;
    root["Content"] = ToAnsi(text);
    return true;
  });
}

bool CReportClient::SendSuggest(const wchar_t* content, const wchar_t* contact) {
  return SendReport(kFeedback, false, [&](Json::Value& root) {
    root["AppId"] = (Json::UInt)m_nAppId;
    root["OsBit"] = (Json::UInt)m_nOsBit;
    root["Version"] = m_strVersion;
    root["ChannelCode"] = m_strChannelCode;
    root["Content"] = ToAnsi(content, CP_UTF8);
    root["Contact"] = ToAnsi(contact, CP_UTF8);
    return true;
  });
}

std::wstring CReportClient::UploadUrlLocked() {
  std::wstring base = m_strServer.find(L"://") == std::wstring::npos ? L"http://" + m_strServer : m_strServer;
  wchar_t aid[16];
  _snwprintf(aid, 15, L"%d", m_nAppId);
  aid[15] = 0;
  return base + L"/" + L"report/crashdump" + L"?aid=" + aid + L"&v=" + QueryValue(m_strVersion) + L"&os=" +
         QueryValue(m_strOs);
}

bool CReportClient::SendErrorFile(const wchar_t* path, bool async) {
  Job* job = nullptr;
  {
    CLock lock(&m_lock);
    if (async && SenderRunningLocked()) return false;
    m_strErrorFilePath = path ? path : L"";
    m_nKind = kErrorFile;
    job = new (std::nothrow) Job;
    if (!job) return false;
    job->kind = kErrorFile;
    job->path = m_strErrorFilePath;
    job->url = UploadUrlLocked();
    if (async) return StartSenderLocked(job);
  }
  bool ok = RunJob(*job);
  delete job;
  return ok;
}

bool CReportClient::IsSending(bool wait) {
  HANDLE copy = nullptr;
  {
    CLock lock(&m_lock);
    const bool running = SenderRunningLocked();
    if (!wait || !running) return running;
    if (!DuplicateHandle(GetCurrentProcess(), m_hSender, GetCurrentProcess(), &copy, SYNCHRONIZE, FALSE, 0))
      return true;
  }
  WaitForSingleObject(copy, INFINITE);
  CloseHandle(copy);
  CLock lock(&m_lock);
  return SenderRunningLocked();
}

bool CReportClient::WaitSending(DWORD timeoutMs) {
  HANDLE copy = nullptr;
  {
    CLock lock(&m_lock);
    if (!SenderRunningLocked()) return true;
    if (!DuplicateHandle(GetCurrentProcess(), m_hSender, GetCurrentProcess(), &copy, SYNCHRONIZE, FALSE, 0))
      return false;
  }
  WaitForSingleObject(copy, timeoutMs);
  CloseHandle(copy);
  CLock lock(&m_lock);
  return !SenderRunningLocked();
}

bool CReportClient::IsUploadingFile() {
  CLock lock(&m_lock);
  return SenderRunningLocked() && m_nSenderKind == kErrorFile;
}

// ---------------- start-up and shutdown ----------------

void ConfigureReportClient(const wchar_t* serverBase) {
  g_ReportClient.SetServer(serverBase ? serverBase : CDefaultUrls::Get().m_strReportHost.c_str());
  g_ReportClient.SetAppId(1);
  g_ReportClient.SetChannelCode(g_OemInfo.m_szPartnerId);
  g_ReportClient.SetVersion(GetProgramVersion().c_str());
  if (g_strMachineCode.empty()) LoadMachineCode();
  g_ReportClient.SetMachineCode(g_strMachineCode.c_str());
  g_ReportClient.SetOs(GetOsName().c_str());
  g_ReportClient.SetOsBit(sizeof(void*) == 8 || IsWow64());
}

bool SendStartReport() { return g_ReportClient.SendAction(CReportClient::kStart, true); }

bool SendExitReport(DWORD waitMs) {
  // A start report or dump upload still on its way gets a bounded wait; the
  // exit report then goes out on its own.
  g_ReportClient.WaitSending(waitMs);
  return g_ReportClient.SendEvents(false);
}

bool UploadPendingCrashDump() { return UploadPendingCrashDump(GetAppFilePath(L"Error.tmp")); }

bool UploadPendingCrashDump(const std::wstring& dumpPath) {
  const wchar_t kKey[] = L"Software\\OvoDelvaro6";
  DWORD lastDay = 0;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kKey, 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
    DWORD type = 0, size = sizeof lastDay;
    if (RegQueryValueExW(key, L"UpDumpDay", nullptr, &type, (BYTE*)&lastDay, &size) != ERROR_SUCCESS ||
        type != REG_DWORD)
      lastDay = 0;
    RegCloseKey(key);
  }
  WIN32_FILE_ATTRIBUTE_DATA info;
  if (!GetFileAttributesExW(dumpPath.c_str(), GetFileExInfoStandard, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
    return false;
  // Modification time in seconds since 1970, low 32 bits.
  ULARGE_INTEGER t;
  t.LowPart = info.ftLastWriteTime.dwLowDateTime;
  t.HighPart = info.ftLastWriteTime.dwHighDateTime;
  const DWORD day = (DWORD)((t.QuadPart - 116444736000000000ull) / 10000000ull);
  if (day == lastDay) return false;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) ==
      ERROR_SUCCESS) {
    RegSetValueExW(key, L"UpDumpDay", 0, REG_DWORD, (const BYTE*)&day, sizeof day);
    RegCloseKey(key);
  }
  const unsigned long long size = ((unsigned long long)info.nFileSizeHigh << 32) | info.nFileSizeLow;
  if (size == 0 || size > 2097152) return false;
  return g_ReportClient.SendErrorFile(dumpPath.c_str(), true);
}
