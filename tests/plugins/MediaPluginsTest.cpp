// The RIFF, MP3, AMR and camera raw plug-ins through their exports: on the
// files of the media fixture (made by ffmpeg, sox, lame, id3v2 and eyeD3, and
// public camera raws; tests/fixtures/make-media.sh), on the chunk headers of a
// 1.1 GB AVI, on headers built for the rules' edge cases, and on damaged
// copies of the fixture's files (flipped bytes, cut short, noise appended):
// no call may crash, hang, read outside the bytes it was given, or report a
// record that breaks the contract.
#include <cstring>
#include <sstream>
#include <vector>

#include "MutationKit.h"
#include "PluginHarness.h"
#include "common/TestPaths.h"
#include "gtest/gtest.h"
#include "plugins/common/ThumbnailHelpers.h"

namespace {

const wchar_t *const kRiff = L"fmt_riff.dll", *const kMp3 = L"fmt_mp3.dll", *const kAmr = L"fmt_amr.dll",
                     *const kCamera = L"fmt_camera.dll";

std::string Read(const std::wstring& path) { return testpaths::ReadWholeFile(path); }

struct Row {
  uint64_t offset = 0, length = 0;
  std::string ext;
  int aligned = 0, whole = 0;
  std::string sha, source;
};

std::vector<Row> MediaRows() {
  std::vector<Row> rows;
  std::istringstream in(Read(Sample("media.tsv")));
  std::string line;
  std::getline(in, line);
  Row r;
  while (in >> r.offset >> r.length >> r.ext >> r.aligned >> r.whole >> r.sha >> r.source) rows.push_back(r);
  return rows;
}

const wchar_t* PluginOf(const std::string& ext) {
  if (ext == "avi" || ext == "wav" || ext == "cdr") return kRiff;
  if (ext == "mp3") return kMp3;
  if (ext == "amr") return kAmr;
  return kCamera;
}

// The bytes of one fixture file, by the end of its source name.
std::string MediaFile(const std::string& source, uint64_t* offset = nullptr) {
  static const std::string image = Read(Sample("media.img"));
  for (const Row& r : MediaRows()) {
    if (r.source.size() >= source.size() &&
        r.source.compare(r.source.size() - source.size(), source.size(), source) == 0) {
      if (offset) *offset = r.offset;
      return image.substr(r.offset, r.length);
    }
  }
  return std::string();
}

std::string Le32(uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); }
std::string Be32(uint32_t v) {
  const char b[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
  return std::string(b, 4);
}

TEST(MediaPluginContract, NamesFlagsAndSignatures) {
  const struct {
    const wchar_t* dll;
    const char* name;
    int simple, thumb, bitmap;
    std::string signature;
  } cases[] = {{kRiff, "FILE_TYPE_RIFF", 1, 0, 1, "RIFF"},
               {kMp3, "FILE_TYPE_MP3", 1, 0, 1, "ID3"},
               {kAmr, "FILE_TYPE_AMR", 1, 0, 0, "#!AMR\n"},
               {kCamera, "FILE_TYPE_CAMERA", 0, 0, 0, ""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PluginModule p;
    ASSERT_TRUE(p.Load(c.dll));
    char name[FORMAT_NAME_SIZE + 1];
    memset(name, 'X', sizeof(name));
    p.GetSupportFormat(name);
    EXPECT_STREQ(c.name, name);
    EXPECT_EQ(c.simple, *p.IsFileSigSimple);
    EXPECT_EQ(0, *p.CanGetFileLenImmediately);
    EXPECT_EQ(c.thumb, *p.HasThumbnail);
    EXPECT_EQ(c.bitmap, *p.HasThumbnailBitmap);
    EXPECT_EQ(c.bitmap != 0, p.GetPreviewBitmap != nullptr);
    if (c.simple) {
      FileSignRecord rec;
      memset(&rec, 0xCC, sizeof(rec));
      ASSERT_EQ(1, p.GetFileSign(&rec));
      EXPECT_EQ(c.signature, std::string(reinterpret_cast<char*>(rec.signature), rec.count));
    } else {
      FileSignCheckProc proc = nullptr;
      ASSERT_EQ(1, p.GetFileSign(&proc));
      ASSERT_NE(nullptr, proc);
      for (const char* h : {"II*\0", "MM\0*", "II\0*", "MM*\0"})
        EXPECT_EQ(h[0] == 'I' ? h[2] == '*' : h[3] == '*', proc(reinterpret_cast<const unsigned char*>(h)) != 0);
    }
  }
}

// Every file of the fixture, measured where it lies in the image, with the
// default window and with a small one that makes the walks cross windows.
// Among them the rules that the real files corrected: MPEG-2 and MPEG-2.5
// Layer III frames (lame at 22.05 and 8 kHz), the comfort-noise and empty
// frames an AMR encoder writes through a pause, and big-endian DNGs.
TEST(MediaPluginLength, EveryFileOfTheFixture) {
  const std::vector<Row> rows = MediaRows();
  ASSERT_EQ(29u, rows.size());
  for (uint64_t window : {uint64_t(0), uint64_t(4096)}) {
    auto reader = OpenReader(Sample("media.img"), window);
    for (const Row& r : rows) {
      SCOPED_TRACE(testing::Message() << r.source << " window " << window);
      PluginModule p;
      ASSERT_TRUE(p.Load(PluginOf(r.ext)));
      Analysis a = Analyse(p, reader.get(), r.offset);
      if (r.whole) {
        ASSERT_EQ(1, a.result);
        EXPECT_EQ(1, a.info.valid);
        EXPECT_EQ(RAWINFO_HAS_VALID | RAWINFO_HAS_FORMAT | RAWINFO_HAS_LENGTH, a.info.flags);
        EXPECT_EQ(r.length, a.info.length);
        EXPECT_EQ(r.ext, a.info.format);
      } else if (r.source == "media_v24.mp3") {
        EXPECT_EQ(0, a.result);  // an ID3v2.4 tag is not taken
      } else {
        // 18 bytes of text that no directory points to follow the picture.
        ASSERT_EQ("corpora/formats/cr2/CanonRaw.cr2", r.source);
        EXPECT_EQ(1, a.result);
        EXPECT_EQ(8706u, a.info.length);
      }
    }
  }
}

// An AVI of more than 1 GiB, as ffmpeg writes it, goes on behind its first
// RIFF chunk in "AVIX" chunks. The test file has the real chunk headers at
// their real offsets and is sparse elsewhere.
TEST(MediaPluginLength, AviOverOneGibibyteEndsAfterItsAvixChunks) {
  std::istringstream in(Read(Sample("media_bigavi.tsv")));
  std::string header, key;
  uint64_t size = 0;
  std::getline(in, header);
  in >> key >> size;
  ASSERT_EQ("size", key);
  TempFile f(L"bigavi");
  HANDLE h = CreateFileW(f.Path().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  DWORD ignored = 0;
  DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
  uint64_t offset = 0, chunks = 0;
  std::string hex;
  while (in >> offset >> hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(char(std::stoi(hex.substr(i, 2), nullptr, 16)));
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    DWORD done = 0;
    ASSERT_TRUE(SetFilePointerEx(h, at, nullptr, FILE_BEGIN));
    ASSERT_TRUE(WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr));
    ++chunks;
  }
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(size);
  ASSERT_TRUE(SetFilePointerEx(h, end, nullptr, FILE_BEGIN) && SetEndOfFile(h));
  CloseHandle(h);
  ASSERT_EQ(2u, chunks);

  PluginModule p;
  ASSERT_TRUE(p.Load(kRiff));
  auto reader = OpenReader(f.Path(), 0);
  Analysis a = Analyse(p, reader.get());
  ASSERT_EQ(1, a.result);
  EXPECT_EQ(size, a.info.length);  // not just the first chunk's 1074088866
  EXPECT_STREQ("avi", a.info.format);
}

// Headers and frame runs built for the rules' edge cases, each through the
// plug-in of its type (window 4096, so that the walks cross windows).
TEST(MediaPluginLength, HeadersAndFrames) {
  const std::string frame = std::string("\xFF\xFB\x90\x00", 4) + std::string(413, '\x55');  // 417 bytes
  std::string frames;
  for (int i = 0; i < 100; ++i) frames += frame;
  const std::string tag = std::string("ID3\x03\0\0\0\0\x02\x01", 10) + std::string(257, '\0');
  const std::string v1 = "TAG" + std::string(125, ' ');
  std::string badRate = frames;
  badRate[60 * 417 + 2] = '\xF0';  // bit-rate index 15
  // A Monkey's Audio stream of no frames: descriptor, header, 15 bytes.
  const std::string mac = std::string("ID3\x03\0\0\0\0\0\0", 10) + "MAC " + std::string(72, '\0');
  auto amr = [](unsigned char header, int count, size_t bytes) {
    std::string s;
    for (int i = 0; i < count; ++i) s += std::string(1, char(header)) + std::string(bytes - 1, '\x11');
    return s;
  };
  const std::string magic = "#!AMR\n", pad(24, '\0');
  const struct {
    const wchar_t* dll;
    std::string bytes;
    int result, valid;
    uint64_t length;
    const char* ext;
  } cases[] = {
      {kRiff, "RIFF" + Le32(36) + "WAVEfmt " + std::string(28, '\0'), 1, 1, 44, "wav"},
      // An animated cursor's size field counts what follows the first eight
      // bytes, as in every RIFF file.
      {kRiff, "RIFF" + Le32(1000) + "ACONanih" + pad, 1, 1, 1008, "ani"},
      {kRiff, "RIFF" + Le32(8) + "ACONanih" + pad, 0, 0, 0, ""},
      {kRiff, "RIFF" + Le32(100) + "abcd" + pad, 0, 0, 0, ""},
      {kRiff, "RIFF" + Le32(100) + "XYZ1" + pad, 1, 0, 108, ""},  // named nothing
      {kRiff, std::string("RIFF\0\0\1\0NUND", 12) + pad, 1, 1, 268, "cpr"},
      {kRiff, "RIFF" + Le32(2) + "CDDA" + pad, 0, 0, 0, ""},
      {kRiff, "RIFF" + Le32(500) + "IDF LIST" + pad, 1, 1, 508, "idf"},
      {kRiff, "RIFF" + Le32(0xFFFFFFF0u) + "QLCM" + pad, 1, 1, 0xFFFFFFF8ull, "qcp"},
      {kRiff, "RIFF" + Le32(100), 0, 0, 0, ""},  // the source ends inside the header
      {kMp3, tag + frames + v1 + std::string(300, '\x77'), 1, 1, 10 + 257 + 41700 + 128, "mp3"},
      {kMp3, tag + badRate, 1, 1, 10 + 257 + 60 * 417, "mp3"},
      {kMp3, tag + frames.substr(0, 4000), 1, 1, 10 + 257 + 4000, "mp3"},  // cut: ends with the source
      {kMp3, std::string("ID3\x04\0\0\0\0\0\0", 10) + frames, 0, 0, 0, ""},
      {kMp3, mac + std::string(15, '\0') + v1, 1, 1, 10 + 76 + 15 + 128, "ape"},
      {kMp3, tag + frames, 1, 1, 10 + 257 + 41700, "mp3"},  // right after an "ape": mp3 again
      {kMp3, tag + "APETAGEX" + Le32(2000) + Le32(64) + std::string(16, '\0') + std::string(64, 'i') + frame,
       1, 1, 10 + 257 + 32 + 64 + 417, "mp3"},
      {kAmr, magic + amr(0x3C, 100, 32) + std::string(8, '\0'), 1, 1, 3206, "amr"},  // 12.2 kbit/s
      {kAmr, magic + amr(0x44, 1, 6) + std::string(64, '\0'), 0, 0, 0, ""},  // comfort noise only: too short
      {kAmr, magic + amr(0x04, 2, 13) + std::string(64, '\0'), 0, 0, 0, ""},  // 32 bytes
      {kAmr, magic + std::string(64, '\0'), 0, 0, 0, ""},
      {kAmr, magic + "\x81" + std::string(64, '\x11'), 0, 0, 0, ""},  // reserved bits set
      // Speech, a pause of comfort-noise and empty frames, speech again.
      {kAmr, magic + amr(0x1C, 10, 18) + amr(0x44, 2, 6) + amr(0x7C, 20, 1) + amr(0x1C, 10, 18) +
           std::string(4, '\0'), 1, 1, 6 + 180 + 12 + 20 + 180, "amr"},
      {kAmr, magic + amr(0x1C, 10, 18) + "\x4C" + std::string(64, '\x11'), 1, 1, 6 + 180, "amr"},  // type 9 ends it
      {kAmr, magic + amr(0x3C, 10, 32).substr(0, 300), 1, 1, 306, "amr"},  // cut: ends with the source
  };
  TempFile f(L"media-head");
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    PluginModule p;
    ASSERT_TRUE(p.Load(cases[i].dll));
    Analysis a = f.Analyse(p, cases[i].bytes, 4096);
    EXPECT_EQ(cases[i].result, a.result) << i;
    EXPECT_EQ(cases[i].valid, a.info.valid) << i;
    if (cases[i].result) {
      EXPECT_EQ(cases[i].length, a.info.length) << i;
      EXPECT_STREQ(cases[i].ext, a.info.format) << i;
      EXPECT_EQ(RAWINFO_HAS_LENGTH | RAWINFO_HAS_FORMAT, a.info.flags & 3) << i;
    }
  }
}

// A TIFF built entry by entry: header, IFD0 at 16 (bytes 8 to 15 free for a
// maker's mark), the given directories, then filler up to size.
struct TiffEntry {
  uint16_t tag, type;
  uint32_t count, value;
};
struct TiffDir {
  uint32_t offset;
  std::vector<TiffEntry> entries;
  uint32_t next;
};
std::string Tiff(bool big, const std::vector<TiffDir>& dirs, size_t size, const std::string& mark = "") {
  std::string s(size, '\x5A');
  auto put16 = [&](size_t at, uint16_t v) {
    s[at] = char(big ? v >> 8 : v);
    s[at + 1] = char(big ? v : v >> 8);
  };
  auto put32 = [&](size_t at, uint32_t v) { s.replace(at, 4, big ? Be32(v) : Le32(v)); };
  s.replace(0, 4, big ? std::string("MM\0*", 4) : std::string("II*\0", 4));
  put32(4, 16);
  s.replace(8, 8, (mark + std::string(8, '\0')).substr(0, 8));
  for (const TiffDir& d : dirs) {
    put16(d.offset, static_cast<uint16_t>(d.entries.size()));
    size_t e = d.offset + 2;
    for (const TiffEntry& t : d.entries) {
      put16(e, t.tag);
      put16(e + 2, t.type);
      put32(e + 4, t.count);
      if (t.type == 3 && t.count == 1) {
        put16(e + 8, static_cast<uint16_t>(t.value));
        put16(e + 10, 0);
      } else {
        put32(e + 8, t.value);
      }
      e += 12;
    }
    put32(e, d.next);
  }
  return s;
}

TEST(MediaPluginLength, CameraDirectories) {
  const TiffEntry dng = {50706, 1, 4, 0x00000401}, strip = {273, 4, 1, 1000}, count = {279, 4, 1, 2000};
  auto make = [](uint32_t at) { return TiffEntry{271, 2, 18, at}; };
  const std::string nikon = "NIKON CORPORATION";
  auto withText = [](std::string s, size_t at, const std::string& text) {
    s.replace(at, text.size() + 1, text + std::string(1, '\0'));
    return s;
  };
  const struct {
    const char* what;
    std::string bytes;
    int result;
    uint64_t length;
    const char* ext;
  } cases[] = {
      {"dng strip", Tiff(false, {{16, {dng, strip, count}, 0}}, 4000), 1, 3000, "dng"},
      {"nef le", withText(Tiff(false, {{16, {make(600), strip, count}, 0}}, 4000), 600, nikon), 1, 3000, "nef"},
      {"nef be", withText(Tiff(true, {{16, {make(600), strip, count}, 0}}, 4000), 600, nikon), 1, 3000, "nef"},
      {"arw", withText(Tiff(false, {{16, {{271, 2, 9, 600}, strip, count}, 0}}, 4000), 600, "SONY DSC"), 0,
       0, "arw"},
      {"no maker", withText(Tiff(false, {{16, {make(600), strip, count}, 0}}, 4000), 600, "ACME"), 0, 0, ""},
      {"end 104857600", Tiff(false, {{16, {dng, {273, 4, 1, 104857000}, {279, 4, 1, 600}}, 0}}, 4000), 0, 0,
       "dng"},
      {"short arrays", Tiff(false, {{16, {dng, {273, 3, 2, 600}, {279, 3, 2, 700}}, 0}}, 4000), 0, 0, "dng"},
      {"array wrap",
       [&] {
         std::string s = Tiff(false, {{16, {dng, {273, 4, 2, 800}, {279, 4, 2, 900}}, 0}}, 4000);
         s.replace(800, 8, Le32(0xFFFFFFF0u) + Le32(100));
         s.replace(900, 8, Le32(0x20) + Le32(900));
         return s;
       }(),
       0, 0, "dng"},
      // A chain that comes back to IFD0, and an Exif directory that points up
      // to IFD0 again: each directory counts once and the walk ends.
      {"chain loop", Tiff(false, {{16, {dng, strip, count}, 200}, {200, {{279, 4, 1, 5}}, 16}}, 4000), 1,
       3000, "dng"},
      {"exif loop", Tiff(false, {{16, {dng, strip, count, {34665, 4, 1, 16}}, 0}}, 4000), 1, 3000, "dng"},
      // 32 sub-directories, each listing IFD0 32 times: walked once each,
      // where a walk without memory would make a million directory visits.
      {"sub-directory fan",
       [&] {
         std::vector<TiffDir> dirs = {{16, {dng, strip, count, {330, 4, 32, 1200}}, 0}};
         std::string s;
         for (uint32_t i = 0; i < 32; ++i) dirs.push_back({300 + 26 * i, {{330, 4, 32, 1400}}, 0});
         s = Tiff(false, dirs, 4000);
         for (uint32_t i = 0; i < 32; ++i) {
           s.replace(1200 + 4 * i, 4, Le32(300 + 26 * i));
           s.replace(1400 + 4 * i, 4, Le32(16));
         }
         return s;
       }(),
       1, 3000, "dng"},
  };
  PluginModule p;
  ASSERT_TRUE(p.Load(kCamera));
  TempFile f(L"tiff-head");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Analysis a = f.Analyse(p, c.bytes, 2048);
    EXPECT_EQ(c.result, a.result);
    EXPECT_STREQ(c.ext, a.info.format);
    if (c.result) {
      EXPECT_EQ(c.length, a.info.length);
      EXPECT_EQ(1, a.info.valid);
    }
  }
}

// Pixels of two bitmaps of the same size compared channel by channel.
bool SamePixels(HBITMAP a, HBITMAP b, int w, int h) {
  BITMAPINFO bi = {};
  bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
  bi.bmiHeader.biWidth = w;
  bi.bmiHeader.biHeight = -h;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  std::vector<uint32_t> pa(static_cast<size_t>(w) * h), pb(pa.size());
  HDC dc = GetDC(nullptr);
  const bool ok = GetDIBits(dc, a, 0, h, pa.data(), &bi, DIB_RGB_COLORS) == h &&
                  GetDIBits(dc, b, 0, h, pb.data(), &bi, DIB_RGB_COLORS) == h;
  ReleaseDC(nullptr, dc);
  return ok && pa == pb;
}

TEST(MediaPluginThumbnail, TheTagsAttachedPicture) {
  const std::string cover = Read(Sample("media_cover.jpg"));
  HBITMAP want = plugin::CreateBitmapFromMemory(cover.data(), cover.size());
  ASSERT_NE(nullptr, want);
  PluginModule p;
  ASSERT_TRUE(p.Load(kMp3));
  for (const char* name : {"media_vbr_pic.mp3", "media_lame_pic.mp3", "media_mpeg2_crc.mp3"}) {
    SCOPED_TRACE(name);
    uint64_t offset = 0;
    const std::string file = MediaFile(name, &offset);
    ASSERT_FALSE(file.empty());
    HBITMAP bmp = nullptr;
    int w = 0, h = 0;
    ASSERT_EQ(1, p.GetPreviewBitmap(file.data(), file.size(), &bmp, &w, &h));
    EXPECT_EQ(120, w);
    EXPECT_EQ(90, h);
    EXPECT_TRUE(SamePixels(want, bmp, 120, 90));
    DeleteObject(bmp);
    // From the reader at the file's place in the image.
    auto reader = OpenReader(Sample("media.img"), 0);
    ASSERT_TRUE(reader->SeekTo(offset));
    bmp = nullptr;
    ASSERT_EQ(1, p.GetThumbnailBitmap(reader.get(), file.size(), &bmp, &w, &h));
    EXPECT_TRUE(SamePixels(want, bmp, 120, 90));
    DeleteObject(bmp);
  }
  DeleteObject(want);
  // No picture frame, or its bytes cut off: no bitmap.
  const std::string plain = MediaFile("testMP3id3v2.mp3");
  const std::string cut = MediaFile("media_lame_pic.mp3").substr(0, 1200);
  HBITMAP bmp = reinterpret_cast<HBITMAP>(0x1);
  EXPECT_EQ(0, p.GetPreviewBitmap(plain.data(), plain.size(), &bmp, nullptr, nullptr));
  EXPECT_EQ(0, p.GetPreviewBitmap(cut.data(), cut.size(), &bmp, nullptr, nullptr));
  EXPECT_EQ(reinterpret_cast<HBITMAP>(0x1), bmp);
}

TEST(MediaPluginThumbnail, DrawingBitmaps) {
  PluginModule p;
  ASSERT_TRUE(p.Load(kRiff));
  uint64_t offset = 0;
  const std::string disp = MediaFile("media_disp.cdr", &offset);
  const std::string zip = Read(Sample("media_cdrzip.cdr"));
  ASSERT_FALSE(disp.empty());
  ASSERT_FALSE(zip.empty());
  HBITMAP a = nullptr, b = nullptr, c = nullptr;
  int w = 0, h = 0;
  ASSERT_EQ(1, p.GetPreviewBitmap(disp.data(), disp.size(), &a, &w, &h));
  EXPECT_EQ(64, w);
  EXPECT_EQ(48, h);
  ASSERT_EQ(1, p.GetPreviewBitmap(zip.data(), zip.size(), &b, &w, &h));
  EXPECT_EQ(64, w);
  auto reader = OpenReader(Sample("media.img"), 0);
  ASSERT_TRUE(reader->SeekTo(offset));
  ASSERT_EQ(1, p.GetThumbnailBitmap(reader.get(), disp.size(), &c, &w, &h));
  // The same bitmap (convert's), from the chunk and from the archive.
  EXPECT_TRUE(SamePixels(a, b, 64, 48));
  EXPECT_TRUE(SamePixels(a, c, 64, 48));
  // The chunk's third and fourth content bytes land where the upper half of
  // the pixel-data offset goes: they are cleared there, whatever they hold.
  std::string marked = disp;
  const size_t content = marked.find("DISP") + 8;
  marked[content + 2] = '\x5A';
  marked[content + 3] = '\x01';
  HBITMAP d = nullptr;
  ASSERT_EQ(1, p.GetPreviewBitmap(marked.data(), marked.size(), &d, &w, &h));
  EXPECT_TRUE(SamePixels(a, d, 64, 48));
  DeleteObject(d);
  DeleteObject(a);
  DeleteObject(b);
  DeleteObject(c);

  // An archive whose thumbnail entry claims 2 GiB is refused, not inflated;
  // one that claims fewer bytes than it holds fails its checksum.
  const size_t central = zip.find(std::string("PK\1\2", 4));
  const size_t entry = zip.find("metadata/thumbnails/thumbnail.bmp", central);
  ASSERT_NE(std::string::npos, entry);
  std::string bomb = zip, shortEntry = zip;
  bomb.replace(entry - 46 + 24, 4, Le32(0x7FFFFFF0u));
  const uint32_t real = *reinterpret_cast<const uint32_t*>(&zip[entry - 46 + 24]);
  shortEntry.replace(entry - 46 + 24, 4, Le32(real - 100));
  HBITMAP none = nullptr;
  EXPECT_EQ(0, p.GetPreviewBitmap(bomb.data(), bomb.size(), &none, &w, &h));
  EXPECT_EQ(0, p.GetPreviewBitmap(shortEntry.data(), shortEntry.size(), &none, &w, &h));
  EXPECT_EQ(nullptr, none);
  // A size beyond the source is refused by the reader form.
  EXPECT_EQ(0, p.GetThumbnailBitmap(reader.get(), reader->m_Limit + 1, &none, &w, &h));
}

using namespace mutation;

struct Subject {
  const wchar_t* dll;
  std::vector<std::string> extensions;  // fixture files of these types
  std::vector<std::string> extra;       // other fixtures
  uint64_t seed;
};

std::vector<std::string> FixtureFiles(const std::vector<std::string>& extensions) {
  const std::string image = Read(Sample("media.img"));
  std::vector<std::string> files;
  for (const Row& r : MediaRows())
    for (const std::string& e : extensions)
      if (e == r.ext) files.push_back(image.substr(r.offset, r.length));
  return files;
}

class MediaPluginMutation : public ::testing::TestWithParam<Subject> {};

TEST_P(MediaPluginMutation, DamagedFilesThroughEveryExport) {
  const Subject& subject = GetParam();
  const std::wstring dll = subject.dll;
  PluginModule p;
  ASSERT_TRUE(p.Load(dll));
  std::vector<std::string> originals = FixtureFiles(subject.extensions);
  for (const std::string& e : subject.extra) originals.push_back(Read(Sample(e)));
  ASSERT_GE(originals.size(), 3u);
  FileSignCheckProc check = nullptr;
  if (!*p.IsFileSigSimple) {
    ASSERT_EQ(1, p.GetFileSign(&check));
  }
  MutantFile file(L"media-mutation");
  Rng rng{subject.seed};
  for (uint32_t i = 0; i < 1200; ++i) {
    const std::string bytes =
        Mutate(originals[rng.Below(static_cast<uint32_t>(originals.size()))], rng);
    SCOPED_TRACE(testing::Message() << "iteration " << i << " size " << bytes.size());
    ExerciseEveryExport(p, check, file, bytes, rng, [&](const Analysis& a, CDiskMappingPointer* reader) {
      EXPECT_EQ(0, a.info.flags & RAWINFO_HAS_NAME);
      // The reader is left where the call found it.
      EXPECT_EQ(0u, reader->GetPosition());
      if (!a.result || !a.info.valid) return;
      EXPECT_EQ(RAWINFO_HAS_VALID | RAWINFO_HAS_FORMAT | RAWINFO_HAS_LENGTH, a.info.flags);
      EXPECT_NE('\0', a.info.format[0]);
      if (dll == L"fmt_mp3.dll" || dll == L"fmt_amr.dll") {
        EXPECT_LE(a.info.length, bytes.size());  // walked on the bytes there
      }
      if (dll == L"fmt_camera.dll") {
        EXPECT_GE(a.info.length, 513u);
        EXPECT_LE(a.info.length, 104857599u);
      }
    });
    if (HasFatalFailure()) return;
  }
  ExpectNullArgumentsRefused(p, originals[0]);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, MediaPluginMutation,
    ::testing::Values(Subject{L"fmt_riff.dll", {"avi", "wav", "cdr"}, {"media_cdrzip.cdr"}, 11},
                      Subject{L"fmt_mp3.dll", {"mp3"}, {}, 12},
                      Subject{L"fmt_amr.dll", {"amr"}, {}, 13},
                      Subject{L"fmt_camera.dll", {"cr2", "nef", "dng"}, {}, 14}));

}  // namespace
