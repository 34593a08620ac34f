// The image plug-ins through their exports, on real pictures: ImageMagick's
// (tests/fixtures/make-samples.sh), public samples, and pictures written to
// and deleted from a FAT volume by mtools.
#include <cstring>
#include <map>
#include <sstream>
#include <vector>

#include "PluginHarness.h"
#include "common/TestPaths.h"
#include "gtest/gtest.h"

namespace {

const wchar_t *const kJpg = L"fmt_jpg.dll", *const kGif = L"fmt_gif.dll", *const kIco = L"fmt_ico.dll",
                     *const kBmp = L"fmt_bmp.dll", *const kPsd = L"fmt_psd.dll";
const wchar_t* const kAll[] = {kJpg, kGif, kIco, kBmp, kPsd};

std::string Read(const std::wstring& path) { return testpaths::ReadWholeFile(path); }

TEST(ImagePluginContract, NamesFlagsAndSignatures) {
  const struct {
    const char* name;
    int simple, atOnce;
    std::string signature;
  } cases[] = {{"FILE_TYPE_JPG", 1, 0, "\xFF\xD8\xFF"},
                        {"FILE_TYPE_GIF", 0, 0, ""},
                        {"FILE_TYPE_ICON", 1, 0, std::string("\0\0\1\0", 4)},
                        {"FILE_TYPE_BMP", 1, 1, "BM"},
                        {"FILE_TYPE_PSD", 1, 0, "8BPS"}};
  for (int i = 0; i < 5; ++i) {
    const auto& c = cases[i];
    SCOPED_TRACE(c.name);
    PluginModule p;
    ASSERT_TRUE(p.Load(kAll[i]));
    char name[FORMAT_NAME_SIZE + 1];
    memset(name, 'X', sizeof(name));
    p.GetSupportFormat(name);
    EXPECT_STREQ(c.name, name);
    EXPECT_EQ('X', name[FORMAT_NAME_SIZE]);  // just past the 21-byte buffer: never written
    EXPECT_EQ(c.simple, *p.IsFileSigSimple);
    EXPECT_EQ(c.atOnce, *p.CanGetFileLenImmediately);
    EXPECT_EQ(0, *p.HasThumbnail);
    EXPECT_EQ(1, *p.HasThumbnailBitmap);
    if (c.simple) {
      FileSignRecord rec;
      memset(&rec, 0xCC, sizeof(rec));
      ASSERT_EQ(1, p.GetFileSign(&rec));
      ASSERT_LT(rec.count, 256u);
      EXPECT_EQ(c.signature, std::string(reinterpret_cast<char*>(rec.signature), rec.count));
    } else {
      FileSignCheckProc proc = nullptr;
      ASSERT_EQ(1, p.GetFileSign(&proc));
      ASSERT_NE(nullptr, proc);
      for (const char* h : {"GIF89a", "GIF87a", "GIF88a"})
        EXPECT_EQ(h[4] != '8', proc(reinterpret_cast<const unsigned char*>(h)) != 0) << h;
    }
  }
}

const int64_t kWhole = -1;  // the length is the file's own size

TEST(ImagePluginLength, RealPictures) {
  REQUIRE_CORPUS(L"corpora/formats");
  const struct {
    const wchar_t* dll;
    std::wstring path;
    int result;
    int64_t length;
    uint64_t window;  // a second, smaller reader window to try (0: none)
  } cases[] = {
      // JPEG: marker walk, then the entropy data scanned across windows.
      {kJpg, Sample("plugimg_photo.jpg"), 1, 15082, 4096},
      {kJpg, Corpus("jpg/sample.jpg"), 1, 90683, 32768},  // restart markers in the scan
      {kJpg, Sample("plugimg_jfif40.jpg"), 0, 0, 0},      // JFIF below 48 x 48
      {kJpg, Sample("plugimg_jfif48.jpg"), 1, 4873, 0},
      // Several scans with tables between them: measured to the end of the last.
      {kJpg, Sample("plugimg_progressive.jpg"), 1, kWhole, 4096},
      // No end marker: the picture ends with the source, not two bytes past it.
      {kJpg, Corpus("malformed/truncated_jpeg.jpg"), 1, 6698, 2048},
      {kGif, Sample("plugimg_anim.gif"), 1, kWhole, 0},
      {kGif, Corpus("gif/india_map.gif"), 1, 35019, 0},
      // Icons end with their furthest image, not the first listed.
      {kIco, Sample("plugimg_multi.ico"), 1, 15086, 0},  // 48, 32, 16
      {kIco, Corpus("ico/python.ico"), 1, 15086, 0},     // 16, 32, 48
      {kIco, Corpus("ico/hopper_256x256.ico"), 0, 0, 0},  // 24 bits per pixel: not accepted
      {kPsd, Sample("plugimg_raw100.psd"), 1, 60148, 32768},  // raw data ends the file
      {kPsd, Sample("plugimg_mono.psd"), 1, 644 + 512, 1024},  // 1 bit: 64 rows of 8 bytes
      // Run-length: header, sections, the table of row byte counts, packed rows.
      {kPsd, Sample("plugimg_big4000.psd"), 1, 1206148, 0},
      {kPsd, Corpus("psd/Photoshop.psd"), 1, 17294, 0},  // 75 foreign bytes follow
      {kPsd, Corpus("psd/hopper.psd"), 1, 175119, 131072},  // sections wider than half a window
  };
  for (const auto& c : cases) {
    const uint64_t size = Read(c.path).size();
    PluginModule p;
    ASSERT_TRUE(p.Load(c.dll));
    for (uint64_t window : {kWholeSampleWindow, c.window}) {
      SCOPED_TRACE(testing::Message() << std::string(c.path.begin(), c.path.end()) << " window "
                                      << window);
      auto reader = OpenReader(c.path, window);
      Analysis a = Analyse(p, reader.get());
      ASSERT_EQ(c.result, a.result);
      if (!c.result) break;
      EXPECT_EQ(1, a.info.valid);
      EXPECT_EQ(RAWINFO_HAS_VALID | RAWINFO_HAS_FORMAT | RAWINFO_HAS_LENGTH, a.info.flags & 7);
      EXPECT_EQ(c.length == kWhole ? size : uint64_t(c.length), a.info.length);
      if (!c.window) break;
    }
  }
}

// The deep scan analyses candidates through a reader with a small window;
// a picture larger than it measures the same as through the default window:
// the plug-ins read on through the source instead of stopping at the window.
TEST(ImagePluginLength, ReadOnPastASmallWindow) {
  // A JPEG whose header holds three comment segments of 60000 bytes before
  // its tables; a raw document whose layer section grew by 200000 bytes.
  std::string jpeg = Read(Sample("plugimg_photo.jpg"));
  for (int i = 0; i < 3; ++i) jpeg.insert(2, "\xFF\xFE\xEA\x62" + std::string(60000, 'c'));
  std::string psd = Read(Sample("plugimg_raw100.psd"));  // layer section: length at 62, 30080 bytes
  psd.insert(62 + 4 + 30080, std::string(200000, '\0'));
  const uint32_t grown = 30080 + 200000;
  const char be[4] = {char(grown >> 24), char(grown >> 16), char(grown >> 8), char(grown)};
  psd.replace(62, 4, be, 4);
  const struct {
    const wchar_t* dll;
    std::string bytes;
    uint64_t length;
  } cases[] = {{kJpg, jpeg, 15082 + 3 * 60004},
               {kGif, Read(Sample("plugimg_anim.gif")), 30539},
               {kPsd, psd, 60148 + 200000}};
  TempFile f(L"plug-small");
  for (const auto& c : cases) {
    PluginModule p;
    ASSERT_TRUE(p.Load(c.dll));
    ASSERT_EQ(c.length, c.bytes.size());
    for (uint64_t window : {uint64_t(0), uint64_t(65536), uint64_t(4096)}) {
      SCOPED_TRACE(testing::Message() << std::string(c.dll, c.dll + wcslen(c.dll)) << " window " << window);
      Analysis a = f.Analyse(p, c.bytes, window);
      EXPECT_EQ(1, a.result);
      EXPECT_EQ(1, a.info.valid);
      EXPECT_EQ(c.length, a.info.length);
    }
  }
}

// Pictures followed by other bytes, cut short, or with damaged header fields.
TEST(ImagePluginLength, FollowedCutAndDamagedPictures) {
  REQUIRE_CORPUS(L"corpora/formats");
  auto with = [](std::string s, size_t at, uint64_t v, size_t n) {
    memcpy(&s[at], &v, n);  // little-endian
    return s;
  };
  // On a used disk a picture is followed by whatever was there before:
  // another picture's bytes, noise. It ends at its own end-of-image marker.
  const std::string photo = Read(Sample("plugimg_photo.jpg"));
  const std::string prog = Read(Sample("plugimg_progressive.jpg"));
  const std::string other = Read(Corpus("jpg/sample.jpg"));  // 90683 bytes
  std::string noise, filled = photo;
  for (uint32_t x = 12345, i = 0; i < 3000; ++i) {
    x = x * 1103515245u + 12345u;
    noise.push_back(static_cast<char>((x >> 16) | 1));  // never zero
  }
  filled.insert(filled.size() - 2, "\xFF\xFF");  // fill bytes before the end marker
  const std::string shortJpeg = Read(Corpus("jpg/hopper.jpg")).substr(0, 2038) + "\xFF\xD9\x01";
  const std::string gif = Read(Corpus("gif/hopper.gif"));
  const std::string blocks = gif.substr(0, gif.size() - 1);  // all but the trailer ";"
  // python.ico lists 16 (ends 1182), 32 (ends 5446) and 48 (ends 15086);
  // hopper.ico one image at offset 22, its size at byte 14.
  const std::string python = Read(Corpus("ico/python.ico"));
  const std::string ico = Read(Corpus("ico/hopper.ico"));
  // A 100 x 100 raw document; then 4000 x 3000 x 3 run-length with an
  // 18000-byte table of row counts at 603148.
  const std::string smallBmp = with(Read(Corpus("bmp/rgb24.bmp")), 2, 64, 4);  // size field 64
  const std::string psd = Read(Sample("plugimg_raw100.psd"));
  const std::string rle = Read(Sample("plugimg_big4000.psd"));
  const uint64_t kAny = ~0ull, table = 603148;
  const struct {
    const wchar_t* dll;
    std::string bytes;
    int result, valid;
    uint64_t length, window;  // window 0: one that holds the bytes whole
  } cases[] = {
      {kJpg, photo + other.substr(20000, 20000), 1, 1, photo.size(), 32768},  // another's scan
      {kJpg, photo + noise, 1, 1, photo.size(), 0},
      {kJpg, prog + other, 1, 1, prog.size(), 32768},  // a whole picture right behind it
      {kJpg, prog + noise, 1, 1, prog.size(), 0},
      {kJpg, filled + noise, 1, 1, filled.size(), 0},
      // 2040 bytes are too short, though non-zero bytes follow the end marker.
      {kJpg, shortJpeg + std::string(600, '\0') + "\xFF\xD9", 0, 0, 2040, 0},
      {kGif, gif + gif, 1, 1, gif.size(), 0},                 // the trailer counted, the next file not
      {kGif, blocks, 1, 1, blocks.size(), 0},                 // cut before the trailer: the bytes there
      {kGif, blocks + "\x7F" + gif, 1, 1, blocks.size(), 0},  // a byte that is no trailer is not its
      {kIco, with(python, 6 + 2 * 16 + 4, 7, 1), 1, 1, 5446, 0},  // last entry damaged: adds nothing
      {kIco, with(python, 6 + 4, 7, 1), 0, 0, kAny, 0},           // first entry damaged: no icon
      {kIco, python.substr(0, 6 + 2 * 16), 1, 1, 5446, 0},        // only the entries in the bytes
      {kIco, with(python, 6 + 2 * 16 + 8, 0x100001 - 5446, 4), 0, 0, 0x100001, 0},  // past 1 MiB
      {kIco, with(ico, 14, 0x100001 - 22, 4), 0, 0, 0x100001, 0},
      {kIco, with(ico, 14, 0x100000 - 22, 4), 1, 1, 0x100000, 0},  // exactly 1 MiB is taken
      {kIco, with(ico, 14, 0xFFFFFFF0u, 4), 0, 0, kAny, 0},  // would wrap a 32-bit sum
      {kBmp, smallBmp, 1, 0, kAny, 0},  // named, but not valid
      // 60000 x 60000 x 4 channels x 16 bits does not fit 32 bits.
      {kPsd, psd.substr(0, 12) + std::string("\0\4\0\0\xEA\x60\0\0\xEA\x60\0\x10", 12) + psd.substr(24),
       1, 1, 60148 - 30000 + 60000ull * 60000ull * 2 * 4, 0},
      // Cut inside the table: the raw size is the guess, but not past the source's end.
      {kPsd, rle.substr(0, table + 10000), 1, 1, table + 10000, 0},
      {kPsd, rle.substr(0, table + 18000), 1, 1, rle.size(), 0},  // the table is all it takes
      {kPsd, rle.substr(0, table + 18000), 1, 1, rle.size(), 1 << 20},
  };
  TempFile f(L"plug-cut");
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    PluginModule p;
    ASSERT_TRUE(p.Load(cases[i].dll));
    Analysis a = f.Analyse(p, cases[i].bytes, cases[i].window ? cases[i].window : kWholeSampleWindow);
    EXPECT_EQ(cases[i].result, a.result) << i;
    EXPECT_EQ(cases[i].valid, a.info.valid) << i;
    EXPECT_EQ(cases[i].valid ? RAWINFO_HAS_VALID : 0, a.info.flags & RAWINFO_HAS_VALID) << i;
    if (cases[i].length != kAny) {
      EXPECT_EQ(cases[i].length, a.info.length) << i;
    }
  }
  PluginModule bmp;  // the deep scan steps over the small bitmap by one sector
  ASSERT_TRUE(bmp.Load(kBmp));
  EXPECT_EQ(512, bmp.GetFileSizeAtOnce(reinterpret_cast<const unsigned char*>(smallBmp.data())));
}

// Pictures written (some deleted) by mtools to a FAT volume: a sector-by-sector
// signature scan over the whole volume, as the deep scan does it, finds each at
// its offset with its type and whole length, and nothing else passes.
TEST(ImagePluginCarving, SectorScanFindsEveryPicture) {
  std::map<uint64_t, std::pair<std::string, uint64_t>> want;
  std::istringstream in(Read(Sample("plugimg_carve_fat.tsv")));
  std::string name, header;
  uint64_t offset = 0, size = 0;
  std::getline(in, header);
  while (in >> name >> offset >> size) want[offset] = {name.substr(name.rfind('.') + 1), size};
  ASSERT_EQ(11u, want.size());

  PluginModule mods[5];
  FileSignRecord sigs[5];
  FileSignCheckProc gifCheck = nullptr;
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(mods[i].Load(kAll[i]));
    ASSERT_EQ(1, mods[i].GetFileSign(*mods[i].IsFileSigSimple ? static_cast<void*>(&sigs[i])
                                                              : static_cast<void*>(&gifCheck)));
  }
  const std::wstring path = Sample("plugimg_carve_fat.img");
  const std::string image = Read(path);
  for (uint64_t window : {0ull, 262144ull}) {
    SCOPED_TRACE(testing::Message() << "window " << window);
    auto reader = OpenReader(path, window);
    std::map<uint64_t, std::pair<std::string, uint64_t>> found;
    for (uint64_t off = 0; off + 512 <= image.size(); off += 512) {
      const unsigned char* at = reinterpret_cast<const unsigned char*>(image.data()) + off;
      for (int i = 0; i < 5; ++i) {
        if (*mods[i].IsFileSigSimple ? memcmp(at, sigs[i].signature, sigs[i].count) != 0
                                     : !gifCheck(at))
          continue;
        Analysis a = Analyse(mods[i], reader.get(), off);
        if (!a.result || !a.info.valid) continue;
        const bool atOnce = *mods[i].CanGetFileLenImmediately != 0;
        found[off] = {a.info.format, atOnce ? uint64_t(mods[i].GetFileSizeAtOnce(at)) : a.info.length};
      }
    }
    EXPECT_EQ(want, found);
  }
}

}  // namespace
