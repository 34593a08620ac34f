// The update dialog and the installer dialogs, driven by control name
// against the update site of the stand-in server: downloads with progress,
// refusal of what is not trusted, silent installs with their exit codes,
// and cancel or close without a crash or a file left behind.
#include <gtest/gtest.h>

#include "GuiHarness.h"
#include "WindowTestUtil.h"
#include "app/InstallAppDlg.h"
#include "app/Services.h"
#include "app/UpdateDlg.h"
#include "core/Helpers.h"
#include "core/Language.h"
#include "core/Settings.h"
#include "net/UpdateTestUtil.h"

using namespace updtest;

namespace {

const wchar_t kTestKey[] = L"Software\\OvoDelvaro6DialogTest";

struct CActionReporter : public wintest::CRecordingReporter
{
    std::vector<int> actions;
    virtual bool SendAction(int type, bool)
    {
        actions.push_back(type);
        return true;
    }
};

std::wstring Text(CPaintManagerUI& pm, const wchar_t* name)
{
    CControlUI* c = gui::Find(pm, name);
    return c ? std::wstring(c->GetText()) : std::wstring(L"<missing>");
}

int ProgressOf(CPaintManagerUI& pm, const wchar_t* name)
{
    CControlUI* c = gui::Find(pm, name);
    DuiLib::CProgressUI* p = c ? static_cast<DuiLib::CProgressUI*>(c->GetInterface(DUI_CTR_PROGRESS)) : NULL;
    return p ? p->GetValue() : -1;
}

// Folders of installer downloads left in the temporary folder.
bool NoDownloadFolders()
{
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, temp);
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((std::wstring(temp) + L"OvoDelvaro6-*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE)
        FindClose(h);
    return h == INVALID_HANDLE_VALUE;
}

DWORD DecodeMark()
{
    DWORD v = 0xFFFFFFFF, size = sizeof v;
    RegGetValueW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Delvaro", L"Decode", RRF_RT_REG_DWORD, NULL, &v, &size);
    return v;
}

template <class Dialog>
void RunDialog(Dialog* dlg)
{
    if (dlg->CreateOver(NULL)) {
        dlg->CenterWindow();
        dlg->ShowModal();
    }
    delete dlg;
}

class UpdateDialogs : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { gui::InitProcess(1252); }

    void SetUp() override
    {
        if (!HaveSites())
            GTEST_SKIP() << "runs under stand_in_server.py";
        m_oldAppData = g_strAppDataDir;
        g_strAppDataDir = testpaths::MakeTempDir(L"dlgproduct");
        g_ConfigSetting.WriteInt(L"main", L"HasNewInstaller", 0);
        m_oldReporter = SetUsageReporter(&m_reporter);
        GetUpdater().SetRegistryKey(kTestKey);
        GetUpdater().SetAppVersion(L"6.9.0.0");
        GetUpdater().SetTrustPolicy(&m_policy);
        GetUpdater().SetFound(L"6.10.0.0", L"Notes");
        m_env.reset(new InstallerEnv(g_strAppDataDir + L"\\runs.txt"));
    }
    void TearDown() override
    {
        if (!HaveSites())
            return;
        m_env.reset();
        SetUsageReporter(m_oldReporter);
        GetUpdater().SetTrustPolicy(NULL);
        g_strAppDataDir = m_oldAppData;
        RegDeleteTreeW(HKEY_CURRENT_USER, kTestKey);
    }

    // The test installer as a file of the site: signed (and its publisher
    // pinned) when the build could sign it.
    void ServeInstaller(const std::wstring& site, const std::wstring& rel, const std::string& opts = std::string())
    {
        GetUpdater().SetEndpoints(SiteEndpoints(site));
        ASSERT_TRUE(CopySiteFile(site, rel, HaveSigned() ? Signed(L"installer_signed.exe") : FakeInstaller(), opts));
        m_policy = HaveSigned() ? PinPolicy() : CTrustPolicy();
    }
    // Clicks "btnUpdate" once the dialog shows and waits for cond.
    static bool Download(CPaintManagerUI& pm, const std::function<bool()>& cond)
    {
        gui::PumpUntil([&] { return gui::IsShown(pm, L"btnUpdate"); });
        gui::Click(pm, L"btnUpdate");
        return gui::PumpUntil(cond);
    }

    std::wstring Setup() const { return GetNewInstallerPath(); }
    int Pending() const { return g_ConfigSetting.ReadInt(L"main", L"HasNewInstaller", 0); }

    std::wstring m_oldAppData;
    CActionReporter m_reporter;
    IUsageReporter* m_oldReporter = NULL;
    CTrustPolicy m_policy;
    std::unique_ptr<InstallerEnv> m_env;
};

// Every layout loads in the three skins; the server's text is plain.
TEST_F(UpdateDialogs, LayoutsAndPlainServerText)
{
    GetUpdater().SetFound(L"6.10.0.0", L"Faster<n>{i ..\\evil.png}<a href='http://x'>Site</a>");
    for (int codePage : {936, 950, 1252}) {
        gui::UseLanguage(codePage);
        const std::wstring suffix = codePage == 936 ? L"_cn" : codePage == 950 ? L"_tr" : L"";
        auto check = [&](const wchar_t* shot, std::vector<const wchar_t*> names) {
            gui::OnDialog(L"DelvaroDlg", [=](HWND h) {
                CPaintManagerUI& pm = *gui::ManagerOf(h);
                EXPECT_TRUE(gui::PumpUntil([&] { return gui::IsShown(pm, names[0]); }));
                for (const wchar_t* n : names)
                    EXPECT_NE(nullptr, gui::Find(pm, n)) << nettest::Narrow(n);
                if (names[0] == std::wstring(L"btnUpdate")) {
                    EXPECT_EQ(L"Faster<n>i ..\\evil.pnga href='http://x'Site/a", Text(pm, L"updateContent"));
                    EXPECT_EQ(20, gui::Find(pm, L"updateContent")->GetFixedHeight());
                    EXPECT_FALSE(gui::IsShown(pm, L"btnInst"));
                }
                gui::PumpPending();
                gui::SaveScreenshot(h, (shot + suffix).c_str());
                gui::Key(h, VK_ESCAPE);
            });
        };
        check(L"dlg_findnewversion", {L"btnUpdate", L"updateContent", L"tabMain", L"Title", L"progress", L"btnInst",
                                      L"btnCancle", L"btnClose", L"DlgFrame"});
        ShowUpdateDialog(NULL);
        check(L"dlg_install_app", {L"btnAndroid", L"btnIphone", L"Title", L"progress", L"btnClose", L"caption"});
        RunDialog(new CInstallAppDlg(0));
        check(L"dlg_install_guide_phones", {L"btnAndroid", L"btnIphone", L"progress_Android", L"progress_IOS",
                                            L"btnOvoDelvaro", L"btnMobileRecover", L"caption"});
        RunDialog(new CInstallGuideDlg(true));
    }
    EXPECT_EQ(0, UpdateContentHeight(L"no breaks"));
}

// No trust policy: the installer is downloaded, never started, and not
// kept: no mark, no recorded version, no "downloaded" report, so checking
// goes on as before, whatever the user answers.
TEST_F(UpdateDialogs, UnverifiedInstallerIsNotStarted)
{
    GetUpdater().SetEndpoints(SiteEndpoints(L"gdl1"));
    ASSERT_TRUE(CopySiteFile(L"gdl1", L"update/OvoDelvaroSetup.exe", FakeInstaller()));
    ASSERT_TRUE(PutSiteFile(L"gdl1", L"update/newversion.htm", "version=<#6.10.0.0#>information=<#x#>"));
    ASSERT_TRUE(PutSiteFile(L"gdl1", L"update/patchver.htm", "none"));
    for (const wchar_t* close : {L"btnCancle", L"btnClose"}) {
        gui::OnDialog(L"DelvaroDlg", [&](HWND dlg) {
            CPaintManagerUI& pm = *gui::ManagerOf(dlg);
            EXPECT_TRUE(Download(pm, [&] { return Text(pm, L"Title") == GetUIText(L"NotVerified"); }));
            EXPECT_FALSE(gui::IsShown(pm, L"btnUpdate") || gui::IsShown(pm, L"btnInst") ||
                         gui::IsShown(pm, L"progress"));
            gui::SaveScreenshot(dlg, L"dlg_findnewversion_refused");
            gui::Click(pm, close);
        });
        ShowUpdateDialog(NULL);
        EXPECT_FALSE(Exists(Setup()));
        EXPECT_FALSE(Exists(Setup() + L".upd"));
        EXPECT_EQ(0, Pending());
        EXPECT_TRUE(m_reporter.actions.empty());
        wchar_t version[64] = {};
        DWORD size = sizeof version;
        EXPECT_NE(ERROR_SUCCESS, RegGetValueW(HKEY_CURRENT_USER, kTestKey, L"DownloadedUpdateVersion", RRF_RT_REG_SZ,
                                              NULL, version, &size));
        // Nothing waits for the next start, and the daily check still
        // announces the version.
        EXPECT_FALSE(GetUpdater().HasNewInstaller());
        EXPECT_FALSE(RunPendingInstaller());
        HWND owner = CreateWindowExW(0, L"STATIC", NULL, 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, NULL, NULL);
        GetUpdater().SetOwnerWindow(owner);
        GetUpdater().AutoCheck();
        MSG msg;
        EXPECT_TRUE(PeekMessageW(&msg, owner, kNewVersionFoundMessage, kNewVersionFoundMessage, PM_REMOVE));
        EXPECT_EQ(L"6.10.0.0", GetUpdater().GetNewVersion());
        GetUpdater().SetOwnerWindow(NULL);
        DestroyWindow(owner);
    }
    EXPECT_TRUE(m_env->Runs().empty());
}

// The menu's check end to end: the answer reaches the window, which opens
// the dialog; the installer is downloaded with progress, started only when
// trusted, and the marks are recorded.
TEST_F(UpdateDialogs, ManualCheckFindsDownloadsAndRecords)
{
    ServeInstaller(L"gdl7", L"update/OvoDelvaroSetup.exe", "trickle=2");
    ASSERT_TRUE(PutSiteFile(L"gdl7", L"update/newversion.htm", "version=<#6.10.0.0#>\r\ninformation=<#Faster\n<n>safer#>"));
    const char config[] = "[Scan]\r\nScanInPath=0\r\n";
    ASSERT_TRUE(PutSiteFile(L"gdl7", L"remotecfg.cab", config));
    // The remote configuration is taken by its pinned hash.
    Sha256Digest configHash = {};
    ASSERT_TRUE(Sha256OfBytes(config, sizeof config - 1, configHash));
    m_policy.m_fileHashes.push_back(configHash);
    struct Owner
    {
        static LRESULT CALLBACK Proc(HWND h, UINT m, WPARAM w, LPARAM l)
        {
            if (m != kNewVersionFoundMessage)
                return DefWindowProcW(h, m, w, l);
            OnUpdateCheckResult(h, w);
            return 0;
        }
    };
    WNDCLASSW wc = {};
    wc.lpfnWndProc = Owner::Proc;
    wc.hInstance = GetModuleHandleW(NULL);
    wc.lpszClassName = L"UpdateTestOwner";
    RegisterClassW(&wc);
    HWND owner = CreateWindowExW(0, wc.lpszClassName, L"", WS_POPUP, 0, 0, 10, 10, NULL, NULL, wc.hInstance, NULL);
    bool shown = false;
    int maxProgress = 0;
    gui::OnDialog(L"DelvaroDlg", [&](HWND dlg) {
        shown = true;
        CPaintManagerUI& pm = *gui::ManagerOf(dlg);
        EXPECT_TRUE(Download(pm, [&] {
            maxProgress = std::max(maxProgress, ProgressOf(pm, L"progress"));
            return gui::IsShown(pm, L"btnInst") || Text(pm, L"Title") == GetUIText(L"NotVerified");
        }));
        EXPECT_EQ(L"Faster<n>safer", Text(pm, L"updateContent"));  // line feeds and CR gone
        EXPECT_EQ(HaveSigned(), gui::IsShown(pm, L"btnInst"));
        if (HaveSigned())
            gui::SaveScreenshot(dlg, L"dlg_findnewversion_ready");
        gui::Click(pm, HaveSigned() ? L"btnInst" : L"btnCancle");
        gui::PumpUntil([&] { return !IsWindow(dlg); });
    });
    StartManualUpdateCheck(owner, NULL);
    EXPECT_TRUE(gui::PumpUntil([&] { return shown && !gui::FindThreadWindow(L"DelvaroDlg"); }, 60000));
    DestroyWindow(owner);
    EXPECT_GT(maxProgress, 0);
    EXPECT_EQ(0, ReadScanInPath());  // the remote configuration came along
    // Recorded only when the installer passed the policy (signed stand-ins).
    EXPECT_EQ(HaveSigned() ? 1 : 0, Pending());
    wchar_t version[64] = {};
    DWORD size = sizeof version;
    RegGetValueW(HKEY_CURRENT_USER, kTestKey, L"DownloadedUpdateVersion", RRF_RT_REG_SZ, NULL, version, &size);
    EXPECT_STREQ(HaveSigned() ? L"6.10.0.0" : L"", version);
    EXPECT_EQ(HaveSigned() ? std::vector<int>{4} : std::vector<int>{}, m_reporter.actions);
    EXPECT_TRUE(gui::PumpUntil([&] { return m_env->Runs().size() == (HaveSigned() ? 1u : 0u); }));
}

// Cancel during the download (button or Escape) and a failed download: no
// partial file, no mark, and the window goes at once.
TEST_F(UpdateDialogs, CancelDuringTheDownload)
{
    GetUpdater().SetEndpoints(SiteEndpoints(L"gdl3"));
    ASSERT_TRUE(PutSiteFile(L"gdl3", L"update/OvoDelvaroSetup.exe", Pattern(600000), "trickle=30"));
    for (bool escape : {false, true}) {
        DWORD closedAfter = 0;
        gui::OnDialog(L"DelvaroDlg", [&](HWND dlg) {
            CPaintManagerUI& pm = *gui::ManagerOf(dlg);
            EXPECT_TRUE(Download(pm, [&] { return ProgressOf(pm, L"progress") > 0; }));
            EXPECT_TRUE(Exists(Setup() + L".upd"));
            const DWORD start = GetTickCount();
            escape ? gui::Key(dlg, VK_ESCAPE) : (void)gui::Click(pm, L"btnCancle");
            gui::PumpUntil([&] { return !IsWindow(dlg); });
            closedAfter = GetTickCount() - start;
        });
        ShowUpdateDialog(NULL);
        EXPECT_LT(closedAfter, 10000u);
        EXPECT_FALSE(Exists(Setup() + L".upd") || Exists(Setup()));
        EXPECT_EQ(0, Pending());
    }
    ASSERT_TRUE(PutSiteFile(L"gdl3", L"update/OvoDelvaroSetup.exe", "x", "status=404"));
    gui::OnDialog(L"DelvaroDlg", [](HWND dlg) {
        CPaintManagerUI& pm = *gui::ManagerOf(dlg);
        EXPECT_TRUE(Download(pm, [&] { return Text(pm, L"Title") == GetUIText(L"DownloadErr"); }));
        EXPECT_FALSE(gui::IsShown(pm, L"progress"));
        gui::Click(pm, L"btnCancle");
    });
    ShowUpdateDialog(NULL);
    EXPECT_TRUE(m_reporter.actions.empty());
    EXPECT_FALSE(Exists(Setup()));
}

// The decoder package: "Decode" only after an installer that succeeded.
TEST_F(UpdateDialogs, DecoderInstallChecksTheExitCode)
{
    ServeInstaller(L"gdl4", L"decoder_setup.exe");
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Delvaro", L"Decode");
    SetEnvironmentVariableW(L"DELVARO_FAKE_INSTALL_RC", L"5");
    gui::OnDialog(L"DelvaroDlg", [&](HWND dlg) {
        CPaintManagerUI& pm = *gui::ManagerOf(dlg);
        const std::wstring expected = GetUIText(HaveSigned() ? L"InstallFailed" : L"NotVerified");
        EXPECT_TRUE(gui::PumpUntil([&] { return Text(pm, L"Title") == expected; }));
        EXPECT_EQ(GetUIText(L"DownloadDecoder"), Text(pm, L"caption"));
        gui::Click(pm, L"btnClose");
    });
    ShowDecoderInstallDialog(NULL);
    EXPECT_EQ(0xFFFFFFFFu, DecodeMark());
    ASSERT_EQ(HaveSigned() ? 1u : 0u, m_env->Runs().size());
    if (HaveSigned()) {
        EXPECT_NE(std::string::npos, m_env->Runs()[0].find("\" /VERYSILENT /NORESTART /NOCLOSEAPPLICATIONS"));
        SetEnvironmentVariableW(L"DELVARO_FAKE_INSTALL_RC", L"0");
        bool closedByItself = false;
        gui::OnDialog(L"DelvaroDlg", [&](HWND dlg) { closedByItself = gui::PumpUntil([&] { return !IsWindow(dlg); }); });
        ShowDecoderInstallDialog(NULL);
        EXPECT_TRUE(closedByItself);
        EXPECT_EQ(0u, DecodeMark());
    }
    EXPECT_TRUE(gui::PumpUntil(NoDownloadFolders));
}

// The Android choice downloads, installs and starts the program; once
// installed, the choice starts it at once.
TEST_F(UpdateDialogs, CompanionChoiceInstallsAndStarts)
{
    ServeInstaller(L"gdl5", L"dl/OvoPalometSetup.exe");
    const std::wstring oldUrl = g_OemInfo.m_strAndroidAppUrl;
    g_OemInfo.m_strAndroidAppUrl = SiteUrl(L"gdl5", L"dl/OvoPalometSetup.exe?x=1");
    SetEnvironmentVariableW(L"DELVARO_FAKE_INSTALL_APP", L"1");
    SetEnvironmentVariableW(L"DELVARO_FAKE_INSTALL_DIR", testpaths::MakeTempDir(L"palomet").c_str());
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\OvoPalomet");
    for (int round = 0; round < (HaveSigned() ? 2 : 1); ++round) {
        gui::OnDialog(L"DelvaroDlg", [&](HWND h) {
            CPaintManagerUI& pm = *gui::ManagerOf(h);
            gui::PumpUntil([&] { return gui::IsShown(pm, L"btnAndroid"); });
            gui::Click(pm, L"btnAndroid");
            if (!HaveSigned()) {
                EXPECT_TRUE(gui::PumpUntil([&] { return Text(pm, L"Title") == GetUIText(L"NotVerified"); }));
                gui::Click(pm, L"btnClose");
            }
            gui::PumpUntil([&] { return !IsWindow(h); });
        });
        RunDialog(new CInstallAppDlg(0));
    }
    EXPECT_TRUE(m_reporter.Has(L"Palometo"));
    if (HaveSigned()) {
        // The silent install, the program it installed, and that program
        // again without a second download.
        EXPECT_TRUE(gui::PumpUntil([&] { return m_env->Runs().size() == 3; }));
        std::vector<std::string> runs = m_env->Runs();
        ASSERT_EQ(3u, runs.size());
        EXPECT_NE(std::string::npos, runs[0].find("OvoPalometSetup.exe\" /S"));
        EXPECT_NE(std::string::npos, runs[1].find("palomet.exe"));
        EXPECT_EQ(1, SiteRequests(L"gdl5"));
    } else {
        EXPECT_TRUE(m_env->Runs().empty());
    }
    EXPECT_TRUE(gui::PumpUntil(NoDownloadFolders));
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\OvoPalomet");
    g_OemInfo.m_strAndroidAppUrl = oldUrl;
}

// The guide: its pages, the error text, one download per phone, and a
// close while a download hangs.
TEST_F(UpdateDialogs, GuidePagesErrorsAndCloseDuringDownload)
{
    const std::wstring oldA = g_OemInfo.m_strAndroidAppUrl, oldI = g_OemInfo.m_strIPhoneAppUrl;
    ASSERT_TRUE(PutSiteFile(L"gdl6", L"android.exe", Pattern(40000), "stallafter=8192;wait=4000;tag=gdl6-android"));
    g_OemInfo.m_strAndroidAppUrl = SiteUrl(L"gdl6", L"android.exe");
    g_OemInfo.m_strIPhoneAppUrl = SiteUrl(L"gdl6", L"missing.exe");
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\OvoPalomet");
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\OvoFennick");
    CInstallGuideDlg::SetErrorShowMs(300);
    CInstallGuideDlg* guide = new CInstallGuideDlg(false);
    DWORD closedAfter = 0;
    gui::OnDialog(L"DelvaroDlg", [&](HWND h) {
        CPaintManagerUI& pm = *gui::ManagerOf(h);
        gui::PumpUntil([&] { return gui::IsShown(pm, L"btnMobileRecover"); });
        gui::SaveScreenshot(h, L"dlg_install_guide");
        gui::Click(pm, L"btnMobileRecover");
        EXPECT_TRUE(gui::PumpUntil([&] { return gui::IsShown(pm, L"btnAndroid"); }));
        EXPECT_EQ(GetUIText(L"InstallNow"), Text(pm, L"btnAndroid"));
        // iPhone: the download fails, the error shows, then the start again.
        gui::Click(pm, L"btnIphone");
        EXPECT_TRUE(gui::PumpUntil([&] { return guide->GetButtonState(2) == 4; }));
        EXPECT_EQ(GetUIText(L"DLErr"), Text(pm, L"btnIphone"));
        EXPECT_TRUE(gui::PumpUntil([&] { return guide->GetButtonState(2) == 0; }));
        // Android: the download hangs after its first block.
        gui::Click(pm, L"btnAndroid");
        EXPECT_TRUE(gui::PumpUntil([&] {
            int p = ProgressOf(pm, L"progress_Android");
            return p > 0 && p < 100;
        }));
        EXPECT_FALSE(gui::Find(pm, L"btnAndroid")->IsEnabled());
        EXPECT_EQ(L"", Text(pm, L"btnAndroid"));
        EXPECT_TRUE(guide->IsDownloading(1));
        const DWORD start = GetTickCount();
        gui::Click(pm, L"btnClose");
        gui::PumpUntil([&] { return !IsWindow(h); });
        closedAfter = GetTickCount() - start;
    });
    RunDialog(guide);
    EXPECT_LT(closedAfter, 5000u);
    EXPECT_EQ(1, nettest::CountLogs(L"gdl6-android"));
    EXPECT_TRUE(m_reporter.Has(L"Palometo") && m_reporter.Has(L"Fennicko"));
    // The abandoned worker ends on its own (here when the server sends
    // again) and leaves nothing behind.
    EXPECT_TRUE(gui::PumpUntil(NoDownloadFolders, 60000));
    CInstallGuideDlg::SetErrorShowMs(2500);
    g_OemInfo.m_strAndroidAppUrl = oldA;
    g_OemInfo.m_strIPhoneAppUrl = oldI;
}

}  // namespace
