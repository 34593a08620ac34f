#include "storage/fs/NTFSIndex.h"

#include <cstring>
#include <cwchar>
#include <cwctype>
#include <vector>

#include "storage/fs/NTFSVolume.h"

namespace {
const DWORD kIndxMagic = 0x58444E49;  // "INDX"
const int kMaxIndexDepth = 32;        // far deeper than any real directory B-tree
}  // namespace

// ---------------------------------------------------------------- CFileName

CFileName::CFileName(const ATTR_FILE_NAME* value, const WORD* upcase) : m_pUpCase(upcase) {
  if (value) SetFileNameValue(value);
}

CFileName::~CFileName() {}

wchar_t CFileName::UpCase(wchar_t c, const WORD* table) {
  return table ? (wchar_t)table[(WORD)c] : (wchar_t)towupper(c);
}

void CFileName::SetFileNameValue(const ATTR_FILE_NAME* value) {
  m_pFileName = value;
  m_nNameLength = 0;
  if (!m_pFileName) return;
  m_nNameLength = m_pFileName->NameLength > kNtfsMaxName ? kNtfsMaxName : m_pFileName->NameLength;
}

int CFileName::GetName(wchar_t* buffer, DWORD units) const {
  if (!m_pFileName || m_pFileName->NameLength == 0) return 0;
  int n = m_pFileName->NameLength;
  if (!buffer || units < (DWORD)n + 1) return -n;
  memcpy(buffer, m_pFileName->Name, n * 2);
  buffer[n] = 0;
  return n;
}

int CFileName::Compare(const wchar_t* name) const {
  if (!name) return -1;
  size_t len = wcslen(name);
  if (len > (size_t)kNtfsMaxName) return 1;
  // Both sides upper-cased unit by unit, compared as wcscmp compares them
  // (an upper case of 0 ends a side).
  const wchar_t* stored = m_pFileName ? m_pFileName->Name : nullptr;
  for (size_t i = 0;; ++i) {
    const wchar_t a = i < len ? UpCase(name[i], m_pUpCase) : 0;
    const wchar_t b = (int)i < m_nNameLength ? UpCase(stored[i], m_pUpCase) : 0;
    if (a != b) return a < b ? -1 : 1;
    if (a == 0) return 0;
  }
}

BOOL CFileName::IsWin32Name() const {
  return m_pFileName && m_nNameLength > 0 && m_pFileName->NameSpace != 2;
}

ULONGLONG CFileName::GetParentRecord() const {
  return m_pFileName ? NtfsRecordNumber(m_pFileName->ParentRef) : (ULONGLONG)-1;
}

WORD CFileName::GetParentSequence() const {
  return m_pFileName ? (WORD)(m_pFileName->ParentRef >> 48) : 0;
}

BOOL CFileName::IsDirectory() const {
  return m_pFileName && (m_pFileName->Flags & 0x10000000);
}

// -------------------------------------------------------------- CIndexEntry

CIndexEntry::CIndexEntry() : m_bOwning(1) {}

CIndexEntry::CIndexEntry(const INDEX_ENTRY* entry, DWORD room, const WORD* upcase) {
  m_pUpCase = upcase;
  if (!IsEntrySane(entry, room)) return;
  m_pIndexEntry = entry;
  if (entry->StreamSize) SetFileNameValue((const ATTR_FILE_NAME*)entry->Stream);
}

CIndexEntry::~CIndexEntry() {
  if (m_bCopied) delete[] m_pCopy;
}

BOOL CIndexEntry::IsEntrySane(const INDEX_ENTRY* e, DWORD room) {
  if (!e || room < 16) return FALSE;
  if (e->Size < 16 || e->Size > room) return FALSE;
  if ((DWORD)e->StreamSize + 16 > e->Size) return FALSE;
  if ((e->Flags & 1) && (e->Size < 24 || (DWORD)e->StreamSize + 24 > e->Size)) return FALSE;
  if (e->StreamSize) {
    if (e->StreamSize < offsetof(ATTR_FILE_NAME, Name)) return FALSE;
    const ATTR_FILE_NAME* fn = (const ATTR_FILE_NAME*)e->Stream;
    if (offsetof(ATTR_FILE_NAME, Name) + 2u * fn->NameLength > e->StreamSize) return FALSE;
  }
  return TRUE;
}

void CIndexEntry::CopyFrom(const CIndexEntry& other) {
  if (!m_bOwning || !other.m_pIndexEntry) return;
  m_bCopied = 1;
  delete[] m_pCopy;
  m_pCopy = new BYTE[other.m_pIndexEntry->Size];
  memcpy(m_pCopy, other.m_pIndexEntry, other.m_pIndexEntry->Size);
  m_pIndexEntry = (const INDEX_ENTRY*)m_pCopy;
  m_pUpCase = other.m_pUpCase;
  m_pFileName = m_pIndexEntry->StreamSize ? (const ATTR_FILE_NAME*)m_pIndexEntry->Stream : nullptr;
  m_nNameLength = m_pFileName ? other.m_nNameLength : 0;
}

BOOL CIndexEntry::HasSubNode() const {
  return m_pIndexEntry && (m_pIndexEntry->Flags & 1);
}

ULONGLONG CIndexEntry::GetSubNodeVCN() const {
  if (!m_pIndexEntry) return (ULONGLONG)-1;
  ULONGLONG v;
  memcpy(&v, (const BYTE*)m_pIndexEntry + m_pIndexEntry->Size - 8, 8);
  return v;
}

ULONGLONG CIndexEntry::GetFileReference() const {
  return m_pIndexEntry ? NtfsRecordNumber(m_pIndexEntry->FileReference) : (ULONGLONG)-1;
}

BOOL NtfsParseIndexNode(const INDEX_HEADER* header, DWORD room, const WORD* upcase, CSList<CIndexEntry>& list) {
  if (!header || room < sizeof(INDEX_HEADER)) return FALSE;
  DWORD limit = header->TotalEntrySize < room ? header->TotalEntrySize : room;
  DWORD pos = header->EntryOffset;
  if (pos < sizeof(INDEX_HEADER) || pos >= limit) return FALSE;
  while (pos + 16 <= limit) {
    const INDEX_ENTRY* e = (const INDEX_ENTRY*)((const BYTE*)header + pos);
    if (e->Size == 0 || !CIndexEntry::IsEntrySane(e, limit - pos)) return FALSE;
    list.InsertEntry(new CIndexEntry(e, limit - pos, upcase));
    if (e->Flags & 2) return TRUE;
    pos += e->Size;
  }
  return FALSE;  // no end entry
}

// -------------------------------------------------------------- CIndexBlock

CIndexBlock::~CIndexBlock() {
  RemoveAll();
  delete[] m_pIndexBlock;
}

BYTE* CIndexBlock::AllocIndexBlock(DWORD size) {
  RemoveAll();
  delete[] m_pIndexBlock;
  m_pIndexBlock = new BYTE[size];
  return m_pIndexBlock;
}

// ------------------------------------------------------- index attributes

namespace {
const WORD* UpCaseOf(const CFileRecord* record) {
  return record && record->GetVolume() ? record->GetVolume()->GetUpCaseTable() : nullptr;
}
}  // namespace

CAttr_FileName::CAttr_FileName(const ATTR_HEADER_COMMON* header, const CFileRecord* record)
    : CAttrResident(header, record), CFileName(nullptr, nullptr) {
  if (!m_pAttrBody || m_dwAttrBodySize < offsetof(ATTR_FILE_NAME, Name)) return;
  const ATTR_FILE_NAME* fn = (const ATTR_FILE_NAME*)m_pAttrBody;
  if (offsetof(ATTR_FILE_NAME, Name) + 2u * fn->NameLength > m_dwAttrBodySize) return;
  m_pUpCase = UpCaseOf(record);
  SetFileNameValue(fn);
}

CAttr_IndexRoot::CAttr_IndexRoot(const ATTR_HEADER_COMMON* header, const CFileRecord* record)
    : CAttrResident(header, record) {
  if (!m_pAttrBody || m_dwAttrBodySize < sizeof(ATTR_INDEX_ROOT)) return;
  const ATTR_INDEX_ROOT* root = (const ATTR_INDEX_ROOT*)m_pAttrBody;
  if (root->AttrType != ATTR_TYPE_FILE_NAME) return;
  NtfsParseIndexNode(&root->Header, m_dwAttrBodySize - offsetof(ATTR_INDEX_ROOT, Header), UpCaseOf(record), *this);
}

DWORD CAttr_IndexRoot::GetIndexedType() const {
  if (!m_pAttrBody || m_dwAttrBodySize < sizeof(ATTR_INDEX_ROOT)) return 0;
  return ((const ATTR_INDEX_ROOT*)m_pAttrBody)->AttrType;
}

BOOL CAttr_IndexRoot::IsFileName() const {
  return GetIndexedType() == ATTR_TYPE_FILE_NAME;
}

CAttr_IndexAlloc::CAttr_IndexAlloc(const ATTR_HEADER_COMMON* header, const CFileRecord* record)
    : CAttrNonResident(header, record) {
  ULONGLONG size = GetDataSize();
  if (IsDataValid() && m_dwIndexBlockSize && size % m_dwIndexBlockSize == 0)
    m_u64IndexBlockCount = size / m_dwIndexBlockSize;
}

ULONGLONG CAttr_IndexAlloc::SubNodeVcnToBlock(ULONGLONG vcn) const {
  // Sub-node VCNs count clusters, or 512-byte units when a cluster is larger
  // than an index block.
  ULONGLONG unit = m_dwClusterSize <= m_dwIndexBlockSize ? m_dwClusterSize : 512;
  if (vcn >= kNtfsMax48) return (ULONGLONG)-1;
  ULONGLONG byte = vcn * unit;
  if (!m_dwIndexBlockSize || byte % m_dwIndexBlockSize) return (ULONGLONG)-1;
  return byte / m_dwIndexBlockSize;
}

BOOL CAttr_IndexAlloc::ReadIndexBlock(ULONGLONG blockNumber, CIndexBlock& block) const {
  if (blockNumber >= m_u64IndexBlockCount) return FALSE;
  const DWORD ibs = m_dwIndexBlockSize;
  BYTE* buf = block.AllocIndexBlock(ibs);
  DWORD got = 0;
  if (!ReadData(blockNumber * ibs, buf, ibs, &got) || got != ibs) return FALSE;
  const INDEX_BLOCK* ib = (const INDEX_BLOCK*)buf;
  if (ib->Magic != kIndxMagic || !CFileRecord::PatchUS(buf, ibs)) return FALSE;
  NtfsParseIndexNode(&ib->Header, ibs - offsetof(INDEX_BLOCK, Header), UpCaseOf(m_pFileRecord), block);
  return TRUE;
}

// ------------------------------------------------------- name lookup

namespace {
struct ChildSearch {
  const wchar_t* name;
  CIndexEntry* out;
  const CAttr_IndexAlloc* alloc;
  std::vector<ULONGLONG> visited;

  BOOL SearchNode(const CSList<CIndexEntry>& node, int depth) {
    std::vector<CIndexEntry*> entries;
    node.ForEach([&](CIndexEntry* e) { entries.push_back(e); });
    for (CIndexEntry* e : entries) {
      if (e->HasKey()) {
        int c = e->Compare(name);
        if (c == 0) {
          out->CopyFrom(*e);
          return TRUE;
        }
        if (c > 0) continue;
        if (!e->HasSubNode()) return FALSE;
        if (SearchSub(e->GetSubNodeVCN(), depth)) return TRUE;
      } else if (e->HasSubNode() && SearchSub(e->GetSubNodeVCN(), depth)) {
        return TRUE;
      }
    }
    return FALSE;
  }

  BOOL SearchSub(ULONGLONG vcn, int depth) {
    if (!alloc || depth >= kMaxIndexDepth) return FALSE;
    ULONGLONG block = alloc->SubNodeVcnToBlock(vcn);
    if (block == (ULONGLONG)-1) return FALSE;
    for (ULONGLONG v : visited)
      if (v == block) return FALSE;  // loop between index blocks
    visited.push_back(block);
    CIndexBlock ib;
    if (!alloc->ReadIndexBlock(block, ib)) return FALSE;
    return SearchNode(ib, depth + 1);
  }
};
}  // namespace

BOOL CFileRecord::FindChildEntry(const wchar_t* name, CIndexEntry& entry) const {
  if (!name) return FALSE;
  const CAttr_IndexRoot* root = (const CAttr_IndexRoot*)m_AttrList[ATTR_TYPE_INDEX_ROOT / 0x10 - 1].FindIf(
      [](CAttrBase*) { return true; });
  if (!root || !root->IsFileName()) return FALSE;
  const CAttr_IndexAlloc* alloc =
      (const CAttr_IndexAlloc*)m_AttrList[ATTR_TYPE_INDEX_ALLOCATION / 0x10 - 1].FindIf([](CAttrBase*) {
        return true;
      });
  ChildSearch s{name, &entry, alloc, {}};
  return s.SearchNode(*root, 0);
}
