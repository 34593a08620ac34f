// The feedback form: a suggestion and a way to reach the user, sent to the
// report server at once; the user learns whether it arrived.
#pragma once
#include "app/WindowImplBaseShw.h"

class CFeedbackDlg : public CSkinDialog
{
public:
    CFeedbackDlg();

    virtual void Notify(TNotifyUI& msg);

private:
    void Submit();
};
