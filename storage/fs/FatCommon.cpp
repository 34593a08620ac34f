#include "storage/fs/FatCommon.h"

#include "storage/DeviceIo.h"

#include <cstdio>
#include <cstring>
#include <cwctype>

namespace fatcommon {

std::wstring FormatDosTime(WORD date, WORD time) {
  wchar_t buf[64];
  _snwprintf(buf, 63, L"%04d-%02d-%02d  %02d:%02d", ((date >> 9) & 0x7F) + 1980, (date >> 5) & 0x0F,
             date & 0x1F, (time >> 11) & 0x1F, (time >> 5) & 0x3F);
  buf[63] = 0;
  return buf;
}

namespace {
std::wstring FromAnsi(const char* bytes, int len) {
  if (len <= 0) return L"";
  wchar_t wide[32];
  int n = MultiByteToWideChar(CP_ACP, 0, bytes, len, wide, 32);
  if (n <= 0) return L"";
  return std::wstring(wide, n);
}

// Windows keeps an all-lower-case 8.3 name as upper case plus a flag in byte 12
// (0x08 the name, 0x10 the extension).
void LowerAscii(char* text, int n) {
  for (int i = 0; i < n; ++i)
    if (text[i] >= 'A' && text[i] <= 'Z') text[i] = (char)(text[i] - 'A' + 'a');
}

int CutAtBlank(const uint8_t* bytes, int max) {
  int n = 0;
  while (n < max && bytes[n] != ' ') ++n;
  return n;
}
}  // namespace

std::wstring ShortName(const FatDirEntry& entry) {
  char name[13] = {};
  int n = CutAtBlank(entry.name, 8);
  memcpy(name, entry.name, n);
  if (n > 0 && entry.name[0] == kFatDeletedMark) name[0] = '_';
  else if (n > 0 && entry.name[0] == 0x05) name[0] = (char)0xE5;
  if (entry.ntReserved & 0x08) LowerAscii(name, n);
  std::wstring text = FromAnsi(name, n);
  if (!(entry.attr & kFatAttrDirectory)) {
    char ext[4] = {};
    int e = CutAtBlank(entry.ext, 3);
    memcpy(ext, entry.ext, e);
    if (entry.ntReserved & 0x10) LowerAscii(ext, e);
    text += L".";
    text += FromAnsi(ext, e);
  }
  return text;
}

uint8_t ShortNameChecksum(const uint8_t* name11) {
  uint8_t sum = 0;
  for (int i = 0; i < 11; ++i) sum = (uint8_t)(((sum & 1) << 7) + (sum >> 1) + name11[i]);
  return sum;
}

std::wstring LongName(const FatDirEntry* entries, size_t index) {
  if (!entries || index == 0) return L"";
  const FatDirEntry& shortEntry = entries[index];
  const bool deleted = shortEntry.name[0] == kFatDeletedMark;
  // A live short entry names its long-name entries by checksum. A deleted
  // one has lost its first byte, so its long-name entries must be deleted
  // too and agree among themselves.
  const uint8_t checksum = ShortNameChecksum(shortEntry.name);
  std::wstring name;
  bool first = true;
  uint8_t setChecksum = 0;
  for (size_t i = index; i-- > 0;) {
    const FatLongNameEntry& ln = reinterpret_cast<const FatLongNameEntry&>(entries[i]);
    if (ln.attr != kFatAttrLongName) break;
    const bool lnDeleted = ln.order == kFatDeletedMark;
    if (lnDeleted != deleted) break;
    if (!deleted && ln.checksum != checksum) break;
    if (deleted) {
      if (first) setChecksum = ln.checksum;
      else if (ln.checksum != setChecksum) break;
    }
    first = false;
    uint16_t units[13];
    memcpy(units, ln.name1, 10);
    memcpy(units + 5, ln.name2, 12);
    memcpy(units + 11, ln.name3, 4);
    bool ended = false;
    for (int k = 0; k < 13; ++k) {
      if (units[k] == 0x0000 || units[k] == 0xFFFF) {
        ended = true;
        break;
      }
      name += (wchar_t)units[k];
    }
    if (ended) break;
    if (!deleted && (ln.order & 0x40)) break;  // the last (first stored) part
  }
  return name;
}

BOOL ReadExact(HANDLE h, uint64_t offset, void* buffer, DWORD size) {
  if (h == NULL || h == INVALID_HANDLE_VALUE || !buffer || size == 0) return FALSE;
  return ReadAt(h, offset, buffer, size) == size;
}

DWORD ReadUpTo(HANDLE h, uint64_t offset, void* buffer, DWORD size) {
  if (h == NULL || h == INVALID_HANDLE_VALUE || !buffer || size == 0) return 0;
  return ReadAt(h, offset, buffer, size);
}

HANDLE OpenReadOnly(const wchar_t* path) { return OpenRawReadOnly(path, FILE_ATTRIBUTE_READONLY); }

BOOL ReadFatBootFields(const BYTE* boot, uint32_t fatSectors, FatBootFields* out) {
  FatBootFields f = {};
  f.bytesPerSector = Le16(boot + 11);
  f.sectorsPerCluster = boot[13];
  f.reservedSectors = Le16(boot + 14);
  f.numberOfFats = boot[16];
  f.fatSectors = fatSectors;
  f.totalSectors = Le16(boot + 19);
  if (f.totalSectors == 0) f.totalSectors = Le32(boot + 32);
  if (f.bytesPerSector < 512 || f.bytesPerSector > 4096 || !IsPowerOfTwo(f.bytesPerSector) ||
      !IsPowerOfTwo(f.sectorsPerCluster) || f.reservedSectors == 0 || f.numberOfFats == 0 ||
      f.fatSectors == 0)
    return FALSE;
  f.fat1Offset = (uint64_t)f.reservedSectors * f.bytesPerSector;
  f.fatBytes = (uint64_t)f.fatSectors * f.bytesPerSector;
  *out = f;
  return TRUE;
}

DWORD LoadFatPage(HANDLE h, uint64_t fatStart, uint64_t fatBytes, uint64_t pageIndex, void* page,
                  DWORD pageSize, DWORD sectorBytes) {
  memset(page, 0, pageSize);
  const uint64_t pageStart = pageIndex * pageSize;
  if (pageStart >= fatBytes) return 0;
  const uint64_t left = fatBytes - pageStart;
  if (h == NULL || h == INVALID_HANDLE_VALUE) return 0;
  return ReadAtAligned(h, fatStart + pageStart, page, left < pageSize ? (DWORD)left : pageSize, sectorBytes);
}

}  // namespace fatcommon
