#include "app/AboutDlg.h"

#include "app/Services.h"
#include "core/Helpers.h"
#include "core/Language.h"
#include "core/Settings.h"

CAboutDlg::CAboutDlg() : CSkinDialog(L"dlg_about") {}

void CAboutDlg::OnWindowInit()
{
    // The product name and the version always; each branding value only
    // when it is configured, else the layout's own text or picture stays.
    SetControlText(L"ProductName", g_strLangProductName.c_str());
    SetControlText(L"LabelVersion", GetProgramVersion().c_str());
    if (!g_OemInfo.m_strAboutLogo.empty())
        if (CControlUI* logo = FindControl(L"AboutLogo"))
            logo->SetBkImage(g_OemInfo.m_strAboutLogo.c_str());
    if (!g_OemInfo.m_strOfficialSite.empty())
        SetControlText(L"buttonSite", g_OemInfo.m_strOfficialSite.c_str());
    if (!g_OemInfo.m_strCompanyName.empty())
        SetControlText(L"CompanyName", g_OemInfo.m_strCompanyName.c_str());
    ApplyDialogFrameImage();
}

void CAboutDlg::Notify(TNotifyUI& msg)
{
    if (msg.sType == DUI_MSGTYPE_WINDOWINIT) {
        OnWindowInit();
        return;
    }
    if (msg.sType != DUI_MSGTYPE_CLICK || !msg.pSender)
        return;
    const CDuiString& name = msg.pSender->GetName();
    if (name == L"btnClose") {
        Close(IDCANCEL);
    } else if (name == L"buttonSite") {
        const std::wstring site = msg.pSender->GetText().GetData();
        if (!site.empty())
            OpenUrl(site.c_str(), m_hWnd);
    } else if (name == L"buttonSiteEn") {
        OpenUrl(CDefaultUrls::Get().m_strHomeUrl.c_str(), m_hWnd);
    }
}

void ShowAboutDialog(HWND owner)
{
    CSkinDialog::RunSelfDeleting(new CAboutDlg, owner);
}
