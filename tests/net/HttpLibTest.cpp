// The HTTP library's parts that need no server: exceptions and their texts,
// the encoders, the name-value map, the URL analyzer, argument checks of
// the tools, the post statistics and the GET URL builder.
#include <gtest/gtest.h>

#include <string>

#include "NetTestUtil.h"
#include "common/TestPaths.h"
#include "net/http/HttpClient.h"

using namespace Kestor;

namespace {

TEST(HttpErrors, TextsCodesAndMessages) {
  EXPECT_STREQ("user-defined error message", GetHttpErrorTextA(1000));
  EXPECT_STREQ("user-defined error message", GetHttpErrorTextA(1234));
  EXPECT_STREQ("user-defined error message", GetHttpErrorTextA(4000000));
  EXPECT_STREQ("::InternetSetOption failed.", GetHttpErrorTextA(410));
  EXPECT_STREQ(L"::WriteFile failed (\"%s\").", GetHttpErrorTextW(606));
  // Codes past the end of their group's table do not read past it.
  for (DWORD code : {115u, 150u, 199u, 250u, 411u, 499u, 607u, 620u, 999u, 50u})
    EXPECT_STREQ("Unknown error.", GetHttpErrorTextA(code)) << code;

  httpclientexceptionA none;
  EXPECT_STREQ("NULL", none.GetErrorMessage());
  EXPECT_STREQ("NULL", none.what());
  httpclientexceptionA copy(none);
  EXPECT_STREQ("NULL", copy.GetErrorMessage());
  httpclientexceptionW wide;
  EXPECT_STREQ(L"NULL", wide.GetErrorMessage());
  EXPECT_STREQ("httpclientexceptionW", wide.what());

  // A formatted message longer than 511 characters is cut and terminated.
  std::string longText(700, 'x');
  varerrmsg_exceptionA a("%s!", longText.c_str());
  EXPECT_EQ(511u, strlen(a.GetErrorMessage()));
  varerrmsg_exceptionW w(L"%d-%S", 7, longText.c_str());
  EXPECT_EQ(511u, wcslen(w.GetErrorMessage()));
  EXPECT_EQ(L"7-xx", std::wstring(w.GetErrorMessage(), 4));

  auto e = nettest::Thrown<httpclientexceptionW>([] { ThrowSystemErrorW(ErrOpenFile, 5, L"C:\\a.txt"); });
  EXPECT_STREQ(L"OpenFile (::CreateFile) failed (\"C:\\a.txt\").", e.GetErrorMessage());
  EXPECT_EQ(603u, e.GetErrorCode());
  EXPECT_EQ(5u, e.GetWin32Error());
  auto e2 = nettest::Thrown<httpclientexceptionA>([] { ThrowSystemErrorA(ErrGetFileSize, 2); });
  EXPECT_STREQ("::GetFileSize failed (\"%s\").", e2.GetErrorMessage());  // no argument: as it stands
  // An argument longer than the buffer is cut to 511 characters, terminated.
  std::wstring path(900, L'p');
  auto e3 = nettest::Thrown<httpclientexceptionW>([&] { ThrowSystemErrorW(ErrWriteFile, 0, path.c_str()); });
  EXPECT_EQ(511u, wcslen(e3.GetErrorMessage()));

  auto o = nettest::Thrown<httpclientexceptionW>([] { SafeAdd<false>(0xFFFFFFF0u, 0x20u); });
  EXPECT_EQ(112u, o.GetErrorCode());
  EXPECT_STREQ(L"An arithmetic overflow error has been occurred.", o.GetErrorMessage());
  EXPECT_EQ(113u,
            nettest::Thrown<httpclientexceptionA>([] { ThrowArithmeticErrorA(0xC0000094); }).GetErrorCode());
  EXPECT_EQ(111u, nettest::Thrown<httpclientexceptionA>([] { ThrowArithmeticErrorA(1); }).GetErrorCode());
}

std::string EncA(const wchar_t* text, BOOL utf8, UINT cp = 1252) {
  DWORD n = CHttpEncoderW::UrlEncodeLen(text, utf8, cp);
  std::string out(n + 1, '\0');
  CHttpEncoderW::UrlEncodeA(&out[0], text, utf8, cp);
  EXPECT_EQ(n, strlen(out.c_str()));
  return out.c_str();
}

std::string DecA(const wchar_t* text, BOOL utf8, UINT cp = 1252) {
  DWORD n = CHttpEncoderW::UrlDecodeLenA(text, utf8, cp);
  std::string out(n + 1, '\0');
  CHttpEncoderW::UrlDecodeA(&out[0], text, utf8, cp);
  return out.substr(0, n);
}

TEST(HttpEncoders, UrlEncodingAndDecoding) {
  char buf[32];
  EXPECT_STREQ("a+b", CHttpEncoderA::UrlEncodeA(buf, "a b", FALSE));
  EXPECT_STREQ("a%2Db%2Ec", CHttpEncoderA::UrlEncodeA(buf, "a-b.c", FALSE));
  EXPECT_STREQ("%E9", CHttpEncoderA::UrlEncodeA(buf, "\xE9", FALSE));
  EXPECT_EQ(5u, CHttpEncoderA::UrlEncodeLen("a-b", FALSE));
  EXPECT_EQ("%C3%A9", EncA(L"\u00e9", TRUE));
  EXPECT_EQ("%E9", EncA(L"\u00e9", FALSE, 1252));
  EXPECT_EQ("%7E%5F+%2B", EncA(L"~_ +", TRUE));
  // The 8-bit encoder turns a code-page character to UTF-8 first.
  EXPECT_STREQ("%C3%A9", CHttpEncoderA::UrlEncodeA(buf, "\xE9", TRUE, 1252));

  EXPECT_EQ("A b-", DecA(L"%41+b%2d", FALSE));
  EXPECT_EQ("abc", DecA(L"abc", FALSE));
  for (const wchar_t* bad : {L"%4", L"%G1", L"%"}) {
    auto e = nettest::Thrown<httpclientexceptionW>([&] { DecA(bad, FALSE); });
    EXPECT_EQ(109u, e.GetErrorCode()) << bad;
  }
  EXPECT_EQ(109u, nettest::Thrown<httpclientexceptionW>([] { DecA(L"%C3", TRUE); }).GetErrorCode());
  EXPECT_EQ(109u, nettest::Thrown<httpclientexceptionW>([] { DecA(L"%C3A", TRUE); }).GetErrorCode());
  wchar_t wide[8];
  EXPECT_STREQ(L"\u00e9", CHttpEncoderW::UrlDecodeW(wide, L"%C3%A9", TRUE, 1252));
  EXPECT_EQ("\xE9", DecA(L"%C3%A9", TRUE, 1252));
  // A character outside the BMP needs two units: refused as one character.
  EXPECT_EQ(601u, nettest::Thrown<httpclientexceptionW>([&] {
                    CHttpEncoderW::UrlDecodeW(wide, L"%F0%9F%98%80", TRUE);
                  }).GetErrorCode());
  // Double-byte code page: a lead byte takes the next byte with it.
  EXPECT_EQ(1u, CHttpEncoderA::UrlDecodeLenW("%B0%A1", FALSE, 936));
  EXPECT_EQ(109u, nettest::Thrown<httpclientexceptionA>([] {
                    CHttpEncoderA::UrlDecodeLenW("%B0", FALSE, 936);
                  }).GetErrorCode());
  EXPECT_EQ(110u, nettest::Thrown<httpclientexceptionA>([&] {
                    CHttpEncoderA::Utf8Decode(buf, "a\xC3(", 1252);
                  }).GetErrorCode());
}

TEST(HttpEncoders, WholeTextConversionsAndChecks) {
  char buf[16] = "junk";
  EXPECT_EQ(0u, CHttpEncoderW::AnsiEncodeLen(L""));
  EXPECT_EQ(0u, CHttpEncoderW::AnsiEncodeLen(nullptr));
  EXPECT_STREQ("", CHttpEncoderW::AnsiEncode(buf, nullptr));
  auto e = nettest::Thrown<httpclientexceptionW>([&] { CHttpEncoderW::AnsiEncode(buf, L"x", CP_UTF8); });
  EXPECT_EQ(0u, e.GetErrorCode());
  EXPECT_STREQ(L"CHttpEncoderW::AnsiEncode: CP_UTF8 and CP_UTF7 can not be used for the CodePage parameter.",
               e.GetErrorMessage());
  EXPECT_STREQ(L"CHttpEncoderW::UrlEncodeA: szBuff can not be NULL.",
               nettest::Thrown<httpclientexceptionW>([] {
                 CHttpEncoderW::UrlEncodeA(nullptr, L"x");
               }).GetErrorMessage());
  EXPECT_STREQ(L"_UrlEncodeLen: szStr can not be NULL.", nettest::Thrown<httpclientexceptionW>([] {
                                                           CHttpEncoderW::_UrlEncodeLen(nullptr);
                                                         }).GetErrorMessage());
  EXPECT_STREQ("\xC3\xA9", CHttpEncoderW::Utf8Encode(buf, L"\u00e9"));
  EXPECT_STREQ("\xC3\xA9", CHttpEncoderA::Utf8Encode(buf, "\xE9", 1252));
  EXPECT_STREQ("\xE9z", CHttpEncoderA::Utf8Decode(buf, "\xC3\xA9z", 1252));
}

TEST(HttpMap, RepeatedNamesOrderAndLookups) {
  CHttpClientMapW m;
  m.Add(L"Accept", L"one");
  m.Add(L"b", nullptr, 7);
  m.Add(L"ACCEPT", L"two");
  EXPECT_EQ(2u, m.Count(L"accept"));
  EXPECT_STREQ(L"one", m.GetValue(L"ACCEPT", 0));
  EXPECT_STREQ(L"two", m.GetValue(L"Accept", 1));
  EXPECT_EQ(3u, m.Count(nullptr));
  auto none = m.Get(L"zzz");
  EXPECT_EQ(nullptr, none.szValue);
  EXPECT_EQ(0u, none.dwFlag);
  EXPECT_STREQ(L"", m.GetValue(L"b"));  // stored as NULL, read as empty
  EXPECT_EQ(7u, m.GetFlag(L"b"));
  EXPECT_TRUE(m.Exists(L"b", 0));
  EXPECT_FALSE(m.Exists(L"b", 1));
  m.Set(L"accept", L"TWO", 3, 1);
  EXPECT_STREQ(L"one", m.GetValue(L"accept", 0));
  EXPECT_STREQ(L"TWO", m.GetValue(L"accept", 1));
  m.Set(L"new", L"v");
  EXPECT_STREQ(L"v", m.GetValue(L"new"));
  EXPECT_FALSE(m.Remove(L"accept", 2));
  EXPECT_EQ(2u, m.Count(L"accept"));
  EXPECT_STREQ(L"Accept", m.GetKey((DWORD)0));  // the first stored spelling
  EXPECT_EQ(nullptr, m.GetKey(99));
  EXPECT_FALSE(m.RemoveAll(L"absent"));
  EXPECT_TRUE(m.RemoveAll(L"ACCEPT"));
  EXPECT_TRUE(m.Remove((DWORD)0));
  EXPECT_FALSE(m.Remove(5));
  EXPECT_TRUE(m.Clear());
  EXPECT_FALSE(m.Clear());
  EXPECT_STREQ(L"CHttpClientMapT::Get: szName can not be NULL.",
               nettest::Thrown<httpclientexceptionW>([&] { m.Get(nullptr); }).GetErrorMessage());
}

struct Parts {
  int v[12];
};
template <class A>
Parts Split(const A& a) {
  return Parts{{a.GetSchemePos(), a.GetSchemeLength(), a.GetHostPos(), a.GetHostLength(), a.GetPortPos(),
                a.GetPortLength(), a.GetPathPos(), a.GetPathLength(), a.GetQueryPos(), a.GetQueryLength(),
                a.GetFragmentPos(), a.GetFragmentLength()}};
}
#define EXPECT_PARTS(a, ...)                                                    \
  do {                                                                          \
    int want[12] = {__VA_ARGS__};                                               \
    Parts got = Split(a);                                                       \
    for (int i = 0; i < 12; ++i) EXPECT_EQ(want[i], got.v[i]) << "field " << i; \
  } while (0)

TEST(HttpUrl, Analyzer) {
  EXPECT_PARTS(CHttpUrlAnalyzerW(L"http://host:8080/p?q=1#f"), 0, 4, 7, 4, 12, 4, 16, 2, 18, 4, 22, 2);
  EXPECT_PARTS(CHttpUrlAnalyzerW(L"http://host"), 0, 4, 7, 4, 11, 0, 11, 0, 11, 0, 11, 0);
  EXPECT_PARTS(CHttpUrlAnalyzerW(L"host/a"), 0, 0, 0, 4, 4, 0, 4, 2, 6, 0, 6, 0);
  EXPECT_PARTS(CHttpUrlAnalyzerW(L"http://h?x=1"), 0, 4, 7, 1, 8, 0, 8, 0, 8, 4, 12, 0);
  EXPECT_PARTS(CHttpUrlAnalyzerW(L"http://h#f"), 0, 4, 7, 1, 8, 0, 8, 0, 8, 0, 8, 2);
  // An account before the host: the host is the user name, the rest the port text.
  EXPECT_PARTS(CHttpUrlAnalyzerW(L"http://u:pw@h/"), 0, 4, 7, 1, 9, 4, 13, 1, 14, 0, 14, 0);
  EXPECT_PARTS(CHttpUrlAnalyzerW((const wchar_t*)nullptr), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
  // Code page 936: a lead byte keeps the "/" after it inside the host; a
  // lead byte at the end counts alone.
  EXPECT_PARTS(CHttpUrlAnalyzerA("http://a\x81/b/c", 936), 0, 4, 7, 4, 11, 0, 11, 2, 13, 0, 13, 0);
  EXPECT_PARTS(CHttpUrlAnalyzerA("h/\x81", 936), 0, 0, 0, 1, 1, 0, 1, 2, 3, 0, 3, 0);
  EXPECT_EQ(0u,
            nettest::Thrown<httpclientexceptionW>([] { CHttpUrlAnalyzerW(L"x", CP_UTF8); }).GetErrorCode());
}

TEST(HttpTools, ArgumentChecksMimeAndBoundary) {
  EXPECT_EQ(nullptr, CHttpToolW::Unicode2Ansi(nullptr));
  EXPECT_EQ(0u, nettest::Thrown<httpclientexceptionW>([] {
                  CHttpToolW::Unicode2Ansi(nullptr, CP_UTF8);
                }).GetErrorCode());
  HINTERNET fake = (HINTERNET)1;
  EXPECT_STREQ(L"CHttpToolW::OpenConnection: szServerAddr can not be an empty string.",
               nettest::Thrown<httpclientexceptionW>([&] {
                 CHttpToolW::OpenConnection(fake, L"", 80, nullptr, nullptr);
               }).GetErrorMessage());
  EXPECT_STREQ(L"CHttpToolW::InternetWriteFile: cbyBuff can not be zero.",
               nettest::Thrown<httpclientexceptionW>([&] {
                 CHttpToolW::InternetWriteFile(fake, (const BYTE*)"x", 0);
               }).GetErrorMessage());
  EXPECT_STREQ("CHttpToolA::OpenRequest: szObjectName can not be NULL.",
               nettest::Thrown<httpclientexceptionA>([&] {
                 CHttpToolA::OpenRequest(fake, "GET", nullptr, 0, nullptr);
               }).GetErrorMessage());

  char* mime = CHttpToolW::GetMimeType(INVALID_HANDLE_VALUE);
  EXPECT_STREQ("application/octet-stream", mime);
  free(mime);
  std::wstring dir = testpaths::MakeTempDir(L"mime");
  std::wstring path = dir + L"\\odd.bin";
  HANDLE f = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD w;
  WriteFile(f, "\x01\x02\x03\xFE\xFF\x00\x10", 7, &w, nullptr);
  SetFilePointer(f, 3, nullptr, FILE_BEGIN);
  mime = CHttpToolW::GetMimeType(f);
  EXPECT_STREQ("application/octet-stream", mime);
  EXPECT_EQ(0u, SetFilePointer(f, 0, nullptr, FILE_CURRENT));  // back at the start
  free(mime);
  CloseHandle(f);
  DeleteFileW(path.c_str());
  RemoveDirectoryW(dir.c_str());

  wchar_t* b1 = CHttpToolW::CreateUploadBoundary();
  wchar_t* b2 = CHttpToolW::CreateUploadBoundary();
  ASSERT_TRUE(b1 && b2);
  EXPECT_EQ(43u, wcslen(b1));
  EXPECT_EQ(0, wcsncmp(b1, L"----TAVRO-", 10));
  EXPECT_EQ(L'-', b1[42]);
  EXPECT_STRNE(b1, b2);
  free(b1);
  free(b2);
}

TEST(HttpPostStat, InactiveAccessorsNameThemselves) {
  CHttpPostStatW stat;
  EXPECT_FALSE(stat.IsActive());
  EXPECT_STREQ(L"CHttpPostStatT::TotalByte: The post context is not active.",
               nettest::Thrown<httpclientexceptionW>([&] { stat.TotalByte(); }).GetErrorMessage());
  EXPECT_STREQ(L"CHttpPostStatT::CurrFile: The post context is not active.",
               nettest::Thrown<httpclientexceptionW>([&] { stat.CurrFile(); }).GetErrorMessage());
  stat._MakeActive(10, 4, 1, 0);
  stat._StartNewEntry(L"n", 4, FALSE, nullptr);
  CHttpPostStatW copy(stat);
  EXPECT_STREQ(L"n", copy.CurrParam());
  EXPECT_STREQ(L"NULL", copy.CurrFile());
  EXPECT_EQ(1u, copy.PostedCount());
}

std::wstring GetUrl(CHttpClientW& c, const wchar_t* url) {
  DWORD n = c.MakeGetUrlLen(url);
  std::wstring out(n + 1, L'#');
  c.MakeGetUrl(&out[0], url);
  EXPECT_EQ(n, wcslen(out.c_str())) << url;
  return out.c_str();
}

TEST(HttpClient, GetUrlsAndSettings) {
  CHttpClientW c;
  EXPECT_EQ(L"http://h/p#f", GetUrl(c, L"http://h/p#f"));
  c.AddParam(L"b", L"2");
  c.AddParam(L"a", L"1");
  EXPECT_EQ(L"http://h/p?a=1&b=2#f", GetUrl(c, L"http://h/p#f"));
  EXPECT_EQ(L"http://h/p?q=0&a=1&b=2", GetUrl(c, L"http://h/p?q=0"));
  EXPECT_EQ(L"http://h/?a=1&b=2", GetUrl(c, L"http://h"));
  EXPECT_EQ(L"http://h/?&a=1&b=2", GetUrl(c, L"http://h?"));
  EXPECT_EQ(L"a=1&b=2", GetUrl(c, nullptr));
  c.ClearParam();
  c.AddParam(L"s p", L"x y");
  c.AddParam(L"t", L"a b", CHttpClientW::ParamEncodedValue);
  EXPECT_EQ(L"s+p=x+y&t=a b", GetUrl(c, nullptr));

  EXPECT_EQ(0u, c.SetAnsiCodePage(936));
  EXPECT_EQ(0u, nettest::Thrown<httpclientexceptionW>([&] { c.SetAnsiCodePage(65001); }).GetErrorCode());
  EXPECT_EQ(936u, c.GetAnsiCodePage());
  c.SetProxyAccount(L"user", L"pw");
  EXPECT_STREQ(
      L"CHttpClientT::SetProxyAccount: szPassword can not be an empty string.",
      nettest::Thrown<httpclientexceptionW>([&] { c.SetProxyAccount(L"other", L""); }).GetErrorMessage());
  EXPECT_STREQ(L"user", c.GetProxyUserName());
  c.SetProxyAccount(nullptr, nullptr);
  EXPECT_STREQ(L"", c.GetProxyUserName());
  EXPECT_STREQ(L"", c.GetProxyPassword());
  EXPECT_STREQ(L"Kestor HTTP Client Class", c.GetUserAgent());
  EXPECT_STREQ(L"CHttpClientT::AddHeader: szValue can not be an empty string.",
               nettest::Thrown<httpclientexceptionW>([&] { c.AddHeader(L"X", L""); }).GetErrorMessage());
  HINTERNET fake = (HINTERNET)1;
  EXPECT_EQ(107u, nettest::Thrown<httpclientexceptionW>([&] {
                    c.OpenConnection(fake, L"http://h:123456/");
                  }).GetErrorCode());
  EXPECT_EQ(107u, nettest::Thrown<httpclientexceptionW>([&] {
                    c.OpenConnection(fake, L"http://h:80x/");
                  }).GetErrorCode());
  EXPECT_EQ(107u, nettest::Thrown<httpclientexceptionW>([&] {
                    c.OpenConnection(fake, L"http://h:70000/");
                  }).GetErrorCode());
  EXPECT_EQ(103u, nettest::Thrown<httpclientexceptionW>([&] {
                    c.OpenConnection(fake, L"http://:8080/");
                  }).GetErrorCode());
  // Nothing to proceed or cancel without a context.
  EXPECT_EQ(104u, nettest::Thrown<httpclientexceptionW>([&] { c.Proceed(10); }).GetErrorCode());
  EXPECT_FALSE(c.Cancel());
}

}  // namespace
