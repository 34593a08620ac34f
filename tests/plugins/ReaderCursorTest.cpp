// The plug-ins' own cursor moves over a real reader: where they reload the
// window and where they only move the cursor, what they bring back, and that
// they agree with the program's own moves on the same reader state.
#include <cstring>

#include "PluginHarness.h"
#include "common/TestPaths.h"
#include "gtest/gtest.h"
#include "plugins/common/ReaderCursor.h"

namespace {

const wchar_t kFile[] = L"plugimg_640x480.bmp";  // 921,654 bytes
const uint64_t kWindow = 65536;                  // becomes 66,048 (one unit more)

class ReaderCursorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bytes = testpaths::ReadWholeFile(testpaths::Fixture(kFile));
    ASSERT_EQ(921654u, bytes.size());
    reader = OpenReader(testpaths::Fixture(kFile), 0, kWindow);
    ASSERT_EQ(66048u, reader->m_WindowSize);
    half = reader->m_WindowSize / 2;
  }
  // The cursor's byte is the file's byte at the cursor's position.
  bool AtFileByte(const CReaderCursor& c) const {
    return c.Loaded() > 0 &&
           c.Data()[0] == static_cast<unsigned char>(bytes[static_cast<size_t>(c.Position())]);
  }
  std::string bytes;
  std::unique_ptr<CDiskMappingPointer> reader;
  uint64_t half = 0;
};

TEST_F(ReaderCursorTest, SeekToTheLimitAndPastIt) {
  CReaderCursor c(reader.get());
  EXPECT_EQ(bytes.size(), c.Limit());
  EXPECT_EQ(1, c.SeekTo(bytes.size()));
  EXPECT_EQ(0, c.IsEnd());
  EXPECT_EQ(0u, c.Loaded());  // nothing to read at the end itself
  EXPECT_EQ(0, c.SeekTo(bytes.size() + 1));
  EXPECT_EQ(1, c.IsEnd());
  EXPECT_EQ(bytes.size() + 1, c.Position());
  EXPECT_EQ(0u, c.Loaded());
}

TEST_F(ReaderCursorTest, MovesInsideTheTrustedHalfReadNothing) {
  CReaderCursor c(reader.get());
  // Mark a byte of the loaded window; a move that keeps the window keeps it.
  reader->m_pBuffer[4096] ^= 0xFF;
  ASSERT_EQ(1, c.SeekTo(4096));
  EXPECT_FALSE(AtFileByte(c));
  EXPECT_EQ(half, c.GetWindowRemaining());
  // The last unit that still starts inside the half keeps the window too.
  ASSERT_EQ(1, c.SeekTo(half - 512 + 7));
  EXPECT_EQ(0u, reader->m_Base);
  ASSERT_EQ(1, c.SeekTo(4096));
  EXPECT_FALSE(AtFileByte(c));
  // One unit further reloads: the window now starts there.
  const uint64_t beyond = 32768 + 3;  // the next unit starts past half - unit
  ASSERT_EQ(1, c.SeekTo(beyond));
  EXPECT_EQ(beyond & ~511ull, reader->m_Base);
  EXPECT_EQ(3u, reader->m_CurrentPos);
  EXPECT_TRUE(AtFileByte(c));
  EXPECT_EQ(half, c.GetWindowRemaining());
  // Below the base always reloads.
  ASSERT_EQ(1, c.SeekTo(4096));
  EXPECT_EQ(4096u, reader->m_Base);
  EXPECT_TRUE(AtFileByte(c));
}

TEST_F(ReaderCursorTest, ACursorPastTheHalfReloadsOnAnyMove) {
  CReaderCursor c(reader.get());
  reader->m_CurrentPos = half + 10;  // walked on by a parser without seeking
  reader->m_pBuffer[512] ^= 0xFF;
  ASSERT_EQ(1, c.SeekTo(512));  // inside the window, still reloaded
  EXPECT_EQ(512u, reader->m_Base);
  EXPECT_TRUE(AtFileByte(c));
}

TEST_F(ReaderCursorTest, RestoreBringsBackTheSavedBytes) {
  CReaderCursor c(reader.get());
  ASSERT_EQ(1, c.SeekTo(700));
  c.SavePosition();
  ASSERT_EQ(1, c.SeekTo(500000));
  EXPECT_TRUE(AtFileByte(c));
  c.RestorePosition();
  EXPECT_EQ(700u, c.Position());
  EXPECT_EQ(0, memcmp(c.Data(), bytes.data() + 700, 1000));
  // Relative reads from the saved position: inside the half the cursor moves...
  ASSERT_TRUE(c.MoveFromSaved(1000));
  EXPECT_EQ(1700u, c.Position());
  EXPECT_TRUE(AtFileByte(c));
  c.RestorePosition();
  // ...far away the window moves, and comes back on restore.
  ASSERT_TRUE(c.MoveFromSaved(800000));
  EXPECT_EQ(800700u, c.Position());
  EXPECT_TRUE(AtFileByte(c));
  EXPECT_EQ(half, c.Trusted());
  c.RestorePosition();
  EXPECT_EQ(0, memcmp(c.Data(), bytes.data() + 700, 1000));
  // Past the end nothing moves.
  EXPECT_FALSE(c.MoveFromSaved(bytes.size()));
  EXPECT_FALSE(c.MoveFromSaved(~0ull - 100));
  EXPECT_EQ(700u, c.Position());
}

TEST_F(ReaderCursorTest, BoundsStopAtTheWindowAndTheSourceEnd) {
  CReaderCursor c(reader.get());
  ASSERT_EQ(1, c.SeekTo(bytes.size() - 100));
  EXPECT_EQ(100u, c.Loaded());
  EXPECT_EQ(100u, c.Trusted());
  ASSERT_EQ(1, c.SeekTo(1000));
  EXPECT_EQ(reader->m_WindowSize - (1000 - reader->m_Base), c.Loaded());
  // A reader without buffer offers nothing.
  CDiskMappingPointer* r = reader.get();
  unsigned char* keep = r->m_pBuffer;
  r->m_pBuffer = nullptr;
  EXPECT_FALSE(c.IsUsable());
  EXPECT_EQ(0u, c.Loaded());
  r->m_pBuffer = keep;
}

// The same walk of moves on two readers over one file, one moved by the
// program's code and one by the plug-ins' copy, ends in the same state.
TEST_F(ReaderCursorTest, AgreesWithTheProgramsOwnMoves) {
  auto other = OpenReader(testpaths::Fixture(kFile), 0, kWindow);
  CReaderCursor c(reader.get());
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
      ASSERT_TRUE(AtFileByte(c));
      ASSERT_EQ(other->GetPointer()[0], c.Data()[0]);
    }
  }
}

}  // namespace
