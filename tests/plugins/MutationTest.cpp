// Damaged pictures fed to every export of every image plug-in: real samples
// with flipped bytes, cut short, or extended with noise. Whatever comes back,
// no call may crash, hang, read outside the bytes it was given, or report a
// length past what a well-formed record allows.
//
// Reads outside the bytes are caught by guard pages: the memory-form entries
// get their bytes at the very end of a committed region, and the reader's
// window is moved into such a region, so that one byte too far faults.
#include <cstring>
#include <vector>

#include "PluginHarness.h"
#include "common/TestPaths.h"
#include "gtest/gtest.h"

namespace {

std::wstring W(const std::string& s) { return std::wstring(s.begin(), s.end()); }

// Bytes placed right before a no-access page.
class GuardedBytes {
 public:
  GuardedBytes(const void* data, size_t size) {
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    const size_t page = si.dwPageSize;
    m_span = (size + page - 1) / page * page;
    if (m_span == 0) m_span = page;
    m_base = static_cast<unsigned char*>(
        VirtualAlloc(nullptr, m_span + page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD old = 0;
    VirtualProtect(m_base + m_span, page, PAGE_NOACCESS, &old);
    m_data = m_base + m_span - size;
    if (size) memcpy(m_data, data, size);
  }
  ~GuardedBytes() { VirtualFree(m_base, 0, MEM_RELEASE); }
  unsigned char* Data() const { return m_data; }

 private:
  unsigned char* m_base = nullptr;
  unsigned char* m_data = nullptr;
  size_t m_span = 0;
};

// Moves a reader's window into a guarded region for the life of the object.
class GuardedWindow {
 public:
  explicit GuardedWindow(CDiskMappingPointer* r)
      : m_r(r), m_keep(r->m_pBuffer), m_bytes(r->m_pBuffer, static_cast<size_t>(r->m_WindowSize)) {
    r->m_pBuffer = m_bytes.Data();
  }
  ~GuardedWindow() { m_r->m_pBuffer = m_keep; }

 private:
  CDiskMappingPointer* m_r;
  unsigned char* m_keep;
  GuardedBytes m_bytes;
};

class Rng {
 public:
  explicit Rng(uint64_t seed) : m_x(seed) {}
  uint32_t Next() {
    m_x = m_x * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>(m_x >> 33);
  }
  uint32_t Below(uint32_t n) { return n ? Next() % n : 0; }

 private:
  uint64_t m_x;
};

std::string Mutate(const std::string& in, Rng& rng) {
  std::string s = in;
  const uint32_t kind = rng.Below(6);
  if (kind <= 2 || kind == 5) {  // flip bytes, mostly in the headers
    const uint32_t flips = 1 + rng.Below(12);
    for (uint32_t i = 0; i < flips && !s.empty(); ++i) {
      const uint32_t span = rng.Below(2) ? static_cast<uint32_t>(s.size()) : (s.size() < 512 ? static_cast<uint32_t>(s.size()) : 512u);
      const uint32_t at = rng.Below(span);
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

struct Subject {
  const wchar_t* dll;
  std::vector<std::wstring> samples;
};

void Torture(const Subject& subject, uint32_t iterations, uint64_t seed) {
  PluginModule p;
  ASSERT_TRUE(p.Load(subject.dll));
  std::vector<std::string> originals;
  for (const std::wstring& s : subject.samples) {
    originals.push_back(testpaths::ReadWholeFile(s));
    ASSERT_FALSE(originals.back().empty()) << std::string(s.begin(), s.end());
  }
  FileSignCheckProc check = nullptr;
  if (!*p.IsFileSigSimple) {
    ASSERT_EQ(1, p.GetFileSign(&check));
  }
  TempFile file(L"mutation");
  Rng rng(seed);
  const uint64_t windows[] = {1024, 4096, 16384, 65536, 262144};
  for (uint32_t i = 0; i < iterations; ++i) {
    const std::string& original = originals[rng.Below(static_cast<uint32_t>(originals.size()))];
    const std::string bytes = Mutate(original, rng);
    SCOPED_TRACE(testing::Message() << "iteration " << i << " size " << bytes.size());
    ASSERT_TRUE(file.Write(bytes));

    // The program's scan buffer always holds at least a block behind a candidate.
    std::string block = bytes;
    if (block.size() < 512) block.resize(512, '\0');
    GuardedBytes head(block.data(), block.size());
    if (check) check(head.Data());
    const int64_t atOnce = p.GetFileSizeAtOnce(head.Data());
    EXPECT_GE(atOnce, 0);

    const uint64_t window = windows[rng.Below(5)];
    auto reader = OpenReader(file.Path(), 0, window);
    {
      GuardedWindow guard(reader.get());
      Analysis a = Analyse(p, reader.get(), 0);
      EXPECT_NE(nullptr, memchr(a.info.format, 0, sizeof(a.info.format)));
      EXPECT_EQ(RAWINFO_RECORD_SIZE, a.info.size);
      if (a.result && a.info.valid && (a.info.flags & RAWINFO_HAS_LENGTH) &&
          (std::wstring(subject.dll) == L"fmt_jpg.dll" || std::wstring(subject.dll) == L"fmt_gif.dll")) {
        EXPECT_LE(a.info.length, bytes.size());  // measured on the bytes there
      }
      if (a.result && std::wstring(subject.dll) == L"fmt_ico.dll") {
        EXPECT_LE(a.info.length, 0x100000u);  // every image's end within the icon limit
      }
      if (rng.Below(3) == 0) {
        reader->SeekTo(0);
        HBITMAP bmp = nullptr;
        int w = 0, h = 0;
        if (p.GetThumbnailBitmap(reader.get(), bytes.size() + rng.Below(100000), &bmp, &w, &h)) {
          EXPECT_NE(nullptr, bmp);
          EXPECT_GT(w, 0);
          DeleteObject(bmp);
        }
      }
    }
    if (rng.Below(3) == 0 && !bytes.empty()) {
      GuardedBytes whole(bytes.data(), bytes.size());
      HBITMAP bmp = nullptr;
      int w = 0, h = 0;
      if (p.GetPreviewBitmap(whole.Data(), bytes.size(), &bmp, &w, &h)) {
        EXPECT_NE(nullptr, bmp);
        DeleteObject(bmp);
      }
    }
    if (::testing::Test::HasFatalFailure()) return;
  }
}

std::wstring Fx(const char* n) { return testpaths::Fixture(W(n)); }
std::wstring Co(const char* n) { return testpaths::Shared(W(std::string("corpora/formats/") + n)); }

TEST(ImagePluginMutation, Jpeg) {
  Torture({L"fmt_jpg.dll", {Fx("plugimg_photo.jpg"), Fx("plugimg_progressive.jpg"), Co("jpg/gps.jpg"),
                            Co("jpg/hopper.jpg"), Co("malformed/truncated_jpeg.jpg")}},
          1000, 1);
}

TEST(ImagePluginMutation, Gif) {
  Torture({L"fmt_gif.dll", {Fx("plugimg_anim.gif"), Co("gif/dispose_bgnd.gif"), Co("gif/hopper.gif"),
                            Co("malformed/zero_width.gif"), Co("malformed/decompression_bomb.gif")}},
          1000, 2);
}

TEST(ImagePluginMutation, Icon) {
  Torture({L"fmt_ico.dll", {Fx("plugimg_multi.ico"), Co("ico/python.ico"), Co("ico/hopper.ico"), Co("ico/wormux_32x32_16c.ico"),
                            Co("malformed/decompression_bomb.ico")}},
          1000, 3);
}

TEST(ImagePluginMutation, Bitmap) {
  Torture({L"fmt_bmp.dll", {Fx("plugimg_151x110.bmp"), Co("bmp/pal8rle.bmp"), Co("bmp/article01.bmp"),
                            Co("malformed/shortfile.bmp")}},
          1000, 4);
}

TEST(ImagePluginMutation, Document) {
  Torture({L"fmt_psd.dll", {Fx("plugimg_raw100.psd"), Fx("plugimg_mono.psd"), Co("psd/rgba.psd"),
                            Co("psd/Photoshop.psd"), Co("malformed/psd-oob-write.psd"),
                            Co("malformed/psd-oob-write-overflow.psd")}},
          1000, 5);
}

}  // namespace
