#include "core/Base64.h"

namespace {
const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int ValueOf(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}
}  // namespace

std::string Base64EncodeString(const unsigned char* data, size_t length) {
  std::string out;
  if (!data || length == 0) return out;
  out.reserve((length + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= length; i += 3) {
    unsigned v = (data[i] << 16) | (data[i + 1] << 8) | data[i + 2];
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  size_t rest = length - i;
  if (rest) {
    unsigned v = data[i] << 16;
    if (rest == 2) v |= data[i + 1] << 8;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string Base64Encode(const std::string& bytes) {
  return Base64EncodeString(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

std::string Base64Decode(const char* text, size_t length) {
  std::string out;
  if (!text) return out;
  unsigned group[4];
  int k = 0;
  for (size_t i = 0; i < length; ++i) {
    int v = ValueOf((unsigned char)text[i]);
    if (v < 0) break;  // "=", line break or anything else ends the text
    group[k++] = (unsigned)v;
    if (k == 4) {
      unsigned w = (group[0] << 18) | (group[1] << 12) | (group[2] << 6) | group[3];
      out += (char)((w >> 16) & 0xFF);
      out += (char)((w >> 8) & 0xFF);
      out += (char)(w & 0xFF);
      k = 0;
    }
  }
  if (k >= 2) {
    unsigned w = (group[0] << 18) | (group[1] << 12) | (k == 3 ? group[2] << 6 : 0);
    out += (char)((w >> 16) & 0xFF);
    if (k == 3) out += (char)((w >> 8) & 0xFF);
  }
  return out;
}

std::string Base64DecodeString(const std::string& text) {
  return Base64Decode(text.data(), text.size());
}

void Base64DecodeString(const std::string& text, std::string& out) {
  out = Base64Decode(text.data(), text.size());
}
