#include "plugins/common/MemoryZip.h"

#include <cstring>

namespace plugin {

namespace {

// The file-function table: the "path" handed to minizip is the ZipMemFile.
// These run inside minizip's C code and must never throw.

voidpf ZCALLBACK MemOpen(voidpf, const void* path, int mode) {
  return (mode & ZLIB_FILEFUNC_MODE_WRITE) ? nullptr : const_cast<void*>(path);
}

uLong ZCALLBACK MemRead(voidpf, voidpf stream, void* buf, uLong size) {
  ZipMemFile* f = static_cast<ZipMemFile*>(stream);
  if (f->pos >= f->size) return 0;
  const uint64_t left = f->size - f->pos;
  const uLong n = left < size ? static_cast<uLong>(left) : size;
  memcpy(buf, f->data + f->pos, n);
  f->pos += n;
  return n;
}

uLong ZCALLBACK MemWrite(voidpf, voidpf, const void*, uLong) { return 0; }

ZPOS64_T ZCALLBACK MemTell(voidpf, voidpf stream) { return static_cast<ZipMemFile*>(stream)->pos; }

long ZCALLBACK MemSeek(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
  ZipMemFile* f = static_cast<ZipMemFile*>(stream);
  uint64_t base = 0;
  if (origin == ZLIB_FILEFUNC_SEEK_CUR)
    base = f->pos;
  else if (origin == ZLIB_FILEFUNC_SEEK_END)
    base = f->size;
  else if (origin != ZLIB_FILEFUNC_SEEK_SET)
    return -1;
  if (offset > f->size || base > f->size - offset) return -1;
  f->pos = base + offset;
  return 0;
}

int ZCALLBACK MemClose(voidpf, voidpf) { return 0; }
int ZCALLBACK MemError(voidpf, voidpf) { return 0; }

}  // namespace

CMemoryZip::CMemoryZip(const void* data, uint64_t size) : m_file(), m_zip(nullptr) {
  if (data == nullptr || size == 0) return;
  m_file.data = static_cast<const unsigned char*>(data);
  m_file.size = size;
  m_file.pos = 0;
  zlib_filefunc64_def funcs;
  funcs.zopen64_file = MemOpen;
  funcs.zread_file = MemRead;
  funcs.zwrite_file = MemWrite;
  funcs.ztell64_file = MemTell;
  funcs.zseek64_file = MemSeek;
  funcs.zclose_file = MemClose;
  funcs.zerror_file = MemError;
  funcs.opaque = nullptr;
  m_zip = unzOpen2_64(&m_file, &funcs);
}

CMemoryZip::~CMemoryZip() {
  if (m_zip) unzClose(m_zip);
}

bool CMemoryZip::Current(EntryInfo* info) {
  unz_file_info64 fi;
  char name[1024];
  if (unzGetCurrentFileInfo64(m_zip, &fi, name, sizeof(name) - 1, nullptr, 0, nullptr, 0) != UNZ_OK)
    return false;
  const size_t n = fi.size_filename < sizeof(name) - 1 ? fi.size_filename : sizeof(name) - 1;
  info->name.assign(name, n);
  info->size = fi.uncompressed_size;
  info->flags = static_cast<uint16_t>(fi.flag);
  return unzGetFilePos64(m_zip, &info->where) == UNZ_OK;
}

bool CMemoryZip::ReadEntry(const EntryInfo& entry, uint64_t maxBytes, std::string* out) {
  out->clear();
  if (!m_zip || entry.size == 0 || entry.size > maxBytes || (entry.flags & 1)) return false;
  unz64_file_pos where = entry.where;
  if (unzGoToFilePos64(m_zip, &where) != UNZ_OK) return false;
  if (unzOpenCurrentFile(m_zip) != UNZ_OK) return false;
  bool ok = true;
  try {
    out->resize(static_cast<size_t>(entry.size));
  } catch (...) {
    ok = false;  // out of memory: the entry is skipped
  }
  uint64_t got = 0;
  while (ok && got < entry.size) {
    uint64_t want = entry.size - got;
    if (want > (1u << 20)) want = 1u << 20;
    const int n = unzReadCurrentFile(m_zip, &(*out)[static_cast<size_t>(got)], static_cast<unsigned>(want));
    if (n <= 0) ok = false;
    got += n > 0 ? static_cast<uint64_t>(n) : 0;
  }
  // A stream that inflates to more is cut at the claimed size; a checksum
  // that does not match refuses the entry.
  if (unzCloseCurrentFile(m_zip) != UNZ_OK) ok = false;
  if (!ok) out->clear();
  return ok;
}

bool CMemoryZip::Find(const char* name, EntryInfo* found) {
  bool hit = false;
  ForEach([&](const EntryInfo& e) {
    if (e.name == name) {
      *found = e;
      hit = true;
    }
    return !hit;
  });
  return hit;
}

bool ReadZipEntry(const unsigned char* data, uint64_t size, const char* name, uint64_t maxBytes,
                  std::vector<unsigned char>* out) {
  if (name == nullptr || out == nullptr) return false;
  CMemoryZip zip(data, size);
  EntryInfo entry;
  std::string bytes;
  if (!zip.Find(name, &entry) || !zip.ReadEntry(entry, maxBytes, &bytes)) return false;
  out->assign(bytes.begin(), bytes.end());
  return true;
}

}  // namespace plugin
