// Window messages the result views post to their owner (numbered from
// WM_USER with the rest of the program's table in app/WindowMessages.h).
#pragma once
#include <windows.h>

enum
{
    WMU_TreeSelChanged = WM_USER + 26,    // 1050: a node's label or icon was clicked
    WMU_TreeCheckChanged = WM_USER + 27,  // 1051: a check box was clicked, states propagated
    WMU_CheckAllState = WM_USER + 28,     // 1052: wParam the clicked node's state, 0 or 1
    WMU_TreeCheckClicked = WM_USER + 31,  // 1055: a check box was clicked, before propagation
    WMU_TreeWidthChanged = WM_USER + 35,  // 1059: wParam the tree's new width, 200 to 400
};
static_assert(WMU_TreeSelChanged == 1050 && WMU_TreeWidthChanged == 1059, "tree message numbers");
