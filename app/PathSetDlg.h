// The scan-path dialog: narrows a deleted-files scan to one folder of the
// chosen volume, picked with the shell's folder picker inside that volume.
#pragma once
#include <memory>
#include <string>

#include "app/FolderBrowse.h"
#include "app/WindowImplBaseShw.h"

class CPathSetDlg : public CSkinDialog
{
public:
    // path: the caller's scan path (a folder or the volume's root), which
    // "OK" overwrites. The opener deletes the dialog.
    explicit CPathSetDlg(std::wstring* path);

    virtual void Notify(TNotifyUI& msg);

    bool IsConfirmed() const { return m_bConfirmed; }
    const std::wstring& GetCurrentPath() const { return m_strCurrentPath; }

private:
    void OnWindowInit();
    void SelectPath();
    void ShowPath();

    bool m_bConfirmed;
    std::unique_ptr<CFolderBrowse> m_pBrowse;
    std::wstring m_strDefaultPath;
    std::wstring m_strCurrentPath;
    std::wstring* m_pCallerPath;
};
