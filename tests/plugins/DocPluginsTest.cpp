// The document plug-ins (office compound files, PDF, PE programs) through
// their exports, on documents made by real programs (LibreOffice, Perl's
// Spreadsheet::WriteExcel, groff with Ghostscript, pandoc, exiftool, MinGW;
// tests/fixtures/make-docs.sh) and on public samples; the compound-file and
// workbook readers and the picture decoders also directly.
#include <objbase.h>

#include <cstring>
#include <string>
#include <vector>

#include "PluginHarness.h"
#include "common/TestPaths.h"
#include "gtest/gtest.h"
#include "plugins/common/TextConvert.h"
#include "plugins/office/CompoundFile.h"
#include "plugins/office/ExcelWorkbook.h"
#include "plugins/office/OfficeText.h"
#include "plugins/pdf/PdfThumbnail.h"

namespace {

const wchar_t *const kOffice = L"fmt_office.dll", *const kPdf = L"fmt_pdf.dll", *const kExe = L"fmt_exe.dll";

std::string Read(const std::wstring& path) { return testpaths::ReadWholeFile(path); }

std::string Noise(size_t n, uint32_t seed) {
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    seed = seed * 1103515245u + 12345u;
    s.push_back(static_cast<char>((seed >> 16) | 1));  // never zero
  }
  return s;
}

bool IsUtf8(const std::string& s) { return plugin::IsUtf8(s.data(), s.size()); }

// A text entry the way the program calls it: the extension in a zeroed
// buffer of capacity + 2 bytes.
struct TextCall {
  int result = 0;
  std::string text;
};
TextCall PreviewText(const PluginModule& p, const std::string& bytes, const char* ext, int capacity) {
  std::vector<char> buf(static_cast<size_t>(capacity) + 2, 0);
  strcpy(buf.data(), ext);
  TextCall t;
  t.result = p.GetPreviewText(bytes.data(), static_cast<int64_t>(bytes.size()), buf.data(), capacity);
  t.text = buf.data();
  return t;
}
TextCall ThumbnailText(const PluginModule& p, const std::wstring& path, const char* ext) {
  std::vector<char> buf(302, 0);
  strcpy(buf.data(), ext);
  auto reader = OpenReader(path);
  reader->SeekTo(0);
  TextCall t;
  t.result = p.GetThumbnailText(reader.get(), static_cast<int64_t>(Read(path).size()), buf.data(), 300);
  t.text = buf.data();
  return t;
}

struct Picture {
  int result = 0, width = 0, height = 0, bmWidth = 0, bmHeight = 0;
  uint32_t corner = 0;  // top-left pixel, 0x00RRGGBB
};
Picture Describe(int result, HBITMAP bmp, int w, int h) {
  Picture pic;
  pic.result = result;
  pic.width = w;
  pic.height = h;
  if (result && bmp) {
    BITMAP bm;
    GetObject(bmp, sizeof(bm), &bm);
    pic.bmWidth = bm.bmWidth;
    pic.bmHeight = bm.bmHeight;
    HDC dc = CreateCompatibleDC(nullptr);
    HGDIOBJ old = SelectObject(dc, bmp);
    const COLORREF c = GetPixel(dc, 0, 0);
    pic.corner = (GetRValue(c) << 16) | (GetGValue(c) << 8) | GetBValue(c);
    SelectObject(dc, old);
    DeleteDC(dc);
    DeleteObject(bmp);
  }
  return pic;
}
Picture ThumbnailOf(const PluginModule& p, const std::wstring& path) {
  auto reader = OpenReader(path);
  reader->SeekTo(0);
  HBITMAP bmp = nullptr;
  int w = 0, h = 0;
  const int r = p.GetThumbnailBitmap(reader.get(), static_cast<int64_t>(Read(path).size()), &bmp, &w, &h);
  return Describe(r, bmp, w, h);
}
Picture PreviewOf(const PluginModule& p, const std::string& bytes) {
  HBITMAP bmp = nullptr;
  int w = 0, h = 0;
  const int r = p.GetPreviewBitmap(bytes.data(), static_cast<int64_t>(bytes.size()), &bmp, &w, &h);
  return Describe(r, bmp, w, h);
}

TEST(DocPluginContract, NamesFlagsAndSignatures) {
  const struct {
    const wchar_t* dll;
    const char* name;
    std::string signature;
    int thumbnail, bitmap;
    bool texts;
  } cases[] = {
      {kOffice, "FILE_TYPE_OFFICE", "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 1, 0, true},
      {kPdf, "FILE_TYPE_PDF", "%PDF", 0, 1, false},
      {kExe, "FILE_TYPE_PE", "MZ", 0, 1, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PluginModule p;
    ASSERT_TRUE(p.Load(c.dll));
    char name[FORMAT_NAME_SIZE + 1];
    memset(name, 'X', sizeof(name));
    p.GetSupportFormat(name);
    EXPECT_STREQ(c.name, name);
    EXPECT_EQ(1, *p.IsFileSigSimple);
    EXPECT_EQ(0, *p.CanGetFileLenImmediately);
    EXPECT_EQ(c.thumbnail, *p.HasThumbnail);
    EXPECT_EQ(c.bitmap, *p.HasThumbnailBitmap);
    EXPECT_EQ(c.texts, p.GetPreviewText != nullptr);
    FileSignRecord rec;
    ASSERT_EQ(1, p.GetFileSign(&rec));
    EXPECT_EQ(c.signature, std::string(reinterpret_cast<char*>(rec.signature), rec.count));
    EXPECT_EQ(0, p.GetFileSizeAtOnce(reinterpret_cast<const unsigned char*>(c.signature.data())));
  }
}

const int64_t kWhole = -1;

// Every real document of a handled type: its whole length and its extension,
// through the program's reader, also through a small window so that the
// tables and sections the rule reads lie beyond half a window.
TEST(DocPluginLength, RealDocuments) {
  REQUIRE_CORPUS(L"corpora/formats");
  const struct {
    const wchar_t* dll;
    std::wstring path;
    int result;
    const char* ext;
    int64_t length;
    uint64_t window;
  } cases[] = {
      {kOffice, Sample("docs_letter.doc"), 1, "doc", kWhole, 8192},
      // A spreadsheet object inside: its "Workbook" lies in the object pool.
      {kOffice, Sample("docs_embedded.doc"), 1, "doc", kWhole, 0},
      {kOffice, Sample("docs_sheet.xls"), 1, "xls", kWhole, 4096},
      {kOffice, Sample("docs_writeexcel.xls"), 1, "xls", kWhole, 0},
      {kOffice, Sample("docs_strings.xls"), 1, "xls", kWhole, 0},
      {kOffice, Sample("docs_slides.ppt"), 1, "ppt", kWhole, 65536},  // eight FAT sectors
      {kOffice, Corpus("doc/testWORD.doc"), 1, "doc", kWhole, 0},
      {kOffice, Corpus("doc/testWORD6.doc"), 1, "doc", kWhole, 0},
      {kOffice, Corpus("doc/radpoor.doc"), 1, "doc", kWhole, 0},
      {kOffice, Corpus("xls/testEXCEL_95.xls"), 1, "xls", kWhole, 0},  // "Book", Microsoft Excel
      {kOffice, Corpus("ppt/pictures.ppt"), 1, "ppt", kWhole, 16384},
      {kOffice, Corpus("malformed/corrupted_error.xls"), 1, "xls", kWhole, 262144},
      {kOffice, Corpus("xls/biff4_no_format_no_window2.xls"), 0, "", 0, 0},  // not a compound file
      {kPdf, Sample("docs_gs.pdf"), 1, "pdf", kWhole, 4096},
      {kPdf, Sample("docs_lin.pdf"), 1, "pdf", kWhole, 0},   // the linearisation length
      {kPdf, Sample("docs_pandoc.pdf"), 1, "pdf", kWhole, 0},
      {kPdf, Sample("docs_lo.pdf"), 1, "pdf", kWhole, 0},
      {kPdf, Sample("docs_xmp.pdf"), 1, "pdf", kWhole, 4096},  // an incremental update
      {kPdf, Sample("docs_linupd.pdf"), 1, "pdf", kWhole, 0},  // linearised, then updated
      {kPdf, Corpus("pdf/testPDF_incrementalUpdates.pdf"), 1, "pdf", kWhole, 8192},
      {kPdf, Corpus("pdf/testPDF_Version.10.x.pdf"), 1, "pdf", kWhole, 0},
      {kExe, Sample("docs_app64.exe"), 1, "exe", kWhole, 0},
      {kExe, Sample("docs_app32.exe"), 1, "exe", kWhole, 0},
      {kExe, Sample("docs_debug64.exe"), 1, "exe", kWhole, 4096},  // symbols and their strings
      {kExe, Sample("docs_signed64.exe"), 1, "exe", kWhole, 0},    // the certificate ends it
      {kExe, Sample("docs_png64.exe"), 1, "exe", kWhole, 0},
      {kExe, Corpus("exe/testWindows-x86-32.exe"), 1, "exe", kWhole, 0},
      {kExe, Corpus("exe/normal64.exe"), 1, "exe", kWhole, 0},
      {kExe, Sample("docs_lib64.dll"), 0, "dll", 0, 0},  // recognised, not kept
      {kExe, Corpus("dll/zlib1.dll"), 0, "dll", 0, 0},
      {kExe, Corpus("exe/newexecutable.exe"), 0, "", 0, 0},  // 16-bit "NE" program
  };
  for (const auto& c : cases) {
    const uint64_t size = Read(c.path).size();
    ASSERT_GT(size, 0u);
    PluginModule p;
    ASSERT_TRUE(p.Load(c.dll));
    for (uint64_t window : {kWholeSampleWindow, c.window}) {
      SCOPED_TRACE(testing::Message() << std::string(c.path.begin(), c.path.end()) << " window " << window);
      auto reader = OpenReader(c.path, window);
      const Analysis a = Analyse(p, reader.get());
      EXPECT_EQ(c.result, a.result);
      EXPECT_STREQ(c.ext, a.info.format);
      if (c.result) {
        EXPECT_EQ(1, a.info.valid);
        EXPECT_EQ(RAWINFO_HAS_VALID | RAWINFO_HAS_FORMAT | RAWINFO_HAS_LENGTH, a.info.flags & 7);
        EXPECT_EQ(c.length == kWhole ? size : uint64_t(c.length), a.info.length);
      }
      if (!c.window) break;
    }
  }
}

// On a disk a document is followed by whatever was there: zeros, noise,
// another document. Its length stays its own.
TEST(DocPluginLength, FollowedByOtherBytes) {
  REQUIRE_CORPUS(L"corpora/formats");
  const struct {
    const wchar_t* dll;
    std::wstring path;
  } cases[] = {
      {kPdf, Sample("docs_gs.pdf")},        {kPdf, Sample("docs_lo.pdf")},
      {kPdf, Sample("docs_xmp.pdf")},       {kPdf, Sample("docs_lin.pdf")},
      {kPdf, Corpus("pdf/testPDF.pdf")},    {kPdf, Corpus("pdf/testPDF_incrementalUpdates.pdf")},
      {kOffice, Sample("docs_sheet.xls")},  {kExe, Sample("docs_debug64.exe")},
      {kExe, Sample("docs_signed64.exe")},
  };
  const std::string next = Read(Sample("docs_pandoc.pdf"));
  TempFile f(L"doc-follow");
  for (const auto& c : cases) {
    const std::string doc = Read(c.path);
    PluginModule p;
    ASSERT_TRUE(p.Load(c.dll));
    int tail = 0;
    for (const std::string& after : {std::string(4096, '\0'), Noise(4096, 7), next, std::string("  ") + next,
                                     std::string("\r\n") + Noise(700, 9)}) {
      SCOPED_TRACE(testing::Message() << std::string(c.path.begin(), c.path.end()) << " tail " << tail++);
      const Analysis a = f.Analyse(p, doc + after, kWholeSampleWindow);
      EXPECT_EQ(1, a.result);
      EXPECT_EQ(doc.size(), a.info.length);
    }
  }
}

TEST(DocPluginLength, PdfNamesAndIllustratorMarker) {
  PluginModule p;
  ASSERT_TRUE(p.Load(kPdf));
  const std::string lo = Read(Sample("docs_lo.pdf"));
  auto reader = OpenReader(Sample("docs_lo.pdf"));
  reader->SeekTo(0);
  const std::string before(reinterpret_cast<char*>(reader->m_pBuffer), 4096);
  const Analysis a = Analyse(p, reader.get());
  EXPECT_STREQ("version:1.6", a.info.name);
  EXPECT_TRUE(a.info.flags & RAWINFO_HAS_NAME);
  // The reader's buffer is the program's: the plug-in reads it, never writes it.
  reader->SeekTo(0);
  EXPECT_EQ(before, std::string(reinterpret_cast<char*>(reader->m_pBuffer), 4096));

  TempFile f(L"doc-ai");
  std::string ai = "%PDF-1.5\r%\xE2\xE3\xCF\xD3\r1 0 obj <</Type/Page/PieceInfo<</Illustrator 7 0 R>>>> endobj\n";
  ai += std::string(5000, ' ') + "\ntrailer <<>>\nstartxref\n9\n%%EOF\r\n";
  Analysis b = f.Analyse(p, ai + Noise(3000, 3));
  EXPECT_STREQ("ai", b.info.format);
  EXPECT_STREQ("version:1.5", b.info.name);
  EXPECT_EQ(ai.size(), b.info.length);
  // A document kept unpacked in another's stream: its "%%EOF" is not the end.
  const std::string outer = "%PDF-1.4\n1 0 obj <</Length " + std::to_string(lo.size()) + ">> stream\n" + lo +
                            "\nendstream\nendobj\ntrailer <<>>\nstartxref\n9\n%%EOF\n";
  b = f.Analyse(p, outer + std::string(700, '\0'));
  EXPECT_EQ(outer.size(), b.info.length);
  // Too short: named, typed, valid only from 4097 bytes on.
  b = f.Analyse(p, "%PDF-1.4\n" + std::string(4000, ' ') + "\nstartxref\n9\n%%EOF\n" + std::string(600, '\0'));
  EXPECT_EQ(1, b.result);
  EXPECT_EQ(0, b.info.valid);
  EXPECT_STREQ("pdf", b.info.format);
  b = f.Analyse(p, "%PDF-1\x01" + std::string(5000, 'x'));  // byte 6 not printable
  EXPECT_EQ(0, b.result);
}

// A compound file in memory: a 512-byte header, then the given sectors.
std::string Compound(uint16_t major, uint16_t shift, uint32_t fatSectors, uint32_t firstDir,
                     const std::vector<uint32_t>& difat, uint32_t firstDifat, uint32_t difatCount) {
  const size_t ss = size_t(1) << shift;
  std::string h(ss, '\0');
  const unsigned char sig[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  memcpy(&h[0], sig, 8);
  auto put16 = [&](size_t at, uint16_t v) { memcpy(&h[at], &v, 2); };
  auto put32 = [&](size_t at, uint32_t v) { memcpy(&h[at], &v, 4); };
  put16(24, 0x3E);
  put16(26, major);
  put16(28, 0xFFFE);
  put16(30, shift);
  put16(32, 6);
  put32(40, major == 4 ? 1 : 0);
  put32(44, fatSectors);
  put32(48, firstDir);
  put32(56, 4096);
  put32(60, 0xFFFFFFFE);
  put32(68, firstDifat);
  put32(72, difatCount);
  for (size_t i = 0; i < 109; ++i) put32(76 + 4 * i, i < difat.size() ? difat[i] : 0xFFFFFFFF);
  return h;
}
std::string Sector(size_t ss, const std::vector<uint32_t>& words, uint32_t fill = 0xFFFFFFFF) {
  std::string s(ss, '\0');
  for (size_t i = 0; i < ss / 4; ++i) {
    const uint32_t v = i < words.size() ? words[i] : fill;
    memcpy(&s[4 * i], &v, 4);
  }
  return s;
}
std::string RootDirectory(size_t ss) {
  std::string d(ss, '\0');
  const char* name = "Root Entry";
  for (size_t i = 0; name[i]; ++i) d[2 * i] = name[i];
  d[64] = 22;
  d[66] = 5;
  const uint32_t none = 0xFFFFFFFF, end = 0xFFFFFFFE;
  memcpy(&d[68], &none, 4);
  memcpy(&d[72], &none, 4);
  memcpy(&d[76], &none, 4);
  memcpy(&d[116], &end, 4);
  return d;
}

// Lengths come from the allocation table in 64 bits; chains that loop end.
TEST(DocPluginLength, CompoundTablesInSixtyFourBitsAndLoopsEnd) {
  PluginModule p;
  ASSERT_TRUE(p.Load(kOffice));
  TempFile f(L"doc-ole");
  {
    // Version 4, 4096-byte sectors: 1,100 FAT sectors (one DIFAT sector names
    // those past the header's 109) whose entries are all in use describe
    // 1,126,400 sectors: 4,613,738,496 bytes, past 32 bits.
    const uint32_t F = 1100, ss = 4096, per = ss / 4;
    std::vector<uint32_t> head(109);
    for (uint32_t i = 0; i < 109; ++i) head[i] = i;
    std::string file = Compound(4, 12, F, F + 1, head, F, 1);
    // Every sector in use; the DIFAT sector (F) marked as such, the directory
    // (F + 1) a chain of one.
    std::vector<uint32_t> second(per, 0xFFFFFFFD);
    second[F - per] = 0xFFFFFFFC;
    second[F + 1 - per] = 0xFFFFFFFE;
    for (uint32_t i = 0; i < F; ++i) file += i == 1 ? Sector(ss, second) : Sector(ss, {}, 0xFFFFFFFD);
    std::vector<uint32_t> more;
    for (uint32_t i = 109; i < F; ++i) more.push_back(i);
    more.resize(per - 1, 0xFFFFFFFF);
    more.push_back(0xFFFFFFFE);
    file += Sector(ss, more) + RootDirectory(ss);
    const Analysis a = f.Analyse(p, file);
    EXPECT_EQ(1, a.result);
    EXPECT_EQ((uint64_t(F) * per + 1) * ss, a.info.length);
    EXPECT_STREQ("ole", a.info.format);
  }
  {
    // Version 3: the directory's chain points back at itself, and the FAT's
    // last 100 entries are free.
    std::vector<uint32_t> fat = {0xFFFFFFFD, 1};
    fat.resize(128 - 100, 0xFFFFFFFD);
    std::string file = Compound(3, 9, 1, 1, {0}, 0xFFFFFFFE, 0) + Sector(512, fat) + RootDirectory(512);
    file += std::string(512 * 30, '\0');
    const Analysis a = f.Analyse(p, file);
    EXPECT_EQ(1, a.result);
    EXPECT_EQ((128 - 100 + 1) * 512u, a.info.length);
    // A stream larger than the file the table describes: no file.
    const uint32_t start = 5, size = 65536;
    memcpy(&file[1024 + 116], &start, 4);
    memcpy(&file[1024 + 120], &size, 4);
    EXPECT_EQ(0, f.Analyse(p, file).result);
  }
  // Version 3 with 4096-byte sectors and version 4 with 512-byte ones are refused.
  EXPECT_EQ(0, f.Analyse(p, Compound(3, 12, 1, 1, {0}, 0xFFFFFFFE, 0) + std::string(8192, '\0')).result);
  EXPECT_EQ(0, f.Analyse(p, Compound(4, 9, 1, 1, {0}, 0xFFFFFFFE, 0) + std::string(8192, '\0')).result);
}

TEST(DocPluginText, WordDocumentsBeginWithTheirFirstWords) {
  REQUIRE_CORPUS(L"corpora/formats");
  PluginModule p;
  ASSERT_TRUE(p.Load(kOffice));
  const std::string letter = "Quarterly report\rHarbour lights shone over the quiet town while the ferry "
                             "waited at the pier (café au port, 港口灯光, ἁλιεύς).";
  const struct {
    std::wstring path;
    std::string start;
  } cases[] = {
      {Sample("docs_letter.doc"), letter},  // UTF-16 pieces
      {Corpus("doc/testWORD.doc"), "Sample Word Document Title\rAnd now for a"},  // 8-bit pieces
      {Corpus("doc/testWORD6.doc"), "The quick brown fox jumps over the lazy"},  // Word 6
      {Corpus("doc/radpoor.doc"), "\xD8\xAA\xD8\xB3\xD8\xAA"},                  // text at 1024
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.path.begin(), c.path.end()));
    const std::string doc = Read(c.path);
    for (const char* ext : {"doc", "DOC", "wps"}) {
      const TextCall t = PreviewText(p, doc, ext, 1922);
      EXPECT_EQ(1, t.result);
      EXPECT_EQ(c.start, t.text.substr(0, c.start.size()));
    }
    const TextCall thumb = ThumbnailText(p, c.path, "doc");
    EXPECT_EQ(1, thumb.result);
    EXPECT_EQ(c.start.substr(0, 100), thumb.text.substr(0, 100 < c.start.size() ? 100 : c.start.size()));
    EXPECT_LE(thumb.text.size(), 299u);
  }
  // Cut at any capacity, the text stays valid UTF-8 and a prefix of the whole.
  const std::string doc = Read(Sample("docs_letter.doc"));
  for (int capacity = 4; capacity < 160; ++capacity) {  // the extension needs 4
    const TextCall t = PreviewText(p, doc, "doc", capacity);
    EXPECT_EQ(1, t.result);
    EXPECT_TRUE(IsUtf8(t.text)) << capacity;
    EXPECT_LT(t.text.size(), static_cast<size_t>(capacity));
    EXPECT_EQ(letter.substr(0, t.text.size()), t.text) << capacity;
  }
  // Too short for a text, a presentation, an unknown extension: nothing, and
  // the buffer keeps what it held.
  EXPECT_EQ(0, PreviewText(p, doc.substr(0, 2303), "doc", 300).result);
  const TextCall ppt = PreviewText(p, Read(Sample("docs_slides.ppt")), "ppt", 300);
  EXPECT_EQ(0, ppt.result);
  EXPECT_EQ("ppt", ppt.text);
  EXPECT_EQ(0, ThumbnailText(p, Sample("docs_slides.ppt"), "ppt").result);
  EXPECT_EQ(0, ThumbnailText(p, Sample("docs_letter.doc"), "txt").result);
}

TEST(DocPluginText, WorkbooksShowTheirFirstCells) {
  PluginModule p;
  ASSERT_TRUE(p.Load(kOffice));
  const TextCall sheet = PreviewText(p, Read(Sample("docs_sheet.xls")), "xls", 1922);
  EXPECT_EQ(1, sheet.result);
  // Numbers as "%.2lf", dates as year/month/day; twenty cells to a line.
  const std::string row0 = "Item Count Note Day " + std::string(16, ' ') + "\n";
  EXPECT_EQ(row0, sheet.text.substr(0, row0.size()));
  EXPECT_NE(std::string::npos, sheet.text.find("\nLanterns 42.00 blue glass 2023/03/15 "));
  EXPECT_NE(std::string::npos, sheet.text.find("\nRopes 3.50 tarred 港口  ")) << sheet.text;
  EXPECT_NE(std::string::npos, sheet.text.find("\nNets  mended 2000/01/02 "));
  EXPECT_TRUE(IsUtf8(sheet.text));
  // A thumbnail stops before 300 counted bytes.
  const TextCall thumb = ThumbnailText(p, Sample("docs_sheet.xls"), "xls");
  EXPECT_EQ(1, thumb.result);
  EXPECT_EQ(sheet.text.substr(0, thumb.text.size()), thumb.text);
  EXPECT_GE(thumb.text.size(), 190u);  // empty cells count two bytes, write one
  EXPECT_LE(thumb.text.size(), 299u);
  for (int capacity = 1; capacity < 200; ++capacity) {
    const TextCall t = PreviewText(p, Read(Sample("docs_sheet.xls")), "xls", capacity);
    EXPECT_TRUE(IsUtf8(t.text)) << capacity;
    EXPECT_EQ(sheet.text.substr(0, t.text.size()), t.text) << capacity;
  }
  // Spreadsheet::WriteExcel writes numbers as NUMBER records: not shown.
  const TextCall we = PreviewText(p, Read(Sample("docs_writeexcel.xls")), "XLS", 1922);
  EXPECT_EQ(1, we.result);
  EXPECT_EQ("Item Count Note ", we.text.substr(0, 16));
  EXPECT_NE(std::string::npos, we.text.find("\nLanterns  blue glass "));
  // An empty first sheet lists the shared strings, four to a line after the first.
  const TextCall words = PreviewText(p, Read(Sample("docs_strings.xls")), "et", 1922);
  EXPECT_EQ(1, words.result);
  EXPECT_EQ("Word000 \nWord001 Word002 Word003 Word004 \nWord005 ", words.text.substr(0, 50));
  EXPECT_EQ(std::string::npos, words.text.find("Word100"));  // the reader keeps 100
  // A document without a workbook stream has no first sheet.
  EXPECT_EQ(0, PreviewText(p, Read(Sample("docs_letter.doc")), "xls", 300).result);
}

TEST(DocPluginText, OleDatesAndRkNumbers) {
  int y, m, d, h, mi, s, ms;
  EXPECT_FALSE(office::ConvertOleDate(36526, &y, &m, &d, &h, &mi, &s, &ms));  // 1 January
  EXPECT_TRUE(office::ConvertOleDate(36527, &y, &m, &d, &h, &mi, &s, &ms));
  EXPECT_EQ(2000, y);
  EXPECT_EQ(2, d);
  EXPECT_TRUE(office::ConvertOleDate(45000.75, &y, &m, &d, &h, &mi, &s, &ms));
  EXPECT_EQ(2023 * 10000 + 315, y * 10000 + m * 100 + d);
  EXPECT_EQ(18, h);
  EXPECT_TRUE(office::ConvertOleDate(60, &y, &m, &d, &h, &mi, &s, &ms) == false);  // 1900
  EXPECT_TRUE(office::ConvertOleDate(36585, &y, &m, &d, &h, &mi, &s, &ms));  // 29 February 2000
  EXPECT_EQ(229, m * 100 + d);
  EXPECT_FALSE(office::ConvertOleDate(2958467, &y, &m, &d, &h, &mi, &s, &ms));
  EXPECT_DOUBLE_EQ(1.0, Excel::DecodeRk(0x00000006));
  EXPECT_DOUBLE_EQ(0.01, Excel::DecodeRk(0x00000007));
  EXPECT_DOUBLE_EQ(1.0, Excel::DecodeRk(0x3FF00000));
  EXPECT_DOUBLE_EQ(0.01, Excel::DecodeRk(0x3FF00001));
  EXPECT_DOUBLE_EQ(-3.0, Excel::DecodeRk(0xFFFFFFF6u));
}

TEST(DocPluginText, SheetGridStaysRectangularAndBounded) {
  std::vector<std::wstring> strings;
  Excel::Sheet sheet(&strings);
  sheet.EnsureCell(5, 3);
  EXPECT_EQ(6u, sheet.RowCount());
  EXPECT_EQ(4u, sheet.ColumnCount());
  EXPECT_TRUE(sheet.GetCell(10, 0).empty);
  sheet.GetCell(5, 3).empty = false;
  EXPECT_FALSE(sheet.GetCell(5, 3).empty);
  sheet.EnsureCell(0, 1001);  // beyond column 1000: ignored
  EXPECT_EQ(4u, sheet.ColumnCount());
  sheet.EnsureCell(0, 1000);
  EXPECT_EQ(1001u, sheet.ColumnCount());
  EXPECT_TRUE(sheet.HasCell(5, 1000));
  sheet.EnsureCell(-1, 0);     // a row above 32,767 read as signed
  sheet.EnsureCell(32767, 0);  // 32,768 rows of 1,001 cells: past the cell cap
  EXPECT_EQ(6u, sheet.RowCount());
  EXPECT_EQ(L"", sheet.GetSharedString(0));
}

// A compound file written by the system's structured storage (Wine's): the
// reader finds big and small streams, and stops its directory after 256
// entries of a root storage with more children.
TEST(DocPluginText, CompoundReaderOnSystemStorage) {
  ILockBytes* bytes = nullptr;
  ASSERT_EQ(S_OK, CreateILockBytesOnHGlobal(nullptr, TRUE, &bytes));
  IStorage* stg = nullptr;
  ASSERT_EQ(S_OK, StgCreateDocfileOnILockBytes(bytes, STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, &stg));
  std::string big(10000, 'b'), small(300, 's');
  for (int i = 0; i < 300; ++i) {
    wchar_t name[32];
    swprintf(name, 32, i == 150 ? L"Workbook" : L"Stream%03d", i);
    IStream* s = nullptr;
    ASSERT_EQ(S_OK, stg->CreateStream(name, STGM_CREATE | STGM_WRITE | STGM_SHARE_EXCLUSIVE, 0, 0, &s));
    const std::string& data = i % 2 ? big : small;
    ULONG done = 0;
    s->Write(data.data(), static_cast<ULONG>(data.size()), &done);
    s->Release();
  }
  stg->Commit(STGC_DEFAULT);
  stg->Release();
  STATSTG st;
  bytes->Stat(&st, STATFLAG_NONAME);
  std::string image(static_cast<size_t>(st.cbSize.QuadPart), '\0');
  ULARGE_INTEGER zero;
  zero.QuadPart = 0;
  ULONG got = 0;
  bytes->ReadAt(zero, &image[0], static_cast<ULONG>(image.size()), &got);
  bytes->Release();

  CompoundFile::File file;
  file.OpenFromMemory(image.data(), static_cast<int32_t>(image.size()));
  EXPECT_GE(file.Entries().size(), 256u);
  EXPECT_LE(file.Entries().size(), 256u + 16u);
  CompoundFile::MemorySource source(image.data(), static_cast<int32_t>(image.size()));
  for (const CompoundFile::DirectoryEntry& e : file.Entries()) {
    std::unique_ptr<CompoundFile::Stream> s(file.OpenStream(e, &source));
    std::string read;
    while (!s->AtEnd()) read.push_back(static_cast<char>(s->ReadByte()));
    EXPECT_EQ(e.name == L"Stream001" || e.size == 10000 ? big : small, read);
  }
  const CompoundFile::DirectoryEntry none = file.FindEntry(L"NoSuchStream");
  EXPECT_EQ(L"", none.name);
  EXPECT_EQ(-2, none.startSector);
  std::unique_ptr<CompoundFile::Stream> s(file.OpenStream(none, &source));
  EXPECT_TRUE(s->AtEnd());
  EXPECT_EQ(-1, s->Position());
  // A foreign image opens with no entries; only a failed copy is an error.
  CompoundFile::File foreign;
  foreign.OpenFromMemory("not a compound file", 19);
  EXPECT_TRUE(foreign.Entries().empty());
  CompoundFile::File broken;
  EXPECT_THROW(broken.OpenFromMemory(nullptr, 100), CompoundFile::Exception);
  EXPECT_THROW(Excel::Workbook(nullptr, 100), Excel::Exception);
}

TEST(DocPluginThumbnail, PdfXmpAndIllustratorPictures) {
  PluginModule p;
  ASSERT_TRUE(p.Load(kPdf));
  for (const char* name : {"docs_xmp.pdf", "docs_linupd.pdf"}) {
    SCOPED_TRACE(name);
    const Picture thumb = ThumbnailOf(p, Sample(name));
    EXPECT_EQ(1, thumb.result);
    EXPECT_EQ(120, thumb.width);
    EXPECT_EQ(90, thumb.bmHeight);
    const Picture preview = PreviewOf(p, Read(Sample(name)));
    EXPECT_EQ(1, preview.result);
    EXPECT_EQ(120, preview.bmWidth);
    EXPECT_EQ(90, preview.height);
  }
  EXPECT_EQ(0, ThumbnailOf(p, Sample("docs_gs.pdf")).result);  // no picture in it

  // Illustrator's form of the XMP text: one line, breaks written "&#xA;".
  const std::string jpeg = Read(Sample("plugimg_photo.jpg"));
  std::string b64;
  static const char* kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (size_t i = 0; i < jpeg.size(); i += 3) {
    uint32_t v = static_cast<uint8_t>(jpeg[i]) << 16;
    if (i + 1 < jpeg.size()) v |= static_cast<uint8_t>(jpeg[i + 1]) << 8;
    if (i + 2 < jpeg.size()) v |= static_cast<uint8_t>(jpeg[i + 2]);
    for (int k = 0; k < 4; ++k)
      b64 += (k <= 1 || i + k <= jpeg.size()) ? kAlphabet[(v >> (18 - 6 * k)) & 63] : '=';
    if (i % 57 == 54) b64 += "&#xA;";
  }
  const std::string xmp = "%PDF-1.4\n<x:xmpmeta><xmpGImg:image>" + b64 + "</xmpGImg:image>\n";
  const Picture fromXmp = PreviewOf(p, xmp);
  EXPECT_EQ(1, fromXmp.result);
  EXPECT_EQ(320, fromXmp.width);
  EXPECT_EQ(240, fromXmp.bmHeight);
  const std::string attr = "%PDF-1.4\n<rdf:li xmpGImg:image=\"" + b64 + "\"/>\n";
  EXPECT_EQ(320, PreviewOf(p, attr).width);

  // A hex palette thumbnail, run-length coded: 4 x 2 pixels.
  std::string hex;
  char two[3];
  for (int i = 0; i < 768; ++i) {
    snprintf(two, sizeof(two), "%02X", i % 3 == 0 ? (i / 3) : 0);  // red = index
    hex += two;
    if (i % 30 == 29) hex += "\n%";
  }
  hex += "524C45";      // "RLE"
  hex += "FD0380";      // three of index 0x80
  hex += "FDFD";        // index 0xFD
  hex += "01020304";    // four more
  const std::string ai = "%!PS-Adobe-3.0\n%AI7_Thumbnail: 4 2 8\n%%BeginData: " +
                         std::to_string(hex.size()) + " Hex Bytes\n%" + hex + "\n%%EndData\n";
  const Picture fromAi = PreviewOf(p, ai);
  EXPECT_EQ(1, fromAi.result);
  EXPECT_EQ(4, fromAi.bmWidth);
  EXPECT_EQ(2, fromAi.bmHeight);
  EXPECT_EQ(0x800000u, fromAi.corner);
  std::vector<unsigned char> data(768 + 7);
  EXPECT_TRUE(pdf::IllustratorBitmap(data, 7, 1).size() == 54 + 24);
  EXPECT_TRUE(pdf::IllustratorBitmap(data, 4, 2).empty());  // 7 pixels are not 4 x 2
  EXPECT_EQ(0, PreviewOf(p, "%!PS\n%AI7_Thumbnail: 5 2 8\n%%BeginData: 10 Hex Bytes\n" + hex).result);
  std::vector<unsigned char> out;
  EXPECT_TRUE(pdf::DecodeBase64("QUJD\nRA==", 9, 16, &out));
  EXPECT_EQ("ABCD", std::string(out.begin(), out.end()));
  EXPECT_FALSE(pdf::DecodeBase64("QUJDRA==", 8, 3, &out));
}

TEST(DocPluginThumbnail, ProgramIcons) {
  REQUIRE_CORPUS(L"corpora/formats");
  PluginModule p;
  ASSERT_TRUE(p.Load(kExe));
  const struct {
    const char* name;
    int thumbWidth, thumbHeight, previewWidth, previewHeight;
  } cases[] = {
      {"docs_app64.exe", 48, 48, 48, 48},  // 64-bit: a longer optional header
      {"docs_app32.exe", 48, 48, 48, 48},
      {"docs_signed64.exe", 48, 48, 48, 48},
      {"docs_png64.exe", 110, 110, 256, 256},  // a PNG image, fitted into the box
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Picture thumb = ThumbnailOf(p, Sample(c.name));
    EXPECT_EQ(1, thumb.result);
    EXPECT_EQ(c.thumbWidth, thumb.width);
    EXPECT_EQ(c.thumbHeight, thumb.bmHeight);
    const Picture preview = PreviewOf(p, Read(Sample(c.name)));
    EXPECT_EQ(1, preview.result);
    EXPECT_EQ(c.previewWidth, preview.bmWidth);
    EXPECT_EQ(c.previewHeight, preview.height);
  }
  // The gradient icon is teal at its top-left corner.
  const Picture app = ThumbnailOf(p, Sample("docs_app64.exe"));
  EXPECT_LT(int(app.corner >> 16), 0x30);
  EXPECT_GT(int(app.corner & 0xFF), 0x60);
  EXPECT_EQ(0, ThumbnailOf(p, Corpus("exe/testWindows-x86-32.exe")).result);  // no resources
  EXPECT_EQ(0, PreviewOf(p, Read(Corpus("exe/normal64.exe"))).result);
}

}  // namespace
