#include "plugins/common/TextConvert.h"

#include <windows.h>

#include <cstring>
#include <vector>

namespace plugin {

namespace {

const UINT kGbkCodePage = 936;

bool IsAscii(const char* text, size_t length) {
  for (size_t i = 0; i < length; ++i)
    if (static_cast<unsigned char>(text[i]) >= 0x80) return false;
  return true;
}

// Bytes of one code page to UTF-8 through UTF-16.
std::string ToUtf8(UINT codePage, const char* text, size_t length) {
  if (length == 0) return std::string();
  if (length > 0x7FFFFFFF) length = 0x7FFFFFFF;
  const int n = static_cast<int>(length);
  const int wide = MultiByteToWideChar(codePage, 0, text, n, nullptr, 0);
  if (wide <= 0) return std::string();
  std::vector<wchar_t> w(static_cast<size_t>(wide));
  if (MultiByteToWideChar(codePage, 0, text, n, w.data(), wide) != wide) return std::string();
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, w.data(), wide, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return std::string();
  std::string out(static_cast<size_t>(bytes), '\0');
  if (WideCharToMultiByte(CP_UTF8, 0, w.data(), wide, &out[0], bytes, nullptr, nullptr) != bytes)
    return std::string();
  return out;
}

}  // namespace

std::string GbkToUtf8(const char* text, size_t length) {
  if (text == nullptr) return std::string();
  if (IsAscii(text, length)) return std::string(text, length);
  return ToUtf8(kGbkCodePage, text, length);
}

bool IsUtf8(const char* text, size_t length) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  size_t i = 0;
  while (i < length) {
    const unsigned c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t need;
    unsigned lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      need = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      need = 2;
      if (c == 0xE0) lo = 0xA0;   // no overlong forms
      if (c == 0xED) hi = 0x9F;   // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      need = 3;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;   // nothing above U+10FFFF
    } else {
      return false;
    }
    if (length - i <= need) return false;
    if (p[i + 1] < lo || p[i + 1] > hi) return false;
    for (size_t k = 2; k <= need; ++k)
      if ((p[i + k] & 0xC0) != 0x80) return false;
    i += need + 1;
  }
  return true;
}

std::string NameToUtf8(const char* text, size_t length, bool flaggedUtf8) {
  if (text == nullptr) return std::string();
  if (flaggedUtf8 || IsUtf8(text, length)) return NormalizeUtf8(text, length);
  return GbkToUtf8(text, length);
}

std::string NormalizeUtf8(const char* text, size_t length) {
  if (text == nullptr) return std::string();
  if (IsAscii(text, length)) return std::string(text, length);
  return ToUtf8(CP_UTF8, text, length);
}

size_t Utf8Prefix(const char* text, size_t length, size_t max) {
  if (length <= max) return length;
  size_t n = max;
  // Step back over continuation bytes to the start of the cut character.
  while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  return n;
}

CTextOut::CTextOut(char* buffer, int capacity)
    : m_buffer(capacity > 0 ? buffer : nullptr),
      m_capacity(capacity > 0 ? static_cast<size_t>(capacity) : 0),
      m_length(0) {
  if (m_buffer) m_buffer[0] = '\0';
}

bool CTextOut::Fits(size_t n, size_t more) const {
  if (!m_buffer) return false;
  const size_t room = m_capacity - 1 - m_length;  // bytes left before the NUL
  return n <= room && more <= room - n;
}

bool CTextOut::Append(const std::string& text) {
  if (!Fits(text.size())) return false;
  memcpy(m_buffer + m_length, text.data(), text.size());
  m_length += text.size();
  m_buffer[m_length] = '\0';
  return true;
}

bool CTextOut::AppendCut(const std::string& text) {
  if (!m_buffer) return false;
  if (Append(text)) return true;
  const size_t n = Utf8Prefix(text.data(), text.size(), m_capacity - 1 - m_length);
  memcpy(m_buffer + m_length, text.data(), n);
  m_length += n;
  m_buffer[m_length] = '\0';
  return false;
}

}  // namespace plugin
