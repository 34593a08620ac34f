#include "app/PageContainers.h"

#include "views/ResultListUI.h"

CControlUI* CWizProgressBuilderCallbackEx::CreateControl(LPCTSTR pstrClass)
{
    if (pstrClass && wcscmp(pstrClass, L"WizProgress") == 0)
        return new CWizProgressControl(m_pm, m_pParent);
    if (pstrClass && wcscmp(pstrClass, L"ResultList") == 0)
        return new CResultListUI;
    return NULL;
}

CLayoutPageUI::CLayoutPageUI(CPaintManagerUI& pm, CControlUI* parent, const wchar_t* layoutFile, bool withSteps)
{
    DuiLib::CDialogBuilder builder;
    CWizProgressBuilderCallbackEx steps(pm, parent);
    // The step indicator of the wizard pages and the result list are made
    // by the callback; a page without them never names them.
    (void)withSteps;
    CControlUI* root = builder.Create(layoutFile, (UINT)0, &steps, &pm, NULL);
    if (root)
        Add(root);
}
