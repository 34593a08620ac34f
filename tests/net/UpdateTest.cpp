// The updater against an update site on the stand-in server: the daily and
// the manual check, the patch library, the remote configuration and the
// pending installer, each with a product folder and registry key of its own.
#include "UpdateTestUtil.h"
#include "core/Helpers.h"
#include "core/Language.h"
#include "core/Settings.h"
#include "net/ReportClient.h"

using namespace updtest;

namespace {

const wchar_t kTestKey[] = L"Software\\OvoDelvaro6UpdateTest";
const char kRemoteConfig[] = "[Scan]\r\nNTFSSCSICTL=0\r\n";

struct CTestUpdate : public CUpdate
{
    std::vector<int> reports;
    virtual bool SendActionReport(int typeId) { return reports.push_back(typeId), true; }
};

// Message boxes: kept and answered at once.
std::vector<std::wstring> g_boxes;
int g_answer = IDNO;
int BoxProc(HWND, const wchar_t* text, const wchar_t*, UINT, int)
{
    g_boxes.push_back(text ? text : L"");
    return g_answer;
}

std::wstring Message(const wchar_t* key)
{
    wchar_t buf[512] = {};
    ReadLanguageText(L"Message", key, L"", buf, 512, GetLanguageFilePath().c_str());
    return buf;
}

std::wstring RegText(HKEY hive, const wchar_t* name)
{
    wchar_t buf[261] = {};
    DWORD size = 520;
    RegGetValueW(hive, kTestKey, name, RRF_RT_REG_SZ, NULL, buf, &size);
    return buf;
}
void SetRegText(const wchar_t* name, const wchar_t* text)
{
    RegSetKeyValueW(HKEY_CURRENT_USER, kTestKey, name, REG_SZ, text, (DWORD)(wcslen(text) * sizeof(wchar_t)));
}
DWORD RegDword(const wchar_t* name)
{
    DWORD v = 0, size = sizeof v;
    RegGetValueW(HKEY_CURRENT_USER, kTestKey, name, RRF_RT_REG_DWORD, NULL, &v, &size);
    return v;
}

class UpdateCheck : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!HaveSites())
            GTEST_SKIP() << "runs under stand_in_server.py";
        m_oldAppData = g_strAppDataDir;
        m_oldIni = g_ConfigSetting.m_strIniPath;
        m_oldProc = SetMessageDlgProc(BoxProc);
        g_boxes.clear();
        UseProductFolder(L"upd");
        m_window = CreateWindowExW(0, L"STATIC", NULL, 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, NULL, NULL);
    }
    void TearDown() override
    {
        if (!HaveSites())
            return;
        DestroyWindow(m_window);
        g_strAppDataDir = m_oldAppData;
        g_ConfigSetting.m_strIniPath = m_oldIni;
        SetMessageDlgProc(m_oldProc);
        g_OemInfo.m_strNewVersion.clear();
        GetUpdater().SetTrustPolicy(NULL);
        RegDeleteTreeW(HKEY_CURRENT_USER, kTestKey);
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kTestKey);
    }

    // A fresh product folder with its own Config.ini.
    void UseProductFolder(const wchar_t* tag)
    {
        g_strAppDataDir = testpaths::MakeTempDir(tag);
        g_ConfigSetting.m_strIniPath = g_strAppDataDir + L"\\Config.ini";
        g_ConfigSetting.m_bLoaded = 1;
    }
    void Configure(CUpdate& u, const std::wstring& site, const CTrustPolicy* policy)
    {
        u.SetEndpoints(SiteEndpoints(site));
        u.SetAppVersion(L"6.9.0.0");
        u.SetRegistryKey(kTestKey);
        u.SetTrustPolicy(policy);
        u.SetOwnerWindow(m_window);
        // "remotecfg.dat" is checked against the program's updater when read.
        GetUpdater().SetTrustPolicy(policy);
    }
    // A site with a patch, a remote configuration and a new version.
    void MakeSite(const std::wstring& site, const std::wstring& patch, const char* newVersion = "6.10.0.0")
    {
        ASSERT_TRUE(PutSiteFile(site, L"update/patchver.htm", "version=10\r\n\t"));
        ASSERT_TRUE(CopySiteFile(site, L"update/patch.bin", patch, "tag=" + nettest::Narrow(site) + "-patch"));
        ASSERT_TRUE(PutSiteFile(site, L"remotecfg.cab", kRemoteConfig, "tag=" + nettest::Narrow(site) + "-cfg"));
        ASSERT_TRUE(PutSiteFile(site, L"update/newversion.htm", std::string("version=<#") + newVersion +
                                                                    "#>\ninformation=<#Line one\n\tand<n>line two#>"));
    }
    // The outcomes posted to the window so far.
    std::vector<WPARAM> Posted()
    {
        std::vector<WPARAM> out;
        MSG msg;
        while (PeekMessageW(&msg, m_window, kNewVersionFoundMessage, kNewVersionFoundMessage, PM_REMOVE))
            out.push_back(msg.wParam);
        return out;
    }

    std::wstring m_oldAppData, m_oldIni;
    MessageDlgProc m_oldProc = NULL;
    HWND m_window = NULL;
    CTrustPolicy m_none;
};

TEST_F(UpdateCheck, DailyCheckFetchesButLoadsNoUnverifiedPatch)
{
    MakeSite(L"supd1", FakePatch());
    CTestUpdate u;
    Configure(u, L"supd1", &m_none);
    SetRegText(L"patch", L"9");
    SetRegText(L"SendInstallMessage", L"1");
    u.StartDailyCheck(m_window);
    ASSERT_TRUE(u.WaitForCheck(60000));

    EXPECT_EQ(std::vector<int>{1}, u.reports);
    EXPECT_EQ(L"", RegText(HKEY_CURRENT_USER, L"SendInstallMessage"));
    // Without a policy the remote configuration is not even fetched.
    EXPECT_EQ(0, nettest::CountLogs(L"supd1-cfg"));
    EXPECT_EQ(1, ReadNtfsScsiCtl());
    EXPECT_FALSE(Exists(MakeExeDirPath(L"remotecfg.dat")));
    // The patch (10 is newer than 9) is downloaded and recorded, not loaded.
    EXPECT_TRUE(Exists(MakeExeDirPath(L"patch.dll")));
    EXPECT_EQ(L"10", RegText(HKEY_CURRENT_USER, L"patch"));
    EXPECT_EQ(NULL, u.GetPatchModule());
    EXPECT_EQ(0u, GetEnvironmentVariableW(L"DELVARO_FAKE_PATCH_LOADED", NULL, 0));
    // 6.10 is newer than 6.9; the automatic check keeps the text as sent.
    EXPECT_EQ(std::vector<WPARAM>{kCheckFoundVersion}, Posted());
    EXPECT_EQ(L"6.10.0.0", u.GetNewVersion());
    EXPECT_EQ(L"Line one\n\tand<n>line two", u.GetInformation());
    EXPECT_EQ(CUpdate::TodayStamp(), RegDword(L"UpdateDay"));

    // The same day again: no check, no request.
    const int before = SiteRequests(L"supd1");
    u.StartDailyCheck(m_window);
    EXPECT_FALSE(u.IsChecking());
    EXPECT_EQ(before, SiteRequests(L"supd1"));

    // The same day of the month a month ago, or the old day-only value: a check.
    const DWORD today = CUpdate::TodayStamp(), y = today / 10000, m = today / 100 % 100, d = today % 100;
    for (DWORD stored : {m == 1 ? (y - 1) * 10000 + 1200 + d : y * 10000 + (m - 1) * 100 + d, d}) {
        RegSetKeyValueW(HKEY_CURRENT_USER, kTestKey, L"UpdateDay", REG_DWORD, &stored, sizeof stored);
        const int requests = SiteRequests(L"supd1");
        u.StartDailyCheck(m_window);
        ASSERT_TRUE(u.WaitForCheck(60000));
        EXPECT_GT(SiteRequests(L"supd1"), requests);
        EXPECT_EQ(today, RegDword(L"UpdateDay"));
    }
}

TEST_F(UpdateCheck, PatchLoadsOnlyWhenTrusted)
{
    CTrustPolicy pin = PinPolicy();
    // Unsigned under a policy: refused before it replaces anything.
    MakeSite(L"supd2", FakePatch());
    CTestUpdate u;
    Configure(u, L"supd2", &pin);
    SetRegText(L"patch", L"9");
    u.AutoCheck();
    EXPECT_FALSE(Exists(MakeExeDirPath(L"patch.dll")) || Exists(MakeExeDirPath(L"patch.dll.upd")));
    EXPECT_EQ(L"9", RegText(HKEY_CURRENT_USER, L"patch"));
    EXPECT_EQ(NULL, u.GetPatchModule());
    if (!HaveSigned())
        return;
    // Signed by the pinned publisher: downloaded and loaded.
    UseProductFolder(L"supd2s");
    MakeSite(L"supd2s", Signed(L"patch_signed.dll"));
    Configure(u, L"supd2s", &pin);
    u.AutoCheck();
    EXPECT_EQ(L"10", RegText(HKEY_CURRENT_USER, L"patch"));
    EXPECT_NE((HMODULE)NULL, u.GetPatchModule());
    EXPECT_NE(0u, GetEnvironmentVariableW(L"DELVARO_FAKE_PATCH_LOADED", NULL, 0));
}

TEST_F(UpdateCheck, WhatIsNewer)
{
    MakeSite(L"supd3", FakePatch(), "6.9.0.0");
    CTestUpdate u;
    Configure(u, L"supd3", &m_none);
    // Patch replies: fetched only for a well-formed, newer version.
    const struct
    {
        const char* reply;
        const wchar_t* installed;
        int fetches;
    } patches[] = {{"version=", L"", 0},       {"Version=11", L"", 0},       {"version=9", L"10", 0},
                   {"version=6.9", L"6.10", 0}, {"version=<script>", L"", 0}, {"version=6.10", L"6.9", 1}};
    for (auto& c : patches) {
        SCOPED_TRACE(c.reply);
        ASSERT_TRUE(PutSiteFile(L"supd3", L"update/patchver.htm", c.reply));
        SetRegText(L"patch", c.installed);
        u.AutoCheck();
        EXPECT_EQ(c.fetches, nettest::CountLogs(L"supd3-patch"));
    }
    // The same version is no news; nor a newer one while an installer (one
    // that passes the policy) waits, nor anything before the settings were read.
    EXPECT_TRUE(Posted().empty());
    MakeSite(L"supd3", FakePatch(), "7.0");
    g_ConfigSetting.WriteInt(L"main", L"HasNewInstaller", 1);
    ASSERT_TRUE(WriteFileBytes(GetNewInstallerPath(), "x"));
    CTrustPolicy pending = FilePinPolicy({GetNewInstallerPath()});
    u.SetTrustPolicy(&pending);
    u.AutoCheck();
    EXPECT_TRUE(u.HasNewInstaller());
    u.SetTrustPolicy(&m_none);
    g_ConfigSetting.WriteInt(L"main", L"HasNewInstaller", 0);
    g_ConfigSetting.m_bLoaded = 0;
    u.AutoCheck();
    EXPECT_TRUE(Posted().empty());
    g_ConfigSetting.m_bLoaded = 1;
    u.AutoCheck();
    EXPECT_EQ(std::vector<WPARAM>{kCheckFoundVersion}, Posted());
}

TEST_F(UpdateCheck, ManualCheckOutcomes)
{
    MakeSite(L"supd6", FakePatch(), "6.9.0.0");
    CTestUpdate u;
    Configure(u, L"supd6", &m_none);
    u.ManualCheck();
    EXPECT_EQ(std::vector<WPARAM>{kCheckNotNewer}, Posted());

    MakeSite(L"supd6", FakePatch(), "6.9.1.0");
    u.CheckNow(m_window, NULL);
    ASSERT_TRUE(u.WaitForCheck(60000));
    EXPECT_EQ(std::vector<WPARAM>{kCheckFoundVersion}, Posted());
    EXPECT_EQ(L"6.9.1.0", u.GetNewVersion());
    EXPECT_EQ(L"Line oneand<n>line two", u.GetInformation());  // line feeds and tabs removed

    // oem.ini's address wins when it is one; an unreachable server has no version.
    g_OemInfo.m_strNewVersion = L"http://" + nettest::ClosedPortBase() + L"/update/newversion.htm";
    u.ManualCheck();
    EXPECT_EQ(std::vector<WPARAM>{kCheckNoVersion}, Posted());
    g_OemInfo.m_strNewVersion = L"ftp://elsewhere/";
    u.ManualCheck();
    EXPECT_EQ(std::vector<WPARAM>{kCheckFoundVersion}, Posted());
    EXPECT_TRUE(g_boxes.empty());

    // A second check while one runs only says so.
    ASSERT_TRUE(PutSiteFile(L"supd6", L"update/newversion.htm", "version=<#7#>", "wait=1500"));
    u.CheckNow(m_window, NULL);
    u.CheckNow(m_window, NULL);
    EXPECT_EQ(std::vector<std::wstring>{Message(L"Updating")}, g_boxes);
    ASSERT_TRUE(u.WaitForCheck(60000));
}

// The remote configuration changes scan switches: it is taken only when it
// passes the policy, and a refused one leaves the earlier file.
TEST_F(UpdateCheck, RemoteConfigurationOnlyWhenTrusted)
{
    MakeSite(L"supd8", FakePatch(), "6.9.0.0");
    const std::wstring cfg = MakeExeDirPath(L"remotecfg.dat");
    CTestUpdate u;
    // A file left by an earlier version, unchecked: gone without a policy.
    ASSERT_TRUE(WriteFileBytes(cfg, "[Scan]\r\nScanInPath=0\r\n"));
    Configure(u, L"supd8", &m_none);
    u.DownloadConfig();
    EXPECT_FALSE(Exists(cfg));
    EXPECT_EQ(1, ReadScanInPath());
    EXPECT_EQ(0, nettest::CountLogs(L"supd8-cfg"));

    const std::wstring served = g_strAppDataDir + L"\\served.cfg";
    ASSERT_TRUE(WriteFileBytes(served, kRemoteConfig));
    CTrustPolicy pinned = FilePinPolicy({served});
    Configure(u, L"supd8", &pinned);
    u.DownloadConfig();
    EXPECT_EQ(0, ReadNtfsScsiCtl());  // pinned: applied
    EXPECT_EQ(1, nettest::CountLogs(L"supd8-cfg"));

    // Another file on the server: refused, the pinned one stays.
    ASSERT_TRUE(PutSiteFile(L"supd8", L"remotecfg.cab", "[Scan]\r\nNTFSSCSICTL=1\r\nScanInPath=0\r\n"));
    u.DownloadConfig();
    EXPECT_EQ(0, ReadNtfsScsiCtl());
    EXPECT_EQ(1, ReadScanInPath());
    EXPECT_FALSE(Exists(cfg + L".upd"));

    // A file put in its place between checks is not believed when read,
    // and goes.
    ASSERT_TRUE(WriteFileBytes(cfg, "[Scan]\r\nNTFSSCSICTL=0\r\nScanInPath=0\r\n"));
    EXPECT_EQ(1, ReadScanInPath());
    EXPECT_FALSE(Exists(cfg));
    EXPECT_EQ(1, ReadNtfsScsiCtl());
    // Nor does a refused or failed download keep one that does not pass.
    ASSERT_TRUE(WriteFileBytes(cfg, "[Scan]\r\nScanInPath=0\r\n"));
    u.DownloadConfig();
    EXPECT_FALSE(Exists(cfg));
    ASSERT_TRUE(WriteFileBytes(cfg, "[Scan]\r\nScanInPath=0\r\n"));
    CUpdate::Endpoints gone = SiteEndpoints(L"supd8");
    gone.remoteConfig = L"http://" + nettest::ClosedPortBase() + L"/remotecfg.cab";
    u.SetEndpoints(gone);
    u.DownloadConfig();
    EXPECT_FALSE(Exists(cfg));
    EXPECT_EQ(1, ReadScanInPath());
    // The pinned file, where the download fails, stays and counts.
    ASSERT_TRUE(WriteFileBytes(cfg, kRemoteConfig));
    u.DownloadConfig();
    EXPECT_EQ(0, ReadNtfsScsiCtl());
}

// The maker's updater library is loaded with its imports from System32
// only: a library it imports that lies in the working folder or along PATH
// is not taken, so the updater library does not load at all.
TEST(UpdaterLibrary, ImportsComeFromSystem32Only)
{
    const std::wstring plant = testpaths::Join(testpaths::BinDir(), L"plant");
    wchar_t oldDir[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, oldDir);
    const std::wstring oldPath = nettest::Env(L"PATH");
    ASSERT_TRUE(SetCurrentDirectoryW(plant.c_str()));
    SetEnvironmentVariableW(L"PATH", (plant + L";" + oldPath).c_str());
    SetEnvironmentVariableW(L"DELVARO_PLANTED_LOADED", NULL);
    SetEnvironmentVariableW(L"DELVARO_FAKE_PATCH_LOADED", NULL);

    const std::wstring importing = testpaths::MakeTempDir(L"freshet1");
    ASSERT_TRUE(CopyFileW(FakePatchWithImport().c_str(), (importing + L"\\Freshet.dll").c_str(), FALSE));
    {
        CUpdate u(importing.c_str());
        EXPECT_EQ(NULL, u.GetUpdaterModule());
    }
    EXPECT_EQ(0u, GetEnvironmentVariableW(L"DELVARO_PLANTED_LOADED", NULL, 0));
    EXPECT_EQ(0u, GetEnvironmentVariableW(L"DELVARO_FAKE_PATCH_LOADED", NULL, 0));

    // One without such imports loads.
    const std::wstring plain = testpaths::MakeTempDir(L"freshet2");
    ASSERT_TRUE(CopyFileW(FakePatch().c_str(), (plain + L"\\Freshet.dll").c_str(), FALSE));
    {
        CUpdate u(plain.c_str());
        EXPECT_NE((HMODULE)NULL, u.GetUpdaterModule());
    }
    EXPECT_NE(0u, GetEnvironmentVariableW(L"DELVARO_FAKE_PATCH_LOADED", NULL, 0));
    SetEnvironmentVariableW(L"DELVARO_FAKE_PATCH_LOADED", NULL);
    SetCurrentDirectoryW(oldDir);
    SetEnvironmentVariableW(L"PATH", oldPath.c_str());
}

TEST_F(UpdateCheck, PendingInstaller)
{
    CTestUpdate u;
    Configure(u, L"supd7", &m_none);
    MakeSite(L"supd7", FakePatch(), "6.10.0.0");
    const std::wstring setup = GetNewInstallerPath();
    u.SetHasNewInstaller();
    EXPECT_FALSE(u.HasNewInstaller());  // no file
    ASSERT_TRUE(CopyFileW(FakeInstaller().c_str(), setup.c_str(), FALSE));
    SetRegText(L"DownloadedUpdateVersion", L"6.10.0.0");

    // A mark an earlier version left for an installer that can never run
    // (no policy): dropped with its file, and checking goes on.
    InstallerEnv env(g_strAppDataDir + L"\\runs.txt");
    EXPECT_FALSE(u.HasNewInstaller());
    EXPECT_EQ(0, g_ConfigSetting.ReadInt(L"main", L"HasNewInstaller", 0));
    EXPECT_FALSE(Exists(setup));
    EXPECT_EQ(L"", RegText(HKEY_CURRENT_USER, L"DownloadedUpdateVersion"));
    u.SetHasNewInstaller();
    ASSERT_TRUE(CopyFileW(FakeInstaller().c_str(), setup.c_str(), FALSE));
    u.CheckNow(m_window, NULL);
    ASSERT_TRUE(u.WaitForCheck(60000));
    EXPECT_EQ(std::vector<WPARAM>{kCheckFoundVersion}, Posted());
    u.SetHasNewInstaller();
    ASSERT_TRUE(CopyFileW(FakeInstaller().c_str(), setup.c_str(), FALSE));
    u.AutoCheck();
    EXPECT_EQ(std::vector<WPARAM>{kCheckFoundVersion}, Posted());
    EXPECT_TRUE(g_boxes.empty());
    EXPECT_TRUE(env.Runs().empty());
    // A file that does not pass the policy is refused at once, nothing asked.
    CTrustPolicy other = FilePinPolicy({FakePatch()});
    u.SetTrustPolicy(&other);
    ASSERT_TRUE(CopyFileW(FakeInstaller().c_str(), setup.c_str(), FALSE));
    EXPECT_EQ(-1, u.RunPendingInstaller());
    EXPECT_TRUE(g_boxes.empty());
    u.SetTrustPolicy(&m_none);

    CTrustPolicy pin = PinPolicy();
    if (HaveSigned()) {
        ASSERT_TRUE(CopyFileW(Signed(L"installer_signed.exe").c_str(), setup.c_str(), FALSE));
        u.SetTrustPolicy(&pin);
        g_answer = IDNO;
        EXPECT_EQ(0, u.RunPendingInstaller());
        g_answer = IDYES;
        EXPECT_EQ(1, u.RunPendingInstaller());
        EXPECT_EQ(Message(L"HasUpdate"), g_boxes.back());
        for (int i = 0; i < 3000 && env.Runs().empty(); ++i)
            Sleep(10);
        EXPECT_EQ(1u, env.Runs().size());
    }

    // Once the downloaded version runs, nothing is pending any more.
    CTrustPolicy pinned = FilePinPolicy({FakeInstaller()});
    u.SetTrustPolicy(&pinned);
    u.SetHasNewInstaller();
    ASSERT_TRUE(CopyFileW(FakeInstaller().c_str(), setup.c_str(), FALSE));
    u.SetFound(L"6.10.0.0", L"");
    u.SaveDownloadedUpdateVersion();
    EXPECT_EQ(L"6.10.0.0", RegText(HKEY_CURRENT_USER, L"DownloadedUpdateVersion"));
    EXPECT_TRUE(u.HasNewInstaller());
    u.SetAppVersion(L"6.10.0.0");
    EXPECT_FALSE(u.HasNewInstaller());
    EXPECT_EQ(0, g_ConfigSetting.ReadInt(L"main", L"HasNewInstaller", 0));
    EXPECT_FALSE(Exists(setup));
}

// Libraries planted in the product folder, beside where the patch is
// loaded and the installer waits: neither the patch nor the installer
// loads them.
TEST_F(UpdateCheck, NothingPlantedBesideDownloadsIsLoaded)
{
    const std::wstring plantMark = g_strAppDataDir + L"\\planted.txt";
    InstallerEnv env(g_strAppDataDir + L"\\runs.txt");
    SetEnvironmentVariableW(L"DELVARO_PLANTED_MARK", plantMark.c_str());
    SetEnvironmentVariableW(L"DELVARO_PLANTED_LOADED", NULL);

    // A trusted patch without imports of its own loads as before.
    MakeSite(L"supd9", FakePatch());
    CTrustPolicy pinned = FilePinPolicy({FakePatch(), FakePatchWithImport(), FakeInstaller()});
    CTestUpdate plain;
    Configure(plain, L"supd9", &pinned);
    SetRegText(L"patch", L"9");
    plain.AutoCheck();
    EXPECT_NE((HMODULE)NULL, plain.GetPatchModule());

    // A trusted patch that imports a library planted beside it: its
    // imports come from System32 only, so it does not load, nor does the plant.
    UseProductFolder(L"supd10");
    const std::wstring planted = MakeExeDirPath(L"planted_dep.dll");
    ASSERT_TRUE(CopyFileW(PlantedDll().c_str(), planted.c_str(), FALSE));
    MakeSite(L"supd10", FakePatchWithImport());
    CTestUpdate u;
    Configure(u, L"supd10", &pinned);
    SetRegText(L"patch", L"9");
    u.AutoCheck();
    EXPECT_EQ(L"10", RegText(HKEY_CURRENT_USER, L"patch"));  // downloaded and passed the policy
    EXPECT_TRUE(Exists(MakeExeDirPath(L"patch.dll")));
    EXPECT_EQ(NULL, u.GetPatchModule());
    EXPECT_EQ(NULL, GetModuleHandleW(L"planted_dep.dll"));
    EXPECT_EQ(0u, GetEnvironmentVariableW(L"DELVARO_PLANTED_LOADED", NULL, 0));

    // The pending installer beside the plant starts from a private copy,
    // where there is nothing to load.
    const std::wstring setup = GetNewInstallerPath();
    ASSERT_TRUE(CopyFileW(FakeInstaller().c_str(), setup.c_str(), FALSE));
    u.SetHasNewInstaller();
    g_answer = IDYES;
    EXPECT_EQ(1, u.RunPendingInstaller());
    for (int i = 0; i < 3000 && env.Runs().empty(); ++i)
        Sleep(10);
    ASSERT_EQ(1u, env.Runs().size());
    EXPECT_NE(std::string::npos, env.Runs()[0].find("\\OvoDelvaro6-"));
    EXPECT_EQ(std::string::npos, env.Runs()[0].find(nettest::Narrow(g_strAppDataDir)));
    EXPECT_FALSE(Exists(plantMark));

    // Where the plant is looked for, it is loaded: the same installer run
    // in the product folder, and the patch loaded with its folder searched.
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    std::wstring cmd = L"\"" + setup + L"\"";
    ASSERT_TRUE(CreateProcessW(setup.c_str(), &cmd[0], NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(pi.hProcess, 60000));
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    EXPECT_NE(std::string::npos, testpaths::ReadWholeFile(plantMark).find("OvoDelvaroSetup6.exe"));
    HMODULE loose = LoadLibraryExW(MakeExeDirPath(L"patch.dll").c_str(), NULL, LOAD_WITH_ALTERED_SEARCH_PATH);
    EXPECT_NE((HMODULE)NULL, loose);
    EXPECT_NE((HMODULE)NULL, GetModuleHandleW(L"planted_dep.dll"));
    if (loose)
        FreeLibrary(loose);
    g_answer = IDNO;
}

// A fault in the check's own code while the report client holds its lock
// (its action report): the check ends quietly, and the client and the
// updater go on working for the window's thread.
int NullEncrypt(const uint8_t*, uint32_t, uint8_t**, uint32_t*, const char*)
{
    return *(volatile int*)(ULONG_PTR)8;
}

TEST_F(UpdateCheck, AFaultInTheCheckLeavesNothingLocked)
{
    MakeSite(L"supd11", FakePatch());
    struct CFaultingUpdate : public CUpdate
    {
        CReportClient* client = NULL;
        virtual bool SendActionReport(int typeId) { return client->SendAction(typeId, false); }
    };
    CReportClient client;
    client.SetServer(nettest::ClosedPortBase().c_str());
    client.SetEncryptHook(&NullEncrypt);
    CFaultingUpdate u;
    u.client = &client;
    Configure(u, L"supd11", &m_none);
    SetRegText(L"SendInstallMessage", L"1");
    u.StartDailyCheck(m_window);
    ASSERT_TRUE(u.WaitForCheck(60000));
    EXPECT_TRUE(Posted().empty());  // it ended at the fault, before the version check
    EXPECT_EQ(L"1", RegText(HKEY_CURRENT_USER, L"SendInstallMessage"));

    client.SetEncryptHook(NULL);
    struct Probe
    {
        static DWORD WINAPI Run(void* p)
        {
            ((CReportClient*)p)->AddEvent(L"OnStopScan");
            return 0;
        }
    };
    HANDLE t = CreateThread(NULL, 0, Probe::Run, &client, 0, NULL);
    ASSERT_TRUE(t);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, 20000));  // not a deadlock
    CloseHandle(t);
    EXPECT_EQ(1u, client.GetEventCount());
    u.CheckNow(m_window, NULL);
    ASSERT_TRUE(u.WaitForCheck(60000));
    EXPECT_EQ(std::vector<WPARAM>{kCheckFoundVersion}, Posted());
}

TEST_F(UpdateCheck, PartnerFromTheInstallerName)
{
    CTestUpdate u;
    u.SetRegistryKey(kTestKey);
    EXPECT_EQ(L"", u.GetPartnerId());
    const wchar_t name[] = L"C:\\dl\\OvoDelvaroSetup_p42_x.exe";
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, kTestKey, L"InstallerName", REG_SZ, name, sizeof name - 2);
    EXPECT_EQ(L"p42_x", u.GetPartnerId());
    EXPECT_EQ(L"p42_x", RegText(HKEY_CURRENT_USER, L"partner"));
}

TEST(UpdateTexts, VersionsRepliesAndPlainText)
{
    EXPECT_GT(CompareVersions(L"6.10.0.0", L"6.9.0.0"), 0);
    EXPECT_GT(CompareVersions(L"10", L"9"), 0);
    EXPECT_EQ(0, CompareVersions(L"6.0", L"6.0.0.0"));
    EXPECT_EQ(0, CompareVersions(L"6.01", L"6.1"));
    EXPECT_LT(CompareVersions(L"6.0.0.0", L"6.0.0.1"), 0);
    EXPECT_GT(CompareVersions(L"6.0.1b", L"6.0.1a"), 0);  // text where a part is not a number
    EXPECT_GT(CompareVersions(L"99999999999999999999999.1", L"9.1"), 0);  // no overflow

    EXPECT_EQ(L"6.0.0.1", CUpdate::GetReplyValue(L"version=<#6.0.0.1#>information=<#x#>", L"version"));
    EXPECT_EQ(L"6.0.0.1", CUpdate::GetReplyValue(L"version:<#6.0.0.1#>", L"version"));
    EXPECT_EQ(L"", CUpdate::GetReplyValue(L"information=<#new version here#>version=<#7#>", L"version"));
    EXPECT_EQ(L"", CUpdate::GetReplyValue(L"version=<#7", L"version"));
    EXPECT_EQ(L"", CUpdate::GetReplyValue(L"version", L"version"));

    // Markup of the text control loses its brackets and so its meaning.
    EXPECT_EQ(L"bx/b a href='http://y'link/a i x.png c red<n>",
              PlainUpdateText(L"<b>x</b> <a href='http://y'>link</a> {i x.png} {c red}<n>"));
    EXPECT_EQ(L"x\ny z<n>", PlainUpdateText(L"x\ny\tz\x01<<n>>"));
}

// Mutated replies, versions and addresses: no crash, and what comes out keeps
// its promises (plain text, safe names, a consistent order of versions).
TEST(UpdateTexts, MutatedServerTextAndAddresses)
{
    const std::wstring seeds[] = {L"version=<#6.0.0.1#>information=<#Fixes<n>More scans#>",
                                  L"6.10.0.0", L"http://h/update/OvoDelvaroSetup.exe?x=1#y",
                                  L"<b>{c red}x</b><n>"};
    const wchar_t pieces[][4] = {L"<#", L"#>", L"<n>", L"<", L">", L"{", L"}", L".", L"..", L"/",
                                 L"\\", L":", L"?", L"#", L"%", L"\t", L"\n", L"\x01", L"9", L"0"};
    unsigned rng = 12345;
    auto next = [&rng](unsigned n) { return (rng = rng * 1103515245u + 12345u) / 65536u % n; };
    for (int iter = 0; iter < 20000; ++iter) {
        std::wstring s = seeds[next(4)];
        for (unsigned m = next(6) + 1; m > 0; --m) {
            size_t at = s.empty() ? 0 : next((unsigned)s.size() + 1);
            switch (next(3)) {
            case 0: s.insert(at, pieces[next(20)]); break;
            case 1: if (at < s.size()) s.erase(at, next(4) + 1); break;
            default: if (at < s.size()) s[at] = (wchar_t)next(0x80); break;
            }
        }
        SCOPED_TRACE(iter);
        const std::wstring v = CUpdate::GetReplyValue(s, L"version");
        EXPECT_EQ(std::wstring::npos, v.find(L"#>"));
        const std::wstring plain = PlainUpdateText(s);
        std::wstring rest = plain;
        for (size_t at; (at = rest.find(L"<n>")) != std::wstring::npos;)
            rest.erase(at, 3);
        for (wchar_t c : rest)
            EXPECT_TRUE(c != L'<' && c != L'>' && c != L'{' && c != L'}' && (c >= 0x20 || c == L'\n'));
        const std::wstring name = SafeDownloadName(s, L"downloadinstall.exe");
        EXPECT_TRUE(!name.empty() && name.size() <= 100 && name[0] != L'.' &&
                    name.find(L"..") == std::wstring::npos);
        EXPECT_EQ(std::wstring::npos, name.find_first_not_of(L"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                                             L"0123456789._-()"));
        const std::wstring other = seeds[1 + next(2)];
        EXPECT_EQ(0, CompareVersions(s, s));
        EXPECT_EQ(CompareVersions(s, other), -CompareVersions(other, s));
    }
}

}  // namespace
