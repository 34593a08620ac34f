#include "storage/fs/NTFSAttr.h"

#include "core/Log.h"
#include "storage/DeviceIo.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <map>
#include <vector>

#include "storage/fs/NTFSIndex.h"
#include "storage/fs/NTFSVolume.h"

// ---------------------------------------------------------------- CAttrBase

CAttrBase::CAttrBase(const ATTR_HEADER_COMMON* header, const CFileRecord* record)
    : m_pAttrHeader(header), m_pFileRecord(record) {
  CNTFSVolume* v = record->GetVolume();
  m_wSectorSize = v->GetSectorSize();
  m_dwClusterSize = v->GetClusterSize();
  m_dwIndexBlockSize = v->GetIndexBlockSize();
  m_hVolume = v->GetHandle();
  m_u64PartitionOffset = v->GetPartitionOffset();
}

BOOL CAttrBase::IsHeaderSane(const ATTR_HEADER_COMMON* h, DWORD room) {
  if (room < sizeof(ATTR_HEADER_COMMON)) return FALSE;
  if (h->TotalSize < sizeof(ATTR_HEADER_COMMON) || h->TotalSize > room) return FALSE;
  DWORD need = h->NonResident ? sizeof(ATTR_HEADER_NON_RESIDENT) - 8 : sizeof(ATTR_HEADER_RESIDENT);
  if (h->TotalSize < need) return FALSE;
  if (h->NameLength && (DWORD)h->NameOffset + 2u * h->NameLength > h->TotalSize) return FALSE;
  return TRUE;
}

int CAttrBase::GetAttrName(wchar_t* buffer, DWORD units) const {
  int n = m_pAttrHeader->NameLength;
  if (n == 0) {
    if (buffer && units) buffer[0] = 0;
    return 0;
  }
  if (!buffer || units < (DWORD)n + 1) return -n;
  memcpy(buffer, (const BYTE*)m_pAttrHeader + m_pAttrHeader->NameOffset, n * 2);
  buffer[n] = 0;
  return n;
}

// ------------------------------------------------------------ CAttrResident

CAttrResident::CAttrResident(const ATTR_HEADER_COMMON* header, const CFileRecord* record)
    : CAttrBase(header, record) {
  const ATTR_HEADER_RESIDENT* r = (const ATTR_HEADER_RESIDENT*)header;
  if (!header->NonResident && header->TotalSize >= sizeof(ATTR_HEADER_RESIDENT) &&
      r->AttrOffset <= header->TotalSize && r->AttrSize <= header->TotalSize - r->AttrOffset) {
    m_pAttrBody = (const BYTE*)header + r->AttrOffset;
    m_dwAttrBodySize = r->AttrSize;
  }
}

ULONGLONG CAttrResident::GetDataSize(ULONGLONG* allocSize) const {
  if (allocSize) *allocSize = m_dwAttrBodySize;
  return m_dwAttrBodySize;
}

BOOL CAttrResident::ReadData(const ULONGLONG& offset, void* buffer, DWORD length, DWORD* read) const {
  if (read) *read = 0;
  if (length == 0) return TRUE;
  if (!m_pAttrBody || !buffer || offset >= m_dwAttrBodySize) return FALSE;
  DWORD off = (DWORD)offset;
  DWORD n = std::min(length, m_dwAttrBodySize - off);
  memcpy(buffer, m_pAttrBody + off, n);
  if (read) *read = n;
  return TRUE;
}

// --------------------------------------------------------- CAttrNonResident

CAttrNonResident::CAttrNonResident(const ATTR_HEADER_COMMON* header, const CFileRecord* record)
    : CAttrBase(header, record) {
  if (!header->NonResident || header->TotalSize < sizeof(ATTR_HEADER_NON_RESIDENT) - 8) return;
  const ATTR_HEADER_NON_RESIDENT* nr = (const ATTR_HEADER_NON_RESIDENT*)header;
  m_u64StartVcn = nr->StartVCN;
  m_u64DataSize = nr->RealSize;
  m_u64AllocSize = nr->AllocSize;
  m_u64InitSize = header->TotalSize >= sizeof(ATTR_HEADER_NON_RESIDENT) ? nr->IniSize : nr->RealSize;
  ParseDataRun();
}

CAttrNonResident::~CAttrNonResident() {
  delete[] m_pClusterBuffer;
}

ULONGLONG CAttrNonResident::GetDataSize(ULONGLONG* allocSize) const {
  if (allocSize) *allocSize = m_u64AllocSize;
  return m_u64DataSize;
}

ULONGLONG CAttrNonResident::GetInitializedSize() const {
  return std::min(m_u64InitSize, m_u64DataSize);
}

BOOL CAttrNonResident::ParseDataRun() {
  const ATTR_HEADER_NON_RESIDENT* nr = (const ATTR_HEADER_NON_RESIDENT*)m_pAttrHeader;
  m_DataRunList.RemoveAll();
  m_bDataRunOK = FALSE;
  // VCN span the header claims: last - start + 1 (0 for an empty attribute,
  // whose last VCN is -1).
  ULONGLONG span = nr->LastVCN + 1 - nr->StartVCN;
  if (nr->LastVCN + 1 < nr->StartVCN || span > (1ull << 56)) return FALSE;
  m_u64EndVcn = m_u64StartVcn + span;
  if (nr->DataRunOffset >= m_pAttrHeader->TotalSize) return FALSE;
  const BYTE* p = (const BYTE*)m_pAttrHeader + nr->DataRunOffset;
  const BYTE* end = (const BYTE*)m_pAttrHeader + m_pAttrHeader->TotalSize;
  LONGLONG lcn = 0;
  ULONGLONG vcn = 0;
  for (;;) {
    if (p >= end) {
      m_bDataRunOK = TRUE;  // the attribute ends where the terminator would be
      break;
    }
    BYTE h = *p++;
    if (h == 0) {
      m_bDataRunOK = TRUE;
      break;
    }
    int lenBytes = h & 0x0F, offBytes = h >> 4;
    if (lenBytes == 0 || lenBytes > 8 || offBytes > 8) {
      m_bDataRunOK = TRUE;  // undecodable header: what was decoded stands
      break;
    }
    if (end - p < lenBytes + offBytes) break;  // the run list leaves the attribute
    ULONGLONG len = 0;
    for (int i = 0; i < lenBytes; ++i) len |= (ULONGLONG)p[i] << (8 * i);
    p += lenBytes;
    if (len == 0 || (len >> 63)) {
      m_bDataRunOK = TRUE;
      break;
    }
    LONGLONG off = 0;
    if (offBytes) {
      ULONGLONG u = 0;
      for (int i = 0; i < offBytes; ++i) u |= (ULONGLONG)p[i] << (8 * i);
      if (offBytes < 8 && (p[offBytes - 1] & 0x80)) u |= ~0ull << (8 * offBytes);
      off = (LONGLONG)u;
      p += offBytes;
      if (__builtin_add_overflow(lcn, off, &lcn) || lcn < 0) break;
    }
    if (len > span - vcn) {  // reaches past the header's VCN span
      m_DataRunList.RemoveAll();
      return FALSE;
    }
    tagDataRun_Entry* e = new tagDataRun_Entry;
    e->lcn = offBytes ? lcn : -1;
    e->clusters = len;
    e->startVcn = m_u64StartVcn + vcn;
    e->lastVcn = e->startVcn + len - 1;
    m_DataRunList.InsertEntry(e);
    vcn += len;
  }
  return m_bDataRunOK;
}

BOOL CAttrNonResident::AppendExtent(const CAttrNonResident& next) {
  if (next.m_u64StartVcn != m_u64EndVcn || !next.m_bDataRunOK) return FALSE;
  next.m_DataRunList.ForEach([&](tagDataRun_Entry* r) { m_DataRunList.InsertEntry(new tagDataRun_Entry(*r)); });
  m_u64EndVcn = next.m_u64EndVcn;
  m_pLastRun = nullptr;
  m_RunIndex.clear();
  return TRUE;
}

const tagDataRun_Entry* CAttrNonResident::FindRun(ULONGLONG vcn) const {
  if (m_pLastRun && vcn >= m_pLastRun->startVcn && vcn <= m_pLastRun->lastVcn) return m_pLastRun;
  if (m_RunIndex.size() != (size_t)m_DataRunList.GetCount()) {
    // Runs are decoded and joined in ascending VCN order.
    m_RunIndex.clear();
    m_DataRunList.ForEach([&](tagDataRun_Entry* e) { m_RunIndex.push_back(e); });
  }
  auto it = std::upper_bound(m_RunIndex.begin(), m_RunIndex.end(), vcn,
                             [](ULONGLONG v, const tagDataRun_Entry* e) { return v < e->startVcn; });
  if (it == m_RunIndex.begin()) return nullptr;
  const tagDataRun_Entry* r = *(it - 1);
  if (vcn > r->lastVcn) return nullptr;
  m_pLastRun = r;
  return r;
}

BOOL CAttrNonResident::ReadClusters(void* buffer, ULONGLONG clusters, LONGLONG lcn) const {
  ULONGLONG bytes = clusters * m_dwClusterSize;
  if (lcn == -1) {
    memset(buffer, 0, (size_t)bytes);
    return TRUE;
  }
  if (lcn < 0 || (ULONGLONG)lcn > (~0ull - m_u64PartitionOffset) / m_dwClusterSize - 1) return FALSE;
  ULONGLONG pos = (ULONGLONG)lcn * m_dwClusterSize + m_u64PartitionOffset;
  return ReadAt(m_hVolume, pos, buffer, (DWORD)bytes) == bytes;
}

BOOL CAttrNonResident::ReadVirtualClusters(ULONGLONG startVcn, DWORD count, void* buffer, DWORD bufferSize,
                                           DWORD* readBytes) const {
  *readBytes = 0;
  if (count == 0) return TRUE;
  if (startVcn < m_u64StartVcn || startVcn >= m_u64EndVcn || count > m_u64EndVcn - startVcn) return FALSE;
  if ((ULONGLONG)count * m_dwClusterSize > bufferSize) return FALSE;
  BYTE* out = (BYTE*)buffer;
  ULONGLONG vcn = startVcn;
  DWORD left = count;
  while (left) {
    const tagDataRun_Entry* run = FindRun(vcn);
    if (!run) break;  // a hole no run covers ends the read
    ULONGLONG inRun = run->lastVcn - vcn + 1;
    DWORD n = (DWORD)std::min<ULONGLONG>(inRun, left);
    LONGLONG lcn = run->lcn == -1 ? -1 : run->lcn + (LONGLONG)(vcn - run->startVcn);
    if (!ReadClusters(out, n, lcn)) break;
    out += (size_t)n * m_dwClusterSize;
    vcn += n;
    left -= n;
    *readBytes += n * m_dwClusterSize;
  }
  return TRUE;
}

BOOL CAttrNonResident::GetDevicePosition(ULONGLONG offset, ULONGLONG* position) const {
  if (!position || !m_dwClusterSize) return FALSE;
  const tagDataRun_Entry* run = FindRun(offset / m_dwClusterSize);
  if (!run || run->lcn < 0) return FALSE;
  const ULONGLONG lcn = (ULONGLONG)run->lcn + (offset / m_dwClusterSize - run->startVcn);
  if (lcn > (~0ull - m_u64PartitionOffset) / m_dwClusterSize - 1) return FALSE;
  *position = lcn * m_dwClusterSize + offset % m_dwClusterSize + m_u64PartitionOffset;
  return TRUE;
}

BOOL CAttrNonResident::ReadData(const ULONGLONG& offset, void* buffer, DWORD length, DWORD* read) const {
  return ReadDataInto(offset, buffer, length, length, read);
}

BOOL CAttrNonResident::ReadDataInto(const ULONGLONG& offset, void* buffer, DWORD length, DWORD room,
                                    DWORD* read) const {
  if (read) *read = 0;
  if (length == 0) return TRUE;
  if (!buffer || offset > m_u64DataSize) return FALSE;
  if (length > m_u64DataSize - offset) length = (DWORD)(m_u64DataSize - offset);
  if (length == 0) return TRUE;
  const DWORD cs = m_dwClusterSize;
  BYTE* out = (BYTE*)buffer;
  ULONGLONG pos = offset;
  DWORD left = length;
  DWORD got = 0;
  if (pos % cs) {
    if (!m_pClusterBuffer) const_cast<CAttrNonResident*>(this)->m_pClusterBuffer = new BYTE[cs];
    if (!ReadVirtualClusters(pos / cs, 1, m_pClusterBuffer, cs, &got) || got != cs) return FALSE;
    DWORD in = (DWORD)(pos % cs);
    DWORD n = std::min(cs - in, left);
    memcpy(out, m_pClusterBuffer + in, n);
    out += n;
    pos += n;
    left -= n;
  }
  DWORD whole = left / cs;
  // The partial last cluster along with the whole ones, straight into the
  // caller's buffer, when it has room for all of it.
  if (left % cs && room >= length && room - length >= cs - left % cs) {
    ++whole;
    left = whole * cs;
  }
  if (whole) {
    if (!ReadVirtualClusters(pos / cs, whole, out, whole * cs, &got) || got != whole * cs) return FALSE;
    out += (size_t)whole * cs;
    pos += (ULONGLONG)whole * cs;
    left -= whole * cs;
  }
  if (left) {
    if (!m_pClusterBuffer) const_cast<CAttrNonResident*>(this)->m_pClusterBuffer = new BYTE[cs];
    if (!ReadVirtualClusters(pos / cs, 1, m_pClusterBuffer, cs, &got) || got != cs) return FALSE;
    memcpy(out, m_pClusterBuffer, left);
  }
  // Past the initialized size the file holds zeros, whatever the clusters say.
  ULONGLONG init = GetInitializedSize();
  if (init < offset + length) {
    ULONGLONG from = std::max(init, offset);
    memset((BYTE*)buffer + (from - offset), 0, (size_t)(offset + length - from));
  }
  if (read) *read = length;
  return TRUE;
}

// ------------------------------------------------------------ typed classes

CAttr_StdInfo::CAttr_StdInfo(const ATTR_HEADER_COMMON* header, const CFileRecord* record)
    : CAttrResident(header, record) {}

BOOL CAttr_StdInfo::GetFileTime(FILETIME* modified, FILETIME* created, FILETIME* accessed) const {
  if (!m_pAttrBody || m_dwAttrBodySize < 32) return FALSE;
  if (modified) memcpy(modified, m_pAttrBody + 8, 8);
  if (created) memcpy(created, m_pAttrBody + 0, 8);
  if (accessed) memcpy(accessed, m_pAttrBody + 24, 8);
  return TRUE;
}

DWORD CAttr_StdInfo::GetFilePermission() const {
  if (!m_pAttrBody || m_dwAttrBodySize < 36) return 0;
  return Le32(m_pAttrBody + 32);
}

CAttr_VolName::CAttr_VolName(const ATTR_HEADER_COMMON* header, const CFileRecord* record)
    : CAttrResident(header, record) {
  if (!m_pAttrBody) return;
  m_nNameLength = (int)(m_dwAttrBodySize / 2);
  m_pNameW = new wchar_t[m_nNameLength + 1];
  memcpy(m_pNameW, m_pAttrBody, m_nNameLength * 2);
  m_pNameW[m_nNameLength] = 0;
  m_pNameA = new char[m_nNameLength + 1];
  int n = m_nNameLength ? WideCharToMultiByte(CP_ACP, 0, m_pNameW, m_nNameLength, m_pNameA, m_nNameLength,
                                              nullptr, nullptr)
                        : 0;
  m_pNameA[n > 0 ? n : 0] = 0;
}

CAttr_VolName::~CAttr_VolName() {
  delete[] m_pNameW;
  delete[] m_pNameA;
}

int CAttr_VolName::GetName(wchar_t* buffer, DWORD units) const {
  if (!m_pNameW) return 0;
  if (!buffer || units <= (DWORD)m_nNameLength) return -m_nNameLength;
  wmemcpy(buffer, m_pNameW, m_nNameLength + 1);
  return m_nNameLength;
}

int CAttr_VolName::GetName(char* buffer, DWORD bytes) const {
  if (!m_pNameA) return 0;
  int n = (int)strlen(m_pNameA);
  if (!buffer || bytes <= (DWORD)n) return -n;
  memcpy(buffer, m_pNameA, n + 1);
  return n;
}

CAttr_VolInfo::CAttr_VolInfo(const ATTR_HEADER_COMMON* header, const CFileRecord* record)
    : CAttrResident(header, record) {}

int CAttr_VolInfo::GetVersion() const {
  if (!m_pAttrBody || m_dwAttrBodySize < 10) return 0;
  return (m_pAttrBody[8] << 8) | m_pAttrBody[9];
}

template <class BASE>
CAttr_Bitmap<BASE>::CAttr_Bitmap(const ATTR_HEADER_COMMON* header, const CFileRecord* record)
    : BASE(header, record), m_u64BitmapSize(this->GetDataSize()) {}

// Attribute lists larger than this do not occur (NTFS caps them at 256 KiB).
static const DWORD kMaxAttrListSize = 256 * 1024;
// Far more extension records than any file has; bounds the work a damaged
// list can cause.
static const size_t kMaxExtensionRecords = 4096;

template <class BASE>
CAttr_AttrList<BASE>::CAttr_AttrList(const ATTR_HEADER_COMMON* header, const CFileRecord* record)
    : BASE(header, record) {
  CFileRecord* owner = const_cast<CFileRecord*>(record);
  const ULONGLONG self = owner->GetRecordNumber();
  if (self == (ULONGLONG)-1 || owner->GetNesting() > 0 || !this->IsDataValid()) return;
  ULONGLONG size = this->GetDataSize();
  if (size > kMaxAttrListSize) {
    size = kMaxAttrListSize;
    m_bIncomplete = TRUE;
  }
  std::vector<BYTE> buf((size_t)size);
  DWORD got = 0;
  if (size && !this->ReadData(0, buf.data(), (DWORD)size, &got)) got = 0;
  // Which extension records hold which types: each record is loaded once,
  // whatever the number of entries that name it.
  std::vector<std::pair<ULONGLONG, DWORD>> wanted;
  std::map<ULONGLONG, size_t> where;
  DWORD off = 0;
  while (off + sizeof(ATTR_ATTRIBUTE_LIST) <= got) {
    const ATTR_ATTRIBUTE_LIST* e = (const ATTR_ATTRIBUTE_LIST*)(buf.data() + off);
    if (e->AttrType < 0x10 || e->AttrType / 0x10 - 1 > 16) break;
    if (e->RecordSize == 0) break;
    if (e->RecordSize < sizeof(ATTR_ATTRIBUTE_LIST)) {
      m_bIncomplete = TRUE;
      break;
    }
    DWORD idx = e->AttrType / 0x10 - 1;
    ULONGLONG ref = NtfsRecordNumber(e->BaseRef);
    // The list itself always lives in the base record.
    if (ref != self && idx <= 15 && e->AttrType != ATTR_TYPE_ATTRIBUTE_LIST &&
        (owner->GetAttrMask() & (1u << idx))) {
      auto it = where.find(ref);
      if (it != where.end()) {
        wanted[it->second].second |= 1u << idx;
      } else if (wanted.size() < kMaxExtensionRecords) {
        where[ref] = wanted.size();
        wanted.push_back({ref, 1u << idx});
      } else {
        m_bIncomplete = TRUE;
      }
    }
    off += e->RecordSize;
  }
  for (const auto& w : wanted) {
    CFileRecord* ext = new CFileRecord(owner->GetVolume());
    m_FileRecordList.InsertEntry(ext);
    ext->SetRawAttrMask(w.second);
    ext->SetNesting(owner->GetNesting() + 1);
    if (!ext->LoadRecord(w.first)) {
      m_bIncomplete = TRUE;
      break;
    }
    if (ext->GetBaseRecord() != self) {  // not ours (reused): take nothing from it
      m_bIncomplete = TRUE;
      continue;
    }
    if (!ext->LoadAttributes()) m_bIncomplete = TRUE;
    for (int i = 0; i < 16; ++i) {
      if (!(w.second & (1u << i))) continue;
      DWORD type = (i + 1) * 0x10;
      CSList<CAttrBase>* from = ext->GetAttrList(type);
      CSList<CAttrBase>* to = owner->GetAttrList(type);
      from->ForEach([&](CAttrBase* a) { to->InsertEntry(a); });
      from->ThrowAll();
    }
  }
  if (m_bIncomplete) {
    DebugPrint(L"CAttr_AttrList::CAttr_AttrList error . Record %I64u: attribute list incomplete.\n",
               (unsigned long long)self);
    owner->MarkAttrListIncomplete();
  }
}

template class CAttr_Bitmap<CAttrResident>;
template class CAttr_Bitmap<CAttrNonResident>;
template class CAttr_AttrList<CAttrResident>;
template class CAttr_AttrList<CAttrNonResident>;

// ------------------------------------------------------------------ factory

CAttrBase* CreateNtfsAttribute(const ATTR_HEADER_COMMON* header, const CFileRecord* record) {
  if (!header || !record || !record->GetBuffer()) return nullptr;
  const BYTE* base = record->GetBuffer();
  DWORD room = record->GetBufferSize() - (DWORD)((const BYTE*)header - base);
  if (!CAttrBase::IsHeaderSane(header, room)) return nullptr;
  const bool nonRes = header->NonResident != 0;
  CAttrBase* a = nullptr;
  switch (header->Type) {
    case ATTR_TYPE_STANDARD_INFORMATION:
      if (nonRes) return nullptr;
      a = new CAttr_StdInfo(header, record);
      break;
    case ATTR_TYPE_ATTRIBUTE_LIST:
      if (nonRes) a = new CAttr_AttrList<CAttrNonResident>(header, record);
      else a = new CAttr_AttrList<CAttrResident>(header, record);
      break;
    case ATTR_TYPE_FILE_NAME: {
      if (nonRes) return nullptr;
      CAttr_FileName* fn = new CAttr_FileName(header, record);
      if (!fn->GetFileNameValue()) {
        delete fn;
        return nullptr;
      }
      a = fn;
      break;
    }
    case ATTR_TYPE_VOLUME_NAME:
      if (nonRes) return nullptr;
      a = new CAttr_VolName(header, record);
      break;
    case ATTR_TYPE_VOLUME_INFORMATION:
      if (nonRes) return nullptr;
      a = new CAttr_VolInfo(header, record);
      break;
    case ATTR_TYPE_DATA:
      if (nonRes) a = new CAttr_Data<CAttrNonResident>(header, record);
      else a = new CAttr_Data<CAttrResident>(header, record);
      break;
    case ATTR_TYPE_INDEX_ROOT:
      if (nonRes) return nullptr;
      a = new CAttr_IndexRoot(header, record);
      break;
    case ATTR_TYPE_INDEX_ALLOCATION:
      if (!nonRes) return nullptr;
      a = new CAttr_IndexAlloc(header, record);
      break;
    case ATTR_TYPE_BITMAP:
      if (nonRes) a = new CAttr_Bitmap<CAttrNonResident>(header, record);
      else a = new CAttr_Bitmap<CAttrResident>(header, record);
      break;
    default:
      if (nonRes) a = new CAttrNonResident(header, record);
      else a = new CAttrResident(header, record);
      break;
  }
  // A resident value that does not fit its attribute is damage.
  if (a && !nonRes && !static_cast<CAttrResident*>(a)->GetBody()) {
    delete a;
    return nullptr;
  }
  return a;
}
