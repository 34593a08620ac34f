// A stand-in for the main window that records what the scan engine hands it:
// carved hits, progress payloads and scan-done messages. Its message window
// lives on the creating thread; PumpMessages drains what scan threads posted.
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

    void PumpMessages();

    const std::vector<DeepScanHit*>& Hits() const { return m_hits; }
    const std::vector<Progress>& ProgressReports() const { return m_progress; }
    unsigned int OfferCount() const { return m_offers; }

private:
    static LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

    HWND m_hWnd;
    CScanDiskDlg m_scanDlg;
    CFormatPluginRegistry* m_pRegistry;
    std::set<unsigned int> m_refused;
    std::vector<DeepScanHit*> m_hits;
    std::vector<Progress> m_progress;
    unsigned int m_offers;
    CRITICAL_SECTION m_cs;
};
