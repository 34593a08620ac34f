// UI texts from the language file of the UI code page, and message boxes
// whose title and text are looked up by key in section "Message".
#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// Label texts of section "UI", filled once by LoadLanguageStrings.
extern std::wstring g_strLangByte, g_strLangRecycle, g_strLangUnknowPer, g_strLangFindFile,
    g_strLangDefDiskName, g_strLangProductName, g_strLangDesktop, g_strLangAllType,
    g_strLangPicture, g_strLangAudio, g_strLangDocument, g_strLangVedio, g_strLangEmail,
    g_strLangOther, g_strLangAllDate, g_strLangDateFormat, g_strLangRootDir, g_strLangUnknow,
    g_strLangCreatePreviewing, g_strLangLostDir;

typedef std::vector<std::pair<std::wstring, std::wstring>> LanguageSectionList;
// Entries appended by LoadLanguageSection, in file order (duplicates kept).
extern LanguageSectionList g_LanguageSectionList;

// Only this many bytes of a section stream are read.
const uint32_t kLanguageStreamLimit = 0x20000;

// program folder\language\cn.dll (936), tr.dll (950) or en.dll (others).
std::wstring GetLanguageFilePath();
// XORs every whole 32-bit word that ends before the last byte with 0x5C17;
// the same call scrambles and unscrambles.
void UnmaskLanguageText(unsigned char* bytes, uint32_t count);
// The value of key in section into dest (at most n - 1 characters); the
// default when the file, section or key is missing. 1 found, 0 not.
int ReadLanguageText(const wchar_t* section, const wchar_t* key, const wchar_t* def,
                     wchar_t* dest, int n, const wchar_t* path);
// Section "UI" of the current language file, at most 259 characters.
std::wstring GetUIText(const wchar_t* key);
// Section "Message" the same way, and its "Title": the program's title that
// every message box carries.
std::wstring GetMessageText(const wchar_t* key);
std::wstring GetMessageTitle();
// Appends every entry of the section to g_LanguageSectionList; returns its
// count (0 when nothing could be read).
int LoadLanguageSection(const wchar_t* section, const wchar_t* path);
// Fills the label texts; a non-empty oem.ini product name wins.
void LoadLanguageStrings();

// Raw (still scrambled) bytes of one section stream, at most
// kLanguageStreamLimit. False when the file or stream cannot be read.
bool ReadLanguageStream(const wchar_t* path, const wchar_t* section, std::vector<unsigned char>& out);
// Entries of unscrambled stream bytes (count bytes): each NUL-ended,
// "key=value" defines a text, an entry without "=" is skipped, an empty
// entry or the end of the data ends the list.
bool FindLanguageEntry(const unsigned char* bytes, size_t count, const wchar_t* key,
                       std::wstring& value);
void CollectLanguageEntries(const unsigned char* bytes, size_t count, LanguageSectionList& out);

// The format with one integer argument. Only the first integer conversion
// (%d %i %u %o %x %X with flags, width and precision up to 3 digits) takes
// the argument; "%%" gives "%"; every other conversion (%s, %n, %p, "*",
// a second integer...) is copied literally, so a bad text cannot crash.
std::wstring FormatTextWithInt(const wchar_t* format, int arg);

// The one way to the modal message dialog. By default the platform message
// box; the message dialog of the window layer (and tests) install their own.
typedef int (*MessageDlgProc)(HWND parent, const wchar_t* text, const wchar_t* title, UINT type,
                              int flag);
// Installs proc (NULL restores the default) and returns the previous one.
MessageDlgProc SetMessageDlgProc(MessageDlgProc proc);
// Shows the dialog modally; the button result, 0 when it cannot be shown.
// Windows are made only on the window thread: asked for on another thread
// (a scan, search or recovery worker), the box is shown by the host window
// on the caller's behalf, and the caller waits for the answer.
int ShowMessageDlg(HWND parent, const wchar_t* text, const wchar_t* title, UINT type, int flag);
// The window that shows the boxes other threads ask for, sent `message`
// with a MessageBoxRequest; NULL: none (each thread shows its own).
void SetMessageBoxHost(HWND host, UINT message);
HWND GetMessageBoxHost();
struct MessageBoxRequest
{
  HWND parent;
  const wchar_t* text;
  const wchar_t* title;
  UINT type;
  int flag;
  int result;
};
// The host's handler of `message`: shows the box on the host's thread, over
// the asked-for parent when that is a window of this thread, else over host.
void ServeMessageBoxRequest(HWND host, LPARAM request);

int MessageBoxByKey(const wchar_t* key, HWND parent, UINT type, int flag);
int MessageBoxByKeyFormat(const wchar_t* key, int arg, HWND parent, UINT type, int flag);
int ErrorBoxByKeyFormat(const wchar_t* key, int arg, HWND parent, int flag);
int ErrorBoxByKey(const wchar_t* key, HWND parent);
// The same with the key given as Base64 text (decoded, then read in the
// thread's ANSI code page).
int MessageBoxByBase64Key(const char* key, HWND parent, UINT type, int flag);
int MessageBoxByBase64KeyFormat(const char* key, int arg, HWND parent, UINT type, int flag);
int ErrorBoxByBase64KeyFormat(const char* key, int arg, HWND parent, int flag);
int ErrorBoxByBase64Key(const char* key, HWND parent);
inline int ErrorBoxByKeyFormat(const char* key, int arg, HWND parent, int flag) {
  return ErrorBoxByBase64KeyFormat(key, arg, parent, flag);
}
inline int ErrorBoxByKey(const char* key, HWND parent) { return ErrorBoxByBase64Key(key, parent); }
// Key text of a Base64 key.
std::wstring DecodeBase64Key(const char* key);

// "<operation> failed with error <code>: <system text>" titled "Error";
// code 0 means GetLastError(); nothing when that is 0 too.
void ShowLastErrorBox(HWND parent, const wchar_t* operation, DWORD code);
