// Splits a URL into scheme, host, port, path, query and fragment by offsets
// and lengths (in characters of the text), without copying, decoding or
// checking. The 8-bit instance steps over double-byte characters of the
// given code page.
#pragma once
#include <windows.h>

#include "net/http/HttpError.h"

namespace Kestor {

template <class Tool>
class CHttpUrlAnalyzerT {
 public:
  typedef typename Tool::CharType CharType;

  CHttpUrlAnalyzerT() { Zero(); }
  CHttpUrlAnalyzerT(const CharType* url, UINT codePage = CP_ACP) { Analyze(url, codePage); }

  CHttpUrlAnalyzerT& Analyze(const CharType* url, UINT codePage = CP_ACP) {
    if (codePage == CP_UTF8 || codePage == CP_UTF7)
      Tool::ThrowWithText(Tool::Pick(
          "CHttpUrlAnalyzerT::Analyze: CP_UTF8 and CP_UTF7 can not be used for the CodePage parameter.",
          L"CHttpUrlAnalyzerT::Analyze: CP_UTF8 and CP_UTF7 can not be used for the CodePage parameter."));
    Zero();
    if (!url) return *this;
    const size_t length = Tool::StringLength(url);
    if (length > 0x7FFFFFFF) Tool::ThrowArithmeticError(kArithCauseOverflow);
    const int total = (int)length;

    // Scheme: up to the first "://" (a trail byte is never taken for ":").
    int pos = 0;
    for (int i = 0; url[i];) {
      if (url[i] == ':' && url[i + 1] == '/' && url[i + 2] == '/') {
        m_nSchemeLen = i;
        pos = i + 3;
        break;
      }
      i += Step(url, i, codePage);
    }

    // Authority: host, then ":" and the port.
    m_nHostPos = pos;
    bool inPort = false;
    while (url[pos] && url[pos] != '/' && url[pos] != '?' && url[pos] != '#') {
      if (!inPort && url[pos] == ':') {
        inPort = true;
        ++pos;
        m_nPortPos = pos;
        continue;
      }
      int n = Step(url, pos, codePage);
      (inPort ? m_nPortLen : m_nHostLen) += n;
      pos += n;
    }
    if (!inPort) m_nPortPos = pos;

    // Path, then the query from its first "?".
    m_nPathPos = pos;
    bool inQuery = false;
    while (url[pos] && url[pos] != '#') {
      if (!inQuery && url[pos] == '?') {
        inQuery = true;
        m_nQueryPos = pos;
      }
      int n = Step(url, pos, codePage);
      (inQuery ? m_nQueryLen : m_nPathLen) += n;
      pos += n;
    }
    if (!inQuery) m_nQueryPos = pos;

    m_nFragmentPos = pos;
    m_nFragmentLen = total - pos;
    return *this;
  }

  int GetSchemePos() const { return m_nSchemePos; }
  int GetSchemeLength() const { return m_nSchemeLen; }
  int GetHostPos() const { return m_nHostPos; }
  int GetHostLength() const { return m_nHostLen; }
  int GetPortPos() const { return m_nPortPos; }
  int GetPortLength() const { return m_nPortLen; }
  int GetPathPos() const { return m_nPathPos; }
  int GetPathLength() const { return m_nPathLen; }
  int GetQueryPos() const { return m_nQueryPos; }
  int GetQueryLength() const { return m_nQueryLen; }
  int GetFragmentPos() const { return m_nFragmentPos; }
  int GetFragmentLength() const { return m_nFragmentLen; }

 private:
  void Zero() {
    m_nSchemePos = m_nSchemeLen = m_nHostPos = m_nHostLen = m_nPortPos = m_nPortLen = 0;
    m_nPathPos = m_nPathLen = m_nQueryPos = m_nQueryLen = m_nFragmentPos = m_nFragmentLen = 0;
  }

  // Characters taken at i: two for a lead byte whose trail is not the end.
  static int Step(const CharType* url, int i, UINT codePage) {
    return (Tool::IsLeadByte(codePage, url[i]) && url[i + 1]) ? 2 : 1;
  }

  int m_nSchemePos, m_nSchemeLen;
  int m_nHostPos, m_nHostLen;
  int m_nPortPos, m_nPortLen;
  int m_nPathPos, m_nPathLen;
  int m_nQueryPos, m_nQueryLen;
  int m_nFragmentPos, m_nFragmentLen;
};

}  // namespace Kestor
