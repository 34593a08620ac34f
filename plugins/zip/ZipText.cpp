#include "plugins/zip/ZipText.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "plugins/common/MemoryZip.h"
#include "plugins/common/TextConvert.h"
#include "plugins/common/ThumbnailHelpers.h"
#include "plugins/zip/ZipRecords.h"
#include "tinyxml.h"

namespace zipfmt {

namespace {

const size_t kLineLength = 50;
const int kMaxListedNames = 11;
// Deepest element nesting parsed: the parser and the walks recurse per level.
const int kMaxXmlDepth = 256;

using plugin::CMemoryZip;
using plugin::EntryInfo;

// Largest part inflated for a text or a thumbnail.
const uint64_t kMaxEntryBytes = 5u << 20;

const char kDocumentPart[] = "word/document.xml";
const char kSheetPart[] = "xl/worksheets/sheet1.xml";
const char kSharedStringsPart[] = "xl/sharedStrings.xml";
const char kThumbnailPart[] = "docProps/thumbnail.jpeg";

enum TextKind { kDocumentText, kSheetText, kNoText, kNameList };

TextKind KindOf(const char* ext) {
  if (_stricmp(ext, "docx") == 0) return kDocumentText;
  if (_stricmp(ext, "xlsx") == 0) return kSheetText;
  if (_stricmp(ext, "pptx") == 0) return kNoText;
  return kNameList;
}

// An upper bound of the element nesting, from the tags alone (quoted
// attribute values, comments, CDATA sections and declarations are stepped
// over as the parser does); the parser is never given a document nested
// deeper than it can walk.
bool NestingWithin(const std::string& xml, int maxDepth) {
  int depth = 0;
  const size_t n = xml.size();
  size_t i = 0;
  auto skipPast = [&](const char* end) {
    const size_t at = xml.find(end, i);
    i = at == std::string::npos ? n : at + strlen(end);
  };
  while (i < n) {
    if (xml[i] != '<' || i + 1 >= n) {
      ++i;
      continue;
    }
    if (xml.compare(i, 4, "<!--") == 0) {
      skipPast("-->");
    } else if (xml.compare(i, 9, "<![CDATA[") == 0) {
      skipPast("]]>");
    } else if (xml[i + 1] == '?') {
      skipPast("?>");
    } else if (xml[i + 1] == '!' || xml[i + 1] == '/') {
      if (xml[i + 1] == '/') --depth;
      skipPast(">");
    } else {
      size_t j = i + 1;
      char quote = 0;
      for (; j < n; ++j) {
        const char c = xml[j];
        if (quote) {
          if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
          quote = c;
        } else if (c == '>') {
          break;
        }
      }
      if (j >= n) break;
      if (xml[j - 1] != '/' && ++depth > maxDepth) return false;
      i = j + 1;
    }
  }
  return true;
}

// Parses an XML part; false when it is malformed or nested too deeply.
bool ParseXml(const std::string& xml, TiXmlDocument* doc) {
  if (!NestingWithin(xml, kMaxXmlDepth)) return false;
  // Spaces at the ends of a run are part of the text. (The setting is this
  // module's own copy of the parser's; it is made once, before any parse.)
  static const bool keepSpaces = (TiXmlBase::SetCondenseWhiteSpace(false), true);
  (void)keepSpaces;
  doc->Parse(xml.c_str(), nullptr, TIXML_ENCODING_UTF8);
  return !doc->Error();
}

// Every element under `from` whose tag is `name`, in document order,
// without looking inside a matching element.
void CollectElementsByName(const TiXmlNode* from, const char* name,
                           std::vector<const TiXmlElement*>* list) {
  std::vector<const TiXmlNode*> stack;
  for (const TiXmlNode* c = from->LastChild(); c; c = c->PreviousSibling()) stack.push_back(c);
  while (!stack.empty()) {
    const TiXmlNode* node = stack.back();
    stack.pop_back();
    const TiXmlElement* e = node->ToElement();
    if (e == nullptr) continue;
    if (strcmp(e->Value(), name) == 0) {
      list->push_back(e);
      continue;
    }
    for (const TiXmlNode* c = e->LastChild(); c; c = c->PreviousSibling()) stack.push_back(c);
  }
}

std::string TextOf(const TiXmlElement* e) {
  const char* t = e->GetText();
  return t ? plugin::NormalizeUtf8(t, strlen(t)) : std::string();
}

// All the text of the "t" elements under an element, phonetic runs left out.
std::string RunsText(const TiXmlElement* e) {
  std::vector<const TiXmlElement*> ts;
  CollectElementsByName(e, "t", &ts);
  std::string s;
  for (const TiXmlElement* t : ts) {
    const TiXmlNode* up = t->Parent();
    if (up && up->Value() && strcmp(up->Value(), "rPh") == 0) continue;
    s += TextOf(t);
  }
  return s;
}

// Pieces written one after the other, with a line feed once a line has
// grown past 50 bytes.
class CLineWriter {
 public:
  CLineWriter(plugin::CTextOut& out, const char* separator) : m_out(out), m_sep(separator) {}
  // False when the piece (and its separator) did not fit: the text ends.
  bool Add(const std::string& piece, bool cutFirst) {
    const std::string s = piece + m_sep;
    if (!m_out.Append(s)) {
      if (cutFirst && m_pieces == 0) m_out.AppendCut(s);
      return false;
    }
    ++m_pieces;
    m_line += s.size();
    if (m_line > kLineLength) {
      if (!m_out.Append("\n")) return false;
      m_line = 0;
    }
    return true;
  }

 private:
  plugin::CTextOut& m_out;
  const char* m_sep;
  size_t m_line = 0;
  int m_pieces = 0;
};

int DocumentText(const unsigned char* image, uint64_t size, plugin::CTextOut& out) {
  CMemoryZip zip(image, size);
  EntryInfo entry;
  std::string xml;
  if (!zip.Find(kDocumentPart, &entry) || !zip.ReadEntry(entry, kMaxEntryBytes, &xml)) return 0;
  TiXmlDocument doc;
  if (!ParseXml(xml, &doc)) return 0;
  std::vector<const TiXmlElement*> runs;
  CollectElementsByName(&doc, "w:t", &runs);
  if (runs.empty()) return 0;
  CLineWriter lines(out, "");
  for (const TiXmlElement* t : runs)
    if (!lines.Add(TextOf(t), true)) break;
  return 1;
}

int SheetText(const unsigned char* image, uint64_t size, plugin::CTextOut& out) {
  CMemoryZip zip(image, size);
  EntryInfo sheetEntry, stringsEntry;
  bool haveSheet = false, haveStrings = false;
  zip.ForEach([&](const EntryInfo& e) {
    if (!haveSheet && e.name == kSheetPart) {
      sheetEntry = e;
      haveSheet = true;
    } else if (!haveStrings && e.name == kSharedStringsPart) {
      stringsEntry = e;
      haveStrings = true;
    }
    return !(haveSheet && haveStrings);
  });
  std::string xml;
  TiXmlDocument sheet;
  if (!haveSheet || !zip.ReadEntry(sheetEntry, kMaxEntryBytes, &xml) || !ParseXml(xml, &sheet))
    return 0;
  // One string per "si", whether plain or made of formatted runs.
  std::vector<std::string> shared;
  if (haveStrings && zip.ReadEntry(stringsEntry, kMaxEntryBytes, &xml)) {
    TiXmlDocument strings;
    if (ParseXml(xml, &strings)) {
      std::vector<const TiXmlElement*> items;
      CollectElementsByName(&strings, "si", &items);
      for (const TiXmlElement* si : items) shared.push_back(RunsText(si));
    }
  }
  std::vector<const TiXmlElement*> cells;
  CollectElementsByName(&sheet, "c", &cells);
  CLineWriter lines(out, " ");
  int values = 0;
  for (const TiXmlElement* c : cells) {
    const char* type = c->Attribute("t");
    std::string piece;
    if (type && strcmp(type, "inlineStr") == 0) {
      const TiXmlElement* is = c->FirstChildElement("is");
      if (!is) continue;
      piece = RunsText(is);
    } else {
      const TiXmlElement* v = c->FirstChildElement("v");
      if (!v || !v->GetText()) continue;
      piece = TextOf(v);
      if (type && strcmp(type, "s") == 0) {
        const unsigned long index = strtoul(piece.c_str(), nullptr, 10);
        if (index >= shared.size()) continue;
        piece = shared[index];
      }
    }
    ++values;
    if (!lines.Add(piece, false)) break;
  }
  return values > 0 ? 1 : 0;
}

// The names of the local headers, cut before their first "/", each listed
// once in a row, at most 11.
class CNameLister : public CRecordVisitor {
 public:
  explicit CNameLister(plugin::CTextOut& out) : m_out(out) {}
  bool Visit(const Record& rec) override {
    if (rec.kind != kLocal) return true;
    m_seen = true;
    if (m_listed == kMaxListedNames) return false;
    const std::string top = rec.name.substr(0, rec.name.find('/'));
    if (top == m_last) return true;
    m_last = top;
    const std::string name =
        plugin::NameToUtf8(top.data(), top.size(), (rec.flags & kFlagUtf8) != 0);
    if (!m_out.Append(name + "\n")) return false;
    ++m_listed;
    return true;
  }
  bool Seen() const { return m_seen; }

 private:
  plugin::CTextOut& m_out;
  std::string m_last;
  int m_listed = 0;
  bool m_seen = false;
};

}  // namespace

int ArchiveText(const unsigned char* image, uint64_t imageSize, plugin::CByteSource& names,
                char* text, int capacity) {
  if (text == nullptr || capacity <= 0) return 0;
  char ext[32];
  size_t n = 0;
  while (n < sizeof(ext) - 1 && n < static_cast<size_t>(capacity) && text[n] != '\0') {
    ext[n] = text[n];
    ++n;
  }
  ext[n] = '\0';
  const TextKind kind = KindOf(ext);
  if (kind == kNoText) return 0;
  plugin::CTextOut out(text, capacity);
  switch (kind) {
    case kDocumentText:
      return image ? DocumentText(image, imageSize, out) : 0;
    case kSheetText:
      return image ? SheetText(image, imageSize, out) : 0;
    default: {
      CNameLister lister(out);
      uint64_t walked = 0;
      WalkRecords(names, lister, &walked);
      return lister.Seen() ? 1 : 0;
    }
  }
}

int ArchiveThumbnail(const unsigned char* image, uint64_t imageSize, HBITMAP* bitmap, int* width,
                     int* height, bool previewMode) {
  if (image == nullptr || bitmap == nullptr) return 0;
  CMemoryZip zip(image, imageSize);
  EntryInfo thumb;
  bool haveThumb = false, word = false;
  zip.ForEach([&](const EntryInfo& e) {
    if (!haveThumb && e.size > 0 && e.name == kThumbnailPart) {
      thumb = e;
      haveThumb = true;
    } else if (e.name == kDocumentPart) {
      word = true;
    }
    return true;
  });
  std::string jpeg;
  if (word || !haveThumb || !zip.ReadEntry(thumb, kMaxEntryBytes, &jpeg)) return 0;
  return plugin::MakeThumbnail(jpeg.data(), static_cast<int64_t>(jpeg.size()), bitmap, width,
                               height, previewMode);
}

}  // namespace zipfmt
