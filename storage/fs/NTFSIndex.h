// $FILE_NAME views, directory index entries and blocks, and the index
// attributes of an NTFS directory.
#pragma once
#include <windows.h>
#include <cstdint>
#include "storage/fs/NTFSAttr.h"

#pragma pack(push, 1)
struct ATTR_FILE_NAME {
  ULONGLONG ParentRef;     // 48-bit record number, 16-bit sequence
  ULONGLONG CreateTime;
  ULONGLONG AlterTime;
  ULONGLONG MFTTime;
  ULONGLONG ReadTime;
  ULONGLONG AllocSize;
  ULONGLONG RealSize;
  DWORD Flags;             // 0x10000000 directory
  DWORD ER;
  BYTE NameLength;         // UTF-16 units
  BYTE NameSpace;          // 2 = DOS
  WCHAR Name[1];
};
struct INDEX_ENTRY {
  ULONGLONG FileReference;
  WORD Size;
  WORD StreamSize;         // key length
  BYTE Flags;              // 1 sub-node, 2 last
  BYTE Padding[3];
  BYTE Stream[1];
};
struct INDEX_HEADER {
  DWORD EntryOffset;       // relative to this header
  DWORD TotalEntrySize;
  DWORD AllocEntrySize;
  BYTE Flags;
  BYTE Padding[3];
};
struct INDEX_BLOCK {
  DWORD Magic;             // "INDX"
  WORD OffsetOfUS;
  WORD SizeOfUS;
  ULONGLONG LSN;
  ULONGLONG VCN;
  INDEX_HEADER Header;     // at 24
};
struct ATTR_INDEX_ROOT {
  DWORD AttrType;
  DWORD CollRule;
  DWORD IBSize;
  BYTE ClustersPerIB;
  BYTE Padding1[3];
  INDEX_HEADER Header;     // at 16
};
#pragma pack(pop)
static_assert(offsetof(ATTR_FILE_NAME, Flags) == 56, "file name flags");
static_assert(offsetof(ATTR_FILE_NAME, NameLength) == 64, "file name length");
static_assert(offsetof(ATTR_FILE_NAME, Name) == 66, "file name");
static_assert(offsetof(INDEX_ENTRY, Stream) == 16, "index key");
static_assert(offsetof(INDEX_BLOCK, Header) == 24, "index block header");
static_assert(offsetof(ATTR_INDEX_ROOT, Header) == 16, "index root header");
static_assert(sizeof(INDEX_HEADER) == 16, "index header");

const int kNtfsMaxName = 260;

class CFileName {
 public:
  explicit CFileName(const ATTR_FILE_NAME* value = nullptr, const WORD* upcase = nullptr);
  virtual ~CFileName();
  CFileName(const CFileName&) = delete;
  CFileName& operator=(const CFileName&) = delete;

  // `value` must hold the whole name (the caller checks its length).
  void SetFileNameValue(const ATTR_FILE_NAME* value);
  // Table that names are upper-cased through (the volume's $UpCase); null
  // falls back to the C library.
  void SetUpCaseTable(const WORD* upcase) { m_pUpCase = upcase; }
  int GetName(wchar_t* buffer, DWORD units) const;
  int Compare(const wchar_t* name) const;
  BOOL IsWin32Name() const;
  ULONGLONG GetParentRecord() const;
  WORD GetParentSequence() const;
  BOOL IsDirectory() const;
  const ATTR_FILE_NAME* GetFileNameValue() const { return m_pFileName; }

  // Upper case of one unit through a table (or the C library without one).
  static wchar_t UpCase(wchar_t c, const WORD* table);

 protected:
  const ATTR_FILE_NAME* m_pFileName = nullptr;
  int m_nNameLength = 0;  // units of the name that count (at most kNtfsMaxName)
  int m_bCopied = 0;
  const WORD* m_pUpCase = nullptr;
};

class CIndexEntry : public CFileName {
 public:
  CIndexEntry();
  // A view of a raw entry; `room` bytes are readable from `entry`.
  CIndexEntry(const INDEX_ENTRY* entry, DWORD room, const WORD* upcase);
  ~CIndexEntry() override;

  void CopyFrom(const CIndexEntry& other);
  BOOL HasKey() const { return m_nNameLength > 0; }
  BOOL HasSubNode() const;
  ULONGLONG GetSubNodeVCN() const;
  ULONGLONG GetFileReference() const;
  const INDEX_ENTRY* GetEntry() const { return m_pIndexEntry; }
  // Checks an entry's lengths against the bytes that follow it.
  static BOOL IsEntrySane(const INDEX_ENTRY* entry, DWORD room);

 private:
  int m_bOwning = 0;
  const INDEX_ENTRY* m_pIndexEntry = nullptr;
  BYTE* m_pCopy = nullptr;
};

// Appends view entries of one node (root or block) to `list`: `header` is the
// node's index header, `room` the bytes from the header to the end of the
// buffer. Returns FALSE when the node is damaged (entries before the damage
// stay in the list).
BOOL NtfsParseIndexNode(const INDEX_HEADER* header, DWORD room, const WORD* upcase, CSList<CIndexEntry>& list);

class CIndexBlock : public CSList<CIndexEntry> {
 public:
  CIndexBlock() {}
  ~CIndexBlock() override;
  BYTE* AllocIndexBlock(DWORD size);
  const INDEX_BLOCK* GetBlock() const { return (const INDEX_BLOCK*)m_pIndexBlock; }

 private:
  BYTE* m_pIndexBlock = nullptr;
};

class CAttr_FileName : public CAttrResident, public CFileName {
 public:
  CAttr_FileName(const ATTR_HEADER_COMMON* header, const CFileRecord* record);
};

class CAttr_IndexRoot : public CAttrResident, public CSList<CIndexEntry> {
 public:
  CAttr_IndexRoot(const ATTR_HEADER_COMMON* header, const CFileRecord* record);
  BOOL IsFileName() const;
  DWORD GetIndexedType() const;
};

class CAttr_IndexAlloc : public CAttrNonResident {
 public:
  CAttr_IndexAlloc(const ATTR_HEADER_COMMON* header, const CFileRecord* record);
  ULONGLONG GetIndexBlockCount() const { return m_u64IndexBlockCount; }
  BOOL ReadIndexBlock(ULONGLONG blockNumber, CIndexBlock& block) const;
  // Block number of a sub-node VCN; -1 when the VCN points at no block.
  ULONGLONG SubNodeVcnToBlock(ULONGLONG vcn) const;

 private:
  ULONGLONG m_u64IndexBlockCount = 0;
};
