// A skinned dialog with one download worker: the worker's progress fills
// "progress", and every way of closing (button, Escape, Alt+F4, the
// destructor) stops the worker first, from the window's thread, with a
// bounded wait. The worker holds its own reference to the assistant, so
// one that outlasts the wait finishes on its own and posts nothing more.
#pragma once
#include "app/WindowImplBaseShw.h"

class CDownLoadAssistant;

class CDownloadDialog : public CSkinDialog
{
public:
    // How long closing waits for a running worker.
    static const DWORD kCloseWaitMs = 30000;

    explicit CDownloadDialog(const wchar_t* layoutName);
    virtual ~CDownloadDialog();

    virtual LRESULT HandleCustomMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
    virtual LRESULT OnClose(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);

protected:
    // Window init: the frame image, and the assistant aimed at this window.
    void InitDownloadWindow();
    // Cancels and waits (bounded) for the worker; clears its handle.
    void StopWorker();

    CDownLoadAssistant* m_pAssistant;
    HANDLE m_hThread;
};
