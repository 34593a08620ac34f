// Damaged media files and camera raws (the fixture's real files with flipped
// bytes, cut short, or extended with noise) fed to every export of the RIFF,
// MP3, AMR and camera raw plug-ins: no call may crash, hang, read outside the
// bytes it was given, or report a record that breaks the contract.
#include <cstring>
#include <sstream>
#include <vector>

#include "MutationKit.h"
#include "PluginHarness.h"
#include "common/TestPaths.h"
#include "gtest/gtest.h"

namespace {

using namespace mutation;

struct Subject {
  const wchar_t* dll;
  std::vector<std::string> extensions;  // fixture files of these types
  std::vector<std::string> extra;       // other fixtures
  uint64_t seed;
};

std::vector<std::string> FixtureFiles(const std::vector<std::string>& extensions) {
  const std::string image = testpaths::ReadWholeFile(Sample("media.img"));
  std::istringstream in(testpaths::ReadWholeFile(Sample("media.tsv")));
  std::string line, ext, sha, source;
  uint64_t offset = 0, length = 0;
  int aligned = 0, whole = 0;
  std::getline(in, line);
  std::vector<std::string> files;
  while (in >> offset >> length >> ext >> aligned >> whole >> sha >> source)
    for (const std::string& e : extensions)
      if (e == ext) files.push_back(image.substr(offset, length));
  return files;
}

class MediaPluginMutation : public ::testing::TestWithParam<Subject> {};

TEST_P(MediaPluginMutation, DamagedFilesThroughEveryExport) {
  const Subject& subject = GetParam();
  const std::wstring dll = subject.dll;
  PluginModule p;
  ASSERT_TRUE(p.Load(dll));
  std::vector<std::string> originals = FixtureFiles(subject.extensions);
  for (const std::string& e : subject.extra) originals.push_back(testpaths::ReadWholeFile(Sample(e)));
  ASSERT_GE(originals.size(), 3u);
  FileSignCheckProc check = nullptr;
  if (!*p.IsFileSigSimple) {
    ASSERT_EQ(1, p.GetFileSign(&check));
  }
  TempFile file(L"media-mutation");
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
