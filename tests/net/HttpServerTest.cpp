// The HTTP client against the scripted stand-in server: what goes on the
// wire for GET, url-encoded POST and multipart upload, and how responses
// (repeated headers, chunked bodies, error statuses) are read.
#include <memory>
#include <string>

#include "NetTestUtil.h"
#include "net/http/HttpClient.h"

using namespace Kestor;
using nettest::Thrown;
using nettest::Url;
using nettest::WaitLog;

namespace {

std::wstring WriteFileOf(const std::wstring& dir, const wchar_t* name, const std::string& bytes) {
  std::wstring path = dir + L"\\" + name;
  HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD w = 0;
  if (!bytes.empty()) WriteFile(f, bytes.data(), (DWORD)bytes.size(), &w, nullptr);
  CloseHandle(f);
  return path;
}

class HttpServer : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_SERVER();
    m_dir = testpaths::MakeTempDir(L"http");
  }
  std::wstring m_dir;
};

TEST_F(HttpServer, GetCarriesParametersHeadersAndObjectNames) {
  CHttpClientW c;
  c.AddParam(L"b", L"2");
  c.AddParam(L"a", L"x y");
  c.AddHeader(L"X-Test", L"v1");
  std::unique_ptr<CHttpResponseW> r(c.SendGetRequest(Url(L"tag=get1", L"p").c_str(), false));
  EXPECT_EQ(200u, r->GetStatus());
  Json::Value rec = WaitLog(L"get1");
  EXPECT_EQ("GET", rec["method"].asString());
  EXPECT_EQ("/t/tag=get1/p?a=x+y&b=2", rec["target"].asString());
  EXPECT_EQ("v1", nettest::Header(rec, "X-Test"));
  EXPECT_EQ("no-cache", nettest::Header(rec, "Cache-Control"));
  EXPECT_EQ(2u, c.CountParam());  // parameters stay

  CHttpClientW plain;
  r.reset(plain.SendGetRequest((L"http://" + nettest::Server() + L"?tag=get2").c_str(), true));
  EXPECT_EQ("/?tag=get2", WaitLog(L"get2")["target"].asString());
  EXPECT_EQ("", nettest::Header(WaitLog(L"get2"), "Cache-Control"));
}

TEST_F(HttpServer, HttpsAddressIsOpenedWithTlsOnItsPort) {
  const int before = nettest::CountLogs(L"tls");
  CHttpClientW c;
  auto e = Thrown(
      [&] { delete c.SendGetRequest((L"https://" + nettest::Base(L"tag=tls1") + L"/x").c_str(), false); });
  EXPECT_NE(0u, e.GetErrorCode());
  // The handshake reached the given port; no plain request was made.
  EXPECT_FALSE(WaitLog(L"tls", before + 1).isNull());
  EXPECT_EQ(0, nettest::CountLogs(L"tls1"));
}

TEST_F(HttpServer, ResponseHeadersStatusAndBodies) {
  CHttpClientW c;
  std::unique_ptr<CHttpResponseW> r(c.SendGetRequest(Url(L"mode=repeat;body=abc").c_str(), false));
  EXPECT_EQ(3u, r->GetHeaderCount(L"X-Multi"));
  EXPECT_STREQ(L"one", r->GetHeader(L"x-multi", 0));
  EXPECT_STREQ(L"two", r->GetHeader(L"X-MULTI", 1));
  EXPECT_STREQ(L"three", r->GetHeader(L"X-Multi", 2));
  EXPECT_EQ(nullptr, r->GetHeader(L"X-Multi", 3));
  EXPECT_EQ(0u, r->GetHeaderCount(L"X-Absent"));
  EXPECT_EQ(0u, r->GetHeaderCount(L"X-Absent"));
  DWORD length = 0;
  EXPECT_TRUE(r->GetContentLength(length));
  EXPECT_EQ(3u, length);

  r.reset(c.SendGetRequest(Url(L"mode=chunked;bodylen=5000").c_str(), false));
  EXPECT_FALSE(r->GetContentLength(length));
  BYTE buf[1000];
  EXPECT_EQ(0u, Thrown([&] { r->ReadContent(buf, 0); }).GetErrorCode());
  std::string body;
  for (DWORD n; (n = r->ReadContent(buf, sizeof buf)) != 0;) body.append((char*)buf, n);
  EXPECT_EQ(5000u, body.size());
  EXPECT_EQ("0123456789", body.substr(4990));

  r.reset(c.SendGetRequest(Url(L"status=404;body=gone").c_str(), false));
  EXPECT_EQ(404u, r->GetStatus());
  EXPECT_STREQ(L"Not Found", r->GetStatusText());
}

TEST_F(HttpServer, SaveContentRefusesOrTruncates) {
  CHttpClientW c;
  std::wstring path = WriteFileOf(m_dir, L"saved.txt", "previous contents");
  std::unique_ptr<CHttpResponseW> r(c.SendGetRequest(Url(L"body=new").c_str(), false));
  auto e = Thrown([&] { r->SaveContent(path.c_str(), FALSE); });
  EXPECT_EQ(114u, e.GetErrorCode());
  EXPECT_EQ(0u, e.GetWin32Error());
  EXPECT_EQ("previous contents", testpaths::ReadWholeFile(path));
  EXPECT_TRUE(r->SaveContent(path.c_str(), TRUE));
  EXPECT_EQ("new", testpaths::ReadWholeFile(path));

  r.reset(c.SendGetRequest(Url(L"body=").c_str(), false));
  EXPECT_TRUE(r->SaveContent(path.c_str(), TRUE));
  EXPECT_TRUE(testpaths::FileExists(path));
  EXPECT_EQ("", testpaths::ReadWholeFile(path));
}

TEST_F(HttpServer, GivenHandlesStayOpen) {
  CHttpClientW c;
  std::wstring url = Url(L"body=ok");
  HINTERNET inet = c.OpenInternet();
  HINTERNET conn = c.OpenConnection(inet, url.c_str());
  for (int i = 0; i < 2; ++i) {
    std::unique_ptr<CHttpResponseW> r(c.SendGetRequest(inet, conn, url.c_str(), false));
    EXPECT_EQ(200u, r->GetStatus());
    EXPECT_EQ(nullptr, r->GetConnectionHandle());
  }
  InternetCloseHandle(conn);
  InternetCloseHandle(inet);
}

TEST_F(HttpServer, UrlEncodedPostInSteps) {
  CHttpClientW c;
  c.AddParam(L"b", L"2");
  c.AddParam(L"a", L"1");
  c.BeginPost(Url(L"tag=post1", L"form").c_str(), false);
  CHttpPostStatW stat;
  c.QueryPostStat(stat);
  EXPECT_EQ(1u, stat.PostedCount());
  EXPECT_STREQ(L"a", stat.CurrParam());
  EXPECT_EQ(7u, stat.ActualTotalByte());
  EXPECT_EQ(0u, Thrown([&] { c.AddParam(L"c", L"3"); }).GetErrorCode());
  const DWORD posted[] = {2, 3, 6, 7};
  for (DWORD want : posted) {
    ASSERT_EQ(nullptr, c.Proceed(100));
    c.QueryPostStat(stat);
    EXPECT_EQ(want, stat.ActualPostedByte());
  }
  std::unique_ptr<CHttpResponseW> r(c.Proceed(100));
  ASSERT_TRUE(r);
  EXPECT_FALSE(c.IsPostContextActive());
  Json::Value rec = WaitLog(L"post1");
  EXPECT_EQ("a=1&b=2", nettest::Bytes(rec, "body_b64"));
  EXPECT_EQ(7, rec["declared_len"].asInt());
  EXPECT_EQ("application/x-www-form-urlencoded", nettest::Header(rec, "Content-Type"));
}

TEST_F(HttpServer, UploadStreamsTheFileWithItsDeclaredLength) {
  std::string data;
  for (int i = 0; i < 3000; ++i) data += (char)(i * 7 + i / 256);
  std::wstring path = WriteFileOf(m_dir, L"dump.bin", data);
  CHttpClientW c;
  c.AddParam(L"file", path.c_str(), CHttpClientW::ParamFile);
  c.BeginUpload(Url(L"tag=up1", L"report/crashdump").c_str(), false);
  CHttpPostStatW stat;
  ASSERT_EQ(nullptr, c.Proceed(1024));  // the part header
  c.QueryPostStat(stat);
  EXPECT_EQ(3000u, stat.CurrParamTotalByte());
  EXPECT_TRUE(stat.CurrParamIsFile());
  for (DWORD want : {1024u, 2048u, 3000u}) {
    ASSERT_EQ(nullptr, c.Proceed(1024));
    c.QueryPostStat(stat);
    EXPECT_EQ(want, stat.PostedByte());
  }
  ASSERT_EQ(nullptr, c.Proceed(1024));  // the closing delimiter
  c.QueryPostStat(stat);
  EXPECT_EQ(stat.ActualTotalByte(), stat.ActualPostedByte());
  std::unique_ptr<CHttpResponseW> r(c.Proceed(1024));
  ASSERT_TRUE(r);

  Json::Value rec = WaitLog(L"up1");
  EXPECT_EQ(rec["declared_len"].asInt(), rec["body_len"].asInt());
  const Json::Value& mp = rec["multipart"];
  EXPECT_TRUE(mp["ok"].asBool()) << mp["error"].asString();
  EXPECT_EQ(nettest::Narrow(c.GetUploadBoundary()), mp["boundary"].asString());
  ASSERT_EQ(1u, mp["parts"].size());
  EXPECT_EQ("file", mp["parts"][0]["name"].asString());
  EXPECT_EQ(nettest::Narrow(path), mp["parts"][0]["filename"].asString());
  EXPECT_TRUE(mp["parts"][0]["file_match"].asBool());
  EXPECT_EQ(3000, mp["parts"][0]["data_len"].asInt());
}

TEST_F(HttpServer, UploadOfEmptyMissingAndPlainParts) {
  std::wstring empty = WriteFileOf(m_dir, L"empty.bin", "");
  CHttpClientW c;
  c.AddParam(L"note", L"hello there");
  c.AddParam(L"gone", (m_dir + L"\\missing.bin").c_str(), CHttpClientW::ParamFile);
  c.AddParam(L"empty", empty.c_str(), CHttpClientW::ParamFile);
  std::unique_ptr<CHttpResponseW> r(c.SendUploadRequest(Url(L"tag=up2").c_str(), false));
  Json::Value rec = WaitLog(L"up2");
  EXPECT_EQ(rec["declared_len"].asInt(), rec["body_len"].asInt());
  const Json::Value& mp = rec["multipart"];
  ASSERT_TRUE(mp["ok"].asBool()) << mp["error"].asString();
  ASSERT_EQ(3u, mp["parts"].size());
  EXPECT_EQ("empty", mp["parts"][0]["name"].asString());
  EXPECT_EQ(0, mp["parts"][0]["data_len"].asInt());
  EXPECT_EQ("gone", mp["parts"][1]["name"].asString());
  EXPECT_EQ(0, mp["parts"][1]["data_len"].asInt());
  EXPECT_EQ("application/octet-stream", mp["parts"][1]["ctype"].asString());
  EXPECT_EQ("hello there", mp["parts"][2]["value"].asString());

  // No parameters: the bare closing delimiter, exactly as declared.
  CHttpClientW none;
  r.reset(none.SendUploadRequest(Url(L"tag=up3").c_str(), false));
  rec = WaitLog(L"up3");
  EXPECT_EQ("\r\n--" + nettest::Narrow(none.GetUploadBoundary()) + "--\r\n", nettest::Bytes(rec, "body_b64"));
  EXPECT_EQ(43 + 8, rec["declared_len"].asInt());
}

TEST_F(HttpServer, RefusedUploadsOpenNoRequest) {
  CHttpClientW strict;
  strict.SetStrictFileCheck(TRUE);
  strict.AddParam(L"file", (m_dir + L"\\missing.bin").c_str(), CHttpClientW::ParamFile);
  auto e = Thrown([&] { strict.BeginUpload(Url(L"tag=up4").c_str(), false); });
  EXPECT_EQ(603u, e.GetErrorCode());
  EXPECT_FALSE(strict.IsPostContextActive());

  // A file of 4 GiB and more cannot be declared in 32 bits: refused, not sent short.
  std::wstring big = m_dir + L"\\big.bin";
  HANDLE f = CreateFileW(big.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  LARGE_INTEGER size;
  size.QuadPart = 0x100000000LL + 10;
  ASSERT_TRUE(SetFilePointerEx(f, size, nullptr, FILE_BEGIN) && SetEndOfFile(f));
  CloseHandle(f);
  CHttpClientW c;
  c.AddParam(L"file", big.c_str(), CHttpClientW::ParamFile);
  EXPECT_EQ(112u, Thrown([&] { c.BeginUpload(Url(L"tag=up5").c_str(), false); }).GetErrorCode());
  DeleteFileW(big.c_str());

  // Totals past 32 bits from several files are refused the same way.
  f = CreateFileW(big.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  size.QuadPart = 0xC0000000LL;
  ASSERT_TRUE(SetFilePointerEx(f, size, nullptr, FILE_BEGIN) && SetEndOfFile(f));
  CloseHandle(f);
  CHttpClientW two;
  two.AddParam(L"a", big.c_str(), CHttpClientW::ParamFile);
  two.AddParam(L"b", big.c_str(), CHttpClientW::ParamFile);
  EXPECT_EQ(112u, Thrown([&] { two.BeginUpload(Url(L"tag=up6").c_str(), false); }).GetErrorCode());
  DeleteFileW(big.c_str());

  Sleep(200);
  EXPECT_EQ(0, nettest::CountLogs(L"up4"));
  EXPECT_EQ(0, nettest::CountLogs(L"up5"));
  EXPECT_EQ(0, nettest::CountLogs(L"up6"));
}

TEST_F(HttpServer, FailedStepEndsTheContext) {
  std::wstring path = WriteFileOf(m_dir, L"large.bin", std::string(4 << 20, 'z'));
  CHttpClientW c;
  c.AddParam(L"file", path.c_str(), CHttpClientW::ParamFile);
  c.BeginUpload(Url(L"mode=reset").c_str(), false);
  // The server resets the connection: a write or the end fails, and
  // nothing stays active.
  bool threw = false;
  try {
    for (int i = 0; i < 5000; ++i)
      if (CHttpResponseW* r = c.Proceed(1024)) {
        delete r;
        break;
      }
  } catch (const httpclientexceptionW& e) {
    threw = true;
    EXPECT_TRUE(e.GetErrorCode() == 408 || e.GetErrorCode() == 409) << e.GetErrorCode();
  }
  EXPECT_TRUE(threw);
  EXPECT_FALSE(c.IsPostContextActive());
  c.AddParam(L"b", L"2");  // allowed again
}

}  // namespace
