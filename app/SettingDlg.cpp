#include "app/SettingDlg.h"

#include <cwchar>
#include <string>

#include "core/Language.h"
#include "core/Settings.h"
#include "sectorengine/Blockmill.h"

namespace {
const char kInputSkipBadSector[] = "SW5wdXRTa2lwQmFkU2VjdG9y";
const wchar_t kDefaultBadSectorValue[] = L"UNREADABLESECTOR";
const uint32_t kDefaultSkipCount = 32;

template <class T>
T* Typed(CControlUI* c, const wchar_t* iface)
{
    return c ? static_cast<T*>(c->GetInterface(iface)) : NULL;
}
}  // namespace

CSettingDlg::CSettingDlg()
    : CSkinDialog(L"dlg_setting"),
      m_pSkipBadSector(NULL),
      m_pEnhancePreviewer(NULL),
      m_pBadSectorNums(NULL),
      m_pBadSectorValue(NULL),
      m_pClusterSize(NULL)
{
}

int CSettingDlg::ClusterIndexOfSize(uint32_t size)
{
    for (int i = 0; i < kClusterChoices; ++i)
        if ((512u << i) == size)
            return i;
    return -1;
}

uint32_t CSettingDlg::ClusterSizeOfIndex(int index)
{
    return index >= 0 && index < kClusterChoices ? 512u << index : 0;
}

uint32_t CSettingDlg::ParseSkipCount(const wchar_t* text)
{
    if (!text || !*text)
        return 0;
    uint32_t n = 0;
    for (const wchar_t* p = text; *p; ++p) {
        if (*p < L'0' || *p > L'9')
            return 0;
        n = n * 10 + (uint32_t)(*p - L'0');
        if (n > 65535)
            return 0;
    }
    return n;
}

void CSettingDlg::Notify(TNotifyUI& msg)
{
    if (msg.sType == DUI_MSGTYPE_WINDOWINIT) {
        OnWindowInit();
        return;
    }
    if (msg.sType != DUI_MSGTYPE_CLICK || !msg.pSender)
        return;
    const CDuiString& name = msg.pSender->GetName();
    if (name == L"btnDefault") {
        LoadDefaults();
    } else if (name == L"btnYes") {
        if (Apply())
            Close(IDOK);
    } else if (name == L"btnClose") {
        Close(IDCANCEL);
    } else if (name == L"SkipBadSector" && m_pSkipBadSector) {
        // The click comes before the option turns: the new state is the
        // opposite of the current one.
        EnableBadSectorEdits(!m_pSkipBadSector->IsSelected());
    }
}

void CSettingDlg::OnWindowInit()
{
    ApplyDialogFrameImage();
    m_pSkipBadSector = Typed<DuiLib::COptionUI>(FindControl(L"SkipBadSector"), DUI_CTR_OPTION);
    m_pEnhancePreviewer = Typed<DuiLib::COptionUI>(FindControl(L"EnhancePreviewer"), DUI_CTR_OPTION);
    m_pBadSectorNums = Typed<DuiLib::CEditUI>(FindControl(L"BadSectorNums"), DUI_CTR_EDIT);
    m_pBadSectorValue = Typed<DuiLib::CEditUI>(FindControl(L"BadSectorValue"), DUI_CTR_EDIT);
    m_pClusterSize = Typed<DuiLib::CComboUI>(FindControl(L"ClusterSize"), DUI_CTR_COMBO);
    LoadValues();
}

void CSettingDlg::EnableBadSectorEdits(bool enable)
{
    if (m_pBadSectorNums)
        m_pBadSectorNums->SetEnabled(enable);
    if (m_pBadSectorValue)
        m_pBadSectorValue->SetEnabled(enable);
}

void CSettingDlg::LoadValues()
{
    const CConfigSetting& s = g_ConfigSetting;
    if (m_pSkipBadSector)
        m_pSkipBadSector->Selected(s.m_bEnableSkipBadSector != 0);
    if (m_pEnhancePreviewer)
        m_pEnhancePreviewer->Selected(s.m_bEnablePreviewer != 0);
    if (m_pBadSectorValue)
        m_pBadSectorValue->SetText(s.m_strBadSectorValue.c_str());
    if (m_pBadSectorNums)
        m_pBadSectorNums->SetText(std::to_wstring(s.m_uSkipBadSectorNums).c_str());
    EnableBadSectorEdits(s.m_bEnableSkipBadSector != 0);
    // A stored size the list does not offer selects nothing, and then "OK"
    // leaves it as it is.
    if (m_pClusterSize)
        m_pClusterSize->SelectItem(ClusterIndexOfSize(s.m_uClusterSize), false, false);
}

void CSettingDlg::LoadDefaults()
{
    if (m_pSkipBadSector)
        m_pSkipBadSector->Selected(true);
    if (m_pEnhancePreviewer)
        m_pEnhancePreviewer->Selected(false);
    if (m_pBadSectorValue)
        m_pBadSectorValue->SetText(kDefaultBadSectorValue);
    if (m_pBadSectorNums)
        m_pBadSectorNums->SetText(std::to_wstring(kDefaultSkipCount).c_str());
    EnableBadSectorEdits(true);
    if (m_pClusterSize)
        m_pClusterSize->SelectItem(0, false, false);
}

bool CSettingDlg::Apply()
{
    // The one value that can be refused: nothing is stored then.
    if (m_pBadSectorNums) {
        const uint32_t n = ParseSkipCount(m_pBadSectorNums->GetText().GetData());
        if (n == 0) {
            ErrorBoxByBase64Key(kInputSkipBadSector, m_hWnd);
            m_pBadSectorNums->SetFocus();
            return false;
        }
        g_ConfigSetting.SetSkipBadSectorNums(n);
        Blockmill::SetSkipNums(n);
    }
    if (m_pSkipBadSector) {
        const int skip = m_pSkipBadSector->IsSelected() ? 1 : 0;
        g_ConfigSetting.SetEnableSkipBadSector(skip);
        Blockmill::EnableSkip(skip);
    }
    if (m_pEnhancePreviewer)
        g_ConfigSetting.SetEnablePreviewer(m_pEnhancePreviewer->IsSelected() ? 1 : 0);
    if (m_pBadSectorValue) {
        const std::wstring value = m_pBadSectorValue->GetText().GetData();
        g_ConfigSetting.SetBadSectorValue(value.c_str());
        Blockmill::SetBadSectorValue(value.c_str());
    }
    if (m_pClusterSize) {
        const uint32_t size = ClusterSizeOfIndex(m_pClusterSize->GetCurSel());
        if (size)
            g_ConfigSetting.SetClusterSize(size, 1);
    }
    return true;
}

void ShowSettingDialog(HWND owner)
{
    CSkinDialog::RunSelfDeleting(new CSettingDlg, owner);
}
