// The about box: product name, the program's version, and the partner's
// logo, web site and company name where "oem.ini" gives them.
#pragma once
#include "app/WindowImplBaseShw.h"

class CAboutDlg : public CSkinDialog
{
public:
    CAboutDlg();

    virtual void Notify(TNotifyUI& msg);

private:
    void OnWindowInit();
};
