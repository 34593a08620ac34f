// The record walk of a ZIP archive from its first local header to the end
// of its central directory, over any byte source. Every span is computed in
// 64 bits from the record's own fields, every record must lie whole inside
// the source, and every step moves forward, so the walk always ends.
//
// Entries written by streaming archivers (general-purpose flag 3) carry
// their sizes in a data descriptor behind the data instead of in the local
// header: the data is then measured by finding that descriptor, which must
// state the very distance it was found at. ZIP64 sizes, the ZIP64 end
// record and its locator are followed as well.
#pragma once

#include <cstdint>
#include <string>

#include "plugins/common/ByteSource.h"

namespace zipfmt {

const uint32_t kLocalSig = 0x04034B50;
const uint32_t kCentralSig = 0x02014B50;
const uint32_t kEndSig = 0x06054B50;
const uint32_t kZip64EndSig = 0x06064B50;
const uint32_t kZip64LocatorSig = 0x07064B50;
const uint32_t kDescriptorSig = 0x08074B50;

// General-purpose flags.
const uint16_t kFlagEncrypted = 0x0001;
const uint16_t kFlagDescriptor = 0x0008;
const uint16_t kFlagUtf8 = 0x0800;

// Longest compressed data a streamed entry is searched through for its
// descriptor. A streamed entry whose descriptor is further away (or was
// overwritten) gives the archive no length: a false or damaged candidate
// costs at most this much reading.
const uint64_t kMaxStreamedData = 16ull << 20;

enum RecordKind { kLocal, kCentral, kEnd, kZip64End, kZip64Locator };

struct Record {
  RecordKind kind;
  uint64_t offset;   // of the record's signature, from the archive's start
  uint64_t span;     // the record's bytes, data and descriptor included
  uint16_t flags;    // general-purpose flags (local and central headers)
  std::string name;  // the stored name bytes (local and central headers)
};

enum WalkStop {
  kStopEnd,      // the end-of-central-directory record closed the archive
  kStopSource,   // the source ended (or the next record runs past its end)
  kStopForeign,  // bytes that are no record of the table
  kStopError,    // a streamed entry whose descriptor was not found
  kStopCaller,   // the visitor asked to stop
};

class CRecordVisitor {
 public:
  virtual ~CRecordVisitor() {}
  // Called for every whole record in order; false stops the walk.
  virtual bool Visit(const Record& record) = 0;
};

// Walks from offset 0 of the source. *walked receives the bytes of the
// whole records visited (the end record included when it was reached).
WalkStop WalkRecords(plugin::CByteSource& source, CRecordVisitor& visitor, uint64_t* walked);

}  // namespace zipfmt
