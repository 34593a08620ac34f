// Damaged archives and drawings (real samples with flipped bytes, cut
// short, or extended with noise) through every export of the archive and
// drawing plug-ins: no call may crash, hang, read outside the bytes it was
// given (guard pages stand right behind them), write a text past its
// capacity, or hand out a text that is not well-formed UTF-8.
#include <cstring>
#include <vector>

#include "MutationKit.h"
#include "PluginHarness.h"
#include "common/TestPaths.h"
#include "gtest/gtest.h"
#include "plugins/common/TextConvert.h"

namespace {

using namespace mutation;

struct Subject {
  const wchar_t* dll;
  std::vector<std::string> samples;  // "fx:" fixtures, others from the corpus
  const char* ext;                   // what the text entries are handed
  uint64_t seed;
};

class ArchivePluginMutation : public ::testing::TestWithParam<Subject> {};

// A text entry's output: NUL-terminated inside the capacity, the byte
// behind it untouched, and well-formed UTF-8.
void CheckText(const std::vector<char>& buf, int capacity, int result) {
  const char* end = static_cast<const char*>(memchr(buf.data(), 0, static_cast<size_t>(capacity)));
  ASSERT_NE(nullptr, end);
  EXPECT_EQ('\x5A', buf[static_cast<size_t>(capacity)]);
  if (result) {
    EXPECT_TRUE(plugin::IsUtf8(buf.data(), static_cast<size_t>(end - buf.data())));
  }
}

TEST_P(ArchivePluginMutation, DamagedSamplesThroughEveryExport) {
  const Subject& subject = GetParam();
  for (const std::string& s : subject.samples)
    if (s.compare(0, 3, "fx:") != 0) {
      REQUIRE_CORPUS(L"corpora/formats");
      break;
    }
  PluginModule p;
  ASSERT_TRUE(p.Load(subject.dll));
  std::vector<std::string> originals;
  for (const std::string& s : subject.samples) {
    originals.push_back(testpaths::ReadWholeFile(s.compare(0, 3, "fx:") == 0 ? Sample(s.substr(3))
                                                                             : Corpus(s)));
    ASSERT_FALSE(originals.back().empty()) << s;
  }
  MutantFile file(L"arch-mutation");
  Rng rng{subject.seed};
  const uint64_t windows[] = {1024, 4096, 16384, 65536, 262144};
  const int capacities[] = {1, 2, 7, 40, 302, 1922};
  for (uint32_t i = 0; i < 800; ++i) {
    const std::string bytes =
        Mutate(originals[rng.Below(static_cast<uint32_t>(originals.size()))], rng);
    SCOPED_TRACE(testing::Message() << "iteration " << i << " size " << bytes.size());
    ASSERT_TRUE(file.Write(bytes));

    std::string block = bytes;
    if (block.size() < 512) block.resize(512, '\0');
    GuardedBytes head(block.data(), block.size());
    // ZIP walks the block it is given (a length within it, or one block to
    // step over); the other archive plug-ins have the stub.
    const int64_t atOnce = p.GetFileSizeAtOnce(head.Data());
    if (std::wstring(subject.dll) == L"fmt_zip.dll") {
      EXPECT_GT(atOnce, 0);
      EXPECT_LE(atOnce, 512);
    } else {
      EXPECT_EQ(0, atOnce);
    }

    auto reader = file.Reader(windows[rng.Below(5)]);
    const int capacity = capacities[rng.Below(6)];
    std::vector<char> text(static_cast<size_t>(capacity) + 1, '\x5A');
    {
      GuardedWindow guard(reader.get());
      Analysis a = Analyse(p, reader.get());
      EXPECT_NE(nullptr, memchr(a.info.format, 0, sizeof(a.info.format)));
      EXPECT_EQ(RAWINFO_RECORD_SIZE, a.info.size);
      if (a.result && a.info.valid) {
        EXPECT_GT(a.info.length, 0u);
        EXPECT_LE(a.info.length, 0x280000000ull);
      }
      const int64_t claimed = static_cast<int64_t>(bytes.size()) + rng.Below(100000);
      reader->SeekTo(0);
      HBITMAP bmp = nullptr;
      int w = 0, h = 0;
      if (p.GetThumbnailBitmap(reader.get(), claimed, &bmp, &w, &h)) {
        EXPECT_NE(nullptr, bmp);
        DeleteObject(bmp);
      }
      if (p.GetThumbnailText) {
        reader->SeekTo(0);
        strcpy(text.data(), capacity > 4 ? subject.ext : "");
        const int r = p.GetThumbnailText(reader.get(), claimed, text.data(), capacity);
        CheckText(text, capacity, r);
      }
    }
    if (!bytes.empty()) {
      GuardedBytes whole(bytes.data(), bytes.size());
      HBITMAP bmp = reinterpret_cast<HBITMAP>(0x1);
      int w = 0, h = 0;
      if (p.GetPreviewBitmap && p.GetPreviewBitmap(whole.Data(), bytes.size(), &bmp, &w, &h)) {
        EXPECT_NE(nullptr, bmp);
        DeleteObject(bmp);
      } else {
        EXPECT_EQ(reinterpret_cast<HBITMAP>(0x1), bmp);  // untouched on failure
      }
      if (p.GetPreviewText) {
        std::fill(text.begin(), text.end(), '\x5A');
        strcpy(text.data(), capacity > 4 ? subject.ext : "");
        const int r = p.GetPreviewText(whole.Data(), bytes.size(), text.data(), capacity);
        CheckText(text, capacity, r);
      }
    }
    if (HasFatalFailure()) return;
  }
  // Null and empty arguments.
  HBITMAP bmp = nullptr;
  if (p.GetPreviewBitmap) {
    EXPECT_EQ(0, p.GetPreviewBitmap(nullptr, 100, &bmp, nullptr, nullptr));
    EXPECT_EQ(0, p.GetPreviewBitmap(originals[0].data(), originals[0].size(), nullptr, nullptr, nullptr));
  }
  if (p.GetPreviewText) {
    char one[1] = {'x'};
    EXPECT_EQ(0, p.GetPreviewText(originals[0].data(), originals[0].size(), nullptr, 100));
    EXPECT_EQ(0, p.GetPreviewText(originals[0].data(), originals[0].size(), one, 0));
    EXPECT_EQ(0, p.GetPreviewText(nullptr, 100, one, 1));
  }
  EXPECT_EQ(0, p.GetRawFileInfo(nullptr, nullptr));
}

INSTANTIATE_TEST_SUITE_P(
    Formats, ArchivePluginMutation,
    ::testing::Values(
        Subject{L"fmt_zip.dll", {"fx:arch_streamed.zip", "fx:arch_zip64.zip", "fx:arch_gbk.zip",
                                 "zip/testZip_with_DataDescriptor.zip",
                                 "malformed/testZIP_corrupted_oom.zip"}, "zip", 11},
        Subject{L"fmt_zip.dll", {"fx:arch_doc.docx", "docx/testWORD_1img.docx",
                                 "malformed/testWORD_truncated.docx"}, "docx", 12},
        Subject{L"fmt_zip.dll", {"fx:arch_thumb.xlsx", "xlsx/testEXCEL.xlsx"}, "xlsx", 13},
        Subject{L"fmt_zip.dll", {"fx:arch_doc.odt", "fx:arch_app.jar"}, "odt", 14},
        Subject{L"fmt_rar.dll", {"rar/rar3-subdirs.rar", "rar/rar15-comment.rar", "rar/unicode.rar",
                                 "rar/rar3-comment-plain.rar", "rar/rar3-vols.part1.rar"}, "rar", 15},
        Subject{L"fmt_cab.dll", {"fx:arch_signed.cab", "cab/mszip_lzx_qtm.cab",
                                 "malformed/hidden-file-beyond-eof.cab"}, "cab", 16},
        Subject{L"fmt_cad.dll", {"dwg/r14-v.dwg", "dwg/sample_2000.dwg", "dwg/sample_2018.dwg",
                                 "dwg/testDWG2007.dwg"}, "dwg", 17}));

}  // namespace
