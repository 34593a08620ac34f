// The message dialog, the window base's shadow and region, the taskbar
// progress, and the layouts of the three languages.
#include <gtest/gtest.h>

#include <algorithm>

#include "GuiHarness.h"
#include "WindowTestUtil.h"
#include "app/CloseConfirm.h"
#include "app/MainFrame.h"
#include "app/MessageDlg.h"
#include "app/ResultDialogs.h"
#include "app/ProgressTaskBar.h"
#include "app/WndShadow.h"
#include "common/DeviceMap.h"
#include "common/TestPaths.h"
#include "core/Helpers.h"
#include "core/Language.h"
#include "storage/fs/FatCommon.h"
#include "views/ListThumbElement.h"
#include "views/ResultListUI.h"

using namespace wintest;

namespace {

class DialogTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { gui::InitProcess(1252); }
};

// Shows a message box and lets check run on it while it is up.
int RunBox(const wchar_t* text, const wchar_t* caption, UINT flags, std::function<void(HWND, CPaintManagerUI&)> check)
{
    gui::OnDialog(L"DelvaroDlg", [check](HWND dlg) { check(dlg, *gui::ManagerOf(dlg)); });
    return ShowSkinMessageDlg(NULL, text, caption, flags, 0);
}

TEST_F(DialogTest, MessageBoxIconsAndButtons)
{
    // Flags 0: information icon, one button where the second would be.
    int result = RunBox(L"Plain text", L"Caption", 0, [](HWND dlg, CPaintManagerUI& pm) {
        gui::PumpUntil([&] { return gui::IsShown(pm, L"infoLogo"); });
        EXPECT_TRUE(gui::IsShown(pm, L"infoLogo"));
        EXPECT_FALSE(gui::IsShown(pm, L"btnClose"));
        EXPECT_EQ(gui::Find(pm, L"btnClose")->GetFixedXY().cx, gui::Find(pm, L"btnYes")->GetFixedXY().cx);
        EXPECT_EQ(L"Caption", std::wstring(gui::Find(pm, L"caption")->GetText()));
        gui::PumpPending();
        gui::SaveScreenshot(dlg, L"dlg_message");
        gui::Click(pm, L"btnYes");
    });
    EXPECT_EQ(6, result);

    // Yes/no with the question flag: warning icon, both buttons; "no" is 7.
    result = RunBox(L"Question?", L"", 4 | 0x20, [](HWND, CPaintManagerUI& pm) {
        gui::PumpUntil([&] { return gui::IsShown(pm, L"warnLogo"); });
        EXPECT_TRUE(gui::IsShown(pm, L"btnYes") && gui::IsShown(pm, L"btnClose"));
        EXPECT_TRUE(gui::Find(pm, L"caption")->GetText().IsEmpty());
        gui::Click(pm, L"btnClose");
    });
    EXPECT_EQ(7, result);

    // 0x30 shows the error icon; Escape closes with 7.
    result = RunBox(L"Error", L"", 0x30, [](HWND dlg, CPaintManagerUI& pm) {
        gui::PumpUntil([&] { return gui::IsShown(pm, L"errorLogo"); });
        EXPECT_FALSE(gui::IsShown(pm, L"infoLogo"));
        gui::Key(dlg, VK_ESCAPE);
    });
    EXPECT_EQ(7, result);
}

TEST_F(DialogTest, MessageBoxExtras)
{
    CMessageDlg* dlg = new CMessageDlg(L"Recover?", L"", 4, false);
    ASSERT_TRUE(dlg->CreateOver(NULL));
    dlg->ShowRadioGroup(true);
    dlg->m_strLeftText = L"Left";
    gui::OnDialog(L"DelvaroDlg", [&](HWND h) {
        CPaintManagerUI& pm = *gui::ManagerOf(h);
        gui::PumpUntil([&] { return gui::IsShown(pm, L"btnLeft"); });
        gui::Click(pm, L"OnSamePath");
        gui::PumpUntil([&] { return dlg->GetPathChoice() == 1; });
        gui::Click(pm, L"RemainPath");
        gui::PumpUntil([&] { return dlg->GetPathChoice() == 0; });
        EXPECT_TRUE(IsWindow(h));
        gui::Click(pm, L"btnLeft");
    });
    dlg->CenterWindow();
    dlg->ShowModal();
    EXPECT_EQ(12, dlg->GetResult());
    EXPECT_EQ(0, dlg->GetPathChoice());
    delete dlg;
}

// The two questions the program asks in its own box, before recovering
// several files and before quitting, carry the program's title as every
// other box does.
TEST_F(DialogTest, ConfirmationBoxesCarryTheProgramTitle)
{
    const std::wstring title = GetMessageTitle();
    ASSERT_FALSE(title.empty());
    std::wstring seen;
    auto answerNo = [&](HWND dlg) {
        CPaintManagerUI& pm = *gui::ManagerOf(dlg);
        gui::PumpUntil([&] { return gui::IsShown(pm, L"btnClose"); });
        seen = gui::Find(pm, L"caption")->GetText().GetData();
        gui::SaveScreenshot(dlg, seen.empty() ? L"dlg_confirm_untitled" : L"dlg_confirm_titled");
        gui::Click(pm, L"btnClose");
    };
    gui::OnDialog(L"DelvaroDlg", answerNo);
    int option = -1;
    EXPECT_FALSE(DefaultResultDialogs().AskRecoverOption(NULL, L"Recover the 3 selected files?", false, option));
    EXPECT_EQ(title, seen) << "recovery question";

    seen = L"(not shown)";
    SetCloseConfirm(1);
    gui::OnDialog(L"DelvaroDlg", answerNo);
    EXPECT_FALSE(ConfirmClose(NULL));
    EXPECT_EQ(title, seen) << "quit question";
    SetCloseConfirm(-1);
}

// A disk that tells no model of its own is named in the language of the
// window, in Chinese as in English.
TEST_F(DialogTest, DiskRowsNameADiskWithoutAModelInTheLanguageOfTheWindow)
{
    NEEDS_WINE_DRIVES();
    devicemap::CScopedDeviceMap disk;
    ASSERT_TRUE(disk.PhysicalDrive(5, testpaths::Fixture(L"carve.img")));
    SetCloseConfirm(0);
    IUsageReporter* oldReporter = SetUsageReporter(NULL);
    for (int cp : {936, 950, 1252}) {
        SCOPED_TRACE(cp);
        gui::UseLanguage(cp);
        const std::wstring name = GetUIText(L"HardDisk");
        ASSERT_FALSE(name.empty());
        if (cp != 1252)
            EXPECT_EQ(std::wstring::npos, name.find(L"Hard Disk"));
        CMainFrame* frame = new CMainFrame;
        HWND hwnd =
            frame->Create(NULL, L"Delvaro", WS_VISIBLE | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, 0, 0, 0, 800, 600);
        ASSERT_TRUE(hwnd != NULL);
        ASSERT_TRUE(gui::PumpUntil([&] { return frame->IsInitialized() && !frame->IsDiskEnumRunning(); }, 60000));
        CPaintManagerUI& pm = frame->GetPaintManager();
        DuiLib::CListUI* list = static_cast<DuiLib::CListUI*>(gui::Find(pm, L"listDisk")->GetInterface(DUI_CTR_LIST));
        std::wstring row;
        for (int i = 0; list && i < list->GetCount(); ++i) {
            CControlUI* c = pm.FindSubControlByName(list->GetItemAt(i), L"diskName");
            if (c && std::wstring(c->GetText().GetData()).compare(0, 4, L"HD5:") == 0)
                row = c->GetText().GetData();
        }
        EXPECT_EQ(L"HD5: " + name, row.substr(0, 5 + name.size())) << testpaths::Narrow(row);
        if (cp == 936) {
            frame->SelectPage(1);
            gui::PumpUntil([] { return false; }, 150);
            gui::SaveScreenshot(hwnd, L"page_disks_hd_cn");
        }
        PostMessageW(hwnd, WM_CLOSE, 0, 0);
        EXPECT_TRUE(gui::PumpUntil([&] { return !IsWindow(hwnd); }));
    }
    SetUsageReporter(oldReporter);
    SetCloseConfirm(-1);
    gui::UseLanguage(1252);
}

TEST_F(DialogTest, ShadowFollowsTheWindow)
{
    ASSERT_TRUE(CWndShadow::IsAvailable());
    // As where layered windows are composed (elsewhere no shadow is made).
    CWndShadow::SetCompositionOverride(1);
    CMessageDlg* dlg = new CMessageDlg(L"Shadow", L"", 0, false);
    ASSERT_TRUE(dlg->CreateOver(NULL));
    ShowWindow(dlg->GetHWND(), SW_SHOWNORMAL);
    CWndShadow& shadow = dlg->GetShadow();
    ASSERT_TRUE(gui::PumpUntil([&] { return shadow.GetStatus() == 7; }));
    EXPECT_TRUE(IsWindowVisible(shadow.GetShadowWindow()));
    EXPECT_EQ(4, shadow.GetSize());
    EXPECT_EQ(75, shadow.GetDarkness());

    ShowWindow(dlg->GetHWND(), SW_MINIMIZE);
    ASSERT_TRUE(gui::PumpUntil([&] { return !(shadow.GetStatus() & CWndShadow::SS_VISABLE); }));
    EXPECT_FALSE(IsWindowVisible(shadow.GetShadowWindow()));
    ShowWindow(dlg->GetHWND(), SW_RESTORE);
    ASSERT_TRUE(gui::PumpUntil([&] { return (shadow.GetStatus() & CWndShadow::SS_VISABLE) != 0; }));
    EXPECT_TRUE(IsWindowVisible(shadow.GetShadowWindow()));

    // Out-of-range values are refused and change nothing.
    EXPECT_FALSE(shadow.SetSize(21));
    EXPECT_FALSE(shadow.SetSharpness(21));
    EXPECT_FALSE(shadow.SetPosition(0, -21));
    EXPECT_FALSE(shadow.SetDarkness(256));
    EXPECT_TRUE(shadow.SetDarkness(255));
    EXPECT_EQ(4, shadow.GetSize());
    EXPECT_EQ(0, shadow.GetYOffset());
    EXPECT_EQ(255, shadow.GetDarkness());
    // A window smaller than the shadow's inward size has no shadow bitmap.
    EXPECT_TRUE(shadow.SetSize(-20));
    SetWindowPos(dlg->GetHWND(), NULL, 0, 0, 12, 12, SWP_NOMOVE | SWP_NOZORDER);
    shadow.Update(dlg->GetHWND());
    gui::PumpPending();
    HWND shadowWnd = shadow.GetShadowWindow();
    DestroyWindow(dlg->GetHWND());
    EXPECT_FALSE(IsWindow(shadowWnd));
    delete dlg;
    CWndShadow::SetCompositionOverride(-1);
}

TEST_F(DialogTest, ShadowBitmapNeverCoversTheWindow)
{
    HWND w = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 100, 100, 120, 90, NULL, NULL, NULL, NULL);
    ASSERT_TRUE(w != NULL);
    CWndShadow s;
    s.SetSize(4);
    s.SetPosition(0, 0);
    s.SetColor(0x7E7E7E);
    s.SetDarkness(75);
    s.SetSharpness(5);
    RECT rc;
    GetWindowRect(w, &rc);
    const int W = 120, H = 90, S = 4, Ws = W + 2 * S, Hs = H + 2 * S;

    // Without a window region the shape is empty: no shadow at all.
    std::vector<uint32_t> bits((size_t)Ws * Hs, 0);
    s.MakeShadow(bits.data(), w, &rc);
    EXPECT_EQ(0u, (size_t)std::count_if(bits.begin(), bits.end(), [](uint32_t p) { return p != 0; }));

    HRGN rgn = CreateFrameRegion(W, H);
    SetWindowRgn(w, rgn, FALSE);
    std::fill(bits.begin(), bits.end(), 0);
    s.MakeShadow(bits.data(), w, &rc);
    size_t border = 0;
    for (int y = 0; y < Hs; ++y)
        for (int x = 0; x < Ws; ++x) {
            uint32_t p = bits[(size_t)(Hs - 1 - y) * Ws + x];  // bottom-up rows
            const int wx = x - S, wy = y - S;
            if (wx >= 2 && wy >= 2 && wx < W - 6 && wy < H - 6)
                EXPECT_EQ(0u, p) << x << "," << y;  // under the window
            else if (p)
                ++border;
            EXPECT_LE(p >> 24, 75u);
        }
    EXPECT_GT(border, (size_t)(2 * (W + H)));
    // Kernel radius 5 with size 4, sharpness 5: the outer edge is clear.
    EXPECT_EQ(0u, bits[0]);
    DestroyWindow(w);
}

TEST(WindowBase, FrameRegionCoversTheWindow)
{
    HRGN rgn = CreateFrameRegion(200, 100);
    RECT box;
    EXPECT_EQ(SIMPLEREGION == GetRgnBox(rgn, &box) || COMPLEXREGION == GetRgnBox(rgn, &box), true);
    EXPECT_EQ(0, box.left);
    EXPECT_EQ(0, box.top);
    EXPECT_EQ(200, box.right);
    EXPECT_EQ(100, box.bottom);
    EXPECT_TRUE(PtInRegion(rgn, 0, 0) && PtInRegion(rgn, 199, 0) && PtInRegion(rgn, 0, 99));
    EXPECT_FALSE(PtInRegion(rgn, 200, 50) || PtInRegion(rgn, 100, 100));
    DeleteObject(rgn);
    // Red is the COLORREF's low byte and lands in bits 16-23.
    EXPECT_EQ(0x7E7E7Eu, CWndShadow::PreMultiply(0x7E7E7E, 255));
    EXPECT_EQ((200u * 128 / 255) << 16 | (100u * 128 / 255) << 8 | (10u * 128 / 255),
              CWndShadow::PreMultiply(RGB(200, 100, 10), 128));
}

TEST(TaskBar, ProgressWithoutAndWithTheShell)
{
    CProgressTaskBar none;
    none.SetProgress(5, 10);
    none.Reset(true);
    EXPECT_EQ(0.0, none.GetPercent());

    HWND w = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 10, 10, NULL, NULL, NULL, NULL);
    CoInitialize(NULL);
    CProgressTaskBar bar;
    if (!bar.Init(w)) {
        bar.SetProgress(1, 4);
        EXPECT_EQ(0.0, bar.GetPercent());
    } else {
        bar.SetProgress(1, 4);
        EXPECT_EQ(25.0, bar.GetPercent());
        bar.SetProgress(5, 0);
        EXPECT_EQ(0.0, bar.GetPercent());
        bar.SetProgress(3, 4);
        bar.Reset(true);
        EXPECT_EQ(0.0, bar.GetPercent());
    }
    DestroyWindow(w);
}

// Every text of the main window's pages fits its control in the font the
// skin names, and the font has a glyph for every character.
void CheckTexts(CPaintManagerUI& pm, CControlUI* c, const char* lang, int& checked)
{
    if (!c || !c->IsVisible())
        return;
    DuiLib::CLabelUI* label = static_cast<DuiLib::CLabelUI*>(c->GetInterface(DUI_CTR_LABEL));
    if (label && !label->GetText().IsEmpty() && !c->IsFloat()) {
        const std::wstring text = label->GetText().GetData();
        HDC dc = GetDC(pm.GetPaintWindow());
        HFONT font = pm.GetFont(label->GetFont());
        HGDIOBJ old = SelectObject(dc, font);
        std::vector<WORD> glyphs(text.size());
        GetGlyphIndicesW(dc, text.c_str(), (int)text.size(), glyphs.data(), GGI_MARK_NONEXISTING_GLYPHS);
        for (size_t i = 0; i < text.size(); ++i)
            EXPECT_NE(0xFFFF, glyphs[i]) << lang << ": no glyph in '" << std::string(text.begin(), text.end()) << "'";
        const RECT pos = c->GetPos();
        const RECT pad = label->GetTextPadding();
        const int room = (pos.right - pos.left) - pad.left - pad.right;
        RECT need = {0, 0, room, 0};
        if (label->IsMultiLine()) {
            DrawTextW(dc, text.c_str(), -1, &need, DT_CALCRECT | DT_WORDBREAK);
            EXPECT_LE(need.bottom, (pos.bottom - pos.top) - pad.top - pad.bottom + 1)
                << lang << ": '" << c->GetName().GetData() << "' too low for its text";
        } else {
            SIZE sz = {};
            GetTextExtentPoint32W(dc, text.c_str(), (int)text.size(), &sz);
            EXPECT_LE(sz.cx, room) << lang << ": '" << c->GetName().GetData() << "' cuts its text, width " << room;
        }
        SelectObject(dc, old);
        ReleaseDC(pm.GetPaintWindow(), dc);
        ++checked;
    }
    DuiLib::IContainerUI* cont = static_cast<DuiLib::IContainerUI*>(c->GetInterface(DUI_CTR_ICONTAINER));
    for (int i = 0; cont && i < cont->GetCount(); ++i)
        CheckTexts(pm, cont->GetItemAt(i), lang, checked);
}

class LanguageTest : public ::testing::TestWithParam<int>
{
};

// The main window in a language at its default size, sending no usage
// events; Close puts the language back.
struct CLanguageFrame
{
    IUsageReporter* oldReporter = NULL;
    CMainFrame* frame = NULL;
    HWND hwnd = NULL;
    bool Open(int cp)
    {
        gui::InitProcess(cp);
        SetCloseConfirm(0);
        oldReporter = SetUsageReporter(NULL);
        frame = new CMainFrame;
        hwnd = frame->Create(NULL, L"Delvaro", WS_VISIBLE | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, 0, 0, 0, 800, 600);
        if (!hwnd)
            return false;
        frame->CenterWindow();
        return gui::PumpUntil([&] { return frame->IsInitialized() && !frame->IsDiskEnumRunning(); });
    }
    bool Close()
    {
        PostMessageW(hwnd, WM_CLOSE, 0, 0);
        const bool gone = gui::PumpUntil([&] { return !IsWindow(hwnd); });
        SetUsageReporter(oldReporter);
        SetCloseConfirm(-1);
        gui::UseLanguage(1252);
        return gone;
    }
};

TEST_P(LanguageTest, PagesShowTheirTextsWhole)
{
    const int cp = GetParam();
    const char* lang = cp == 936 ? "cn" : cp == 950 ? "tr" : "en";
    CLanguageFrame lf;
    ASSERT_TRUE(lf.Open(cp));
    CMainFrame* frame = lf.frame;
    HWND hwnd = lf.hwnd;
    CPaintManagerUI& pm = frame->GetPaintManager();
    EXPECT_EQ(GetUIText(L"ProductName"), std::wstring(gui::Find(pm, L"TitleText")->GetText()));
    int checked = 0;
    const wchar_t* pages[4] = {L"home", L"disks", L"modes", L"types"};
    for (int page = 0; page < 4; ++page) {
        frame->SelectPage(page);
        gui::PumpUntil([] { return false; }, 150);
        CheckTexts(pm, pm.GetRoot(), lang, checked);
        if (cp != 1252 || page == 0)
            gui::SaveScreenshot(hwnd, (std::wstring(L"page_") + pages[page] + L"_" + std::wstring(lang, lang + 2)).c_str());
    }
    EXPECT_GT(checked, 60);
    EXPECT_TRUE(lf.Close());
}

// The dialogs' layouts in each language: every text fits and has glyphs.
TEST_P(LanguageTest, DialogsShowTheirTextsWhole)
{
    const int cp = GetParam();
    const char* lang = cp == 936 ? "cn" : cp == 950 ? "tr" : "en";
    gui::InitProcess(cp);
    int checked = 0;
    for (const wchar_t* layout : {L"dlg_setting", L"dlg_about", L"dlg_feedback", L"dlg_pathset", L"dlg_posset",
                                  L"dlg_deepscanpartition"}) {
        CSkinDialog* dlg = new CSkinDialog(layout);
        ASSERT_TRUE(dlg->CreateOver(NULL));
        ShowWindow(dlg->GetHWND(), SW_SHOWNORMAL);
        CPaintManagerUI& pm = dlg->GetPaintManager();
        ASSERT_TRUE(gui::PumpUntil([&] { return pm.GetRoot() && pm.GetRoot()->GetPos().right > 0; }));
        CheckTexts(pm, pm.GetRoot(), lang, checked);
        if (cp != 1252)
            gui::SaveScreenshot(dlg->GetHWND(), (std::wstring(layout) + L"_" + std::wstring(lang, lang + 2)).c_str());
        HWND h = dlg->GetHWND();
        DestroyWindow(h);
        delete dlg;
    }
    EXPECT_GT(checked, 20);
    gui::UseLanguage(1252);
}

// The result list at the window's default size: each column holds the
// longest text it shows in this language, in the list's own font. The
// name and folder columns end a long text with an ellipsis; their headings
// fit, like every other heading.
TEST_P(LanguageTest, ResultColumnsHoldTheirLongestTexts)
{
    const int cp = GetParam();
    const char* lang = cp == 936 ? "cn" : cp == 950 ? "tr" : "en";
    CLanguageFrame lf;
    ASSERT_TRUE(lf.Open(cp));
    CMainFrame* frame = lf.frame;
    HWND hwnd = lf.hwnd;
    CPaintManagerUI& pm = frame->GetPaintManager();
    RECT client;
    GetClientRect(hwnd, &client);
    EXPECT_EQ(800, client.right);
    // The result page as a list.
    frame->SelectPage(4);
    DuiLib::CTabLayoutUI* tab =
        static_cast<DuiLib::CTabLayoutUI*>(gui::Find(pm, L"ScanTab")->GetInterface(DUI_CTR_TABLAYOUT));
    ASSERT_TRUE(tab != NULL);
    tab->SelectItem(1);
    CResultListUI* list = frame->GetResultList();
    ASSERT_TRUE(list != NULL && !list->IsTileMode());
    DuiLib::TListInfoUI& info = *list->GetListInfo();
    ASSERT_TRUE(gui::PumpUntil([&] { return info.nColumns == 5 && info.rcColumn[4].right > info.rcColumn[0].left; }));
    gui::PumpPending();

    HDC dc = GetDC(hwnd);
    HGDIOBJ oldFont = SelectObject(dc, pm.GetFont(info.nFont));
    auto width = [&](const std::wstring& t) {
        SIZE sz = {};
        GetTextExtentPoint32W(dc, t.c_str(), (int)t.size(), &sz);
        return (int)sz.cx;
    };
    // Any digit may stand anywhere: every digit made the widest one.
    wchar_t widest = L'0';
    for (wchar_t d = L'1'; d <= L'9'; ++d)
        if (width(std::wstring(1, d)) > width(std::wstring(1, widest)))
            widest = d;
    auto widen = [&](std::wstring t) {
        for (wchar_t& c : t)
            if (c >= L'0' && c <= L'9')
                c = widest;
        return t;
    };
    std::vector<std::wstring> values[4];
    // Sizes: the longest of each unit, up to a 16 TiB file.
    for (uint64_t size : {1024ULL, 1048575ULL, 1073741823ULL, (16ULL << 40) - 1}) {
        wchar_t text[64] = {};
        FormatSizeText(size, text, sizeof(text));
        values[1].push_back(widen(text));
    }
    // Modification times, as the scans write them.
    values[3].push_back(widen(fatcommon::FormatDosTime(0x5B89, 0xB2D9)));
    const RECT row = {0, 0, 0, 22};
    for (int column = 0; column < 4; ++column) {
        const RECT area = CListThumbElementUI::ColumnTextArea(info, column, row);
        for (const std::wstring& v : values[column])
            EXPECT_LE(width(v), area.right - area.left)
                << lang << ": column " << column << " cuts '" << testpaths::Narrow(v) << "'";
    }
    // The headings, in the list's font as the layout sets them.
    DuiLib::CListHeaderUI* header = list->GetHeader();
    ASSERT_EQ(5, header->GetCount());
    for (int i = 0; i < header->GetCount(); ++i) {
        DuiLib::CListHeaderItemUI* item =
            static_cast<DuiLib::CListHeaderItemUI*>(header->GetItemAt(i)->GetInterface(DUI_CTR_LISTHEADERITEM));
        ASSERT_TRUE(item != NULL);
        const RECT pos = item->GetPos(), pad = item->GetTextPadding();
        const std::wstring text = item->GetText().GetData();
        EXPECT_LE(width(text), (pos.right - pos.left) - pad.left - pad.right)
            << lang << ": heading '" << testpaths::Narrow(text) << "' cut";
    }
    // Every column lies inside the list, beside its scroll bar.
    const int scrollBar = list->GetVerticalScrollBar() ? list->GetVerticalScrollBar()->GetFixedWidth() : 0;
    EXPECT_LE(info.rcColumn[4].right, list->GetPos().right - scrollBar) << lang;
    SelectObject(dc, oldFont);
    ReleaseDC(hwnd, dc);
    gui::SaveScreenshot(hwnd, (std::wstring(L"results_columns_") + std::wstring(lang, lang + 2)).c_str());

    EXPECT_TRUE(lf.Close());
}

INSTANTIATE_TEST_SUITE_P(Skins, LanguageTest, ::testing::Values(1252, 936, 950));

}  // namespace
