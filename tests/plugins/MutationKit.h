// What the mutation tests of the plug-ins share: bytes right before a
// no-access page (a read past them faults at once), a reader whose window is
// moved into such a region, a small deterministic random source and the
// mutations themselves (flipped bytes, mostly in the headers; a cut; noise or
// zeros appended).
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>

#include "PluginHarness.h"
#include "gtest/gtest.h"
#include "storage/DiskMappingPointer.h"

namespace mutation {

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

// One damaged file through every export the plug-in has: its check routine
// and length-at-once entry on the bytes of the scan buffer, GetRawFileInfo on
// a reader whose window lies before a guard page (the record goes to
// onRecord, with the reader), and now and then the thumbnail entries (reader
// form) and the preview entry (memory form, before a guard page).
inline void ExerciseEveryExport(const PluginModule& p, FileSignCheckProc check, MutantFile& file,
                                const std::string& bytes, Rng& rng,
                                const std::function<void(const Analysis&, CDiskMappingPointer*)>& onRecord) {
  static const uint64_t kWindows[] = {1024, 4096, 16384, 65536, 262144};
  ASSERT_TRUE(file.Write(bytes));
  // The program's scan buffer always holds at least a block behind a candidate.
  std::string block = bytes;
  if (block.size() < 512) block.resize(512, '\0');
  GuardedBytes head(block.data(), block.size());
  if (check) check(head.Data());
  const int64_t atOnce = p.GetFileSizeAtOnce(head.Data());
  if (*p.CanGetFileLenImmediately) {
    // The bitmap plug-in: the size its header states, or one block to step
    // over when the header does not hold.
    uint32_t stated = 0;
    memcpy(&stated, head.Data() + 2, 4);
    EXPECT_TRUE(atOnce == 512 || atOnce == static_cast<int64_t>(stated)) << atOnce;
  } else {
    EXPECT_EQ(0, atOnce);  // the stub of a plug-in the deep scan never asks
  }

  auto text = reinterpret_cast<PFN_GetThumbnailText>(GetProcAddress(p.module, "GetThumbnailText"));
  auto reader = file.Reader(kWindows[rng.Below(5)]);
  {
    GuardedWindow guard(reader.get());
    Analysis a = Analyse(p, reader.get());
    EXPECT_NE(nullptr, memchr(a.info.format, 0, sizeof(a.info.format)));
    EXPECT_EQ(RAWINFO_RECORD_SIZE, a.info.size);
    onRecord(a, reader.get());
    if (p.GetThumbnailBitmap && rng.Below(3) == 0) {
      reader->SeekTo(0);
      HBITMAP bmp = nullptr;
      int w = 0, h = 0;
      if (p.GetThumbnailBitmap(reader.get(), bytes.size() + rng.Below(100000), &bmp, &w, &h)) {
        EXPECT_NE(nullptr, bmp);
        EXPECT_GT(w, 0);
        DeleteObject(bmp);
      }
    }
    if (text && rng.Below(4) == 0) {
      reader->SeekTo(0);
      char buf[302] = {};
      text(reader.get(), bytes.size(), buf, 300);
      EXPECT_NE(nullptr, memchr(buf, 0, 300));
    }
  }
  if (p.GetPreviewBitmap && rng.Below(3) == 0 && !bytes.empty()) {
    GuardedBytes whole(bytes.data(), bytes.size());
    HBITMAP bmp = reinterpret_cast<HBITMAP>(0x1);
    int w = 0, h = 0;
    if (p.GetPreviewBitmap(whole.Data(), bytes.size(), &bmp, &w, &h)) {
      EXPECT_NE(nullptr, bmp);
      DeleteObject(bmp);
    } else {
      EXPECT_EQ(reinterpret_cast<HBITMAP>(0x1), bmp);  // untouched on failure
    }
  }
}

// Null and missing arguments are refused.
inline void ExpectNullArgumentsRefused(const PluginModule& p, const std::string& sample) {
  EXPECT_EQ(0, p.GetRawFileInfo(nullptr, nullptr));
  if (!p.GetPreviewBitmap) return;
  HBITMAP bmp = nullptr;
  EXPECT_EQ(0, p.GetPreviewBitmap(nullptr, 100, &bmp, nullptr, nullptr));
  EXPECT_EQ(0, p.GetPreviewBitmap(sample.data(), sample.size(), nullptr, nullptr, nullptr));
}

}  // namespace mutation
