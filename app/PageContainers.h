// The pages of the main window's tab layout, each a container that builds
// its own layout file, and the step indicator the wizard pages carry.
#pragma once
#include "app/DuiLibInc.h"

// Answers "WizProgress" with a step indicator; nothing for other names.
class CWizProgressBuilderCallbackEx : public DuiLib::IDialogBuilderCallback
{
public:
    CWizProgressBuilderCallbackEx(CPaintManagerUI& pm, CControlUI* parent) : m_pm(pm), m_pParent(parent) {}
    virtual CControlUI* CreateControl(LPCTSTR pstrClass);

private:
    CPaintManagerUI& m_pm;
    CControlUI* m_pParent;
};

// A container whose only child is the layout built from its file; empty
// when the build fails.
class CLayoutPageUI : public CContainerUI
{
public:
    CLayoutPageUI(CPaintManagerUI& pm, CControlUI* parent, const wchar_t* layoutFile, bool withSteps);
};

class CHomeUI : public CLayoutPageUI
{
public:
    CHomeUI(CPaintManagerUI& pm, CControlUI* parent) : CLayoutPageUI(pm, parent, L"HomeCtrl.xml", false) {}
};

class CWizDiskList : public CLayoutPageUI
{
public:
    CWizDiskList(CPaintManagerUI& pm, CControlUI* parent) : CLayoutPageUI(pm, parent, L"WizDiskListCtrl.xml", true) {}
};

class CWizScanMode : public CLayoutPageUI
{
public:
    CWizScanMode(CPaintManagerUI& pm, CControlUI* parent) : CLayoutPageUI(pm, parent, L"WizScanModeCtrl.xml", true) {}
};

class CWizFileType : public CLayoutPageUI
{
public:
    CWizFileType(CPaintManagerUI& pm, CControlUI* parent) : CLayoutPageUI(pm, parent, L"WizFileType.xml", true) {}
};

class CWizProgressControl : public CLayoutPageUI
{
public:
    CWizProgressControl(CPaintManagerUI& pm, CControlUI* parent)
        : CLayoutPageUI(pm, parent, L"WizProgressCtrl.xml", false)
    {
    }
};

class CScanResultCtrl : public CLayoutPageUI
{
public:
    CScanResultCtrl(CPaintManagerUI& pm, CControlUI* parent)
        : CLayoutPageUI(pm, parent, L"ScanResultCtrl.xml", false)
    {
    }
};
