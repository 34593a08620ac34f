#include "app/MessageDlg.h"

#include "core/Language.h"

CMessageDlg::CMessageDlg(const wchar_t* text, const wchar_t* caption, int flags, bool showHtml)
    : CSkinDialog(L"dlg_message"),
      m_nResult(7),
      m_strText(text ? text : L""),
      m_strCaption(caption ? caption : L""),
      m_nFlags(flags),
      m_bShowHtml(showHtml),
      m_nPathChoice(0),
      m_bChecked(false),
      m_bClosed(false)
{
}

void CMessageDlg::OnWindowInit()
{
    ApplyDialogFrameImage();
    SetControlText(L"caption", m_strCaption.c_str());
    if (CControlUI* context = FindControl(L"context")) {
        if (DuiLib::CTextUI* t = static_cast<DuiLib::CTextUI*>(context->GetInterface(DUI_CTR_TEXT)))
            t->SetShowHtml(m_bShowHtml);
        else if (DuiLib::CLabelUI* l = static_cast<DuiLib::CLabelUI*>(context->GetInterface(DUI_CTR_LABEL)))
            l->SetShowHtml(m_bShowHtml);
        context->SetText(m_strText.c_str());
    }
    const wchar_t* logo = L"infoLogo";
    if (m_nFlags & 0x40)
        logo = L"infoLogo";
    else if (m_nFlags & 0x10)
        logo = L"errorLogo";
    else if (m_nFlags & 0x20)
        logo = L"warnLogo";
    ShowControl(logo, true);

    CControlUI* yes = FindControl(L"btnYes");
    CControlUI* close = FindControl(L"btnClose");
    if (yes && close) {
        if (!(m_nFlags & 4)) {
            close->SetVisible(false);
            // A one-button box has its button where the second one would be.
            if (yes->IsFloat() && close->IsFloat()) {
                yes->SetFixedXY(close->GetFixedXY());
                yes->NeedParentUpdate();
            } else {
                yes->SetPos(close->GetPos());
            }
        }
        if (!m_strYesText.empty())
            yes->SetText(m_strYesText.c_str());
        if (!m_strCloseText.empty())
            close->SetText(m_strCloseText.c_str());
    }
    if (!m_strLeftText.empty()) {
        if (CControlUI* left = FindControl(L"btnLeft")) {
            left->SetText(m_strLeftText.c_str());
            left->SetVisible(true);
        }
    }
}

void CMessageDlg::Notify(TNotifyUI& msg)
{
    if (msg.sType == DUI_MSGTYPE_WINDOWINIT) {
        OnWindowInit();
        return;
    }
    if (msg.sType != DUI_MSGTYPE_CLICK || !msg.pSender)
        return;
    const CDuiString& name = msg.pSender->GetName();
    if (name == L"btnClose") {
        m_nResult = 7;
        Close(7);
    } else if (name == L"btnYes") {
        m_nResult = 6;
        Close(6);
    } else if (name == L"btnLeft") {
        m_nResult = 12;
        Close(12);
    } else if (name == L"RemainPath") {
        m_nPathChoice = 0;
    } else if (name == L"OnSamePath") {
        m_nPathChoice = 1;
    }
}

void CMessageDlg::ShowCheckBox(bool show)
{
    ShowControl(L"checkRemainFullPath", show);
}

void CMessageDlg::SetCheckBoxText(const wchar_t* languageKey)
{
    SetControlText(L"checkRemainFullPath", GetUIText(languageKey).c_str());
}

void CMessageDlg::SetChecked(bool checked)
{
    if (CControlUI* c = FindControl(L"checkRemainFullPath"))
        if (DuiLib::COptionUI* o = static_cast<DuiLib::COptionUI*>(c->GetInterface(DUI_CTR_OPTION)))
            o->Selected(checked);
}

LRESULT CMessageDlg::OnDestroy(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled)
{
    m_bChecked = IsChecked();
    m_bClosed = true;
    return CSkinDialog::OnDestroy(uMsg, wParam, lParam, bHandled);
}

bool CMessageDlg::IsChecked()
{
    if (m_bClosed || !m_hWnd)
        return m_bChecked;
    if (CControlUI* c = FindControl(L"checkRemainFullPath"))
        if (DuiLib::COptionUI* o = static_cast<DuiLib::COptionUI*>(c->GetInterface(DUI_CTR_OPTION)))
            return o->IsSelected();
    return false;
}

void CMessageDlg::ShowRadioGroup(bool show)
{
    ShowControl(L"RadioGroup", show);
}

int ShowSkinMessageDlg(HWND parent, const wchar_t* text, const wchar_t* caption, UINT flags, int showHtml)
{
    CMessageDlg* dlg = new CMessageDlg(text, caption, (int)flags, showHtml != 0);
    int result = 7;
    if (dlg->CreateOver(parent)) {
        dlg->CenterWindow();
        dlg->ShowModal();
        result = dlg->GetResult();
    }
    delete dlg;
    return result;
}
