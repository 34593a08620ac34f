// The dialogs the result page opens: the folder and file choosers, and the
// recovery, load and save dialogs over their workers. Each goes through a
// replaceable function, so that the window tests answer them the way a user
// would.
#pragma once
#include <windows.h>

#include <string>

class CMainFrame;

struct ResultDialogs
{
    // The question before several findings are recovered: true on yes.
    // option is the check box (carved hits: folders by type) or the path
    // choice (1 keep the folders) on return.
    bool (*AskRecoverOption)(HWND owner, const std::wstring& hint, bool carved, int& option);
    // A folder for recovered files; false when cancelled.
    bool (*ChooseFolder)(HWND owner, const std::wstring& title, std::wstring& path);
    // A file to save into (overwrite prompt, read-only box hidden); path
    // holds the proposed name on entry. false when cancelled.
    bool (*ChooseSaveFile)(HWND owner, const wchar_t* filter, const wchar_t* defaultExt, std::wstring& path);
    // An existing file to open; false when cancelled.
    bool (*ChooseOpenFile)(HWND owner, const wchar_t* filter, const wchar_t* defaultExt, std::wstring& path);
    // The recovery dialog with its worker, run modally.
    void (*RunRecover)(CMainFrame* frame, const std::wstring& target, int option, bool singleFile);
    // The load dialog: fills the frame's results from a result file.
    void (*RunLoad)(CMainFrame* frame, const std::wstring& path);
    // The save dialog; true when the file was written.
    bool (*RunSave)(CMainFrame* frame, const std::wstring& path);
};

// The dialogs in use; tests replace members and put them back.
ResultDialogs& GetResultDialogs();
// The program's own ones.
const ResultDialogs& DefaultResultDialogs();
