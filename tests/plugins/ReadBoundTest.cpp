// What candidates cost: the bytes a plug-in reads from the device for a
// false or damaged candidate, and over all the candidates of a stretch, are
// counted (through its own ReadFile import) and bounded by the data, and the
// rules that look far into a file see as far as they should through the
// program's 1 MiB analysis reader: streamed archives are measured whole.
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

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

std::string Ext(const RawFileInfo& info) { return std::string(info.format, strnlen(info.format, 21)); }

// A local header of a streamed entry (flag 8, sizes 0) named a.txt, dated
// 2024-05-06 07:08:10.
std::string StreamedLocal() {
  return std::string("PK\3\4", 4) + Le(20, 2) + Le(8, 2) + Le(8, 2) + Le(0x3885, 2) + Le(0x58A6, 2) +
         Le(0, 4) + Le(0, 4) + Le(0, 4) + Le(5, 2) + Le(0, 2) + "a.txt";
}

std::string ReadWhole(const std::wstring& path) {
  std::string s;
  FILE* f = _wfopen(path.c_str(), L"rb");
  if (f == nullptr) return s;
  char buf[1 << 16];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), f)) > 0) s.append(buf, n);
  fclose(f);
  return s;
}

// The archives of tests/fixtures/make-streamed.sh: name and size.
std::vector<std::pair<std::string, uint64_t>> StreamedArchives() {
  std::vector<std::pair<std::string, uint64_t>> list;
  std::istringstream in(ReadWhole(Sample("streamed.tsv")));
  std::string name;
  uint64_t size = 0, entries = 0;
  while (in >> name >> size >> entries) list.emplace_back(name, size);
  return list;
}

// Analyses every candidate of the bytes in order through one reader, as the
// deep scan does, counting what the plug-in reads over all of them.
struct Sweep {
  std::vector<Analysis> at;  // per candidate
  uint64_t bytes = 0;
};
Sweep AnalyseAll(const wchar_t* dll, const std::string& bytes, const std::vector<uint64_t>& candidates,
                 uint64_t window = kAnalysisWindow) {
  Sweep s;
  PluginModule p;
  EXPECT_TRUE(p.Load(dll));
  if (!p.module) return s;
  TempFile f(L"readsweep");
  EXPECT_TRUE(f.Write(bytes));
  auto reader = OpenReader(f.Path(), window);
  CReadCounter counter(p);
  EXPECT_TRUE(counter.Installed());
  for (const uint64_t c : candidates) s.at.push_back(Analyse(p, reader.get(), c));
  s.bytes = counter.Bytes();
  return s;
}

// The bytes analysed from their first byte alone.
Counted AnalyseCounted(const wchar_t* dll, const std::string& bytes, uint64_t window = kAnalysisWindow) {
  Sweep s = AnalyseAll(dll, bytes, {0}, window);
  Counted c;
  if (s.at.size() == 1) c.a = s.at[0];
  c.bytes = s.bytes;
  return c;
}

std::vector<uint64_t> Occurrences(const std::string& bytes, const std::string& sig) {
  std::vector<uint64_t> at;
  for (size_t i = bytes.find(sig); i != std::string::npos; i = bytes.find(sig, i + 1)) at.push_back(i);
  return at;
}

TEST(PluginReadBound, StreamedArchivesAreCarvedWhole) {
  // Written by zip to a pipe (ZIP64 descriptors from standard input, plain
  // ones from files), by Python's zipfile and Java's jar on streams that
  // cannot seek, and one entry of 64 MiB: each measured to its last byte,
  // reading it about once.
  const auto archives = StreamedArchives();
  ASSERT_GE(archives.size(), 5u);
  bool big = false;
  for (const auto& a : archives) {
    SCOPED_TRACE(a.first);
    const std::string zip = ReadWhole(Sample(a.first));
    ASSERT_EQ(a.second, zip.size());
    big = big || zip.size() > 64 * kMiB;
    Counted c = AnalyseCounted(L"fmt_zip.dll", zip + Noise(static_cast<size_t>(kMiB), 9));
    EXPECT_EQ(1, c.a.result);
    EXPECT_EQ(1, c.a.info.valid);
    EXPECT_EQ(zip.size(), c.a.info.length);
    EXPECT_LE(c.bytes, zip.size() + 3 * kAnalysisWindow);
  }
  EXPECT_TRUE(big);
}

TEST(PluginReadBound, ZipFalseCandidatesCostTheDataOnce) {
  // A header whose descriptor was overwritten: the search goes to the end
  // of the device, once, and finds no length.
  const std::string lost = StreamedLocal() + std::string(64 * kMiB, '\0');
  Counted c = AnalyseCounted(L"fmt_zip.dll", lost);
  EXPECT_EQ(1, c.a.result);
  EXPECT_EQ(0, c.a.info.valid);
  EXPECT_EQ(0, c.a.info.flags & RAWINFO_HAS_LENGTH);
  EXPECT_LE(c.bytes, lost.size() + 3 * kAnalysisWindow);

  // A header no archiver writes (a control character in the name, a month
  // 13) is not searched behind at all.
  std::string badName = StreamedLocal();
  badName[32] = '\x01';
  std::string badDate = StreamedLocal();
  badDate[12] = static_cast<char>(0xA6 | 0x80);  // month 13
  badDate[13] = 0x59;
  for (const std::string& bad : {badName, badDate}) {
    Counted b = AnalyseCounted(L"fmt_zip.dll", bad + std::string(8 * kMiB, '\0'));
    EXPECT_EQ(0, b.a.info.valid);
    EXPECT_LE(b.bytes, kAnalysisWindow);
  }

  // A hundred false streamed headers 4 KiB apart, a real streamed archive
  // behind them and 24 MiB of other data: over all candidates the plug-in
  // reads the data about once, not once per candidate, and the real
  // archive, its every local header a candidate, is measured whole.
  const std::string real = ReadWhole(Sample("stream_python.zip"));
  ASSERT_FALSE(real.empty());
  std::string disk;
  for (int i = 0; i < 100; ++i) disk += StreamedLocal() + Noise(4096 - StreamedLocal().size(), 20 + i);
  const uint64_t realAt = disk.size();
  disk += real + Noise(static_cast<size_t>(24 * kMiB), 5);
  const std::vector<uint64_t> candidates = Occurrences(disk, std::string("PK\3\4", 4));
  ASSERT_GE(candidates.size(), 103u);
  Sweep s = AnalyseAll(L"fmt_zip.dll", disk, candidates);
  ASSERT_EQ(candidates.size(), s.at.size());
  for (size_t i = 0; i < candidates.size(); ++i) {
    SCOPED_TRACE(candidates[i]);
    if (candidates[i] < realAt) {
      EXPECT_EQ(0, s.at[i].info.valid);
    } else if (candidates[i] < realAt + real.size()) {
      EXPECT_EQ(1, s.at[i].info.valid);
      EXPECT_EQ(realAt + real.size() - candidates[i], s.at[i].info.length);
    }
  }
  EXPECT_LE(s.bytes, 2 * disk.size());
}

TEST(PluginReadBound, ZipEntriesOfOneArchiveShareOneWalk) {
  // Every one of 2000 local headers is a candidate; the walks from them
  // pass the same records, read once between them.
  const std::string many = ReadWhole(Sample("stream_many.zip"));
  ASSERT_GT(many.size(), 4 * kMiB);
  const std::string disk = many + Noise(static_cast<size_t>(kMiB), 6);
  const std::vector<uint64_t> candidates = Occurrences(disk, std::string("PK\3\4", 4));
  ASSERT_GE(candidates.size(), 2000u);
  Sweep s = AnalyseAll(L"fmt_zip.dll", disk, candidates);
  ASSERT_EQ(candidates.size(), s.at.size());
  EXPECT_EQ(many.size(), s.at[0].info.length);
  EXPECT_EQ(many.size() - candidates[1999], s.at[1999].info.length);
  EXPECT_LE(s.bytes, 3 * disk.size());
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

TEST(PluginReadBound, PdfFalseCandidatesCostTheDataOnce) {
  // A hundred headers 4 KiB apart with no end, a real document made by
  // Ghostscript behind them, and 24 MiB without an end: over all candidates
  // the plug-in reads the data about once, and the document keeps its
  // length.
  const std::string head = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";
  const std::string real = ReadWhole(Sample("docs_gs.pdf"));
  ASSERT_GT(real.size(), 4096u);
  std::string disk;
  for (int i = 0; i < 100; ++i) disk += head + std::string(4096 - head.size(), ' ');
  const uint64_t realAt = disk.size();
  disk += real + std::string(512, '\0') + Noise(static_cast<size_t>(24 * kMiB), 8);
  std::vector<uint64_t> candidates = Occurrences(disk, "%PDF");
  ASSERT_GE(candidates.size(), 101u);
  Sweep s = AnalyseAll(L"fmt_pdf.dll", disk, candidates);
  ASSERT_EQ(candidates.size(), s.at.size());
  for (size_t i = 0; i < candidates.size(); ++i) {
    SCOPED_TRACE(candidates[i]);
    if (candidates[i] <= realAt) {
      EXPECT_EQ(realAt + real.size() - candidates[i], s.at[i].info.length);
    }
  }
  EXPECT_LE(s.bytes, 2 * disk.size());

  // The same headers with nothing behind them that ends a document.
  std::string open;
  for (int i = 0; i < 100; ++i) open += head + std::string(4096 - head.size(), ' ');
  open += Noise(static_cast<size_t>(24 * kMiB), 10);
  Sweep o = AnalyseAll(L"fmt_pdf.dll", open, Occurrences(open, "%PDF"));
  for (const Analysis& a : o.at) EXPECT_EQ(0, a.info.flags & RAWINFO_HAS_LENGTH);
  EXPECT_LE(o.bytes, 2 * open.size());
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
