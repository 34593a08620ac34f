// What the mutation tests of the plug-ins share: bytes placed right before a
// no-access page (a read past them faults at once), a reader whose window is
// moved into such bytes, a small random generator, and the damage done to a
// sample (flipped bytes, cut short, extended with zeros or noise).
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "storage/DiskMappingPointer.h"

// Bytes placed right before a no-access page.
class GuardedBytes {
 public:
  GuardedBytes(const void* data, size_t size) {
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    const size_t page = si.dwPageSize, span = size ? (size + page - 1) / page * page : page;
    m_base = static_cast<unsigned char*>(
        VirtualAlloc(nullptr, span + page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD old = 0;
    VirtualProtect(m_base + span, page, PAGE_NOACCESS, &old);
    m_data = m_base + span - size;
    if (size) memcpy(m_data, data, size);
  }
  ~GuardedBytes() { VirtualFree(m_base, 0, MEM_RELEASE); }
  unsigned char* Data() const { return m_data; }

 private:
  unsigned char *m_base, *m_data;
};

// Moves a reader's window into a guarded region for the life of the object.
struct GuardedWindow {
  CDiskMappingPointer* r;
  unsigned char* keep;
  GuardedBytes bytes;
  explicit GuardedWindow(CDiskMappingPointer* reader)
      : r(reader), keep(r->m_pBuffer), bytes(keep, static_cast<size_t>(r->m_WindowSize)) {
    r->m_pBuffer = bytes.Data();
  }
  ~GuardedWindow() { r->m_pBuffer = keep; }
};

struct Rng {
  uint64_t x;
  uint32_t Next() {
    x = x * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>(x >> 33);
  }
  uint32_t Below(uint32_t n) { return n ? Next() % n : 0; }
};

inline std::string Mutate(const std::string& in, Rng& rng) {
  std::string s = in;
  const uint32_t kind = rng.Below(6);
  if (kind <= 2 || kind == 5) {  // flip bytes, mostly in the headers
    const uint32_t flips = 1 + rng.Below(12);
    for (uint32_t i = 0; i < flips && !s.empty(); ++i) {
      const uint32_t size = static_cast<uint32_t>(s.size());
      const uint32_t at = rng.Below(rng.Below(2) || size < 512 ? size : 512u);
      s[at] = static_cast<char>(rng.Below(3) == 0 ? 0xFF : rng.Next() & 0xFF);
    }
  }
  if (kind == 3 || kind == 5) s.resize(rng.Below(static_cast<uint32_t>(s.size()) + 1));  // cut
  if (kind == 4) {  // extend with noise or zeros
    const uint32_t more = 1 + rng.Below(5000);
    const bool zeros = rng.Below(2) == 0;
    for (uint32_t i = 0; i < more; ++i) s.push_back(zeros ? '\0' : static_cast<char>(rng.Next()));
  }
  return s;
}

