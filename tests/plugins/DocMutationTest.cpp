// Damaged documents (real samples with flipped bytes, also in their tables
// and directories, cut short, or extended with noise) fed to every export of
// the office, PDF and PE plug-ins: no call may crash, hang, read outside the
// bytes it was given, write past a text's capacity, or change its outputs when
// it fails. Guard pages catch reads outside the bytes, as in MutationTest.
#include <cstring>
#include <vector>

#include "MutationKit.h"
#include "PluginHarness.h"
#include "common/TestPaths.h"
#include "gtest/gtest.h"
#include "plugins/common/TextConvert.h"

namespace {

using namespace mutation;

struct DocSubject {
  const wchar_t* dll;
  std::vector<std::string> samples;  // "fx:" fixtures, others from the corpus
  uint64_t seed;
};

// Text entries: the result is NUL-terminated within the capacity and valid
// UTF-8, or, on failure, the buffer is as it was.
void CheckText(int result, const std::vector<char>& before, const std::vector<char>& after, int capacity) {
  if (!result) {
    EXPECT_EQ(before, after);
    return;
  }
  const char* nul = static_cast<const char*>(memchr(after.data(), 0, static_cast<size_t>(capacity)));
  ASSERT_NE(nullptr, nul);
  EXPECT_EQ(before[static_cast<size_t>(capacity)], after[static_cast<size_t>(capacity)]);  // untouched
  EXPECT_TRUE(plugin::IsUtf8(after.data(), static_cast<size_t>(nul - after.data())));
}

class DocPluginMutation : public ::testing::TestWithParam<DocSubject> {};

TEST_P(DocPluginMutation, DamagedDocumentsThroughEveryExport) {
  const DocSubject& subject = GetParam();
  for (const std::string& s : subject.samples)
    if (s.compare(0, 3, "fx:") != 0) {
      REQUIRE_CORPUS(L"corpora/formats");
      break;
    }
  PluginModule p;
  ASSERT_TRUE(p.Load(subject.dll));
  std::vector<std::string> originals;
  for (const std::string& s : subject.samples) {
    originals.push_back(testpaths::ReadWholeFile(s.compare(0, 3, "fx:") == 0 ? Sample(s.substr(3)) : Corpus(s)));
    ASSERT_FALSE(originals.back().empty()) << s;
  }
  const bool texts = p.GetPreviewText != nullptr;
  MutantFile file(L"docmutation");
  Rng rng{subject.seed};
  const uint64_t windows[] = {1024, 4096, 16384, 65536, 262144};
  const char* const exts[] = {"doc", "xls", "wps", "et", "ppt"};
  const int capacities[] = {1, 3, 300, 1922};
  for (uint32_t i = 0; i < 2000; ++i) {
    std::string bytes = Mutate(originals[rng.Below(static_cast<uint32_t>(originals.size()))], rng);
    // Tables and directories lie in the first sectors: damage some there too.
    if (bytes.size() > 512 && rng.Below(2)) {
      const uint32_t span = static_cast<uint32_t>(bytes.size() < 16384 ? bytes.size() : 16384) - 512;
      for (uint32_t k = 1 + rng.Below(4); k > 0; --k)
        bytes[512 + rng.Below(span)] = static_cast<char>(rng.Below(4) ? rng.Next() : 0xFF);
    }
    SCOPED_TRACE(testing::Message() << "iteration " << i << " size " << bytes.size());
    ASSERT_TRUE(file.Write(bytes));
    auto reader = file.Reader(windows[rng.Below(5)]);
    {
      GuardedWindow guard(reader.get());
      const Analysis a = Analyse(p, reader.get());
      EXPECT_NE(nullptr, memchr(a.info.format, 0, sizeof(a.info.format)));
      EXPECT_NE(nullptr, memchr(a.info.name, 0, sizeof(a.info.name)));
      EXPECT_EQ(RAWINFO_RECORD_SIZE, a.info.size);
      if (a.result) {
        EXPECT_TRUE(a.info.valid == 1 || !(a.info.flags & RAWINFO_HAS_LENGTH));
      }
      reader->SeekTo(0);
      const int64_t size = static_cast<int64_t>(bytes.size()) + rng.Below(3) * rng.Below(100000);
      if (texts) {
        std::vector<char> text(302, 'Q');
        strcpy(text.data(), exts[rng.Below(5)]);
        const std::vector<char> before = text;
        CheckText(p.GetThumbnailText(reader.get(), size, text.data(), 300), before, text, 300);
      } else {
        HBITMAP bmp = nullptr;
        int w = 0, h = 0;
        if (p.GetThumbnailBitmap(reader.get(), size, &bmp, &w, &h)) {
          EXPECT_NE(nullptr, bmp);
          EXPECT_GT(w, 0);
          DeleteObject(bmp);
        }
      }
    }
    if (bytes.empty()) continue;
    GuardedBytes whole(bytes.data(), bytes.size());
    if (texts) {
      const int capacity = capacities[rng.Below(4)];
      std::vector<char> text(static_cast<size_t>(capacity) + 1, 'Q');
      const char* ext = exts[rng.Below(5)];
      memcpy(text.data(), ext, capacity < 3 ? capacity : strlen(ext) + 1);
      text[static_cast<size_t>(capacity) - 1] = '\0';
      const std::vector<char> before = text;
      CheckText(p.GetPreviewText(whole.Data(), static_cast<int64_t>(bytes.size()), text.data(), capacity),
                before, text, capacity);
    } else {
      HBITMAP bmp = reinterpret_cast<HBITMAP>(0x1);
      int w = 0, h = 0;
      if (p.GetPreviewBitmap(whole.Data(), static_cast<int64_t>(bytes.size()), &bmp, &w, &h)) {
        EXPECT_NE(nullptr, bmp);
        DeleteObject(bmp);
      } else {
        EXPECT_EQ(reinterpret_cast<HBITMAP>(0x1), bmp);  // untouched on failure
      }
    }
    if (HasFatalFailure()) return;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Formats, DocPluginMutation,
    ::testing::Values(
        DocSubject{L"fmt_office.dll",
                   {"fx:docs_letter.doc", "fx:docs_sheet.xls", "fx:docs_strings.xls", "fx:docs_embedded.doc",
                    "doc/testWORD.doc", "doc/testWORD6.doc", "xls/testEXCEL.xls", "ppt/testPPT.ppt"},
                   11},
        DocSubject{L"fmt_pdf.dll",
                   {"fx:docs_xmp.pdf", "fx:docs_lin.pdf", "fx:docs_linupd.pdf", "fx:docs_gs.pdf",
                    "pdf/testPDF_incrementalUpdates.pdf"},
                   12},
        DocSubject{L"fmt_exe.dll",
                   {"fx:docs_app64.exe", "fx:docs_app32.exe", "fx:docs_png64.exe", "fx:docs_signed64.exe",
                    "fx:docs_lib64.dll", "exe/testWindows-x86-32.exe"},
                   13}));

}  // namespace
