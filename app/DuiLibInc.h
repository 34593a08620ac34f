// DuiLib for the program's windows. The library brings a drop-shadow class
// of its own under the name this program uses for its shadow; it is renamed
// here so that only ours is seen.
#pragma once
#define CWndShadow DuiLibOwnWndShadow
#include <UIlib.h>
#undef CWndShadow

using DuiLib::CControlUI;
using DuiLib::CContainerUI;
using DuiLib::CDuiString;
using DuiLib::CPaintManagerUI;
using DuiLib::TNotifyUI;
