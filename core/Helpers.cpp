#include "core/Helpers.h"

#include <shellapi.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "core/Language.h"

int g_nUICodePage = 0;
wchar_t g_strAppDir[MAX_PATH] = {};
std::wstring g_strAppDataDir;

void InitApplicationPaths() {
  g_nUICodePage = (int)GetACP();

  wchar_t path[MAX_PATH] = {};
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) path[0] = 0;
  PathRemoveFileSpecW(path);
  lstrcpynW(g_strAppDir, path, MAX_PATH);

  wchar_t appData[MAX_PATH] = {};
  LPITEMIDLIST pidl = nullptr;
  if (SUCCEEDED(SHGetSpecialFolderLocation(nullptr, CSIDL_APPDATA, &pidl)) && pidl) {
    if (!SHGetPathFromIDListW(pidl, appData)) appData[0] = 0;
    CoTaskMemFree(pidl);
  }
  g_strAppDataDir = std::wstring(appData) + L"\\Delvaro6";
  if (!PathFileExistsW(g_strAppDataDir.c_str())) CreateDirectoryW(g_strAppDataDir.c_str(), nullptr);
}

std::wstring JoinPath(const wchar_t* folder, const wchar_t* name) {
  std::wstring r = folder ? folder : L"";
  r += L'\\';
  if (name) r += name;
  return r;
}

std::wstring GetAppFilePath(const wchar_t* name) { return JoinPath(g_strAppDir, name); }

std::wstring GetAppDataFilePath(const wchar_t* name) {
  return JoinPath(g_strAppDataDir.c_str(), name);
}

int IsNonChineseLocale() { return g_nUICodePage != 936 ? 1 : 0; }

BOOL IsWow64() {
  typedef BOOL(WINAPI * IsWow64ProcessFn)(HANDLE, PBOOL);
  HMODULE k = GetModuleHandleW(L"kernel32");
  if (!k) return FALSE;
  IsWow64ProcessFn fn = (IsWow64ProcessFn)(void*)GetProcAddress(k, "IsWow64Process");
  if (!fn) return FALSE;
  BOOL wow = FALSE;
  if (!fn(GetCurrentProcess(), &wow)) return FALSE;
  return wow;
}

std::wstring GetProgramVersion() {
  wchar_t path[MAX_PATH] = {};
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return L"";
  DWORD dummy = 0;
  DWORD size = GetFileVersionInfoSizeW(path, &dummy);
  if (size == 0) return L"";
  std::string data(size, '\0');
  if (!GetFileVersionInfoW(path, 0, size, &data[0])) return L"";
  VS_FIXEDFILEINFO* info = nullptr;
  UINT len = 0;
  if (!VerQueryValueW(&data[0], L"\\", (void**)&info, &len) || !info || len < sizeof(*info))
    return L"";
  wchar_t text[64] = {};
  _snwprintf(text, 63, L"%d.%d.%d.%d", (int)HIWORD(info->dwFileVersionMS),
             (int)LOWORD(info->dwFileVersionMS), (int)HIWORD(info->dwFileVersionLS),
             (int)LOWORD(info->dwFileVersionLS));
  return text;
}

char* WideToUtf8(const wchar_t* text) {
  if (!text) text = L"";
  int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) n = 1;
  char* out = new (std::nothrow) char[n + 1];
  if (!out) return nullptr;
  memset(out, 0, n + 1);
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out, n, nullptr, nullptr);
  return out;
}

int IsUtf8Text(const void* bytes, uint64_t length) {
  if (!bytes) return 0;
  const unsigned char* p = (const unsigned char*)bytes;
  int pending = 0;
  bool high = false;
  for (uint64_t i = 0; i < length; ++i) {
    unsigned char c = p[i];
    if (pending > 0) {
      if (c < 0x80 || c > 0xBF) return 0;
      --pending;
      continue;
    }
    if (c < 0x80) continue;
    high = true;
    if (c >= 0xFC && c <= 0xFD)
      pending = 5;
    else if (c >= 0xF8)  // F8-FB and FE-FF
      pending = 4;
    else if (c >= 0xF0)
      pending = 3;
    else if (c >= 0xE0)
      pending = 2;
    else if (c >= 0xC0)
      pending = 1;
    else
      return 0;  // continuation byte without a lead
  }
  return (pending == 0 && high) ? 1 : 0;
}

std::wstring TextToCString(const void* bytes, uint64_t length) {
  if (!bytes || length == 0) return L"";
  if (length > (uint64_t)INT_MAX) length = INT_MAX;
  const char* p = (const char*)bytes;
  int n = (int)length;
  UINT cp = CP_THREAD_ACP;
  if (IsUtf8Text(p, length)) {
    cp = CP_UTF8;
    if (n >= 3 && (unsigned char)p[0] == 0xEF && (unsigned char)p[1] == 0xBB &&
        (unsigned char)p[2] == 0xBF) {
      p += 3;
      n -= 3;
    }
  }
  if (n == 0) return L"";
  int w = MultiByteToWideChar(cp, 0, p, n, nullptr, 0);
  if (w <= 0) return L"";
  std::wstring out(w, L'\0');
  MultiByteToWideChar(cp, 0, p, n, &out[0], w);
  return out;
}

std::wstring CStringFromAnsi(const char* text) {
  if (!text || !*text) return L"";
  int w = MultiByteToWideChar(CP_THREAD_ACP, 0, text, -1, nullptr, 0);
  if (w <= 1) return L"";
  std::wstring out(w, L'\0');
  MultiByteToWideChar(CP_THREAD_ACP, 0, text, -1, &out[0], w);
  out.resize(w - 1);
  return out;
}

char* WideToAnsiBuffer(char* buffer, const wchar_t* text, int bufferSize, UINT codePage) {
  if (!buffer || !text || bufferSize <= 0) return nullptr;
  int n = WideCharToMultiByte(codePage, 0, text, -1, buffer, bufferSize, nullptr, nullptr);
  if (n <= 0) {
    buffer[0] = 0;
    return nullptr;
  }
  buffer[bufferSize - 1] = 0;
  return buffer;
}

const char* FindSubstring(const char* text, const char* pattern) {
  if (!text || !pattern) return nullptr;
  return strstr(text, pattern);
}

int FormatSizeText(uint64_t size, wchar_t* buffer, int bufferBytes) {
  int chars = bufferBytes / 2;
  if (!buffer || chars <= 0) return 1;
  double v = (double)size;
  int n;
  if (size > 1073741824ULL || size >= 0x100000000ULL)
    n = _snwprintf(buffer, chars, L"%.2f%s", v / 1073741824.0, L"GB");
  else if (size > 1048576ULL)
    n = _snwprintf(buffer, chars, L"%.2f%s", v / 1048576.0, L"MB");
  else if (size <= 1024ULL)
    n = _snwprintf(buffer, chars, L"%d%s", (int)size, g_strLangByte.c_str());
  else
    n = _snwprintf(buffer, chars, L"%.2f%s", v / 1024.0, L"KB");
  if (n < 0 || n >= chars) buffer[chars - 1] = 0;
  return 1;
}

std::wstring SanitizeFileName(const std::wstring& name, wchar_t replacement) {
  std::wstring r = name;
  for (wchar_t& c : r) {
    switch (c) {
      case L'\\': case L'/': case L'*': case L'?': case L'<': case L'>': case L'|': case L'"':
        c = replacement;
        break;
      default:
        break;
    }
  }
  return r;
}

namespace {
bool IsReservedDeviceName(const std::wstring& name) {
  // Windows maps these names to devices whatever the extension, and ignores
  // blanks before the extension ("con .txt").
  std::wstring stem = name.substr(0, name.find(L'.'));
  while (!stem.empty() && stem.back() == L' ') stem.pop_back();
  if (stem.empty()) return false;
  std::wstring up;
  for (wchar_t c : stem) up += (c >= L'a' && c <= L'z') ? (wchar_t)(c - 32) : c;
  static const wchar_t* const kNames[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$",
                                          L"CLOCK$"};
  for (const wchar_t* n : kNames)
    if (up == n) return true;
  if (up.size() == 4 && (up.compare(0, 3, L"COM") == 0 || up.compare(0, 3, L"LPT") == 0)) {
    wchar_t d = up[3];
    if ((d >= L'0' && d <= L'9') || d == 0x00B9 || d == 0x00B2 || d == 0x00B3) return true;
  }
  return false;
}

// A path component longer than this is refused by most file systems.
const size_t kMaxNameChars = 240;
}  // namespace

namespace {
// Characters that draw nothing but change how the name around them is shown
// or read: the bidirectional controls (a right-to-left override makes
// "\u202Eexe.txt" show as "txt.exe"), zero-width marks and joiners, the
// invisible operators, the deprecated format controls, the byte-order mark,
// the interlinear annotation marks, and C1 controls; beyond the first 64K,
// the format controls of the scripts that have them and the tag characters
// (U+E0000 to U+E007F, which spell hidden text after a visible name).
bool IsInvisibleFormatChar(uint32_t c) {
  return (c >= 0x80 && c <= 0x9F) || c == 0x00AD || c == 0x061C || c == 0x180E ||
         (c >= 0x200B && c <= 0x200F) || (c >= 0x202A && c <= 0x202E) || (c >= 0x2060 && c <= 0x206F) ||
         c == 0xFEFF || (c >= 0xFFF9 && c <= 0xFFFB) || c == 0x110BD || c == 0x110CD ||
         (c >= 0x13430 && c <= 0x1343F) || (c >= 0x1BCA0 && c <= 0x1BCA3) || (c >= 0x1D173 && c <= 0x1D17A) ||
         (c >= 0xE0000 && c <= 0xE007F);
}

bool IsHighSurrogate(wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(wchar_t c) { return c >= 0xDC00 && c <= 0xDFFF; }
}  // namespace

std::wstring MakeSafeFileName(const std::wstring& name) {
  std::wstring r;
  r.reserve(name.size());
  // Whole characters: a surrogate pair is judged as the one character it
  // makes, and half of a pair on its own (no character at all) is unsafe.
  for (size_t i = 0; i < name.size(); ++i) {
    const wchar_t c = name[i];
    if (IsHighSurrogate(c) && i + 1 < name.size() && IsLowSurrogate(name[i + 1])) {
      const uint32_t cp = 0x10000 + (((uint32_t)c - 0xD800) << 10) + ((uint32_t)name[i + 1] - 0xDC00);
      if (IsInvisibleFormatChar(cp)) {
        r += L'_';
      } else {
        r += c;
        r += name[i + 1];
      }
      ++i;
      continue;
    }
    if (c < 0x20 || c == 0x7F || IsInvisibleFormatChar(c) || IsHighSurrogate(c) || IsLowSurrogate(c)) {
      r += L'_';
      continue;
    }
    switch (c) {
      case L'\\': case L'/': case L':': case L'*': case L'?': case L'"': case L'<': case L'>':
      case L'|':
        r += L'_';
        break;
      default:
        r += c;
    }
  }
  // Trailing dots and blanks are dropped by Windows, which would make the
  // name alias another one ("a." is "a", ".." is the parent folder).
  for (size_t i = r.size(); i > 0 && (r[i - 1] == L'.' || r[i - 1] == L' '); --i) r[i - 1] = L'_';
  if (r.empty()) r = L"_";
  if (IsReservedDeviceName(r)) r.insert(r.begin(), L'_');
  if (r.size() > kMaxNameChars) {
    size_t dot = r.rfind(L'.');
    std::wstring ext = (dot != std::wstring::npos && r.size() - dot <= 16) ? r.substr(dot) : L"";
    size_t keep = kMaxNameChars - ext.size();
    // Never half of a character: a pair cut in two would be no name at all.
    if (IsHighSurrogate(r[keep - 1])) --keep;
    r = r.substr(0, keep) + ext;
    // Cutting may leave a trailing dot or blank in front of the extension.
    size_t end = r.size() - ext.size();
    for (size_t i = end; i > 0 && (r[i - 1] == L'.' || r[i - 1] == L' '); --i) r[i - 1] = L'_';
  }
  return r;
}

namespace {
// The k-th other name of `safe`: "name(k).ext" (the counter goes before the
// whole name when it has no extension).
std::wstring NumberedName(const std::wstring& safe, int k) {
  const size_t dot = safe.rfind(L'.');
  const size_t split = dot == std::wstring::npos ? 0 : dot;
  return safe.substr(0, split) + L"(" + std::to_wstring(k) + L")" + safe.substr(split);
}
}  // namespace

std::wstring MakeUniqueFilePath(const std::wstring& name, const std::wstring& folder) {
  // Without a folder the name would land in the root of the current drive.
  if (folder.empty()) return L"";
  std::wstring dir = folder;
  if (dir.back() != L'\\') dir += L'\\';
  const std::wstring safe = MakeSafeFileName(name);
  std::wstring candidate = dir + safe;
  for (int counter = 1; PathFileExistsW(candidate.c_str()); ++counter) {
    if (counter > 1000000) return L"";
    candidate = dir + NumberedName(safe, counter);
  }
  return candidate;
}

namespace {
// `s` upper-cased into `out` (whose memory is reused from call to call).
void UpperNameInto(const std::wstring& s, std::wstring& out) {
  out.assign(s);
  if (!out.empty()) CharUpperBuffW(&out[0], (DWORD)out.size());
}
}  // namespace

CUniqueNameMemory::Folder& CUniqueNameMemory::FolderOf(const std::wstring& folder) {
  // Files come folder by folder: the last folder serves until another one comes.
  if (m_pLast && folder == m_strLastFolder) return *m_pLast;
  m_strLastFolder = folder;
  Folder*& given = m_given[folder];
  if (!given) {
    // Folders that differ only in case (or a trailing backslash) share one entry.
    UpperNameInto(folder, m_strKey);
    if (m_strKey.back() != L'\\') m_strKey += L'\\';
    given = &m_folders[m_strKey];
  }
  m_pLast = given;
  return *m_pLast;
}

std::wstring CUniqueNameMemory::NextPath(const std::wstring& safeName, const std::wstring& folder) {
  if (folder.empty() || safeName.empty()) return L"";
  Folder& f = FolderOf(folder);
  const bool slash = folder.back() == L'\\';
  UpperNameInto(safeName, m_strKey);
  if (f.given.insert(m_strKey).second) {
    std::wstring path;
    path.reserve(folder.size() + 1 + safeName.size());
    path += folder;
    if (!slash) path += L'\\';
    path += safeName;
    return path;
  }
  int& counter = f.next[m_strKey];
  if (counter < 1) counter = 1;
  for (; counter <= 1000000; ++counter) {
    const std::wstring candidate = NumberedName(safeName, counter);
    UpperNameInto(candidate, m_strKey);
    if (f.given.insert(m_strKey).second) {
      ++counter;
      return folder + (slash ? L"" : L"\\") + candidate;
    }
  }
  return L"";
}

std::wstring LongPathForm(const std::wstring& path, size_t limit) {
  if (path.size() < limit || path.compare(0, 4, L"\\\\?\\") == 0) return path;
  if (path.size() >= 3 && iswalpha(path[0]) && path[1] == L':' && path[2] == L'\\') return L"\\\\?\\" + path;
  if (path.size() > 2 && path[0] == L'\\' && path[1] == L'\\' && path[2] != L'.' && path[2] != L'?')
    return L"\\\\?\\UNC\\" + path.substr(2);
  return path;
}

DWORD WaitWithMessagePump(HANDLE handle, DWORD timeoutMs, BOOL pump) {
  if (!handle) return WAIT_FAILED;
  HCURSOR old = SetCursor(LoadCursor(nullptr, IDC_WAIT));
  DWORD r;
  if (!pump) {
    r = WaitForSingleObject(handle, timeoutMs);
  } else {
    for (;;) {
      r = MsgWaitForMultipleObjects(1, &handle, FALSE, timeoutMs, QS_ALLINPUT);
      if (r != WAIT_OBJECT_0 + 1) break;
      MSG msg;
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
    }
  }
  SetCursor(old);
  return r;
}

void OpenUrl(const wchar_t* address, HWND owner) {
  if (!address) return;
  HINSTANCE h = ShellExecuteW(owner, L"open", address, nullptr, nullptr, SW_SHOWMAXIMIZED);
  if ((INT_PTR)h <= 32)
    ShellExecuteW(owner, L"open", L"iexplore.exe", address, nullptr, SW_SHOWMAXIMIZED);
}

BOOL RunAndWait(const wchar_t* application, const wchar_t* commandLine) {
  std::wstring cmd = commandLine ? commandLine : L"";
  STARTUPINFOW si;
  ZeroMemory(&si, sizeof si);
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  BOOL ok = CreateProcessW(application, cmd.empty() ? nullptr : &cmd[0], nullptr, nullptr, FALSE,
                           0, nullptr, nullptr, &si, &pi);
  if (ok) {
    WaitForSingleObject(pi.hProcess, INFINITE);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
  }
  return ok;
}

std::wstring GetCompanionAppPath(int kind) {
  const wchar_t* key;
  const wchar_t* exe;
  if (kind == 1) {
    key = L"SOFTWARE\\OvoPalomet";
    exe = L"\\palomet.exe";
  } else if (kind == 2) {
    key = L"SOFTWARE\\OvoFennick";
    exe = L"\\Fennick.exe";
  } else {
    return L"";
  }
  wchar_t buf[261] = {};
  DWORD type = 0, size = 520;
  if (SHGetValueW(HKEY_LOCAL_MACHINE, key, L"Path", &type, buf, &size) != ERROR_SUCCESS) return L"";
  buf[260] = 0;
  std::wstring path = std::wstring(buf) + exe;
  return PathFileExistsW(path.c_str()) ? path : L"";
}

namespace {
void CopyCut(wchar_t* dst, size_t cap, const wchar_t* src) {
  if (!src) src = L"";
  lstrcpynW(dst, src, (int)cap);
}
}  // namespace

void ShowTrayBalloon(HWND window, HICON icon, const wchar_t* text, const wchar_t* title,
                     DWORD extraFlags, UINT timeoutMs) {
  if (!window || !IsWindow(window)) return;
  NOTIFYICONDATAW nid;
  ZeroMemory(&nid, sizeof nid);
  nid.cbSize = sizeof nid;
  nid.hWnd = window;
  nid.uID = 1;
  nid.uFlags = extraFlags | NIF_MESSAGE | NIF_ICON | NIF_INFO;
  nid.hIcon = icon;
  nid.uTimeout = timeoutMs;
  nid.uCallbackMessage = WMU_TrayNotify;
  CopyCut(nid.szTip, 128, title);
  CopyCut(nid.szInfo, 256, text);
  CopyCut(nid.szInfoTitle, 64, title);
  Shell_NotifyIconW(NIM_ADD, &nid);
}

void RemoveTrayIcon(HWND window) {
  NOTIFYICONDATAW nid;
  ZeroMemory(&nid, sizeof nid);
  nid.cbSize = sizeof nid;
  nid.hWnd = window;
  nid.uID = 1;
  Shell_NotifyIconW(NIM_DELETE, &nid);
}

std::wstring GetDirectShowErrorText(HRESULT hr) {
  std::wstring text = GetUIText(L"ErrMsgHint");
  wchar_t err[161] = {};
  DWORD got = 0;
  // quartz may be missing; then the code simply has no system text.
  HMODULE q = LoadLibraryW(L"quartz.dll");
  if (q) {
    typedef DWORD(WINAPI * AMGetErrorTextWFn)(HRESULT, LPWSTR, DWORD);
    AMGetErrorTextWFn fn = (AMGetErrorTextWFn)(void*)GetProcAddress(q, "AMGetErrorTextW");
    if (fn) got = fn(hr, err, 160);
    FreeLibrary(q);
  }
  err[160] = 0;
  if (got > 0 && err[0])
    text += err;
  else
    text += GetUIText(L"UnknowCode");
  return text;
}

int GetMaskShift(uint32_t mask) {
  if (mask == 0) return -1;
  int s = 0;
  while (!(mask & 1u)) {
    mask >>= 1;
    ++s;
  }
  return s;
}

int GetMaskLossBits(uint32_t mask) {
  int bits = 0;
  for (; mask; mask &= mask - 1) ++bits;
  return 8 - bits;
}
