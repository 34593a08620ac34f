// The small modal dialogs that watch a worker thread: the recovery run, and
// the saving and loading of a scan result. Each starts its worker when its
// window is initialised, shows the worker's progress, offers Stop and Close,
// and goes when the worker ends. The workers never touch the controls: they
// post to the dialog's window.
#pragma once
#include <memory>
#include <string>

#include "app/WindowImplBaseShw.h"
#include "engine/RecoverProcess.h"
#include "engine/SaveLoadWorkers.h"

class CMainFrame;

class CRecoverProcessDlg : public CSkinDialog
{
public:
    // target: the folder, or the file in single-file mode; remainFullPath:
    // keep the entries' folders (carved hits: one folder per type).
    CRecoverProcessDlg(CMainFrame* frame, const std::wstring& target, int remainFullPath, bool singleFile);
    ~CRecoverProcessDlg();

    virtual void Notify(TNotifyUI& msg);
    virtual LRESULT HandleCustomMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
    virtual LRESULT OnClose(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);

    // "btnStop" and WMU_RecoverDone: the worker ends after the current chunk.
    void Stop();
    // After the modal run: how it ended.
    bool IsFinished() const { return m_bFinished; }
    const RecoverFinishedInfo& GetFinishedInfo() const { return m_finished; }
    CRecoverProcessWorker& Worker() { return *m_worker; }

private:
    void OnWindowInit();

    CMainFrame* m_pFrame;
    std::wstring m_strTarget;
    std::unique_ptr<CRecoverProcessWorker> m_worker;
    DuiLib::CProgressUI* m_pProgress;
    bool m_bStarted;
    bool m_bFinished;
    bool m_bCloseAsked;
    RecoverFinishedInfo m_finished;
};

// The save and load dialogs: one worker of the result file each.
class CResultFileDlg : public CSkinDialog
{
public:
    virtual void Notify(TNotifyUI& msg);
    virtual LRESULT HandleCustomMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);

    // "btnStop" and WMU_RecoverDone.
    void RequestStop();
    // The progress control's value after done of total.
    void SetProgressPerMille(WPARAM done, LPARAM total);
    int GetProgressValue() const { return m_pProgress ? m_pProgress->GetValue() : 0; }
    bool GetResult() const { return m_worker && m_worker->GetResult(); }
    // Waits for the worker (pumping) once the window is gone.
    void WaitForWorker();

protected:
    CResultFileDlg(const wchar_t* layout, const wchar_t* progressName, CResultFileWorker* worker);
    virtual bool StartWorker() = 0;

    std::unique_ptr<CResultFileWorker> m_worker;

private:
    std::wstring m_strProgressName;
    DuiLib::CProgressUI* m_pProgress;
};

class CSaveResultDlg : public CResultFileDlg
{
public:
    CSaveResultDlg(IMainFrameServices* owner, const std::wstring& path);

protected:
    bool StartWorker() override;
};

class CLoadDataDlg : public CResultFileDlg
{
public:
    CLoadDataDlg(IMainFrameServices* owner, const std::wstring& path);
    int GetKind() const;

protected:
    bool StartWorker() override;
};
