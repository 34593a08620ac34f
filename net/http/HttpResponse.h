// The response of one request: owns the WinINet handles the request left
// open and reads status, headers and body on demand. Deleting it closes the
// handles it owns.
#pragma once
#include <windows.h>
#include <wininet.h>

#include <cstdlib>
#include <cstring>

#include "net/http/HttpClientMap.h"
#include "net/http/HttpError.h"
#include "net/http/HttpTool.h"

namespace Kestor {

template <class Tool>
class CHttpResponseT {
 public:
  typedef typename Tool::CharType CharType;

  explicit CHttpResponseT(HINTERNET hRequest)
      : m_hInternet(nullptr), m_hConnection(nullptr), m_hRequest(hRequest) {
    Init();
  }
  CHttpResponseT(HINTERNET hConnection, HINTERNET hRequest)
      : m_hInternet(nullptr), m_hConnection(hConnection), m_hRequest(hRequest) {
    Init();
  }
  CHttpResponseT(HINTERNET hInternet, HINTERNET hConnection, HINTERNET hRequest)
      : m_hInternet(hInternet), m_hConnection(hConnection), m_hRequest(hRequest) {
    Init();
  }
  virtual ~CHttpResponseT() {
    Tool::CloseRequest(m_hRequest);
    Tool::CloseConnection(m_hConnection);
    Tool::CloseInternet(m_hInternet);
    free(m_szStatusText);
  }

  HINTERNET GetInternetHandle() const { return m_hInternet; }
  HINTERNET GetConnectionHandle() const { return m_hConnection; }
  HINTERNET GetRequestHandle() const { return m_hRequest; }

  // Values of a response header (0 when absent; an absent header is asked
  // for again at every call).
  DWORD GetHeaderCount(const CharType* name) {
    if (!name)
      Tool::ThrowWithText(Tool::Pick("CHttpResponseT::GetHeaderCount: szName can not be NULL.",
                                     L"CHttpResponseT::GetHeaderCount: szName can not be NULL."));
    DWORD n = m_headers.Count(name);
    return n ? n : _LoadHeader(name);
  }

  // The index-th value, owned by the response; NULL when there is none.
  const CharType* GetHeader(const CharType* name, DWORD index = 0) {
    if (!name)
      Tool::ThrowWithText(Tool::Pick("CHttpResponseT::GetHeader: szName can not be NULL.",
                                     L"CHttpResponseT::GetHeader: szName can not be NULL."));
    if (m_headers.Count(name) == 0 && _LoadHeader(name) == 0) return nullptr;
    return m_headers.GetValue(name, index);
  }

  DWORD GetStatus() {
    if (!m_hRequest)
      Tool::ThrowWithText(Tool::Pick("CHttpResponseT::GetStatus: m_hRequest can not be NULL.",
                                     L"CHttpResponseT::GetStatus: m_hRequest can not be NULL."));
    if (m_dwStatus == 0) {
      DWORD status = 0, size = sizeof status;
      if (!HttpQueryInfoW(m_hRequest, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                          nullptr))
        Tool::ThrowSystemError(ErrHttpQueryInfo, GetLastError());
      m_dwStatus = status;
    }
    return m_dwStatus;
  }

  const CharType* GetStatusText() {
    if (!m_hRequest)
      Tool::ThrowWithText(Tool::Pick("CHttpResponseT::GetStatusText: m_hRequest can not be NULL.",
                                     L"CHttpResponseT::GetStatusText: m_hRequest can not be NULL."));
    if (!m_szStatusText) m_szStatusText = Tool::GetStatusText(m_hRequest);
    return m_szStatusText;
  }

  // TRUE and the value when the response declares a Content-Length.
  BOOL GetContentLength(DWORD& length) {
    if (!m_hRequest)
      Tool::ThrowWithText(Tool::Pick("CHttpResponseT::GetContentLength: m_hRequest can not be NULL.",
                                     L"CHttpResponseT::GetContentLength: m_hRequest can not be NULL."));
    DWORD value = 0, size = sizeof value;
    if (!HttpQueryInfoW(m_hRequest, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &value, &size,
                        nullptr)) {
      DWORD e = GetLastError();
      if (e == ERROR_HTTP_HEADER_NOT_FOUND) return FALSE;
      Tool::ThrowSystemError(ErrHttpQueryInfo, e);
    }
    length = value;
    return TRUE;
  }

  // One read of at most size bytes; 0 at the end of the body.
  DWORD ReadContent(BYTE* buffer, DWORD size) {
    if (!m_hRequest)
      Tool::ThrowWithText(Tool::Pick("CHttpResponseT::ReadContent: m_hRequest can not be NULL.",
                                     L"CHttpResponseT::ReadContent: m_hRequest can not be NULL."));
    if (!buffer)
      Tool::ThrowWithText(Tool::Pick("CHttpResponseT::ReadContent: pbyBuff can not be NULL.",
                                     L"CHttpResponseT::ReadContent: pbyBuff can not be NULL."));
    if (size == 0)
      Tool::ThrowWithText(Tool::Pick("CHttpResponseT::ReadContent: cbBuff can not be zero.",
                                     L"CHttpResponseT::ReadContent: cbBuff can not be zero."));
    DWORD got = 0;
    if (!InternetReadFile(m_hRequest, buffer, size, &got))
      Tool::ThrowSystemError(ErrInternetReadFile, GetLastError());
    return got;
  }

  // Writes the rest of the body to a file (created or truncated).
  BOOL SaveContent(const CharType* path, BOOL overwrite = FALSE) {
    if (!path)
      Tool::ThrowWithText(Tool::Pick("CHttpResponseT::SaveContent: szFilePath can not be NULL.",
                                     L"CHttpResponseT::SaveContent: szFilePath can not be NULL."));
    if (!overwrite && Tool::FileExists(path)) Tool::ThrowSystemError(ErrFileExists, 0, path);
    HANDLE file = Tool::CreateFileAlwaysToWrite(path);
    if (file == INVALID_HANDLE_VALUE) Tool::ThrowSystemError(ErrOpenFile, GetLastError(), path);
    try {
      BYTE buffer[10240];
      for (;;) {
        DWORD got = ReadContent(buffer, sizeof buffer);
        if (got == 0) break;
        for (DWORD done = 0; done < got;) {
          DWORD written = 0;
          if (!WriteFile(file, buffer + done, got - done, &written, nullptr) || written == 0) {
            DWORD e = GetLastError();
            Tool::ThrowSystemError(ErrWriteFile, e ? e : ERROR_WRITE_FAULT, path);
          }
          done += written;
        }
      }
    } catch (...) {
      CloseHandle(file);
      throw;
    }
    return CloseHandle(file);
  }

  // Loads every value of the header into the cache; their number.
  DWORD _LoadHeader(const CharType* name) {
    if (!m_hRequest)
      Tool::ThrowWithText(Tool::Pick("CHttpResponseT::_LoadHeader: m_hRequest can not be NULL.",
                                     L"CHttpResponseT::_LoadHeader: m_hRequest can not be NULL."));
    if (!name)
      Tool::ThrowWithText(Tool::Pick("CHttpResponseT::_LoadHeader: szName can not be NULL.",
                                     L"CHttpResponseT::_LoadHeader: szName can not be NULL."));
    const bool ansi = sizeof(CharType) == 1;
    DWORD count = 0;
    DWORD index = 0;
    CharType* value = nullptr;
    CharType* nameCopy = nullptr;
    try {
      for (;;) {
        const DWORD asked = index;
        value = Tool::GetHeader(m_hRequest, name, &index);
        if (!value) break;
        count = ansi ? SafeAdd<true>(count, 1) : SafeAdd<false>(count, 1);
        nameCopy = HeapCopyText<Tool>(name, Tool::StringLength(name));
        m_headers.AddPointerDirectly(nameCopy, value, 0);
        nameCopy = nullptr;
        value = nullptr;
        if (index == asked) break;  // the index must advance, or the walk would not end
      }
    } catch (...) {
      free(value);
      free(nameCopy);
      m_headers.RemoveAll(name);
      throw;
    }
    return count;
  }

 private:
  CHttpResponseT(const CHttpResponseT&);
  CHttpResponseT& operator=(const CHttpResponseT&);

  void Init() {
    m_dwStatus = 0;
    m_szStatusText = nullptr;
  }

  CHttpClientMapT<Tool> m_headers;
  HINTERNET m_hInternet;
  HINTERNET m_hConnection;
  HINTERNET m_hRequest;
  DWORD m_dwStatus;
  CharType* m_szStatusText;
};

}  // namespace Kestor
