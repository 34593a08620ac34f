// The updater: a daily check at the first start of a day and a check from
// the main menu, both on a thread of their own. The daily check fetches the
// remote configuration ("remotecfg.dat") and a newer patch library
// ("patch.dll", loaded only when it passes the trust policy), and both
// tell the main window when the server offers a newer program version; the
// update dialog then fetches its installer.
//
// Nothing downloaded is used unchecked: the patch library, the installers
// and the remote configuration are checked against the program's trust
// policy (net/TrustCheck.h) before they replace an earlier file, and the
// code again right before it is loaded or started; with no policy the patch
// is downloaded but not loaded, an installer is not kept, and the remote
// configuration is not fetched. The patch loads with its dependencies from
// System32 only, and installers start from a private copy.
#pragma once
#include <windows.h>

#include <string>

#include "net/TrustCheck.h"

// Posted to the owner window when a check ends with something to show:
// wParam 0 a newer version (the update dialog), 1 no version information
// (manual check only), 2 already the newest version (manual check only).
const UINT kNewVersionFoundMessage = WM_USER + 23;
enum
{
    kCheckFoundVersion = 0,
    kCheckNoVersion = 1,
    kCheckNotNewer = 2,
};

// Versions compared part by part between dots: numbers as numbers (6.10 is
// newer than 6.9, 10 newer than 9), a part that is not a number as text; a
// missing part counts as 0. <0, 0 or >0.
int CompareVersions(const std::wstring& a, const std::wstring& b);
inline bool IsNewerVersion(const std::wstring& candidate, const std::wstring& current)
{
    return CompareVersions(candidate, current) > 0;
}

// Update-server text for the update dialog: plain text and the "<n>" line
// break only. Every other markup character of the dialog's text control
// ("<", ">", "{", "}") and control characters but line feeds are dropped.
std::wstring PlainUpdateText(const std::wstring& text);

class CUpdate
{
public:
    struct Endpoints
    {
        std::wstring newVersion;     // "/update/newversion.htm"
        std::wstring patchVersion;   // "/update/patchver.htm"
        std::wstring patch;          // "/update/patch.bin"
        std::wstring remoteConfig;   // "/remotecfg.cab"
        std::wstring installer;      // "/update/OvoDelvaroSetup.exe"
        std::wstring decoder;        // "/decoder_setup.exe"
    };

    // Loads "Freshet.dll" from libraryFolder (NULL: the program's folder).
    explicit CUpdate(const wchar_t* libraryFolder = NULL);
    virtual ~CUpdate();
    // "/remotecfg.cab" to "remotecfg.dat" in the product folder when it
    // passes the trust policy; a failed or refused download keeps the
    // earlier file only when that one passes it, and without a policy the
    // file is removed.
    virtual void DownloadConfig();

    // Start-up: at most one automatic check per calendar day.
    void StartDailyCheck(HWND owner);
    // The menu command (UI thread): a note when a check runs, the pending
    // installer when there is one, else a manual check.
    void CheckNow(HWND owner, HICON icon);
    BOOL IsChecking();
    // The exit path: waits at most ms for a running check; TRUE when none
    // runs any more.
    BOOL WaitForCheck(DWORD ms);

    // A downloaded installer waits: "HasNewInstaller" set and the file
    // present and passing the trust policy. Once the running version is not
    // older than the downloaded one, or when the file does not pass the
    // policy, the mark is cleared and the file removed.
    BOOL HasNewInstaller();
    // Asks (yes/no) and starts the pending installer (UI thread) from a
    // private copy: 1 started, 0 not (no file, or the user said no), -1
    // refused because it does not pass the trust policy (nothing asked).
    int RunPendingInstaller();
    BOOL RunNewInstaller() { return RunPendingInstaller() == 1; }
    void SetHasNewInstaller();
    void SaveDownloadedUpdateVersion();
    BOOL IsUpdateEnabled();

    // Copies of what the last check found (the update dialog reads them),
    // and the setter the checks use.
    std::wstring GetInformation();
    std::wstring GetNewVersion();
    void SetFound(const std::wstring& version, const std::wstring& information);
    HICON GetIcon() const { return m_hIcon; }
    // The window the outcomes are posted to (the checks' starters set it).
    void SetOwnerWindow(HWND owner) { m_hOwner = owner; }

    // The check bodies (the thread runs one of them).
    void AutoCheck();
    void ManualCheck();
    // The value between "<#" and "#>" after the first occurrence of key and
    // one more character; empty when any part is missing.
    static std::wstring GetReplyValue(const std::wstring& reply, const wchar_t* key);
    std::wstring GetPartnerId();
    // oem.ini "NewVersion" / "Update" when they begin with "http", else the
    // endpoints' new-version and installer addresses.
    std::wstring VersionCheckUrl();
    std::wstring InstallerUrl();

    // Configuration, with defaults from the built-in endpoint set, the
    // program's version, its registry key and its trust policy; tests point
    // them elsewhere.
    Endpoints GetEndpoints();
    void SetEndpoints(const Endpoints& e);
    const std::wstring& GetAppVersion() const { return m_strAppVersion; }
    void SetAppVersion(const std::wstring& v) { m_strAppVersion = v; }
    // Subkey of HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE ("Software\OvoDelvaro6").
    void SetRegistryKey(const std::wstring& key) { m_strRegKey = key; }
    const std::wstring& GetRegistryKey() const { return m_strRegKey; }
    // NULL: the program's policy (ProgramTrustPolicy).
    void SetTrustPolicy(const CTrustPolicy* policy) { m_pPolicy = policy; }
    const CTrustPolicy& GetTrustPolicy() const { return m_pPolicy ? *m_pPolicy : ProgramTrustPolicy(); }
    // Today as the check day (yyyymmdd of the local date).
    static DWORD TodayStamp();
    // The patch library loaded by the last automatic check, or NULL.
    HMODULE GetPatchModule() const { return m_hPatch; }
    // "Freshet.dll" as the constructor loaded it, or NULL.
    HMODULE GetUpdaterModule() const { return m_hFreshet; }

protected:
    // Synchronous action report (1 first start after install, 4 update downloaded).
    virtual bool SendActionReport(int typeId);
    // The check thread's body, run under the fault guard.
    static DWORD WINAPI UpdateThreadProc(void* param);

private:
    CUpdate(const CUpdate&);
    CUpdate& operator=(const CUpdate&);

    BOOL StartCheck();
    // Drops the pending mark, the recorded version and the file.
    void ClearPendingInstaller(const std::wstring& path);
    void ClearFound();
    void CheckPatch();
    void Post(WPARAM what);

    HMODULE m_hFreshet;
    HANDLE m_hThread;
    int m_bAutomatic;
    HWND m_hOwner;
    HICON m_hIcon;
    std::wstring m_strInformation;
    std::wstring m_strNewVersion;

    CRITICAL_SECTION m_lock;  // the two texts above and the endpoints
    Endpoints m_endpoints;
    bool m_bEndpointsSet;
    std::wstring m_strAppVersion;
    std::wstring m_strRegKey;
    const CTrustPolicy* m_pPolicy;
    HMODULE m_hPatch;
};

// The program's updater, built at its first use and never destroyed (a
// check still running when the program ends keeps a valid object). Start-up
// builds it once the library search path is limited, since it loads the
// maker's updater library; building it also sets the check that
// "remotecfg.dat" passes whenever it is read (SetRemoteConfigCheck).
CUpdate& GetUpdater();

// Loads a library by its full path with its imports from System32 only
// (nothing from its own folder, the working folder or PATH). Where the
// system cannot limit the search so, nothing is loaded: NULL, with the
// last error ERROR_NOT_SUPPORTED.
HMODULE LoadLibrarySystemImportsOnly(const std::wstring& path);

// The manual check's address: oem.ini "NewVersion" when it begins with
// "http", else the default new-version address.
std::wstring GetVersionCheckUrl();
// The update dialog's address: oem.ini "Update" when it begins with
// "http", else the default installer address.
std::wstring GetInstallerDownloadUrl();
// The product folder's next-version installer, "OvoDelvaroSetup6.exe".
std::wstring GetNewInstallerPath();
// The updater's partner id.
std::wstring GetPartnerId();
