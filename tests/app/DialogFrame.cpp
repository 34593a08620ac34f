#include "DialogFrame.h"

#include <dbt.h>

namespace wintest {

namespace {
const DWORD kFrameStyle = WS_VISIBLE | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX;

struct ProcessWindowQuery
{
    const wchar_t* cls;
    HWND found;
};

BOOL CALLBACK FindInProcess(HWND hwnd, LPARAM lp)
{
    ProcessWindowQuery* q = (ProcessWindowQuery*)lp;
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    wchar_t cls[128] = {};
    GetClassNameW(hwnd, cls, 127);
    if (pid == GetCurrentProcessId() && IsWindowVisible(hwnd) && wcscmp(cls, q->cls) == 0) {
        q->found = hwnd;
        return FALSE;
    }
    return TRUE;
}
}  // namespace

void CDialogFrameTest::SetUpTestSuite()
{
    gui::InitProcess(1252);
    SetCloseConfirm(0);
}

void CDialogFrameTest::TearDownTestSuite()
{
    SetCloseConfirm(-1);
}

void CDialogFrameTest::SetUp()
{
    m_oldReporter = SetUsageReporter(&m_reporter);
    m_oldBox = SetMessageDlgProc(MessageLog::Proc);
    MessageLog::texts.clear();
    MessageLog::answer = 7;
    m_oldFactory = SetPartitionScanFactory(Factory());
    m_oldDialogs = GetResultDialogs();
    m_oldClusterSize = g_ConfigSetting.m_uClusterSize;
    m_oldViewMode = g_ConfigSetting.m_nViewMode;
    g_ConfigSetting.m_bShowMode = 0;
    Configure();
    OpenFrame();
}

void CDialogFrameTest::TearDown()
{
    CloseFrame();
    GetResultDialogs() = m_oldDialogs;
    if (g_ConfigSetting.m_uClusterSize != m_oldClusterSize)
        g_ConfigSetting.SetClusterSize(m_oldClusterSize, 0);
    g_ConfigSetting.m_nViewMode = m_oldViewMode;
    SetPartitionScanFactory(m_oldFactory);
    SetMessageDlgProc(m_oldBox);
    SetUsageReporter(m_oldReporter);
}

void CDialogFrameTest::UseScanSettings()
{
    g_ConfigSetting.m_nViewMode = 1;
    g_ConfigSetting.SetClusterSize(512, 0);
}

void CDialogFrameTest::OpenFrame()
{
    // Without a screen every frame of the program would wait here in vain.
    ASSERT_GT(GetSystemMetrics(SM_CXSCREEN), 0) << "Wine reports no screen for this process";
    m_frame = new CMainFrame;
    m_hwnd = m_frame->Create(NULL, L"Delvaro", kFrameStyle, 0, 0, 0, 800, 600);
    ASSERT_TRUE(m_hwnd != NULL) << GetLastError();
    m_frame->CenterWindow();
    // A window of no size is never painted, so never laid out: Wine then
    // had no screen for this process.
    ASSERT_TRUE(gui::PumpUntil([&] { return m_frame->IsInitialized() && !m_frame->IsDiskEnumRunning(); }, 60000))
        << "initialized " << m_frame->IsInitialized() << ", disks being listed " << m_frame->IsDiskEnumRunning()
        << ", window " << [&] {
               RECT r = {};
               GetWindowRect(m_hwnd, &r);
               return std::to_string(r.right - r.left) + "x" + std::to_string(r.bottom - r.top);
           }() << ", screen width " << GetSystemMetrics(SM_CXSCREEN);
    gui::PumpPending();
}

void CDialogFrameTest::CloseFrame()
{
    if (m_hwnd && IsWindow(m_hwnd)) {
        PostMessageW(m_hwnd, WM_CLOSE, 0, 0);
        EXPECT_TRUE(gui::PumpUntil([&] { return !IsWindow(m_hwnd); }, 60000));
    }
    m_hwnd = NULL;
    m_frame = NULL;
}

DuiLib::CListUI* CDialogFrameTest::List(const wchar_t* name)
{
    CControlUI* c = gui::Find(pm(), name);
    return c ? static_cast<DuiLib::CListUI*>(c->GetInterface(DUI_CTR_LIST)) : NULL;
}

void CDialogFrameTest::ClickAndWaitForPage(const wchar_t* name, int page)
{
    ASSERT_TRUE(gui::Click(pm(), name)) << testpaths::Narrow(name);
    ASSERT_TRUE(gui::PumpUntil([&] { return m_frame->GetCurrentPage() == page; }))
        << testpaths::Narrow(name) << " -> " << page;
}

std::wstring CDialogFrameTest::RowText(DuiLib::CListUI* list, int i, const wchar_t* sub)
{
    CControlUI* c = pm().FindSubControlByName(list->GetItemAt(i), sub);
    return c ? c->GetText().GetData() : L"";
}

int CDialogFrameTest::FindRow(const wchar_t* list, const wchar_t* text, bool shownOnly)
{
    DuiLib::CListUI* l = List(list);
    for (int i = 0; l && i < l->GetCount(); ++i)
        if ((!shownOnly || l->GetItemAt(i)->IsVisible()) && RowText(l, i).find(text) != std::wstring::npos)
            return i;
    return -1;
}

void CDialogFrameTest::ClickRow(const wchar_t* list, int index)
{
    DuiLib::CListUI* l = List(list);
    ASSERT_TRUE(l != NULL);
    ASSERT_TRUE(index >= 0 && index < l->GetCount());
    // Scrolled into view first (as the wheel would), then laid out again.
    auto inView = [&] {
        RECT r = l->GetItemAt(index)->GetPos(), lr = l->GetList()->GetPos();
        return r.top >= lr.top && r.bottom <= lr.bottom && r.bottom > r.top;
    };
    if (!inView()) {
        RECT r = l->GetItemAt(index)->GetPos(), lr = l->GetList()->GetPos();
        l->Scroll(0, r.bottom > lr.bottom ? r.bottom - lr.bottom : r.top - lr.top);
    }
    ASSERT_TRUE(gui::PumpUntil(inView));
    ASSERT_TRUE(gui::Click(pm(), l->GetItemAt(index)));
    ASSERT_TRUE(gui::PumpUntil([&] { return l->GetCurSel() == index; }));
}

void CDialogFrameTest::ClickDiskRow(const std::wstring& text)
{
    ASSERT_TRUE(List(L"listDisk") != NULL);
    const int index = FindRow(L"listDisk", text.c_str(), true);
    ASSERT_NE(-1, index) << "no row for " << testpaths::Narrow(text);
    ClickRow(L"listDisk", index);
}

void CDialogFrameTest::StartScanOf(const wchar_t* job, const std::wstring& row, bool picturesOnly)
{
    if (m_frame->GetUiMode() != 1)
        ClickAndWaitForPage(L"btnProMode", 0);
    ClickAndWaitForPage(job, 1);
    ClickDiskRow(row);
    ClickAndWaitForPage(L"btnNext", 3);
    if (picturesOnly) {
        ASSERT_TRUE(gui::Click(pm(), L"optSelectAllType"));
        ASSERT_TRUE(gui::PumpUntil([&] { return m_frame->GetSelectedCategoryCount() == 0; }));
        ASSERT_TRUE(gui::Click(pm(), L"optSelectPicture"));
        ASSERT_TRUE(gui::PumpUntil([&] { return m_frame->GetSelectedCategoryCount() == 1; }));
    }
    MessageLog::texts.clear();
    ClickAndWaitForPage(L"btnNext", 4);
}

void CDialogFrameTest::WaitForResults(DWORD ms)
{
    ASSERT_TRUE(gui::PumpUntil(
        [&] {
            return !m_frame->GetScanDiskDlg()->IsScanRunning() && !m_frame->IsRefreshTimerRunning() &&
                   m_frame->GetResultList()->GetCount() == (int)m_frame->GetFoundCount();
        },
        ms));
}

std::vector<CListThumbElementUI*> CDialogFrameTest::Tiles(bool visibleOnly)
{
    std::vector<CListThumbElementUI*> out;
    CResultListUI* list = m_frame->GetResultList();
    for (int i = 0; i < list->GetCount(); ++i) {
        CControlUI* c = list->GetItemAt(i);
        if (!visibleOnly || c->IsVisible())
            out.push_back(static_cast<CListThumbElementUI*>(c->GetInterface(L"ListThumbElement")));
    }
    return out;
}

void CDialogFrameTest::ChooseResultFile(const std::wstring& path)
{
    static std::wstring s_path;
    s_path = path;
    GetResultDialogs().ChooseSaveFile = [](HWND, const wchar_t*, const wchar_t*, std::wstring& chosen) {
        chosen = s_path;
        return true;
    };
    GetResultDialogs().ChooseOpenFile = [](HWND, const wchar_t*, const wchar_t*, std::wstring& chosen) {
        chosen = s_path;
        return true;
    };
}

void CDialogFrameTest::AnnounceVolume(wchar_t letter)
{
    DEV_BROADCAST_HDR arrival = {sizeof(arrival), DBT_DEVTYP_VOLUME, 0};
    SendMessageW(m_hwnd, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, (LPARAM)&arrival);
    ASSERT_TRUE(gui::PumpUntil(
        [&] { return !m_frame->IsDiskEnumRunning() && m_frame->GetVolumeList()->FindVolumeByLetter(letter); }, 60000));
}

void CDialogFrameTest::CheckEverything(size_t count)
{
    ASSERT_TRUE(gui::Click(pm(), L"optTypeFilter"));
    HWND typeTree = m_frame->GetTreeWindow(103);
    ASSERT_TRUE(gui::PumpUntil([&] { return IsWindowVisible(typeTree) != FALSE; }));
    ClickTreeItem(typeTree, TreeView_GetRoot(typeTree), true);
    ASSERT_TRUE(gui::PumpUntil([&] { return m_frame->GetCheckedCount() == count; }));
}

std::wstring CDialogFrameTest::RecoverChecked(const wchar_t* folderName)
{
    static std::wstring s_out;
    s_out = testpaths::MakeTempDir(folderName);
    GetResultDialogs().AskRecoverOption = [](HWND, const std::wstring&, bool, int& option) {
        option = 1;
        return true;
    };
    GetResultDialogs().ChooseFolder = [](HWND, const std::wstring&, std::wstring& path) {
        path = s_out;
        return true;
    };
    MessageLog::texts.clear();
    MessageLog::answer = 7;  // the success box: do not open Explorer
    const std::wstring success = GetUIText(L"RecoverSuccess");
    const std::wstring head = success.substr(0, success.find(L'%'));
    EXPECT_TRUE(gui::Click(pm(), L"btnRestoreFiles"));
    EXPECT_TRUE(gui::PumpUntil(
        [&] {
            for (const std::wstring& t : MessageLog::texts)
                if (t.compare(0, head.size(), head) == 0)
                    return true;
            return false;
        },
        120000))
        << (MessageLog::texts.empty() ? std::string("no box") : testpaths::Narrow(MessageLog::texts[0]));
    return s_out;
}

std::wstring TreeLabel(HWND tree, HTREEITEM item)
{
    wchar_t buf[300] = {};
    TVITEMW tv = {};
    tv.mask = TVIF_TEXT;
    tv.hItem = item;
    tv.pszText = buf;
    tv.cchTextMax = 300;
    TreeView_GetItem(tree, &tv);
    return buf;
}

long long TreeCount(HWND tree, HTREEITEM item)
{
    const std::wstring label = TreeLabel(tree, item);
    const size_t open = label.rfind(L'(');
    if (open == std::wstring::npos)
        return -1;
    return _wtoi64(label.c_str() + open + 1);
}

HTREEITEM FindTreeItem(HWND tree, HTREEITEM from, const std::wstring& key)
{
    for (HTREEITEM i = from; i; i = TreeView_GetNextSibling(tree, i)) {
        const std::wstring label = TreeLabel(tree, i);
        if (label.substr(0, label.rfind(L'(')) == key || label == key)
            return i;
        if (HTREEITEM c = FindTreeItem(tree, TreeView_GetChild(tree, i), key))
            return c;
    }
    return NULL;
}

void ClickTreeItem(HWND tree, HTREEITEM item, bool checkBox)
{
    TreeView_EnsureVisible(tree, item);
    RECT text = {};
    ASSERT_TRUE(TreeView_GetItemRect(tree, item, &text, TRUE));
    POINT pt = {(text.left + text.right) / 2, (text.top + text.bottom) / 2};
    if (checkBox) {
        // Leftwards from the label to the state image.
        for (pt.x = text.left - 1; pt.x > 0; --pt.x) {
            TVHITTESTINFO ht = {};
            ht.pt = pt;
            if (TreeView_HitTest(tree, &ht) == item && (ht.flags & TVHT_ONITEMSTATEICON))
                break;
        }
        ASSERT_GT(pt.x, 0);
    }
    POINT screen = pt;
    ClientToScreen(tree, &screen);
    SetCursorPos(screen.x, screen.y);
    PostMessageW(tree, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(pt.x, pt.y));
    PostMessageW(tree, WM_LBUTTONUP, 0, MAKELPARAM(pt.x, pt.y));
    gui::PumpPending();
}

namespace {
// Clicks control of pm once the dialog watcher is set; returns when the
// dialog of class cls has run the action and is gone.
void RunDialog(CPaintManagerUI& pm, const wchar_t* control, const wchar_t* cls,
               std::function<void(HWND, CPaintManagerUI&)> action)
{
    bool ran = false;
    HWND dialog = NULL;
    gui::OnDialog(cls, [&](HWND d) {
        dialog = d;
        CPaintManagerUI* dpm = gui::ManagerOf(d);
        ASSERT_TRUE(dpm != NULL);
        gui::PumpPending();
        action(d, *dpm);
        ran = true;
    });
    ASSERT_TRUE(gui::Click(pm, control)) << testpaths::Narrow(control);
    ASSERT_TRUE(gui::PumpUntil([&] { return ran && !IsWindow(dialog); }));
}
}  // namespace

void CDialogFrameTest::RunFromButton(const wchar_t* button, std::function<void(HWND, CPaintManagerUI&)> action,
                                     const wchar_t* cls)
{
    RunDialog(pm(), button, cls, action);
}

void CDialogFrameTest::RunFromMenu(const wchar_t* item, std::function<void(HWND, CPaintManagerUI&)> action,
                                   const wchar_t* cls)
{
    ASSERT_TRUE(gui::Click(pm(), L"btnMenu"));
    HWND menu = NULL;
    ASSERT_TRUE(gui::PumpUntil([&] { return (menu = gui::FindThreadWindow(L"MenuWnd")) != NULL; }));
    ASSERT_TRUE(gui::PumpUntil([&] { return gui::ManagerOf(menu) && gui::ManagerOf(menu)->GetRoot(); }));
    CPaintManagerUI* mpm = gui::ManagerOf(menu);
    ASSERT_TRUE(gui::IsShown(*mpm, item));
    RunDialog(*mpm, item, cls, action);
}

std::wstring TextOf(CPaintManagerUI& pm, const wchar_t* name)
{
    CControlUI* c = gui::Find(pm, name);
    return c ? std::wstring(c->GetText().GetData()) : std::wstring();
}

bool TypeInto(CPaintManagerUI& pm, const wchar_t* name, const std::wstring& text)
{
    CControlUI* edit = gui::Find(pm, name);
    if (!edit || !gui::Click(pm, edit))
        return false;
    HWND native = NULL;
    HWND dialog = pm.GetPaintWindow();
    // The edit's own window appears when it takes the focus.
    if (!gui::PumpUntil([&] {
            native = GetFocus();
            return native && native != dialog && GetParent(native) == dialog;
        }))
        return false;
    SendMessageW(native, EM_SETSEL, 0, -1);
    PostMessageW(native, WM_KEYDOWN, VK_DELETE, 1);
    PostMessageW(native, WM_KEYUP, VK_DELETE, 0xC0000001);
    for (wchar_t ch : text)
        PostMessageW(native, WM_CHAR, ch, 1);
    std::wstring expected;
    for (wchar_t ch : text)
        if (!(GetWindowLongW(native, GWL_STYLE) & ES_NUMBER) || (ch >= L'0' && ch <= L'9'))
            expected += ch;
    return gui::PumpUntil([&] { return std::wstring(edit->GetText().GetData()) == expected; });
}

bool WaitGone(HWND hwnd)
{
    return gui::PumpUntil([&] { return !IsWindow(hwnd); });
}

HWND FindProcessWindow(const wchar_t* cls)
{
    ProcessWindowQuery q = {cls, NULL};
    EnumWindows(FindInProcess, (LPARAM)&q);
    return q.found;
}

}  // namespace wintest
