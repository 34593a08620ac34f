#include "core/Language.h"

#include <objbase.h>

#include <cstring>
#include <cwchar>

#include "core/Base64.h"
#include "core/Helpers.h"
#include "core/Log.h"
#include "core/Settings.h"

std::wstring g_strLangByte, g_strLangRecycle, g_strLangUnknowPer, g_strLangFindFile,
    g_strLangDefDiskName, g_strLangProductName, g_strLangDesktop, g_strLangAllType,
    g_strLangPicture, g_strLangAudio, g_strLangDocument, g_strLangVedio, g_strLangEmail,
    g_strLangOther, g_strLangAllDate, g_strLangDateFormat, g_strLangRootDir, g_strLangUnknow,
    g_strLangCreatePreviewing, g_strLangLostDir;

LanguageSectionList g_LanguageSectionList;

namespace {
// Structured storage refuses a second deny-write or exclusive open of the
// same file while the first is open, so lookups from several threads take
// turns here; another process holding the file is waited out briefly.
struct CLockHolder {
  CRITICAL_SECTION cs;
  CLockHolder() { InitializeCriticalSection(&cs); }
};

CRITICAL_SECTION* LanguageLock() {
  static CLockHolder holder;  // built once, thread-safe
  return &holder.cs;
}

class CLanguageLock {
 public:
  CLanguageLock() { EnterCriticalSection(LanguageLock()); }
  ~CLanguageLock() { LeaveCriticalSection(LanguageLock()); }
};

bool IsSharingError(HRESULT hr) {
  return hr == STG_E_SHAREVIOLATION || hr == STG_E_LOCKVIOLATION ||
         hr == HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION) ||
         hr == HRESULT_FROM_WIN32(ERROR_LOCK_VIOLATION);
}

template <typename Fn>
void ForEachEntry(const unsigned char* bytes, size_t count, Fn fn) {
  if (!bytes) return;
  size_t chars = count / 2;
  std::wstring text(chars, L'\0');
  if (chars) memcpy(&text[0], bytes, chars * 2);
  size_t pos = 0;
  while (pos < chars) {
    size_t end = text.find(L'\0', pos);
    if (end == std::wstring::npos) end = chars;
    if (end == pos) break;  // empty entry: end of the section
    // Look for "=" inside this entry only.
    const wchar_t* hit = wmemchr(text.data() + pos, L'=', end - pos);
    if (hit) {
      size_t eq = (size_t)(hit - text.data());
      if (!fn(text.data() + pos, eq - pos, text.data() + eq + 1, end - eq - 1)) return;
    }
    pos = end + 1;
  }
}

void CopyText(wchar_t* dest, int n, const wchar_t* src, size_t len) {
  if (!dest || n <= 0) return;
  if (len > (size_t)(n - 1)) len = (size_t)(n - 1);
  if (len) wmemcpy(dest, src, len);
  dest[len] = 0;
}

int DefaultMessageDlg(HWND parent, const wchar_t* text, const wchar_t* title, UINT type, int) {
  return MessageBoxW(parent, text, title, type);
}

MessageDlgProc g_pfnMessageDlg = DefaultMessageDlg;
HWND volatile g_hMessageBoxHost = nullptr;
UINT volatile g_uMessageBoxMessage = 0;
}  // namespace

std::wstring GetLanguageFilePath() {
  const wchar_t* file = L"en.dll";
  if (g_nUICodePage == 936)
    file = L"cn.dll";
  else if (g_nUICodePage == 950)
    file = L"tr.dll";
  return GetAppFilePath((std::wstring(L"language\\") + file).c_str());
}

void UnmaskLanguageText(unsigned char* bytes, uint32_t count) {
  if (!bytes) return;
  for (uint32_t i = 0; (uint64_t)4 * i + 4 < count; ++i) {
    uint32_t w;
    memcpy(&w, bytes + 4 * i, 4);
    w ^= 0x5C17u;
    memcpy(bytes + 4 * i, &w, 4);
  }
}

bool ReadLanguageStream(const wchar_t* path, const wchar_t* section, std::vector<unsigned char>& out) {
  out.clear();
  if (!path || !section || !*path) return false;
  CLanguageLock lock;
  IStorage* stg = nullptr;
  HRESULT hr = E_FAIL;
  for (int attempt = 0; attempt < 40; ++attempt) {
    hr = StgOpenStorage(path, nullptr, STGM_READ | STGM_SHARE_DENY_WRITE, nullptr, 0, &stg);
    if (SUCCEEDED(hr) || !IsSharingError(hr)) break;
    Sleep(25);
  }
  if (FAILED(hr) || !stg) return false;
  IStream* stream = nullptr;
  hr = stg->OpenStream(section, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, &stream);
  bool ok = false;
  if (SUCCEEDED(hr) && stream) {
    out.resize(kLanguageStreamLimit);
    ULONG total = 0;
    while (total < kLanguageStreamLimit) {
      ULONG got = 0;
      hr = stream->Read(out.data() + total, kLanguageStreamLimit - total, &got);
      if (FAILED(hr) || got == 0) break;
      total += got;
    }
    out.resize(total);
    ok = total > 0;
    stream->Release();
  }
  stg->Release();
  return ok;
}

bool FindLanguageEntry(const unsigned char* bytes, size_t count, const wchar_t* key,
                       std::wstring& value) {
  if (!key) return false;
  size_t keyLen = wcslen(key);
  bool found = false;
  ForEachEntry(bytes, count,
               [&](const wchar_t* k, size_t kl, const wchar_t* v, size_t vl) {
                 if (kl == keyLen && wmemcmp(k, key, kl) == 0) {
                   value.assign(v, vl);
                   found = true;
                   return false;
                 }
                 return true;
               });
  return found;
}

void CollectLanguageEntries(const unsigned char* bytes, size_t count, LanguageSectionList& out) {
  ForEachEntry(bytes, count, [&](const wchar_t* k, size_t kl, const wchar_t* v, size_t vl) {
    out.emplace_back(std::wstring(k, kl), std::wstring(v, vl));
    return true;
  });
}

int ReadLanguageText(const wchar_t* section, const wchar_t* key, const wchar_t* def,
                     wchar_t* dest, int n, const wchar_t* path) {
  std::vector<unsigned char> bytes;
  std::wstring value;
  if (ReadLanguageStream(path, section, bytes)) {
    UnmaskLanguageText(bytes.data(), (uint32_t)bytes.size());
    if (FindLanguageEntry(bytes.data(), bytes.size(), key, value)) {
      CopyText(dest, n, value.data(), value.size());
      return 1;
    }
  }
  if (!def) def = L"";
  CopyText(dest, n, def, wcslen(def));
  return 0;
}

namespace {
// Looks several keys of one section up with a single read of its stream.
// Each text is cut as ReadLanguageText cuts it and is empty when missing.
void ReadLanguageTexts(const wchar_t* section, const wchar_t* const* keys, std::wstring* values,
                       size_t count, const wchar_t* path) {
  std::vector<unsigned char> bytes;
  const bool read = ReadLanguageStream(path, section, bytes);
  if (read) UnmaskLanguageText(bytes.data(), (uint32_t)bytes.size());
  for (size_t i = 0; i < count; ++i) {
    wchar_t buf[260] = {};
    std::wstring value;
    if (read && FindLanguageEntry(bytes.data(), bytes.size(), keys[i], value))
      CopyText(buf, 260, value.data(), value.size());
    values[i] = buf;
  }
}
}  // namespace

std::wstring GetUIText(const wchar_t* key) {
  wchar_t buf[260] = {};
  ReadLanguageText(L"UI", key, L"", buf, 260, GetLanguageFilePath().c_str());
  return buf;
}

std::wstring GetMessageText(const wchar_t* key) {
  wchar_t buf[260] = {};
  ReadLanguageText(L"Message", key, L"", buf, 260, GetLanguageFilePath().c_str());
  return buf;
}

std::wstring GetMessageTitle() { return GetMessageText(L"Title"); }

int LoadLanguageSection(const wchar_t* section, const wchar_t* path) {
  std::vector<unsigned char> bytes;
  if (!ReadLanguageStream(path, section, bytes)) return 0;
  UnmaskLanguageText(bytes.data(), (uint32_t)bytes.size());
  CLanguageLock lock;
  CollectLanguageEntries(bytes.data(), bytes.size(), g_LanguageSectionList);
  return (int)g_LanguageSectionList.size();
}

void LoadLanguageStrings() {
  struct {
    std::wstring* target;
    const wchar_t* key;
  } texts[] = {
      {&g_strLangByte, L"Byte"},
      {&g_strLangRecycle, L"Recycle"},
      {&g_strLangUnknowPer, L"UnknowPer"},
      {&g_strLangFindFile, L"FindFile"},
      {&g_strLangDefDiskName, L"DefDiskName"},
      {&g_strLangProductName, L"ProductName"},
      {&g_strLangDesktop, L"Desktop"},
      {&g_strLangAllType, L"AllType"},
      {&g_strLangPicture, L"Picture"},
      {&g_strLangAudio, L"Audio"},
      {&g_strLangDocument, L"Document"},
      {&g_strLangVedio, L"Vedio"},
      {&g_strLangEmail, L"Email"},
      {&g_strLangOther, L"Other"},
      {&g_strLangAllDate, L"AllDate"},
      {&g_strLangDateFormat, L"DateFormat"},
      {&g_strLangRootDir, L"RootDir"},
      {&g_strLangUnknow, L"Unknow"},
      {&g_strLangCreatePreviewing, L"CreatePreviewing"},
      {&g_strLangLostDir, L"LostDir"},
  };
  const size_t count = sizeof(texts) / sizeof(texts[0]);
  const wchar_t* keys[count];
  std::wstring values[count];
  for (size_t i = 0; i < count; ++i) keys[i] = texts[i].key;
  ReadLanguageTexts(L"UI", keys, values, count, GetLanguageFilePath().c_str());
  for (size_t i = 0; i < count; ++i) *texts[i].target = values[i];
  if (!g_OemInfo.m_strProductName.empty()) g_strLangProductName = g_OemInfo.m_strProductName;
}

namespace {
// One integer conversion, done here rather than by the C runtime so that no
// text from a language file ever reaches a printf-family function.
std::wstring FormatOneInt(const std::wstring& flags, int width, int precision,
                          const std::wstring& length, wchar_t conv, int arg) {
  bool left = flags.find(L'-') != std::wstring::npos;
  bool plus = flags.find(L'+') != std::wstring::npos;
  bool space = flags.find(L' ') != std::wstring::npos;
  bool alt = flags.find(L'#') != std::wstring::npos;
  bool zero = flags.find(L'0') != std::wstring::npos && !left && precision < 0;
  bool isSigned = conv == L'd' || conv == L'i';
  long long sv = arg;
  unsigned long long uv = (unsigned int)arg;
  if (length == L"h") {
    sv = (short)arg;
    uv = (unsigned short)arg;
  }
  bool negative = isSigned && sv < 0;
  if (isSigned) uv = negative ? (unsigned long long)(-sv) : (unsigned long long)sv;

  unsigned base = (conv == L'o') ? 8 : (conv == L'x' || conv == L'X') ? 16 : 10;
  const wchar_t* digitSet = conv == L'X' ? L"0123456789ABCDEF" : L"0123456789abcdef";
  std::wstring digits;
  for (unsigned long long v = uv; v; v /= base) digits.insert(digits.begin(), digitSet[v % base]);
  int minDigits = precision < 0 ? 1 : precision;
  if ((int)digits.size() < minDigits) digits.insert(0, minDigits - digits.size(), L'0');
  if (alt && base == 8 && (digits.empty() || digits[0] != L'0')) digits.insert(digits.begin(), L'0');

  std::wstring prefix;
  if (isSigned) {
    if (negative)
      prefix = L"-";
    else if (plus)
      prefix = L"+";
    else if (space)
      prefix = L" ";
  }
  if (alt && base == 16 && uv != 0) prefix = conv == L'X' ? L"0X" : L"0x";

  int len = (int)(prefix.size() + digits.size());
  if (len >= width) return prefix + digits;
  int pad = width - len;
  if (left) return prefix + digits + std::wstring(pad, L' ');
  if (zero) return prefix + std::wstring(pad, L'0') + digits;
  return std::wstring(pad, L' ') + prefix + digits;
}
}  // namespace

std::wstring FormatTextWithInt(const wchar_t* format, int arg) {
  std::wstring out;
  if (!format) return out;
  bool used = false;
  size_t i = 0;
  while (format[i]) {
    wchar_t c = format[i];
    if (c != L'%') {
      out += c;
      ++i;
      continue;
    }
    if (format[i + 1] == L'%') {
      out += L'%';
      i += 2;
      continue;
    }
    size_t j = i + 1;
    while (format[j] && wcschr(L"-+ #0", format[j])) ++j;
    std::wstring flags(format + i + 1, j - i - 1);
    int width = 0, precision = -1, widthDigits = 0, precDigits = 0;
    for (; format[j] >= L'0' && format[j] <= L'9'; ++j, ++widthDigits)
      if (widthDigits < 4) width = width * 10 + (format[j] - L'0');
    bool ok = widthDigits <= 3;
    if (format[j] == L'.') {
      ++j;
      precision = 0;
      for (; format[j] >= L'0' && format[j] <= L'9'; ++j, ++precDigits)
        if (precDigits < 4) precision = precision * 10 + (format[j] - L'0');
      ok = ok && precDigits <= 3;
    }
    // An int is 32 bits: plain, "h" or "l" (32-bit on Windows).
    size_t lenStart = j;
    while (format[j] == L'h' || format[j] == L'l') ++j;
    std::wstring length(format + lenStart, j - lenStart);
    ok = ok && (length.empty() || length == L"h" || length == L"l");
    wchar_t conv = format[j];
    ok = ok && conv && wcschr(L"diouxX", conv) != nullptr && !used;
    if (!ok) {
      out += L'%';  // not ours to fill: keep it as text
      ++i;
      continue;
    }
    out += FormatOneInt(flags, width, precision, length, conv, arg);
    used = true;
    i = j + 1;
  }
  return out;
}

MessageDlgProc SetMessageDlgProc(MessageDlgProc proc) {
  MessageDlgProc old = g_pfnMessageDlg;
  g_pfnMessageDlg = proc ? proc : DefaultMessageDlg;
  return old;
}

int ShowMessageDlg(HWND parent, const wchar_t* text, const wchar_t* title, UINT type, int flag) {
  const HWND host = g_hMessageBoxHost;
  const UINT message = g_uMessageBoxMessage;
  if (host && message && IsWindow(host) && GetWindowThreadProcessId(host, nullptr) != GetCurrentThreadId()) {
    // One round trip: the host shows the box and answers when it is closed.
    MessageBoxRequest request = {parent, text ? text : L"", title ? title : L"", type, flag ? 1 : 0, 0};
    SendMessageW(host, message, 0, (LPARAM)&request);
    return request.result;
  }
  return g_pfnMessageDlg(parent, text ? text : L"", title ? title : L"", type, flag ? 1 : 0);
}

void SetMessageBoxHost(HWND host, UINT message) {
  g_uMessageBoxMessage = host ? message : 0;
  g_hMessageBoxHost = host;
}

HWND GetMessageBoxHost() { return g_hMessageBoxHost; }

void ServeMessageBoxRequest(HWND host, LPARAM lParam) {
  MessageBoxRequest* request = (MessageBoxRequest*)lParam;
  if (!request) return;
  HWND parent = request->parent;
  if (!parent || !IsWindow(parent) || GetWindowThreadProcessId(parent, nullptr) != GetCurrentThreadId())
    parent = host;
  // Over the dialog that is up on the parent, if any, so that closing the box
  // gives the input back to that dialog and not to the window under it.
  HWND top = GetLastActivePopup(parent);
  if (top && top != parent && IsWindowVisible(top) && IsWindowEnabled(top) &&
      GetWindowThreadProcessId(top, nullptr) == GetCurrentThreadId())
    parent = top;
  request->result = g_pfnMessageDlg(parent, request->text, request->title, request->type, request->flag);
}

int MessageBoxByKey(const wchar_t* key, HWND parent, UINT type, int flag) {
  const wchar_t* keys[2] = {L"Title", key};
  std::wstring texts[2];
  ReadLanguageTexts(L"Message", keys, texts, 2, GetLanguageFilePath().c_str());
  return ShowMessageDlg(parent, texts[1].c_str(), texts[0].c_str(), type, flag);
}

int MessageBoxByKeyFormat(const wchar_t* key, int arg, HWND parent, UINT type, int flag) {
  const wchar_t* keys[2] = {L"Title", key};
  std::wstring texts[2];
  ReadLanguageTexts(L"Message", keys, texts, 2, GetLanguageFilePath().c_str());
  std::wstring text = FormatTextWithInt(texts[1].c_str(), arg);
  return ShowMessageDlg(parent, text.c_str(), texts[0].c_str(), type, flag);
}

int ErrorBoxByKeyFormat(const wchar_t* key, int arg, HWND parent, int flag) {
  return MessageBoxByKeyFormat(key, arg, parent, MB_ICONERROR, flag);
}

int ErrorBoxByKey(const wchar_t* key, HWND parent) {
  return MessageBoxByKey(key, parent, MB_ICONERROR, 0);
}

std::wstring DecodeBase64Key(const char* key) {
  if (!key) return L"";
  std::string bytes = Base64DecodeString(std::string(key));
  return CStringFromAnsi(bytes.c_str());
}

int MessageBoxByBase64Key(const char* key, HWND parent, UINT type, int flag) {
  return MessageBoxByKey(DecodeBase64Key(key).c_str(), parent, type, flag);
}

int MessageBoxByBase64KeyFormat(const char* key, int arg, HWND parent, UINT type, int flag) {
  return MessageBoxByKeyFormat(DecodeBase64Key(key).c_str(), arg, parent, type, flag);
}

int ErrorBoxByBase64KeyFormat(const char* key, int arg, HWND parent, int flag) {
  return ErrorBoxByKeyFormat(DecodeBase64Key(key).c_str(), arg, parent, flag);
}

int ErrorBoxByBase64Key(const char* key, HWND parent) {
  return ErrorBoxByKey(DecodeBase64Key(key).c_str(), parent);
}

void ShowLastErrorBox(HWND parent, const wchar_t* operation, DWORD code) {
  if (code == 0) code = GetLastError();
  if (code == 0) return;
  wchar_t* sys = nullptr;
  FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                     FORMAT_MESSAGE_IGNORE_INSERTS,
                 nullptr, code, 1024, (LPWSTR)&sys, 0, nullptr);
  std::wstring text = operation ? operation : L"";
  text += L" failed with error ";
  text += std::to_wstring((int)code);
  text += L": ";
  if (sys) text += sys;
  if (sys) LocalFree(sys);
  DebugPrint(L"[Delvaro] %s\n", text.c_str());
  ShowMessageDlg(parent, text.c_str(), L"Error", MB_ICONERROR, 1);
}
