// Attribute objects of an NTFS file record: resident and non-resident values,
// data runs, and the per-type classes.
#pragma once
#include <windows.h>
#include <cstdint>
#include <vector>
#include "storage/fs/NTFSList.h"
#include "storage/fs/NTFSFileRecord.h"

class CNTFSVolume;

struct tagDataRun_Entry {
  LONGLONG lcn;          // -1 for a sparse run
  ULONGLONG clusters;
  ULONGLONG startVcn;
  ULONGLONG lastVcn;
};

class CAttrBase {
 public:
  // `room` is how many bytes of the record buffer follow `header`.
  CAttrBase(const ATTR_HEADER_COMMON* header, const CFileRecord* record);
  virtual ~CAttrBase() {}
  virtual BOOL IsDataValid() const = 0;
  virtual ULONGLONG GetDataSize(ULONGLONG* allocSize = nullptr) const = 0;
  virtual BOOL ReadData(const ULONGLONG& offset, void* buffer, DWORD length, DWORD* read) const = 0;
  // ReadData into a buffer of `room` bytes (at least `length`): when the
  // last cluster asked for is a partial one and the buffer has room for all
  // of it, it is read with the clusters before it, so that a file's tail
  // costs no read of its own. The bytes past `length` are left undefined.
  virtual BOOL ReadDataInto(const ULONGLONG& offset, void* buffer, DWORD length, DWORD room, DWORD* read) const {
    (void)room;
    return ReadData(offset, buffer, length, read);
  }

  DWORD GetAttrType() const { return m_pAttrHeader->Type; }
  DWORD GetAttrTotalSize() const { return m_pAttrHeader->TotalSize; }
  BOOL IsNonResident() const { return m_pAttrHeader->NonResident != 0; }
  WORD GetAttrFlags() const { return m_pAttrHeader->Flags; }
  // Name of the attribute (stream name); its length, minus the needed length
  // when the buffer is too small, 0 for an unnamed attribute.
  int GetAttrName(wchar_t* buffer, DWORD units) const;
  const CFileRecord* GetFileRecord() const { return m_pFileRecord; }
  const ATTR_HEADER_COMMON* GetHeader() const { return m_pAttrHeader; }

  // Checks the parts of a header every attribute has: length and name lie
  // inside `room` bytes.
  static BOOL IsHeaderSane(const ATTR_HEADER_COMMON* header, DWORD room);

 protected:
  const ATTR_HEADER_COMMON* m_pAttrHeader;
  WORD m_wSectorSize;
  DWORD m_dwClusterSize;
  DWORD m_dwIndexBlockSize;
  HANDLE m_hVolume;
  ULONGLONG m_u64PartitionOffset;
  const CFileRecord* m_pFileRecord;
};

class CAttrResident : public CAttrBase {
 public:
  CAttrResident(const ATTR_HEADER_COMMON* header, const CFileRecord* record);
  BOOL IsDataValid() const override { return m_pAttrBody != nullptr; }
  ULONGLONG GetDataSize(ULONGLONG* allocSize = nullptr) const override;
  BOOL ReadData(const ULONGLONG& offset, void* buffer, DWORD length, DWORD* read) const override;
  const void* GetBody() const { return m_pAttrBody; }
  DWORD GetBodySize() const { return m_dwAttrBodySize; }

 protected:
  const BYTE* m_pAttrBody = nullptr;   // null when the value does not fit the attribute
  DWORD m_dwAttrBodySize = 0;
};

class CAttrNonResident : public CAttrBase {
 public:
  CAttrNonResident(const ATTR_HEADER_COMMON* header, const CFileRecord* record);
  ~CAttrNonResident() override;
  BOOL IsDataValid() const override { return m_bDataRunOK; }
  ULONGLONG GetDataSize(ULONGLONG* allocSize = nullptr) const override;
  BOOL ReadData(const ULONGLONG& offset, void* buffer, DWORD length, DWORD* read) const override;
  BOOL ReadDataInto(const ULONGLONG& offset, void* buffer, DWORD length, DWORD room, DWORD* read) const override;

  CSList<tagDataRun_Entry>& GetDataRunList() { return m_DataRunList; }
  const CSList<tagDataRun_Entry>& GetDataRunList() const { return m_DataRunList; }
  ULONGLONG GetStartVCN() const { return m_u64StartVcn; }
  // First VCN after the clusters this attribute's runs describe.
  ULONGLONG GetEndVCN() const { return m_u64EndVcn; }
  ULONGLONG GetInitializedSize() const;

  // Appends the runs of the next extent of the same stream (whose first VCN
  // is this attribute's end VCN). FALSE when it does not follow on.
  BOOL AppendExtent(const CAttrNonResident& next);

  // Reads `count` clusters from `startVcn` into `buffer` (room for at least
  // count clusters). `readBytes` receives what was read; the read stops at a
  // failed read or at a VCN no run covers.
  BOOL ReadVirtualClusters(ULONGLONG startVcn, DWORD count, void* buffer, DWORD bufferSize, DWORD* readBytes) const;
  // Device position (partition offset included) of byte `offset` of the
  // data; FALSE in a sparse run or where no run covers it.
  BOOL GetDevicePosition(ULONGLONG offset, ULONGLONG* position) const;

 protected:
  BOOL ParseDataRun();
  BOOL ReadClusters(void* buffer, ULONGLONG clusters, LONGLONG lcn) const;
  const tagDataRun_Entry* FindRun(ULONGLONG vcn) const;

  CSList<tagDataRun_Entry> m_DataRunList;
  BOOL m_bDataRunOK = FALSE;
  BYTE* m_pClusterBuffer = nullptr;
  ULONGLONG m_u64StartVcn = 0;
  ULONGLONG m_u64EndVcn = 0;      // exclusive; header last VCN + 1 (after joins, of the last extent)
  ULONGLONG m_u64DataSize = 0;
  ULONGLONG m_u64AllocSize = 0;
  ULONGLONG m_u64InitSize = 0;
  mutable const tagDataRun_Entry* m_pLastRun = nullptr;  // run-lookup hint
  mutable std::vector<const tagDataRun_Entry*> m_RunIndex;  // runs by first VCN, built on first lookup
};

// $STANDARD_INFORMATION
class CAttr_StdInfo : public CAttrResident {
 public:
  CAttr_StdInfo(const ATTR_HEADER_COMMON* header, const CFileRecord* record);
  // FILETIMEs as stored (UTC); FALSE when the value is too short.
  BOOL GetFileTime(FILETIME* modified, FILETIME* created, FILETIME* accessed) const;
  DWORD GetFilePermission() const;
  BOOL IsCompressed() const { return (GetFilePermission() & 0x800) != 0; }
  BOOL IsEncrypted() const { return (GetFilePermission() & 0x4000) != 0; }
};

// $VOLUME_NAME
class CAttr_VolName : public CAttrResident {
 public:
  CAttr_VolName(const ATTR_HEADER_COMMON* header, const CFileRecord* record);
  ~CAttr_VolName() override;
  int GetName(wchar_t* buffer, DWORD units) const;
  int GetName(char* buffer, DWORD bytes) const;

 private:
  wchar_t* m_pNameW = nullptr;
  char* m_pNameA = nullptr;
  int m_nNameLength = 0;
};

// $VOLUME_INFORMATION
class CAttr_VolInfo : public CAttrResident {
 public:
  CAttr_VolInfo(const ATTR_HEADER_COMMON* header, const CFileRecord* record);
  int GetVersion() const;
};

// $DATA, resident or not.
template <class BASE>
class CAttr_Data : public BASE {
 public:
  CAttr_Data(const ATTR_HEADER_COMMON* header, const CFileRecord* record) : BASE(header, record) {}
};

// $BITMAP
template <class BASE>
class CAttr_Bitmap : public BASE {
 public:
  CAttr_Bitmap(const ATTR_HEADER_COMMON* header, const CFileRecord* record);
  ULONGLONG GetBitmapSize() const { return m_u64BitmapSize; }

 private:
  ULONGLONG m_u64BitmapSize = 0;
};

// $ATTRIBUTE_LIST: pulls the listed attributes in from extension records.
template <class BASE>
class CAttr_AttrList : public BASE {
 public:
  CAttr_AttrList(const ATTR_HEADER_COMMON* header, const CFileRecord* record);
  CSList<CFileRecord>& GetExtensionRecords() { return m_FileRecordList; }
  // Set when an extension record could not be loaded: some attributes of
  // the file are missing.
  BOOL IsIncomplete() const { return m_bIncomplete; }

 private:
  CSList<CFileRecord> m_FileRecordList;
  BOOL m_bIncomplete = FALSE;
};

// Makes the typed attribute object for a header; null when it cannot.
CAttrBase* CreateNtfsAttribute(const ATTR_HEADER_COMMON* header, const CFileRecord* record);
