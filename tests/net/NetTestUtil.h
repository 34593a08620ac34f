// Shared helpers of the web-client tests: the scripted stand-in server that
// stand_in_server.py runs on 127.0.0.1, and the records it logs.
#pragma once
#include <gtest/gtest.h>
#include <json/json.h>
#include <windows.h>

#include <string>

#include "common/TestPaths.h"
#include "core/Base64.h"
#include "net/http/HttpError.h"

namespace nettest {

inline std::wstring Env(const wchar_t* name) {
  wchar_t buf[1024];
  DWORD n = GetEnvironmentVariableW(name, buf, 1024);
  return n && n < 1024 ? std::wstring(buf, n) : std::wstring();
}

// "127.0.0.1:PORT" of the stand-in server.
inline std::wstring Server() { return Env(L"DELVARO_NET_SERVER"); }
inline bool HaveServer() { return !Server().empty(); }

// Base of a scripted reply: "127.0.0.1:PORT/t/<opts>".
inline std::wstring Base(const std::wstring& opts) { return Server() + L"/t/" + opts; }
inline std::wstring Url(const std::wstring& opts, const std::wstring& rest = L"x") {
  return L"http://" + Base(opts) + L"/" + rest;
}

// A port that nothing listens on.
std::wstring ClosedPortBase();

inline std::wstring LogPath(const std::wstring& tag, int n = 1) {
  std::wstring name = n == 1 ? tag + L".json" : tag + L"." + std::to_wstring(n) + L".json";
  return testpaths::Join(Env(L"DELVARO_NET_LOG"), name);
}

// The record logged under tag, waiting for it as long as a slow machine
// may need; a null value when it never came.
inline Json::Value WaitLog(const std::wstring& tag, int n = 1) {
  for (int i = 0; i < 3000; ++i) {
    std::string text = testpaths::ReadWholeFile(LogPath(tag, n));
    if (!text.empty()) {
      Json::Value v;
      Json::CharReaderBuilder b;
      std::string errors;
      std::unique_ptr<Json::CharReader> r(b.newCharReader());
      if (r->parse(text.data(), text.data() + text.size(), &v, &errors)) return v;
    }
    Sleep(10);
  }
  return Json::Value();
}

// Requests logged under tag so far.
inline int CountLogs(const std::wstring& tag) {
  int n = 0;
  while (testpaths::FileExists(LogPath(tag, n + 1))) ++n;
  return n;
}

inline std::string Bytes(const Json::Value& record, const char* key) {
  return record[key].isString() ? Base64DecodeString(record[key].asString()) : std::string();
}

// Value of the first request header of that name (case-insensitive).
inline std::string Header(const Json::Value& record, const char* name) {
  for (const Json::Value& h : record["headers"])
    if (_stricmp(h[0].asCString(), name) == 0) return h[1].asString();
  return std::string();
}

inline std::string Narrow(const std::wstring& w) {
  std::string s;
  for (wchar_t c : w) s += (char)c;
  return s;
}

// The library exception that f throws (a failure when it throws none).
template <class E = Kestor::httpclientexceptionW, class F>
E Thrown(F f) {
  try {
    f();
  } catch (const E& e) {
    return e;
  }
  ADD_FAILURE() << "no exception";
  return E();
}

#define REQUIRE_SERVER() \
  if (!nettest::HaveServer()) GTEST_SKIP() << "runs under stand_in_server.py"

}  // namespace nettest
