#include "app/FeedbackDlg.h"

#include <string>

#include "app/Services.h"
#include "core/Language.h"

namespace {
const char kInputSuggest[] = "aW5wdXRTdWdnZXN0";
}

CFeedbackDlg::CFeedbackDlg() : CSkinDialog(L"dlg_feedback") {}

void CFeedbackDlg::Notify(TNotifyUI& msg)
{
    if (msg.sType == DUI_MSGTYPE_WINDOWINIT) {
        ApplyDialogFrameImage();
        return;
    }
    if (msg.sType != DUI_MSGTYPE_CLICK || !msg.pSender)
        return;
    const CDuiString& name = msg.pSender->GetName();
    if (name == L"btnSubmit")
        Submit();
    else if (name == L"btnClose")
        Close(IDCANCEL);
}

void CFeedbackDlg::Submit()
{
    CControlUI* feedback = FindControl(L"Feedback");
    CControlUI* contact = FindControl(L"contact");
    const std::wstring text = feedback ? feedback->GetText().GetData() : L"";
    const std::wstring reach = contact ? contact->GetText().GetData() : L"";
    // Blanks alone are no suggestion either.
    if (text.find_first_not_of(L" \t\r\n") == std::wstring::npos) {
        MessageBoxByBase64Key(kInputSuggest, m_hWnd, MB_ICONINFORMATION, 0);
        if (feedback)
            feedback->SetFocus();
        return;
    }
    HCURSOR old = SetCursor(LoadCursor(NULL, IDC_WAIT));
    const bool sent = UsageReporter().SendSuggest(text.c_str(), reach.c_str());
    SetCursor(old);
    MessageBoxByKey(sent ? L"suggestOK" : L"suggestFail", m_hWnd, MB_ICONINFORMATION, 0);
    Close(sent ? IDOK : IDCANCEL);
}

void ShowFeedbackDialog(HWND owner)
{
    CSkinDialog::RunSelfDeleting(new CFeedbackDlg, owner);
}
