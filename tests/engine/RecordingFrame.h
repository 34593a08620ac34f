// A stand-in for the main window that records what the scan engine hands it:
// carved hits, progress payloads and scan-done messages. It has no window (a
// window would start a desktop process under Wine): what scan threads post
// to the frame is queued through the controller's message sink, and
// PumpMessages delivers it on the calling thread, as a message loop would.
#pragma once
#include <windows.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "engine/DeepScanEngine.h"
#include "engine/FormatPluginRegistry.h"
#include "engine/MainFrameServices.h"
#include "engine/ScanDiskDlg.h"

class CRecordingFrame : public IMainFrameServices
{
public:
    struct Progress { int done, total; bool active; std::wstring status, remain; };

    CRecordingFrame();
    ~CRecordingFrame() override;

    HWND GetFrameWindow() override { return m_hWnd; }
    CScanDiskDlg* GetScanDiskDlg() override { return &m_scanDlg; }
    CFormatPluginRegistry* GetPluginRegistry() override { return m_pRegistry; }
    int AddCarvedFile(DeepScanHit* hit) override;

    void SetRegistry(CFormatPluginRegistry* registry) { m_pRegistry = registry; }
    // Refuses the n-th offered hit (1-based), as the frame does for an unselected type.
    void RefuseCall(unsigned int n) { m_refused.insert(n); }
    // Called on the scan thread for every hit offered, before it is kept.
    std::function<void(const DeepScanHit&)> onOffer;

    // Delivers what scan threads posted so far.
    void PumpMessages();

    const std::vector<DeepScanHit*>& Hits() const { return m_hits; }
    const std::vector<Progress>& ProgressReports() const { return m_progress; }
    unsigned int OfferCount() const { return m_offers; }

private:
    struct Posted { UINT msg; WPARAM wParam; LPARAM lParam; };
    static void QueueMessage(void* self, UINT msg, WPARAM wParam, LPARAM lParam);
    void Receive(UINT msg, WPARAM wParam, LPARAM lParam);

    HWND m_hWnd;
    CScanDiskDlg m_scanDlg;
    CFormatPluginRegistry* m_pRegistry;
    std::set<unsigned int> m_refused;
    std::vector<DeepScanHit*> m_hits;
    std::vector<Progress> m_progress;
    unsigned int m_offers;
    std::vector<Posted> m_posted;  // guarded by m_cs
    CRITICAL_SECTION m_cs;
};
