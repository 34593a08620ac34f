#include "engine/SaveLoadWorkers.h"

#include "core/Helpers.h"
#include "core/Language.h"
#include "engine/ScanDiskDlg.h"
#include "engine/ScanResultFile.h"

namespace
{
const char kReadResultDataErrorKey[] = "UmVhZFJlc3VsdERhdGFFcnJvcg==";  // "ReadResultDataError"
}

CResultFileWorker::CResultFileWorker(IMainFrameServices* owner, const wchar_t* path)
    : m_pOwner(owner), m_strPath(path ? path : L""), m_bStop(false), m_bResult(false),
      m_hThread(nullptr)
{
}

CResultFileWorker::~CResultFileWorker()
{
    // Derived destructors stop and join first (Run is theirs).
    WaitForEnd(INFINITE);
}

int CResultFileWorker::ProgressPerMille(WPARAM done, LPARAM total)
{
    if (total == 0)
        return 0;
    return (int)((double)done * 1000.0 / (double)total);
}

bool CResultFileWorker::StartThread(const DialogTarget& dialog)
{
    if (m_hThread && !WaitForEnd(0))
        return false;
    m_dialog = dialog;
    m_bResult = false;
    m_hThread = CreateThread(nullptr, 0, ThreadProc, this, 0, nullptr);
    return m_hThread != nullptr;
}

DWORD WINAPI CResultFileWorker::ThreadProc(LPVOID param)
{
    CResultFileWorker* self = (CResultFileWorker*)param;
    self->m_bResult = self->Run();
    self->m_dialog.Post(WM_CLOSE, 0, 0);
    return 0;
}

bool CResultFileWorker::IsRunning() const
{
    return m_hThread && WaitForSingleObject(m_hThread, 0) == WAIT_TIMEOUT;
}

bool CResultFileWorker::WaitForEnd(DWORD milliseconds)
{
    if (!m_hThread)
        return true;
    const DWORD r = milliseconds == 0 ? WaitForSingleObject(m_hThread, 0)
                                      : WaitWithMessagePump(m_hThread, milliseconds, TRUE);
    if (r != WAIT_OBJECT_0)
        return false;
    CloseHandle(m_hThread);
    m_hThread = nullptr;
    return true;
}

CSaveResultWorker::~CSaveResultWorker()
{
    RequestStop();
    WaitForEnd(INFINITE);
}

bool CSaveResultWorker::Run()
{
    CScanResultFile file(m_pOwner, m_strPath.c_str(), m_dialog, &m_bStop);
    return ScanKind == SCAN_KIND_DEEP ? file.WriteDeepScanResult() : file.WriteScanResult();
}

CLoadDataWorker::~CLoadDataWorker()
{
    RequestStop();
    WaitForEnd(INFINITE);
}

bool CLoadDataWorker::StartLoad(const DialogTarget& dialog)
{
    m_nKind = CScanResultFile::ReadKind(m_strPath.c_str());
    if (m_nKind < 0)
    {
        ErrorBoxByBase64Key(kReadResultDataErrorKey, dialog.window);
        dialog.Post(WM_CLOSE, 0, 0);
        return false;
    }
    return StartThread(dialog);
}

bool CLoadDataWorker::Run()
{
    CScanResultFile file(m_pOwner, m_strPath.c_str(), m_dialog, &m_bStop);
    if (m_nKind == SCAN_KIND_DEEP)
        return file.ReadDeepScanResult();
    if (m_nKind == SCAN_KIND_LOST_PARTITION)
        return file.ReadDiskScanResult();
    return file.ReadVolumeScanResult();
}
