// What the window layer uses of parts of the program that are built
// elsewhere: the usage reporter, the updater and companion installers, the
// scan controller's starts and the partition scan control; and the entry
// points of the dialogs (each in its own file). Where that code is not built
// yet, a stand-in here does nothing the user can see, until the real code is
// linked in through the same functions.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

class CScanDiskDlg;
class CVolumeInfo;
class CPhysicalDiskInfo;
class CPartitionInfo;
class CMainFrame;

// ---- usage reporter ----
// The window layer's way to the report client (net/ReportClient.h), which
// tests replace with a recorder.
class IUsageReporter
{
public:
    virtual ~IUsageReporter() {}
    // Queues a usage event (name, count, value, optional text).
    virtual void AddEvent(const wchar_t* name, int count, int value, const wchar_t* text) = 0;
    // Action reports: 2 uninstall, 3 start.
    virtual bool SendAction(int type, bool async) = 0;
    // Sends the queued events (at exit, synchronously).
    virtual bool SendEvents() = 0;
    // Hands a crash dump to the uploader.
    virtual bool SendErrorFile(const wchar_t* path, bool async) = 0;
    // The feedback form's text and contact, sent at once; true when the
    // server took it. By default through the report client.
    virtual bool SendSuggest(const wchar_t* content, const wchar_t* contact);
};
IUsageReporter& UsageReporter();
// Replaces the reporter (NULL restores the report client); returns the
// previous one.
IUsageReporter* SetUsageReporter(IUsageReporter* reporter);
// Queues the usage event name with count 1, value 0 and no text.
void AddUsageEvent(const wchar_t* name);

// ---- start-up services ----
// The updater (app/UpdateServices.cpp): true when a downloaded installer
// waits and the user chose to run it now (start-up then ends).
bool RunPendingInstaller();
void StartDailyUpdateCheck(HWND reportWindow);
void StartManualUpdateCheck(HWND reportWindow, HICON icon);
// WMU_NewVersionFound: wParam 0 the update dialog, 1 and 2 the manual
// check's "no version information" and "newest version" notes.
void OnUpdateCheckResult(HWND owner, WPARAM what);
// The exit path: waits at most ms for a running update check; false when
// it still runs.
bool EndUpdateCheck(DWORD ms);
// Companion-program guide of "/install-guide" and of "RecoverMobileButton"
// (the small chooser instead, inside the program, when the UI language is
// not simplified Chinese).
void ShowInstallGuide(HWND owner, bool inProgram);
// The decoder package's download and silent installation.
void ShowDecoderInstallDialog(HWND owner);

// ---- dialogs of the title menu and the bottom bar ----
void ShowAboutDialog(HWND owner);
void ShowSettingDialog(HWND owner);
void ShowFeedbackDialog(HWND owner);
void ShowUpdateDialog(HWND owner);
void ShowLostPartitionDialog(CMainFrame* frame);
// Scan-path dialog over path; true when the user confirmed it.
bool ShowScanPathDialog(HWND owner, std::wstring& path);

// The part of a device that a deep scan reads: bytes [start, end), end 0 for
// the device's end. Chosen in the scan-range dialog for a device of
// u64DeviceSize bytes (0: nothing chosen, the whole device is read).
struct ScanRange
{
    unsigned long long u64Start = 0;
    unsigned long long u64End = 0;
    unsigned long long u64DeviceSize = 0;
};
// Scan-range dialog over a device of deviceSize bytes; "OK" writes the
// chosen range into range.
void ShowScanRangeDialog(HWND owner, unsigned long long deviceSize, ScanRange* range);

// ---- scan controller starts ----
// Starts the scan of ScanKind with the folder limit (NULL: whole volume);
// false when refused (a scan still runs, or no thread). With nothing to
// scan the controller posts WMU_ScanDone itself.
bool StartControllerScan(CScanDiskDlg& dlg, const wchar_t* folder, int option);
bool StartControllerRecycleScan(CScanDiskDlg& dlg);
// A read-only handle of the controller's target, INVALID_HANDLE_VALUE on failure.
HANDLE OpenControllerTarget(CScanDiskDlg& dlg);
// The controller's volume has a file system the scans read.
bool IsSupportedFileSystem(const CVolumeInfo* volume);

// ---- partition scan control ----
class CPartitionScanControl;
class IPartitionScanControl
{
public:
    virtual ~IPartitionScanControl() {}
    virtual void ResetScan(bool keepDisk) = 0;
    virtual void ClearLostPartitions() = 0;
    virtual void SetDisk(int diskNumber, CPhysicalDiskInfo* disk) = 0;
    virtual void SetReportWindow(HWND window) = 0;
    // Reads the disk's table against its volumes and appends the lost
    // partitions it finds to the control's list.
    virtual bool QuickParsePartition(const std::vector<CVolumeInfo*>& volumes) = 0;
    virtual int GetLostPartitionCount() = 0;
    virtual CPartitionInfo* GetLostPartition(int index) = 0;
    virtual std::wstring GetPartitionLabel(const CPartitionInfo* partition) = 0;
    virtual bool StartPartitionScan(CPartitionInfo* partition) = 0;
    virtual bool StartLostPartitionSearch() = 0;
    virtual bool IsRunning() = 0;
    virtual bool IsPaused() = 0;
    virtual void PauseScan() = 0;
    virtual void ResumeScan() = 0;
    // Opens the gate, asks the worker to stop and waits, pumping messages.
    virtual void StopSearch() = 0;
    // The engine's control behind the seam (null for a stand-in).
    virtual CPartitionScanControl* GetControl() { return NULL; }
};
// The engine's partition scan control behind the seam: what a frame gets.
IPartitionScanControl* NewPartitionScanControl(CMainFrame* frame);
typedef IPartitionScanControl* (*PartitionScanFactory)(CMainFrame* frame);
// The control a new frame gets; tests install their own.
PartitionScanFactory SetPartitionScanFactory(PartitionScanFactory factory);
IPartitionScanControl* CreatePartitionScanControl(CMainFrame* frame);
