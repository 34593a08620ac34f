#include "MemoryZip.h"

#include <cstring>

#include "ioapi.h"
#include "unzip.h"

namespace riff {
namespace {

// The archive's bytes as a read-only minizip file.
struct MemoryFile {
  const unsigned char* data;
  uint64_t size;
  uint64_t pos;
};

voidpf ZCALLBACK MemOpen(voidpf, const void* file, int mode) {
  if ((mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ) return nullptr;
  return const_cast<void*>(file);
}

uLong ZCALLBACK MemRead(voidpf, voidpf stream, void* buf, uLong size) {
  MemoryFile* f = static_cast<MemoryFile*>(stream);
  if (f->pos >= f->size) return 0;
  uint64_t n = f->size - f->pos;
  if (n > size) n = size;
  memcpy(buf, f->data + f->pos, static_cast<size_t>(n));
  f->pos += n;
  return static_cast<uLong>(n);
}

uLong ZCALLBACK MemWrite(voidpf, voidpf, const void*, uLong) { return 0; }

ZPOS64_T ZCALLBACK MemTell(voidpf, voidpf stream) { return static_cast<MemoryFile*>(stream)->pos; }

long ZCALLBACK MemSeek(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
  MemoryFile* f = static_cast<MemoryFile*>(stream);
  uint64_t base;
  switch (origin) {
    case ZLIB_FILEFUNC_SEEK_SET: base = 0; break;
    case ZLIB_FILEFUNC_SEEK_CUR: base = f->pos; break;
    case ZLIB_FILEFUNC_SEEK_END: base = f->size; break;
    default: return -1;
  }
  if (offset > f->size || base > f->size - offset) return -1;
  f->pos = base + offset;
  return 0;
}

int ZCALLBACK MemClose(voidpf, voidpf) { return 0; }
int ZCALLBACK MemError(voidpf, voidpf) { return 0; }

}  // namespace

bool ReadZipEntry(const unsigned char* data, uint64_t size, const char* name, uint64_t maxBytes,
                  std::vector<unsigned char>* out) {
  if (data == nullptr || size == 0 || name == nullptr || out == nullptr) return false;
  MemoryFile file = {data, size, 0};
  zlib_filefunc64_def io;
  io.zopen64_file = MemOpen;
  io.zread_file = MemRead;
  io.zwrite_file = MemWrite;
  io.ztell64_file = MemTell;
  io.zseek64_file = MemSeek;
  io.zclose_file = MemClose;
  io.zerror_file = MemError;
  io.opaque = nullptr;
  unzFile zip = unzOpen2_64(&file, &io);
  if (zip == nullptr) return false;
  bool ok = false;
  unz_file_info64 entry;
  if (unzLocateFile(zip, name, 1) == UNZ_OK &&
      unzGetCurrentFileInfo64(zip, &entry, nullptr, 0, nullptr, 0, nullptr, 0) == UNZ_OK &&
      entry.uncompressed_size > 0 && entry.uncompressed_size <= maxBytes &&
      unzOpenCurrentFile(zip) == UNZ_OK) {
    bool room = true;
    try {
      out->resize(static_cast<size_t>(entry.uncompressed_size));
    } catch (...) {
      room = false;
    }
    // minizip stops at the declared size, so a stream that inflates to more is
    // cut there; a shorter one, or a checksum that does not match, fails.
    uint64_t got = 0;
    while (room && got < entry.uncompressed_size) {
      uint64_t want = entry.uncompressed_size - got;
      if (want > 0x10000000) want = 0x10000000;
      const int n = unzReadCurrentFile(zip, out->data() + got, static_cast<unsigned>(want));
      if (n <= 0) break;
      got += static_cast<uint64_t>(n);
    }
    const int closed = unzCloseCurrentFile(zip);
    ok = room && got == entry.uncompressed_size && closed == UNZ_OK;
  }
  unzClose(zip);
  return ok;
}

}  // namespace riff
