// The base of every skinned window of the program: DuiLib's WindowImplBase
// with a drop shadow and a fixed window region, plus small control helpers.
// CSkinDialog adds what every dialog repeats (class, style, skin folder,
// closing) and runs a dialog modally over its owner.
#pragma once
#include <string>

#include "app/DuiLibInc.h"
#include "app/WndShadow.h"

// The folder where start-up unpacks the skin archive: the temporary folder
// followed by "OvoDelvaro6\".
std::wstring GetSkinFolderPath();
// "name" + ".xml": the layout file of a dialog or page.
std::wstring GetSkinXmlName(const wchar_t* name);

class WindowImplBaseShw : public DuiLib::WindowImplBase
{
public:
    WindowImplBaseShw();
    virtual ~WindowImplBaseShw();

    virtual void InitWindow();
    virtual LRESULT OnSize(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);

    CControlUI* FindControl(const wchar_t* name);
    void ShowSubControl(CControlUI* parent, const wchar_t* name, bool visible);
    bool IsControlVisible(const wchar_t* name);
    void SetControlBkColor(const wchar_t* name, DWORD colour);
    void SetControlFixedHeight(const wchar_t* name, int height);
    // Also shows/hides, enables and sets the text of a named control; a
    // missing control is skipped.
    void ShowControl(const wchar_t* name, bool visible);
    void EnableControl(const wchar_t* name, bool enable);
    void SetControlText(const wchar_t* name, const wchar_t* text);
    // The value of a named progress bar, kept within its range.
    void SetProgressValue(const wchar_t* name, int value);

    CPaintManagerUI& GetPaintManager() { return m_PaintManager; }
    CWndShadow& GetShadow() { return m_Shadow; }

protected:
    virtual CDuiString GetSkinFolder();

    CWndShadow m_Shadow;
};

// The eight-point window region of a w x h window (4 by 4 corner cut-outs at
// the bottom). Exposed for tests.
HRGN CreateFrameRegion(int w, int h);

class CSkinDialog : public WindowImplBaseShw
{
public:
    explicit CSkinDialog(const wchar_t* layoutName);

    virtual LPCTSTR GetWindowClassName() const { return L"DelvaroDlg"; }
    virtual UINT GetClassStyle() const { return CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS | CS_SAVEBITS; }
    virtual LRESULT OnClose(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);

    // Creates the window over owner (style 0x96C80000, empty title), centres
    // it and runs it modally; the result of the modal loop.
    UINT RunModal(HWND owner);
    // Creates the window over owner without running it (callers that set
    // options before the modal run); true when the window exists.
    bool CreateOver(HWND owner);
    // Creates the dialog over owner, centres it, runs it modally and deletes
    // it once the modal loop has returned (also when it cannot be created);
    // nothing of it may be touched afterwards.
    static void RunSelfDeleting(CSkinDialog* dialog, HWND owner);
    virtual void OnFinalMessage(HWND hWnd);

protected:
    virtual CDuiString GetSkinFile();
    // Sets the configured dialog-frame image on "DlgFrame" (nothing when empty).
    void ApplyDialogFrameImage();

    std::wstring m_strLayout;
    // The object deletes itself after its window's last message (a window
    // that the window thread's own loop runs, never one in a modal loop).
    bool m_bSelfDeleting;
};

const DWORD kDialogStyle = WS_POPUP | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN | WS_CAPTION | WS_SYSMENU;
