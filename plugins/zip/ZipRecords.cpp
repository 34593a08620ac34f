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

// Where a streamed entry's data and descriptor end, searching from the
// data's start s. The descriptor is taken only where it states the very
// distance it lies at: with its signature (16 bytes, 24 for ZIP64), or
// without it right before the next header.
Parse FindDescriptorEnd(plugin::CByteSource& src, uint64_t s, uint64_t* end) {
  const uint64_t size = src.Size();
  const uint64_t limit = size - s > kMaxStreamedData + 24 ? s + kMaxStreamedData + 24 : size;
  uint64_t off = s;
  while (off < limit) {
    const unsigned char* p = nullptr;
    uint64_t n = src.ViewInOrder(off, &p);
    if (n == 0) return kCut;
    if (n > limit - off) n = limit - off;
    // Look at every start whose 24 bytes are in this piece; the last piece
    // of the source is looked at to its end.
    uint64_t starts = 0;
    auto measure = [&]() { starts = off + n >= limit ? n : (n > 24 ? n - 24 : 1); };
    measure();
    uint64_t i = 0;
    while (i < starts) {
      const void* hit = memchr(p + i, 'P', static_cast<size_t>(starts - i));
      if (hit == nullptr) break;
      i = static_cast<const unsigned char*>(hit) - p;
      const uint64_t q = off + i, avail = n - i, dist = q - s;
      if (avail >= 4 && p[i + 1] == 'K') {
        const uint32_t sig = Le32(p + i);
        if (sig == kDescriptorSig) {
          if (avail >= 16 && Le32(p + i + 8) == dist) {
            *end = q + 16;
            return kParsed;
          }
          if (avail >= 24 && Le64(p + i + 8) == dist) {
            *end = q + 24;
            return kParsed;
          }
        } else if (IsHeaderSig(sig) && dist >= 12) {
          unsigned char d[16];
          if (dist >= 20 && src.Read(q - 16, d, 16) && Le64(d) == dist - 20) {
            *end = q;
            return kParsed;
          }
          if (src.Read(q - 8, d, 4) && Le32(d) == dist - 12) {
            *end = q;
            return kParsed;
          }
          // The reads above may have moved the reader: look again from here.
          n = src.ViewInOrder(off, &p);
          if (n == 0) return kCut;
          if (n > limit - off) n = limit - off;
          measure();
          if (i >= n) break;
        }
      }
      ++i;
    }
    off += starts;
  }
  return limit == size ? kCut : kLost;
}

Parse ParseLocal(plugin::CByteSource& src, uint64_t pos, Record* rec) {
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
    const Parse found = FindDescriptorEnd(src, dataStart, &end);
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

Parse ParseRecord(plugin::CByteSource& src, uint64_t pos, uint32_t sig, Record* rec) {
  rec->offset = pos;
  rec->flags = 0;
  rec->name.clear();
  unsigned char h[kZip64EndFixed];
  switch (sig) {
    case kLocalSig:
      return ParseLocal(src, pos, rec);
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

WalkStop WalkRecords(plugin::CByteSource& source, CRecordVisitor& visitor, uint64_t* walked) {
  uint64_t pos = 0;
  *walked = 0;
  Record rec;
  for (;;) {
    unsigned char sig[4];
    if (!source.Read(pos, sig, 4)) return kStopSource;
    switch (ParseRecord(source, pos, Le32(sig), &rec)) {
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
