#include "app/FolderBrowse.h"

#include <objbase.h>

CFolderBrowse::CFolderBrowse(HWND owner) : m_hOwner(owner), m_pRoot(NULL) {}

CFolderBrowse::~CFolderBrowse()
{
    if (m_pRoot)
        CoTaskMemFree(m_pRoot);
}

HRESULT CFolderBrowse::SetRoot(const wchar_t* path)
{
    if (m_pRoot) {
        CoTaskMemFree(m_pRoot);
        m_pRoot = NULL;
    }
    if (!path || !*path)
        return S_OK;
    IShellFolder* desktop = NULL;
    HRESULT hr = SHGetDesktopFolder(&desktop);
    if (FAILED(hr) || !desktop)
        return FAILED(hr) ? hr : E_FAIL;
    std::wstring name = path;  // the parser takes a writable text
    PIDLIST_RELATIVE item = NULL;
    hr = desktop->ParseDisplayName(m_hOwner, NULL, &name[0], NULL, &item, NULL);
    desktop->Release();
    if (SUCCEEDED(hr))
        m_pRoot = (PIDLIST_ABSOLUTE)item;
    return hr;
}

int CALLBACK CFolderBrowse::BrowseCallback(HWND hwnd, UINT msg, LPARAM lParam, LPARAM data)
{
    if (msg == BFFM_INITIALIZED) {
        const wchar_t* initial = (const wchar_t*)data;
        if (initial && *initial)
            SendMessageW(hwnd, BFFM_SETSELECTIONW, TRUE, (LPARAM)initial);
    } else if (msg == BFFM_SELCHANGED) {
        wchar_t path[MAX_PATH] = {};
        if (lParam && SHGetPathFromIDListW((PCIDLIST_ABSOLUTE)lParam, path))
            SendMessageW(hwnd, BFFM_SETSTATUSTEXTW, 0, (LPARAM)path);
    }
    return 0;
}

bool CFolderBrowse::Browse(const wchar_t* initialFolder, const wchar_t* title)
{
    m_strPath.clear();
    wchar_t display[MAX_PATH] = {};
    BROWSEINFOW bi = {};
    bi.hwndOwner = m_hOwner;
    bi.pidlRoot = m_pRoot;
    bi.pszDisplayName = display;
    bi.lpszTitle = title && *title ? title : L"Select folder";
    bi.ulFlags = BIF_RETURNONLYFSDIRS | BIF_STATUSTEXT;
    bi.lpfn = BrowseCallback;
    bi.lParam = (LPARAM)initialFolder;
    PIDLIST_ABSOLUTE chosen = SHBrowseForFolderW(&bi);
    if (chosen) {
        wchar_t path[MAX_PATH] = {};
        if (SHGetPathFromIDListW(chosen, path))
            m_strPath = path;
        CoTaskMemFree(chosen);
    }
    return !m_strPath.empty();
}
