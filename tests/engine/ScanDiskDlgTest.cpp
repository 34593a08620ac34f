#include <gtest/gtest.h>

#include <ctime>

#include "RecordingFrame.h"

namespace {

TEST(ScanDiskDlg, GateStopAndPauseStates) {
  CRecordingFrame frame;
  CScanDiskDlg& dlg = *frame.GetScanDiskDlg();
  EXPECT_TRUE(dlg.IsStopRequested());  // idle
  EXPECT_EQ(1, dlg.GetTargetKind());
  dlg.PauseScan();                     // nothing to pause
  EXPECT_FALSE(dlg.IsPaused());
  dlg.WaitGate();                      // no gate: returns at once

  dlg.BeginScanState();
  EXPECT_FALSE(dlg.IsStopRequested());
  ASSERT_NE(nullptr, dlg.m_hGate);
  EXPECT_EQ((DWORD)WAIT_OBJECT_0, WaitForSingleObject(dlg.m_hGate, 0));
  dlg.PauseScan();
  EXPECT_TRUE(dlg.IsPaused());
  EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(dlg.m_hGate, 0));
  dlg.StopScan();  // wakes a paused worker and asks it to stop
  EXPECT_TRUE(dlg.IsStopRequested());
  EXPECT_EQ((DWORD)WAIT_OBJECT_0, WaitForSingleObject(dlg.m_hGate, 0));
  dlg.OnScanThreadExit();
  EXPECT_EQ(nullptr, dlg.m_hGate);
  dlg.ResumeScan();  // after the worker ended: harmless
}

TEST(ScanDiskDlg, ProgressPayloadCarriesTextsAndRemainingTime) {
  CRecordingFrame frame;
  CScanDiskDlg& dlg = *frame.GetScanDiskDlg();
  dlg.BeginScanState();
  dlg.m_i64StartTime = _time64(nullptr) - 3600;  // an hour for 1/20000 of the work
  std::wstring text = dlg.FormatScanningText(42);
  EXPECT_NE(std::wstring::npos, text.find(L"42"));
  // The remaining-time text is recomputed at most once a second.
  for (int i = 0; i < 3; ++i) {
    dlg.ReportProgress(1, 20000, text.c_str(), true, true);
    Sleep(1100);
  }
  dlg.ReportProgress(0, 20000, nullptr, false, true);  // done 0: no estimate
  frame.PumpMessages();
  const auto& reports = frame.ProgressReports();
  ASSERT_EQ(4u, reports.size());
  EXPECT_EQ(text, reports[0].status);
  EXPECT_EQ(1, reports[0].done);
  EXPECT_EQ(20000, reports[0].total);
  EXPECT_TRUE(reports[0].active);
  EXPECT_NE(std::wstring::npos, reports[2].remain.find(L"99:")) << reports[2].remain.c_str();
  EXPECT_TRUE(reports[3].remain.empty());
  EXPECT_TRUE(reports[3].status.empty());
  EXPECT_FALSE(reports[3].active);
  dlg.OnScanThreadExit();
}

TEST(ScanDiskDlg, ProgressWithoutAFrameWindowIsFreedQuietly) {
  struct NoWindow : CRecordingFrame {
    HWND GetFrameWindow() override { return nullptr; }
  } frame;
  frame.GetScanDiskDlg()->ReportProgress(5, 20000, L"x", true, true);
  frame.GetScanDiskDlg()->ReportProgress(5, 20000, L"x", true, false);
  frame.PumpMessages();
  EXPECT_TRUE(frame.ProgressReports().empty());
}

TEST(ScanDiskDlg, ProgressPayloadLayout) {
#if defined(_WIN64)
  EXPECT_EQ(32u, sizeof(ScanProgressInfo));
#else
  EXPECT_EQ(20u, sizeof(ScanProgressInfo));
#endif
  EXPECT_EQ(1029, WMU_ScanDone);
  EXPECT_EQ(1031, WMU_ScanProgress);
}
}  // namespace
