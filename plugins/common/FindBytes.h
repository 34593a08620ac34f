// Searching a plug-in's bytes for a run of bytes.
#pragma once

#include <cstdint>
#include <cstring>

namespace plugin {

// The first place in the n bytes at p where the w bytes of what stand whole,
// or null.
inline const unsigned char* FindBytes(const unsigned char* p, uint64_t n, const void* what, size_t w) {
  const unsigned char* needle = static_cast<const unsigned char*>(what);
  if (w == 0 || n < w) return nullptr;
  const unsigned char* last = p + (n - w);
  for (const unsigned char* q = p; q <= last; ++q) {
    q = static_cast<const unsigned char*>(memchr(q, needle[0], static_cast<size_t>(last - q) + 1));
    if (q == nullptr) return nullptr;
    if (memcmp(q, needle, w) == 0) return q;
  }
  return nullptr;
}

}  // namespace plugin
