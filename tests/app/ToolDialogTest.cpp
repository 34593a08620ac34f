// The dialogs of the title menu (settings, about, feedback) and the
// first-use guide, opened from their places in the main window and driven by
// control name.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdlib>
#include <thread>

#include <json/json.h>

#include "DialogFrame.h"
#include "app/GuideDlg.h"
#include "app/SettingDlg.h"
#include "app/WindowMessages.h"
#include "core/Base64.h"
#include "core/Language.h"
#include "core/Settings.h"
#include "net/ReportClient.h"
#include "sectorengine/Blockmill.h"

using namespace wintest;

namespace {

class ToolDialogTest : public CDialogFrameTest
{
};

// The settings test changes what the other tests (and the other test
// programs sharing the prefix) read: it puts the file and the values back.
class SettingsKept
{
public:
    SettingsKept() : m_saved(g_ConfigSetting)
    {
        m_had = GetFileAttributesW(m_saved.m_strIniPath.c_str()) != INVALID_FILE_ATTRIBUTES;
        if (m_had)
            m_bytes = testpaths::ReadWholeFile(m_saved.m_strIniPath);
    }
    ~SettingsKept()
    {
        g_ConfigSetting = m_saved;
        Blockmill::SetSkipNums(m_saved.m_uSkipBadSectorNums);
        Blockmill::EnableSkip(m_saved.m_bEnableSkipBadSector);
        Blockmill::SetBadSectorValue(m_saved.m_strBadSectorValue.c_str());
        if (m_had)
            testpaths::WriteWholeFile(m_saved.m_strIniPath, m_bytes);
        else
            DeleteFileW(m_saved.m_strIniPath.c_str());
    }

private:
    CConfigSetting m_saved;
    std::string m_bytes;
    bool m_had = false;
};

int IniInt(const wchar_t* key)
{
    return (int)GetPrivateProfileIntW(L"Setting", key, -1, g_ConfigSetting.m_strIniPath.c_str());
}

std::wstring IniText(const wchar_t* key)
{
    wchar_t buf[64] = {};
    GetPrivateProfileStringW(L"Setting", key, L"(none)", buf, 64, g_ConfigSetting.m_strIniPath.c_str());
    return buf;
}

bool IsOn(CPaintManagerUI& pm, const wchar_t* name)
{
    return gui::IsSelected(pm, name);
}

int ComboSel(CPaintManagerUI& pm)
{
    return static_cast<DuiLib::CComboUI*>(gui::Find(pm, L"ClusterSize")->GetInterface(DUI_CTR_COMBO))->GetCurSel();
}

// The combo's list opens on a click; a click on an entry picks it and
// closes the list.
void ComboPick(CPaintManagerUI& pm, int index)
{
    DuiLib::CComboUI* combo = static_cast<DuiLib::CComboUI*>(gui::Find(pm, L"ClusterSize")->GetInterface(DUI_CTR_COMBO));
    ASSERT_TRUE(gui::Click(pm, combo));
    HWND drop = NULL;
    ASSERT_TRUE(gui::PumpUntil([&] { return (drop = gui::FindThreadWindow(L"ComboWnd")) != NULL; }));
    CControlUI* item = combo->GetItemAt(index);
    // The entries are laid out in the list's own window.
    ASSERT_TRUE(gui::PumpUntil([&] { return item->GetManager() != &pm && item->GetPos().bottom > item->GetPos().top; }));
    ASSERT_TRUE(gui::Click(*item->GetManager(), item));
    ASSERT_TRUE(gui::PumpUntil([&] { return ComboSel(pm) == index; }));
    ASSERT_TRUE(WaitGone(drop));
}

TEST(SettingValues, ClusterEntriesAndSkipCounts)
{
    // Each entry is its own size both ways, and only sizes the settings take.
    for (int i = 0; i < CSettingDlg::kClusterChoices; ++i) {
        const uint32_t size = CSettingDlg::ClusterSizeOfIndex(i);
        EXPECT_EQ(512u << i, size);
        EXPECT_EQ(i, CSettingDlg::ClusterIndexOfSize(size));
        CConfigSetting s;
        s.m_strIniPath = L"";
        EXPECT_TRUE(s.SetClusterSize(size, 0)) << size;
    }
    EXPECT_EQ(0u, CSettingDlg::ClusterSizeOfIndex(CSettingDlg::kClusterChoices));
    EXPECT_EQ(0u, CSettingDlg::ClusterSizeOfIndex(-1));
    EXPECT_EQ(-1, CSettingDlg::ClusterIndexOfSize(1536));
    EXPECT_EQ(-1, CSettingDlg::ClusterIndexOfSize(16384));
    EXPECT_EQ(1u, CSettingDlg::ParseSkipCount(L"1"));
    EXPECT_EQ(65535u, CSettingDlg::ParseSkipCount(L"65535"));
    for (const wchar_t* bad : {L"", L"0", L"65536", L"99999999999", L"12a", L"-5", L" 7", L"+3"})
        EXPECT_EQ(0u, CSettingDlg::ParseSkipCount(bad)) << testpaths::Narrow(bad);
}

TEST_F(ToolDialogTest, SettingsStoreWhatTheDialogShowsAndRefuseABadCount)
{
    SettingsKept kept;
    g_ConfigSetting.SetEnableSkipBadSector(0);
    g_ConfigSetting.SetSkipBadSectorNums(32);
    g_ConfigSetting.SetBadSectorValue(L"UNREADABLESECTO");
    g_ConfigSetting.SetEnablePreviewer(0);
    g_ConfigSetting.SetClusterSize(4096, 1);

    RunFromMenu(L"menuSetting", [&](HWND dlg, CPaintManagerUI& dpm) {
        // What the settings hold; the edits follow the skip switch.
        EXPECT_FALSE(IsOn(dpm, L"SkipBadSector"));
        EXPECT_FALSE(gui::Find(dpm, L"BadSectorNums")->IsEnabled());
        EXPECT_FALSE(gui::Find(dpm, L"BadSectorValue")->IsEnabled());
        EXPECT_EQ(L"32", TextOf(dpm, L"BadSectorNums"));
        EXPECT_EQ(L"UNREADABLESECTO", TextOf(dpm, L"BadSectorValue"));
        EXPECT_EQ(3, ComboSel(dpm));
        gui::SaveScreenshot(dlg, L"dlg_setting");

        ASSERT_TRUE(gui::Click(dpm, L"SkipBadSector"));
        ASSERT_TRUE(gui::PumpUntil([&] { return IsOn(dpm, L"SkipBadSector"); }));
        EXPECT_TRUE(gui::Find(dpm, L"BadSectorNums")->IsEnabled());

        // Letters never reach the count; a count out of range is refused
        // with the box, and nothing at all is stored.
        ASSERT_TRUE(TypeInto(dpm, L"BadSectorNums", L"7x0000"));
        EXPECT_EQ(L"70000", TextOf(dpm, L"BadSectorNums"));
        ComboPick(dpm, 1);
        MessageLog::texts.clear();
        ASSERT_TRUE(gui::Click(dpm, L"btnYes"));
        ASSERT_TRUE(gui::PumpUntil([] { return !MessageLog::texts.empty(); }));
        EXPECT_EQ(MessageText(L"InputSkipBadSector"), MessageLog::texts.back());
        EXPECT_TRUE(IsWindow(dlg));
        EXPECT_EQ(0, IniInt(L"EnableSkipBadSector"));
        EXPECT_EQ(4096, IniInt(L"ClusterSize"));
        EXPECT_EQ(32, IniInt(L"SkipBadSectorNums"));

        ASSERT_TRUE(TypeInto(dpm, L"BadSectorNums", L"64"));
        ASSERT_TRUE(TypeInto(dpm, L"BadSectorValue", L"BAD"));
        ASSERT_TRUE(gui::Click(dpm, L"EnhancePreviewer"));
        ASSERT_TRUE(gui::PumpUntil([&] { return IsOn(dpm, L"EnhancePreviewer"); }));
        ASSERT_TRUE(gui::Click(dpm, L"btnYes"));
    });
    // Stored in "Config.ini" and handed to the sector engine at once.
    EXPECT_EQ(1, IniInt(L"EnableSkipBadSector"));
    EXPECT_EQ(64, IniInt(L"SkipBadSectorNums"));
    EXPECT_EQ(L"BAD", IniText(L"BadSectorValue"));
    EXPECT_EQ(1, IniInt(L"EnablePreviewer"));
    EXPECT_EQ(1024, IniInt(L"ClusterSize"));
    EXPECT_EQ(1024u, g_ConfigSetting.m_uClusterSize);
    EXPECT_EQ(1, Blockmill::m_bSkipBadSector);
    EXPECT_EQ(64u, Blockmill::m_uSkipBadSectorNums);
    EXPECT_EQ(64u * 512, Blockmill::m_uChunkSize);
    EXPECT_EQ(L"BAD", Blockmill::m_strFillBadSectorValue);

    // The defaults, then cancel: nothing changes. Turning skipping off
    // disables the edits, whose values are still stored by "OK".
    RunFromMenu(L"menuSetting", [&](HWND, CPaintManagerUI& dpm) {
        EXPECT_EQ(1, ComboSel(dpm));
        ASSERT_TRUE(gui::Click(dpm, L"btnDefault"));
        ASSERT_TRUE(gui::PumpUntil([&] { return TextOf(dpm, L"BadSectorNums") == L"32"; }));
        EXPECT_EQ(L"UNREADABLESECTOR", TextOf(dpm, L"BadSectorValue"));
        EXPECT_EQ(0, ComboSel(dpm));
        ASSERT_TRUE(gui::Click(dpm, L"btnClose"));
    });
    EXPECT_EQ(64, IniInt(L"SkipBadSectorNums"));
    EXPECT_EQ(1024, IniInt(L"ClusterSize"));
    RunFromMenu(L"menuSetting", [&](HWND, CPaintManagerUI& dpm) {
        ASSERT_TRUE(gui::Click(dpm, L"SkipBadSector"));
        ASSERT_TRUE(gui::PumpUntil([&] { return !IsOn(dpm, L"SkipBadSector"); }));
        EXPECT_FALSE(gui::Find(dpm, L"BadSectorNums")->IsEnabled());
        ASSERT_TRUE(gui::Click(dpm, L"btnYes"));
    });
    EXPECT_EQ(0, IniInt(L"EnableSkipBadSector"));
    EXPECT_EQ(0, Blockmill::m_bSkipBadSector);
    EXPECT_EQ(64, IniInt(L"SkipBadSectorNums"));
    EXPECT_EQ(L"BAD", IniText(L"BadSectorValue"));
}

TEST_F(ToolDialogTest, AboutShowsVersionAndBranding)
{
    RunFromMenu(L"menuAbout", [&](HWND dlg, CPaintManagerUI& dpm) {
        EXPECT_EQ(g_strLangProductName, TextOf(dpm, L"ProductName"));
        EXPECT_EQ(L"6.0.0.1", TextOf(dpm, L"LabelVersion"));
        // No branding configured: the layout's own site, company and logo.
        EXPECT_EQ(L"http://www.delvaro-recovery.example/", TextOf(dpm, L"buttonSite"));
        EXPECT_EQ(L"Delvaro Software", TextOf(dpm, L"CompanyName"));
        EXPECT_EQ(L"about/logo.png", std::wstring(gui::Find(dpm, L"AboutLogo")->GetBkImage()));
        gui::SaveScreenshot(dlg, L"dlg_about");
        ASSERT_TRUE(gui::Click(dpm, L"btnClose"));
    });
    const COemInfo saved = g_OemInfo;
    g_OemInfo.m_strOfficialSite = L"http://partner.example/";
    g_OemInfo.m_strCompanyName = L"Partner Ltd";
    RunFromMenu(L"menuAbout", [&](HWND dlg, CPaintManagerUI& dpm) {
        EXPECT_EQ(L"http://partner.example/", TextOf(dpm, L"buttonSite"));
        EXPECT_EQ(L"Partner Ltd", TextOf(dpm, L"CompanyName"));
        gui::Key(dlg, VK_ESCAPE);
    });
    g_OemInfo = saved;
}

// ---- feedback through the report client to a server on this machine ----

struct CReportServer
{
    SOCKET listener = INVALID_SOCKET;
    int port = 0;
    std::string request;
    std::thread worker;
    const char* reply;

    explicit CReportServer(const char* answer) : reply(answer)
    {
        WSADATA wsa;
        WSAStartup(MAKEWORD(2, 2), &wsa);
        listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener, (sockaddr*)&a, sizeof(a));
        int len = sizeof(a);
        getsockname(listener, (sockaddr*)&a, &len);
        port = ntohs(a.sin_port);
        listen(listener, 1);
        worker = std::thread([this] { Serve(); });
    }
    ~CReportServer()
    {
        closesocket(listener);
        worker.join();
    }
    void Serve()
    {
        SOCKET c = accept(listener, NULL, NULL);
        if (c == INVALID_SOCKET)
            return;
        char buf[4096];
        size_t need = std::string::npos;
        for (;;) {
            const int n = recv(c, buf, sizeof(buf), 0);
            if (n <= 0)
                break;
            request.append(buf, n);
            const size_t head = request.find("\r\n\r\n");
            if (head != std::string::npos && need == std::string::npos) {
                const size_t at = request.find("Content-Length:");
                need = head + 4 + (at == std::string::npos ? 0 : strtoul(request.c_str() + at + 15, NULL, 10));
            }
            if (need != std::string::npos && request.size() >= need)
                break;
        }
        std::string answer = std::string("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: ") +
                             std::to_string(strlen(reply)) + "\r\nConnection: close\r\n\r\n" + reply;
        send(c, answer.data(), (int)answer.size(), 0);
        shutdown(c, SD_SEND);
        closesocket(c);
    }
    std::string Body() const
    {
        size_t at = request.find("\r\n\r\n");
        return at == std::string::npos ? std::string() : request.substr(at + 4);
    }
};

int PlainCopy(const uint8_t* data, uint32_t length, uint8_t** out, uint32_t* outLength, const char*)
{
    *out = (uint8_t*)malloc(length ? length : 1);
    memcpy(*out, data, length);
    *outLength = length;
    return 0;
}

class CSuggestCounter : public CRecordingReporter
{
public:
    int suggestions = 0;
    bool SendSuggest(const wchar_t*, const wchar_t*) override
    {
        ++suggestions;
        return true;
    }
};

TEST_F(ToolDialogTest, FeedbackReachesTheReportServerOrTellsTheUserItDidNot)
{
    // An empty text never leaves the form.
    CSuggestCounter counter;
    SetUsageReporter(&counter);
    RunFromMenu(L"menuFeedback", [&](HWND dlg, CPaintManagerUI& dpm) {
        gui::SaveScreenshot(dlg, L"dlg_feedback");
        ASSERT_TRUE(gui::Click(dpm, L"btnSubmit"));
        ASSERT_TRUE(gui::PumpUntil([] { return !MessageLog::texts.empty(); }));
        EXPECT_EQ(MessageText(L"inputSuggest"), MessageLog::texts.back());
        EXPECT_TRUE(IsWindow(dlg));
        ASSERT_TRUE(gui::Click(dpm, L"btnClose"));
    });
    EXPECT_EQ(0, counter.suggestions);

    // The real report client: the text and the contact arrive as UTF-8.
    SetUsageReporter(NULL);
    CReportClient::EncryptFn oldHook = g_ReportClient.SetEncryptHook(PlainCopy);
    const std::wstring text = L"Tr\u00e8s bien \u2013 \u5f88\u597d";
    {
        CReportServer server("1");
        g_ReportClient.SetServer((L"127.0.0.1:" + std::to_wstring(server.port)).c_str());
        MessageLog::texts.clear();
        RunFromMenu(L"menuFeedback", [&](HWND, CPaintManagerUI& dpm) {
            ASSERT_TRUE(gui::Click(dpm, L"Feedback"));
            gui::PumpPending();
            for (wchar_t ch : text)
                PostMessageW(dpm.GetPaintWindow(), WM_CHAR, ch, 1);
            ASSERT_TRUE(gui::PumpUntil([&] { return TextOf(dpm, L"Feedback") == text; }));
            ASSERT_TRUE(TypeInto(dpm, L"contact", L"me@example.org"));
            ASSERT_TRUE(gui::Click(dpm, L"btnSubmit"));
        });
        ASSERT_FALSE(MessageLog::texts.empty());
        EXPECT_EQ(MessageText(L"suggestOK"), MessageLog::texts.back());
        ASSERT_NE(std::string::npos, server.request.find("POST /report/feedback"));
        Json::Value report;
        Json::Reader().parse(Base64DecodeString(server.Body()), report);
        EXPECT_EQ(u8"Tr\u00e8s bien \u2013 \u5f88\u597d", report["Content"].asString());
        EXPECT_EQ("me@example.org", report["Contact"].asString());
    }
    // Nobody answers: the user is told.
    {
        CReportServer server("0");
        g_ReportClient.SetServer((L"127.0.0.1:" + std::to_wstring(server.port)).c_str());
        MessageLog::texts.clear();
        RunFromMenu(L"menuFeedback", [&](HWND, CPaintManagerUI& dpm) {
            ASSERT_TRUE(gui::Click(dpm, L"Feedback"));
            gui::PumpPending();
            PostMessageW(dpm.GetPaintWindow(), WM_CHAR, L'x', 1);
            ASSERT_TRUE(gui::PumpUntil([&] { return TextOf(dpm, L"Feedback") == L"x"; }));
            ASSERT_TRUE(gui::Click(dpm, L"btnSubmit"));
        });
        ASSERT_FALSE(MessageLog::texts.empty());
        EXPECT_EQ(MessageText(L"suggestFail"), MessageLog::texts.back());
    }
    g_ReportClient.SetEncryptHook(oldHook);
    g_ReportClient.SetServer(L"127.0.0.1:9");
}

// ---- the first-use guide ----

TEST(GuideValues, OnlyGuidesThatExistAreDueAndOnlyOnce)
{
    EXPECT_EQ(0, GuideValueFor(0, false, 0));
    EXPECT_EQ(1, GuideValueFor(1, false, 0));
    EXPECT_EQ(0, GuideValueFor(2, false, 0));
    EXPECT_EQ(0, GuideValueFor(3, false, 0));
    EXPECT_EQ(4, GuideValueFor(4, false, 0));
    EXPECT_EQ(8, GuideValueFor(1, true, 0));
    EXPECT_EQ(0, GuideValueFor(1, false, 1));
    EXPECT_EQ(1, GuideValueFor(1, false, 3 & ~1));
    EXPECT_EQ(0, GuideValueFor(4, false, 0xD));
    EXPECT_EQ(8, GuideValueFor(4, true, 5));
}

class GuideTest : public CDialogFrameTest
{
protected:
    void SetUp() override
    {
        WriteGuideMask(0xD);
        CDialogFrameTest::SetUp();
    }
    void TearDown() override
    {
        CDialogFrameTest::TearDown();
        WriteGuideMask(0xD);
    }
    HWND WaitForGuide()
    {
        HWND guide = NULL;
        gui::PumpUntil([&] { return (guide = FindProcessWindow(L"DelvaroGuideDlg")) != NULL; });
        // Laid over the whole window (and painted) before it is looked at.
        gui::PumpUntil([&] {
            RECT g, m;
            return guide && GetWindowRect(guide, &g) && GetWindowRect(m_hwnd, &m) && EqualRect(&g, &m);
        });
        if (guide)
            UpdateWindow(guide);
        return guide;
    }
    void ShowGuideNow()
    {
        SendMessageW(m_hwnd, WMU_ShowGuide, 0, 0);
        gui::PumpPending();
    }
};

TEST_F(GuideTest, DiskListGuideShowsOnceOverTheWindowAndStepsByClicks)
{
    // The file-type page first: no guide there, and nothing recorded.
    WriteGuideMask(0);
    m_frame->SelectPage(3);
    ShowGuideNow();
    EXPECT_FALSE(m_frame->IsGuideRunning());
    EXPECT_EQ(0u, ReadGuideMask());
    m_frame->SelectPage(0);
    ShowGuideNow();
    EXPECT_FALSE(m_frame->IsGuideRunning());

    // The disk list later still has its guide, laid over the whole window.
    m_frame->SelectPage(1);
    ShowGuideNow();
    EXPECT_TRUE(m_frame->IsGuideRunning());
    HWND guide = WaitForGuide();
    ASSERT_TRUE(guide != NULL);
    EXPECT_EQ(1u, ReadGuideMask());
    // Made on the window thread, like every window of the program.
    EXPECT_EQ(GetCurrentThreadId(), GetWindowThreadProcessId(guide, NULL));
    RECT g, m;
    GetWindowRect(guide, &g);
    GetWindowRect(m_hwnd, &m);
    EXPECT_TRUE(EqualRect(&g, &m));
    // The window shows through it.
    BYTE alpha = 255;
    DWORD flags = 0;
    EXPECT_TRUE(GetLayeredWindowAttributes(guide, NULL, &alpha, &flags));
    EXPECT_TRUE((flags & LWA_ALPHA) && alpha < 255);
    ASSERT_TRUE(gui::PumpUntil([&] { return !IsWindowEnabled(m_hwnd); }));
    gui::SaveScreenshot(guide, L"dlg_guide");
    // Three pictures, one click each; after the last the guide goes.
    for (int i = 0; i < 3; ++i) {
        PostMessageW(guide, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(400, 300));
        PostMessageW(guide, WM_LBUTTONUP, 0, MAKELPARAM(400, 300));
    }
    ASSERT_TRUE(WaitGone(guide));
    ASSERT_TRUE(gui::PumpUntil([&] { return !m_frame->IsGuideRunning() && IsWindowEnabled(m_hwnd); }));

    // A second visit shows nothing.
    ShowGuideNow();
    EXPECT_FALSE(m_frame->IsGuideRunning());
}

// A guide decided while the window is free, then kept from showing by a
// dialog that came up in the moment before: not recorded as shown, so it
// shows once the dialog has gone.
TEST_F(GuideTest, AGuideKeptOffByADialogIsStillDue)
{
    WriteGuideMask(0);
    m_frame->SelectPage(1);
    ShowGuideNow();
    ASSERT_TRUE(m_frame->IsGuideRunning());  // decided, shown a moment later
    HWND popup = CreateWindowExW(0, L"STATIC", L"popup", WS_POPUP | WS_VISIBLE, 0, 0, 50, 50, m_hwnd, NULL, NULL, NULL);
    ASSERT_TRUE(popup != NULL);
    SetActiveWindow(popup);
    ASSERT_TRUE(gui::PumpUntil([&] { return GetLastActivePopup(m_hwnd) == popup; }));
    ASSERT_TRUE(gui::PumpUntil([&] { return !m_frame->IsGuideRunning(); }));
    EXPECT_FALSE(FindProcessWindow(L"DelvaroGuideDlg"));
    EXPECT_EQ(0u, ReadGuideMask());
    DestroyWindow(popup);
    ASSERT_TRUE(gui::PumpUntil([&] { return GetLastActivePopup(m_hwnd) == m_hwnd; }));

    ShowGuideNow();
    HWND guide = WaitForGuide();
    ASSERT_TRUE(guide != NULL);
    EXPECT_EQ(1u, ReadGuideMask());
    PostMessageW(m_hwnd, WM_CLOSE, 0, 0);
    ASSERT_TRUE(WaitGone(m_hwnd));
    m_hwnd = NULL;
}

TEST_F(GuideTest, MinimisingOrClosingTheWindowEndsTheGuide)
{
    WriteGuideMask(0);
    m_frame->SelectPage(1);
    ShowGuideNow();
    HWND guide = WaitForGuide();
    ASSERT_TRUE(guide != NULL);
    ShowWindow(m_hwnd, SW_MINIMIZE);
    ASSERT_TRUE(WaitGone(guide));
    ASSERT_TRUE(gui::PumpUntil([&] { return !m_frame->IsGuideRunning(); }));
    ShowWindow(m_hwnd, SW_RESTORE);

    // The result page's guide; the program closes while it is up.
    m_frame->SelectPage(4);
    ShowGuideNow();
    guide = WaitForGuide();
    ASSERT_TRUE(guide != NULL);
    EXPECT_EQ(5u, ReadGuideMask());
    gui::SaveScreenshot(guide, L"dlg_guide_results");
    PostMessageW(m_hwnd, WM_CLOSE, 0, 0);
    ASSERT_TRUE(WaitGone(m_hwnd));
    EXPECT_FALSE(IsWindow(guide));
    m_hwnd = NULL;
}

}  // namespace
