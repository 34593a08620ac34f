// Thumbnails and previews of the image plug-ins, decoded from real pictures
// with GDI+ (started by the test environment) or stb_image.
#include <cstring>

#include "PluginHarness.h"
#include "common/TestPaths.h"
#include "gtest/gtest.h"
#include "plugins/common/ThumbnailHelpers.h"

namespace {

// Whether the pixel of a bitmap at x, y is within 24 of 0xRRGGBB per channel.
bool PixelNear(HBITMAP bmp, int x, int y, uint32_t want) {
  HDC dc = CreateCompatibleDC(nullptr);
  HGDIOBJ old = SelectObject(dc, bmp);
  const COLORREF c = GetPixel(dc, x, y);  // 0x00BBGGRR
  SelectObject(dc, old);
  DeleteDC(dc);
  const uint32_t rgb[3] = {GetRValue(c), GetGValue(c), GetBValue(c)};
  for (int i = 0; i < 3; ++i) {
    const int d = static_cast<int>(rgb[i]) - static_cast<int>((want >> (16 - 8 * i)) & 0xFF);
    if (c == CLR_INVALID || d > 24 || d < -24) return false;
  }
  return true;
}

// Thumbnails fit into 150 x 110 by the longer side; previews of documents keep
// their own size. The memory form (file-system entries, preview pane) and the
// reader form (carved files) agree.
TEST(ImagePluginThumbnail, FitsIntoTheBoxByTheLongerSide) {
  REQUIRE_CORPUS(L"corpora/formats");
  const struct {
    const wchar_t* dll;
    std::wstring path;
    int width, height;
    bool gradient;  // navy at the top, gold at the bottom
  } cases[] = {
      {L"fmt_bmp.dll", Sample("plugimg_150x110.bmp"), 150, 110, true},
      {L"fmt_bmp.dll", Sample("plugimg_151x110.bmp"), 150, 109, true},
      {L"fmt_bmp.dll", Sample("plugimg_300x200.bmp"), 150, 100, true},
      {L"fmt_bmp.dll", Sample("plugimg_200x400.bmp"), 55, 110, true},
      {L"fmt_bmp.dll", Sample("plugimg_640x480.bmp"), 150, 112, true},  // wider: by width only
      {L"fmt_bmp.dll", Sample("plugimg_200x200.bmp"), 110, 110, true},
      {L"fmt_bmp.dll", Sample("plugimg_100x100.bmp"), 100, 100, true},
      {L"fmt_bmp.dll", Sample("plugimg_140x120.bmp"), 140, 120, true},  // within 150: kept
      {L"fmt_bmp.dll", Sample("plugimg_v5.bmp"), 64, 48, false},  // 124-byte header
      {L"fmt_jpg.dll", Sample("plugimg_progressive.jpg"), 150, 112, false},
      {L"fmt_gif.dll", Corpus("gif/india_map.gif"), 109, 110, false},
      {L"fmt_ico.dll", Sample("plugimg_multi.ico"), 48, 48, false},
      {L"fmt_psd.dll", Sample("plugimg_big4000.psd"), 150, 112, false},  // preview 4000 x 3000
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.path.begin(), c.path.end()));
    PluginModule p;
    ASSERT_TRUE(p.Load(c.dll));
    const std::string bytes = testpaths::ReadWholeFile(c.path);
    ASSERT_FALSE(bytes.empty());
    auto reader = OpenReader(c.path);
    HBITMAP bmp = nullptr;
    int w = 0, h = 0;
    BITMAP b{};
    ASSERT_EQ(1, p.GetThumbnailBitmap(reader.get(), bytes.size(), &bmp, &w, &h));
    ASSERT_NE(0, GetObjectW(bmp, sizeof(b), &b));
    EXPECT_EQ(c.width, w);
    EXPECT_EQ(c.height, h);
    EXPECT_EQ(w, b.bmWidth);
    EXPECT_EQ(h, b.bmHeight);
    if (c.gradient) {
      EXPECT_TRUE(PixelNear(bmp, w / 2, 0, 0x000080));
      EXPECT_TRUE(PixelNear(bmp, w / 2, h - 1, 0xFFD700));
    }
    DeleteObject(bmp);
    bmp = nullptr;
    const bool document = std::wstring(c.dll) == L"fmt_psd.dll";
    ASSERT_EQ(1, p.GetPreviewBitmap(bytes.data(), bytes.size(), &bmp, &w, &h));
    EXPECT_EQ(document ? 4000 : c.width, w);
    EXPECT_EQ(document ? 3000 : c.height, h);
    if (document) {
      EXPECT_TRUE(PixelNear(bmp, 2000, 1500, 0xFFA500));
    }
    DeleteObject(bmp);
  }
}

// The stream the decoders read from: a decoder that seeks far past the end of
// a damaged picture gets nothing back instead of foreign memory.
TEST(ImagePluginThumbnail, BoundedStreamDeliversOnlyItsBytes) {
  const std::string bytes = testpaths::ReadWholeFile(Sample("plugimg_photo.jpg"));
  IStream* s = plugin::CreateBoundedMemoryStream(bytes.data(), bytes.size());
  ASSERT_NE(nullptr, s);
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
  s->Release();
}

}  // namespace
