#include "app/PathSetDlg.h"

#include <cwctype>

#include "app/Services.h"
#include "core/Language.h"

namespace {
// Same drive: the first three characters ("D:\") alike, case aside.
bool OnDrive(const std::wstring& path, const std::wstring& root)
{
    if (path.size() < 3 || root.size() < 3)
        return false;
    for (size_t i = 0; i < 3; ++i)
        if (towupper(path[i]) != towupper(root[i]))
            return false;
    return true;
}
}  // namespace

CPathSetDlg::CPathSetDlg(std::wstring* path) : CSkinDialog(L"dlg_pathset"), m_bConfirmed(false), m_pCallerPath(path)
{
}

void CPathSetDlg::Notify(TNotifyUI& msg)
{
    if (msg.sType == DUI_MSGTYPE_WINDOWINIT) {
        OnWindowInit();
        return;
    }
    if (msg.sType != DUI_MSGTYPE_CLICK || !msg.pSender)
        return;
    const CDuiString& name = msg.pSender->GetName();
    if (name == L"btnSelectPath") {
        SelectPath();
    } else if (name == L"btnDefault") {
        m_strCurrentPath = m_strDefaultPath;
        ShowPath();
    } else if (name == L"btnOk") {
        *m_pCallerPath = m_strCurrentPath;
        m_bConfirmed = true;
        Close(IDOK);
    } else if (name == L"btnClose") {
        Close(IDCANCEL);
    }
}

void CPathSetDlg::OnWindowInit()
{
    ApplyDialogFrameImage();
    if (!m_pCallerPath || m_pCallerPath->size() < 3) {
        Close(IDCANCEL);
        return;
    }
    m_pBrowse.reset(new CFolderBrowse(m_hWnd));
    m_strDefaultPath = m_pCallerPath->substr(0, 3);
    // The dialog starts from the caller's folder: "OK" at once keeps it.
    m_strCurrentPath = *m_pCallerPath;
    // Browsing stays inside the volume.
    m_pBrowse->SetRoot(m_strDefaultPath.c_str());
    ShowPath();
}

void CPathSetDlg::SelectPath()
{
    if (!m_pBrowse)
        return;
    const std::wstring title = GetUIText(L"ChoosePath");
    if (!m_pBrowse->Browse(m_strCurrentPath.c_str(), title.c_str()))
        return;
    // A folder of another drive (where the picker could not be held to the
    // volume) is no folder of this scan.
    std::wstring chosen = m_pBrowse->GetPath();
    if (!OnDrive(chosen, m_strDefaultPath))
        return;
    if (chosen.size() > 3 && chosen.back() == L'\\')
        chosen.pop_back();
    m_strCurrentPath = chosen;
    ShowPath();
}

void CPathSetDlg::ShowPath()
{
    SetControlText(L"PathEdit", m_strCurrentPath.c_str());
}

bool ShowScanPathDialog(HWND owner, std::wstring& path)
{
    CPathSetDlg* dlg = new CPathSetDlg(&path);
    dlg->RunModal(owner);
    const bool confirmed = dlg->IsConfirmed();
    delete dlg;
    return confirmed;
}
