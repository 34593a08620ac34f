// The updater against an update site on the stand-in server: the daily
// and the manual check, the patch library, the remote configuration and
// the pending installer, each in a product folder and registry key of the
// test's own.
#include "UpdateTestUtil.h"
#include "core/Helpers.h"
#include "core/Language.h"
#include "core/Settings.h"
#include "net/Update.h"

using namespace updtest;

namespace {

const wchar_t kTestKey[] = L"Software\\OvoDelvaro6UpdateTest";

class CTestUpdate : public CUpdate
{
public:
    std::vector<int> reports;

protected:
    virtual bool SendActionReport(int typeId)
    {
        reports.push_back(typeId);
        return true;
    }
};

struct Boxes
{
    static std::vector<std::wstring> texts;
    static int answer;
    static int Proc(HWND, const wchar_t* text, const wchar_t*, UINT, int)
    {
        texts.push_back(text ? text : L"");
        return answer;
    }
};
std::vector<std::wstring> Boxes::texts;
int Boxes::answer = IDNO;

std::wstring Message(const wchar_t* key)
{
    wchar_t buf[512] = {};
    ReadLanguageText(L"Message", key, L"", buf, 512, GetLanguageFilePath().c_str());
    return buf;
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
        m_oldLoaded = g_ConfigSetting.m_bLoaded;
        m_oldOldProc = SetMessageDlgProc(Boxes::Proc);
        Boxes::texts.clear();
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
        g_ConfigSetting.m_bLoaded = m_oldLoaded;
        SetMessageDlgProc(m_oldOldProc);
        g_OemInfo.m_strNewVersion.clear();
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
        CUpdate::Endpoints e;
        e.newVersion = SiteUrl(site, L"update/newversion.htm");
        e.patchVersion = SiteUrl(site, L"update/patchver.htm");
        e.patch = SiteUrl(site, L"update/patch.bin");
        e.remoteConfig = SiteUrl(site, L"remotecfg.cab");
        e.installer = SiteUrl(site, L"update/OvoDelvaroSetup.exe");
        u.SetEndpoints(e);
        u.SetAppVersion(L"6.9.0.0");
        u.SetRegistryKey(kTestKey);
        u.SetTrustPolicy(policy);
        u.SetOwnerWindow(m_window);
    }

    // A site with a patch, a remote configuration and a new version.
    void MakeSite(const std::wstring& site, const std::wstring& patch, const char* newVersion = "6.10.0.0")
    {
        ASSERT_TRUE(PutSiteFile(site, L"update/patchver.htm", "version=10\r\n\t"));
        ASSERT_TRUE(CopySiteFile(site, L"update/patch.bin", patch, "tag=" + nettest::Narrow(site) + "-patch"));
        ASSERT_TRUE(PutSiteFile(site, L"remotecfg.cab", "[Scan]\r\nNTFSSCSICTL=0\r\n"));
        ASSERT_TRUE(PutSiteFile(site, L"update/newversion.htm",
                                std::string("version=<#") + newVersion +
                                    "#>\ninformation=<#Line one\n\tand<n>line two#>"));
    }

    void SetRegText(const wchar_t* name, const wchar_t* text)
    {
        HKEY h;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, kTestKey, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &h, NULL));
        RegSetValueExW(h, name, 0, REG_SZ, (const BYTE*)text, (DWORD)(wcslen(text) * sizeof(wchar_t)));
        RegCloseKey(h);
    }
    std::wstring RegText(HKEY hive, const wchar_t* name)
    {
        wchar_t buf[261] = {};
        DWORD size = 520;
        RegGetValueW(hive, kTestKey, name, RRF_RT_REG_SZ, NULL, buf, &size);
        return buf;
    }
    void SetRegDword(const wchar_t* name, DWORD v)
    {
        RegSetKeyValueW(HKEY_CURRENT_USER, kTestKey, name, REG_DWORD, &v, sizeof v);
    }
    DWORD RegDword(const wchar_t* name)
    {
        DWORD v = 0, size = sizeof v;
        RegGetValueW(HKEY_CURRENT_USER, kTestKey, name, RRF_RT_REG_DWORD, NULL, &v, &size);
        return v;
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
    uint8_t m_oldLoaded = 0;
    MessageDlgProc m_oldOldProc = NULL;
    HWND m_window = NULL;
};

TEST_F(UpdateCheck, DailyCheckFetchesButLoadsNoUnverifiedPatch)
{
    MakeSite(L"supd1", FakePatch());
    CTestUpdate u;
    CTrustPolicy none;
    Configure(u, L"supd1", &none);
    SetRegText(L"patch", L"9");
    SetRegText(L"SendInstallMessage", L"1");
    SetEnvironmentVariableW(L"DELVARO_FAKE_PATCH_LOADED", NULL);
    u.StartDailyCheck(m_window);
    ASSERT_TRUE(u.WaitForCheck(60000));

    EXPECT_EQ(std::vector<int>{1}, u.reports);
    EXPECT_EQ(L"", RegText(HKEY_CURRENT_USER, L"SendInstallMessage"));
    EXPECT_EQ(0, ReadNtfsScsiCtl());  // remotecfg.dat arrived
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
    EXPECT_FALSE(Exists(MakeExeDirPath(L"patch.dll")));
    EXPECT_FALSE(Exists(MakeExeDirPath(L"patch.dll.upd")));
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

TEST_F(UpdateCheck, PatchVersionRules)
{
    MakeSite(L"supd3", FakePatch());
    CTestUpdate u;
    CTrustPolicy none;
    Configure(u, L"supd3", &none);
    struct
    {
        const char* reply;
        const wchar_t* installed;
        bool fetched;
    } cases[] = {
        {"version=", L"", false},        // no version
        {"Version=11", L"", false},      // the prefix is case-sensitive
        {"version=9", L"10", false},     // 9 is older than 10
        {"version=6.9", L"6.10", false},
        {"version=6.10", L"6.9", true},
        {"version=<script>", L"", false},
    };
    int fetches = 0;
    for (auto& c : cases) {
        SCOPED_TRACE(c.reply);
        ASSERT_TRUE(PutSiteFile(L"supd3", L"update/patchver.htm", c.reply));
        SetRegText(L"patch", c.installed);
        u.AutoCheck();
        fetches += c.fetched;
        EXPECT_EQ(fetches, nettest::CountLogs(L"supd3-patch"));
    }
}

TEST_F(UpdateCheck, NoAnnouncementWithoutANewerVersion)
{
    MakeSite(L"supd4", FakePatch(), "6.9.0.0");
    CTestUpdate u;
    CTrustPolicy none;
    Configure(u, L"supd4", &none);
    u.AutoCheck();
    EXPECT_TRUE(Posted().empty());
    EXPECT_EQ(L"", u.GetNewVersion());
    // A newer version, but an installer waits already.
    MakeSite(L"supd4", FakePatch(), "7.0");
    g_ConfigSetting.WriteInt(L"main", L"HasNewInstaller", 1);
    ASSERT_TRUE(WriteFileBytes(GetNewInstallerPath(), "x"));
    u.AutoCheck();
    EXPECT_TRUE(Posted().empty());
    // Settings never loaded: the updater stays quiet.
    g_ConfigSetting.WriteInt(L"main", L"HasNewInstaller", 0);
    g_ConfigSetting.m_bLoaded = 0;
    u.AutoCheck();
    EXPECT_TRUE(Posted().empty());
    g_ConfigSetting.m_bLoaded = 1;
    u.AutoCheck();
    EXPECT_EQ(std::vector<WPARAM>{kCheckFoundVersion}, Posted());
}

TEST_F(UpdateCheck, CheckDayIsTheWholeDate)
{
    MakeSite(L"supd5", FakePatch(), "6.9.0.0");
    CTestUpdate u;
    CTrustPolicy none;
    Configure(u, L"supd5", &none);
    const DWORD today = CUpdate::TodayStamp();
    const DWORD y = today / 10000, m = today / 100 % 100, d = today % 100;
    // The same day of the month, a month ago; and the old day-only value.
    const DWORD earlier[] = {m == 1 ? (y - 1) * 10000 + 1200 + d : y * 10000 + (m - 1) * 100 + d, d};
    for (DWORD stored : earlier) {
        SetRegDword(L"UpdateDay", stored);
        const int before = SiteRequests(L"supd5");
        u.StartDailyCheck(m_window);
        ASSERT_TRUE(u.WaitForCheck(60000));
        EXPECT_GT(SiteRequests(L"supd5"), before);
        EXPECT_EQ(today, RegDword(L"UpdateDay"));
    }
}

TEST_F(UpdateCheck, ManualCheckOutcomes)
{
    MakeSite(L"supd6", FakePatch(), "6.9.0.0");
    CTestUpdate u;
    CTrustPolicy none;
    Configure(u, L"supd6", &none);
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
    EXPECT_TRUE(Boxes::texts.empty());

    // A second check while one runs only says so.
    ASSERT_TRUE(PutSiteFile(L"supd6", L"update/newversion.htm", "version=<#7#>", "wait=1500"));
    u.CheckNow(m_window, NULL);
    u.CheckNow(m_window, NULL);
    ASSERT_EQ(1u, Boxes::texts.size());
    EXPECT_EQ(Message(L"Updating"), Boxes::texts[0]);
    ASSERT_TRUE(u.WaitForCheck(60000));
}

TEST_F(UpdateCheck, PendingInstaller)
{
    CTestUpdate u;
    CTrustPolicy none;
    Configure(u, L"supd7", &none);
    const std::wstring setup = GetNewInstallerPath();
    EXPECT_FALSE(u.HasNewInstaller());
    u.SetHasNewInstaller();
    EXPECT_FALSE(u.HasNewInstaller());  // no file
    ASSERT_TRUE(CopyFileW(FakeInstaller().c_str(), setup.c_str(), FALSE));
    EXPECT_TRUE(u.HasNewInstaller());

    // Unverified: not offered, not run; the menu says why and starts no check.
    InstallerEnv env(g_strAppDataDir + L"\\runs.txt");
    EXPECT_EQ(-1, u.RunPendingInstaller());
    EXPECT_TRUE(Boxes::texts.empty());
    u.CheckNow(m_window, NULL);
    EXPECT_FALSE(u.IsChecking());
    ASSERT_EQ(1u, Boxes::texts.size());
    EXPECT_EQ(Message(L"NotVerified"), Boxes::texts[0]);

    if (HaveSigned()) {
        ASSERT_TRUE(CopyFileW(Signed(L"installer_signed.exe").c_str(), setup.c_str(), FALSE));
        CTrustPolicy pin = PinPolicy();
        u.SetTrustPolicy(&pin);
        Boxes::answer = IDNO;
        EXPECT_EQ(0, u.RunPendingInstaller());
        Boxes::answer = IDYES;
        EXPECT_EQ(1, u.RunPendingInstaller());
        EXPECT_EQ(Message(L"HasUpdate"), Boxes::texts.back());
        for (int i = 0; i < 3000 && env.Runs().empty(); ++i)
            Sleep(10);
        EXPECT_EQ(1u, env.Runs().size());
        u.SetTrustPolicy(&none);
    }

    // The started installer may still hold its file.
    for (int i = 0; i < 3000; ++i) {
        HANDLE h = CreateFileW(setup.c_str(), GENERIC_READ | DELETE, 0, NULL, OPEN_EXISTING, 0, NULL);
        if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
            break;
        }
        Sleep(10);
    }
    // Once the downloaded version runs, nothing is pending any more.
    u.SetFound(L"6.10.0.0", L"");
    u.SaveDownloadedUpdateVersion();
    EXPECT_EQ(L"6.10.0.0", RegText(HKEY_CURRENT_USER, L"DownloadedUpdateVersion"));
    EXPECT_TRUE(u.HasNewInstaller());
    u.SetAppVersion(L"6.10.0.0");
    EXPECT_FALSE(u.HasNewInstaller());
    EXPECT_EQ(0, g_ConfigSetting.ReadInt(L"main", L"HasNewInstaller", 0));
    EXPECT_FALSE(Exists(setup));
}

TEST_F(UpdateCheck, PartnerFromTheInstallerName)
{
    CTestUpdate u;
    u.SetRegistryKey(kTestKey);
    EXPECT_EQ(L"", u.GetPartnerId());
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, kTestKey, L"InstallerName", REG_SZ, L"C:\\dl\\OvoDelvaroSetup_p42_x.exe",
                    (DWORD)(wcslen(L"C:\\dl\\OvoDelvaroSetup_p42_x.exe") * sizeof(wchar_t)));
    EXPECT_EQ(L"p42_x", u.GetPartnerId());
    EXPECT_EQ(L"p42_x", RegText(HKEY_CURRENT_USER, L"partner"));
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, kTestKey, L"InstallerName", REG_SZ, L"Setup_.exe", 20);
    EXPECT_EQ(L"p42_x", u.GetPartnerId());  // recorded once
}

TEST(UpdateTexts, Versions)
{
    EXPECT_GT(CompareVersions(L"6.10.0.0", L"6.9.0.0"), 0);
    EXPECT_GT(CompareVersions(L"10", L"9"), 0);
    EXPECT_EQ(0, CompareVersions(L"6.0", L"6.0.0.0"));
    EXPECT_EQ(0, CompareVersions(L"6.01", L"6.1"));
    EXPECT_LT(CompareVersions(L"6.0.0.0", L"6.0.0.1"), 0);
    EXPECT_GT(CompareVersions(L"6.0.1b", L"6.0.1a"), 0);  // text where a part is not a number
    EXPECT_GT(CompareVersions(L"99999999999999999999999.1", L"9.1"), 0);  // no overflow
    EXPECT_GT(CompareVersions(L"6.0.0.1", L""), 0);
    EXPECT_FALSE(IsNewerVersion(L"6.9", L"6.9.0.0"));
}

TEST(UpdateTexts, ReplyValues)
{
    EXPECT_EQ(L"6.0.0.1", CUpdate::GetReplyValue(L"version=<#6.0.0.1#>information=<#x#>", L"version"));
    EXPECT_EQ(L"6.0.0.1", CUpdate::GetReplyValue(L"version:<#6.0.0.1#>", L"version"));
    EXPECT_EQ(L"", CUpdate::GetReplyValue(L"information=<#new version here#>version=<#7#>", L"version"));
    EXPECT_EQ(L"", CUpdate::GetReplyValue(L"version=<#7", L"version"));
    EXPECT_EQ(L"", CUpdate::GetReplyValue(L"version=7#>", L"version"));
    EXPECT_EQ(L"", CUpdate::GetReplyValue(L"version", L"version"));
    EXPECT_EQ(L"", CUpdate::GetReplyValue(L"", L"version"));
}

TEST(UpdateTexts, ServerTextIsPlain)
{
    EXPECT_EQ(L"a<n>b", PlainUpdateText(L"a<n>b"));
    // Markup of the text control loses its brackets and so its meaning.
    EXPECT_EQ(L"bx/b a href='http://y'link/a i x.png c red<n>",
              PlainUpdateText(L"<b>x</b> <a href='http://y'>link</a> {i x.png} {c red}<n>"));
    EXPECT_EQ(L"x\ny z", PlainUpdateText(L"x\ny\tz\x01"));
    EXPECT_EQ(L"<n>", PlainUpdateText(L"<<n>>"));
}

}  // namespace
