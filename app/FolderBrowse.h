// The shell's folder picker: a tree of folders that may start at a chosen
// root, with an initial selection and the chosen folder's path shown below.
#pragma once
#include <windows.h>
#include <shlobj.h>

#include <string>

class CFolderBrowse
{
public:
    explicit CFolderBrowse(HWND owner);
    virtual ~CFolderBrowse();

    // The picker's tree starts at this folder; the parsing's result code.
    HRESULT SetRoot(const wchar_t* path);
    // Runs the picker (title NULL: "Select folder") with initialFolder
    // selected; true when a folder was chosen, which GetPath then gives.
    bool Browse(const wchar_t* initialFolder, const wchar_t* title);
    const std::wstring& GetPath() const { return m_strPath; }

private:
    CFolderBrowse(const CFolderBrowse&);
    CFolderBrowse& operator=(const CFolderBrowse&);
    static int CALLBACK BrowseCallback(HWND hwnd, UINT msg, LPARAM lParam, LPARAM data);

    std::wstring m_strPath;
    HWND m_hOwner;
    PIDLIST_ABSOLUTE m_pRoot;
};
