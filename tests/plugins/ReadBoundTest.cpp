// What one candidate costs: the bytes a plug-in reads from the device for a
// false or damaged candidate are counted (through its own ReadFile import)
// and bounded, and the rules that look far into a file see as far as they
// should through the program's 1 MiB analysis reader.
#include <cstring>
#include <string>

#include "PluginHarness.h"
#include "gtest/gtest.h"
#include "plugins/common/ReaderCursor.h"

namespace {

const uint64_t kMiB = 1ull << 20;
const uint64_t kAnalysisWindow = kMiB;  // the deep scan's analysis reader

std::string Noise(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) {
    seed = seed * 1103515245u + 12345u;
    s[i] = static_cast<char>(seed >> 16);
  }
  return s;
}

std::string Le(uint64_t v, int bytes) {
  std::string s;
  for (int i = 0; i < bytes; ++i) s.push_back(static_cast<char>(v >> (8 * i)));
  return s;
}

struct Counted {
  Analysis a;
  uint64_t bytes = 0;
};

// Writes the bytes, opens a reader of the given window over them and
// analyses them from their first byte, counting what the plug-in reads.
Counted AnalyseCounted(const wchar_t* dll, const std::string& bytes, uint64_t window = kAnalysisWindow) {
  Counted c;
  PluginModule p;
  EXPECT_TRUE(p.Load(dll));
  if (!p.module) return c;
  TempFile f(L"readbound");
  EXPECT_TRUE(f.Write(bytes));
  auto reader = OpenReader(f.Path(), window);
  if (!reader->SeekTo(0)) {
    ADD_FAILURE() << "cannot seek";
    return c;
  }
  CReadCounter counter(p);
  EXPECT_TRUE(counter.Installed());
  memset(&c.a.info, 0, sizeof(c.a.info));
  c.a.info.size = RAWINFO_RECORD_SIZE;
  c.a.result = p.GetRawFileInfo(reader.get(), &c.a.info);
  c.bytes = counter.Bytes();
  return c;
}

std::string Ext(const RawFileInfo& info) { return std::string(info.format, strnlen(info.format, 21)); }

// A local header of a streamed entry (flag 8, sizes 0) named a.txt.
std::string StreamedLocal() {
  return std::string("PK\3\4", 4) + Le(20, 2) + Le(8, 2) + Le(8, 2) + Le(0, 4) + Le(0, 4) + Le(0, 4) +
         Le(0, 4) + Le(5, 2) + Le(0, 2) + "a.txt";
}

TEST(PluginReadBound, ZipDescriptorSearchIsBounded) {
  // The descriptor was overwritten: 64 MiB of zeros follow the header. The
  // search gives up after 16 MiB and the archive gets no length.
  const std::string lost = StreamedLocal() + std::string(64 * kMiB, '\0');
  Counted c = AnalyseCounted(L"fmt_zip.dll", lost);
  EXPECT_EQ(1, c.a.result);
  EXPECT_EQ(0, c.a.info.valid);
  EXPECT_EQ(0, c.a.info.flags & RAWINFO_HAS_LENGTH);
  EXPECT_GT(c.bytes, 16 * kMiB);  // it did search as far as it may
  EXPECT_LE(c.bytes, 16 * kMiB + 3 * kAnalysisWindow);

  // An entry whose descriptor lies 3 MiB on is measured, reading each byte
  // about once.
  const uint64_t data = 3 * kMiB;
  std::string zip = StreamedLocal() + Noise(static_cast<size_t>(data), 7) + std::string("PK\7\x08", 4) +
                    Le(0, 4) + Le(data, 4) + Le(data, 4);
  const uint64_t central = zip.size();
  zip += std::string("PK\1\2", 4) + std::string(24, '\0') + Le(5, 2) + std::string(16, '\0') + "a.txt";
  zip += std::string("PK\5\6", 4) + std::string(8, '\0') + Le(zip.size() - central, 4) + Le(central, 4) +
         Le(0, 2);
  Counted ok = AnalyseCounted(L"fmt_zip.dll", zip + std::string(kMiB, '\0'));
  EXPECT_EQ(1, ok.a.result);
  EXPECT_EQ(1, ok.a.info.valid);
  EXPECT_EQ(zip.size(), ok.a.info.length);
  EXPECT_LE(ok.bytes, data + 3 * kAnalysisWindow);
}

TEST(PluginReadBound, PdfEndSearchReadsEachByteOnce) {
  // No "%EOF" anywhere: the search passes over the 40 MiB once.
  const std::string head = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";
  const uint64_t size = 40 * kMiB;
  Counted c = AnalyseCounted(L"fmt_pdf.dll", head + std::string(static_cast<size_t>(size - head.size()), '\0'));
  EXPECT_EQ(1, c.a.result);
  EXPECT_EQ(0, c.a.info.flags & RAWINFO_HAS_LENGTH);
  EXPECT_GE(c.bytes, size - kAnalysisWindow);
  EXPECT_LE(c.bytes, size + 3 * kAnalysisWindow);
}

TEST(PluginReadBound, IllustratorMarkerIsSeenBeyondTheAnalysisWindow) {
  const std::string head = "%PDF-1.5\n%\xE2\xE3\xCF\xD3\n";
  const std::string marker = "1 0 obj\n<</PieceInfo<</Illustrator 7 0 R>>>>\nendobj\n";
  const std::string tail = "trailer\n<</Size 8>>\nstartxref\n116\n%%EOF\n";
  // doc(at): the marker at offset `at`, the end 1 MiB further.
  auto doc = [&](uint64_t at) {
    std::string d = head + std::string(static_cast<size_t>(at - head.size()), ' ') + marker;
    d += std::string(kMiB, ' ') + tail;
    return d;
  };
  const std::string deep = doc(2 * kMiB);
  Counted ai = AnalyseCounted(L"fmt_pdf.dll", deep + std::string(kMiB, '\0'));
  EXPECT_EQ(1, ai.a.result);
  EXPECT_EQ(deep.size(), ai.a.info.length);
  EXPECT_EQ("ai", Ext(ai.a.info));
  EXPECT_LE(ai.bytes, deep.size() + 3 * kAnalysisWindow);
  // Past half of the program's default window the marker is not looked for.
  const std::string distant = doc(CReaderCursor::DefaultWindow() / 2 + kMiB);
  Counted pdf = AnalyseCounted(L"fmt_pdf.dll", distant + std::string(kMiB, '\0'));
  EXPECT_EQ(distant.size(), pdf.a.info.length);
  EXPECT_EQ("pdf", Ext(pdf.a.info));
  // A marker behind the document's end is not its own.
  const std::string plain = head + std::string(8000, ' ') + tail;
  const std::string behind = plain + std::string(1000, '\0') + marker;
  Counted other = AnalyseCounted(L"fmt_pdf.dll", behind + std::string(kMiB, '\0'));
  EXPECT_EQ(plain.size(), other.a.info.length);
  EXPECT_EQ("pdf", Ext(other.a.info));
}

TEST(PluginReadBound, DwgZeroRunSeesTheDefaultWindow) {
  // An old release (no structure to go by), its data ending at 3,000,064,
  // zeros to the end of that 512-byte block: measured through the 1 MiB
  // analysis reader.
  const uint64_t dataEnd = 3000064;
  const std::string drawing = "AC1009" + Noise(static_cast<size_t>(dataEnd - 6), 3) +
                              std::string(static_cast<size_t>(3000320 - dataEnd), '\0');
  Counted c = AnalyseCounted(L"fmt_cad.dll", drawing + Noise(kMiB, 4));
  EXPECT_EQ(1, c.a.result);
  EXPECT_EQ(1, c.a.info.valid);
  EXPECT_EQ(dataEnd, c.a.info.length);
  EXPECT_EQ("dwg", Ext(c.a.info));
  EXPECT_LE(c.bytes, drawing.size() + 3 * kAnalysisWindow);

  // No closing block within the default window: no result, and the reading
  // stops there.
  const uint64_t window = CReaderCursor::DefaultWindow();
  Counted open = AnalyseCounted(L"fmt_cad.dll", "AC1009" + Noise(static_cast<size_t>(window + 8 * kMiB), 5));
  EXPECT_EQ(0, open.a.result);
  EXPECT_GE(open.bytes, window - kAnalysisWindow);
  EXPECT_LE(open.bytes, window + 3 * kAnalysisWindow);
}

}  // namespace
