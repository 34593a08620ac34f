// The record walk of a ZIP archive from its first local header to the end
// of its central directory, over any byte source. Every span is computed in
// 64 bits from the record's own fields, every record must lie whole inside
// the source, and every step moves forward, so the walk always ends.
//
// Entries written by streaming archivers (general-purpose flag 3) carry
// their sizes in a data descriptor behind the data instead of in the local
// header: the data is then measured by finding that descriptor, which must
// state the very distance it was found at and be followed by the next
// record. The search runs once over the data, as far as the source goes; it
// is only made for a local header that is well formed throughout. ZIP64
// sizes, the ZIP64 end record and its locator are followed as well.
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

enum RecordKind { kLocal, kCentral, kEnd, kZip64End, kZip64Locator };

struct Record {
  RecordKind kind;
  uint64_t offset;   // of the record's signature, from the archive's start
  uint64_t span;     // the record's bytes, data and descriptor included
  uint16_t flags;    // general-purpose flags (local and central headers)
  std::string name;  // the stored name bytes (local and central headers)
};

// What the descriptor searches over one device have seen, so that streamed
// entries whose searches overlap (false candidates inside the data of
// another entry, or one behind the other) each read the device only where
// no search has been before. Offsets are the device's.
class CDescriptorMemo {
 public:
  virtual ~CDescriptorMemo() {}
  // The stretch [from, to) that the notes cover (to == from when none).
  virtual uint64_t From() const = 0;
  virtual uint64_t To() const = 0;
  // The end of the first place in [from, to) that closes an entry whose data
  // starts at start, or 0 when there is none.
  virtual uint64_t EndFor(uint64_t start) const = 0;
  // Starts the notes anew at from.
  virtual void Restart(uint64_t from) = 0;
  // Notes that a place ending at end closes an entry whose data starts at
  // start (kept only when it is the first such place). False when the notes
  // are full: they then stay as they are.
  virtual bool Note(uint64_t start, uint64_t end) = 0;
  // The notes now cover [from, to). False when they cannot grow further.
  virtual bool Extend(uint64_t to) = 0;
  // How far (a device offset, exclusive) the search of the candidate at
  // `candidate` may judge places from `from` on; UINT64_MAX for no bound.
  // Stretches no search has passed over are free; passing again over what
  // searches have seen is held to a share of the device scanned so far, so
  // that no data makes the searches of a scan read it over and over.
  virtual uint64_t SearchBound(uint64_t candidate, uint64_t from) = 0;
  // A search judged the places [from, to).
  virtual void Searched(uint64_t from, uint64_t to) = 0;
};

enum WalkStop {
  kStopEnd,      // the end-of-central-directory record closed the archive
  kStopSource,   // the source ended (or the next record runs past its end)
  kStopForeign,  // bytes that are no record of the table
  kStopError,    // a streamed entry whose descriptor was not found where searched
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
// memo, when given, is shared with the walks of other candidates on the same
// device, and deviceBase is the device offset of the source's offset 0.
WalkStop WalkRecords(plugin::CByteSource& source, CRecordVisitor& visitor, uint64_t* walked,
                     CDescriptorMemo* memo = nullptr, uint64_t deviceBase = 0);

// A local header (its 30 fixed bytes and its name) as archivers write it:
// a version and method in use, a name of printable characters, a real date.
bool IsWellFormedLocal(const unsigned char* header, const std::string& name);

}  // namespace zipfmt
