// PDF documents and Illustrator files: carved to the end of their last
// revision, shown by the picture they embed (a Base64 JPEG in the XMP
// metadata, or an Illustrator hex thumbnail).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "plugins/common/FindBytes.h"
#include "plugins/common/PluginExports.h"
#include "plugins/common/ReaderCursor.h"
#include "plugins/common/ReaderView.h"
#include "plugins/common/ScanNotes.h"
#include "plugins/common/ThumbnailHelpers.h"
#include "plugins/pdf/PdfThumbnail.h"

DELVARO_PLUGIN_DATA(IsFileSigSimple, 1);
DELVARO_PLUGIN_DATA(CanGetFileLenImmediately, 0);
DELVARO_PLUGIN_DATA(HasThumbnail, 0);
DELVARO_PLUGIN_DATA(HasThumbnailBitmap, 1);

namespace {

const char kFormatName[] = "FILE_TYPE_PDF";
const unsigned char kSignature[] = {0x25, 0x50, 0x44, 0x46};
const uint64_t kMinLength = 4097;
const uint64_t kMaxScan = 0x3FFFFFFF;  // bytes the end search reads at most
const size_t kVersionChars = 16;
// Bytes the end test looks at around a "%EOF": back to "startxref", ahead
// over the line break and into what follows.
const uint64_t kLookBack = 64;
const uint64_t kLookAhead = 256;
const char kIllustrator[] = "</Illustrator ";

bool IsSpace(unsigned char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f'; }
bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }

const unsigned char* Find(const unsigned char* p, uint64_t n, const char* what, size_t w) {
  return plugin::FindBytes(p, n, what, w);
}

// At p (n bytes) the document goes on: after white space and comment lines
// (an updating tool may mark its update with one), another revision begins
// (a cross-reference table or an object header "12 0 obj"), or the end of the
// stream or object that held this "%%EOF" (a document kept unpacked inside
// another). A new "%PDF-" header is another document.
bool RevisionFollows(const unsigned char* p, uint64_t n) {
  uint64_t i = 0;
  for (;;) {
    while (i < n && IsSpace(p[i])) ++i;
    if (i >= n || p[i] != '%') break;
    if (n - i >= 5 && memcmp(p + i, "%PDF-", 5) == 0) return false;
    while (i < n && p[i] != '\r' && p[i] != '\n') ++i;
  }
  for (const char* word : {"xref", "endstream", "endobj"}) {
    const size_t w = strlen(word);
    if (n - i >= w && memcmp(p + i, word, w) == 0) return true;
  }
  for (int part = 0; part < 2; ++part) {
    const uint64_t digits = i;
    while (i < n && IsDigit(p[i])) ++i;
    if (i == digits || i >= n || !IsSpace(p[i])) return false;
    while (i < n && IsSpace(p[i])) ++i;
  }
  return n - i >= 3 && memcmp(p + i, "obj", 3) == 0;
}

// The bytes of a document's last line after "%EOF" (at e, n bytes from there):
// the line break, or, when only white space stands between it and zeros (or
// the source's end), all of that white space.
uint64_t EndOfLineBytes(const unsigned char* e, uint64_t n, bool sourceEndsInView) {
  uint64_t run = 0;
  while (run < n && run < kLookBack && IsSpace(e[run])) ++run;
  if ((run < n && e[run] == 0) || (run == n && sourceEndsInView)) return run;
  if (n >= 2 && e[0] == '\r' && e[1] == '\n') return 2;
  if (n >= 1 && (e[0] == '\r' || e[0] == '\n')) return 1;
  return 0;
}

// Scans the document for the end of its last revision, from `from` bytes
// behind its first byte. Returns the length, or 0 when no end was found
// within the scan limit.
//
// An end is a "%EOF" that closes a revision (the trailer's "startxref" just
// before it, or a zero byte right behind it) and that no further revision
// follows: an incremental update writes its objects or its cross-reference
// table right after the previous "%%EOF".
// The Illustrator marker in the page's piece dictionary, looked for from
// the candidate's first byte up to half of the program's default window (less
// the marker's own bytes), over the views a walk passes through in order.
struct CMarkerScan {
  uint64_t bound = CReaderCursor::DefaultWindow() / 2;
  uint64_t next = 0;          // first start offset not yet looked at
  uint64_t at = UINT64_MAX;   // where the marker was found
  void Look(const unsigned char* v, uint64_t viewStart, uint64_t n) {
    const size_t w = sizeof(kIllustrator) - 1;
    if (at != UINT64_MAX || next >= bound) return;
    uint64_t hi = viewStart + n;
    if (hi > bound) hi = bound;
    const uint64_t lo = next > viewStart ? next : viewStart;
    if (hi <= lo || hi - lo < w) return;
    const unsigned char* q = Find(v + (lo - viewStart), hi - lo, kIllustrator, w);
    if (q != nullptr) at = viewStart + static_cast<uint64_t>(q - v);
    next = hi - w + 1;
  }
  // Looks at every offset below limit that the walk has not passed.
  void Finish(CReaderView& view, uint64_t limit) {
    if (limit > bound) limit = bound;
    while (at == UINT64_MAX && next < limit) {
      const uint64_t start = next;
      uint64_t n = 0;
      const unsigned char* v = view.Stream(start, limit - start, &n);
      if (v == nullptr || n == 0) return;
      Look(v, start, n);
      if (next <= start) return;
    }
  }
  bool Within(uint64_t length) const {
    return at != UINT64_MAX && at + sizeof(kIllustrator) - 1 <= length;
  }
};

// What the end searches of one deep scan have examined: no place of the
// device stretch [from, to) ends a document, and, when end is not 0, the
// place `to` does and the document ends at `end`. A place is judged the same
// for every candidate that lies at least the look back before it, and one
// that is not an end with the whole look back is no end with less of it, so
// a later candidate inside the stretch goes on from its end, and the
// thousands of false headers of one stretch read it once between them.
// The Illustrator markers of the stretch are kept too (device offsets).
// Markers are known whole below markersTo once more came than are kept;
// those before the candidate at hand are let go, and what lies beyond
// markersTo is looked at once and known from then on.
struct CPdfNotes {
  uint64_t from = 0, to = 0, end = 0;
  std::vector<uint64_t> markers;
  bool markersWhole = true;  // false once more markers came than are kept
  uint64_t markersTo = 0;    // with markersWhole false: every marker below it is kept
  void Clear() { *this = CPdfNotes(); }
};
const size_t kMaxMarkers = 4096;
const uint64_t kMarkerLookAhead = 4ull << 20;

plugin::CScanNotes<CPdfNotes> g_notes;

uint64_t FindEnd(CReaderView& view, uint64_t from, CMarkerScan* marker, CPdfNotes* notes) {
  const uint64_t left = view.SourceLeft();
  const uint64_t base = view.Start();
  uint64_t next = from;  // first offset not yet examined
  const uint64_t stop = from + kMaxScan;
  if (notes != nullptr) {
    if (notes->to > notes->from && base + next >= notes->from && base + next <= notes->to) {
      const uint64_t known = notes->to - base;
      if (known >= stop) return 0;
      if (notes->end != 0 && known >= kLookBack) return notes->end - base;
      if (notes->end == 0) next = known;
    } else {
      notes->Clear();
      notes->from = notes->to = base + next;
    }
  }
  // Notes the places examined up to `upTo` (and the end found there).
  auto note = [&](uint64_t upTo, uint64_t endAt) {
    if (notes == nullptr || base + upTo < notes->to) return;
    notes->to = base + upTo;
    notes->end = endAt ? base + endAt : 0;
  };
  // Notes the markers that begin at the places [lo, hi) of a view of n bytes.
  auto noteMarkers = [&](const unsigned char* v, uint64_t n, uint64_t viewStart, uint64_t lo, uint64_t hi) {
    const size_t w = sizeof(kIllustrator) - 1;
    const uint64_t span = hi + w - 1 < n ? hi + w - 1 : n;
    while (notes != nullptr && notes->markersWhole && lo < hi && span - lo >= w) {
      const unsigned char* q = Find(v + lo, span - lo, kIllustrator, w);
      if (q == nullptr || static_cast<uint64_t>(q - v) >= hi) break;
      if (notes->markers.size() >= kMaxMarkers) {
        notes->markersWhole = false;
        notes->markersTo = base + viewStart + static_cast<uint64_t>(q - v);
        break;
      }
      lo = static_cast<uint64_t>(q - v);
      notes->markers.push_back(base + viewStart + lo);
      ++lo;
    }
  };
  while (next < stop && next < left) {
    // Each view begins a little before the first offset it examines, so that
    // the look back of every candidate lies inside it.
    const uint64_t viewStart = next - (next < kLookBack ? next : kLookBack);
    // Each byte is read from the device about once, however long the walk.
    uint64_t n = 0;
    const unsigned char* v = view.Stream(viewStart, left - viewStart, &n);
    if (v == nullptr || n <= next - viewStart) return 0;
    if (marker != nullptr) marker->Look(v, viewStart, n);
    const bool sourceEndsInView = viewStart + n >= left;
    // Offsets whose look ahead is not in the view are left for the next one.
    uint64_t examineEnd = sourceEndsInView ? n : (n > kLookAhead ? n - kLookAhead : 0);
    if (viewStart + examineEnd > stop) examineEnd = stop - viewStart;
    // Nothing new to examine: the source ends here, or the window is smaller
    // than the look ahead.
    if (examineEnd <= next - viewStart) {
      if (sourceEndsInView) note(left, 0);
      return 0;
    }
    for (uint64_t k = next - viewStart; k < examineEnd; ++k) {
      const unsigned char* q = static_cast<const unsigned char*>(memchr(v + k, '%', static_cast<size_t>(examineEnd - k)));
      if (q == nullptr) break;
      k = static_cast<uint64_t>(q - v);
      if (n - k < 4 || memcmp(q, "%EOF", 4) != 0) continue;
      const unsigned char* after = q + 4;
      const uint64_t ahead = n - k - 4;
      if (RevisionFollows(after, ahead < kLookAhead ? ahead : kLookAhead)) continue;
      bool zeroBehind = false;
      for (uint64_t z = 0; z < 3 && z < ahead; ++z) zeroBehind = zeroBehind || after[z] == 0;
      const uint64_t back = k < kLookBack ? k : kLookBack;
      const bool trailer = Find(q - back, back, "startxref", 9) != nullptr;
      if (!zeroBehind && !trailer) continue;
      const uint64_t end =
          viewStart + k + 4 + EndOfLineBytes(after, ahead < kLookAhead ? ahead : kLookAhead, sourceEndsInView);
      noteMarkers(v, n, viewStart, next - viewStart, k);
      note(viewStart + k, end);
      return end;
    }
    noteMarkers(v, n, viewStart, next - viewStart, examineEnd);
    next = viewStart + examineEnd;
    note(next, 0);
  }
  return 0;
}

// The length a linearisation dictionary states (the "/L" entry), or 0.
uint64_t LinearizedLength(const unsigned char* b, uint64_t n) {
  const uint64_t head = n < 512 ? n : 512;
  const unsigned char* lin = Find(b, head < 513 ? head : 513, "Linearized", 10);
  if (lin == nullptr || lin - b > 502) return 0;
  for (uint64_t p = static_cast<uint64_t>(lin - b) + 10; p < head; ++p) {
    if (b[p] == '>') return 0;
    if (b[p] != '/' || p + 1 >= head || b[p + 1] != 'L') continue;
    p += 2;
    while (p < head && (b[p] == '\t' || b[p] == '\n' || b[p] == '\r' || b[p] == ' ')) ++p;
    uint64_t value = 0;
    while (p < head && IsDigit(b[p]) && value < (1ull << 40)) value = value * 10 + (b[p++] - '0');
    return value;
  }
  return 0;
}

// The document's length from its first byte at the reader's cursor, or 0;
// *illustrator tells whether the Illustrator marker lies within it (within
// the bytes looked at when no length was found).
uint64_t DocumentLength(CDiskMappingPointer* reader, bool* illustrator) {
  // Taken at the candidate's first byte, before anything moves the reader.
  plugin::CNotesHeld<CPdfNotes> held(g_notes, reader);
  CPdfNotes* notes = held.Get();
  CReaderView view(reader);
  CMarkerScan marker;
  uint64_t length = 0;
  uint64_t got = 0;
  const unsigned char* head = view.Span(0, 512, &got);
  const uint64_t linear = head ? LinearizedLength(head, got) : 0;
  if (linear > 0) {
    // The stated length holds when the first revision ends there. An update
    // appended later makes the file longer: its end is searched from there.
    unsigned char tail[32];
    const uint64_t back = linear < sizeof(tail) ? linear : sizeof(tail);
    if (view.Copy(linear - back, tail, back) && Find(tail, back, "%EOF", 4) != nullptr) {
      unsigned char after[kLookAhead];
      uint64_t ahead = view.SourceLeft() > linear ? view.SourceLeft() - linear : 0;
      if (ahead > sizeof(after)) ahead = sizeof(after);
      if (ahead == 0 || !view.Copy(linear, after, ahead) || !RevisionFollows(after, ahead)) {
        length = linear;
      } else {
        const uint64_t end = FindEnd(view, linear, nullptr, notes);
        length = end ? end : linear;
      }
    }
  }
  if (length == 0) {
    length = FindEnd(view, 0, &marker, notes);
    // The notes hold the markers from the candidate on: what they know is not
    // read again.
    if (notes != nullptr && notes->from <= view.Start()) {
      const uint64_t start = view.Start();
      const uint64_t w = sizeof(kIllustrator) - 1;
      uint64_t within = length ? length : notes->to - start;
      if (within > marker.bound) within = marker.bound;
      // Later candidates lie further on: the markers before this one go.
      std::vector<uint64_t>& kept = notes->markers;
      kept.erase(kept.begin(), std::lower_bound(kept.begin(), kept.end(), start));
      *illustrator = !kept.empty() && kept.front() - start + w <= within;
      // Whole notes know every marker that can lie within the document.
      if (*illustrator || notes->markersWhole || start + within < notes->markersTo + w) return length;
      // Past what the notes know (none of the kept markers is there): looked
      // at from there, once, up to the first marker.
      const uint64_t known = notes->markersTo;
      if (known > start && marker.next < known - start) marker.next = known - start;
      // Each such look costs a move of the reader: it goes a good way on for
      // the candidates behind this one.
      const uint64_t ahead = marker.next + kMarkerLookAhead;
      marker.bound = ahead > within ? ahead : within;
      marker.Finish(view, marker.bound);
      *illustrator = marker.Within(within);
      if (marker.at != UINT64_MAX && start + marker.at >= known) {
        kept.push_back(start + marker.at);
        notes->markersTo = start + marker.at + 1;
      } else if (marker.at == UINT64_MAX && start + marker.next > known) {
        notes->markersTo = start + marker.next;
      }
      return length;
    }
  }
  // What the end search did not pass over (a stated length) is looked at for
  // the marker up to the document's end; without a length, what the search
  // looked at stands.
  if (length > 0) {
    marker.Finish(view, length);
    *illustrator = marker.Within(length);
  } else {
    *illustrator = marker.at != UINT64_MAX;
  }
  return length;
}

}  // namespace

DELVARO_PLUGIN_SIGNATURE_ENTRIES(kFormatName, kSignature)

DELVARO_PLUGIN_EXPORT int64_t DELVARO_CDECL GetFileSizeAtOnce(const unsigned char*) { return 0; }

DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetRawFileInfo(CDiskMappingPointer* reader,
                                                       RawFileInfo* info) {
  DELVARO_PLUGIN_GUARD_BEGIN
  if (reader == nullptr || info == nullptr) return 0;
  CReaderCursor cur(reader);
  if (!cur.IsUsable()) return 0;
  const unsigned char* b = cur.Data();
  const uint64_t loaded = cur.Loaded();
  if (loaded < 7 || b[6] < 0x20 || b[6] > 0x7E) return 0;

  // "version:" and the header's version text, read in place (the reader's
  // buffer is the program's: nothing is written into it).
  std::string name = "version:";
  for (uint64_t p = 5; p < loaded && name.size() < 8 + kVersionChars; ++p) {
    if (b[p] == '\r' || b[p] == '%' || b[p] == '\n' || b[p] < 0x20 || b[p] > 0x7E) break;
    name.push_back(static_cast<char>(b[p]));
  }
  memset(info->name, 0, sizeof(info->name));
  memcpy(info->name, name.data(), name.size());
  info->flags |= RAWINFO_HAS_NAME;

  // Illustrator files carry their own marker in the page's piece dictionary;
  // it is looked for within the document's own bytes only.
  bool illustrator = false;
  const uint64_t length = DocumentLength(reader, &illustrator);
  plugin::SetRawFormat(info, illustrator ? "ai" : "pdf");
  if (length >= kMinLength) {
    plugin::SetRawLength(info, length);
    plugin::SetRawValid(info);
  }
  return 1;
  DELVARO_PLUGIN_GUARD_END
}

// The picture entries; no text entries.
DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetThumbnailBitmap(CDiskMappingPointer* reader, int64_t size,
                                                           HBITMAP* bitmap, int* width, int* height) {
  DELVARO_PLUGIN_GUARD_BEGIN
  return plugin::ThumbnailFromReader(reader, size, pdf::ExtractThumbnail, bitmap, width, height);
  DELVARO_PLUGIN_GUARD_END
}

DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetPreviewBitmap(const void* data, int64_t size, HBITMAP* bitmap,
                                                         int* width, int* height) {
  DELVARO_PLUGIN_GUARD_BEGIN
  return plugin::PreviewFromMemory(data, size, pdf::ExtractThumbnail, bitmap, width, height);
  DELVARO_PLUGIN_GUARD_END
}
