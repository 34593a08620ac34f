#include "DialogFrame.h"

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
    g_ConfigSetting.m_bShowMode = 0;
    OpenFrame();
}

void CDialogFrameTest::TearDown()
{
    CloseFrame();
    SetPartitionScanFactory(m_oldFactory);
    SetMessageDlgProc(m_oldBox);
    SetUsageReporter(m_oldReporter);
}

void CDialogFrameTest::OpenFrame()
{
    m_frame = new CMainFrame;
    m_hwnd = m_frame->Create(NULL, L"Delvaro", kFrameStyle, 0, 0, 0, 800, 600);
    ASSERT_TRUE(m_hwnd != NULL);
    m_frame->CenterWindow();
    ASSERT_TRUE(gui::PumpUntil([&] { return m_frame->IsInitialized() && !m_frame->IsDiskEnumRunning(); }));
    gui::PumpPending();
}

void CDialogFrameTest::CloseFrame()
{
    if (m_hwnd && IsWindow(m_hwnd)) {
        PostMessageW(m_hwnd, WM_CLOSE, 0, 0);
        EXPECT_TRUE(gui::PumpUntil([&] { return !IsWindow(m_hwnd); }));
    }
    m_hwnd = NULL;
    m_frame = NULL;
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
