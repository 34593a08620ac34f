#include "ViewsTestUtil.h"

#include "common/TestPaths.h"

namespace viewtest {

std::string Sample(const wchar_t* name)
{
    return testpaths::ReadWholeFile(testpaths::Fixture(name));
}

bool PumpUntil(const std::function<bool()>& cond, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, NULL, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (cond())
            return true;
        if (GetTickCount() - start > timeoutMs)
            return cond();
        MsgWaitForMultipleObjects(0, NULL, FALSE, 20, QS_ALLINPUT);
    }
}

HWND MakeHostWindow(int w, int h)
{
    static bool registered = false;
    if (!registered) {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = DefWindowProcW;
        wc.hInstance = GetModuleHandleW(NULL);
        wc.hbrBackground = (HBRUSH)GetStockObject(BLACK_BRUSH);
        wc.lpszClassName = L"DelvaroViewTestHost";
        RegisterClassW(&wc);
        registered = true;
    }
    HWND hwnd = CreateWindowExW(0, L"DelvaroViewTestHost", L"host", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, 10, 10,
                                w, h, NULL, NULL, GetModuleHandleW(NULL), NULL);
    ShowWindow(hwnd, SW_SHOWNOACTIVATE);
    return hwnd;
}

}  // namespace viewtest
