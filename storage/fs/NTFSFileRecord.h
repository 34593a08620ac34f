// One MFT file record: load, update-sequence fix-up, attribute parsing.
#pragma once
#include <windows.h>
#include <cstdint>
#include "storage/fs/NTFSList.h"

class CNTFSVolume;
class CAttrBase;
class CIndexEntry;

// Attribute types.
enum : DWORD {
  ATTR_TYPE_STANDARD_INFORMATION = 0x10,
  ATTR_TYPE_ATTRIBUTE_LIST = 0x20,
  ATTR_TYPE_FILE_NAME = 0x30,
  ATTR_TYPE_OBJECT_ID = 0x40,
  ATTR_TYPE_SECURITY_DESCRIPTOR = 0x50,
  ATTR_TYPE_VOLUME_NAME = 0x60,
  ATTR_TYPE_VOLUME_INFORMATION = 0x70,
  ATTR_TYPE_DATA = 0x80,
  ATTR_TYPE_INDEX_ROOT = 0x90,
  ATTR_TYPE_INDEX_ALLOCATION = 0xA0,
  ATTR_TYPE_BITMAP = 0xB0,
  ATTR_TYPE_REPARSE_POINT = 0xC0,
  ATTR_TYPE_EA_INFORMATION = 0xD0,
  ATTR_TYPE_EA = 0xE0,
  ATTR_TYPE_LOGGED_UTILITY_STREAM = 0x100,
  ATTR_TYPE_END = 0xFFFFFFFF,
};

// A file reference is a 48-bit record number and a 16-bit sequence number.
const ULONGLONG kNtfsRecordNumberMask = 0xFFFFFFFFFFFFull;
// Record numbers, cluster numbers and VCNs beyond 48 bits never occur.
const ULONGLONG kNtfsMax48 = 1ull << 48;
inline ULONGLONG NtfsRecordNumber(ULONGLONG reference) { return reference & kNtfsRecordNumberMask; }

// Mask bit of an attribute type: bit k selects type (k + 1) * 0x10.
inline DWORD NtfsAttrMask(DWORD type) { return 1u << (type / 0x10 - 1); }

#pragma pack(push, 1)
struct FILE_RECORD_HEADER {
  DWORD Magic;             // "FILE"
  WORD OffsetOfUS;
  WORD SizeOfUS;           // entries, the sequence value included
  ULONGLONG LSN;
  WORD SeqNo;
  WORD Hardlinks;
  WORD OffsetOfAttr;
  WORD Flags;              // 1 in use, 2 directory
  DWORD RealSize;
  DWORD AllocSize;
  ULONGLONG RefToBase;
  WORD NextAttrId;
  WORD Align;
  DWORD RecordNo;
};
struct ATTR_HEADER_COMMON {
  DWORD Type;
  DWORD TotalSize;
  BYTE NonResident;
  BYTE NameLength;         // UTF-16 units
  WORD NameOffset;
  WORD Flags;
  WORD Id;
};
struct ATTR_HEADER_RESIDENT {
  ATTR_HEADER_COMMON Header;
  DWORD AttrSize;
  WORD AttrOffset;
  BYTE IndexedFlag;
  BYTE Padding;
};
struct ATTR_HEADER_NON_RESIDENT {
  ATTR_HEADER_COMMON Header;
  ULONGLONG StartVCN;
  ULONGLONG LastVCN;
  WORD DataRunOffset;
  WORD CompUnitSize;
  DWORD Padding;
  ULONGLONG AllocSize;
  ULONGLONG RealSize;
  ULONGLONG IniSize;
};
struct ATTR_ATTRIBUTE_LIST {
  DWORD AttrType;
  WORD RecordSize;
  BYTE NameLength;
  BYTE NameOffset;
  ULONGLONG StartVCN;
  ULONGLONG BaseRef;
  WORD AttrId;
};
#pragma pack(pop)
static_assert(sizeof(FILE_RECORD_HEADER) == 48, "file record header");
static_assert(sizeof(ATTR_HEADER_COMMON) == 16, "attribute header");
static_assert(sizeof(ATTR_HEADER_RESIDENT) == 24, "resident header");
static_assert(sizeof(ATTR_HEADER_NON_RESIDENT) == 64, "non-resident header");
static_assert(offsetof(ATTR_HEADER_NON_RESIDENT, DataRunOffset) == 32, "runs offset");
static_assert(offsetof(ATTR_HEADER_NON_RESIDENT, RealSize) == 48, "data size");
static_assert(sizeof(ATTR_ATTRIBUTE_LIST) == 26, "attribute list entry");

class CFileRecord {
 public:
  explicit CFileRecord(CNTFSVolume* volume);
  virtual ~CFileRecord();
  CFileRecord(const CFileRecord&) = delete;
  CFileRecord& operator=(const CFileRecord&) = delete;

  // $STANDARD_INFORMATION and $ATTRIBUTE_LIST are always parsed.
  void SetAttrMask(DWORD mask) { m_dwAttrMask = mask | 3; }
  DWORD GetAttrMask() const { return m_dwAttrMask; }

  BOOL LoadRecord(ULONGLONG number);
  BOOL LoadRecordFromBuffer(DWORD numberLow, DWORD numberHigh, const void* image);
  BOOL LoadAttributes();

  const CAttrBase* FindFirstAttr(DWORD type) const;
  const CAttrBase* FindNextAttr(DWORD type) const;
  CAttrBase* FindFirstAttr(DWORD type);
  CAttrBase* FindNextAttr(DWORD type);
  CSList<CAttrBase>* GetAttrList(DWORD type);

  const CAttrBase* FindDataStream(const wchar_t* name = nullptr);

  int GetFileName(wchar_t* buffer, DWORD units) const;
  ULONGLONG GetParentRecord() const;
  void GetFileTimes(FILETIME* modified, FILETIME* created = nullptr, FILETIME* accessed = nullptr) const;
  BOOL IsDeleted() const;
  BOOL IsDirectory() const;
  BOOL IsCompressed() const;
  BOOL IsEncrypted() const;
  BOOL FindChildEntry(const wchar_t* name, CIndexEntry& entry) const;

  ULONGLONG GetRecordNumber() const { return m_u64RecordNo; }
  // Sequence number of the record header (0 without a record).
  WORD GetSequenceNumber() const;
  // Base record of an extension record (0 for a base record).
  ULONGLONG GetBaseRecord() const;
  CNTFSVolume* GetVolume() const { return m_pVolume; }
  const BYTE* GetBuffer() const { return m_pBuffer; }
  DWORD GetBufferSize() const;
  // Nesting depth of extension-record loads; bounds attribute-list chains.
  int GetNesting() const { return m_nNesting; }
  void SetNesting(int n) { m_nNesting = n; }
  // Mask as stored, without the always-parsed types (extension records).
  void SetRawAttrMask(DWORD mask) { m_dwAttrMask = mask; }
  // TRUE when the record's attribute list named extension records that could
  // not be loaded (unreadable, damaged or reused): some of the file's
  // attributes, and so some of its data, are missing.
  BOOL IsAttrListIncomplete() const { return m_bAttrListIncomplete; }
  void MarkAttrListIncomplete() { m_bAttrListIncomplete = TRUE; }

  // Update-sequence fix-up of a multi-sector structure (file record or index
  // block) in 512-byte strides. FALSE when the structure is damaged.
  static BOOL PatchUS(BYTE* buffer, DWORD size);

 private:
  void ClearAttrs();
  // The record buffer's memory, kept from load to load.
  BYTE* Storage(DWORD size);
  BOOL ParseAttr(const ATTR_HEADER_COMMON* header, DWORD room);
  void JoinExtents();

  CNTFSVolume* m_pVolume;
  BYTE* m_pBuffer = nullptr;   // the loaded record (in m_pStorage); null when none is loaded
  BYTE* m_pStorage = nullptr;
  DWORD m_dwStorageSize = 0;
  ULONGLONG m_u64RecordNo = (ULONGLONG)-1;
  DWORD m_dwAttrMask = 3;
  mutable CSList<CAttrBase> m_AttrList[16];
  int m_nNesting = 0;
  BOOL m_bAttrListIncomplete = FALSE;
};
