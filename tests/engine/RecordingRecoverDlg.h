// A stand-in for the recovery dialog: it owns the recovery worker, records
// what the worker and the readers send it (progress, status lines, the end
// of the run) and answers WMU_RecoverDone by stopping the worker, as the
// dialog does. It has no window (a window costs a desktop process under
// Wine): messages are queued through the sinks, and PumpMessages delivers
// them on the calling thread, as a message loop would.
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

    CRecoverProcessWorker& Worker() { return *m_worker; }
    // Messages of this reader or worker come here too.
    void Attach(CRecoverFile& reader) { reader.SetMessageSink(&CRecordingRecoverDlg::Queue, this); }
    void Attach(CRecoverProcessWorker& worker) { worker.SetDialogMessageSink(&CRecordingRecoverDlg::Queue, this); }

    // "windowinit": starts the worker (with the dialog's window, when a test
    // gives one: messages still come here).
    bool Start(HWND window = nullptr) { return m_worker->Start(window); }
    // Pumps until the worker sent the end of the run and ended (at most
    // timeoutMs); false on time-out.
    bool WaitForEnd(DWORD timeoutMs);
    void PumpMessages();

    const std::vector<int>& PerMille() const { return m_perMille; }
    const std::vector<RecoverStatusText>& Statuses() const { return m_statuses; }
    int DoneMessages() const { return m_nDone; }
    bool Finished() const { return m_bFinished; }
    const RecoverFinishedInfo& FinishedInfo() const { return m_finished; }

private:
    struct Posted { UINT msg; WPARAM wParam; LPARAM lParam; };
    static void Queue(void* self, UINT msg, WPARAM wParam, LPARAM lParam);
    void Receive(UINT msg, WPARAM wParam);

    std::unique_ptr<CRecoverProcessWorker> m_worker;
    std::vector<Posted> m_posted;  // guarded by m_cs
    CRITICAL_SECTION m_cs;
    std::vector<int> m_perMille;
    std::vector<RecoverStatusText> m_statuses;
    int m_nDone = 0;
    bool m_bFinished = false;
    RecoverFinishedInfo m_finished;
};
