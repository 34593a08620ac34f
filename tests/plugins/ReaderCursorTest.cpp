// The plug-ins' own cursor moves over a real reader agree with the program's
// own moves on the same reader state, and bring back the file's bytes.
#include "PluginHarness.h"
#include "common/TestPaths.h"
#include "gtest/gtest.h"
#include "plugins/common/ReaderCursor.h"

namespace {

// The same random walk of moves on two readers over one file, one moved by
// the program's code and one by the plug-ins' copy: after every move both
// are in the same state.
TEST(ReaderCursor, AgreesWithTheProgramsOwnMoves) {
  const std::wstring path = Sample("plugimg_640x480.bmp");
  const std::string bytes = testpaths::ReadWholeFile(path);
  ASSERT_EQ(921654u, bytes.size());
  auto reader = OpenReader(path, 65536), other = OpenReader(path, 65536);
  CReaderCursor c(reader.get());
  ASSERT_EQ(bytes.size(), c.Limit());
  uint64_t x = 12345;
  for (int i = 0; i < 400; ++i) {
    x = x * 6364136223846793005ull + 1442695040888963407ull;
    const uint64_t r = x >> 33;
    const uint64_t target = r % (bytes.size() + 2000);
    int a = 0, b = 0;
    switch (r % 5) {
      case 0: a = c.SeekTo(target); b = other->SeekTo(target); break;
      case 1: a = c.Skip(r % 40000); b = other->Skip(r % 40000); break;
      case 2: c.SavePosition(); other->SavePosition(); break;
      case 3: c.RestorePosition(); other->RestorePosition(); break;
      case 4: a = c.SeekFromSaved(r % 50000); b = other->SeekFromSaved(r % 50000); break;
    }
    SCOPED_TRACE(i);
    ASSERT_EQ(b, a);
    ASSERT_EQ(other->m_Base, reader->m_Base);
    ASSERT_EQ(other->m_CurrentPos, reader->m_CurrentPos);
    ASSERT_EQ(other->m_Mark, reader->m_Mark);
    ASSERT_EQ(other->GetWindowRemaining(), c.GetWindowRemaining());
    ASSERT_EQ(other->IsEnd(), c.IsEnd());
    if (!c.IsEnd() && c.Position() < bytes.size()) {
      ASSERT_GT(c.Loaded(), 0u);
      ASSERT_EQ(static_cast<unsigned char>(bytes[static_cast<size_t>(c.Position())]), c.Data()[0]);
      ASSERT_EQ(other->GetPointer()[0], c.Data()[0]);
    } else {
      ASSERT_EQ(0u, c.Loaded());  // nothing to read at or past the end
    }
  }
}

}  // namespace
