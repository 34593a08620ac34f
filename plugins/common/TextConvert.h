// Text helpers of the plug-ins that list names and words: code page 936
// (GBK) names to UTF-8, UTF-8 checks, and the caller's bounded text buffer.
//
// Conversions return new strings: a converted name is usually longer than
// the stored one, so any capacity check is made on the converted text.
#pragma once

#include <cstddef>
#include <string>

namespace plugin {

// GBK (code page 936) bytes as UTF-8. Plain ASCII comes back unchanged;
// bytes that do not convert become the replacement character.
std::string GbkToUtf8(const char* text, size_t length);
inline std::string GbkToUtf8(const std::string& text) { return GbkToUtf8(text.data(), text.size()); }

// True when the bytes are well-formed UTF-8 (no overlong forms, no
// surrogates, nothing above U+10FFFF).
bool IsUtf8(const char* text, size_t length);

// A name stored by an archiver as UTF-8: kept when the archive flags it as
// UTF-8 or when it already is well-formed UTF-8 (archivers on UTF-8 systems
// store it so without a flag); otherwise read as GBK.
std::string NameToUtf8(const char* text, size_t length, bool flaggedUtf8);

// UTF-8 re-encoded through UTF-16: malformed sequences become the
// replacement character, so the result is always well-formed.
std::string NormalizeUtf8(const char* text, size_t length);

// Length of the longest prefix of well-formed UTF-8 text that is at most
// max bytes long and ends on a character boundary.
size_t Utf8Prefix(const char* text, size_t length, size_t max);

// The caller's text buffer of a text entry: always NUL-terminated, never
// written past its capacity (which counts the NUL), and cut only between
// characters.
class CTextOut {
 public:
  // Makes the buffer an empty string; a null buffer or a capacity below 1
  // gives an unusable writer that writes nothing.
  CTextOut(char* buffer, int capacity);

  bool Usable() const { return m_buffer != nullptr; }
  size_t Length() const { return m_length; }
  // Whether text of n bytes fits with `more` bytes behind it and the NUL.
  bool Fits(size_t n, size_t more = 0) const;
  // Appends text when the whole of it fits; false (and nothing written)
  // otherwise.
  bool Append(const std::string& text);
  // Appends as much of the text as fits; true when all of it did.
  bool AppendCut(const std::string& text);

 private:
  char* m_buffer;
  size_t m_capacity;
  size_t m_length;
};

}  // namespace plugin
