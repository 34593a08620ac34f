// The image plug-ins through their exports, on real pictures: ImageMagick's
// (tests/fixtures/make-samples.sh), public samples, and pictures written to
// and deleted from FAT volumes by mtools, on a fresh volume and on one whose
// freed clusters still hold older files' bytes (make-plugslack.sh).
#include <cstring>
#include <map>
#include <sstream>

#include "PluginHarness.h"
#include "common/TestPaths.h"
#include "gtest/gtest.h"

namespace {

std::wstring W(const std::string& s) { return std::wstring(s.begin(), s.end()); }
std::wstring Corpus(const std::string& rel) { return testpaths::Shared(W("corpora/formats/" + rel)); }
std::wstring Sample(const std::string& name) { return testpaths::Fixture(W(name)); }

uint64_t FileSize(const std::wstring& path) { return testpaths::ReadWholeFile(path).size(); }

struct ContractCase {
  const wchar_t* dll;
  const char* name;
  int simple;
  int atOnce;
  std::vector<unsigned char> signature;
};

const ContractCase kContract[] = {
    {L"fmt_jpg.dll", "FILE_TYPE_JPG", 1, 0, {0xFF, 0xD8, 0xFF}},
    {L"fmt_gif.dll", "FILE_TYPE_GIF", 0, 0, {}},
    {L"fmt_bmp.dll", "FILE_TYPE_BMP", 1, 1, {0x42, 0x4D}},
    {L"fmt_ico.dll", "FILE_TYPE_ICON", 1, 0, {0x00, 0x00, 0x01, 0x00}},
    {L"fmt_psd.dll", "FILE_TYPE_PSD", 1, 0, {0x38, 0x42, 0x50, 0x53}},
};

TEST(ImagePluginContract, NamesFlagsAndSignatures) {
  for (const ContractCase& c : kContract) {
    SCOPED_TRACE(c.name);
    PluginModule p;
    ASSERT_TRUE(p.Load(c.dll));
    char name[FORMAT_NAME_SIZE + 4];
    memset(name, 0, sizeof(name));
    name[FORMAT_NAME_SIZE] = 'X';  // just past the 21-byte buffer: never written
    p.GetSupportFormat(name);
    EXPECT_STREQ(c.name, name);
    EXPECT_EQ('X', name[FORMAT_NAME_SIZE]);
    EXPECT_EQ(c.simple, *p.IsFileSigSimple);
    EXPECT_EQ(c.atOnce, *p.CanGetFileLenImmediately);
    EXPECT_EQ(0, *p.HasThumbnail);
    EXPECT_EQ(1, *p.HasThumbnailBitmap);
    if (c.simple) {
      FileSignRecord rec;
      memset(&rec, 0xCC, sizeof(rec));
      ASSERT_EQ(1, p.GetFileSign(&rec));
      ASSERT_EQ(c.signature.size(), rec.count);
      EXPECT_EQ(0, memcmp(rec.signature, c.signature.data(), rec.count));
    } else {
      FileSignCheckProc proc = nullptr;
      ASSERT_EQ(1, p.GetFileSign(&proc));
      ASSERT_NE(nullptr, proc);
      EXPECT_NE(0, proc(reinterpret_cast<const unsigned char*>("GIF89a")));
      EXPECT_NE(0, proc(reinterpret_cast<const unsigned char*>("GIF87a")));
      EXPECT_EQ(0, proc(reinterpret_cast<const unsigned char*>("GIF88a")));
      EXPECT_EQ(0, proc(reinterpret_cast<const unsigned char*>("GIF89b")));
    }
    if (!c.atOnce) {
      EXPECT_EQ(0, p.GetFileSizeAtOnce(reinterpret_cast<const unsigned char*>("BM\0\0")));
    }
    char text[302] = "jpg";
    auto reader = OpenReader(Sample("plugimg_photo.jpg"));
    EXPECT_EQ(0, p.GetThumbnailText(reader.get(), 100, text, 300));
  }
}

TEST(ImagePluginContract, LoadsAndUnloadsRepeatedly) {
  for (int i = 0; i < 3; ++i) {
    for (const ContractCase& c : kContract) {
      PluginModule p;
      ASSERT_TRUE(p.Load(c.dll));
      auto reader = OpenReader(Sample("plugimg_photo.jpg"));
      Analysis a = Analyse(p, reader.get(), 0);
      EXPECT_EQ(c.dll == std::wstring(L"fmt_jpg.dll") || c.dll == std::wstring(L"fmt_bmp.dll"),
                a.result != 0);
    }
  }
}

// -1 as length: the plug-in must not report a length (bmp).
struct LengthCase {
  const wchar_t* dll;
  std::wstring path;
  int result;
  int64_t length;
  uint64_t window;  // a second, smaller reader window to try (0: none)
};

void ExpectLength(const LengthCase& c, uint64_t window) {
  SCOPED_TRACE(testing::Message() << std::string(c.path.begin(), c.path.end()) << " window "
                                  << window);
  PluginModule p;
  ASSERT_TRUE(p.Load(c.dll));
  ASSERT_TRUE(testpaths::FileExists(c.path));
  auto reader = OpenReader(c.path, 0, window);
  Analysis a = Analyse(p, reader.get(), 0);
  EXPECT_EQ(c.result, a.result);
  if (c.result) {
    EXPECT_EQ(RAWINFO_HAS_VALID, a.info.flags & RAWINFO_HAS_VALID);
    EXPECT_EQ(1, a.info.valid);
    EXPECT_EQ(RAWINFO_HAS_FORMAT, a.info.flags & RAWINFO_HAS_FORMAT);
    if (c.length >= 0) {
      EXPECT_EQ(RAWINFO_HAS_LENGTH, a.info.flags & RAWINFO_HAS_LENGTH);
      EXPECT_EQ(static_cast<uint64_t>(c.length), a.info.length);
    } else {
      EXPECT_EQ(0, a.info.flags & RAWINFO_HAS_LENGTH);
    }
  }
}

TEST(ImagePluginLength, JpegMarkerWalkAndEntropyScan) {
  const LengthCase cases[] = {
      {L"fmt_jpg.dll", Sample("plugimg_photo.jpg"), 1, 15082, 4096},  // scanned across many windows
      {L"fmt_jpg.dll", Corpus("jpg/gps.jpg"), 1, 8271, 4096},  // EXIF only
      {L"fmt_jpg.dll", Corpus("jpg/hopper.jpg"), 1, 6412, 1024},
      {L"fmt_jpg.dll", Corpus("jpg/sample.jpg"), 1, 90683, 32768},  // restart markers in the scan
      {L"fmt_jpg.dll", Corpus("jpg/usa_railroad.jpg"), 1, 103748, 32768},
      {L"fmt_jpg.dll", Sample("plugimg_jfif40.jpg"), 0, 0, 0},  // JFIF below 48 x 48
      {L"fmt_jpg.dll", Sample("plugimg_jfif48.jpg"), 1, 4873, 0},
      // Several scans with tables between them: measured to the end, not to
      // the first table after the first scan.
      {L"fmt_jpg.dll", Sample("plugimg_progressive.jpg"), 1, static_cast<int64_t>(FileSize(Sample("plugimg_progressive.jpg"))), 4096},
      // No end marker: the picture ends with the source, not two bytes past it.
      {L"fmt_jpg.dll", Corpus("malformed/truncated_jpeg.jpg"), 1, 6698, 2048},
  };
  for (const LengthCase& c : cases) {
    ExpectLength(c, 0);
    if (c.window) ExpectLength(c, c.window);
  }
}

TEST(ImagePluginLength, JpegRejectsSofOneAndShortPictures) {
  // The photo with its baseline frame header turned into an extended one (C1).
  std::string bytes = testpaths::ReadWholeFile(Sample("plugimg_photo.jpg"));
  size_t sof = bytes.find("\xFF\xC0");
  ASSERT_NE(std::string::npos, sof);
  bytes[sof + 1] = '\xC1';
  TempFile f(L"jpg-sof1");
  ASSERT_TRUE(f.Write(bytes));
  PluginModule p;
  ASSERT_TRUE(p.Load(L"fmt_jpg.dll"));
  {
    auto reader = OpenReader(f.Path());
    EXPECT_EQ(0, Analyse(p, reader.get(), 0).result);
  }
  // A whole picture of 2040 bytes whose sector ends in zeros: too short.
  std::string small = testpaths::ReadWholeFile(Corpus("jpg/hopper.jpg"));
  size_t sos = small.find("\xFF\xDA");
  ASSERT_NE(std::string::npos, sos);
  std::string cut = small.substr(0, 2038) + "\xFF\xD9" + std::string(8, '\0');
  ASSERT_TRUE(f.Write(cut));
  {
    auto reader = OpenReader(f.Path());
    Analysis a = Analyse(p, reader.get(), 0);
    EXPECT_EQ(0, a.result);
    EXPECT_EQ(2040u, a.info.length);
  }
  // The same end marker followed by non-zero bytes still ends the picture:
  // what follows is not measured into it, and it stays too short.
  cut = small.substr(0, 2038) + "\xFF\xD9\x01" + std::string(600, '\0') + "\xFF\xD9";
  ASSERT_TRUE(f.Write(cut));
  {
    auto reader = OpenReader(f.Path());
    Analysis a = Analyse(p, reader.get(), 0);
    EXPECT_EQ(0, a.result);
    EXPECT_EQ(2040u, a.info.length);
  }
}

// A picture on a used disk is followed by whatever was there before: another
// picture's bytes, text, noise. It ends at its own end-of-image marker.
TEST(ImagePluginLength, JpegEndsAtItsEndMarkerWhateverFollows) {
  PluginModule p;
  ASSERT_TRUE(p.Load(L"fmt_jpg.dll"));
  const std::string other = testpaths::ReadWholeFile(Corpus("jpg/sample.jpg"));
  ASSERT_GT(other.size(), 40000u);
  std::string noise;
  for (uint32_t x = 12345, i = 0; i < 3000; ++i) {
    x = x * 1103515245u + 12345u;
    noise.push_back(static_cast<char>((x >> 16) | 1));  // never zero
  }
  const std::string followers[] = {
      other.substr(20000, 20000),  // the middle of an older picture's scan
      other,                       // a whole picture right behind it
      std::string(700, ' '),       // text
      noise,
  };
  const std::wstring pictures[] = {Sample("plugimg_photo.jpg"), Sample("plugimg_progressive.jpg"),
                                   Corpus("jpg/gps.jpg"), Corpus("jpg/sample.jpg")};
  TempFile f(L"jpg-followed");
  for (const std::wstring& path : pictures) {
    const std::string picture = testpaths::ReadWholeFile(path);
    for (const std::string& after : followers) {
      SCOPED_TRACE(testing::Message() << std::string(path.begin(), path.end()) << " + "
                                      << after.size());
      ASSERT_TRUE(f.Write(picture + after));
      for (uint64_t window : {0ull, 32768ull}) {
        auto reader = OpenReader(f.Path(), 0, window);
        Analysis a = Analyse(p, reader.get(), 0);
        EXPECT_EQ(1, a.result);
        EXPECT_EQ(picture.size(), a.info.length) << "window " << window;
      }
    }
  }
  // Fill bytes (FF) before the end marker belong to the picture.
  std::string photo = testpaths::ReadWholeFile(Sample("plugimg_photo.jpg"));
  ASSERT_EQ("\xFF\xD9", photo.substr(photo.size() - 2));
  photo.insert(photo.size() - 2, "\xFF\xFF");
  ASSERT_TRUE(f.Write(photo + noise));
  auto reader = OpenReader(f.Path());
  Analysis a = Analyse(p, reader.get(), 0);
  EXPECT_EQ(1, a.result);
  EXPECT_EQ(photo.size(), a.info.length);
}

TEST(ImagePluginLength, GifBlockWalkToTheTrailer) {
  const LengthCase cases[] = {
      {L"fmt_gif.dll", Sample("plugimg_anim.gif"), 1, static_cast<int64_t>(FileSize(Sample("plugimg_anim.gif"))), 0},
      {L"fmt_gif.dll", Corpus("gif/dispose_bgnd.gif"), 1, 1450, 0},
      {L"fmt_gif.dll", Corpus("gif/hopper.gif"), 1, 15305, 0},
      {L"fmt_gif.dll", Corpus("gif/india_map.gif"), 1, 35019, 0},
  };
  for (const LengthCase& c : cases) ExpectLength(c, 0);
  PluginModule p;
  ASSERT_TRUE(p.Load(L"fmt_gif.dll"));
  TempFile f(L"gif-walk");
  // A header without colour table followed by the trailer: 13 bytes, no file.
  std::string tiny("GIF89a\x10\x00\x10\x00\x00\x00\x00;", 14);
  ASSERT_TRUE(f.Write(tiny + std::string(1000, '\0')));
  {
    auto reader = OpenReader(f.Path());
    EXPECT_EQ(0, Analyse(p, reader.get(), 0).result);
  }
  const std::string hopper = testpaths::ReadWholeFile(Corpus("gif/hopper.gif"));
  ASSERT_EQ(';', hopper.back());
  const std::string blocks = hopper.substr(0, hopper.size() - 1);
  // Cut off before its trailer: measured to the end of the bytes there.
  ASSERT_TRUE(f.Write(blocks));
  {
    auto reader = OpenReader(f.Path());
    Analysis a = Analyse(p, reader.get(), 0);
    EXPECT_EQ(1, a.result);
    EXPECT_EQ(blocks.size(), a.info.length);
  }
  // Blocks followed by a byte that is no trailer: that byte is not the file's.
  ASSERT_TRUE(f.Write(blocks + "\x7F" + hopper));
  {
    auto reader = OpenReader(f.Path());
    Analysis a = Analyse(p, reader.get(), 0);
    EXPECT_EQ(1, a.result);
    EXPECT_EQ(blocks.size(), a.info.length);
  }
  // The trailer counted, the next file's bytes not.
  ASSERT_TRUE(f.Write(hopper + hopper));
  {
    auto reader = OpenReader(f.Path());
    EXPECT_EQ(hopper.size(), Analyse(p, reader.get(), 0).info.length);
  }
}

TEST(ImagePluginLength, IconFurthestImage) {
  const LengthCase cases[] = {
      {L"fmt_ico.dll", Sample("plugimg_multi.ico"), 1, 15086, 0},  // 48, 32, 16
      {L"fmt_ico.dll", Corpus("ico/python.ico"), 1, 15086, 0},     // 16, 32, 48
      {L"fmt_ico.dll", Corpus("ico/hopper.ico"), 1, 1406, 0},
      // 24 bits per pixel is not among the accepted depths.
      {L"fmt_ico.dll", Corpus("ico/hopper_256x256.ico"), 0, 0, 0},
      {L"fmt_ico.dll", Corpus("ico/wormux_32x32_16c.ico"), 1, 1150, 0},
  };
  for (const LengthCase& c : cases) ExpectLength(c, 0);

  PluginModule p;
  ASSERT_TRUE(p.Load(L"fmt_ico.dll"));
  TempFile f(L"ico-dir");
  auto measure = [&](const std::string& bytes) {
    EXPECT_TRUE(f.Write(bytes));
    auto reader = OpenReader(f.Path());
    return Analyse(p, reader.get(), 0);
  };
  // python.ico lists 16 (ends 1182), 32 (ends 5446) and 48 (ends 15086).
  const std::string python = testpaths::ReadWholeFile(Corpus("ico/python.ico"));
  ASSERT_EQ(15086u, python.size());
  {
    // The last entry damaged (planes 7): it adds nothing, the others count.
    std::string bytes = python;
    bytes[6 + 2 * 16 + 4] = 7;
    Analysis a = measure(bytes);
    EXPECT_EQ(1, a.result);
    EXPECT_EQ(5446u, a.info.length);
    // The first entry damaged the same way: no icon.
    bytes = python;
    bytes[6 + 4] = 7;
    EXPECT_EQ(0, measure(bytes).result);
  }
  {
    // Only the entries inside the bytes there are read: two of three.
    Analysis a = measure(python.substr(0, 6 + 2 * 16));
    EXPECT_EQ(1, a.result);
    EXPECT_EQ(5446u, a.info.length);
  }
  {
    // A later image ending past 1 MiB: no icon, as for the first one.
    std::string bytes = python;
    const uint32_t size = 0x100001u - 5446u;
    memcpy(&bytes[6 + 2 * 16 + 8], &size, 4);
    Analysis a = measure(bytes);
    EXPECT_EQ(0, a.result);
    EXPECT_EQ(0x100001u, a.info.length);
  }

  // First image ending one byte past 1 MiB: refused; exactly at 1 MiB: taken.
  std::string bytes = testpaths::ReadWholeFile(Corpus("ico/hopper.ico"));
  const uint32_t offset = 22;
  for (uint32_t end : {0x100001u, 0x100000u}) {
    const uint32_t size = end - offset;
    memcpy(&bytes[14], &size, 4);
    ASSERT_TRUE(f.Write(bytes));
    auto reader = OpenReader(f.Path());
    Analysis a = Analyse(p, reader.get(), 0);
    EXPECT_EQ(end == 0x100000u ? 1 : 0, a.result) << end;
    EXPECT_EQ(end, a.info.length);
  }
  // A size that would wrap a 32-bit sum back to a small length.
  const uint32_t wrap = 0xFFFFFFF0u;
  memcpy(&bytes[14], &wrap, 4);
  ASSERT_TRUE(f.Write(bytes));
  auto reader = OpenReader(f.Path());
  EXPECT_EQ(0, Analyse(p, reader.get(), 0).result);
}

TEST(ImagePluginLength, BitmapHeaderSizeAtOnce) {
  PluginModule p;
  ASSERT_TRUE(p.Load(L"fmt_bmp.dll"));
  const std::wstring files[] = {Corpus("bmp/article01.bmp"), Corpus("bmp/pal8rle.bmp"),
                                Corpus("bmp/pal8v4.bmp"),    Corpus("bmp/rgb24.bmp"),
                                Sample("plugimg_v5.bmp"),    Sample("plugimg_300x200.bmp")};
  for (const std::wstring& path : files) {
    std::string bytes = testpaths::ReadWholeFile(path);
    ASSERT_GT(bytes.size(), 64u);
    EXPECT_EQ(static_cast<int64_t>(bytes.size()),
              p.GetFileSizeAtOnce(reinterpret_cast<const unsigned char*>(bytes.data())));
    ExpectLength({L"fmt_bmp.dll", path, 1, -1, 0}, 0);
  }
  // bfSize 64: the deep scan steps one sector; the record names it but is not valid.
  std::string bytes = testpaths::ReadWholeFile(Corpus("bmp/rgb24.bmp"));
  const uint32_t small = 64;
  memcpy(&bytes[2], &small, 4);
  EXPECT_EQ(512, p.GetFileSizeAtOnce(reinterpret_cast<const unsigned char*>(bytes.data())));
  TempFile f(L"bmp-small");
  ASSERT_TRUE(f.Write(bytes));
  auto reader = OpenReader(f.Path());
  Analysis a = Analyse(p, reader.get(), 0);
  EXPECT_EQ(1, a.result);
  EXPECT_STREQ("bmp", a.info.format);
  EXPECT_EQ(0, a.info.flags & RAWINFO_HAS_VALID);
  EXPECT_EQ(0, a.info.valid);
}

TEST(ImagePluginLength, PsdSectionsAndImageData) {
  const LengthCase cases[] = {
      {L"fmt_psd.dll", Sample("plugimg_raw100.psd"), 1, 60148, 32768},  // raw data ends the file
      // Depth 1: 64 rows of 8 bytes behind the header and sections.
      {L"fmt_psd.dll", Sample("plugimg_mono.psd"), 1, 644 + 512, 1024},
      // Run-length documents: header, sections, the table of row byte counts
      // and the packed rows; with small windows the table is read in pieces.
      {L"fmt_psd.dll", Sample("plugimg_big4000.psd"), 1, 1206148, 0},
      // 75 bytes that are not the document's follow its image data.
      {L"fmt_psd.dll", Corpus("psd/Photoshop.psd"), 1, 17294, 0},
      // Sections wider than half a window are read through window moves.
      {L"fmt_psd.dll", Corpus("psd/hopper.psd"), 1, 175119, 131072},
      {L"fmt_psd.dll", Corpus("psd/rgba.psd"), 1, 2448, 1024},
      {L"fmt_psd.dll", Corpus("psd/testPSD.psd"), 1, 69410, 65536},
  };
  for (const LengthCase& c : cases) {
    ExpectLength(c, 0);
    if (c.window) ExpectLength(c, c.window);
  }
  // 60000 x 60000 x 4 channels x 16 bits does not fit 32 bits; the length does not wrap.
  std::string bytes = testpaths::ReadWholeFile(Sample("plugimg_raw100.psd"));
  const unsigned char big[] = {0x00, 0x00, 0xEA, 0x60};
  memcpy(&bytes[14], big, 4);
  memcpy(&bytes[18], big, 4);
  bytes[12] = 0;
  bytes[13] = 4;
  bytes[22] = 0;
  bytes[23] = 16;
  TempFile f(L"psd-big");
  ASSERT_TRUE(f.Write(bytes));
  PluginModule p;
  ASSERT_TRUE(p.Load(L"fmt_psd.dll"));
  auto reader = OpenReader(f.Path());
  Analysis a = Analyse(p, reader.get(), 0);
  ASSERT_EQ(1, a.result);
  EXPECT_EQ(60148u - 30000u + 60000ull * 60000ull * 2 * 4, a.info.length);
}

TEST(ImagePluginLength, PsdRunLengthTableOutOfReach) {
  PluginModule p;
  ASSERT_TRUE(p.Load(L"fmt_psd.dll"));
  TempFile f(L"psd-rle-cut");
  // 4000 x 3000 x 3 run-length behind 603148 bytes of header, sections and
  // compression field: the table alone takes 18000 bytes. Cut inside it, the
  // raw size is the guess, but not past the end of the source.
  const std::string big = testpaths::ReadWholeFile(Sample("plugimg_big4000.psd"));
  ASSERT_EQ(1206148u, big.size());
  const uint64_t tableStart = 603148, tableEnd = tableStart + 18000;
  ASSERT_TRUE(f.Write(big.substr(0, tableStart + 10000)));
  {
    auto reader = OpenReader(f.Path());
    Analysis a = Analyse(p, reader.get(), 0);
    EXPECT_EQ(1, a.result);
    EXPECT_EQ(tableStart + 10000, a.info.length);
  }
  // Cut right after the table: the table is all it takes.
  ASSERT_TRUE(f.Write(big.substr(0, tableEnd)));
  for (uint64_t window : {0ull, 1ull << 20}) {
    auto reader = OpenReader(f.Path(), 0, window);
    Analysis a = Analyse(p, reader.get(), 0);
    EXPECT_EQ(1, a.result);
    EXPECT_EQ(1206148u, a.info.length);
  }
}

// Pictures on a FAT volume (written, some deleted, by mtools) found at their
// real disk offsets through one reader over the whole volume.
TEST(ImagePluginCarving, PicturesOnFatVolume) {
  std::string table = testpaths::ReadWholeFile(Sample("plugimg_carve_fat.tsv"));
  ASSERT_FALSE(table.empty());
  PluginModule jpg, gif, ico, bmp, psd;
  ASSERT_TRUE(jpg.Load(L"fmt_jpg.dll") && gif.Load(L"fmt_gif.dll") && ico.Load(L"fmt_ico.dll") &&
              bmp.Load(L"fmt_bmp.dll") && psd.Load(L"fmt_psd.dll"));
  for (uint64_t window : {0ull, 262144ull}) {
    auto reader = OpenReader(Sample("plugimg_carve_fat.img"), 0, window);
    std::istringstream in(table);
    std::string line;
    std::getline(in, line);  // header
    int rows = 0;
    while (std::getline(in, line)) {
      std::istringstream row(line);
      std::string name;
      uint64_t offset = 0, size = 0;
      row >> name >> offset >> size;
      SCOPED_TRACE(name);
      ++rows;
      const std::string ext = name.substr(name.rfind('.') + 1);
      const PluginModule& p = ext == "jpg" ? jpg : ext == "gif" ? gif : ext == "ico" ? ico
                            : ext == "bmp" ? bmp : psd;
      Analysis a = Analyse(p, reader.get(), offset);
      ASSERT_EQ(1, a.result);
      EXPECT_STREQ(ext.c_str(), a.info.format);
      EXPECT_EQ(1, a.info.valid);
      if (ext == "bmp") {
        ASSERT_TRUE(reader->SeekTo(offset));
        EXPECT_EQ(static_cast<int64_t>(size), p.GetFileSizeAtOnce(reader->GetPointer()));
      } else {
        EXPECT_EQ(size, a.info.length);  // the whole file, no byte more
      }
    }
    EXPECT_EQ(11, rows);
  }
}

struct Hit {
  std::string ext;
  uint64_t length;
};

// Scans a volume image sector by sector the way the deep scan matches
// signatures, with every image plug-in; the hits by offset.
std::map<uint64_t, Hit> SectorScan(const std::wstring& path, uint64_t window) {
  std::map<uint64_t, Hit> found;
  const std::string image = testpaths::ReadWholeFile(path);
  PluginModule mods[5];
  const wchar_t* dlls[5] = {L"fmt_jpg.dll", L"fmt_gif.dll", L"fmt_ico.dll", L"fmt_bmp.dll",
                            L"fmt_psd.dll"};
  std::vector<FileSignRecord> sigs(5);
  FileSignCheckProc gifCheck = nullptr;
  for (int i = 0; i < 5; ++i) {
    EXPECT_TRUE(mods[i].Load(dlls[i]));
    if (*mods[i].IsFileSigSimple) {
      EXPECT_EQ(1, mods[i].GetFileSign(&sigs[i]));
    } else {
      EXPECT_EQ(1, mods[i].GetFileSign(&gifCheck));
    }
  }
  if (::testing::Test::HasFailure()) return found;
  auto reader = OpenReader(path, 0, window);
  for (uint64_t off = 0; off + 512 <= image.size(); off += 512) {
    const unsigned char* at = reinterpret_cast<const unsigned char*>(image.data()) + off;
    for (int i = 0; i < 5; ++i) {
      const bool match = *mods[i].IsFileSigSimple ? memcmp(at, sigs[i].signature, sigs[i].count) == 0
                                                  : gifCheck(at) != 0;
      if (!match) continue;
      Analysis a = Analyse(mods[i], reader.get(), off);
      if (!a.result || !a.info.valid) continue;
      uint64_t length = a.info.length;
      if (std::string(a.info.format) == "bmp") length = mods[i].GetFileSizeAtOnce(at);
      found[off] = {a.info.format, length};
    }
  }
  return found;
}

struct TableRow {
  std::string name;
  uint64_t offset;
  uint64_t size;
};

std::vector<TableRow> ReadTable(const std::wstring& path) {
  std::vector<TableRow> rows;
  std::istringstream in(testpaths::ReadWholeFile(path));
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    std::istringstream row(line);
    TableRow r;
    row >> r.name >> r.offset >> r.size;
    rows.push_back(r);
  }
  return rows;
}

// The whole volume scanned: every picture is found at its offset with its
// whole length and nothing else passes.
TEST(ImagePluginCarving, SectorScanFindsEveryPicture) {
  const std::vector<TableRow> rows = ReadTable(Sample("plugimg_carve_fat.tsv"));
  ASSERT_EQ(11u, rows.size());
  const std::map<uint64_t, Hit> found = SectorScan(Sample("plugimg_carve_fat.img"), 0);
  for (const TableRow& r : rows) {
    SCOPED_TRACE(r.name);
    ASSERT_EQ(1u, found.count(r.offset));
    EXPECT_EQ(r.name.substr(r.name.rfind('.') + 1), found.at(r.offset).ext);
    EXPECT_EQ(r.size, found.at(r.offset).length);
  }
  EXPECT_EQ(rows.size(), found.size());
}

// A used volume: pictures written by mtools into the clusters of deleted older
// files (a photo, a text log), so that older bytes stand right behind each
// picture's end; some pictures deleted again. Each comes back whole: the
// volume holds the picture's bytes at its offset, so a found length equal
// to the file's size is a byte-exact copy.
TEST(ImagePluginCarving, PicturesBeforeOlderBytesComeBackWhole) {
  const std::vector<TableRow> rows = ReadTable(Sample("plugslack_fat.tsv"));
  ASSERT_EQ(11u, rows.size());
  for (uint64_t window : {0ull, 262144ull}) {
    SCOPED_TRACE(testing::Message() << "window " << window);
    const std::map<uint64_t, Hit> found = SectorScan(Sample("plugslack_fat.img"), window);
    for (const TableRow& r : rows) {
      SCOPED_TRACE(r.name);
      ASSERT_EQ(1u, found.count(r.offset));
      EXPECT_EQ(r.name.substr(r.name.rfind('.') + 1), found.at(r.offset).ext);
      EXPECT_EQ(r.size, found.at(r.offset).length);
    }
    EXPECT_EQ(rows.size(), found.size());
  }
}

}  // namespace
