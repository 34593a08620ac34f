// The simple requests against a slow, odd or hostile stand-in server: what
// text comes back, and that nothing hangs, overreads or allocates what a
// server merely declares.
#include <string>

#include "NetTestUtil.h"
#include "net/WebRequest.h"

using nettest::Url;

namespace {

class WebRequests : public ::testing::Test {
 protected:
  void SetUp() override { REQUIRE_SERVER(); }
};

TEST_F(WebRequests, GetReadsShortSuccessfulReplies) {
  std::wstring text = GetStringFromUrl(Url(L"bodylen=5000").c_str(), TRUE);
  ASSERT_EQ(4096u, text.size());
  EXPECT_EQ(L"012345", text.substr(0, 6));
  EXPECT_EQ(L"hello", HttpGetString(Url(L"mode=chunked;body=hello").c_str(), TRUE, 5000));
  EXPECT_EQ(L"no length", HttpGetString(Url(L"mode=nolen;body=no%20length").c_str(), TRUE, 5000));
  // Sent byte by byte, the reply still comes back whole.
  EXPECT_EQ(L"slowly", HttpGetString(Url(L"mode=slow;wait=20;body=slowly").c_str(), TRUE, 5000));
  EXPECT_EQ(L"\u00e9t\u00e9", HttpGetString(Url(L"body=%C3%A9t%C3%A9").c_str(), TRUE, 5000));
  // An error page is no reply, on either path.
  EXPECT_EQ(L"", GetStringFromUrl(Url(L"status=404;body=%7B%22a%22%3A1%7D").c_str(), TRUE));
  // Each call asks the server again.
  HttpGetString(Url(L"tag=again;body=x").c_str(), TRUE, 5000);
  HttpGetString(Url(L"tag=again;body=x").c_str(), TRUE, 5000);
  EXPECT_FALSE(nettest::WaitLog(L"again", 2).isNull());
}

TEST_F(WebRequests, SocketPathYieldsOnlyABracedObject) {
  EXPECT_EQ(L"{\"a\":1}", SocketGetString(Url(L"body=%7B%22a%22%3A1%7D%20and%20more").c_str(), 5000));
  EXPECT_EQ(L"", SocketGetString(Url(L"body=6.0.0.2").c_str(), 5000));
  EXPECT_EQ(L"{\"v\":\"2\"}",
            SocketGetString(Url(L"mode=chunked;body=%7B%22v%22%3A%222%22%7D").c_str(), 5000));
  EXPECT_EQ(L"{x}", SocketGetString(Url(L"mode=slow;wait=10;body=%7Bx%7D").c_str(), 5000));
  EXPECT_EQ(L"", SocketGetString(Url(L"status=500;body=%7Bx%7D").c_str(), 5000));
  EXPECT_EQ(L"", SocketGetString(Url(L"mode=drop").c_str(), 5000));
  EXPECT_EQ(L"", SocketGetString(L"https://127.0.0.1:1/x", 5000));
  EXPECT_EQ(L"", SocketGetString(L"not a url", 5000));
}

TEST_F(WebRequests, PostSendsTheFormAndReadsDeclaredReplies) {
  std::wstring reply = L"unchanged";
  EXPECT_TRUE(HttpPostForm(Url(L"tag=form1;body=42", L"report/action").c_str(), "QUJD+/==", 8, &reply, TRUE));
  EXPECT_EQ(L"42", reply);
  Json::Value rec = nettest::WaitLog(L"form1");
  EXPECT_EQ("POST", rec["method"].asString());
  EXPECT_EQ("/t/tag=form1;body=42/report/action", rec["target"].asString());
  EXPECT_EQ("QUJD+/==", nettest::Bytes(rec, "body_b64"));
  EXPECT_EQ("application/x-www-form-urlencoded", nettest::Header(rec, "Content-Type"));

  // Sent, but no usable reply: the reply string stays as it was.
  const wchar_t* noReply[] = {L"mode=nolen;body=5",   L"body=",
                              L"mode=chunked;body=7", L"status=404;body=1",
                              L"mode=early;body=1",   L"mode=huge;body=1"};
  for (const wchar_t* opts : noReply) {
    reply = L"unchanged";
    EXPECT_TRUE(HttpPostForm(Url(opts).c_str(), "x", 1, &reply, TRUE)) << nettest::Narrow(opts);
    EXPECT_EQ(L"unchanged", reply) << nettest::Narrow(opts);
  }
}

TEST_F(WebRequests, DownOrStalledServersEndTheCall) {
  std::wstring reply = L"unchanged";
  EXPECT_FALSE(HttpPostForm((L"http://" + nettest::ClosedPortBase() + L"/report/action").c_str(), "x", 1,
                            &reply, TRUE));
  EXPECT_FALSE(HttpPostForm(L"ftp://127.0.0.1/x", "x", 1, &reply, TRUE));
  EXPECT_EQ(L"", HttpGetString((L"http://" + nettest::ClosedPortBase() + L"/x").c_str(), TRUE, 2000));
  // A server that keeps the connection open and says nothing for a minute:
  // each call ends at its one-second time-out (each of the GET's two
  // attempts has its own), well before the server would give up.
  const DWORD old = GetPostFormTimeout();
  SetPostFormTimeout(1000);
  DWORD start = GetTickCount();
  HttpPostForm(Url(L"tag=stallpost;mode=stall;wait=60000").c_str(), "x", 1, &reply, TRUE);
  EXPECT_LT(GetTickCount() - start, 20000u);
  EXPECT_FALSE(nettest::WaitLog(L"stallpost").isNull());  // it did reach the server
  start = GetTickCount();
  EXPECT_EQ(L"", HttpGetString(Url(L"mode=stall;wait=60000").c_str(), TRUE, 1000));
  EXPECT_LT(GetTickCount() - start, 20000u);
  HttpPostForm(Url(L"mode=drop").c_str(), "x", 1, &reply, TRUE);
  SetPostFormTimeout(old);
  EXPECT_EQ(L"unchanged", reply);
}

}  // namespace
