// Owned heap byte array.
#pragma once
#include <cstdint>
#include <cstring>
#include <new>

class CByteBuffer {
 public:
  // GetData() is NULL when the allocation failed.
  CByteBuffer(uint32_t size, int zeroFill) : m_pData(nullptr), m_uSize(0) {
    m_pData = new (std::nothrow) unsigned char[size ? size : 1];
    if (m_pData) {
      m_uSize = size;
      if (zeroFill) memset(m_pData, 0, size ? size : 1);
    }
  }
  ~CByteBuffer() { delete[] m_pData; }
  CByteBuffer(const CByteBuffer&) = delete;
  CByteBuffer& operator=(const CByteBuffer&) = delete;

  unsigned char* GetData() const { return m_pData; }
  uint32_t GetSize() const { return m_uSize; }

 private:
  unsigned char* m_pData;
  uint32_t m_uSize;
};
