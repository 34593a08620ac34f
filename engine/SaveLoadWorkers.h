// The workers behind the save and load dialogs. Each dialog starts one as
// soon as its window is initialised; the worker runs the writer or reader of
// the scan-result file on its own thread, posts WMU_RecoverProgress (wParam
// done, lParam total) to the dialog's window and closes it (WM_CLOSE) when it
// ends. The worker never touches the dialog's controls. The dialog's Stop
// calls RequestStop; closing the dialog destroys the worker, which stops and
// joins its thread first.
#pragma once
#include <windows.h>

#include <atomic>
#include <string>

#include "engine/FrameMessage.h"

class IMainFrameServices;

class CResultFileWorker
{
public:
    CResultFileWorker(IMainFrameServices* owner, const wchar_t* path);
    virtual ~CResultFileWorker();

    // Asks the worker to end after the record in hand (a save then deletes
    // its file; a load drops what it read).
    void RequestStop() { m_bStop = true; }
    bool IsStopRequested() const { return m_bStop; }
    // Waits for the worker to end (pumping messages) and closes its handle.
    // True when no worker runs any more.
    bool WaitForEnd(DWORD milliseconds);
    bool IsRunning() const;
    bool GetResult() const { return m_bResult; }
    const std::wstring& GetPath() const { return m_strPath; }

    // The progress control's value for WMU_RecoverProgress: done x 1000 /
    // total in floating point, truncated (0 for a total of 0).
    static int ProgressPerMille(WPARAM done, LPARAM total);

protected:
    bool StartThread(const DialogTarget& dialog);
    virtual bool Run() = 0;

    IMainFrameServices* m_pOwner;
    std::wstring m_strPath;
    DialogTarget m_dialog;
    std::atomic<bool> m_bStop;
    volatile bool m_bResult;

private:
    CResultFileWorker(const CResultFileWorker&);
    CResultFileWorker& operator=(const CResultFileWorker&);
    static DWORD WINAPI ThreadProc(LPVOID param);

    HANDLE m_hThread;
};

class CSaveResultWorker : public CResultFileWorker
{
public:
    CSaveResultWorker(IMainFrameServices* owner, const wchar_t* path) : CResultFileWorker(owner, path) {}
    ~CSaveResultWorker() override;
    // Writes the frame's result (a deep result when ScanKind is 1).
    bool StartSave(const DialogTarget& dialog) { return StartThread(dialog); }

protected:
    bool Run() override;
};

class CLoadDataWorker : public CResultFileWorker
{
public:
    CLoadDataWorker(IMainFrameServices* owner, const wchar_t* path) : CResultFileWorker(owner, path), m_nKind(-1) {}
    ~CLoadDataWorker() override;
    // Reads the file's kind digit; a file that cannot be opened or whose
    // kind is not 0 to 4 shows "ReadResultDataError" over the dialog, closes
    // it and starts nothing (false).
    bool StartLoad(const DialogTarget& dialog);
    int GetKind() const { return m_nKind; }

protected:
    bool Run() override;

private:
    int m_nKind;
};
