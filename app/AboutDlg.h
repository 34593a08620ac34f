// The about box: product name, the program's version, and the partner's
// logo, web site and company name where "oem.ini" gives them.
#pragma once
#include "app/WindowImplBaseShw.h"

class CAboutDlg : public CSkinDialog
{
public:
    CAboutDlg();

    virtual void Notify(TNotifyUI& msg);
    // The object deletes itself once its window is gone.
    virtual void OnFinalMessage(HWND hWnd);

private:
    void OnWindowInit();
};
