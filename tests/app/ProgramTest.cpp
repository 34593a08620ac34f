// The program itself, started as a user starts it: one instance at a time,
// and the fallback dialog when its skin is missing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "GuiHarness.h"
#include "common/TestPaths.h"

namespace {

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

TEST(Program, SecondInstanceRestoresTheFirstAndEnds)
{
    const std::wstring exe = testpaths::Join(testpaths::BinDir(), L"Delvaro6.exe");
    DWORD pidA = 0, pidB = 0;
    HANDLE a = Launch(exe, testpaths::MakeTempDir(L"first"), &pidA);
    ASSERT_TRUE(a != NULL);
    HWND main = WaitForWindow(pidA, L"DelvaroWndClass", a);
    ASSERT_TRUE(main != NULL) << "the first instance shows its window";
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
