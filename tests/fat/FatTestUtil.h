// Helpers of the FAT and exFAT reader tests: private copies of fixture
// images to damage, byte patches, unpacking of the public corpus zips,
// digests, the expected contents of fixture files, and directory look-ups.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "storage/fs/ExFATVolume.h"
#include "storage/fs/FAT32Volume.h"
#include "storage/fs/FATVolume.h"
#include "tools/fsdump/FsDump.h"

namespace fattest {

// Copies a file into a fresh temporary folder; empty on failure.
std::wstring CopyToTemp(const std::wstring& source, const wchar_t* tag);
// Deletes a temporary copy and its folder.
void RemoveTemp(const std::wstring& path);
bool WriteAt(const std::wstring& path, uint64_t offset, const void* data, DWORD size);
bool ReadAt(const std::wstring& path, uint64_t offset, void* data, DWORD size);
uint64_t FileSize(const std::wstring& path);
// Extracts one member of a zip into a temporary file; empty on failure.
std::wstring UnzipToTemp(const std::wstring& zip, const char* member);

std::string Md5Hex(const std::vector<BYTE>& data);
std::string Sha256Of(const std::vector<BYTE>& data);
// What the fixture script wrote into the file it generated under `name`.
std::vector<BYTE> ExpectedContent(const std::string& name, size_t size);

// Reads a file the way the readers recover it: the cluster list, cut to `size`.
template <class Vol, class List>
bool ReadList(Vol& vol, const List& list, uint64_t size, std::vector<BYTE>& out) {
  out.clear();
  std::vector<BYTE> buf(vol.GetClusterSize());
  for (size_t i = 0; i < list.GetCount() && out.size() < size; ++i) {
    if (!vol.ReadCluster(list[i], buf.data(), (DWORD)buf.size())) return false;
    uint64_t take = size - out.size();
    if (take > buf.size()) take = buf.size();
    out.insert(out.end(), buf.begin(), buf.begin() + (size_t)take);
  }
  return out.size() == size;
}

// A directory of a FAT volume as raw 32-byte entries.
struct FatDir {
  std::vector<BYTE> bytes;
  const FatDirEntry* Entries() const { return reinterpret_cast<const FatDirEntry*>(bytes.data()); }
  size_t Count() const { return bytes.size() / 32; }
};
bool ReadFat32Dir(CFAT32Volume& vol, uint32_t cluster, FatDir& dir);
bool ReadFat16Root(CFATVolume& vol, FatDir& dir);
bool ReadFat16Dir(CFATVolume& vol, uint16_t cluster, FatDir& dir);
// Index of the short entry whose long (else short) name is `name`; -1 if none.
template <class Vol>
int FindEntry(Vol& vol, const FatDir& dir, const std::wstring& name) {
  for (size_t i = 0; i < dir.Count(); ++i) {
    const FatDirEntry& e = dir.Entries()[i];
    if (e.name[0] == 0) break;
    if (e.attr == kFatAttrLongName) continue;
    std::wstring n = vol.GetLongName(dir.Entries(), i);
    if (n.empty()) n = vol.GetShortName(&e);
    if (n == name) return (int)i;
  }
  return -1;
}

// An exFAT directory and the entry sets in it.
struct ExFatDir {
  std::vector<BYTE> bytes;
  size_t Count() const { return bytes.size() / 32; }
};
bool ReadExFatDir(CExFATVolume& vol, uint32_t first, uint64_t length, BYTE flags, ExFatDir& dir);
// Entry set (file entry index) named `name`; -1 if none.
int FindExFatSet(const ExFatDir& dir, const std::wstring& name);
ExFatEntrySet SetAt(const ExFatDir& dir, int index);

// Rows of fsdump's FAT walk, by path.
const FsDumpRow* FindRow(const std::vector<FsDumpRow>& rows, const std::wstring& path);

}  // namespace fattest
