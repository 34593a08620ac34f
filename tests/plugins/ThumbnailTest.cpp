// Thumbnails and previews of the image plug-ins: fitted into 150 x 110 by
// the longer side (previews of documents at their own size), decoded from
// real pictures with GDI+ (started by the test environment) or stb_image.
#include <cstring>
#include <vector>

#include "PluginHarness.h"
#include "common/TestPaths.h"
#include "gtest/gtest.h"
#include "plugins/common/ThumbnailHelpers.h"

namespace {

std::wstring W(const std::string& s) { return std::wstring(s.begin(), s.end()); }
std::wstring Sample(const std::string& name) { return testpaths::Fixture(W(name)); }
std::wstring Corpus(const std::string& rel) { return testpaths::Shared(W("corpora/formats/" + rel)); }

// Colour of one pixel of a bitmap as 0xRRGGBB.
uint32_t PixelAt(HBITMAP bmp, int x, int y) {
  int w = 0, h = 0;
  BitmapSize(bmp, &w, &h);
  BITMAPINFO bi;
  memset(&bi, 0, sizeof(bi));
  bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
  bi.bmiHeader.biWidth = w;
  bi.bmiHeader.biHeight = -h;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  bi.bmiHeader.biCompression = BI_RGB;
  std::vector<uint32_t> px(static_cast<size_t>(w) * h);
  HDC dc = GetDC(nullptr);
  int lines = GetDIBits(dc, bmp, 0, h, px.data(), &bi, DIB_RGB_COLORS);
  ReleaseDC(nullptr, dc);
  if (lines != h) return 0xDEADBEEF;
  return px[static_cast<size_t>(y) * w + x] & 0xFFFFFF;
}

bool Near(uint32_t rgb, uint32_t want, int tolerance) {
  for (int shift = 0; shift < 24; shift += 8) {
    int a = (rgb >> shift) & 0xFF, b = (want >> shift) & 0xFF;
    if (a - b > tolerance || b - a > tolerance) return false;
  }
  return true;
}

struct Fit {
  const char* file;
  int width;
  int height;
};

TEST(ImagePluginThumbnail, FitsIntoTheBoxByTheLongerSide) {
  PluginModule p;
  ASSERT_TRUE(p.Load(L"fmt_bmp.dll"));
  const Fit fits[] = {
      {"plugimg_150x110.bmp", 150, 110}, {"plugimg_151x110.bmp", 150, 109},
      {"plugimg_300x200.bmp", 150, 100}, {"plugimg_200x400.bmp", 55, 110},
      {"plugimg_640x480.bmp", 150, 112},  // taller than the box: fitted by width only
      {"plugimg_200x200.bmp", 110, 110}, {"plugimg_100x100.bmp", 100, 100},
      {"plugimg_140x120.bmp", 140, 120},  // wider than high, within 150: kept
  };
  for (const Fit& f : fits) {
    SCOPED_TRACE(f.file);
    std::string bytes = testpaths::ReadWholeFile(Sample(f.file));
    ASSERT_FALSE(bytes.empty());
    HBITMAP bmp = nullptr;
    int w = 0, h = 0;
    // The memory form (file-system entries, preview pane)...
    ASSERT_EQ(1, p.GetPreviewBitmap(bytes.data(), bytes.size(), &bmp, &w, &h));
    ASSERT_NE(nullptr, bmp);
    EXPECT_EQ(f.width, w);
    EXPECT_EQ(f.height, h);
    int bw = 0, bh = 0;
    BitmapSize(bmp, &bw, &bh);
    EXPECT_EQ(w, bw);
    EXPECT_EQ(h, bh);
    // navy at the top, gold at the bottom of the gradient
    EXPECT_TRUE(Near(PixelAt(bmp, w / 2, 0), 0x000080, 24)) << std::hex << PixelAt(bmp, w / 2, 0);
    EXPECT_TRUE(Near(PixelAt(bmp, w / 2, h - 1), 0xFFD700, 24)) << std::hex << PixelAt(bmp, w / 2, h - 1);
    DeleteObject(bmp);
    // ...and the reader form (carved files) give the same size.
    auto reader = OpenReader(Sample(f.file));
    bmp = nullptr;
    ASSERT_EQ(1, p.GetThumbnailBitmap(reader.get(), bytes.size(), &bmp, &w, &h));
    EXPECT_EQ(f.width, w);
    EXPECT_EQ(f.height, h);
    DeleteObject(bmp);
  }
}

TEST(ImagePluginThumbnail, EveryFormatDecodesItsPictures) {
  struct Case {
    const wchar_t* dll;
    std::wstring path;
    int width;
    int height;
  };
  const Case cases[] = {
      {L"fmt_jpg.dll", Sample("plugimg_photo.jpg"), 150, 112},
      {L"fmt_jpg.dll", Corpus("jpg/hopper.jpg"), 110, 110},
      {L"fmt_jpg.dll", Sample("plugimg_progressive.jpg"), 150, 112},
      {L"fmt_gif.dll", Sample("plugimg_anim.gif"), 120, 90},
      {L"fmt_gif.dll", Corpus("gif/india_map.gif"), 109, 110},
      {L"fmt_ico.dll", Sample("plugimg_multi.ico"), 48, 48},
      {L"fmt_bmp.dll", Corpus("bmp/rgb24.bmp"), 127, 64},
      {L"fmt_psd.dll", Sample("plugimg_raw100.psd"), 100, 100},
      {L"fmt_psd.dll", Corpus("psd/hopper.psd"), 110, 110},
      {L"fmt_psd.dll", Sample("plugimg_big4000.psd"), 150, 112},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.path.begin(), c.path.end()));
    PluginModule p;
    ASSERT_TRUE(p.Load(c.dll));
    std::string bytes = testpaths::ReadWholeFile(c.path);
    auto reader = OpenReader(c.path);
    HBITMAP bmp = nullptr;
    int w = 0, h = 0;
    ASSERT_EQ(1, p.GetThumbnailBitmap(reader.get(), bytes.size(), &bmp, &w, &h));
    ASSERT_NE(nullptr, bmp);
    EXPECT_EQ(c.width, w);
    EXPECT_EQ(c.height, h);
    DeleteObject(bmp);
  }
}

TEST(ImagePluginThumbnail, DocumentPreviewKeepsItsSize) {
  PluginModule p;
  ASSERT_TRUE(p.Load(L"fmt_psd.dll"));
  std::string bytes = testpaths::ReadWholeFile(Sample("plugimg_big4000.psd"));
  HBITMAP bmp = nullptr;
  int w = 0, h = 0;
  ASSERT_EQ(1, p.GetPreviewBitmap(bytes.data(), bytes.size(), &bmp, &w, &h));
  EXPECT_EQ(4000, w);
  EXPECT_EQ(3000, h);
  EXPECT_TRUE(Near(PixelAt(bmp, 2000, 1500), 0xFFA500, 2)) << std::hex << PixelAt(bmp, 2000, 1500);
  DeleteObject(bmp);
  // Transparent pixels come out premultiplied (rgba.psd has an alpha channel).
  bytes = testpaths::ReadWholeFile(Corpus("psd/rgba.psd"));
  ASSERT_EQ(1, p.GetPreviewBitmap(bytes.data(), bytes.size(), &bmp, &w, &h));
  EXPECT_EQ(100, w);
  EXPECT_EQ(100, h);
  DeleteObject(bmp);
}

TEST(ImagePluginThumbnail, UndecodableBytesGiveNoBitmap) {
  const wchar_t* dlls[] = {L"fmt_jpg.dll", L"fmt_gif.dll", L"fmt_ico.dll", L"fmt_bmp.dll",
                           L"fmt_psd.dll"};
  // A real header cut off before any picture data.
  std::string jpeg = testpaths::ReadWholeFile(Sample("plugimg_photo.jpg")).substr(0, 300);
  std::string noise(4096, '\0');
  for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>((i * 7919) >> 3);
  for (const wchar_t* dll : dlls) {
    PluginModule p;
    ASSERT_TRUE(p.Load(dll));
    for (const std::string* bytes : {&jpeg, &noise}) {
      HBITMAP bmp = reinterpret_cast<HBITMAP>(0x1);
      int w = -1, h = -1;
      EXPECT_EQ(0, p.GetPreviewBitmap(bytes->data(), bytes->size(), &bmp, &w, &h));
      EXPECT_EQ(reinterpret_cast<HBITMAP>(0x1), bmp);  // untouched on failure
    }
    HBITMAP bmp = nullptr;
    EXPECT_EQ(0, p.GetPreviewBitmap(nullptr, 100, &bmp, nullptr, nullptr));
    EXPECT_EQ(0, p.GetPreviewBitmap(jpeg.data(), 0, &bmp, nullptr, nullptr));
    EXPECT_EQ(0, p.GetPreviewBitmap(jpeg.data(), jpeg.size(), nullptr, nullptr, nullptr));
  }
}

TEST(ImagePluginThumbnail, ReaderFormSeesOnlyTheLoadedWindow) {
  // A 640 x 480 bitmap (900 KiB) through a reader whose window holds 8 KiB:
  // the plug-in gets those bytes only; whatever GDI+ makes of them, nothing
  // beyond the window is read.
  PluginModule p;
  ASSERT_TRUE(p.Load(L"fmt_bmp.dll"));
  const std::wstring path = Sample("plugimg_640x480.bmp");
  const uint64_t size = testpaths::ReadWholeFile(path).size();
  auto reader = OpenReader(path, 0, 8192);
  HBITMAP bmp = nullptr;
  int w = 0, h = 0;
  if (p.GetThumbnailBitmap(reader.get(), size, &bmp, &w, &h)) {
    EXPECT_LE(w, 150);
    DeleteObject(bmp);
  }
  EXPECT_EQ(0u, reader->GetPosition());  // the reader did not move
}

}  // namespace

namespace {

// The stream the decoders read from: a decoder that seeks far past the end of
// a damaged picture gets nothing back instead of foreign memory.
TEST(ImagePluginThumbnail, BoundedStreamDeliversOnlyItsBytes) {
  const std::string bytes = testpaths::ReadWholeFile(testpaths::Fixture(L"plugimg_photo.jpg"));
  IStream* s = plugin::CreateBoundedMemoryStream(bytes.data(), bytes.size());
  ASSERT_NE(nullptr, s);
  STATSTG st;
  ASSERT_EQ(S_OK, s->Stat(&st, STATFLAG_NONAME));
  EXPECT_EQ(bytes.size(), st.cbSize.QuadPart);
  char buf[64];
  ULONG got = 0;
  LARGE_INTEGER to;
  ULARGE_INTEGER at;
  to.QuadPart = static_cast<LONGLONG>(bytes.size()) - 10;
  ASSERT_EQ(S_OK, s->Seek(to, STREAM_SEEK_SET, &at));
  EXPECT_EQ(S_FALSE, s->Read(buf, sizeof(buf), &got));  // only the last ten bytes
  EXPECT_EQ(10u, got);
  EXPECT_EQ(0, memcmp(buf, bytes.data() + bytes.size() - 10, 10));
  to.QuadPart = 1ll << 40;  // far beyond the end
  ASSERT_EQ(S_OK, s->Seek(to, STREAM_SEEK_CUR, &at));
  EXPECT_EQ(S_FALSE, s->Read(buf, sizeof(buf), &got));
  EXPECT_EQ(0u, got);
  to.QuadPart = -1;
  EXPECT_NE(S_OK, s->Seek(to, STREAM_SEEK_SET, &at));  // before the start
  to.QuadPart = 0x7FFFFFFFFFFFFFFFll;
  EXPECT_NE(S_OK, s->Seek(to, STREAM_SEEK_END, &at));  // wraps
  EXPECT_NE(S_OK, s->Write(buf, 1, &got));               // read-only
  to.QuadPart = 2;
  ASSERT_EQ(S_OK, s->Seek(to, STREAM_SEEK_SET, &at));
  IStream* c = nullptr;
  ASSERT_EQ(S_OK, s->Clone(&c));
  s->Release();  // the clone keeps its own bytes
  ASSERT_EQ(S_OK, c->Read(buf, 2, &got));
  EXPECT_EQ(0, memcmp(buf, bytes.data() + 2, 2));
  c->Release();
}

}  // namespace
