#include <gtest/gtest.h>

#include "GuiHarness.h"
#include "app/MainFrame.h"

namespace {
void Dump(CControlUI* c, int depth)
{
    if (!c) return;
    RECT r = c->GetPos();
    wprintf(L"%*ls%ls '%ls' vis=%d pos=%ld,%ld,%ld,%ld\n", depth * 2, L"", c->GetClass(), c->GetName().GetData(),
            c->IsVisible(), r.left, r.top, r.right, r.bottom);
    DuiLib::IContainerUI* cont = static_cast<DuiLib::IContainerUI*>(c->GetInterface(DUI_CTR_ICONTAINER));
    if (cont)
        for (int i = 0; i < cont->GetCount(); ++i)
            Dump(cont->GetItemAt(i), depth + 1);
}
}

TEST(MainFrame, Debug)
{
    gui::InitProcess(1252);
    CMainFrame* frame = new CMainFrame;
    HWND hwnd = frame->Create(NULL, L"Delvaro", WS_VISIBLE | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX, 0, 0, 0, 800, 600);
    ASSERT_TRUE(hwnd != NULL);
    ASSERT_TRUE(gui::PumpUntil([&] { return frame->IsInitialized() && !frame->IsDiskEnumRunning(); }));
    gui::PumpUntil([] { return false; }, 500);
    Dump(frame->GetPaintManager().FindControl(L"tabMain"), 0);
    gui::SaveScreenshot(hwnd, L"debug");
}
