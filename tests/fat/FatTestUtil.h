// Helpers of the FAT and exFAT reader tests: private copies of images to
// damage, digests, directory look-ups.
#pragma once
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "storage/fs/ExFATVolume.h"
#include "storage/fs/FAT32Volume.h"
#include "storage/fs/FATVolume.h"
#include "tools/fsdump/FsDump.h"

namespace fattest {

// A private copy of an image (or of one member of a zip), deleted with the
// object. Its bytes are read and patched through one handle kept open while
// it lives (readers open it beside that handle, for reading).
struct TempImage {
  std::wstring path;
  explicit TempImage(const std::wstring& source, const char* zipMember = nullptr);
  ~TempImage();
  TempImage(const TempImage&) = delete;
  TempImage& operator=(const TempImage&) = delete;
  bool Io(uint64_t offset, void* data, DWORD size, bool write) const;
  bool Put(uint64_t offset, const void* data, DWORD size) const {
    return Io(offset, (void*)data, size, true);
  }
  bool Get(uint64_t offset, void* data, DWORD size) const { return Io(offset, data, size, false); }

 private:
  void Copy(const std::wstring& source, const char* zipMember, const std::wstring& target);
  HANDLE m_handle = INVALID_HANDLE_VALUE;
};

std::string Md5Hex(const std::vector<BYTE>& data);

// Reads the first `count` clusters of `list`, cut to `size` bytes.
template <class Vol, class List>
bool ReadList(Vol& vol, const List& list, size_t count, uint64_t size, std::vector<BYTE>& out) {
  out.clear();
  std::vector<BYTE> buf(vol.GetClusterSize());
  for (size_t i = 0; i < count && out.size() < size; ++i) {
    if (!vol.ReadCluster(list[i], buf.data(), (DWORD)buf.size())) return false;
    out.insert(out.end(), buf.begin(),
               buf.begin() + (size_t)std::min<uint64_t>(size - out.size(), buf.size()));
  }
  return out.size() == size;
}
// A folder through its chain (FAT16/FAT32; exFAT with its stream flags).
template <class Vol, class List, class... Flags>
bool ReadDir(Vol& vol, uint32_t first, std::vector<BYTE>& out, Flags... flags) {
  List list;
  return vol.GetFileClusterList((typename List::value_type)first, list, 0, flags...) &&
         ReadList(vol, list, list.GetCount(), (uint64_t)list.GetCount() * vol.GetClusterSize(), out);
}
inline const FatDirEntry* Entries(const std::vector<BYTE>& dir) {
  return reinterpret_cast<const FatDirEntry*>(dir.data());
}
// The fixed root directory of a FAT16 volume.
inline bool ReadRoot16(CFATVolume& vol, std::vector<BYTE>& out) {
  uint16_t count = 0;
  BYTE* raw = vol.ReadRootDirectory(&count);
  if (raw) out.assign(raw, raw + count * 32u);
  delete[] raw;
  return raw != nullptr;
}
// Index of the FAT short entry whose long (else short) name is `name`; -1 if none.
template <class Vol>
int FindEntry(Vol& vol, const std::vector<BYTE>& dir, const std::wstring& name) {
  for (size_t i = 0; i < dir.size() / 32 && Entries(dir)[i].name[0]; ++i) {
    if (Entries(dir)[i].attr == kFatAttrLongName) continue;
    std::wstring n = vol.GetLongName(Entries(dir), i);
    if ((n.empty() ? vol.GetShortName(&Entries(dir)[i]) : n) == name) return (int)i;
  }
  return -1;
}
// The exFAT entry set named `name` in a folder's bytes; count 0 if none.
ExFatEntrySet FindExFatSet(const std::vector<BYTE>& dir, const std::wstring& name);

// fsdump's row for `path`, or null.
const FsDumpRow* FindRow(const std::vector<FsDumpRow>& rows, const std::wstring& path);

}  // namespace fattest
