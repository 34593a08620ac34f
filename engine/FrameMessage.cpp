#include "engine/FrameMessage.h"

#include "engine/MainFrameServices.h"
#include "engine/ScanDiskDlg.h"

bool PostFrameMessage(IMainFrameServices* frame, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (!frame)
        return false;
    if (CScanDiskDlg* dlg = frame->GetScanDiskDlg())
        return dlg->PostToFrame(message, wParam, lParam);
    HWND window = frame->GetFrameWindow();
    return window && PostMessageW(window, message, wParam, lParam);
}
