// The program's own message box: caption, text, one of three icons, one or
// two buttons (and an optional left one), and two extras that callers switch
// on, a check box and a pair of radio buttons.
#pragma once
#include <string>

#include "app/WindowImplBaseShw.h"

class CMessageDlg : public CSkinDialog
{
public:
    // flags: 0x40 information, 0x10 error, 0x20 question (warning icon);
    // 4 two buttons (yes and no). showHtml: the text is DuiLib HTML text.
    CMessageDlg(const wchar_t* text, const wchar_t* caption, int flags, bool showHtml);

    void ShowCheckBox(bool show);
    void SetCheckBoxText(const wchar_t* languageKey);
    void SetChecked(bool checked);
    bool IsChecked();
    void ShowRadioGroup(bool show);

    // 6 yes, 7 no or closed, 12 the left button.
    int GetResult() const { return m_nResult; }
    // 0 after "RemainPath" (and initially), 1 after "OnSamePath".
    int GetPathChoice() const { return m_nPathChoice; }

    // Button captions a caller may set before the dialog is shown; empty
    // keeps the layout's own caption.
    std::wstring m_strYesText, m_strCloseText, m_strLeftText;

    virtual void Notify(TNotifyUI& msg);
    virtual LRESULT OnDestroy(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);

private:
    void OnWindowInit();

    int m_nResult;
    std::wstring m_strText;
    std::wstring m_strCaption;
    int m_nFlags;
    bool m_bShowHtml;
    int m_nPathChoice;
    // The check box's state, kept when the window goes.
    bool m_bChecked;
    bool m_bClosed;
};

// Builds the dialog over parent, centres it, runs it modally, deletes it and
// returns its result. Installed as the program's message-box service.
int ShowSkinMessageDlg(HWND parent, const wchar_t* text, const wchar_t* caption, UINT flags, int showHtml);
