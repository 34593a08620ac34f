// Every report kind as the stand-in server receives it, decrypted there by
// an independent AES and compared byte for byte; the verdict rules; the
// sender thread rules; the crash-dump upload and its start-up check.
#include <string>

#include "NetTestUtil.h"
#include "core/Helpers.h"
#include "core/Settings.h"
#include "net/MachineId.h"
#include "net/ReportClient.h"
#include "net/SysInfo.h"
#include "net/WebRequest.h"

using nettest::Base;
using nettest::WaitLog;

namespace {

void Configure(CReportClient& c, const std::wstring& opts) {
  c.SetServer(Base(opts).c_str());
  c.SetAppId(1);
  c.SetOsBit(true);
  c.SetChannelCode(L"P1");
  c.SetVersion(L"6.0.0.1");
  c.SetMachineCode(L"0123456789ABCDEF");
  c.SetOs(L"windows10");
}

std::string Plain(const std::wstring& tag) {
  Json::Value rec = WaitLog(tag);
  EXPECT_FALSE(rec.isNull()) << nettest::Narrow(tag);
  EXPECT_FALSE(rec["plain_b64"].isNull()) << "body is not a report under the key";
  return nettest::Bytes(rec, "plain_b64");
}

std::string Path(const std::wstring& tag) { return WaitLog(tag)["path"].asString(); }

std::string Ansi(const wchar_t* text) {
  char buf[64] = {};
  WideCharToMultiByte(CP_THREAD_ACP, 0, text, -1, buf, sizeof buf - 1, nullptr, nullptr);
  return buf;
}

const char kActionStart[] =
    "{\n"
    "   \"AppId\" : 1,\n"
    "   \"ChannelCode\" : \"P1\",\n"
    "   \"MachineCode\" : \"0123456789ABCDEF\",\n"
    "   \"Os\" : \"windows10\",\n"
    "   \"OsBit\" : 64,\n"
    "   \"TypeId\" : 3,\n"
    "   \"Version\" : \"6.0.0.1\"\n"
    "}\n";

class Reports : public ::testing::Test {
 protected:
  void SetUp() override { REQUIRE_SERVER(); }
};

TEST_F(Reports, ActionReportsBothWays) {
  CReportClient c;
  Configure(c, L"tag=act1");
  EXPECT_TRUE(c.SendAction(3, false));
  EXPECT_EQ(kActionStart, Plain(L"act1"));
  EXPECT_EQ("/report/action", Path(L"act1"));
  EXPECT_EQ("application/x-www-form-urlencoded", nettest::Header(WaitLog(L"act1"), "Content-Type"));

  // Asynchronous: every kind but events, error and upload goes to the action page.
  Configure(c, L"tag=act2");
  EXPECT_TRUE(c.SendAction(4, true));
  EXPECT_FALSE(c.IsSending(true));
  std::string plain = Plain(L"act2");
  EXPECT_NE(std::string::npos, plain.find("\"TypeId\" : 4,\n"));
  EXPECT_EQ("/report/action", Path(L"act2"));
}

TEST_F(Reports, EventReportTakesTheQueue) {
  CReportClient c;
  Configure(c, L"tag=ev1");
  EXPECT_FALSE(c.SendEvents(false));  // nothing queued: nothing sent
  c.AddEvent(L"OnStopScan");
  c.AddEvent(L"RecoverFormat", 3, 1, L"jpg");
  EXPECT_TRUE(c.SendEvents(false));
  EXPECT_EQ(0u, c.GetEventCount());
  EXPECT_EQ(
      "{\n"
      "   \"AppId\" : 1,\n"
      "   \"ChannelCode\" : \"P1\",\n"
      "   \"Logs\" : [\n"
      "      {\n"
      "         \"Code\" : \"OnStopScan\",\n"
      "         \"Mode\" : 1,\n"
      "         \"Times\" : 1,\n"
      "         \"Value\" : \"\"\n"
      "      },\n"
      "      {\n"
      "         \"Code\" : \"RecoverFormat\",\n"
      "         \"Mode\" : 2,\n"
      "         \"Times\" : 3,\n"
      "         \"Value\" : \"jpg\"\n"
      "      }\n"
      "   ],\n"
      "   \"MachineCode\" : \"0123456789ABCDEF\",\n"
      "   \"OsBit\" : 64,\n"
      "   \"Username\" : \"\",\n"
      "   \"Version\" : \"6.0.0.1\"\n"
      "}\n",
      Plain(L"ev1"));
  EXPECT_EQ("/report/event", Path(L"ev1"));

  // A failed post still empties the queue; nothing is retried.
  Configure(c, L"tag=ev2;status=500");
  c.AddEvent(L"OnLoadVHD");
  EXPECT_FALSE(c.SendEvents(false));
  EXPECT_EQ(0u, c.GetEventCount());
  Sleep(200);
  EXPECT_EQ(1, nettest::CountLogs(L"ev2"));

  // The queue is capped.
  for (int i = 0; i < 1100; ++i) c.AddEvent(L"OnSetPos");
  EXPECT_EQ(CReportClient::kMaxQueuedEvents, c.GetEventCount());
}

TEST_F(Reports, ErrorAndFeedbackTexts) {
  CReportClient c;
  Configure(c, L"tag=err1");
  EXPECT_TRUE(c.SendError(L"bad \"disk\"\tcaf\u00e9", false));
  // ANSI bytes, unescaped; the quote and the tab get their escapes.
  EXPECT_EQ(
      "{\n"
      "   \"AppId\" : 1,\n"
      "   \"ChannelCode\" : \"P1\",\n"
      "   \"Content\" : \"bad \\\"disk\\\"\\tcaf" +
          Ansi(L"\u00e9") +
          "\",\n"
          "   \"OsBit\" : 64,\n"
          "   \"Version\" : \"6.0.0.1\"\n"
          "}\n",
      Plain(L"err1"));
  EXPECT_EQ("/report/error", Path(L"err1"));

  Configure(c, L"tag=fb1");
  EXPECT_TRUE(c.SendSuggest(L"caf\u00e9\nline two", L"me@example.org"));
  EXPECT_EQ(
      "{\n"
      "   \"AppId\" : 1,\n"
      "   \"ChannelCode\" : \"P1\",\n"
      "   \"Contact\" : \"me@example.org\",\n"
      "   \"Content\" : \"caf\xC3\xA9\\nline two\",\n"
      "   \"OsBit\" : 64,\n"
      "   \"Version\" : \"6.0.0.1\"\n"
      "}\n",
      Plain(L"fb1"));
  EXPECT_EQ("/report/feedback", Path(L"fb1"));
}

TEST_F(Reports, VerdictIsTheRepliedNumber) {
  const struct {
    const wchar_t* opts;
    bool ok;
  } cases[] = {{L"body=1", true},
               {L"body=2", true},
               {L"body=%20%2B7", true},
               {L"body=0", false},
               {L"body=-3", false},
               {L"body=abc", false},
               {L"body=", false},
               {L"mode=nolen;body=1", false},
               {L"status=404;body=1", false},
               {L"mode=huge;body=1", false},
               {L"mode=early;body=1", false}};
  for (auto& k : cases) {
    CReportClient c;
    Configure(c, k.opts);
    EXPECT_EQ(k.ok, c.SendAction(3, false)) << nettest::Narrow(k.opts);
  }
  CReportClient down;
  Configure(down, L"");
  down.SetServer(nettest::ClosedPortBase().c_str());
  EXPECT_FALSE(down.SendAction(3, false));
}

TEST_F(Reports, OneSenderAtATime) {
  CReportClient c;
  Configure(c, L"tag=slow1;wait=1500");
  EXPECT_TRUE(c.SendAction(3, true));
  EXPECT_TRUE(c.IsSending(false));
  EXPECT_FALSE(c.SendAction(3, true));
  c.AddEvent(L"OnSetPath");
  EXPECT_FALSE(c.SendEvents(true));
  EXPECT_EQ(1u, c.GetEventCount());  // kept for later
  EXPECT_FALSE(c.SendError(L"x", true));
  EXPECT_FALSE(c.SendErrorFile(L"Z:\\nothing", true));
  EXPECT_FALSE(c.IsSending(true));
  Configure(c, L"tag=slow2");
  EXPECT_TRUE(c.SendEvents(true));
  EXPECT_TRUE(c.WaitSending(60000));
  EXPECT_EQ(1, nettest::CountLogs(L"slow1"));
  EXPECT_NE(std::string::npos, Plain(L"slow2").find("\"OnSetPath\""));
}

int FailingEncrypt(const uint8_t*, uint32_t, uint8_t**, uint32_t*, const char*) { return -1; }

TEST_F(Reports, FailedEncryptionSendsNothing) {
  CReportClient c;
  Configure(c, L"tag=enc1");
  c.SetEncryptHook(&FailingEncrypt);
  c.AddEvent(L"OnStopScan");
  EXPECT_FALSE(c.SendAction(3, false));
  EXPECT_FALSE(c.SendEvents(false));
  EXPECT_EQ(1u, c.GetEventCount());
  c.SetEncryptHook(nullptr);
  EXPECT_TRUE(c.SendEvents(false));
  EXPECT_EQ(1, nettest::CountLogs(L"enc1"));
}

TEST_F(Reports, ServerAddressesKeepSchemeAndPort) {
  CDefaultUrls plain(true, L"");
  EXPECT_EQ(0u, plain.m_strNewVersionUrl.find(L"http://"));
  CDefaultUrls local(true, L"127.0.0.1:8080/");
  EXPECT_EQ(L"http://127.0.0.1:8080/update/newversion.htm", local.m_strNewVersionUrl);
  EXPECT_EQ(L"http://127.0.0.1:8080/remotecfg.cab", local.m_strRemoteCfgUrl);
  EXPECT_EQ(L"127.0.0.1:8080", local.m_strReportHost);
  CDefaultUrls secure(false, L"https://stats.example:8443");
  EXPECT_EQ(L"https://stats.example:8443/update/patch.bin", secure.m_strPatchUrl);

  CReportClient c;
  Configure(c, L"");
  c.SetServer(L"stat.example:81");
  EXPECT_EQ(L"http://stat.example:81/report/event", c.MakeReportUrl("report/event"));
  const int before = nettest::CountLogs(L"tls");
  c.SetServer((L"https://" + Base(L"tag=tls2")).c_str());
  EXPECT_FALSE(c.SendAction(3, false));
  EXPECT_FALSE(WaitLog(L"tls", before + 1).isNull());
  EXPECT_EQ(0, nettest::CountLogs(L"tls2"));
}

class Uploads : public Reports {
 protected:
  void SetUp() override {
    Reports::SetUp();
    if (IsSkipped()) return;
    m_dir = testpaths::MakeTempDir(L"dump");
    m_dump = Write(L"Error.tmp", 5000);
  }
  std::wstring Write(const wchar_t* name, size_t size) {
    std::wstring path = m_dir + L"\\" + name;
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = (char)(i % 251);
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD w = 0;
    if (size) WriteFile(f, bytes.data(), (DWORD)size, &w, nullptr);
    CloseHandle(f);
    return path;
  }
  std::wstring m_dir, m_dump;
};

TEST_F(Uploads, CrashDumpVerdicts) {
  const struct {
    const wchar_t* opts;
    bool ok;
  } cases[] = {{L"tag=rup1;ctype=text%2Fplain", true},    {L"ctype=TEXT%2FHTML", true},
               {L"ctype=application%2Fjson", false},      {L"ctype=text%2Fplain;body=1%20", false},
               {L"ctype=text%2Fplain;body=1%0A", false},  {L"ctype=text%2Fplain;body=2", false},
               {L"ctype=text%2Fplain;status=500", false}, {L"ctype=text%2Fplain;mode=drop", false}};
  for (auto& k : cases) {
    CReportClient c;
    Configure(c, k.opts);
    EXPECT_EQ(k.ok, c.SendErrorFile(m_dump.c_str(), false)) << nettest::Narrow(k.opts);
  }
  Json::Value rec = WaitLog(L"rup1");
  EXPECT_EQ("/report/crashdump", rec["path"].asString());
  EXPECT_EQ("aid=1&v=6.0.0.1&os=windows10", rec["query"].asString());
  EXPECT_EQ(rec["declared_len"].asInt(), rec["body_len"].asInt());
  const Json::Value& part = rec["multipart"]["parts"][0];
  EXPECT_TRUE(rec["multipart"]["ok"].asBool());
  EXPECT_EQ("file", part["name"].asString());
  EXPECT_EQ(nettest::Narrow(m_dump), part["filename"].asString());
  EXPECT_TRUE(part["file_match"].asBool());

  // A server that keeps the connection open and silent for a minute: the
  // upload ends at its one-second time-out.
  const DWORD old = GetPostFormTimeout();
  SetPostFormTimeout(1000);
  CReportClient stalled;
  Configure(stalled, L"tag=rup3;ctype=text%2Fplain;mode=stall;wait=60000");
  const DWORD start = GetTickCount();
  EXPECT_FALSE(stalled.SendErrorFile(m_dump.c_str(), false));
  EXPECT_LT(GetTickCount() - start, 20000u);
  EXPECT_FALSE(WaitLog(L"rup3").isNull());
  SetPostFormTimeout(old);

  // Version and OS texts go into the query as they are; only what would
  // break it is percent-encoded.
  CReportClient odd;
  Configure(odd, L"tag=rup2");
  odd.SetOs(L"Windows 7 & more");
  odd.SetVersion(L"6.0-beta_2~x#1");
  odd.SendErrorFile(m_dump.c_str(), false);
  EXPECT_EQ("aid=1&v=6.0-beta_2~x%231&os=Windows%207%20%26%20more", WaitLog(L"rup2")["query"].asString());
}

TEST_F(Uploads, StartUpCheckUploadsEachDumpOnce) {
  HKEY key = nullptr;
  RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\OvoDelvaro6", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                  nullptr);
  ASSERT_TRUE(key);
  RegDeleteValueW(key, L"UpDumpDay");
  auto setTime = [](const std::wstring& path, DWORD seconds) {
    HANDLE f =
        CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ULARGE_INTEGER t;
    t.QuadPart = (ULONGLONG)seconds * 10000000ull + 116444736000000000ull;
    FILETIME ft = {t.LowPart, t.HighPart};
    SetFileTime(f, nullptr, nullptr, &ft);
    CloseHandle(f);
  };
  auto storedDay = [&]() {
    DWORD v = 0, size = sizeof v;
    RegQueryValueExW(key, L"UpDumpDay", nullptr, nullptr, (BYTE*)&v, &size);
    return v;
  };
  ConfigureReportClient(Base(L"tag=dump1;ctype=text%2Fplain;wait=1000").c_str());

  std::wstring exact = Write(L"exact.tmp", 2097152);
  setTime(exact, 1600000000);
  EXPECT_TRUE(UploadPendingCrashDump(exact));
  EXPECT_TRUE(g_ReportClient.IsUploadingFile());  // on the sender thread
  EXPECT_FALSE(g_ReportClient.IsSending(true));
  EXPECT_EQ(1600000000u, storedDay());
  EXPECT_TRUE(WaitLog(L"dump1")["multipart"]["parts"][0]["file_match"].asBool());
  EXPECT_FALSE(UploadPendingCrashDump(exact));  // the same dump again

  std::wstring big = Write(L"big.tmp", 2097153);
  setTime(big, 1600000100);
  EXPECT_FALSE(UploadPendingCrashDump(big));
  EXPECT_EQ(1600000100u, storedDay());  // remembered, never retried
  std::wstring empty = Write(L"empty.tmp", 0);
  setTime(empty, 1600000200);
  EXPECT_FALSE(UploadPendingCrashDump(empty));
  EXPECT_EQ(1600000200u, storedDay());
  EXPECT_FALSE(UploadPendingCrashDump(m_dir + L"\\absent.tmp"));
  Sleep(200);
  EXPECT_EQ(1, nettest::CountLogs(L"dump1"));
  RegDeleteValueW(key, L"UpDumpDay");
  RegCloseKey(key);
}

TEST_F(Reports, StartUpConfigurationAndBoundedExit) {
  ConfigureReportClient(Base(L"tag=cfg1").c_str());
  EXPECT_TRUE(g_ReportClient.SendAction(3, false));
  Json::Value v;
  std::string plain = Plain(L"cfg1");
  Json::CharReaderBuilder b;
  std::string errors;
  std::unique_ptr<Json::CharReader> r(b.newCharReader());
  ASSERT_TRUE(r->parse(plain.data(), plain.data() + plain.size(), &v, &errors));
  EXPECT_EQ(64, v["OsBit"].asInt());  // a 64-bit build on a 64-bit system
  EXPECT_EQ(1, v["AppId"].asInt());
  EXPECT_EQ(nettest::Narrow(g_strMachineCode), v["MachineCode"].asString());
  EXPECT_FALSE(g_strMachineCode.empty());
  EXPECT_EQ(nettest::Narrow(GetOsName()), v["Os"].asString());
  EXPECT_EQ(nettest::Narrow(GetProgramVersion()), v["Version"].asString());

  // A start report stuck on a stalled server holds the exit report back
  // only for the bounded wait.
  ConfigureReportClient(Base(L"tag=stall1;mode=stall;wait=3000").c_str());
  EXPECT_TRUE(SendStartReport());
  ConfigureReportClient(Base(L"tag=exit1").c_str());
  g_ReportClient.AddEvent(L"OnStopScan");
  EXPECT_TRUE(SendExitReport(300));
  EXPECT_TRUE(g_ReportClient.IsSending(false));
  EXPECT_NE(std::string::npos, Plain(L"exit1").find("\"OnStopScan\""));
  EXPECT_FALSE(g_ReportClient.IsSending(true));
  // The dropped start report was not sent again on another connection.
  EXPECT_EQ(1, nettest::CountLogs(L"stall1"));
}

}  // namespace

namespace {

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
TEST(ReportJson, StyledLayoutWithTheTextsAsTheirBytes) {
  Json::Value root(Json::objectValue);
  root["Version"] = "6.0.0.1";
  root["AppId"] = 1u;
  root["Delta"] = -3;
  root["Short"].append(1u);
  root["Short"].append(2u);
  Json::Value& logs = root["Logs"] = Json::Value(Json::arrayValue);
  for (const char* code : {"OnStopScan", "OnSetPos"}) {
    Json::Value item(Json::objectValue);
    item["Code"] = code;
    item["Times"] = 1u;
    logs.append(item);
  }
  // For plain ASCII texts the layout is exactly that of JsonCpp's styled writer.
  EXPECT_EQ(Json::StyledWriter().write(root), CReportClient::SerializeReport(root));

  Json::Value text(Json::objectValue);
  text["Content"] = std::string("caf\xE9 \xC3\xA9 \" \\ \x01");
  EXPECT_EQ("{\n   \"Content\" : \"caf\xE9 \xC3\xA9 \\\" \\\\ \\u0001\"\n}\n",
            CReportClient::SerializeReport(text));

  // Other control characters take upper-case hex digits; the five with
  // escapes of their own keep them, and a text that merely looks like an
  // escape ("\u001f" typed out) stays as it was.
  Json::Value controls(Json::objectValue);
  controls["a\x1f"] = std::string("\x1b\x0b\x7f\b\f\n\r\t\\u001f \x1a");
  EXPECT_EQ("{\n   \"a\\u001F\" : \"\\u001B\\u000B\x7f\\b\\f\\n\\r\\t\\\\u001f \\u001A\"\n}\n",
            CReportClient::SerializeReport(controls));
}
#pragma GCC diagnostic pop

TEST(ReportJson, ServerBaseSetting) {
  InitApplicationPaths();
  const std::wstring ini = GetAppDataFilePath(L"Config.ini");
  WritePrivateProfileStringW(L"Setting", L"ServerBase", L"127.0.0.1:9", ini.c_str());
  EXPECT_EQ(L"127.0.0.1:9", ReadServerBaseSetting());
  WritePrivateProfileStringW(L"Setting", L"ServerBase", nullptr, ini.c_str());
  EXPECT_EQ(L"", ReadServerBaseSetting());
}

}  // namespace
