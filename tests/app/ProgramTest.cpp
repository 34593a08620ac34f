// The program itself, started as a user starts it: one instance at a time,
// and the fallback dialog when its skin is missing.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>
#include <psapi.h>

#include <string>
#include <vector>

#include "GuiHarness.h"
#include "common/TestPaths.h"
#include "core/Helpers.h"

namespace {

// The started program reports to 127.0.0.1 (a port where nobody listens),
// never to an outside address; the setting is put back afterwards.
class CLocalReportServer
{
public:
    explicit CLocalReportServer(const wchar_t* base = L"127.0.0.1:9")
    {
        InitApplicationPaths();
        m_ini = GetAppDataFilePath(L"Config.ini");
        wchar_t old[260] = {};
        GetPrivateProfileStringW(L"Setting", L"ServerBase", L"", old, 260, m_ini.c_str());
        m_old = old;
        WritePrivateProfileStringW(L"Setting", L"ServerBase", base, m_ini.c_str());
    }
    ~CLocalReportServer()
    {
        WritePrivateProfileStringW(L"Setting", L"ServerBase", m_old.empty() ? NULL : m_old.c_str(), m_ini.c_str());
    }

private:
    std::wstring m_ini, m_old;
};

// The current environment with TMP and TEMP set to temp.
std::vector<wchar_t> EnvironmentWithTemp(const std::wstring& temp)
{
    std::vector<wchar_t> env;
    wchar_t* block = GetEnvironmentStringsW();
    for (const wchar_t* p = block; *p; p += wcslen(p) + 1) {
        if (_wcsnicmp(p, L"TMP=", 4) == 0 || _wcsnicmp(p, L"TEMP=", 5) == 0)
            continue;
        env.insert(env.end(), p, p + wcslen(p) + 1);
    }
    FreeEnvironmentStringsW(block);
    for (const wchar_t* name : {L"TMP=", L"TEMP="}) {
        std::wstring entry = name + temp;
        env.insert(env.end(), entry.c_str(), entry.c_str() + entry.size() + 1);
    }
    env.push_back(0);
    return env;
}

HANDLE Launch(const std::wstring& exe, const std::wstring& temp, DWORD* pid)
{
    std::vector<wchar_t> env = EnvironmentWithTemp(temp);
    std::wstring cmd = L"\"" + exe + L"\"";
    STARTUPINFOW si = {sizeof(si)};
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(exe.c_str(), &cmd[0], NULL, NULL, FALSE, CREATE_UNICODE_ENVIRONMENT, env.data(), NULL, &si,
                        &pi))
        return NULL;
    CloseHandle(pi.hThread);
    *pid = pi.dwProcessId;
    return pi.hProcess;
}

struct WindowQuery
{
    DWORD pid;
    const wchar_t* cls;
    std::vector<HWND> found;
};

BOOL CALLBACK Collect(HWND hwnd, LPARAM lp)
{
    WindowQuery* q = (WindowQuery*)lp;
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    wchar_t cls[128] = {};
    GetClassNameW(hwnd, cls, 127);
    if ((q->pid == 0 || pid == q->pid) && wcscmp(cls, q->cls) == 0 && IsWindowVisible(hwnd))
        q->found.push_back(hwnd);
    return TRUE;
}

std::vector<HWND> Windows(DWORD pid, const wchar_t* cls)
{
    WindowQuery q = {pid, cls, {}};
    EnumWindows(Collect, (LPARAM)&q);
    return q.found;
}

HWND WaitForWindow(DWORD pid, const wchar_t* cls, HANDLE process)
{
    HWND found = NULL;
    gui::PumpUntil(
        [&] {
            std::vector<HWND> w = Windows(pid, cls);
            found = w.empty() ? NULL : w[0];
            return found != NULL || WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
        },
        60000);
    return found;
}

DWORD WaitForExit(HANDLE process)
{
    gui::PumpUntil([&] { return WaitForSingleObject(process, 0) == WAIT_OBJECT_0; }, 60000);
    DWORD code = 259;
    GetExitCodeProcess(process, &code);
    return code;
}

void Copy(const std::wstring& from, const std::wstring& to)
{
    ASSERT_TRUE(CopyFileW(from.c_str(), to.c_str(), FALSE)) << std::string(from.begin(), from.end());
}

// HKLM "CloseConfirm" 0 for a while: the program closes without asking.
class CNoCloseQuestion
{
public:
    CNoCloseQuestion()
    {
        DWORD v = 0, size = sizeof(v);
        m_had = RegGetValueW(HKEY_LOCAL_MACHINE, kKey, L"CloseConfirm", RRF_RT_REG_DWORD, NULL, &v, &size) ==
                ERROR_SUCCESS;
        m_old = v;
        Set(0, true);
    }
    ~CNoCloseQuestion() { Set(m_old, m_had); }

private:
    static void Set(DWORD v, bool present)
    {
        HKEY key = NULL;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, NULL, 0, KEY_WRITE, NULL, &key, NULL) != ERROR_SUCCESS)
            return;
        if (present)
            RegSetValueExW(key, L"CloseConfirm", 0, REG_DWORD, (const BYTE*)&v, sizeof(v));
        else
            RegDeleteValueW(key, L"CloseConfirm");
        RegCloseKey(key);
    }
    static constexpr const wchar_t* kKey = L"Software\\Microsoft\\Delvaro";
    bool m_had;
    DWORD m_old;
};

// The program opens its skinned main window, 800 by 600 with the product
// name as title, and ends with 0 when it is closed.
TEST(Program, MainWindowOpensAndCloses)
{
    CLocalReportServer local;
    CNoCloseQuestion noQuestion;
    DWORD pid = 0;
    const DWORD start = GetTickCount();
    HANDLE p = Launch(testpaths::Join(testpaths::BinDir(), L"Delvaro6.exe"), testpaths::MakeTempDir(L"main"), &pid);
    ASSERT_TRUE(p != NULL);
    HWND main = WaitForWindow(pid, L"DelvaroWndClass", p);
    ASSERT_TRUE(main != NULL);
    printf("main window after %lu ms\n", GetTickCount() - start);
    wchar_t title[256] = {};
    GetWindowTextW(main, title, 256);
    const std::wstring t = title;
    EXPECT_TRUE(t == L"Delvaro Data Recovery" || t == L"Delvaro \u6570\u636e\u6062\u590d" ||
                t == L"Delvaro \u8cc7\u6599\u6551\u63f4")
        << std::string(t.begin(), t.end());
    RECT rc = {};
    GetWindowRect(main, &rc);
    EXPECT_EQ(800, rc.right - rc.left);
    EXPECT_EQ(600, rc.bottom - rc.top);
    PostMessageW(main, WM_CLOSE, 0, 0);
    EXPECT_EQ(0u, WaitForExit(p));
    CloseHandle(p);
}

// A server that takes connections and never answers: what a machine sees
// whose network has gone (requests wait for their time-outs).
class CSilentServer
{
public:
    CSilentServer()
    {
        WSADATA wsa;
        WSAStartup(MAKEWORD(2, 2), &wsa);
        m_socket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in at = {};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int len = sizeof(at);
        if (m_socket != INVALID_SOCKET && bind(m_socket, (sockaddr*)&at, sizeof(at)) == 0 &&
            listen(m_socket, 16) == 0 && getsockname(m_socket, (sockaddr*)&at, &len) == 0)
            m_port = ntohs(at.sin_port);
    }
    ~CSilentServer()
    {
        if (m_socket != INVALID_SOCKET)
            closesocket(m_socket);
        WSACleanup();
    }
    std::wstring Base() const { return L"127.0.0.1:" + std::to_wstring(m_port); }
    int m_port = 0;

private:
    SOCKET m_socket = INVALID_SOCKET;
};

// Quitting with no network: once the window has gone, the process ends
// within a second, whatever its reports still wait for.
TEST(Program, QuitsAtOnceWithoutANetwork)
{
    CSilentServer silent;
    ASSERT_NE(0, silent.m_port);
    CLocalReportServer local(silent.Base().c_str());
    CNoCloseQuestion noQuestion;
    DWORD pid = 0;
    HANDLE p = Launch(testpaths::Join(testpaths::BinDir(), L"Delvaro6.exe"), testpaths::MakeTempDir(L"quit"), &pid);
    ASSERT_TRUE(p != NULL);
    HWND main = WaitForWindow(pid, L"DelvaroWndClass", p);
    ASSERT_TRUE(main != NULL);
    const DWORD start = GetTickCount();
    PostMessageW(main, WM_CLOSE, 0, 0);
    // Off the screen at once, whatever the close still waits for behind it.
    ASSERT_TRUE(gui::PumpUntil([&] { return !IsWindow(main) || !IsWindowVisible(main); }, 30000));
    const DWORD offScreen = GetTickCount() - start;
    ASSERT_TRUE(gui::PumpUntil([&] { return !IsWindow(main); }, 30000));
    const DWORD windowGone = GetTickCount() - start;
    EXPECT_EQ(0u, WaitForExit(p));
    const DWORD ended = GetTickCount() - start;
    printf("window off the screen after %lu ms, gone after %lu ms, process ended after %lu ms\n", offScreen,
           windowGone, ended);
    EXPECT_LT(offScreen, 1000u);
    EXPECT_LT(ended - windowGone, 1000u);
    CloseHandle(p);
}

TEST(Program, SecondInstanceRestoresTheFirstAndEnds)
{
    CLocalReportServer local;
    const std::wstring exe = testpaths::Join(testpaths::BinDir(), L"Delvaro6.exe");
    // A DLL anyone can drop into the per-user folder is not loaded.
    const std::wstring ext = GetAppDataFilePath(L"ext.dll");
    Copy(testpaths::Join(testpaths::BinDir(), L"Blockmill.dll"), ext);
    DWORD pidA = 0, pidB = 0;
    HANDLE a = Launch(exe, testpaths::MakeTempDir(L"first"), &pidA);
    ASSERT_TRUE(a != NULL);
    HWND main = WaitForWindow(pidA, L"DelvaroWndClass", a);
    ASSERT_TRUE(main != NULL) << "the first instance shows its window";
    HMODULE modules[256];
    DWORD bytes = 0;
    ASSERT_TRUE(EnumProcessModules(a, modules, sizeof(modules), &bytes));
    for (DWORD i = 0; i < bytes / sizeof(HMODULE); ++i) {
        wchar_t path[MAX_PATH] = {};
        GetModuleFileNameExW(a, modules[i], path, MAX_PATH);
        EXPECT_EQ(NULL, wcsstr(_wcslwr(path), L"\\ext.dll")) << "loaded: " << std::string(path, path + wcslen(path));
    }
    DeleteFileW(ext.c_str());
    ShowWindow(main, SW_MINIMIZE);
    ASSERT_TRUE(gui::PumpUntil([&] { return IsIconic(main) != FALSE; }));

    HANDLE b = Launch(exe, testpaths::MakeTempDir(L"second"), &pidB);
    ASSERT_TRUE(b != NULL);
    EXPECT_EQ(0u, WaitForExit(b));
    EXPECT_TRUE(gui::PumpUntil([&] { return !IsIconic(main); }));
    EXPECT_EQ(1u, Windows(0, L"DelvaroWndClass").size());
    TerminateProcess(a, 0);
    WaitForExit(a);
    CloseHandle(a);
    CloseHandle(b);
}

class SkinLost : public ::testing::TestWithParam<int>
{
};

// A program folder without its skin folder: the fallback dialog, and the
// program ends with 0 when it is closed. For code page 950 an old
// SKIN.zip from an earlier run is not used.
TEST_P(SkinLost, FallbackDialogAndNothingElse)
{
    const int lcid = GetParam();
    CLocalReportServer local;
    const std::wstring bin = testpaths::BinDir();
    const std::wstring folder = testpaths::MakeTempDir(L"noskin");
    for (const wchar_t* f : {L"Delvaro6.exe", L"DuiLib.dll", L"Blockmill.dll"})
        Copy(testpaths::Join(bin, f), testpaths::Join(folder, f));
    CreateDirectoryW((folder + L"\\language").c_str(), NULL);
    Copy(testpaths::Join(bin, L"language\\en.dll"), folder + L"\\language\\en.dll");
    Copy(testpaths::Join(bin, L"language\\tr.dll"), folder + L"\\language\\tr.dll");
    const std::string oem = "[LANG]\r\nLCID=" + std::to_string(lcid) + "\r\n";
    HANDLE h = CreateFileW((folder + L"\\oem.ini").c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    DWORD done = 0;
    WriteFile(h, oem.data(), (DWORD)oem.size(), &done, NULL);
    CloseHandle(h);
    const std::wstring temp = testpaths::MakeTempDir(L"noskintemp");
    if (lcid == 1028) {
        CreateDirectoryW((temp + L"\\OvoDelvaro6").c_str(), NULL);
        Copy(testpaths::Join(bin, L"skin\\skin_en.skin"), temp + L"\\OvoDelvaro6\\SKIN.zip");
    }

    DWORD pid = 0;
    HANDLE p = Launch(folder + L"\\Delvaro6.exe", temp, &pid);
    ASSERT_TRUE(p != NULL);
    HWND dlg = WaitForWindow(pid, L"#32770", p);
    ASSERT_TRUE(dlg != NULL) << "the fallback dialog";
    wchar_t title[64] = {};
    GetWindowTextW(dlg, title, 63);
    EXPECT_EQ(lcid == 1028 ? std::wstring(L"\u932f\u8aa4") : std::wstring(L"Error"), std::wstring(title));
    EXPECT_TRUE(GetDlgItem(dlg, 1001) != NULL);
    EXPECT_EQ(lcid == 1028, GetDlgItem(dlg, 1002) != NULL);
    EXPECT_TRUE(Windows(pid, L"DelvaroWndClass").empty());
    PostMessageW(dlg, WM_COMMAND, MAKEWPARAM(1001, BN_CLICKED), 0);
    EXPECT_EQ(0u, WaitForExit(p));
    CloseHandle(p);
}

INSTANTIATE_TEST_SUITE_P(Languages, SkinLost, ::testing::Values(1033, 1028));

}  // namespace
