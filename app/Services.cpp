#include "app/Services.h"

#include "app/WindowMessages.h"
#include "core/Helpers.h"
#include "core/Settings.h"
#include "engine/ScanDiskDlg.h"
#include "net/ReportClient.h"
#include "storage/VolumeList.h"

namespace {

// The program's report client.
class CClientReporter : public IUsageReporter
{
public:
    virtual void AddEvent(const wchar_t* name, int count, int value, const wchar_t* text)
    {
        g_ReportClient.AddEvent(name, count, value, text);
    }
    virtual bool SendAction(int type, bool async) { return g_ReportClient.SendAction(type, async); }
    virtual bool SendEvents() { return SendExitReport(); }
    virtual bool SendErrorFile(const wchar_t* path, bool async) { return g_ReportClient.SendErrorFile(path, async); }
};

CClientReporter g_ClientReporter;
IUsageReporter* g_pReporter = &g_ClientReporter;

PartitionScanFactory g_pfnPartitionScan = NewPartitionScanControl;

}  // namespace

IUsageReporter& UsageReporter()
{
    return *g_pReporter;
}

IUsageReporter* SetUsageReporter(IUsageReporter* reporter)
{
    IUsageReporter* old = g_pReporter;
    g_pReporter = reporter ? reporter : &g_ClientReporter;
    return old;
}

void AddUsageEvent(const wchar_t* name)
{
    UsageReporter().AddEvent(name, 1, 0, NULL);
}

bool IUsageReporter::SendSuggest(const wchar_t* content, const wchar_t* contact)
{
    return g_ReportClient.SendSuggest(content, contact);
}

bool StartControllerScan(CScanDiskDlg& dlg, const wchar_t* folder, int option)
{
    (void)option;
    return dlg.StartScan(folder, true);
}

bool StartControllerRecycleScan(CScanDiskDlg& dlg)
{
    return dlg.StartRecycleScan();
}

HANDLE OpenControllerTarget(CScanDiskDlg& dlg)
{
    wchar_t device[MAX_PATH] = {};
    HANDLE h = dlg.OpenScanTarget(device, MAX_PATH);
    return h ? h : INVALID_HANDLE_VALUE;
}

bool IsSupportedFileSystem(const CVolumeInfo* volume)
{
    return volume && CScanDiskDlg::IsSupportedFileSystem(volume->m_strFileSystem.c_str());
}

PartitionScanFactory SetPartitionScanFactory(PartitionScanFactory factory)
{
    PartitionScanFactory old = g_pfnPartitionScan;
    g_pfnPartitionScan = factory ? factory : NewPartitionScanControl;
    return old;
}

IPartitionScanControl* CreatePartitionScanControl(CMainFrame* frame)
{
    return g_pfnPartitionScan(frame);
}
