#include "plugins/zip/ZipRecords.h"

#include <cstring>

#include "plugins/common/ByteOrder.h"

namespace zipfmt {

namespace {

using plugin::Le16;
using plugin::Le32;
using plugin::Le64;


const uint64_t kLocalFixed = 30, kCentralFixed = 46, kEndFixed = 22, kZip64EndFixed = 56,
               kLocatorSize = 20;
// Sanity bound on the extensible data of a ZIP64 end record.
const uint64_t kMaxZip64EndData = 1u << 20;

enum Parse { kParsed, kNoRecord, kCut, kLost };

bool IsHeaderSig(uint32_t sig) { return sig == kLocalSig || sig == kCentralSig || sig == kEndSig; }

// The 64-bit compressed size of a ZIP64 extra field (id 1), whose values
// come in the order uncompressed, compressed, each only when the 32-bit
// field of the header is all ones.
bool Zip64CompressedSize(const std::string& extra, bool usizeMissing, uint64_t* csize) {
  const unsigned char* e = reinterpret_cast<const unsigned char*>(extra.data());
  size_t i = 0;
  while (extra.size() - i >= 4) {
    const uint16_t id = Le16(e + i), len = Le16(e + i + 2);
    if (len > extra.size() - i - 4) return false;
    if (id == 1) {
      const size_t at = usizeMissing ? 8 : 0;
      if (len < at + 8) return false;
      *csize = Le64(e + i + 4 + at);
      return true;
    }
    i += 4 + len;
  }
  return false;
}

// The bytes a place is judged by: up to 20 before it (a descriptor without
// its signature, ZIP64 form) and the 24-byte ZIP64 descriptor with the next
// record's signature behind it.
const uint64_t kBehind = 20, kAhead = 28;

bool IsNextRecordSig(uint32_t sig) { return IsHeaderSig(sig) || sig == kZip64EndSig; }

// The entries a place at p (device offset q, n bytes from p on, back bytes
// before it, the source ending at sourceEnd) closes: for each descriptor
// form it could be, the data start that form implies and where the entry
// then ends. A descriptor with its signature (16 bytes, 24 for ZIP64)
// states the data's compressed size and is followed by the next record;
// one without it lies just before the next record's signature.
template <typename Fn>
void PlacesClosing(const unsigned char* p, uint64_t n, uint64_t back, uint64_t q, bool sourceEndsAt,
                   uint64_t sourceEnd, Fn&& closes) {
  if (n < 4 || p[0] != 'P' || p[1] != 'K') return;
  const uint32_t sig = Le32(p);
  if (sig == kDescriptorSig) {
    for (const uint64_t form : {uint64_t(16), uint64_t(24)}) {
      if (n < form) continue;
      const bool followed = (sourceEndsAt && q + form == sourceEnd) ||
                            (n >= form + 4 && IsNextRecordSig(Le32(p + form)));
      if (!followed) continue;
      const uint64_t size = form == 16 ? Le32(p + 8) : Le64(p + 8);
      if (size <= q) closes(q - size, q + form);
    }
  } else if (IsNextRecordSig(sig)) {
    if (back >= 12) {
      const uint64_t size = Le32(p - 8);
      if (size <= q - 12) closes(q - 12 - size, q);
    }
    if (back >= 20) {
      const uint64_t size = Le64(p - 16);
      if (size <= q - 20) closes(q - 20 - size, q);
    }
  }
}

// Where a streamed entry's data and descriptor end, searching from the
// data's start s to the end of the source, every byte read once. With a
// memo the search goes on from where earlier searches stopped, leaves what
// it saw for the next, and stops where the memo bounds it (the entry is then
// lost: kLost).
Parse FindDescriptorEnd(plugin::CByteSource& src, uint64_t s, uint64_t* end, CDescriptorMemo* memo,
                        uint64_t deviceBase) {
  const uint64_t size = src.Size();
  const uint64_t dataStart = deviceBase + s;
  uint64_t next = s;  // first place not yet judged
  bool noting = memo != nullptr;
  if (memo != nullptr) {
    if (dataStart >= memo->From() && dataStart < memo->To()) {
      const uint64_t e = memo->EndFor(dataStart);
      if (e != 0) {
        *end = e - deviceBase;
        return kParsed;
      }
      next = memo->To() - deviceBase;
    } else {
      memo->Restart(dataStart);
    }
  }
  const uint64_t first = next;
  uint64_t limit = size;  // places from here on are not judged
  if (memo != nullptr) {
    const uint64_t bound = memo->SearchBound(deviceBase, deviceBase + next);
    if (bound - deviceBase < limit) limit = bound > deviceBase + next ? bound - deviceBase : next;
  }
  uint64_t found = 0;
  while (next < limit && found == 0) {
    const uint64_t viewStart = next - (next < kBehind ? next : kBehind);
    const unsigned char* p = nullptr;
    const uint64_t n = src.ViewInOrder(viewStart, &p);
    if (n == 0) break;
    const bool last = n >= size - viewStart;
    // Places whose look ahead is not in this view are judged in the next.
    uint64_t judgeEnd = last ? n : (n > kAhead ? n - kAhead : 0);
    if (judgeEnd <= next - viewStart) break;
    if (judgeEnd > limit - viewStart) judgeEnd = limit - viewStart;
    for (uint64_t i = next - viewStart; i < judgeEnd; ++i) {
      const void* hit = memchr(p + i, 'P', static_cast<size_t>(judgeEnd - i));
      if (hit == nullptr) break;
      i = static_cast<const unsigned char*>(hit) - p;
      const uint64_t q = deviceBase + viewStart + i;
      PlacesClosing(p + i, n - i, i, q, last, deviceBase + size, [&](uint64_t start, uint64_t e) {
        if (start == dataStart && found == 0) found = e;
        if (noting && start >= memo->From()) noting = memo->Note(start, e);
      });
      if (found != 0) {
        if (noting) memo->Extend(q + 1);
        next = q + 1 - deviceBase;
        break;
      }
    }
    if (found != 0) break;
    next = viewStart + judgeEnd;
    if (noting) noting = memo->Extend(deviceBase + next);
  }
  if (memo != nullptr) memo->Searched(deviceBase + first, deviceBase + next);
  if (found != 0) {
    *end = found - deviceBase;
    return kParsed;
  }
  return next >= limit && limit < size ? kLost : kCut;
}

Parse ParseLocal(plugin::CByteSource& src, uint64_t pos, Record* rec, CDescriptorMemo* memo,
                 uint64_t deviceBase) {
  unsigned char h[kLocalFixed];
  if (!src.Read(pos, h, sizeof(h))) return kCut;
  rec->flags = Le16(h + 6);
  const uint32_t csize32 = Le32(h + 18), usize32 = Le32(h + 22);
  const uint64_t n = Le16(h + 26), e = Le16(h + 28);
  rec->name.assign(static_cast<size_t>(n), '\0');
  std::string extra(static_cast<size_t>(e), '\0');
  if ((n && !src.Read(pos + kLocalFixed, &rec->name[0], rec->name.size())) ||
      (e && !src.Read(pos + kLocalFixed + n, &extra[0], extra.size())))
    return kCut;
  uint64_t csize = csize32;
  bool zip64 = false;
  if (csize32 == 0xFFFFFFFFu || usize32 == 0xFFFFFFFFu) {
    uint64_t c64 = 0;
    if (Zip64CompressedSize(extra, usize32 == 0xFFFFFFFFu, &c64) || csize32 != 0xFFFFFFFFu) {
      if (csize32 == 0xFFFFFFFFu) csize = c64;
      zip64 = true;
    }
  }
  const uint64_t dataStart = pos + kLocalFixed + n + e;
  uint64_t end = 0;
  if ((rec->flags & kFlagDescriptor) && csize == 0) {
    // Only a header as archivers write it is worth a search through the
    // data that follows it.
    if (!IsWellFormedLocal(h, rec->name)) return kNoRecord;
    const Parse found = FindDescriptorEnd(src, dataStart, &end, memo, deviceBase);
    if (found != kParsed) return found;
  } else {
    if (csize > src.Size() || dataStart > src.Size() - csize) return kCut;
    end = dataStart + csize;
    if (rec->flags & kFlagDescriptor) {
      // Sizes in the header and a descriptor behind the data as well.
      unsigned char d[24];
      const uint64_t left = src.Size() - end;
      if (left >= 16 && src.Read(end, d, 16) && Le32(d) == kDescriptorSig) {
        if (zip64 && left >= 24 && src.Read(end, d, 24) && Le64(d + 8) == csize)
          end += 24;
        else if (Le32(d + 8) == csize)
          end += 16;
      } else if (left >= 16 && src.Read(end, d, 16) && Le32(d + 4) == csize &&
                 IsHeaderSig(Le32(d + 12))) {
        end += 12;
      }
    }
  }
  rec->kind = kLocal;
  rec->span = end - pos;
  return kParsed;
}

Parse ParseRecord(plugin::CByteSource& src, uint64_t pos, uint32_t sig, Record* rec,
                  CDescriptorMemo* memo, uint64_t deviceBase) {
  rec->offset = pos;
  rec->flags = 0;
  rec->name.clear();
  unsigned char h[kZip64EndFixed];
  switch (sig) {
    case kLocalSig:
      return ParseLocal(src, pos, rec, memo, deviceBase);
    case kCentralSig: {
      if (!src.Read(pos, h, kCentralFixed)) return kCut;
      rec->kind = kCentral;
      rec->flags = Le16(h + 8);
      const uint64_t n = Le16(h + 28);
      rec->span = kCentralFixed + n + Le16(h + 30) + Le16(h + 32);
      rec->name.assign(static_cast<size_t>(n), '\0');
      if (n && !src.Read(pos + kCentralFixed, &rec->name[0], rec->name.size())) return kCut;
      break;
    }
    case kEndSig:
      if (!src.Read(pos, h, kEndFixed)) return kCut;
      rec->kind = kEnd;
      rec->span = kEndFixed + Le16(h + 20);
      break;
    case kZip64EndSig: {
      if (!src.Read(pos, h, kZip64EndFixed)) return kCut;
      const uint64_t rest = Le64(h + 4);
      if (rest < kZip64EndFixed - 12 || rest > kMaxZip64EndData) return kNoRecord;
      rec->kind = kZip64End;
      rec->span = 12 + rest;
      break;
    }
    case kZip64LocatorSig:
      rec->kind = kZip64Locator;
      rec->span = kLocatorSize;
      break;
    default:
      return kNoRecord;
  }
  const uint64_t size = src.Size();
  return pos <= size && rec->span <= size - pos ? kParsed : kCut;
}

}  // namespace

bool IsWellFormedLocal(const unsigned char* h, const std::string& name) {
  // Version needed: 1.0 to 6.3 in use, the upper byte naming a known system.
  if (h[4] > 63 || h[5] > 19) return false;
  const uint16_t method = Le16(h + 8);
  const bool knownMethod = method <= 20 || (method >= 93 && method <= 99);
  if (!knownMethod) return false;
  if (name.empty()) return false;
  for (const char c : name)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
  // DOS time and date, or both left at zero.
  const uint16_t time = Le16(h + 10), date = Le16(h + 12);
  if (time == 0 && date == 0) return true;
  const unsigned month = (date >> 5) & 15, day = date & 31;
  const unsigned hour = time >> 11, minute = (time >> 5) & 63, halfSeconds = time & 31;
  return month >= 1 && month <= 12 && day >= 1 && hour < 24 && minute < 60 && halfSeconds < 30;
}

WalkStop WalkRecords(plugin::CByteSource& source, CRecordVisitor& visitor, uint64_t* walked,
                     CDescriptorMemo* memo, uint64_t deviceBase) {
  uint64_t pos = 0;
  *walked = 0;
  Record rec;
  for (;;) {
    unsigned char sig[4];
    if (!source.Read(pos, sig, 4)) return kStopSource;
    switch (ParseRecord(source, pos, Le32(sig), &rec, memo, deviceBase)) {
      case kParsed:
        break;
      case kNoRecord:
        return kStopForeign;
      case kCut:
        return kStopSource;
      case kLost:
        return kStopError;
    }
    // Every record has a fixed part, so the walk always moves on.
    *walked += rec.span;
    pos += rec.span;
    if (!visitor.Visit(rec)) return kStopCaller;
    if (rec.kind == kEnd) return kStopEnd;
  }
}

}  // namespace zipfmt
