// report KIND SERVER [FILE]
//
// Configures the report client the way start-up does, with SERVER (such as
// 127.0.0.1:8080) as the report server, sends one report synchronously and
// prints the page it posted to and the server's verdict. KIND is first,
// uninstall, start, update, events, error, feedback or crashdump (with FILE).
// Exit code 0 when the server accepted the report, 1 when not, 2 on misuse.
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "core/Helpers.h"
#include "core/Settings.h"
#include "net/ReportClient.h"

namespace {

int Usage() {
  fwprintf(stderr,
           L"usage: report KIND SERVER [FILE]\n"
           L"  KIND: first | uninstall | start | update | events | error | feedback | crashdump FILE\n");
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return Usage();
  const std::wstring kind = argv[1];
  InitApplicationPaths();
  g_OemInfo.Load(GetAppFilePath(L"oem.ini").c_str());
  ConfigureReportClient(argv[2]);

  static const struct {
    const wchar_t* name;
    int action;
  } kActions[] = {{L"first", CReportClient::kFirstStart},
                  {L"uninstall", CReportClient::kUninstall},
                  {L"start", CReportClient::kStart},
                  {L"update", CReportClient::kUpdateDownloaded}};
  int page = 0;
  bool ok = false;
  for (const auto& a : kActions)
    if (kind == a.name) {
      page = a.action;
      ok = g_ReportClient.SendAction(a.action, false);
    }
  if (page == 0) {
    if (kind == L"events") {
      page = CReportClient::kEvents;
      g_ReportClient.AddEvent(L"Mode_Standard");
      g_ReportClient.AddEvent(L"OnRecoverDeletedFile");
      g_ReportClient.AddEvent(L"RecoverFormat", 2, 1, L"jpg");
      g_ReportClient.AddEvent(L"RecoverCount", 2);
      ok = g_ReportClient.SendEvents(false);
    } else if (kind == L"error") {
      page = CReportClient::kError;
      ok = g_ReportClient.SendError(L"report tool: sample error", false);
    } else if (kind == L"feedback") {
      page = CReportClient::kFeedback;
      ok = g_ReportClient.SendSuggest(L"report tool: sample feedback", L"tester@example.org");
    } else if (kind == L"crashdump") {
      if (argc < 4) return Usage();
      page = CReportClient::kErrorFile;
      wchar_t full[MAX_PATH];
      DWORD n = GetFullPathNameW(argv[3], MAX_PATH, full, nullptr);
      ok = g_ReportClient.SendErrorFile(n && n < MAX_PATH ? full : argv[3], false);
    } else {
      return Usage();
    }
  }
  wprintf(L"page: %ls\nverdict: %ls\n", g_ReportClient.MakeReportUrl(CReportClient::PageOfKind(page)).c_str(),
          ok ? L"accepted" : L"refused");
  return ok ? 0 : 1;
}
