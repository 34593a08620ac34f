#include "storage/fs/NTFSFileRecord.h"

#include <algorithm>
#include <set>
#include <string>
#include <cstring>
#include <cwchar>
#include <vector>

#include "storage/DeviceIo.h"
#include "storage/fs/NTFSAttr.h"
#include "storage/fs/NTFSIndex.h"
#include "storage/fs/NTFSVolume.h"

namespace {
const DWORD kFileMagic = 0x454C4946;  // "FILE"

int TypeIndex(DWORD type) {
  if (type < 0x10) return -1;
  DWORD idx = type / 0x10 - 1;
  return idx > 15 ? -1 : (int)idx;
}
}  // namespace

CFileRecord::CFileRecord(CNTFSVolume* volume) : m_pVolume(volume) {}

CFileRecord::~CFileRecord() {
  ClearAttrs();
  delete[] m_pStorage;
}

BYTE* CFileRecord::Storage(DWORD size) {
  // The volume's record size never changes: one allocation serves every load.
  if (!m_pStorage || m_dwStorageSize < size) {
    delete[] m_pStorage;
    m_pStorage = new BYTE[size];
    m_dwStorageSize = size;
  }
  return m_pStorage;
}

void CFileRecord::ClearAttrs() {
  // Later types first: attributes moved in from extension records live in
  // buffers that the attribute list (type 0x20) keeps.
  for (int i = 15; i >= 0; --i) m_AttrList[i].RemoveAll();
  m_bAttrListIncomplete = FALSE;
}

DWORD CFileRecord::GetBufferSize() const {
  return m_pBuffer && m_pVolume ? m_pVolume->GetFileRecordSize() : 0;
}

BOOL CFileRecord::PatchUS(BYTE* buffer, DWORD size) {
  if (!buffer || size < 512 || size % 512) return FALSE;
  const WORD usaOffset = Le16(buffer + 4);
  const WORD usaCount = Le16(buffer + 6);
  DWORD strides = size / 512;
  if (usaCount != strides + 1) return FALSE;
  if (usaOffset < 8 || (DWORD)usaOffset + 2u * usaCount > size) return FALSE;
  const BYTE* usa = buffer + usaOffset;
  // Every stride ends with the sequence number; the array holds what it hides.
  for (DWORD i = 0; i < strides; ++i)
    if (memcmp(buffer + (i + 1) * 512 - 2, usa, 2) != 0) return FALSE;
  for (DWORD i = 0; i < strides; ++i) memcpy(buffer + (i + 1) * 512 - 2, usa + 2 * (i + 1), 2);
  return TRUE;
}

BOOL CFileRecord::LoadRecord(ULONGLONG number) {
  ClearAttrs();
  m_pBuffer = nullptr;
  m_u64RecordNo = (ULONGLONG)-1;
  if (!m_pVolume || !m_pVolume->IsVolumeOK()) return FALSE;
  DWORD size = m_pVolume->GetFileRecordSize();
  BYTE* buffer = Storage(size);
  if (!m_pVolume->ReadRawRecord(number, buffer)) return FALSE;
  m_u64RecordNo = number;
  const FILE_RECORD_HEADER* h = (const FILE_RECORD_HEADER*)buffer;
  if (h->Magic != kFileMagic || !PatchUS(buffer, size)) return FALSE;
  m_pBuffer = buffer;
  return TRUE;
}

BOOL CFileRecord::LoadRecordFromBuffer(DWORD numberLow, DWORD numberHigh, const void* image) {
  ClearAttrs();
  m_pBuffer = nullptr;
  m_u64RecordNo = (ULONGLONG)-1;
  if (!image || !m_pVolume) return FALSE;
  DWORD size = m_pVolume->GetFileRecordSize();
  if (!size) return FALSE;
  BYTE* buffer = Storage(size);
  memcpy(buffer, image, size);
  m_u64RecordNo = ((ULONGLONG)numberHigh << 32) | numberLow;
  const FILE_RECORD_HEADER* h = (const FILE_RECORD_HEADER*)buffer;
  if (h->Magic != kFileMagic || !PatchUS(buffer, size)) return FALSE;
  m_pBuffer = buffer;
  return TRUE;
}

BOOL CFileRecord::ParseAttr(const ATTR_HEADER_COMMON* header, DWORD room) {
  (void)room;
  int idx = TypeIndex(header->Type);
  if (idx < 0) return FALSE;
  CAttrBase* attr = CreateNtfsAttribute(header, this);
  if (!attr) return FALSE;
  m_AttrList[idx].InsertEntry(attr);
  return TRUE;
}

BOOL CFileRecord::LoadAttributes() {
  ClearAttrs();
  if (!m_pBuffer) return FALSE;
  const DWORD size = GetBufferSize();
  const FILE_RECORD_HEADER* h = (const FILE_RECORD_HEADER*)m_pBuffer;
  DWORD off = h->OffsetOfAttr;
  // Attributes start 8-byte aligned after the header, with room at least for
  // the end marker.
  if (off < sizeof(FILE_RECORD_HEADER) - 8 || off % 8 || off + 8 > size) return FALSE;
  BOOL ok = TRUE;
  // Attributes are at least 16 bytes, so a record holds a bounded number.
  while (off + 4 <= size) {
    const ATTR_HEADER_COMMON* a = (const ATTR_HEADER_COMMON*)(m_pBuffer + off);
    if (a->Type == ATTR_TYPE_END) break;
    if (off + 8 > size) break;
    if (a->TotalSize == 0) break;                // no room to hold anything: end of list
    if (a->TotalSize > size - off) break;        // runs past the record: end of list
    if (!CAttrBase::IsHeaderSane(a, size - off)) {
      ok = FALSE;
      break;
    }
    // Types are multiples of 0x10; anything else is not one we know and is
    // passed over like any type outside the mask.
    int idx = a->Type % 0x10 ? -1 : TypeIndex(a->Type);
    if (idx >= 0 && (m_dwAttrMask & (1u << idx))) {
      if (!ParseAttr(a, size - off)) {
        ok = FALSE;
        break;
      }
      const CAttr_StdInfo* si = (const CAttr_StdInfo*)FindFirstAttr(ATTR_TYPE_STANDARD_INFORMATION);
      if (si && (si->IsCompressed() || si->IsEncrypted())) return FALSE;
    }
    off += a->TotalSize;
  }
  JoinExtents();
  return ok;
}

// A non-resident attribute split over several records (through the
// attribute list) arrives as several extents. Each chain that starts at VCN 0
// gets the following extents' runs appended in VCN order, so that reads see
// one stream; duplicates are dropped. Extents that do not follow on stay as
// they are and are never taken for the stream's start.
void CFileRecord::JoinExtents() {
  struct Item {
    CAttrNonResident* attr;
    const BYTE* name;  // UTF-16 units in the record buffer
    size_t nameBytes;
    ULONGLONG start;
  };
  auto nameLess = [](const Item& a, const Item& b) {
    int c = memcmp(a.name, b.name, std::min(a.nameBytes, b.nameBytes));
    return c != 0 ? c < 0 : a.nameBytes < b.nameBytes;
  };
  auto sameName = [](const Item& a, const Item& b) {
    return a.nameBytes == b.nameBytes && memcmp(a.name, b.name, a.nameBytes) == 0;
  };
  for (int idx = 0; idx < 16; ++idx) {
    CSList<CAttrBase>& list = m_AttrList[idx];
    if (list.GetCount() < 2) continue;
    std::vector<Item> items;
    list.ForEach([&](CAttrBase* a) {
      if (!a->IsNonResident()) return;
      CAttrNonResident* nr = static_cast<CAttrNonResident*>(a);
      const ATTR_HEADER_COMMON* h = nr->GetHeader();
      items.push_back({nr, (const BYTE*)h + h->NameOffset, 2u * h->NameLength, nr->GetStartVCN()});
    });
    if (items.size() < 2) continue;
    std::stable_sort(items.begin(), items.end(), [&](const Item& a, const Item& b) {
      if (!sameName(a, b)) return nameLess(a, b);
      return a.start < b.start;
    });
    std::set<CAttrBase*> dropped;
    for (size_t i = 0; i < items.size(); ++i) {
      if (items[i].start != 0) continue;
      CAttrNonResident* head = items[i].attr;
      for (size_t j = i + 1; j < items.size() && sameName(items[j], items[i]) && items[j].start != 0; ++j) {
        if (items[j].start < head->GetEndVCN()) {
          dropped.insert(items[j].attr);  // loaded twice, or overlapping: keep the first
          continue;
        }
        if (items[j].start != head->GetEndVCN() || !head->AppendExtent(*items[j].attr)) break;
        dropped.insert(items[j].attr);
      }
    }
    if (dropped.empty()) continue;
    std::vector<CAttrBase*> keep;
    list.ForEach([&](CAttrBase* a) {
      if (!dropped.count(a)) keep.push_back(a);
    });
    list.ThrowAll();
    for (CAttrBase* a : keep) list.InsertEntry(a);
    for (CAttrBase* a : dropped) delete a;
  }
}

CSList<CAttrBase>* CFileRecord::GetAttrList(DWORD type) {
  int idx = TypeIndex(type);
  return idx < 0 ? nullptr : &m_AttrList[idx];
}

const CAttrBase* CFileRecord::FindFirstAttr(DWORD type) const {
  int idx = TypeIndex(type);
  return idx < 0 ? nullptr : m_AttrList[idx].FindFirst();
}
const CAttrBase* CFileRecord::FindNextAttr(DWORD type) const {
  int idx = TypeIndex(type);
  return idx < 0 ? nullptr : m_AttrList[idx].FindNext();
}
CAttrBase* CFileRecord::FindFirstAttr(DWORD type) {
  int idx = TypeIndex(type);
  return idx < 0 ? nullptr : m_AttrList[idx].FindFirst();
}
CAttrBase* CFileRecord::FindNextAttr(DWORD type) {
  int idx = TypeIndex(type);
  return idx < 0 ? nullptr : m_AttrList[idx].FindNext();
}

const CAttrBase* CFileRecord::FindDataStream(const wchar_t* name) {
  CSList<CAttrBase>& list = m_AttrList[TypeIndex(ATTR_TYPE_DATA)];
  return list.FindIf([&](CAttrBase* a) {
    // A later extent of a stream is never its start.
    if (a->IsNonResident() && static_cast<CAttrNonResident*>(a)->GetStartVCN() != 0) return false;
    wchar_t buf[260];
    int n = a->GetAttrName(buf, 260);
    if (!name) return n == 0;
    if (n <= 0) return false;
    buf[n < 260 ? n : 259] = 0;
    return wcscmp(buf, name) == 0;
  });
}

int CFileRecord::GetFileName(wchar_t* buffer, DWORD units) const {
  const CAttr_FileName* fn = (const CAttr_FileName*)m_AttrList[TypeIndex(ATTR_TYPE_FILE_NAME)].FindIf(
      [](CAttrBase* a) { return static_cast<CAttr_FileName*>(a)->IsWin32Name() != 0; });
  return fn ? fn->GetName(buffer, units) : 0;
}

ULONGLONG CFileRecord::GetParentRecord() const {
  const CAttr_FileName* fn = (const CAttr_FileName*)m_AttrList[TypeIndex(ATTR_TYPE_FILE_NAME)].FindIf(
      [](CAttrBase*) { return true; });
  return fn ? fn->GetParentRecord() : (ULONGLONG)-1;
}

void CFileRecord::GetFileTimes(FILETIME* modified, FILETIME* created, FILETIME* accessed) const {
  FILETIME m = {}, c = {}, a = {};
  const CAttr_StdInfo* si = (const CAttr_StdInfo*)m_AttrList[0].FindIf([](CAttrBase*) { return true; });
  if (si && si->GetFileTime(&m, &c, &a)) {
    FILETIME t;
    if (FileTimeToLocalFileTime(&m, &t)) m = t;
    if (FileTimeToLocalFileTime(&c, &t)) c = t;
    if (FileTimeToLocalFileTime(&a, &t)) a = t;
  } else {
    m = c = a = FILETIME{};
  }
  if (modified) *modified = m;
  if (created) *created = c;
  if (accessed) *accessed = a;
}

BOOL CFileRecord::IsDeleted() const {
  return m_pBuffer && !(((const FILE_RECORD_HEADER*)m_pBuffer)->Flags & 1);
}
BOOL CFileRecord::IsDirectory() const {
  return m_pBuffer && (((const FILE_RECORD_HEADER*)m_pBuffer)->Flags & 2);
}
BOOL CFileRecord::IsCompressed() const {
  const CAttr_StdInfo* si = (const CAttr_StdInfo*)m_AttrList[0].FindIf([](CAttrBase*) { return true; });
  return si ? si->IsCompressed() : FALSE;
}
BOOL CFileRecord::IsEncrypted() const {
  const CAttr_StdInfo* si = (const CAttr_StdInfo*)m_AttrList[0].FindIf([](CAttrBase*) { return true; });
  return si ? si->IsEncrypted() : FALSE;
}
WORD CFileRecord::GetSequenceNumber() const {
  return m_pBuffer ? ((const FILE_RECORD_HEADER*)m_pBuffer)->SeqNo : 0;
}
ULONGLONG CFileRecord::GetBaseRecord() const {
  return m_pBuffer ? NtfsRecordNumber(((const FILE_RECORD_HEADER*)m_pBuffer)->RefToBase) : 0;
}
