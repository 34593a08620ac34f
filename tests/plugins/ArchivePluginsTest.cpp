// The archive and drawing plug-ins (ZIP and the formats built on it, RAR,
// cabinets, DWG) through their exports, on files made here by real tools
// (tests/fixtures/make-archives.sh: zip, LibreOffice, gcab, osslsigncode)
// and on public samples.
#include <cstring>
#include <sstream>
#include <vector>

#include "PluginHarness.h"
#include "common/TestPaths.h"
#include "gtest/gtest.h"
#include "plugins/common/TextConvert.h"

namespace {

const wchar_t *const kZip = L"fmt_zip.dll", *const kRar = L"fmt_rar.dll", *const kCab = L"fmt_cab.dll",
                     *const kCad = L"fmt_cad.dll";

std::string Read(const std::wstring& path) { return testpaths::ReadWholeFile(path); }

std::wstring Path(const std::string& s) {
  return s.compare(0, 3, "fx:") == 0 ? Sample(s.substr(3)) : Corpus(s);
}

std::string Ext(const RawFileInfo& info) { return std::string(info.format, strnlen(info.format, 21)); }

TEST(ArchivePluginContract, NamesFlagsAndSignatures) {
  const struct {
    const wchar_t* dll;
    const char* name;
    int text, bitmap;
    std::string signature;
  } cases[] = {{kZip, "FILE_TYPE_ZIP", 1, 1, "PK\3\4"},
               {kRar, "FILE_TYPE_RAR", 1, 0, std::string("Rar!\x1A\x07\0", 7)},
               {kCab, "FILE_TYPE_CAB", 1, 0, "MSCF"},
               {kCad, "FILE_TYPE_CAD", 0, 1, "AC10"}};
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
    EXPECT_EQ(c.text, *p.HasThumbnail);
    EXPECT_EQ(c.bitmap, *p.HasThumbnailBitmap);
    EXPECT_EQ(c.text != 0, p.GetThumbnailText != nullptr && p.GetPreviewText != nullptr);
    FileSignRecord rec;
    memset(&rec, 0xCC, sizeof(rec));
    ASSERT_EQ(1, p.GetFileSign(&rec));
    EXPECT_EQ(c.signature, std::string(reinterpret_cast<char*>(rec.signature), rec.count));
  }
}

const int64_t kWhole = -1;

// Every real sample is measured to its last byte and typed by its content,
// with the program's window and with a small one that makes the walks
// cross many windows.
TEST(ArchivePluginLength, RealSamples) {
  REQUIRE_CORPUS(L"corpora/formats");
  const struct {
    const wchar_t* dll;
    std::string sample;
    int result;
    int64_t length;
    const char* ext;
  } cases[] = {
      {kZip, "fx:arch_plain.zip", 1, kWhole, "zip"},
      {kZip, "fx:arch_comment.zip", 1, kWhole, "zip"},  // the end record and its comment
      {kZip, "fx:arch_stored.zip", 1, kWhole, "zip"},
      {kZip, "fx:arch_streamed.zip", 1, kWhole, "zip"},  // data descriptors
      {kZip, "fx:arch_zip64.zip", 1, kWhole, "zip"},     // ZIP64 sizes and end records
      {kZip, "fx:arch_utf8.zip", 1, kWhole, "zip"},
      {kZip, "fx:arch_app.jar", 1, kWhole, "jar"},
      {kZip, "fx:arch_doc.docx", 1, kWhole, "docx"},  // LibreOffice: descriptors throughout
      {kZip, "fx:arch_sheet.xlsx", 1, kWhole, "xlsx"},
      {kZip, "fx:arch_thumb.xlsx", 1, kWhole, "xlsx"},
      {kZip, "fx:arch_slides.pptx", 1, kWhole, "pptx"},
      {kZip, "fx:arch_doc.odt", 1, kWhole, "odt"},  // "mimetype" first, though META-INF follows
      {kZip, "fx:arch_sheet.ods", 1, kWhole, "ods"},
      {kZip, "fx:arch_slides.odp", 1, kWhole, "odp"},
      {kZip, "zip/sample.zip", 1, kWhole, "zip"},  // macOS: descriptors with signatures
      {kZip, "zip/testZip_with_DataDescriptor.zip", 1, kWhole, "zip"},  // stored and streamed
      {kZip, "zip/with_directory.zip", 1, kWhole, "zip"},
      {kZip, "docx/OOXML.docx", 1, kWhole, "docx"},
      {kZip, "docx/testWORD_1img.docx", 1, kWhole, "docx"},
      {kZip, "xlsx/xlrd-sample.xlsx", 1, kWhole, "xlsx"},
      {kZip, "odt/testOpenOffice2.odt", 1, kWhole, "odt"},
      {kZip, "odt/LibreOfficeWriter_odt_1.3.odt", 1, kWhole, "odt"},
      {kRar, "rar/rar3-subdirs.rar", 1, kWhole, "rar"},
      {kRar, "rar/rar3-solid.rar", 1, kWhole, "rar"},
      {kRar, "rar/rar3-comment-plain.rar", 1, kWhole, "rar"},  // comment sub-blocks
      {kRar, "rar/hachoir-core.rar", 1, kWhole, "rar"},        // recovery record
      {kRar, "rar/unicode.rar", 1, kWhole, "rar"},
      {kRar, "rar/rar3-versions.rar", 1, kWhole, "rar"},
      {kRar, "rar/rar15-comment.rar", 1, kWhole, "rar"},  // RAR 1.5: no end block
      {kRar, "rar/rar202-comment-nopsw.rar", 1, kWhole, "rar"},
      {kRar, "rar/rar3-vols.part1.rar", 1, kWhole, "rar"},  // a set's first volume
      {kRar, "rar/rar3-old.rar", 1, kWhole, "rar"},
      {kRar, "rar/rar5-solid.rar", 0, 0, ""},  // RAR 5 is another format
      {kCab, "fx:arch_stored.cab", 1, kWhole, "cab"},
      {kCab, "fx:arch_mszip.cab", 1, kWhole, "cab"},
      {kCab, "fx:arch_signed.cab", 1, kWhole, "cab"},  // the signature behind cbCabinet
      {kCab, "cab/mszip_lzx_qtm.cab", 1, kWhole, "cab"},
      {kCab, "cab/test-documents.cab", 1, kWhole, "cab"},
      {kCab, "malformed/hidden-file-bad-folderid.cab", 1, 200, "cab"},  // cbCabinet as stated
      {kCad, "dwg/r14-v.dwg", 1, kWhole, "dwg"},           // ends with its preview
      {kCad, "dwg/sample_2000.dwg", 1, kWhole, "dwg"},     // ends with a located section
      {kCad, "dwg/sample_2018.dwg", 1, kWhole, "dwg"},     // header copy at the end
      {kCad, "dwg/testDWG2007.dwg", 1, kWhole, "dwg"},     // coded, compressed header
  };
  for (const auto& c : cases) {
    const uint64_t size = Read(Path(c.sample)).size();
    ASSERT_GT(size, 0u) << c.sample;
    PluginModule p;
    ASSERT_TRUE(p.Load(c.dll));
    for (uint64_t window : {uint64_t(0), uint64_t(2048)}) {
      SCOPED_TRACE(testing::Message() << c.sample << " window " << window);
      auto reader = OpenReader(Path(c.sample), window);
      Analysis a = Analyse(p, reader.get());
      ASSERT_EQ(c.result, a.result);
      if (!c.result) {
        EXPECT_EQ(0, a.info.valid);
        continue;
      }
      EXPECT_EQ(RAWINFO_HAS_VALID | RAWINFO_HAS_FORMAT | RAWINFO_HAS_LENGTH, a.info.flags & 7);
      EXPECT_EQ(1, a.info.valid);
      EXPECT_EQ(c.length == kWhole ? size : uint64_t(c.length), a.info.length);
      EXPECT_EQ(c.ext, Ext(a.info));
    }
  }
}

std::string Noise(size_t n, uint32_t seed) {
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    seed = seed * 1103515245u + 12345u;
    s.push_back(static_cast<char>(seed >> 16));
  }
  return s;
}

std::string Patch(std::string s, size_t at, const std::string& bytes) {
  return s.replace(at, bytes.size(), bytes);
}

// Files followed by other bytes, cut at the device's end, or with damaged
// or hostile fields.
TEST(ArchivePluginLength, FollowedCutAndDamaged) {
  REQUIRE_CORPUS(L"corpora/formats");
  const std::string plain = Read(Sample("arch_plain.zip"));
  const std::string streamed = Read(Sample("arch_streamed.zip"));
  // Marker and main header (20 bytes), files of 134 and 2092 bytes, end block.
  const std::string seek = Read(Corpus("rar/seektest.rar"));
  const std::string old15 = Read(Corpus("rar/rar15-comment.rar"));
  const std::string cab = Read(Sample("arch_stored.cab"));
  const std::string dwg = Read(Corpus("dwg/sample_2000.dwg"));
  const std::string dwg18 = Read(Corpus("dwg/sample_2018.dwg"));
  std::string noDescriptors = streamed;  // streamed entries whose descriptors are gone
  for (size_t at; (at = noDescriptors.find("PK\x07\x08")) != std::string::npos;)
    noDescriptors.replace(at, 4, "XXXX");
  // A drawing of an old release: data to 70000, then zeros to its block end.
  const std::string oldDwg = "AC1009" + Noise(70000 - 6, 9) + std::string(70144 - 70000, '\0');
  const uint64_t kAny = ~0ull;
  const struct {
    const wchar_t* dll;
    std::string bytes;
    int result, valid;
    uint64_t length;
    bool smallWindow = true;  // also measured through a 1 KiB window
  } cases[] = {
      {kZip, plain + Noise(3000, 1), 1, 1, plain.size()},
      {kZip, streamed + plain, 1, 1, streamed.size()},
      // Cut by the device's end: the whole records before it.
      {kZip, plain.substr(0, plain.size() - 30), 1, 1, plain.size() - 22 - (46 + 5)},
      {kZip, noDescriptors, 1, 0, kAny},                      // streamed data without its end
      {kZip, Read(Corpus("malformed/testZIP_corrupted_oom.zip")), 1, 0, kAny},  // claims 2 GiB
      {kZip, Patch(plain, 4, "\xFF"), 1, 1, plain.size()},   // a version byte: still a record
      {kRar, seek + Noise(2000, 2), 1, 1, seek.size()},
      // A damaged second file header: the archive is not whole.
      {kRar, Patch(seek, 154 + 10, "\x77"), 0, 0, kAny},
      {kRar, Patch(seek, 11, "\x80"), 0, 0, kAny},  // main header with flag 0x8000
      {kRar, seek.substr(0, 20 + 44 + 50), 0, 0, kAny},  // cut inside the first file
      {kRar, seek.substr(0, 154 + 100), 0, 0, kAny},      // cut inside the second
      // Its end block lost: a RAR 2.9 archive always writes one.
      {kRar, seek.substr(0, seek.size() - 7) + std::string(600, '\0'), 0, 0, kAny},
      // Written by RAR 1.5 (main header 44 bytes with its comment, files at
      // 51 and 130, 210 bytes), without an end block: it ends after its last
      // whole block where no block follows.
      {kRar, old15 + std::string(600, '\0'), 1, 1, old15.size()},
      {kRar, old15 + Noise(2000, 5), 1, 1, old15.size()},
      {kRar, old15, 1, 1, old15.size()},
      {kRar, old15.substr(0, 130), 1, 1, 130},  // one file: the archive ends after it
      // A block that fails its check ends such an archive; one cut by the
      // device's end inside its data leaves it without a length.
      {kRar, Patch(old15, 130 + 10, "\x77"), 1, 1, 130},
      {kRar, old15.substr(0, 130 + 75), 0, 0, kAny},
      {kCab, Patch(cab, 8, std::string("\x39\x30\0\0", 4)), 1, 1, 12345},
      {kCab, Patch(cab, 24, "\x02\x01"), 0, 0, kAny},  // version 1.2
      {kCab, Patch(cab, 30, "\x05"), 0, 0, kAny},      // flags 5
      {kCab, Patch(cab, 30, "\x04"), 1, 1, cab.size()},  // reserve present
      {kCad, dwg + Noise(5000, 3), 1, 1, dwg.size()},
      {kCad, dwg18 + Noise(5000, 4), 1, 1, dwg18.size()},
      // A damaged header: no structure to go by, and the zero run says 488.
      {kCad, Patch(dwg18, 0x90, std::string(1, dwg18[0x90] ^ 0x55)), 0, 0, kAny},
      {kCad, oldDwg, 1, 1, 70000},  // the zero run reads on behind a small window
      {kCad, oldDwg.substr(0, 512), 0, 0, kAny},
  };
  TempFile f(L"arch-cut");
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    PluginModule p;
    ASSERT_TRUE(p.Load(cases[i].dll));
    for (uint64_t window : {uint64_t(0), uint64_t(1024)}) {
      if (window && !cases[i].smallWindow) continue;
      Analysis a = f.Analyse(p, cases[i].bytes, window);
      SCOPED_TRACE(testing::Message() << "case " << i << " window " << window);
      EXPECT_EQ(cases[i].result, a.result);
      EXPECT_EQ(cases[i].valid, a.info.valid);
      EXPECT_EQ(cases[i].valid ? RAWINFO_HAS_VALID : 0, a.info.flags & RAWINFO_HAS_VALID);
      if (cases[i].length != kAny) {
        EXPECT_EQ(cases[i].length, a.info.length);
      }
    }
  }
}

// A ZIP whose first entry claims 11 GiB of data on a device that is that
// large: refused rather than reported.
TEST(ArchivePluginLength, HugeClaimsAreRefused) {
  REQUIRE_CORPUS(L"corpora/formats");
  std::string head = Read(Sample("arch_zip64.zip")).substr(0, 30 + 1 + 20);
  // The ZIP64 extra field: uncompressed, then compressed size.
  const uint64_t huge = 11ull << 30;
  memcpy(&head[30 + 1 + 4 + 8], &huge, 8);
  TempFile f(L"arch-huge");
  ASSERT_TRUE(f.Write(head));
  HANDLE h = CreateFileW(f.Path().c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(huge + 4096);
  DWORD got = 0;
  DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &got, nullptr);
  ASSERT_TRUE(SetFilePointerEx(h, end, nullptr, FILE_BEGIN) && SetEndOfFile(h));
  CloseHandle(h);
  PluginModule p;
  ASSERT_TRUE(p.Load(kZip));
  auto reader = OpenReader(f.Path());
  Analysis a = Analyse(p, reader.get());
  EXPECT_EQ(1, a.result);
  EXPECT_EQ(0, a.info.valid);
  EXPECT_EQ(0, a.info.flags & RAWINFO_HAS_LENGTH);
  // The memory walk of the scan buffer finds no end record in 512 bytes.
  EXPECT_EQ(512, p.GetFileSizeAtOnce(reinterpret_cast<const unsigned char*>(
                     (head + std::string(512, '\0')).data())));
  const std::string tiny = Read(Corpus("zip/ZIP.zip")) + std::string(400, '\0');
  EXPECT_EQ(167, p.GetFileSizeAtOnce(reinterpret_cast<const unsigned char*>(tiny.data())));
}

// ---------------------------------------------------------------------------
// Texts
// ---------------------------------------------------------------------------

std::string PreviewText(const PluginModule& p, const std::string& bytes, const char* ext,
                        int capacity = 1922) {
  std::vector<char> buf(static_cast<size_t>(capacity) + 8, '\x7F');
  strcpy(buf.data(), ext);
  const int r = p.GetPreviewText(bytes.data(), bytes.size(), buf.data(), capacity);
  EXPECT_EQ('\x7F', buf[static_cast<size_t>(capacity)]);  // never past the capacity
  return r ? std::string(buf.data()) : "(none)";
}

std::string ThumbnailText(const PluginModule& p, const std::wstring& path, const char* ext,
                          int capacity = 300) {
  auto reader = OpenReader(path);
  const uint64_t size = reader->GetTotalSize();
  reader->SeekTo(0);
  std::vector<char> buf(static_cast<size_t>(capacity) + 2, '\0');
  strcpy(buf.data(), ext);
  return p.GetThumbnailText(reader.get(), size, buf.data(), capacity) ? std::string(buf.data())
                                                                      : "(none)";
}

// The expected list from the names the archiver itself reports: cut before
// the first separator, a name repeated in a row listed once.
std::string ExpectedList(const std::string& names, char sep, const char* eol, size_t maxEntries,
                         size_t maxListed) {
  std::istringstream in(names);
  std::string name, last, out;
  size_t entries = 0, listed = 0;
  while (std::getline(in, name, '|') && entries++ < maxEntries && listed < maxListed) {
    const std::string top = name.substr(0, name.find(sep));
    if (top == last) continue;
    last = top;
    out += top + eol;
    ++listed;
  }
  return out;
}

TEST(ArchivePluginText, NameListsMatchTheArchivesEntries) {
  PluginModule zip, cab;
  ASSERT_TRUE(zip.Load(kZip));
  ASSERT_TRUE(cab.Load(kCab));
  std::istringstream table(Read(Sample("arch_names.tsv")));
  std::string line;
  std::getline(table, line);
  int checked = 0;
  while (std::getline(table, line)) {
    const std::string sample = line.substr(0, line.find('\t')), names = line.substr(line.find('\t') + 1);
    const std::string ext = sample.substr(sample.rfind('.') + 1);
    if (ext == "docx" || ext == "xlsx" || ext == "pptx" || sample == "arch_gbk.zip") continue;
    SCOPED_TRACE(sample);
    const bool isCab = ext == "cab";
    const std::string want = isCab ? ExpectedList(names, '\\', "\r\n", 10, 10)
                                   : ExpectedList(names, '/', "\n", ~size_t(0), 11);
    const PluginModule& p = isCab ? cab : zip;
    EXPECT_EQ(want, PreviewText(p, Read(Sample(sample)), ext.c_str()));
    EXPECT_EQ(want, ThumbnailText(p, Sample(sample), ext.c_str()));
    ++checked;
  }
  EXPECT_EQ(14, checked);
  // A name stored in code page 936 comes back as UTF-8.
  EXPECT_EQ("\xE4\xB8\xAD\xE6\x96\x87.txt\nb.txt\n", PreviewText(zip, Read(Sample("arch_gbk.zip")), "zip"));
  // The Part's own example: a/x, a/y and b give two lines.
  EXPECT_EQ("a\nb.txt\n", PreviewText(zip, Read(Sample("arch_plain.zip")), "zip"));
}

TEST(ArchivePluginText, RarNames) {
  REQUIRE_CORPUS(L"corpora/formats");
  PluginModule p;
  ASSERT_TRUE(p.Load(kRar));
  const struct {
    const char* sample;
    std::string want;
  } cases[] = {
      {"rar/rar3-subdirs.rar", "sub\n"},  // one top folder; the Unicode form decoded
      {"rar/rar15-comment.rar", "FILE1.TXT\nFILE2.TXT\n"},
      {"rar/rar3-comment-plain.rar", "file1.txt\nfile2.txt\n"},  // behind a comment block
      {"rar/unicode.rar",
       "\xD1\x83\xD0\xB8\xD0\xB8\xD0\xBE\xD0\xBE\xD1\x82\xD0\xB8\xD0\xB2\xD0\xBB.txt\n"
       "\xF0\x9D\x90\x80\xF0\x9D\x90\x81\xF0\x9D\x90\x81\xF0\x9D\x90\x82.txt\n"},
      // Eleven distinct top-level names, then the list stops.
      {"rar/hachoir-core.rar",
       "README\n.svn\nAUTHORS\nCOPYING\nscript\nlocale\nhachoir_core\ndoc\ncompatibility\nINSTALL\nMakefile\n"},
      {"rar/rar5-subdirs.rar", "(none)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sample);
    EXPECT_EQ(c.want, PreviewText(p, Read(Corpus(c.sample)), "rar"));
    EXPECT_EQ(c.want, ThumbnailText(p, Corpus(c.sample), "rar"));
  }
  // The decoded name of the Unicode entry, before it is cut at its folder.
  EXPECT_EQ("sub\n", PreviewText(p, Read(Corpus("rar/rar3-subdirs.rar")), "rar", 5));
  EXPECT_EQ("(none)", PreviewText(p, Read(Corpus("rar/rar3-subdirs.rar")), "rar", 4));
  EXPECT_EQ("(none)", PreviewText(p, "Rar!\x1A\x07", "rar"));
}

TEST(ArchivePluginText, DocumentWordsAndSheetCells) {
  REQUIRE_CORPUS(L"corpora/formats");
  PluginModule p;
  ASSERT_TRUE(p.Load(kZip));
  const std::string doc =
      "Caf\xC3\xA9 cr\xC3\xA8me, na\xC3\xAFve fa\xC3\xA7" "ade; "
      "\xE4\xB8\xAD\xE6\x96\x87\xE5\xAD\x97\xE7\xAC\xA6\xE4\xB8\x8E\xE6\x81\xA2\xE5\xA4\x8D\xE3\x80\x82\n"
      "The quick brown fox jumps over the lazy dog. Recovery of deleted files from a formatted "
      "volume.\nSecond paragraph, with more words so that the text runs past fifty characters on "
      "a line.\n";
  EXPECT_EQ(doc, PreviewText(p, Read(Sample("arch_doc.docx")), "docx"));
  EXPECT_EQ(doc, ThumbnailText(p, Sample("arch_doc.docx"), "docx", 1000));
  const std::string cells = "Name Count Colour Apple 3 Red Banana 12 Yellow Cherry \n7 Dark red ";
  EXPECT_EQ(cells, PreviewText(p, Read(Sample("arch_sheet.xlsx")), "xlsx"));
  EXPECT_EQ(cells, ThumbnailText(p, Sample("arch_thumb.xlsx"), "xlsx"));
  // Cells without a value (styled, empty) do not shift the values after them.
  EXPECT_EQ(0u, PreviewText(p, Read(Corpus("xlsx/testEXCEL.xlsx")), "xlsx")
                    .find("Sample Excel Worksheet - Numbers and their Squares \nNumber Square 1 1 2 4 3 9 "));
  EXPECT_EQ("(none)", PreviewText(p, Read(Sample("arch_slides.pptx")), "pptx"));
  // A document part of 6 MiB is refused, not inflated; one nested 100000
  // elements deep is not handed to the parser.
  EXPECT_EQ("(none)", PreviewText(p, Read(Sample("arch_bomb.docx")), "docx"));
  EXPECT_EQ("(none)", PreviewText(p, Read(Sample("arch_deep.docx")), "docx"));
  // A first piece too long for the buffer is cut to it, between characters
  // ("Café crème, naïve façade; " is 30 bytes); a later one is left out.
  const std::string docx = Read(Sample("arch_doc.docx"));
  EXPECT_EQ(doc.substr(0, 12), PreviewText(p, docx, "docx", 13));
  for (size_t cap = 5; cap <= 40; ++cap) {  // room for the extension handed in
    const std::string cut = PreviewText(p, docx, "docx", static_cast<int>(cap));
    EXPECT_TRUE(plugin::IsUtf8(cut.data(), cut.size())) << cap;
    EXPECT_EQ(doc.substr(0, cut.size()), cut) << cap;
    EXPECT_GE(cut.size() + 3, cap > 31 ? 31 : cap) << cap;
  }
  EXPECT_EQ(doc.substr(0, 23), PreviewText(p, docx, "docx", 25));  // not half of the "ç"
}

// ---------------------------------------------------------------------------
// Pictures
// ---------------------------------------------------------------------------

struct Picture {
  int result = 0, width = 0, height = 0;
};

Picture PreviewPicture(const PluginModule& p, const std::string& bytes) {
  Picture pic;
  HBITMAP bmp = nullptr;
  pic.result = p.GetPreviewBitmap(bytes.data(), bytes.size(), &bmp, &pic.width, &pic.height);
  if (bmp) DeleteObject(bmp);
  return pic;
}

Picture ThumbnailPicture(const PluginModule& p, const std::wstring& path) {
  Picture pic;
  auto reader = OpenReader(path);
  reader->SeekTo(0);
  HBITMAP bmp = nullptr;
  pic.result = p.GetThumbnailBitmap(reader.get(), reader->GetTotalSize(), &bmp, &pic.width, &pic.height);
  if (bmp) DeleteObject(bmp);
  return pic;
}

TEST(ArchivePluginPicture, WorkbookThumbnailEntry) {
  REQUIRE_CORPUS(L"corpora/formats");
  PluginModule p;
  ASSERT_TRUE(p.Load(kZip));
  const std::string thumb = Read(Sample("arch_thumb.xlsx"));
  Picture pre = PreviewPicture(p, thumb), tile = ThumbnailPicture(p, Sample("arch_thumb.xlsx"));
  EXPECT_EQ(1, pre.result);
  EXPECT_EQ(240, pre.width);  // the stored 240 x 160 JPEG at its own size
  EXPECT_EQ(160, pre.height);
  EXPECT_EQ(1, tile.result);
  EXPECT_EQ(150, tile.width);
  EXPECT_EQ(100, tile.height);
  EXPECT_EQ(0, PreviewPicture(p, Read(Corpus("docx/OOXML.docx"))).result);  // a Word document
  EXPECT_EQ(0, PreviewPicture(p, Read(Sample("arch_sheet.xlsx"))).result);   // no thumbnail
  EXPECT_EQ(0, PreviewPicture(p, Read(Sample("arch_bomb.zip"))).result);     // 6 MiB: refused
  // The same workbook whose directory claims a 4 GiB thumbnail.
  std::string claims = thumb;
  const size_t central = claims.rfind("PK\x01\x02");
  ASSERT_NE(std::string::npos, central);
  ASSERT_EQ("docProps/thumbnail.jpeg", claims.substr(central + 46, 23));
  claims.replace(central + 24, 4, "\x00\xFF\xFF\xFF", 4);
  EXPECT_EQ(0, PreviewPicture(p, claims).result);
}

TEST(ArchivePluginPicture, DrawingPreviews) {
  REQUIRE_CORPUS(L"corpora/formats");
  PluginModule p;
  ASSERT_TRUE(p.Load(kCad));
  const struct {
    const char* sample;
    int width, height;  // fitted into the thumbnail box
  } cases[] = {{"dwg/r14-v.dwg", 150, 96},           // 180 x 116 bitmap
               {"dwg/sample_2000.dwg", 150, 73},     // 180 x 88 bitmap
               {"dwg/testDWG2007.dwg", 150, 87},     // 256 x 149 bitmap
               {"dwg/sample_2018.dwg", 0, 0}};       // a PNG
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sample);
    Picture pre = PreviewPicture(p, Read(Corpus(c.sample))), tile = ThumbnailPicture(p, Corpus(c.sample));
    EXPECT_EQ(1, pre.result);
    EXPECT_EQ(1, tile.result);
    if (c.width) {
      EXPECT_EQ(c.width, pre.width);
      EXPECT_EQ(c.height, pre.height);
    }
    EXPECT_EQ(pre.width, tile.width);
    EXPECT_EQ(pre.height, tile.height);
  }
  std::string noMagic = Read(Corpus("dwg/r14-v.dwg"));
  noMagic[0] = 'X';
  EXPECT_EQ(0, PreviewPicture(p, noMagic).result);
}

// ---------------------------------------------------------------------------
// Shared text helpers
// ---------------------------------------------------------------------------

TEST(PluginTextConvert, GbkNamesGrowAndCutsStayWhole) {
  const std::string gbk = "\xD6\xD0\xCE\xC4";  // two characters in code page 936
  const std::string utf8 = plugin::GbkToUtf8(gbk);
  EXPECT_EQ("\xE4\xB8\xAD\xE6\x96\x87", utf8);
  EXPECT_EQ("\xD6\xD0\xCE\xC4", gbk);  // the stored name is left as it was
  EXPECT_EQ("abc", plugin::GbkToUtf8(std::string("abc")));
  EXPECT_EQ(utf8, plugin::NameToUtf8(utf8.data(), utf8.size(), false));  // already UTF-8
  EXPECT_FALSE(plugin::IsUtf8("\xC0\xAF", 2));                           // overlong
  EXPECT_FALSE(plugin::IsUtf8("\xED\xA0\x80", 3));                       // surrogate
  EXPECT_FALSE(plugin::IsUtf8("\xE4\xB8", 2));                           // cut short
  EXPECT_EQ(0u, plugin::Utf8Prefix(utf8.data(), utf8.size(), 2));
  EXPECT_EQ(3u, plugin::Utf8Prefix(utf8.data(), utf8.size(), 5));
  // A buffer of 7 holds the converted name (6 bytes) and its NUL, not a line feed more.
  char buf[9];
  memset(buf, '#', sizeof(buf));
  plugin::CTextOut out(buf, 7);
  EXPECT_FALSE(out.Append(utf8 + "\n"));
  EXPECT_TRUE(out.Append(utf8));
  EXPECT_FALSE(out.AppendCut("x"));
  EXPECT_STREQ(utf8.c_str(), buf);
  EXPECT_EQ('#', buf[7]);
  plugin::CTextOut none(nullptr, 10), zero(buf, 0);
  EXPECT_FALSE(none.Append("a"));
  EXPECT_FALSE(zero.Append(""));
}

}  // namespace
