#include "app/ResultDialogs.h"

#include "core/Language.h"

#include <commdlg.h>
#include <shlobj.h>

#include "app/FolderBrowse.h"
#include "app/MainFrame.h"
#include "app/MessageDlg.h"
#include "app/WorkerDialogs.h"

namespace {

bool ShellChooseFolder(HWND owner, const std::wstring& title, std::wstring& path)
{
    CFolderBrowse browse(owner);
    if (!browse.Browse(path.empty() ? NULL : path.c_str(), title.c_str()) || browse.GetPath().empty())
        return false;
    path = browse.GetPath();
    return true;
}

// The filter as the file dialogs want it: pairs of texts, each ended by a
// zero, and a second zero at the end; the '|' of the given text separate.
std::wstring DialogFilter(const wchar_t* filter)
{
    std::wstring f = filter ? filter : L"";
    for (wchar_t& c : f)
        if (c == L'|')
            c = 0;
    f.push_back(0);
    f.push_back(0);
    return f;
}

bool FileDialog(HWND owner, const wchar_t* filter, const wchar_t* defaultExt, std::wstring& path, bool save)
{
    wchar_t buf[MAX_PATH] = {};
    wcsncpy(buf, path.c_str(), MAX_PATH - 1);
    const std::wstring f = DialogFilter(filter);
    OPENFILENAMEW ofn = {};
    ofn.lStructSize = sizeof(ofn);
    ofn.hwndOwner = owner;
    ofn.lpstrFilter = f.c_str();
    ofn.lpstrFile = buf;
    ofn.nMaxFile = MAX_PATH;
    ofn.lpstrDefExt = defaultExt;
    ofn.Flags = OFN_OVERWRITEPROMPT | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
    const BOOL ok = save ? GetSaveFileNameW(&ofn) : GetOpenFileNameW(&ofn);
    if (!ok || !buf[0])
        return false;
    path = buf;
    return true;
}

bool ShellChooseSaveFile(HWND owner, const wchar_t* filter, const wchar_t* defaultExt, std::wstring& path)
{
    return FileDialog(owner, filter, defaultExt, path, true);
}

bool ShellChooseOpenFile(HWND owner, const wchar_t* filter, const wchar_t* defaultExt, std::wstring& path)
{
    return FileDialog(owner, filter, defaultExt, path, false);
}

bool AskRecoverOptionDlg(HWND owner, const std::wstring& hint, bool carved, int& option)
{
    CMessageDlg* dlg = new CMessageDlg(hint.c_str(), GetMessageTitle().c_str(), 0x40 | 4, false);
    if (!dlg->CreateOver(owner)) {
        delete dlg;
        return false;
    }
    if (carved) {
        dlg->ShowCheckBox(true);
        dlg->SetCheckBoxText(L"RecoverFileInType");
        dlg->SetChecked(true);
    } else {
        dlg->ShowRadioGroup(true);
    }
    dlg->CenterWindow();
    dlg->ShowModal();
    const int answer = dlg->GetResult();
    option = carved ? (dlg->IsChecked() ? 1 : 0) : (dlg->GetPathChoice() == 0 ? 1 : 0);
    delete dlg;
    return answer == 6;
}

void RunRecoverDialog(CMainFrame* frame, const std::wstring& target, int option, bool singleFile)
{
    CRecoverProcessDlg* dlg = new CRecoverProcessDlg(frame, target, option, singleFile);
    dlg->RunModal(frame->GetHWND());
    const bool finished = dlg->IsFinished();
    const RecoverFinishedInfo info = dlg->GetFinishedInfo();
    delete dlg;
    // The end of the run: the success box over the main window, and the
    // target in Explorer when the user asks.
    if (finished)
        CRecoverProcessWorker::ShowRecoverFinished(frame->GetHWND(), info);
}

void RunLoadDialog(CMainFrame* frame, const std::wstring& path)
{
    frame->BeginLoadedResult();
    CLoadDataDlg* dlg = new CLoadDataDlg(frame, path);
    dlg->RunModal(frame->GetHWND());
    dlg->WaitForWorker();
    delete dlg;
    frame->EndLoadedResult();
}

bool RunSaveDialog(CMainFrame* frame, const std::wstring& path)
{
    CSaveResultDlg* dlg = new CSaveResultDlg(frame, path);
    dlg->RunModal(frame->GetHWND());
    dlg->WaitForWorker();
    const bool ok = dlg->GetResult();
    delete dlg;
    return ok;
}

const ResultDialogs kDefaults = {AskRecoverOptionDlg, ShellChooseFolder, ShellChooseSaveFile, ShellChooseOpenFile,
                                 RunRecoverDialog,  RunLoadDialog,       RunSaveDialog};
ResultDialogs g_Dialogs = kDefaults;

}  // namespace

ResultDialogs& GetResultDialogs()
{
    return g_Dialogs;
}

const ResultDialogs& DefaultResultDialogs()
{
    return kDefaults;
}
