// Start-up pieces: the command line, the crash dump and its upload, the skin
// archive and the fallback dialog when it is missing.
#include <gtest/gtest.h>

#include <windows.h>
#include <dbghelp.h>

#include "GuiHarness.h"
#include "WindowTestUtil.h"
#include "app/Startup.h"
#include "common/TestPaths.h"
#include "core/Helpers.h"

using namespace wintest;

namespace {

TEST(CommandLine, PathFileTakesOneToken)
{
    CommandLineOptions o = ParseCommandLine(L"Delvaro6.exe /pathfile:C:\\Photos /debug");
    EXPECT_TRUE(o.bPathFile && o.bDebug && !o.bUninstall);
    EXPECT_EQ(L"C:\\Photos", o.strPathFile);
    o = ParseCommandLine(L"\"C:\\P F\\Delvaro6.exe\" /pathfile:\"D:\\My Photos\\2019\" /debug");
    EXPECT_EQ(L"D:\\My Photos\\2019", o.strPathFile);
    EXPECT_TRUE(o.bDebug);
    o = ParseCommandLine(L"/pathfile:\"E:\\unterminated");
    EXPECT_EQ(L"E:\\unterminated", o.strPathFile);
    o = ParseCommandLine(L"x /uninstall /debug /install-guide");
    EXPECT_TRUE(o.bUninstall && o.bDebug && o.bInstallGuide && !o.bReportUninstall && !o.bPathFile);
    // Case-sensitive, found anywhere.
    EXPECT_FALSE(ParseCommandLine(L"/DEBUG").bDebug);
    EXPECT_TRUE(ParseCommandLine(L"/reportuninstall").bReportUninstall);
}

std::wstring g_dumpSeenByBox;
std::wstring g_crashText;
void RecordCrashBox(const wchar_t* text)
{
    g_crashText = text;
    g_dumpSeenByBox = testpaths::ReadWholeFile(g_dumpSeenByBox).substr(0, 4) == "MDMP" ? L"MDMP" : L"none";
}

TEST(CrashDump, WrittenBeforeTheBoxWithPointerSizedAddress)
{
    const std::wstring dump = testpaths::MakeTempDir(L"crash") + L"\\Error.tmp";
    EXCEPTION_RECORD rec = {};
    rec.ExceptionCode = 0xC0000005;
    rec.ExceptionAddress = (void*)(uintptr_t)0x1234ABCD;
    CONTEXT ctx = {};
    RtlCaptureContext(&ctx);
    EXCEPTION_POINTERS ptrs = {&rec, &ctx};
    g_dumpSeenByBox = dump;
    // Wine's dump writer, on a process its symbol handler does not know yet,
    // first loads every module of the process, the Unix libraries beneath
    // Wine among them, with their symbols: seconds here, and far longer on a
    // loaded machine. A handler set up beforehand with no modules is used as
    // it stands; the dump itself is written the same way.
    ASSERT_TRUE(SymInitializeW(GetCurrentProcess(), NULL, FALSE));
    CrashBoxProc old = SetCrashBoxProc(RecordCrashBox);
    EXPECT_EQ(EXCEPTION_EXECUTE_HANDLER, HandleCrash(dump, &ptrs));
    SymCleanup(GetCurrentProcess());
    SetCrashBoxProc(old);
    EXPECT_EQ(L"MDMP", g_dumpSeenByBox);
    EXPECT_NE(std::wstring::npos, g_crashText.find(L"code:c0000005"));
    const std::wstring address = sizeof(void*) == 8 ? L"address:000000001234ABCD" : L"address:1234ABCD";
    EXPECT_NE(std::wstring::npos, g_crashText.find(address)) << std::string(g_crashText.begin(), g_crashText.end());
}

TEST(SkinArchive, PreparedForEachCodePage)
{
    gui::InitProcess(1252);
    const std::wstring skin = testpaths::MakeTempDir(L"skinprep") + L"\\";
    const std::wstring program = testpaths::MakeTempDir(L"program");
    // 936: the embedded archive of the program's resources.
    ASSERT_TRUE(PrepareSkinArchive(GetModuleHandleW(NULL), 936, program, skin));
    HRSRC res = FindResourceW(NULL, MAKEINTRESOURCEW(218), L"DATA");
    ASSERT_TRUE(res != NULL);
    EXPECT_EQ((size_t)SizeofResource(NULL, res), testpaths::ReadWholeFile(skin + L"SKIN.zip").size());
    // 950 without skin\skin_tr.skin: not ready, even with an old SKIN.zip there.
    EXPECT_FALSE(PrepareSkinArchive(GetModuleHandleW(NULL), 950, program, skin));
    // Others: skin\skin_en.skin of the program folder.
    ASSERT_TRUE(PrepareSkinArchive(GetModuleHandleW(NULL), 1252, g_strAppDir, skin));
    EXPECT_TRUE(testpaths::ReadWholeFile(GetAppFilePath(L"skin\\skin_en.skin")) ==
                testpaths::ReadWholeFile(skin + L"SKIN.zip"));
    // A temporary folder that does not exist yet (a new user's first start):
    // the folders are made.
    const std::wstring deep = testpaths::MakeTempDir(L"skinnew") + L"\\Local\\Temp\\OvoDelvaro6\\";
    ASSERT_TRUE(PrepareSkinArchive(GetModuleHandleW(NULL), 936, program, deep));
    EXPECT_EQ((size_t)SizeofResource(NULL, res), testpaths::ReadWholeFile(deep + L"SKIN.zip").size());
}

struct LostDialogCase
{
    int codePage;
    const wchar_t* shot;
    bool link;
    const wchar_t* title;  // the caption of that language's dialog
};

class SkinLostTest : public ::testing::TestWithParam<LostDialogCase>
{
};

TEST_P(SkinLostTest, FallbackDialogInTheUiLanguage)
{
    gui::InitProcess(1252);
    const LostDialogCase c = GetParam();
    bool seen = false;
    gui::OnDialog(L"#32770", [&](HWND dlg) {
        seen = true;
        wchar_t title[64] = {};
        GetWindowTextW(dlg, title, 63);
        EXPECT_EQ(std::wstring(c.title), std::wstring(title));
        EXPECT_TRUE(GetDlgItem(dlg, 1001) != NULL);
        EXPECT_EQ(c.link, GetDlgItem(dlg, 1002) != NULL);
        gui::PumpPending();
        gui::SaveScreenshot(dlg, c.shot);
        SendMessageW(dlg, WM_COMMAND, MAKEWPARAM(1001, BN_CLICKED), (LPARAM)GetDlgItem(dlg, 1001));
    });
    EXPECT_EQ(2, ShowSkinLostDialog(GetModuleHandleW(NULL), NULL, c.codePage));
    EXPECT_TRUE(seen);
}

INSTANTIATE_TEST_SUITE_P(Languages, SkinLostTest,
                         ::testing::Values(LostDialogCase{1252, L"dlg_skin_lost_en", false, L"Error"},
                                           LostDialogCase{936, L"dlg_skin_lost_cn", true, L"\u9519\u8BEF"},
                                           LostDialogCase{950, L"dlg_skin_lost_tr", true, L"\u932F\u8AA4"}));

}  // namespace
