#include "net/Downloader.h"

#include <objbase.h>

#include <cwchar>
#include <map>
#include <vector>

#include "core/Log.h"
#include "net/SehGuard.h"
#include "net/TrustCheck.h"
#include "net/WebRequest.h"

namespace {

volatile LONG g_timeoutMs = 30000;
const DWORD kBlock = 8192;

// An http or https address with its buffers as long as the address; the
// fragment names a place in a page and is never sent.
bool CrackDownloadUrl(const wchar_t* url, WebUrlParts& out)
{
    if (!url || !*url || !CrackWebUrl(url, 0, out))
        return false;
    size_t hash = out.object.find(L'#');
    if (hash != std::wstring::npos)
        out.object.erase(hash);
    if (out.object.empty())
        out.object = L"/";
    return true;
}

// A header as text (the buffer grows to what the header needs, up to 4 KiB).
bool QueryHeaderText(HINTERNET request, DWORD what, std::wstring& text)
{
    std::vector<wchar_t> buf(256);
    for (int i = 0; i < 2; ++i) {
        DWORD size = (DWORD)(buf.size() * sizeof(wchar_t));
        if (HttpQueryInfoW(request, what, buf.data(), &size, NULL)) {
            text.assign(buf.data(), size / sizeof(wchar_t));
            return true;
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size > 8192)
            return false;
        buf.resize(size / sizeof(wchar_t) + 1);
    }
    return false;
}

// A decimal number of digits only (blanks around allowed), 64-bit, no overflow.
bool ParseLength(const std::wstring& text, unsigned long long& value)
{
    size_t i = 0, n = text.size();
    while (i < n && (text[i] == L' ' || text[i] == L'\t'))
        ++i;
    while (n > i && (text[n - 1] == L' ' || text[n - 1] == L'\t'))
        --n;
    if (i == n)
        return false;
    unsigned long long v = 0;
    for (; i < n; ++i) {
        if (text[i] < L'0' || text[i] > L'9')
            return false;
        if (__builtin_mul_overflow(v, 10ULL, &v) || __builtin_add_overflow(v, (unsigned long long)(text[i] - L'0'), &v))
            return false;
    }
    value = v;
    return true;
}

// Free bytes for the folder of path; ~0 when unknown.
unsigned long long FreeSpaceFor(const std::wstring& path)
{
    std::wstring folder = path;
    size_t slash = folder.find_last_of(L"\\/");
    if (slash != std::wstring::npos)
        folder.erase(slash + 1);
    ULARGE_INTEGER avail;
    if (GetDiskFreeSpaceExW(folder.c_str(), &avail, NULL, NULL))
        return avail.QuadPart;
    return ~0ULL;
}

// Moves the file behind handle (opened with DELETE access) to path,
// replacing what is there.
bool RenameHeldFile(HANDLE file, const wchar_t* path)
{
    wchar_t full[MAX_PATH];
    DWORD n = GetFullPathNameW(path, MAX_PATH, full, NULL);
    if (n == 0 || n >= MAX_PATH)
        return false;
    // The system's own form of the name: "\??\C:\..." or "\??\UNC\server\...".
    std::wstring name(full, n);
    if (name.compare(0, 4, L"\\\\?\\") == 0)
        name[1] = L'?';
    else if (name.compare(0, 2, L"\\\\") == 0)
        name = L"\\??\\UNC\\" + name.substr(2);
    else
        name = L"\\??\\" + name;
    std::vector<BYTE> buf(sizeof(FILE_RENAME_INFO) + name.size() * sizeof(wchar_t));
    FILE_RENAME_INFO* info = reinterpret_cast<FILE_RENAME_INFO*>(buf.data());
    info->ReplaceIfExists = TRUE;
    info->RootDirectory = NULL;
    info->FileNameLength = (DWORD)(name.size() * sizeof(wchar_t));
    memcpy(info->FileName, name.data(), name.size() * sizeof(wchar_t));
    return SetFileInformationByHandle(file, FileRenameInfo, info, (DWORD)buf.size()) != FALSE;
}

}  // namespace

int ProgressPercent(unsigned long long done, unsigned long long total)
{
    if (total == 0)
        return 100;
    if (done >= total)
        return 100;
    return (int)((double)done / (double)total * 100.0);
}

CDownloader::CDownloader(IDownLoadCallBack* callback)
    : m_pCallBack(callback),
      m_pPolicy(NULL),
      m_nResult(DL_OK),
      m_nStatus(0),
      m_ullDeclared(0),
      m_hActive(NULL),
      m_bAborted(false)
{
    InitializeCriticalSection(&m_lock);
}

CDownloader::~CDownloader()
{
    DeleteCriticalSection(&m_lock);
}

void CDownloader::SetTimeout(DWORD ms)
{
    InterlockedExchange(&g_timeoutMs, (LONG)ms);
}

std::wstring CDownloader::TempPathOf(const wchar_t* target)
{
    return std::wstring(target ? target : L"") + L".upd";
}

bool CDownloader::IsAborted()
{
    EnterGuardedLock(&m_lock);
    bool aborted = m_bAborted;
    LeaveGuardedLock(&m_lock);
    return aborted;
}

void CDownloader::Abort()
{
    // Only the flag: the downloading thread owns its handles and closes
    // them itself. A handle closed from here could be in use at that very
    // moment, or be taken by a handle opened meanwhile before the thread's
    // next read. The thread sees the flag after the block under way (a read
    // that waits for a silent server ends at the receive time-out).
    EnterGuardedLock(&m_lock);
    m_bAborted = true;
    LeaveGuardedLock(&m_lock);
}

HINTERNET CDownloader::GetActiveRequest()
{
    EnterGuardedLock(&m_lock);
    HINTERNET h = m_hActive;
    LeaveGuardedLock(&m_lock);
    return h;
}

bool CDownloader::SetActiveRequest(HINTERNET request)
{
    EnterGuardedLock(&m_lock);
    bool ok = !m_bAborted;
    if (ok)
        m_hActive = request;
    LeaveGuardedLock(&m_lock);
    return ok;
}

void CDownloader::CloseActiveRequest(HINTERNET request)
{
    EnterGuardedLock(&m_lock);
    if (m_hActive == request)
        m_hActive = NULL;
    LeaveGuardedLock(&m_lock);
    InternetCloseHandle(request);
}

HRESULT CDownloader::Download(const wchar_t* url, const wchar_t* target, DWORD disposition)
{
    m_nResult = DL_OK;
    m_nStatus = 0;
    m_ullDeclared = 0;
    WebUrlParts parts;
    if (!target || !*target || !CrackDownloadUrl(url, parts)) {
        m_nResult = DL_BAD_ARGUMENT;
        return E_FAIL;
    }
    const std::wstring temp = TempPathOf(target);
    // Plain paths only: a longer one could not be created or moved.
    if (temp.size() >= MAX_PATH) {
        m_nResult = DL_BAD_ARGUMENT;
        return E_FAIL;
    }
    HRESULT hr = Fetch(parts.host, parts.port, parts.secure, parts.object, temp, disposition);
    if (hr == 0) {
        // What is checked is what lands on the target: the file is held,
        // with no one else let write, replace or delete it, from before the
        // check until it has been moved through that same handle.
        HANDLE held = CreateFileW(temp.c_str(), GENERIC_READ | DELETE, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, NULL);
        if (held == INVALID_HANDLE_VALUE) {
            m_nResult = DL_FILE_ERROR;
        } else {
            const TrustVerdict verdict =
                m_pPolicy && m_pPolicy->IsConfigured() ? VerifyFileTrust(held, temp.c_str(), *m_pPolicy) : TRUST_OK;
            if (verdict != TRUST_OK) {
                DebugPrint(L"[Delvaro] download of %s refused: %s\n", url, TrustVerdictText(verdict));
                m_nResult = DL_NOT_VERIFIED;
            } else if (RenameHeldFile(held, target)) {
                CloseHandle(held);
                return 0;
            } else {
                m_nResult = DL_MOVE_FAILED;
            }
            CloseHandle(held);
        }
    }
    // Nothing half-done stays behind.
    DeleteFileW(temp.c_str());
    return E_FAIL;
}

HRESULT CDownloader::Fetch(const std::wstring& host, INTERNET_PORT port, bool secure, const std::wstring& urlPath,
                           const std::wstring& tempPath, DWORD disposition)
{
    HRESULT result = E_FAIL;
    m_nResult = DL_NETWORK;
    const DWORD timeout = (DWORD)g_timeoutMs;
    HINTERNET inet = NULL, conn = NULL, request = NULL;
    if (!IsAborted())
        inet = InternetOpenW(L"MyDownLoad", INTERNET_OPEN_TYPE_PRECONFIG, NULL, NULL, 0);
    if (inet) {
        SetWebTimeouts(inet, timeout);
        conn = InternetConnectW(inet, host.c_str(), port, NULL, NULL, INTERNET_SERVICE_HTTP, 0, 0);
    }
    if (conn) {
        SetWebTimeouts(conn, timeout);
        // Always from the server: a cached copy could be an older file.
        DWORD flags = INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                      (secure ? INTERNET_FLAG_SECURE : 0);
        request = HttpOpenRequestW(conn, L"GET", urlPath.c_str(), NULL, NULL, NULL, flags, 0);
    }
    if (request && !SetActiveRequest(request)) {
        InternetCloseHandle(request);
        request = NULL;
    }
    if (request) {
        SetWebTimeouts(request, timeout);
        std::wstring text;
        // A connection closed without an answer has no status (0): no reply.
        if (HttpSendRequestW(request, NULL, 0, NULL, 0) && QueryHeaderText(request, HTTP_QUERY_STATUS_CODE, text) &&
            (m_nStatus = _wtoi(text.c_str())) > 0) {
            if (m_pCallBack)
                m_pCallBack->OnStatus(m_nStatus);
            unsigned long long length = 0;
            if (m_nStatus != 200) {
                m_nResult = DL_HTTP_STATUS;
            } else if (!QueryHeaderText(request, HTTP_QUERY_CONTENT_LENGTH, text) || !ParseLength(text, length)) {
                m_nResult = DL_NO_LENGTH;
            } else if (length > kMaxLength || length > FreeSpaceFor(tempPath)) {
                m_ullDeclared = length;
                m_nResult = DL_TOO_LARGE;
            } else {
                m_ullDeclared = length;
                if (m_pCallBack)
                    m_pCallBack->OnFileInfo(urlPath.c_str(), (int)length);
                result = SaveStream(request, tempPath, length, disposition) ? 0 : 1;
            }
        }
        CloseActiveRequest(request);
    }
    if (IsAborted() && result != 0)
        m_nResult = DL_CANCELLED;
    if (conn)
        InternetCloseHandle(conn);
    if (inet)
        InternetCloseHandle(inet);
    if (result != 0 && m_pCallBack)
        m_pCallBack->OnStatus(500);
    return result;
}

BOOL CDownloader::SaveStream(HINTERNET request, const std::wstring& tempPath, unsigned long long length,
                             DWORD disposition)
{
    // Default security and a handle no child process inherits.
    HANDLE file = CreateFileW(tempPath.c_str(), GENERIC_WRITE, 0, NULL, disposition, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        m_nResult = DL_FILE_ERROR;
        return FALSE;
    }
    unsigned long long done = 0;
    BOOL ok = TRUE;
    m_nResult = DL_INCOMPLETE;
    BYTE buffer[kBlock];
    while (ok && done < length) {
        DWORD want = length - done < kBlock ? (DWORD)(length - done) : kBlock;
        DWORD got = 0;
        ok = InternetReadFile(request, buffer, want, &got);
        if (ok && got == 0) {
            // The server closed before the declared length: incomplete.
            ok = FALSE;
        } else if (ok) {
            DWORD written = 0;
            ok = WriteFile(file, buffer, got, &written, NULL) && written == got;
            if (ok)
                done += got;
            else
                m_nResult = DL_FILE_ERROR;
        }
        if (IsAborted()) {
            m_nResult = DL_CANCELLED;
            break;
        }
        if (m_pCallBack && m_pCallBack->OnProgress(!ok, 0, (unsigned)done, (unsigned)length) == 1) {
            m_nResult = DL_CANCELLED;
            break;
        }
    }
    CloseHandle(file);
    const BOOL complete = done == length && m_nResult != DL_CANCELLED;
    if (complete) {
        m_nResult = DL_OK;
        if (m_pCallBack)
            m_pCallBack->OnComplete();
    }
    return complete;
}

std::wstring SafeDownloadName(const std::wstring& url, const wchar_t* fallback)
{
    std::wstring s = url;
    size_t cut = s.find_first_of(L"?#");
    if (cut != std::wstring::npos)
        s.erase(cut);
    size_t slash = s.find_last_of(L"/\\");
    std::wstring name = slash == std::wstring::npos ? std::wstring() : s.substr(slash + 1);
    std::wstring out;
    for (wchar_t c : name) {
        bool keep = (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') || c == L'.' ||
                    c == L'_' || c == L'-' || c == L'(' || c == L')';
        wchar_t ch = keep ? c : L'_';
        // No ".." anywhere, no leading dot.
        if (ch == L'.' && (out.empty() || out.back() == L'.'))
            continue;
        out += ch;
    }
    while (!out.empty() && (out.back() == L'.' || out.back() == L' '))
        out.pop_back();
    if (out.size() > 100)
        out.erase(0, out.size() - 100);
    bool meaningful = false;
    for (wchar_t c : out)
        if (c != L'_' && c != L'.')
            meaningful = true;
    return meaningful ? out : std::wstring(fallback ? fallback : L"download.bin");
}

namespace {

const wchar_t kFolderPrefix[] = L"OvoDelvaro6-";
// Held open in every private folder while this process uses it, with no
// delete sharing: a later start knows a folder in use by it.
const wchar_t kFolderLock[] = L"\\inuse.lock";

CRITICAL_SECTION* FolderLocksLock()
{
    static CRITICAL_SECTION* cs = [] {
        CRITICAL_SECTION* c = new CRITICAL_SECTION;
        InitializeCriticalSection(c);
        return c;
    }();
    return cs;
}
std::map<std::wstring, HANDLE>& FolderLocks()
{
    static std::map<std::wstring, HANDLE>* locks = new std::map<std::wstring, HANDLE>;
    return *locks;
}

std::wstring TempFolder()
{
    wchar_t temp[MAX_PATH + 1] = {};
    DWORD n = GetTempPathW(MAX_PATH + 1, temp);
    return n == 0 || n > MAX_PATH ? std::wstring() : std::wstring(temp, n);
}

void RemoveFolderFiles(const std::wstring& folder)
{
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((folder + L"\\*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                DeleteFileW((folder + L"\\" + fd.cFileName).c_str());
        } while (FindNextFileW(h, &fd));
        FindClose(h);
    }
    RemoveDirectoryW(folder.c_str());
}

}  // namespace

std::wstring CreatePrivateDownloadFolder()
{
    const std::wstring temp = TempFolder();
    if (temp.empty())
        return std::wstring();
    for (int attempt = 0; attempt < 8; ++attempt) {
        GUID g;
        if (FAILED(CoCreateGuid(&g)))
            return std::wstring();
        wchar_t name[64];
        swprintf(name, 64, L"%ls%08lX%04X%04X%02X%02X", kFolderPrefix, (unsigned long)g.Data1, g.Data2, g.Data3,
                 g.Data4[0], g.Data4[1]);
        std::wstring folder = temp + name;
        // A folder that already exists is someone else's: take another name.
        if (!CreateDirectoryW(folder.c_str(), NULL)) {
            if (GetLastError() != ERROR_ALREADY_EXISTS)
                return std::wstring();
            continue;
        }
        HANDLE lock = CreateFileW((folder + kFolderLock).c_str(), GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, NULL);
        if (lock == INVALID_HANDLE_VALUE) {
            // Cleared away by a start-up in between: another name.
            RemoveDirectoryW(folder.c_str());
            continue;
        }
        EnterCriticalSection(FolderLocksLock());
        FolderLocks()[folder] = lock;
        LeaveCriticalSection(FolderLocksLock());
        return folder;
    }
    return std::wstring();
}

void RemoveDownloadFolder(const std::wstring& folder)
{
    if (folder.empty())
        return;
    EnterCriticalSection(FolderLocksLock());
    std::map<std::wstring, HANDLE>::iterator it = FolderLocks().find(folder);
    if (it != FolderLocks().end()) {
        CloseHandle(it->second);
        FolderLocks().erase(it);
    }
    LeaveCriticalSection(FolderLocksLock());
    RemoveFolderFiles(folder);
}

int RemoveStaleDownloadFolders()
{
    const std::wstring temp = TempFolder();
    if (temp.empty())
        return 0;
    int removed = 0;
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((temp + kFolderPrefix + L"*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    do {
        if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || (fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            continue;
        const std::wstring folder = temp + fd.cFileName;
        // A process that still uses its folder holds the lock: it stays.
        const std::wstring lock = folder + kFolderLock;
        if (!DeleteFileW(lock.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND)
            continue;
        RemoveFolderFiles(folder);
        if (GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES)
            ++removed;
    } while (FindNextFileW(h, &fd));
    FindClose(h);
    return removed;
}
