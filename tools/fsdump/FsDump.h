// fsdump: lists every directory entry of a volume image, live and deleted,
// with the SHA-256 of the bytes the readers give back for it.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct FsDumpRow {
  std::wstring path;        // "/dir/name", '/'-separated, from the root
  uint64_t size = 0;        // size recorded in the entry
  bool deleted = false;
  uint64_t firstCluster = 0;  // first cluster (FAT/exFAT) or MFT record number (NTFS)
  std::string sha256;       // hex of the bytes read back; "-" for folders or unreadable data
};

// Each reader fills rows for the volume found at `offset` bytes into `image`.
// They return false when the volume is not theirs or cannot be opened.
bool DumpFatVolume(const std::wstring& image, uint64_t offset, std::vector<FsDumpRow>& rows);
bool DumpExFatVolume(const std::wstring& image, uint64_t offset, std::vector<FsDumpRow>& rows);
bool DumpNtfsVolume(const std::wstring& image, uint64_t offset, std::vector<FsDumpRow>& rows);

// Hex SHA-256 of a byte range (Windows CNG).
std::string Sha256Hex(const void* data, size_t len);
