// Damaged pictures (real samples with flipped bytes, cut short, or extended
// with noise) fed to every export of every image plug-in: no call may crash,
// hang, read outside the bytes it was given, or report a length past what a
// well-formed record allows. Guard pages catch reads outside the bytes: the
// memory-form entries get their bytes at the very end of a committed region,
// and the reader's window is moved into such a region.
#include <cstring>
#include <vector>

#include "MutationKit.h"
#include "PluginHarness.h"
#include "common/TestPaths.h"
#include "gtest/gtest.h"

namespace {

struct Subject {
  const wchar_t* dll;
  std::vector<std::string> samples;  // "fx:" fixtures, others from the corpus
  uint64_t seed;
};

class ImagePluginMutation : public ::testing::TestWithParam<Subject> {};

TEST_P(ImagePluginMutation, DamagedSamplesThroughEveryExport) {
  const Subject& subject = GetParam();
  const std::wstring dll = subject.dll;
  PluginModule p;
  ASSERT_TRUE(p.Load(dll));
  std::vector<std::string> originals;
  for (const std::string& s : subject.samples) {
    originals.push_back(testpaths::ReadWholeFile(s.compare(0, 3, "fx:") == 0 ? Sample(s.substr(3))
                                                                             : Corpus(s)));
    ASSERT_FALSE(originals.back().empty()) << s;
  }
  FileSignCheckProc check = nullptr;
  if (!*p.IsFileSigSimple) {
    ASSERT_EQ(1, p.GetFileSign(&check));
  }
  TempFile file(L"mutation");
  Rng rng{subject.seed};
  const uint64_t windows[] = {1024, 4096, 16384, 65536, 262144};
  for (uint32_t i = 0; i < 1000; ++i) {
    const std::string bytes =
        Mutate(originals[rng.Below(static_cast<uint32_t>(originals.size()))], rng);
    SCOPED_TRACE(testing::Message() << "iteration " << i << " size " << bytes.size());
    ASSERT_TRUE(file.Write(bytes));

    // The program's scan buffer always holds at least a block behind a candidate.
    std::string block = bytes;
    if (block.size() < 512) block.resize(512, '\0');
    GuardedBytes head(block.data(), block.size());
    if (check) check(head.Data());
    EXPECT_GE(p.GetFileSizeAtOnce(head.Data()), 0);

    auto reader = OpenReader(file.Path(), windows[rng.Below(5)]);
    {
      GuardedWindow guard(reader.get());
      Analysis a = Analyse(p, reader.get());
      EXPECT_NE(nullptr, memchr(a.info.format, 0, sizeof(a.info.format)));
      EXPECT_EQ(RAWINFO_RECORD_SIZE, a.info.size);
      if (a.result && a.info.valid && (a.info.flags & RAWINFO_HAS_LENGTH) &&
          (dll == L"fmt_jpg.dll" || dll == L"fmt_gif.dll")) {
        EXPECT_LE(a.info.length, bytes.size());  // measured on the bytes there
      }
      if (a.result && dll == L"fmt_ico.dll") {
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
      HBITMAP bmp = reinterpret_cast<HBITMAP>(0x1);
      int w = 0, h = 0;
      if (p.GetPreviewBitmap(whole.Data(), bytes.size(), &bmp, &w, &h)) {
        EXPECT_NE(nullptr, bmp);
        DeleteObject(bmp);
      } else {
        EXPECT_EQ(reinterpret_cast<HBITMAP>(0x1), bmp);  // untouched on failure
      }
    }
    if (HasFatalFailure()) return;
  }
  HBITMAP bmp = nullptr;
  EXPECT_EQ(0, p.GetPreviewBitmap(nullptr, 100, &bmp, nullptr, nullptr));
  EXPECT_EQ(0, p.GetPreviewBitmap(originals[0].data(), originals[0].size(), nullptr, nullptr, nullptr));
}

INSTANTIATE_TEST_SUITE_P(
    Formats, ImagePluginMutation,
    ::testing::Values(
        Subject{L"fmt_jpg.dll", {"fx:plugimg_photo.jpg", "fx:plugimg_progressive.jpg", "jpg/gps.jpg",
                                 "jpg/hopper.jpg", "malformed/truncated_jpeg.jpg"}, 1},
        Subject{L"fmt_gif.dll", {"fx:plugimg_anim.gif", "gif/dispose_bgnd.gif", "gif/hopper.gif",
                                 "malformed/zero_width.gif", "malformed/decompression_bomb.gif"}, 2},
        Subject{L"fmt_ico.dll", {"fx:plugimg_multi.ico", "ico/python.ico", "ico/hopper.ico",
                                 "ico/wormux_32x32_16c.ico", "malformed/decompression_bomb.ico"}, 3},
        Subject{L"fmt_bmp.dll", {"fx:plugimg_151x110.bmp", "bmp/pal8rle.bmp", "bmp/article01.bmp",
                                 "malformed/shortfile.bmp"}, 4},
        Subject{L"fmt_psd.dll", {"fx:plugimg_raw100.psd", "fx:plugimg_mono.psd", "psd/rgba.psd",
                                 "psd/Photoshop.psd", "malformed/psd-oob-write.psd",
                                 "malformed/psd-oob-write-overflow.psd"}, 5}));

}  // namespace
