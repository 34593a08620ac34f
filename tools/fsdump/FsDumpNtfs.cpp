// fsdump rows for an NTFS volume: one row per MFT record that carries a name,
// live or deleted, with its path rebuilt from the parent references.
#include <windows.h>

#include <string>
#include <vector>

#include "storage/fs/NTFSAttr.h"
#include "storage/fs/NTFSFileRecord.h"
#include "storage/fs/NTFSIndex.h"
#include "storage/fs/NTFSVolume.h"
#include "tools/fsdump/FsDump.h"

namespace {
const ULONGLONG kRootRecord = 5;
const ULONGLONG kMaxHashedSize = 256ull << 20;  // larger files are listed without a hash
const int kMaxDepth = 1024;

struct RecordInfo {
  bool valid = false;      // a base record with a name
  bool inUse = false;
  bool dir = false;
  WORD seq = 0;
  ULONGLONG parent = (ULONGLONG)-1;
  WORD parentSeq = 0;
  std::wstring name;
  ULONGLONG size = 0;
  bool hasData = false;
};

// Chooses the name a listing shows: the first long (non-DOS) name, else any.
const CAttr_FileName* PickName(CFileRecord& rec) {
  const CAttr_FileName* any = nullptr;
  for (CAttrBase* a = rec.FindFirstAttr(ATTR_TYPE_FILE_NAME); a; a = rec.FindNextAttr(ATTR_TYPE_FILE_NAME)) {
    const CAttr_FileName* fn = static_cast<const CAttr_FileName*>(a);
    if (fn->IsWin32Name()) return fn;
    if (!any && fn->GetFileNameValue() && fn->GetFileNameValue()->NameLength) any = fn;
  }
  return any;
}

std::string HashStream(const CAttrBase* data) {
  ULONGLONG size = data->GetDataSize();
  if (size > kMaxHashedSize) return "-";
  std::vector<BYTE> buf((size_t)size);
  const DWORD chunk = 65536;
  for (ULONGLONG off = 0; off < size;) {
    DWORD want = (DWORD)(size - off < chunk ? size - off : chunk);
    DWORD got = 0;
    if (!data->ReadData(off, buf.data() + off, want, &got) || got != want) return "-";
    off += want;
  }
  return Sha256Hex(buf.data(), buf.size());
}
}  // namespace

bool DumpNtfsVolume(const std::wstring& image, uint64_t offset, std::vector<FsDumpRow>& rows) {
  CLostNTFSVolume vol(image.c_str(), offset);
  if (!vol.IsVolumeOK()) return false;
  ULONGLONG count = vol.GetRecordCount();
  if (count == 0) return false;
  // No more records than the image can hold.
  HANDLE h = CreateFileW(image.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         0, nullptr);
  if (h != INVALID_HANDLE_VALUE) {
    LARGE_INTEGER size;
    if (GetFileSizeEx(h, &size) && (ULONGLONG)size.QuadPart / vol.GetFileRecordSize() < count)
      count = (ULONGLONG)size.QuadPart / vol.GetFileRecordSize();
    CloseHandle(h);
  }

  std::vector<RecordInfo> info((size_t)count);
  CFileRecord rec(&vol);
  for (ULONGLONG i = 0; i < count; ++i) {
    rec.SetAttrMask(NtfsAttrMask(ATTR_TYPE_FILE_NAME) | NtfsAttrMask(ATTR_TYPE_DATA));
    if (!rec.LoadRecord(i) || rec.GetBaseRecord() != 0) continue;
    rec.LoadAttributes();  // a damaged record keeps what was parsed before the damage
    const CAttr_FileName* fn = PickName(rec);
    if (!fn) continue;
    RecordInfo& r = info[(size_t)i];
    r.valid = true;
    r.inUse = !rec.IsDeleted();
    r.dir = rec.IsDirectory() != 0;
    r.seq = rec.GetSequenceNumber();
    r.parent = fn->GetParentRecord();
    r.parentSeq = fn->GetParentSequence();
    wchar_t name[kNtfsMaxName + 2];
    int n = fn->GetName(name, kNtfsMaxName + 2);
    r.name.assign(name, n > 0 ? n : 0);
    const CAttrBase* data = rec.FindDataStream(nullptr);
    if (data && !r.dir) {
      r.hasData = true;
      r.size = data->GetDataSize();
    }
  }

  for (ULONGLONG i = 0; i < count; ++i) {
    const RecordInfo& r = info[(size_t)i];
    if (!r.valid || i == kRootRecord) continue;
    // Climb the parent references. A parent that is not a directory, or
    // whose sequence number shows it was reused, breaks the chain: the file
    // is then an orphan.
    std::vector<ULONGLONG> chain{i};
    bool rooted = false;
    ULONGLONG cur = i;
    for (int depth = 0; depth < kMaxDepth; ++depth) {
      const RecordInfo& c = info[(size_t)cur];
      ULONGLONG p = c.parent;
      if (p == kRootRecord) {
        rooted = true;
        break;
      }
      if (p >= count) break;
      const RecordInfo& pr = info[(size_t)p];
      if (!pr.valid || !pr.dir) break;
      // Freeing a record bumps its sequence number.
      bool seqOk = pr.seq == c.parentSeq || (!pr.inUse && (WORD)(c.parentSeq + 1) == pr.seq);
      if (!seqOk) break;
      bool loop = false;
      for (ULONGLONG v : chain) loop |= v == p;
      if (loop) break;
      chain.push_back(p);
      cur = p;
    }
    std::wstring path = rooted ? L"" : L"/$OrphanFiles";
    for (size_t k = chain.size(); k-- > 0;) path += L"/" + info[(size_t)chain[k]].name;

    FsDumpRow row;
    row.path = path;
    row.deleted = !r.inUse;
    row.firstCluster = i;
    row.size = r.size;
    row.sha256 = "-";
    if (r.hasData) {
      rec.SetAttrMask(NtfsAttrMask(ATTR_TYPE_DATA));
      if (rec.LoadRecord(i) && rec.LoadAttributes()) {
        const CAttrBase* data = rec.FindDataStream(nullptr);
        if (data) row.sha256 = HashStream(data);
      }
    }
    rows.push_back(row);
  }
  return true;
}
