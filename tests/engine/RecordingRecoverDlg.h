// A stand-in for the recovery dialog: a message window on the creating
// thread that owns the recovery worker, records what the worker posts
// (progress, status lines, the end of the run) and answers WMU_RecoverDone
// by stopping the worker, as the dialog does.
#pragma once
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/RecoverProcess.h"

class CRecordingRecoverDlg
{
public:
    CRecordingRecoverDlg(IMainFrameServices* frame, const std::wstring& target, int remainFullPath,
                         bool singleFile);
    ~CRecordingRecoverDlg();

    HWND GetHwnd() const { return m_hWnd; }
    CRecoverProcessWorker& Worker() { return *m_worker; }

    // "windowinit": starts the worker.
    bool Start() { return m_worker->Start(m_hWnd); }
    // Pumps until the worker posted the end of the run (at most timeoutMs);
    // false on time-out.
    bool WaitForEnd(DWORD timeoutMs);
    void PumpMessages();

    const std::vector<int>& PerMille() const { return m_perMille; }
    const std::vector<RecoverStatusText>& Statuses() const { return m_statuses; }
    int DoneMessages() const { return m_nDone; }
    bool Finished() const { return m_bFinished; }
    const RecoverFinishedInfo& FinishedInfo() const { return m_finished; }

private:
    static LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

    HWND m_hWnd = nullptr;
    std::unique_ptr<CRecoverProcessWorker> m_worker;
    std::vector<int> m_perMille;
    std::vector<RecoverStatusText> m_statuses;
    int m_nDone = 0;
    bool m_bFinished = false;
    RecoverFinishedInfo m_finished;
};
