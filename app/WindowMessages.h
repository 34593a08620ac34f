// The program's own window messages, numbered from WM_USER. The scan
// engine's messages are declared with the engine, the result views' with the
// views, the tray icon's with the core helpers; the rest of the table is here.
#pragma once
#include <windows.h>

#include "core/Helpers.h"
#include "engine/MainFrameServices.h"
#include "views/ViewMessages.h"

enum
{
    WMU_ShowUDiskHint = WM_USER + 1,        // 1025: wParam 0 hide, 1 show "UDiskHint"
    WMU_PreviewSelected = WM_USER + 2,      // 1026
    WMU_ThumbnailReady = WM_USER + 18,      // 1042: wParam ThumbnailResult (sender's)
    WMU_RefreshFileList = WM_USER + 22,     // 1046
    WMU_NewVersionFound = WM_USER + 23,     // 1047
    WMU_PlayerPosition = WM_USER + 24,      // 1048
    WMU_PlayerDataLoaded = WM_USER + 25,    // 1049
    WMU_AddDiskItem = WM_USER + 29,         // 1053: wParam DiskListItemArgs (sender's)
    WMU_PreviewLoad = WM_USER + 30,         // 1054
    WMU_Recover = WM_USER + 33,             // 1057
    WMU_ShowGuide = WM_USER + 34,           // 1058
    WMU_SelectLostPartition = WM_USER + 38, // 1062: wParam partition
    WMU_DiskListFilled = WM_USER + 39,      // 1063
    WMU_ShowInitHint = WM_USER + 40,        // 1064: wParam 0 or 1
    WMU_SortResults = WM_USER + 43,         // 1067: wParam element, lParam index

    // The frame's own messages between its threads and its window.
    WMU_ClearDiskLists = WM_USER + 61,      // sent by the disk enumeration before it frees the lists
    WMU_DiskEnumDone = WM_USER + 62,        // posted when the disk enumeration thread ends
    WMU_AddLostPartition = WM_USER + 63,    // sent by the partition search: wParam CPartitionInfo*
    WMU_GuideDone = WM_USER + 64,           // posted when the first-use guide's window goes
    WMU_FirstResult = WM_USER + 65,         // posted by the intake when a scan's first finding is kept
    WMU_TileCheckDone = WM_USER + 66,       // posted by the tile check two seconds after a new result
    WMU_ClearResults = WM_USER + 67,        // sent by a result-file worker: ClearScanResults
    WMU_StartResultRefresh = WM_USER + 68,  // sent by a result-file worker: StartResultRefresh
    WMU_IntakeMore = WM_USER + 69,          // posted by the intake: the next slice of its tick
    WMU_ShowMessageBox = WM_USER + 81,      // sent by a worker thread: lParam MessageBoxRequest*
};
static_assert(WMU_AddDiskItem == 1053 && WMU_ShowGuide == 1058 && WMU_SortResults == 1067, "message numbers");
