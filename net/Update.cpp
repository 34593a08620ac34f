#include "net/Update.h"

#include <shellapi.h>

#include <cwchar>
#include <vector>

#include "core/Helpers.h"
#include "core/Language.h"
#include "core/Log.h"
#include "core/Settings.h"
#include "net/DownLoadAssistant.h"
#include "net/Downloader.h"
#include "net/ReportClient.h"
#include "net/SehGuard.h"
#include "net/SysInfo.h"
#include "net/WebRequest.h"

namespace {

const wchar_t kInstallerName[] = L"OvoDelvaroSetup6.exe";

// ---- registry values under one key of either hive ----

std::wstring RegReadText(HKEY hive, const std::wstring& key, const wchar_t* name, bool* found = NULL)
{
    if (found)
        *found = false;
    HKEY h;
    if (RegOpenKeyExW(hive, key.c_str(), 0, KEY_QUERY_VALUE, &h) != ERROR_SUCCESS)
        return std::wstring();
    wchar_t buf[261] = {};
    DWORD type = 0, size = 260 * sizeof(wchar_t);
    LONG rc = RegQueryValueExW(h, name, NULL, &type, (BYTE*)buf, &size);
    RegCloseKey(h);
    if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ))
        return std::wstring();
    if (found)
        *found = true;
    return std::wstring(buf, wcsnlen(buf, 260));
}

// The text without its terminating null, as the installer writes them.
bool RegWriteText(HKEY hive, const std::wstring& key, const wchar_t* name, const std::wstring& text)
{
    HKEY h;
    if (RegCreateKeyExW(hive, key.c_str(), 0, NULL, 0, KEY_SET_VALUE, NULL, &h, NULL) != ERROR_SUCCESS)
        return false;
    LONG rc = RegSetValueExW(h, name, 0, REG_SZ, (const BYTE*)text.c_str(), (DWORD)(text.size() * sizeof(wchar_t)));
    RegCloseKey(h);
    return rc == ERROR_SUCCESS;
}

DWORD RegReadDword(HKEY hive, const std::wstring& key, const wchar_t* name)
{
    DWORD value = 0, size = sizeof value, type = 0;
    HKEY h;
    if (RegOpenKeyExW(hive, key.c_str(), 0, KEY_QUERY_VALUE, &h) != ERROR_SUCCESS)
        return 0;
    if (RegQueryValueExW(h, name, NULL, &type, (BYTE*)&value, &size) != ERROR_SUCCESS || type != REG_DWORD)
        value = 0;
    RegCloseKey(h);
    return value;
}

bool RegWriteDword(HKEY hive, const std::wstring& key, const wchar_t* name, DWORD value)
{
    HKEY h;
    if (RegCreateKeyExW(hive, key.c_str(), 0, NULL, 0, KEY_SET_VALUE, NULL, &h, NULL) != ERROR_SUCCESS)
        return false;
    LONG rc = RegSetValueExW(h, name, 0, REG_DWORD, (const BYTE*)&value, sizeof value);
    RegCloseKey(h);
    return rc == ERROR_SUCCESS;
}

bool RegValueExists(HKEY hive, const std::wstring& key, const wchar_t* name)
{
    HKEY h;
    if (RegOpenKeyExW(hive, key.c_str(), 0, KEY_QUERY_VALUE, &h) != ERROR_SUCCESS)
        return false;
    LONG rc = RegQueryValueExW(h, name, NULL, NULL, NULL, NULL);
    RegCloseKey(h);
    return rc == ERROR_SUCCESS;
}

void RegDeleteValueOf(HKEY hive, const std::wstring& key, const wchar_t* name)
{
    HKEY h;
    if (RegOpenKeyExW(hive, key.c_str(), 0, KEY_SET_VALUE, &h) != ERROR_SUCCESS)
        return;
    RegDeleteValueW(h, name);
    RegCloseKey(h);
}

bool FileExists(const std::wstring& path)
{
    DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

// ---- texts of the replies ----

std::wstring StripLineFeedsAndTabs(const std::wstring& text)
{
    std::wstring out;
    out.reserve(text.size());
    for (wchar_t c : text)
        if (c != L'\n' && c != L'\t')
            out += c;
    return out;
}

std::wstring Trimmed(const std::wstring& s)
{
    size_t a = s.find_first_not_of(L" \t\r\n");
    if (a == std::wstring::npos)
        return std::wstring();
    return s.substr(a, s.find_last_not_of(L" \t\r\n") - a + 1);
}

// What a version may look like: up to 64 letters, digits, dots, "-" and "_".
bool IsPlausibleVersion(const std::wstring& v)
{
    if (v.empty() || v.size() > 64)
        return false;
    for (wchar_t c : v)
        if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || c == L'.' ||
              c == L'-' || c == L'_'))
            return false;
    return true;
}

std::vector<std::wstring> VersionParts(const std::wstring& v)
{
    std::vector<std::wstring> parts;
    size_t start = 0;
    for (;;) {
        size_t dot = v.find(L'.', start);
        std::wstring p = v.substr(start, dot == std::wstring::npos ? std::wstring::npos : dot - start);
        size_t a = p.find_first_not_of(L" \t\r\n");
        size_t b = p.find_last_not_of(L" \t\r\n");
        parts.push_back(a == std::wstring::npos ? std::wstring() : p.substr(a, b - a + 1));
        if (dot == std::wstring::npos)
            break;
        start = dot + 1;
    }
    return parts;
}

bool IsNumber(const std::wstring& s)
{
    if (s.empty())
        return false;
    for (wchar_t c : s)
        if (c < L'0' || c > L'9')
            return false;
    return true;
}

int Sign(int v)
{
    return v < 0 ? -1 : v > 0 ? 1 : 0;
}

void GuardedCheck(void* param)
{
    CUpdate* self = (CUpdate*)param;
    // The thread procedure chose the body before; the flag is read here.
    self->AutoCheck();
}

void GuardedManualCheck(void* param)
{
    ((CUpdate*)param)->ManualCheck();
}

// "remotecfg.dat" as it is read: believed while it is held and passes the
// updater's policy; a file that does not pass (unchecked, left by an
// earlier version, or planted) goes.
bool CheckRemoteConfig(const wchar_t* path, void (*read)(void* context), void* context)
{
    TrustVerdict verdict;
    {
        CVerifiedFile check(path, GetUpdater().GetTrustPolicy());
        verdict = check.Verdict();
        if (check.IsTrusted()) {
            read(context);
            return true;
        }
    }
    // A file busy for a moment (being replaced) is only not read now.
    if (verdict != TRUST_UNREADABLE) {
        DebugPrint(L"[update] %s dropped: %s.\n", path, TrustVerdictText(verdict));
        DeleteFileW(path);
    }
    return false;
}

}  // namespace

CUpdate& GetUpdater()
{
    static CUpdate* updater = [] {
        CUpdate* u = new CUpdate;
        SetRemoteConfigCheck(CheckRemoteConfig);
        return u;
    }();
    return *updater;
}

HMODULE LoadLibrarySystemImportsOnly(const std::wstring& path)
{
    // The LOAD_LIBRARY_SEARCH_* flags come with SetDefaultDllDirectories;
    // a system without it would take the flags for an error, or worse,
    // search the old way.
    if (!GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return NULL;
    }
    return LoadLibraryExW(path.c_str(), NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

int CompareVersions(const std::wstring& a, const std::wstring& b)
{
    std::vector<std::wstring> pa = VersionParts(a), pb = VersionParts(b);
    const size_t n = pa.size() > pb.size() ? pa.size() : pb.size();
    for (size_t i = 0; i < n; ++i) {
        std::wstring x = i < pa.size() ? pa[i] : L"0";
        std::wstring y = i < pb.size() ? pb[i] : L"0";
        if (IsNumber(x) && IsNumber(y)) {
            x.erase(0, x.find_first_not_of(L'0') == std::wstring::npos ? x.size() : x.find_first_not_of(L'0'));
            y.erase(0, y.find_first_not_of(L'0') == std::wstring::npos ? y.size() : y.find_first_not_of(L'0'));
            if (x.size() != y.size())
                return x.size() < y.size() ? -1 : 1;
        }
        int c = Sign(wcscmp(x.c_str(), y.c_str()));
        if (c != 0)
            return c;
    }
    return 0;
}

std::wstring PlainUpdateText(const std::wstring& text)
{
    std::wstring out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        wchar_t c = text[i];
        if (c == L'<' && text.compare(i, 3, L"<n>") == 0) {
            out += L"<n>";
            i += 2;
            continue;
        }
        if (c == L'<' || c == L'>' || c == L'{' || c == L'}')
            continue;
        if (c == L'\t')
            c = L' ';
        if (c < 0x20 && c != L'\n')
            continue;
        out += c;
    }
    return out;
}

CUpdate::CUpdate(const wchar_t* libraryFolder)
    : m_hFreshet(NULL),
      m_hThread(NULL),
      m_bAutomatic(0),
      m_hOwner(NULL),
      m_hIcon(NULL),
      m_bEndpointsSet(false),
      m_strRegKey(L"Software\\OvoDelvaro6"),
      m_pPolicy(NULL),
      m_hPatch(NULL)
{
    InitializeCriticalSection(&m_lock);
    m_strAppVersion = GetAppVersion();
    // The maker's updater library beside the program; nothing of it is
    // called, loading it is all. Its imports come from System32 only, as
    // the patch's do: the folders of the user are no place to find code.
    std::wstring folder;
    if (libraryFolder) {
        folder = libraryFolder;
    } else {
        wchar_t module[MAX_PATH] = {};
        DWORD n = GetModuleFileNameW(NULL, module, MAX_PATH);
        if (n > 0 && n < MAX_PATH) {
            folder.assign(module, n);
            size_t slash = folder.find_last_of(L'\\');
            folder.erase(slash == std::wstring::npos ? 0 : slash);
        }
    }
    const std::wstring path = folder + L"\\Freshet.dll";
    if (!folder.empty() && FileExists(path))
        m_hFreshet = LoadLibrarySystemImportsOnly(path);
    if (!m_hFreshet)
        DebugPrint(L"[update] Load freshet.dll failure.\n");
}

CUpdate::~CUpdate()
{
    if (m_hFreshet)
        FreeLibrary(m_hFreshet);
    if (m_hThread)
        CloseHandle(m_hThread);
    DeleteCriticalSection(&m_lock);
}

CUpdate::Endpoints CUpdate::GetEndpoints()
{
    EnterGuardedLock(&m_lock);
    if (!m_bEndpointsSet) {
        // The built-in set depends on the language and "ServerBase", known
        // only after start-up read the settings.
        const CDefaultUrls& urls = CDefaultUrls::Get();
        m_endpoints.newVersion = urls.m_strNewVersionUrl;
        m_endpoints.patchVersion = urls.m_strPatchVersionUrl;
        m_endpoints.patch = urls.m_strPatchUrl;
        m_endpoints.remoteConfig = urls.m_strRemoteCfgUrl;
        m_endpoints.installer = urls.m_strUpdateSetupUrl;
        m_endpoints.decoder = urls.m_strDecoderUrl;
        m_bEndpointsSet = true;
    }
    Endpoints e = m_endpoints;
    LeaveGuardedLock(&m_lock);
    return e;
}

void CUpdate::SetEndpoints(const Endpoints& e)
{
    EnterGuardedLock(&m_lock);
    m_endpoints = e;
    m_bEndpointsSet = true;
    LeaveGuardedLock(&m_lock);
}

DWORD CUpdate::TodayStamp()
{
    SYSTEMTIME t;
    GetLocalTime(&t);
    return (DWORD)t.wYear * 10000 + t.wMonth * 100 + t.wDay;
}

void CUpdate::StartDailyCheck(HWND owner)
{
    const DWORD stored = RegReadDword(HKEY_CURRENT_USER, m_strRegKey, L"UpdateDay");
    m_hOwner = owner;
    // The whole date: the same day of the next month is another day.
    const DWORD today = TodayStamp();
    if (stored == today || IsChecking())
        return;
    RegWriteDword(HKEY_CURRENT_USER, m_strRegKey, L"UpdateDay", today);
    m_bAutomatic = 1;
    StartCheck();
}

void CUpdate::CheckNow(HWND owner, HICON icon)
{
    if (IsChecking()) {
        MessageBoxByBase64Key("VXBkYXRpbmc=", owner, MB_ICONINFORMATION, 0);  // "Updating"
        return;
    }
    if (HasNewInstaller()) {
        if (RunPendingInstaller() < 0)
            MessageBoxByBase64Key("Tm90VmVyaWZpZWQ=", owner, MB_ICONINFORMATION, 0);  // "NotVerified"
        return;
    }
    m_hIcon = icon;
    m_hOwner = owner;
    m_bAutomatic = 0;
    StartCheck();
}

BOOL CUpdate::StartCheck()
{
    // The first use of the addresses and of the trust policy on this
    // thread, before the check's: a fault in the check never leaves their
    // one-time set-up half done.
    GetEndpoints();
    GetTrustPolicy();
    m_hThread = CreateThread(NULL, 0, UpdateThreadProc, this, 0, NULL);
    return m_hThread != NULL;
}

BOOL CUpdate::IsChecking()
{
    if (!m_hThread)
        return FALSE;
    if (WaitForSingleObject(m_hThread, 0) == WAIT_TIMEOUT)
        return TRUE;
    CloseHandle(m_hThread);
    m_hThread = NULL;
    return FALSE;
}

BOOL CUpdate::WaitForCheck(DWORD ms)
{
    if (!m_hThread)
        return TRUE;
    if (WaitForSingleObject(m_hThread, ms) == WAIT_TIMEOUT)
        return FALSE;
    return !IsChecking();
}

DWORD WINAPI CUpdate::UpdateThreadProc(void* param)
{
    CUpdate* self = (CUpdate*)param;
    if (!self)
        return 0;
    if (self->m_bAutomatic == 1)
        RunGuardedThreadBody(GuardedCheck, self, __FILE__, __LINE__);
    else
        RunGuardedThreadBody(GuardedManualCheck, self, __FILE__, __LINE__);
    return 0;
}

void CUpdate::Post(WPARAM what)
{
    if (m_hOwner)
        PostMessageW(m_hOwner, kNewVersionFoundMessage, what, 0);
}

void CUpdate::SetFound(const std::wstring& version, const std::wstring& information)
{
    EnterGuardedLock(&m_lock);
    m_strNewVersion = version;
    m_strInformation = information;
    LeaveGuardedLock(&m_lock);
}

void CUpdate::ClearFound()
{
    SetFound(std::wstring(), std::wstring());
}

std::wstring CUpdate::GetInformation()
{
    EnterGuardedLock(&m_lock);
    std::wstring s = m_strInformation;
    LeaveGuardedLock(&m_lock);
    return s;
}

std::wstring CUpdate::GetNewVersion()
{
    EnterGuardedLock(&m_lock);
    std::wstring s = m_strNewVersion;
    LeaveGuardedLock(&m_lock);
    return s;
}

bool CUpdate::SendActionReport(int typeId)
{
    return g_ReportClient.SendAction(typeId, false);
}

void CUpdate::DownloadConfig()
{
    // The file changes scan switches: it is taken only when it passes the
    // trust policy (a FileSha256 pin or a signature). Without a policy
    // nothing is fetched, and a file left by an earlier version goes, so
    // the built-in defaults hold.
    const std::wstring target = MakeExeDirPath(L"remotecfg.dat");
    const CTrustPolicy& policy = GetTrustPolicy();
    if (!policy.IsConfigured()) {
        DeleteFileW(target.c_str());
        return;
    }
    CDownloader d;
    d.SetTrustPolicy(&policy);
    if (d.Download(GetEndpoints().remoteConfig.c_str(), target.c_str(), CREATE_ALWAYS) == 0)
        return;
    if (d.GetResult() == DL_NOT_VERIFIED)
        DebugPrint(L"[update] remote configuration refused: not trusted.\n");
    // The earlier file stays only when it passes the policy too: it may
    // be one no one checked, or one put there by someone else.
    TrustVerdict verdict;
    {
        CVerifiedFile check(target.c_str(), policy);
        verdict = check.Verdict();
    }
    if (verdict != TRUST_OK && verdict != TRUST_UNREADABLE)
        DeleteFileW(target.c_str());
}

void CUpdate::CheckPatch()
{
    const Endpoints e = GetEndpoints();
    const std::wstring reply = StripLineFeedsAndTabs(GetStringFromUrl(e.patchVersion.c_str(), FALSE));
    if (reply.compare(0, 8, L"version=") != 0)
        return;
    // A reply written with CR LF line ends keeps its CR: it is no part of the version.
    const std::wstring version = Trimmed(reply.substr(8));
    if (!IsPlausibleVersion(version) ||
        !IsNewerVersion(version, RegReadText(HKEY_CURRENT_USER, m_strRegKey, L"patch")))
        return;
    const std::wstring target = MakeExeDirPath(L"patch.dll");
    CDownloader d;
    d.SetTrustPolicy(&GetTrustPolicy());
    if (d.Download(e.patch.c_str(), target.c_str(), CREATE_ALWAYS) != 0)
        return;
    RegWriteText(HKEY_CURRENT_USER, m_strRegKey, L"patch", version);
    // Checked again right before the load, with the file held unchanged
    // until the loader has it.
    CVerifiedFile check(target.c_str(), GetTrustPolicy());
    if (!check.IsTrusted()) {
        DebugPrint(L"[update] patch %s downloaded, not loaded: %s.\n", version.c_str(), TrustVerdictText(check.Verdict()));
        return;
    }
    // Its own file and System32 only: the product folder is open to every
    // process of the user, so nothing beside the patch is looked up there.
    HMODULE h = LoadLibrarySystemImportsOnly(target);
    if (h)
        m_hPatch = h;
    else
        DebugPrint(L"[update] patch %s not loaded (error %lu).\n", version.c_str(), GetLastError());
}

void CUpdate::AutoCheck()
{
    if (RegValueExists(HKEY_CURRENT_USER, m_strRegKey, L"SendInstallMessage")) {
        SendActionReport(CReportClient::kFirstStart);
        RegDeleteValueOf(HKEY_CURRENT_USER, m_strRegKey, L"SendInstallMessage");
    }
    DownloadConfig();
    CheckPatch();
    ClearFound();
    const std::wstring reply = GetStringFromUrl(GetEndpoints().newVersion.c_str(), TRUE);
    const std::wstring version = Trimmed(GetReplyValue(reply, L"version"));
    if (IsPlausibleVersion(version) && IsUpdateEnabled() && !HasNewInstaller() &&
        IsNewerVersion(version, m_strAppVersion)) {
        SetFound(version, GetReplyValue(reply, L"information"));
        Post(kCheckFoundVersion);
    }
}

void CUpdate::ManualCheck()
{
    GetPartnerId();
    const std::wstring reply = StripLineFeedsAndTabs(GetStringFromUrl(VersionCheckUrl().c_str(), TRUE));
    DownloadConfig();
    ClearFound();
    const std::wstring version = Trimmed(GetReplyValue(reply, L"version"));
    // The window shows the outcome: message boxes belong to its thread.
    if (!IsPlausibleVersion(version)) {
        Post(kCheckNoVersion);
    } else if (IsNewerVersion(version, m_strAppVersion)) {
        SetFound(version, GetReplyValue(reply, L"information"));
        Post(kCheckFoundVersion);
    } else {
        Post(kCheckNotNewer);
    }
}

std::wstring CUpdate::GetReplyValue(const std::wstring& reply, const wchar_t* key)
{
    if (!key || !*key)
        return std::wstring();
    size_t at = reply.find(key);
    if (at == std::wstring::npos)
        return std::wstring();
    size_t open = at + wcslen(key) + 1;
    if (open > reply.size() || reply.compare(open, 2, L"<#") != 0)
        return std::wstring();
    size_t start = open + 2;
    size_t end = reply.find(L"#>", start);
    if (end == std::wstring::npos)
        return std::wstring();
    return reply.substr(start, end - start);
}

BOOL CUpdate::IsUpdateEnabled()
{
    return g_ConfigSetting.m_bLoaded != 0;
}

BOOL CUpdate::HasNewInstaller()
{
    if (g_ConfigSetting.ReadInt(L"main", L"HasNewInstaller", 0) == 0)
        return FALSE;
    const std::wstring path = GetNewInstallerPath();
    const std::wstring downloaded = RegReadText(HKEY_CURRENT_USER, m_strRegKey, L"DownloadedUpdateVersion");
    if (!downloaded.empty() && !m_strAppVersion.empty() && !IsNewerVersion(downloaded, m_strAppVersion)) {
        // This version (or a later one) runs already: nothing is pending.
        ClearPendingInstaller(path);
        return FALSE;
    }
    if (!FileExists(path))
        return FALSE;
    // An installer that can never run (no policy, or refused by it; marked
    // by an earlier version) is nothing pending: it would stop the checks.
    TrustVerdict verdict;
    {
        CVerifiedFile check(path.c_str(), GetTrustPolicy());
        verdict = check.Verdict();
    }
    if (verdict != TRUST_OK) {
        DebugPrint(L"[update] pending %s dropped: %s.\n", path.c_str(), TrustVerdictText(verdict));
        ClearPendingInstaller(path);
        return FALSE;
    }
    return TRUE;
}

void CUpdate::ClearPendingInstaller(const std::wstring& path)
{
    g_ConfigSetting.WriteInt(L"main", L"HasNewInstaller", 0);
    RegDeleteValueOf(HKEY_CURRENT_USER, m_strRegKey, L"DownloadedUpdateVersion");
    DeleteFileW(path.c_str());
}

int CUpdate::RunPendingInstaller()
{
    const std::wstring path = GetNewInstallerPath();
    if (!FileExists(path))
        return 0;
    TrustVerdict verdict;
    {
        CVerifiedFile check(path.c_str(), GetTrustPolicy());
        verdict = check.Verdict();
    }
    if (verdict != TRUST_OK) {
        DebugPrint(L"[update] %s not started: %s.\n", path.c_str(), TrustVerdictText(verdict));
        return -1;
    }
    if (MessageBoxByBase64Key("SGFzVXBkYXRl", NULL, MB_YESNO, 0) != IDYES)  // "HasUpdate"
        return 0;
    // Started from a private copy, checked again: the product folder is
    // open to every process of the user.
    if (StartVerifiedInstaller(path, GetTrustPolicy(), &verdict))
        return 1;
    return verdict == TRUST_OK ? 0 : -1;
}

void CUpdate::SetHasNewInstaller()
{
    g_ConfigSetting.WriteInt(L"main", L"HasNewInstaller", 1);
}

void CUpdate::SaveDownloadedUpdateVersion()
{
    const std::wstring v = GetNewVersion();
    if (!v.empty())
        RegWriteText(HKEY_CURRENT_USER, m_strRegKey, L"DownloadedUpdateVersion", v);
}

std::wstring CUpdate::GetPartnerId()
{
    try {
        bool found = false;
        std::wstring id = RegReadText(HKEY_CURRENT_USER, m_strRegKey, L"partner", &found);
        if (found)
            return id;
        std::wstring name = RegReadText(HKEY_LOCAL_MACHINE, m_strRegKey, L"InstallerName", &found);
        if (!found)
            return std::wstring();
        size_t slash = name.find_last_of(L"\\/");
        if (slash != std::wstring::npos)
            name.erase(0, slash + 1);
        size_t dot = name.find_last_of(L'.');
        if (dot != std::wstring::npos)
            name.erase(dot);
        size_t underscore = name.find(L'_');
        if (underscore == std::wstring::npos || underscore + 1 >= name.size())
            return std::wstring();
        id = name.substr(underscore + 1);
        RegWriteText(HKEY_CURRENT_USER, m_strRegKey, L"partner", id);
        return id;
    } catch (...) {
        return std::wstring();
    }
}

std::wstring CUpdate::VersionCheckUrl()
{
    if (g_OemInfo.m_strNewVersion.compare(0, 4, L"http") == 0)
        return g_OemInfo.m_strNewVersion;
    return GetEndpoints().newVersion;
}

std::wstring CUpdate::InstallerUrl()
{
    if (g_OemInfo.m_strUpdate.compare(0, 4, L"http") == 0)
        return g_OemInfo.m_strUpdate;
    return GetEndpoints().installer;
}

std::wstring GetVersionCheckUrl()
{
    return GetUpdater().VersionCheckUrl();
}

std::wstring GetInstallerDownloadUrl()
{
    return GetUpdater().InstallerUrl();
}

std::wstring GetNewInstallerPath()
{
    return MakeExeDirPath(kInstallerName);
}

std::wstring GetPartnerId()
{
    return GetUpdater().GetPartnerId();
}
