// The usage, feedback and error reporter: JSON reports, AES-encrypted and
// Base64-encoded, posted to pages of the report server; and the upload of
// a crash dump left by an earlier run.
//
// One lock guards the settings, the building of a report and the event
// queue. An asynchronous send runs on a sender thread of its own, which
// works on its own copy of address, body and kind; only one runs at a time.
// Nothing is ever retried or shown to the user.
#pragma once
#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace Json {
class Value;
}

// winbase.h maps ReportEvent to the event-log call ReportEventW; here the
// name is the queued usage event (call ReportEventW by its own name).
#ifdef ReportEvent
#undef ReportEvent
#endif

struct ReportEvent {
  std::string Code;   // ANSI (thread code page)
  std::string Value;  // ANSI
  int Times;
  int Mode;  // 1 plain, 2 with a value
};

class CReportClient {
 public:
  // Report kinds; an action report's kind is its TypeId.
  enum {
    kFirstStart = 1,
    kUninstall = 2,
    kStart = 3,
    kUpdateDownloaded = 4,
    kEvents = 5,
    kError = 6,
    kErrorFile = 7,
    kFeedback = 8,
  };
  // Events beyond this many wait for nothing: they are dropped.
  static constexpr size_t kMaxQueuedEvents = 1000;

  CReportClient();
  ~CReportClient();

  // The report server: "host[:port]" reached over http, or a base address
  // with its own scheme ("https://host").
  void SetServer(const wchar_t* server);
  void SetAppId(int appId);
  void SetOsBit(bool is64);
  // Stored in the thread's ANSI code page.
  void SetChannelCode(const wchar_t* text);
  void SetVersion(const wchar_t* text);
  void SetMachineCode(const wchar_t* text);
  void SetOs(const wchar_t* text);
  void SetUsername(const wchar_t* text);

  void AddEvent(const wchar_t* code, int times = 1, int hasValue = 0, const wchar_t* value = nullptr);
  void ClearEvents();
  size_t GetEventCount();

  // Synchronous: the server's verdict (a reply of 1 or more). Asynchronous:
  // whether the sender thread was started (FALSE while one still runs).
  bool SendAction(int typeId, bool async);
  // An empty queue sends nothing and returns false. The queue is emptied
  // once the report is built, whether or not it arrives.
  bool SendEvents(bool async);
  bool SendError(const wchar_t* text, bool async);
  // Feedback, always synchronous; its texts go as UTF-8.
  bool SendSuggest(const wchar_t* content, const wchar_t* contact);
  // Multipart upload of a file to "report/crashdump".
  bool SendErrorFile(const wchar_t* path, bool async);

  // False when no sender thread runs; with wait, waits for it first.
  bool IsSending(bool wait);
  bool IsUploadingFile();
  bool WaitSending() { return IsSending(true); }
  // Waits at most timeoutMs; true when no sender runs any more.
  bool WaitSending(DWORD timeoutMs);

  // "http://" + server + "/" + page (the server's own scheme if it has one).
  std::wstring MakeReportUrl(const char* page);
  static const char* PageOfKind(int kind);
  // The JSON text of a report as it is encrypted: ascending keys, three
  // blanks of indentation, 8-bit texts unescaped, a final line break.
  static std::string SerializeReport(const Json::Value& root);

  // Test seam: the encryption used for the bodies (NULL restores AES).
  typedef int (*EncryptFn)(const uint8_t* data, uint32_t length, uint8_t** out, uint32_t* outLength,
                           const char* key);
  EncryptFn SetEncryptHook(EncryptFn fn);

 private:
  CReportClient(const CReportClient&);
  CReportClient& operator=(const CReportClient&);

  struct Job;
  class CLock;

  bool SenderRunningLocked();
  bool EncodeLocked(const Json::Value& root, std::string& body);
  bool SendReport(int kind, bool async, const std::function<bool(Json::Value&)>& build);
  bool StartSenderLocked(Job* job);
  std::wstring UploadUrlLocked();
  static DWORD WINAPI SenderProc(void* param);
  static bool RunJob(const Job& job);
  static bool PostAndJudge(const std::wstring& url, const std::string& body);
  static bool UploadFile(const std::wstring& url, const std::wstring& path);

  CRITICAL_SECTION m_lock;
  std::string m_strBody;
  std::wstring m_strErrorFilePath;
  std::wstring m_strServer;
  int m_nAppId;
  int m_nOsBit;
  int m_nKind;
  std::string m_strChannelCode;
  std::string m_strVersion;
  std::string m_strMachineCode;
  std::string m_strOs;
  std::string m_strUsername;
  HANDLE m_hSender;
  int m_nSenderKind;
  std::vector<ReportEvent*> m_events;
  EncryptFn m_pfnEncrypt;
};

extern CReportClient g_ReportClient;

// ---- start-up and shutdown ----

// Configures g_ReportClient as start-up does: the server (serverBase, or
// the report server of the built-in endpoint set), AppId 1, the partner id,
// the program version, the machine code (loaded when still empty), the
// Windows name, and OsBit 64 on a 64-bit system.
void ConfigureReportClient(const wchar_t* serverBase = nullptr);
// The start report: action 3, asynchronous.
bool SendStartReport();
// The exit report: waits at most waitMs for a running sender, then sends
// the queued events synchronously.
bool SendExitReport(DWORD waitMs = 5000);
// A crash dump "Error.tmp" in the program folder is uploaded (asynchronously)
// once per modification time, kept in HKCU "Software\OvoDelvaro6"
// "UpDumpDay", and only when it holds 1 to 2,097,152 bytes.
bool UploadPendingCrashDump();
bool UploadPendingCrashDump(const std::wstring& dumpPath);
