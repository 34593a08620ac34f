// Progress of a running POST or upload: exact body totals, what has been
// written so far, and the parameter being sent.
#pragma once
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "net/http/HttpError.h"
#include "net/http/HttpTool.h"

namespace Kestor {

template <class Tool>
class CHttpPostStatT {
 public:
  typedef typename Tool::CharType CharType;

  CHttpPostStatT() : m_szCurrParam(nullptr), m_szCurrFile(nullptr) { Zero(); }
  CHttpPostStatT(const CHttpPostStatT& other) : m_szCurrParam(nullptr), m_szCurrFile(nullptr) {
    Zero();
    *this = other;
  }
  CHttpPostStatT& operator=(const CHttpPostStatT& other) {
    if (this == &other) return *this;
    CharType* param = Dup(other.m_szCurrParam);
    CharType* file = nullptr;
    try {
      file = Dup(other.m_szCurrFile);
    } catch (...) {
      free(param);
      throw;
    }
    free(m_szCurrParam);
    free(m_szCurrFile);
    m_bIsActive = other.m_bIsActive;
    m_dwActualTotalByte = other.m_dwActualTotalByte;
    m_dwActualPostedByte = other.m_dwActualPostedByte;
    m_dwTotalByte = other.m_dwTotalByte;
    m_dwPostedByte = other.m_dwPostedByte;
    m_dwTotalCount = other.m_dwTotalCount;
    m_dwPostedCount = other.m_dwPostedCount;
    m_dwFileCount = other.m_dwFileCount;
    m_dwPostedFileCount = other.m_dwPostedFileCount;
    m_szCurrParam = param;
    m_szCurrFile = file;
    m_dwCurrParamTotalByte = other.m_dwCurrParamTotalByte;
    m_dwCurrParamPostedByte = other.m_dwCurrParamPostedByte;
    return *this;
  }
  virtual ~CHttpPostStatT() { _MakeInactive(); }

  BOOL IsActive() const { return m_bIsActive; }
  BOOL IsComplete() const {
    Check("IsComplete");
    return m_dwActualTotalByte == m_dwActualPostedByte;
  }

  DWORD ActualTotalByte() const { return Check("ActualTotalByte"), m_dwActualTotalByte; }
  DWORD ActualPostedByte() const { return Check("ActualPostedByte"), m_dwActualPostedByte; }
  DWORD TotalByte() const { return Check("TotalByte"), m_dwTotalByte; }
  DWORD PostedByte() const { return Check("PostedByte"), m_dwPostedByte; }
  DWORD TotalCount() const { return Check("TotalCount"), m_dwTotalCount; }
  DWORD PostedCount() const { return Check("PostedCount"), m_dwPostedCount; }
  DWORD FileCount() const { return Check("FileCount"), m_dwFileCount; }
  DWORD PostedFileCount() const { return Check("PostedFileCount"), m_dwPostedFileCount; }
  DWORD CurrParamTotalByte() const { return Check("CurrParamTotalByte"), m_dwCurrParamTotalByte; }
  DWORD CurrParamPostedByte() const { return Check("CurrParamPostedByte"), m_dwCurrParamPostedByte; }
  DWORD CurrParamRemainByte() const {
    return Check("CurrParamRemainByte"), m_dwCurrParamTotalByte - m_dwCurrParamPostedByte;
  }
  BOOL CurrParamIsFile() const { return Check("CurrParamIsFile"), m_szCurrFile != nullptr; }
  BOOL CurrParamIsComplete() const {
    return Check("CurrParamIsComplete"), m_dwCurrParamTotalByte == m_dwCurrParamPostedByte;
  }
  const CharType* CurrParam() const {
    Check("CurrParam");
    return m_szCurrParam ? m_szCurrParam : Tool::Pick("NULL", L"NULL");
  }
  const CharType* CurrFile() const {
    Check("CurrFile");
    return m_szCurrFile ? m_szCurrFile : Tool::Pick("NULL", L"NULL");
  }

  // ---- used by the client ----
  void _MakeActive(DWORD actualTotal, DWORD total, DWORD count, DWORD fileCount) {
    _MakeInactive();
    m_bIsActive = TRUE;
    m_dwActualTotalByte = actualTotal;
    m_dwTotalByte = total;
    m_dwTotalCount = count;
    m_dwFileCount = fileCount;
  }
  void _MakeInactive() {
    free(m_szCurrParam);
    free(m_szCurrFile);
    m_szCurrParam = m_szCurrFile = nullptr;
    Zero();
  }
  void _TestStartNewEntry(BOOL isFile = FALSE) const {
    Check("_TestStartNewEntry");
    SafeAdd<kAnsi>(m_dwPostedCount, 1);
    if (isFile) SafeAdd<kAnsi>(m_dwPostedFileCount, 1);
  }
  void _StartNewEntry(const CharType* name, DWORD size, BOOL isFile, const CharType* path) {
    _TestStartNewEntry(isFile);
    CharType* param = Dup(name);
    CharType* file = nullptr;
    try {
      file = isFile ? Dup(path) : nullptr;
    } catch (...) {
      free(param);
      throw;
    }
    ++m_dwPostedCount;
    if (isFile) ++m_dwPostedFileCount;
    free(m_szCurrParam);
    free(m_szCurrFile);
    m_szCurrParam = param;
    m_szCurrFile = file;
    m_dwCurrParamTotalByte = size;
    m_dwCurrParamPostedByte = 0;
  }
  void _TestAddPostedBytes(DWORD n) const {
    Check("_TestAddPostedBytes");
    SafeAdd<kAnsi>(m_dwPostedByte, n);
    SafeAdd<kAnsi>(m_dwCurrParamPostedByte, n);
    SafeAdd<kAnsi>(m_dwActualPostedByte, n);
  }
  void _AddPostedBytes(DWORD n) {
    m_dwPostedByte += n;
    m_dwCurrParamPostedByte += n;
    m_dwActualPostedByte += n;
  }
  void _TestAddActualPostedBytes(DWORD n) const {
    Check("_TestAddActualPostedBytes");
    SafeAdd<kAnsi>(m_dwActualPostedByte, n);
  }
  void _AddActualPostedBytes(DWORD n) { m_dwActualPostedByte += n; }

 private:
  static constexpr bool kAnsi = sizeof(CharType) == 1;

  void Zero() {
    m_bIsActive = FALSE;
    m_dwActualTotalByte = m_dwActualPostedByte = m_dwTotalByte = m_dwPostedByte = 0;
    m_dwTotalCount = m_dwPostedCount = m_dwFileCount = m_dwPostedFileCount = 0;
    m_dwCurrParamTotalByte = m_dwCurrParamPostedByte = 0;
  }

  // "CHttpPostStatT::<accessor>: The post context is not active."
  void Check(const char* accessor) const {
    if (m_bIsActive) return;
    char text[128];
    _snprintf(text, sizeof text - 1, "CHttpPostStatT::%s: The post context is not active.", accessor);
    text[sizeof text - 1] = 0;
    if (kAnsi) ThrowWithTextA(text, ErrNotSpecified);
    ThrowNarrowAsWide(text, ErrNotSpecified, 0);
  }

  static CharType* Dup(const CharType* s) {
    return s ? HeapCopyText<Tool>(s, Tool::StringLength(s)) : nullptr;
  }

  BOOL m_bIsActive;
  DWORD m_dwActualTotalByte;
  DWORD m_dwActualPostedByte;
  DWORD m_dwTotalByte;
  DWORD m_dwPostedByte;
  DWORD m_dwTotalCount;
  DWORD m_dwPostedCount;
  DWORD m_dwFileCount;
  DWORD m_dwPostedFileCount;
  CharType* m_szCurrParam;
  CharType* m_szCurrFile;
  DWORD m_dwCurrParamTotalByte;
  DWORD m_dwCurrParamPostedByte;
};

}  // namespace Kestor
