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

using namespace mutation;

struct Subject {
  const wchar_t* dll;
  std::vector<std::string> samples;  // "fx:" fixtures, others from the corpus
  uint64_t seed;
};

class ImagePluginMutation : public ::testing::TestWithParam<Subject> {};

TEST_P(ImagePluginMutation, DamagedSamplesThroughEveryExport) {
  const Subject& subject = GetParam();
  for (const std::string& s : subject.samples)
    if (s.compare(0, 3, "fx:") != 0) {
      REQUIRE_CORPUS(L"corpora/formats");
      break;
    }
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
  MutantFile file(L"mutation");
  Rng rng{subject.seed};
  for (uint32_t i = 0; i < 1000; ++i) {
    const std::string bytes =
        Mutate(originals[rng.Below(static_cast<uint32_t>(originals.size()))], rng);
    SCOPED_TRACE(testing::Message() << "iteration " << i << " size " << bytes.size());
    ExerciseEveryExport(p, check, file, bytes, rng, [&](const Analysis& a, CDiskMappingPointer*) {
      if (a.result && a.info.valid && (a.info.flags & RAWINFO_HAS_LENGTH) &&
          (dll == L"fmt_jpg.dll" || dll == L"fmt_gif.dll")) {
        EXPECT_LE(a.info.length, bytes.size());  // measured on the bytes there
      }
      if (a.result && dll == L"fmt_ico.dll") {
        EXPECT_LE(a.info.length, 0x100000u);  // every image's end within the icon limit
      }
    });
    if (HasFatalFailure()) return;
  }
  ExpectNullArgumentsRefused(p, originals[0]);
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
