// The preview window driven under Xvfb over real samples: pictures, text,
// the hex view, real and stub plug-ins, the shell handler test double, and
// damaged files. A screenshot of each page lands in the build folder.
#include <gtest/gtest.h>

#include <windows.h>
#include <objidl.h>

#include <algorithm>
namespace Gdiplus {
using std::max;
using std::min;
}
#include <gdiplus.h>

#include "../app/GuiHarness.h"
#include "../app/WindowTestUtil.h"
#include "PreviewHandlerDouble.h"
#include "ViewsTestUtil.h"
#include "common/TestPaths.h"
#include "core/Language.h"
#include "core/Settings.h"
#include "engine/FormatPluginRegistry.h"
#include "engine/FoundItem.h"
#include "storage/VolumeList.h"
#include "views/MediaPlayerWnd.h"
#include "views/PreViewWindow.h"
#include "views/PreviewOpen.h"

using namespace wintest;

namespace {

const wchar_t kHandlerKey[] = L"ShellEx\\{8895b1c6-b41f-4c1c-a562-0d564250836f}";

std::wstring ClsidText(const CLSID& clsid)
{
    wchar_t text[64] = {};
    StringFromGUID2(clsid, text, 64);
    return text;
}

bool SetDefaultValue(const std::wstring& key, const std::wstring& value, const wchar_t* name = NULL)
{
    HKEY h = NULL;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, (L"Software\\Classes\\" + key).c_str(), 0, NULL, 0, KEY_WRITE, NULL, &h,
                        NULL) != ERROR_SUCCESS)
        return false;
    LONG r = RegSetValueExW(h, name, 0, REG_SZ, (const BYTE*)value.c_str(), (DWORD)((value.size() + 1) * 2));
    RegCloseKey(h);
    return r == ERROR_SUCCESS;
}

std::wstring WriteTemp(const wchar_t* name, const std::string& bytes)
{
    static std::wstring dir = testpaths::MakeTempDir(L"preview");
    const std::wstring path = dir + L"\\" + name;
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    DWORD done = 0;
    WriteFile(f, bytes.data(), (DWORD)bytes.size(), &done, NULL);
    CloseHandle(f);
    return path;
}

class PreviewWindowTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        gui::InitProcess(1252);
        s_registry = new CFormatPluginRegistry;
        s_registry->Load();
        s_stubRegistry = new CFormatPluginRegistry;
        s_stubRegistry->LoadFrom(testpaths::Join(testpaths::BinDir(), L"views_stub"));
        // The handler double, registered for three extensions of its own.
        const std::wstring dll = testpaths::Join(testpaths::BinDir(), L"PreviewHandlerDouble.dll");
        s_double = LoadLibraryW(dll.c_str());
        ASSERT_TRUE(s_double);
        s_counters = ((GetDoubleCountersFn)(void*)GetProcAddress(s_double, "GetDoubleCounters"))();
        const CLSID* classes[3] = {&CLSID_DoubleStreamHandler, &CLSID_DoubleFileHandler, &CLSID_DoubleNoInitHandler};
        const wchar_t* exts[3] = {L".dvpvs", L".dvpvf", L".dvpvn"};
        for (int i = 0; i < 3; ++i) {
            const std::wstring clsid = ClsidText(*classes[i]);
            ASSERT_TRUE(SetDefaultValue(std::wstring(exts[i]) + L"\\" + kHandlerKey, clsid));
            ASSERT_TRUE(SetDefaultValue(L"CLSID\\" + clsid + L"\\InprocServer32", dll));
            ASSERT_TRUE(SetDefaultValue(L"CLSID\\" + clsid + L"\\InprocServer32", L"Apartment", L"ThreadingModel"));
        }
    }
    static void TearDownTestSuite()
    {
        for (const wchar_t* ext : {L".dvpvs", L".dvpvf", L".dvpvn"})
            RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(L"Software\\Classes\\") + ext).c_str());
        for (const CLSID* c : {&CLSID_DoubleStreamHandler, &CLSID_DoubleFileHandler, &CLSID_DoubleNoInitHandler})
            RegDeleteTreeW(HKEY_LOCAL_MACHINE, (L"Software\\Classes\\CLSID\\" + ClsidText(*c)).c_str());
        delete s_registry;
        delete s_stubRegistry;
        g_ConfigSetting.m_bEnablePreviewer = 0;
    }
    void SetUp() override
    {
        m_oldBox = SetMessageDlgProc(MessageLog::Proc);
        g_ConfigSetting.m_bEnablePreviewer = 0;
    }
    void TearDown() override { SetMessageDlgProc(m_oldBox); }

    // Opens a preview of path and runs check on it once loaded, then closes it.
    // Counts the preview objects alive.
    class CCountedPreview : public CPreViewWindow
    {
    public:
        CCountedPreview() { ++s_live; }
        ~CCountedPreview() override { --s_live; }
        static int s_live;
    };

    void Preview(const std::wstring& path, std::function<void(CPreViewWindow*, CPaintManagerUI&)> check,
                 CFormatPluginRegistry* registry = s_registry, ScannedPathCheck scanned = ScannedPathCheck())
    {
        CCountedPreview* w = new CCountedPreview;
        w->SetPlainFile(path, registry);
        if (scanned)
            w->SetScannedPathCheck(scanned);
        bool ran = false;
        gui::OnDialog(L"DelvaroDlg", [&](HWND hwnd) {
            CPaintManagerUI& pm = *gui::ManagerOf(hwnd);
            EXPECT_TRUE(gui::PumpUntil([&] { return w->IsLoaded(); }));
            gui::PumpPending();
            check(w, pm);
            ran = true;
            PostMessageW(hwnd, WM_CLOSE, 0, 0);
        });
        w->RunModal(NULL);
        EXPECT_TRUE(ran);
        // The modal loop has returned with the object still there: its
        // caller deletes it, never the window itself inside the loop.
        EXPECT_EQ(1, CCountedPreview::s_live);
        EXPECT_TRUE(w->IsLoaded());
        delete w;
        EXPECT_EQ(0, CCountedPreview::s_live);
    }
    static void Shot(CPaintManagerUI& pm, const wchar_t* name)
    {
        HWND hwnd = pm.GetPaintWindow();
        RedrawWindow(hwnd, NULL, NULL, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
        gui::PumpPending();
        EXPECT_FALSE(gui::SaveScreenshot(hwnd, name).empty());
    }

    static CFormatPluginRegistry* s_registry;
    static CFormatPluginRegistry* s_stubRegistry;
    static HMODULE s_double;
    static DoubleCounters* s_counters;
    MessageDlgProc m_oldBox = NULL;
};
CFormatPluginRegistry* PreviewWindowTest::s_registry;
int PreviewWindowTest::CCountedPreview::s_live = 0;
CFormatPluginRegistry* PreviewWindowTest::s_stubRegistry;
HMODULE PreviewWindowTest::s_double;
DoubleCounters* PreviewWindowTest::s_counters;

TEST_F(PreviewWindowTest, PicturesAreDrawnFittedAndDamagedOnesShowTheDamagedPage)
{
    Preview(testpaths::Fixture(L"preview_photo.jpg"), [](CPreViewWindow* w, CPaintManagerUI& pm) {
        EXPECT_EQ(CPreViewWindow::PAGE_PAINT, w->GetPage());
        ASSERT_TRUE(w->GetImage());
        EXPECT_EQ(200u, w->GetImage()->GetWidth());
        EXPECT_NE(std::wstring::npos, std::wstring(gui::Find(pm, L"PreviewTitle")->GetText()).find(L"preview_photo.jpg"));
        Shot(pm, L"preview_picture");
        int cw = 0, ch = 0;
        std::vector<uint32_t> px;
        ASSERT_TRUE(gui::CaptureWindow(pm.GetPaintWindow(), cw, ch, px));
        size_t colours = 0;
        double other = 0;
        gui::ImageStats(px, colours, other);
        EXPECT_GT(colours, 100u);  // the photo is on the screen
    });
    Preview(testpaths::Fixture(L"preview_broken.png"), [](CPreViewWindow* w, CPaintManagerUI& pm) {
        EXPECT_EQ(CPreViewWindow::PAGE_BROKEN, w->GetPage());
        Shot(pm, L"preview_broken");
    });
    // An intact picture larger than the plug-ins' read cap is read whole and
    // shown, not taken for a damaged one.
    const std::wstring big = testpaths::Fixture(L"preview_big.bmp");
    WIN32_FILE_ATTRIBUTE_DATA fa = {};
    ASSERT_TRUE(GetFileAttributesExW(big.c_str(), GetFileExInfoStandard, &fa));
    ASSERT_GT(((uint64_t)fa.nFileSizeHigh << 32 | fa.nFileSizeLow), MAX_PREVIEW_SIZE);
    Preview(big, [](CPreViewWindow* w, CPaintManagerUI& pm) {
        EXPECT_EQ(CPreViewWindow::PAGE_PAINT, w->GetPage());
        EXPECT_FALSE(w->IsTooLarge());
        ASSERT_TRUE(w->GetImage());
        EXPECT_EQ(3400u, w->GetImage()->GetWidth());
        EXPECT_EQ(3100u, w->GetImage()->GetHeight());
        Shot(pm, L"preview_big_picture");
    });
    // The fit: small pictures centred at their size, wide ones fill the width.
    const RECT area = {10, 20, 510, 320};
    RECT r = CPreViewCtrl::FitPicture(area, 40, 30);
    EXPECT_EQ(240, r.left);
    EXPECT_EQ(155, r.top);
    EXPECT_EQ(40, r.right - r.left);
    r = CPreViewCtrl::FitPicture(area, 1000, 100);
    EXPECT_EQ(10, r.left);
    EXPECT_EQ(500, r.right - r.left);
    EXPECT_EQ(50, r.bottom - r.top);
    EXPECT_EQ(20 + 125, r.top);
    r = CPreViewCtrl::FitPicture(area, 100, 1000);
    EXPECT_EQ(300, r.bottom - r.top);
    EXPECT_EQ(30, r.right - r.left);
}

TEST_F(PreviewWindowTest, TextAndTheHexViewOfAnyFile)
{
    Preview(testpaths::Fixture(L"preview_note.txt"), [](CPreViewWindow* w, CPaintManagerUI& pm) {
        EXPECT_EQ(CPreViewWindow::PAGE_PAINT, w->GetPage());
        EXPECT_TRUE(w->IsShowText());
        EXPECT_NE(std::wstring::npos, w->GetTextPreview().find(L"second line: \x00e4\x00f6\x00fc \x4e2d\x6587"));
        Shot(pm, L"preview_text");
        // The hex view behind it never holds the file's markup characters.
        const std::wstring chars = gui::Find(pm, L"txtData")->GetText().GetData();
        EXPECT_EQ(0u, chars.find(L"{f 5}Delvaro preview {n}.b..n../f. 100% {n}"));
    });
    // Rows of 16 bytes of every kind stay one line each, in a font of fixed
    // pitch, and the two columns fit the window.
    std::string bytes;
    for (int i = 0; i < 64; ++i)
        bytes += (char)(i < 16 ? 'W' : i < 32 ? '0' + i % 10 : 0x80 + i);
    Preview(WriteTemp(L"rows.bin", bytes), [](CPreViewWindow* w, CPaintManagerUI& pm) {
        EXPECT_EQ(CPreViewWindow::PAGE_NOT_SUPPORTED, w->GetPage());
        gui::Click(pm, L"viewBinary");
        EXPECT_TRUE(gui::PumpUntil([&] { return w->GetPage() == CPreViewWindow::PAGE_HEX; }));
        gui::PumpPending();
        HFONT font = pm.GetFont(5);
        ASSERT_TRUE(font != NULL);
        HDC dc = GetDC(pm.GetPaintWindow());
        HGDIOBJ old = SelectObject(dc, font);
        TEXTMETRICW tm = {};
        GetTextMetricsW(dc, &tm);
        SIZE hexRow = {}, charRow = {};
        // What one row draws: 16 pairs of digits with a 4-pixel gap each,
        // and 16 of the widest characters.
        GetTextExtentPoint32W(dc, L"00", 2, &hexRow);
        hexRow.cx = 16 * (hexRow.cx + 4);
        GetTextExtentPoint32W(dc, L"WWWWWWWWWWWWWWWW", 16, &charRow);
        SelectObject(dc, old);
        ReleaseDC(pm.GetPaintWindow(), dc);
        EXPECT_FALSE(tm.tmPitchAndFamily & TMPF_FIXED_PITCH) << "the hex view's font has a fixed pitch";
        const RECT hex = gui::Find(pm, L"binary")->GetPos(), chars = gui::Find(pm, L"txtData")->GetPos();
        EXPECT_GE(hex.right - hex.left, hexRow.cx);
        EXPECT_GE(chars.right - chars.left, charRow.cx);
        EXPECT_LE(hex.right, chars.left);
        RECT client;
        GetClientRect(pm.GetPaintWindow(), &client);
        EXPECT_LE(chars.right, client.right);
        Shot(pm, L"preview_hex_rows");
    });
    // A long text: only the start is read.
    Preview(WriteTemp(L"long.log", std::string(200000, 'L')), [](CPreViewWindow* w, CPaintManagerUI&) {
        EXPECT_TRUE(w->IsShowText());
        EXPECT_EQ(TEXT_PREVIEW_SIZE, GetStreamSize(w->GetStream()));
    });
    const std::wstring ten = WriteTemp(L"ten.xyz", std::string("0123456789", 10));
    Preview(ten, [](CPreViewWindow* w, CPaintManagerUI& pm) {
        EXPECT_EQ(CPreViewWindow::PAGE_NOT_SUPPORTED, w->GetPage());
        Shot(pm, L"preview_unsupported");
        gui::Click(pm, L"viewBinary");
        EXPECT_TRUE(gui::PumpUntil([&] { return w->GetPage() == CPreViewWindow::PAGE_HEX; }));
        EXPECT_EQ(L"{f 5}30{x 4}31{x 4}32{x 4}33{x 4}34{x 4}35{x 4}36{x 4}37{x 4}38{x 4}39{x 4}{/f}",
                  std::wstring(gui::Find(pm, L"binary")->GetText()));
        EXPECT_EQ(L"0123456789", std::wstring(gui::Find(pm, L"txtString")->GetText()));
        Shot(pm, L"preview_hex");
    });
}

TEST_F(PreviewWindowTest, PluginsGiveDocumentTextsIconsAndBoth)
{
    Preview(testpaths::Fixture(L"docs_letter.doc"), [](CPreViewWindow* w, CPaintManagerUI& pm) {
        EXPECT_EQ(CPreViewWindow::PAGE_PAINT, w->GetPage());
        EXPECT_TRUE(w->IsShowPlugin());
        EXPECT_FALSE(w->GetPluginText().empty());
        Shot(pm, L"preview_plugin_text");
    });
    Preview(testpaths::Fixture(L"docs_app64.exe"), [](CPreViewWindow* w, CPaintManagerUI& pm) {
        EXPECT_EQ(CPreViewWindow::PAGE_PAINT, w->GetPage());
        EXPECT_TRUE(w->GetPluginImage());
        Shot(pm, L"preview_plugin_icon");
    });
    const std::wstring drawing = WriteTemp(L"plan.DWG", std::string(3000, 'd'));
    Preview(
        drawing,
        [](CPreViewWindow* w, CPaintManagerUI& pm) {
            ASSERT_TRUE(w->GetPluginImage());
            EXPECT_EQ(120u, w->GetPluginImage()->GetWidth());
            EXPECT_EQ(L"Stub plug-in text: 3000 bytes, extension DWG", w->GetPluginText());
            Shot(pm, L"preview_plugin_both");
        },
        s_stubRegistry);
    // A plug-in that makes nothing of damaged bytes: the damaged page.
    const std::wstring junk = WriteTemp(L"junk.doc", std::string(700, '\x5A'));
    Preview(junk, [](CPreViewWindow* w, CPaintManagerUI&) { EXPECT_EQ(CPreViewWindow::PAGE_BROKEN, w->GetPage()); });
}

TEST_F(PreviewWindowTest, PdfDocumentsReachThePdfPlugin)
{
    // A document with an embedded preview picture (an XMP thumbnail that
    // exiftool added) is drawn by the PDF plug-in.
    Preview(testpaths::Fixture(L"docs_xmp.pdf"), [](CPreViewWindow* w, CPaintManagerUI& pm) {
        EXPECT_EQ(CPreViewWindow::PAGE_PAINT, w->GetPage());
        EXPECT_TRUE(w->IsShowPlugin());
        ASSERT_TRUE(w->GetPluginImage());
        EXPECT_EQ(120u, w->GetPluginImage()->GetWidth());
        Shot(pm, L"preview_pdf_thumbnail");
    });
    // A plain text document (groff and ps2pdf) has no picture to show: it
    // cannot be previewed, which is no sign of damage, and its bytes are
    // there in hex.
    Preview(testpaths::Fixture(L"docs_gs.pdf"), [](CPreViewWindow* w, CPaintManagerUI& pm) {
        EXPECT_EQ(CPreViewWindow::PAGE_NOT_SUPPORTED, w->GetPage());
        EXPECT_FALSE(w->IsShowPlugin());
        ASSERT_TRUE(w->GetStream());
        Shot(pm, L"preview_pdf_text");
        gui::Click(pm, L"viewBinary");
        EXPECT_TRUE(gui::PumpUntil([&] { return w->GetPage() == CPreViewWindow::PAGE_HEX; }));
        EXPECT_EQ(0, wcsncmp(gui::Find(pm, L"txtData")->GetText(), L"{f 5}%PDF", 9));
    });
}

TEST_F(PreviewWindowTest, ShellHandlerIsCreatedOnceAndGetsTheStream)
{
    const std::string bytes = "stream handler sample bytes";
    const std::wstring path = WriteTemp(L"sample.dvpvs", bytes);
    // Found with or without its dot, in any case.
    EXPECT_EQ(ClsidText(CLSID_DoubleStreamHandler), PreviewHandlerHost::FindHandlerClsid(L"dvpvs"));
    EXPECT_EQ(L"", PreviewHandlerHost::FindHandlerClsid(L".nosuchext"));
    EXPECT_EQ(L"", PreviewHandlerHost::FindHandlerClsid(NULL));
    const DoubleCounters was = *s_counters;
    // Switched off: only the not-supported page.
    Preview(path, [](CPreViewWindow* w, CPaintManagerUI&) {
        EXPECT_EQ(CPreViewWindow::PAGE_NOT_SUPPORTED, w->GetPage());
    });
    EXPECT_EQ(was.created, s_counters->created);

    g_ConfigSetting.m_bEnablePreviewer = 1;
    Preview(path, [&](CPreViewWindow* w, CPaintManagerUI& pm) {
        EXPECT_EQ(CPreViewWindow::PAGE_PAINT, w->GetPage());
        EXPECT_TRUE(w->IsShowHandler());
        EXPECT_TRUE(gui::PumpUntil([&] { return s_counters->doPreview == was.doPreview + 1; }));
        HWND hwnd = pm.GetPaintWindow();
        for (int i = 0; i < 5; ++i) {
            RedrawWindow(hwnd, NULL, NULL, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
            gui::PumpPending();
        }
        // Once for the entry, however often it is painted.
        EXPECT_EQ(was.created + 1, s_counters->created);
        EXPECT_EQ(was.initStream + 1, s_counters->initStream);
        EXPECT_EQ(was.doPreview + 1, s_counters->doPreview);
        EXPECT_EQ(was.initFile, s_counters->initFile);
        EXPECT_EQ(bytes.size(), s_counters->lastBytes);
        EXPECT_TRUE(w->GetExchangeFile().GetPath().empty());  // a stream needs no file
        EXPECT_TRUE(IsWindowVisible(w->GetHandlerWindow()));
        Shot(pm, L"preview_handler");
    });
    EXPECT_EQ(0, s_counters->alive);
    EXPECT_EQ(was.unload + 1, s_counters->unload);
}

TEST_F(PreviewWindowTest, FileOnlyHandlerGetsAUniqueExchangeFileNeverOnTheScannedVolume)
{
    g_ConfigSetting.m_bEnablePreviewer = 1;
    const std::string bytes(5000, 'f');
    const std::wstring path = WriteTemp(L"sample.dvpvf", bytes);
    std::wstring exchange;
    const LONG before = s_counters->initFile;
    Preview(path, [&](CPreViewWindow* w, CPaintManagerUI&) {
        EXPECT_EQ(CPreViewWindow::PAGE_PAINT, w->GetPage());
        EXPECT_TRUE(gui::PumpUntil([&] { return s_counters->initFile == before + 1; }));
        exchange = s_counters->lastFile;
        EXPECT_EQ(exchange, w->GetExchangeFile().GetPath());
        EXPECT_EQ(L".dvpvf", exchange.substr(exchange.size() - 6));
        EXPECT_EQ(std::wstring::npos, exchange.find(L"Exchange.tmp"));
        EXPECT_EQ(bytes, testpaths::ReadWholeFile(exchange));
    });
    ASSERT_FALSE(exchange.empty());
    EXPECT_FALSE(testpaths::FileExists(exchange));  // deleted on close

    // The temporary folder on the scanned volume: the hex view, no file.
    Preview(
        path,
        [&](CPreViewWindow* w, CPaintManagerUI&) {
            EXPECT_EQ(CPreViewWindow::PAGE_HEX, w->GetPage());
            EXPECT_TRUE(w->GetExchangeFile().GetPath().empty());
        },
        s_registry, [](const std::wstring&) { return true; });
    EXPECT_EQ(before + 1, s_counters->initFile);

    // A handler with neither way in: the hex view.
    Preview(WriteTemp(L"sample.dvpvn", "n"), [](CPreViewWindow* w, CPaintManagerUI&) {
        EXPECT_EQ(CPreViewWindow::PAGE_HEX, w->GetPage());
    });
    EXPECT_EQ(0, s_counters->alive);
}

}  // namespace

namespace {

struct ReaderCall
{
    int code = 0;
    uint64_t cap = 0;
    int kind = -1;
    std::string bytes;
};
ReaderCall g_call;

IStream* FakeFoundReader(int code, CVolumeInfo*, const void*, CFoundItem*, uint64_t cap, int kind)
{
    g_call.code = code;
    g_call.cap = cap;
    g_call.kind = kind;
    return CreateMemoryStream(g_call.bytes.data(), g_call.bytes.size());
}

// Found entries reach the windows through the seam the main window uses,
// and are read by the reader of their volume's file system.
TEST_F(PreviewWindowTest, FoundEntriesOpenThroughTheSeamAndTheirFileSystemsReader)
{
    FoundItemStreamReader old = SetFoundItemStreamReader(FakeFoundReader);
    CVolumeInfo volume;
    volume.m_strRoot = L"E:\\";
    volume.m_strFileSystem = L"FAT32";
    CFoundItem photo(L"IMG_0001.JPG", L"E:\\DCIM\\", L"", 6856, 0);
    PreviewEntry entry;
    entry.scanKind = 0;
    entry.item = &photo;
    entry.volume = &volume;
    g_call.bytes = viewtest::Sample(L"preview_photo.jpg");
    EXPECT_EQ(2, MediaClassOfExtension(PreviewEntryExtension(entry)));
    bool ran = false;
    gui::OnDialog(L"DelvaroDlg", [&](HWND hwnd) {
        CPreViewWindow* w = dynamic_cast<CPreViewWindow*>((DuiLib::CWindowWnd*)GetWindowLongPtrW(hwnd, GWLP_USERDATA));
        ASSERT_TRUE(w);
        EXPECT_TRUE(gui::PumpUntil([&] { return w->IsLoaded(); }));
        EXPECT_EQ(CPreViewWindow::PAGE_PAINT, w->GetPage());
        EXPECT_TRUE(w->GetImage());
        ran = true;
        PostMessageW(hwnd, WM_CLOSE, 0, 0);
    });
    EXPECT_FALSE(ShowEntryPreview(NULL, NULL, entry, 2));
    EXPECT_TRUE(ran);
    EXPECT_EQ(11, g_call.code);
    EXPECT_EQ(MAX_PREVIEW_SIZE, g_call.cap);
    EXPECT_EQ(0, g_call.kind);

    // A volume of a file system no reader knows: nothing read, the damaged page.
    volume.m_strFileSystem = L"RAW";
    g_call = ReaderCall();
    ran = false;
    gui::OnDialog(L"DelvaroDlg", [&](HWND hwnd) {
        CPreViewWindow* w = dynamic_cast<CPreViewWindow*>((DuiLib::CWindowWnd*)GetWindowLongPtrW(hwnd, GWLP_USERDATA));
        ASSERT_TRUE(w);
        EXPECT_TRUE(gui::PumpUntil([&] { return w->IsLoaded(); }));
        EXPECT_EQ(CPreViewWindow::PAGE_BROKEN, w->GetPage());
        ran = true;
        PostMessageW(hwnd, WM_CLOSE, 0, 0);
    });
    ShowEntryPreview(NULL, NULL, entry, 2);
    EXPECT_TRUE(ran);
    EXPECT_EQ(0, g_call.code);

    // Audio of an NTFS volume plays to its end in the player.
    volume.m_strFileSystem = L"NTFS";
    CFoundItem tone(L"Memo.WAV", L"E:\\Voice\\", L"", 9644, 0);
    entry.item = &tone;
    g_call.bytes = viewtest::Sample(L"preview_tone.wav");
    ASSERT_EQ(0, MediaClassOfExtension(PreviewEntryExtension(entry)));
    ran = false;
    gui::OnDialog(L"DelvaroDlg", [&](HWND hwnd) {
        CMediaPlayerWnd* p =
            dynamic_cast<CMediaPlayerWnd*>((DuiLib::CWindowWnd*)GetWindowLongPtrW(hwnd, GWLP_USERDATA));
        ASSERT_TRUE(p);
        EXPECT_EQ(L"WAV", p->GetExtension());
        EXPECT_TRUE(gui::PumpUntil([&] { return p->HasPlayedToEnd(); }));
        ran = true;
        PostMessageW(hwnd, WM_CLOSE, 0, 0);
    });
    EXPECT_FALSE(ShowEntryPreview(NULL, NULL, entry, 0));
    EXPECT_TRUE(ran);
    EXPECT_EQ(7, g_call.code);
    EXPECT_EQ(MAX_MEDIA_SIZE, g_call.cap);
    SetFoundItemStreamReader(old);
}

}  // namespace
