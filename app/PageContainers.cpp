#include "app/PageContainers.h"

CControlUI* CWizProgressBuilderCallbackEx::CreateControl(LPCTSTR pstrClass)
{
    if (pstrClass && wcscmp(pstrClass, L"WizProgress") == 0)
        return new CWizProgressControl(m_pm, m_pParent);
    return NULL;
}

CLayoutPageUI::CLayoutPageUI(CPaintManagerUI& pm, CControlUI* parent, const wchar_t* layoutFile, bool withSteps)
{
    DuiLib::CDialogBuilder builder;
    CWizProgressBuilderCallbackEx steps(pm, parent);
    CControlUI* root = builder.Create(layoutFile, (UINT)0, withSteps ? &steps : NULL, &pm, NULL);
    if (root)
        Add(root);
}
