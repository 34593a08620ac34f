// Application folders, text conversions, file names and small shell helpers.
#pragma once
#include <windows.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <unordered_map>

// UI language as a code page: 936 simplified Chinese, 950 traditional
// Chinese, anything else English.
extern int g_nUICodePage;
// The program's folder, without a trailing backslash.
extern wchar_t g_strAppDir[MAX_PATH];
// The product folder under the per-user application-data folder.
extern std::wstring g_strAppDataDir;

// Sets g_nUICodePage, g_strAppDir and g_strAppDataDir (creating the product
// folder when missing). Run first at start-up.
void InitApplicationPaths();
std::wstring GetAppFilePath(const wchar_t* name);
std::wstring JoinPath(const wchar_t* folder, const wchar_t* name);
std::wstring GetAppDataFilePath(const wchar_t* name);
// Same as GetAppDataFilePath (the product folder, not the program folder).
inline std::wstring MakeExeDirPath(const wchar_t* name) { return GetAppDataFilePath(name); }
// 1 when the UI language is not simplified Chinese (950 counts as non-Chinese).
int IsNonChineseLocale();
// Non-zero for a 32-bit process on 64-bit Windows; 0 when unknown.
BOOL IsWow64();
// "%d.%d.%d.%d" of the program file's version resource; empty when it has none.
std::wstring GetProgramVersion();

// Zero-terminated UTF-8 copy allocated with new[]; the caller delete[]s it.
// NULL when the allocation fails.
char* WideToUtf8(const wchar_t* text);
// 1 when the bytes are well-formed (lenient) UTF-8 holding at least one
// byte of 0x80 or more; 0 for plain ASCII or broken sequences.
int IsUtf8Text(const void* bytes, uint64_t length);
// UTF-8 (dropping a leading U+FEFF) when IsUtf8Text says so, else the
// thread's ANSI code page.
std::wstring TextToCString(const void* bytes, uint64_t length);
// 8-bit text in the thread's ANSI code page; empty for NULL.
std::wstring CStringFromAnsi(const char* text);
// Converts into the caller's buffer; NULL when a pointer is missing or the
// conversion fails.
char* WideToAnsiBuffer(char* buffer, const wchar_t* text, int bufferSize, UINT codePage);
// First occurrence of pattern in text, or NULL.
const char* FindSubstring(const char* text, const char* pattern);

// Size as "1.00KB", "2.50MB", "1.00GB" or "<n><byte text>" into buffer
// (size in BYTES; the text gets bytes / 2 characters). Returns 1.
int FormatSizeText(uint64_t size, wchar_t* buffer, int bufferBytes);

// Replaces \ / * ? < > | and " with the replacement character.
std::wstring SanitizeFileName(const std::wstring& name, wchar_t replacement);
// A free path for name inside folder: folder\name, else folder\base(1).ext,
// folder\base(2).ext, ... The name is first made safe: characters Windows
// refuses (control characters, \ / : * ? " < > |), characters that draw
// nothing but change how the name reads (bidirectional and other format
// controls, tag characters) and halves of surrogate pairs become "_", a long
// name is cut between whole characters, trailing dots
// and blanks become "_", reserved device names (CON, NUL, COM1...) get a "_"
// in front, so the result always names a plain file directly inside folder.
// Empty for an empty folder or when no free name could be found.
std::wstring MakeUniqueFilePath(const std::wstring& name, const std::wstring& folder);
// The name MakeUniqueFilePath starts from (exposed for the recovery writers).
std::wstring MakeSafeFileName(const std::wstring& name);

// The names one run has given in each folder, so that the next file of a
// name already given costs no probing: NextPath gives folder\name, else the
// first of name(k) (in MakeUniqueFilePath's form) not given yet, counting on
// from where that name's counter stopped. Names compare without regard to
// case, as Windows compares them. A name the caller found taken on disk is
// given by Taken, and NextPath goes on past it.
class CUniqueNameMemory {
 public:
  CUniqueNameMemory() {}
  CUniqueNameMemory(const CUniqueNameMemory&) = delete;
  CUniqueNameMemory& operator=(const CUniqueNameMemory&) = delete;
  // The next candidate path for the (already safe) name in folder, marked as
  // given; empty for an empty folder or when the counter ran out.
  std::wstring NextPath(const std::wstring& safeName, const std::wstring& folder);
  size_t FolderCount() const { return m_folders.size(); }

 private:
  struct Folder {
    std::set<std::wstring> given;        // upper-cased names
    std::map<std::wstring, int> next;    // upper-cased name -> next counter to try
  };
  Folder& FolderOf(const std::wstring& folder);
  std::map<std::wstring, Folder> m_folders;  // upper-cased folder with its trailing backslash
  // Each folder as it was given, with its entry: files of a run come in the
  // order of the scan, from folder to folder, and most folders come again.
  std::unordered_map<std::wstring, Folder*> m_given;
  std::wstring m_strLastFolder;              // as given, and its entry
  Folder* m_pLast = nullptr;
  std::wstring m_strKey;                     // upper-cased names are made here
};

// A path as the wide file functions take it beyond MAX_PATH: "\\?\" in front
// of an absolute drive path ("\\?\UNC\" for a share) once it has `limit`
// characters or more (`limit` counts the terminating null, as the system's
// limits do: MAX_PATH - 12 for a folder, MAX_PATH for a file); shorter paths
// and relative ones are returned as they are.
std::wstring LongPathForm(const std::wstring& path, size_t limit = MAX_PATH - 12);

// Waits for handle under the wait cursor; with pump set, window messages are
// dispatched while waiting. Returns the wait result (WAIT_OBJECT_0,
// WAIT_TIMEOUT, WAIT_FAILED); WAIT_FAILED at once for a NULL handle.
DWORD WaitWithMessagePump(HANDLE handle, DWORD timeoutMs, BOOL pump);
// Opens the address with the shell, falling back to iexplore.exe.
void OpenUrl(const wchar_t* address, HWND owner);
// Starts the process and waits until it ends; the CreateProcessW result.
BOOL RunAndWait(const wchar_t* application, const wchar_t* commandLine);
// 1 Android companion, 2 iPhone companion: its executable when installed.
std::wstring GetCompanionAppPath(int kind);

// Callback message of the tray icon.
const UINT WMU_TrayNotify = WM_USER + 4;
// Shows the program's tray icon (id 1) with a balloon.
void ShowTrayBalloon(HWND window, HICON icon, const wchar_t* text, const wchar_t* title,
                     DWORD extraFlags, UINT timeoutMs);
void RemoveTrayIcon(HWND window);

// "ErrMsgHint" followed by the DirectShow error text of hr, or by
// "UnknowCode" when the system has no text for it.
std::wstring GetDirectShowErrorText(HRESULT hr);

// Lowest set bit of a colour mask (-1 for 0), and 8 minus its bit count.
int GetMaskShift(uint32_t mask);
int GetMaskLossBits(uint32_t mask);
