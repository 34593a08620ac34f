// The settings dialog: how unreadable sectors are handled (skipped or not,
// how many at a time, the pattern put in their place), the cluster size of
// raw disks and the enhanced previewer. "OK" stores the values and hands the
// bad-sector ones to the sector engine at once.
#pragma once
#include <cstdint>

#include "app/WindowImplBaseShw.h"

class CSettingDlg : public CSkinDialog
{
public:
    CSettingDlg();

    virtual void Notify(TNotifyUI& msg);

    // Cluster sizes offered: 512 << index for the indexes below this count
    // (the sizes the settings accept).
    enum { kClusterChoices = 5 };
    // The entry of a size, -1 when the size is not offered.
    static int ClusterIndexOfSize(uint32_t size);
    // The size of an entry, 0 for an index out of range.
    static uint32_t ClusterSizeOfIndex(int index);
    // The skip count of the edit's text: 1 to 65535 written in digits only;
    // 0 for anything else.
    static uint32_t ParseSkipCount(const wchar_t* text);

private:
    void OnWindowInit();
    void LoadValues();
    void LoadDefaults();
    // False (after telling the user) when the skip count is refused.
    bool Apply();
    void EnableBadSectorEdits(bool enable);

    DuiLib::COptionUI* m_pSkipBadSector;
    DuiLib::COptionUI* m_pEnhancePreviewer;
    DuiLib::CEditUI* m_pBadSectorNums;
    DuiLib::CEditUI* m_pBadSectorValue;
    DuiLib::CComboUI* m_pClusterSize;
};
