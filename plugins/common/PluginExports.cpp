#include "plugins/common/PluginExports.h"

#include <cstring>

namespace plugin {

void CopyFormatName(char* out, const char* name) {
  if (out == nullptr || name == nullptr) return;
  size_t n = 0;
  while (n < FORMAT_NAME_SIZE - 1 && name[n] != '\0') ++n;
  memcpy(out, name, n);
  out[n] = '\0';
}

int FillSignature(void* out, const unsigned char* bytes, uint32_t count) {
  if (out == nullptr || bytes == nullptr || count == 0 || count >= FILE_SIGN_MAX) return 0;
  FileSignRecord* rec = static_cast<FileSignRecord*>(out);
  memcpy(rec->signature, bytes, count);
  rec->count = count;
  return 1;
}

void SetRawFormat(RawFileInfo* info, const char* extension) {
  size_t n = 0;
  while (n < RAWINFO_FORMAT_SIZE - 1 && extension[n] != '\0') ++n;
  memset(info->format, 0, sizeof(info->format));
  memcpy(info->format, extension, n);
  info->flags |= RAWINFO_HAS_FORMAT;
}

void SetRawValid(RawFileInfo* info) {
  info->valid = 1;
  info->flags |= RAWINFO_HAS_VALID;
}

void SetRawLength(RawFileInfo* info, uint64_t length) {
  info->length = length;
  info->flags |= RAWINFO_HAS_LENGTH;
}

void SetRawFound(RawFileInfo* info, uint64_t length, const char* extension) {
  SetRawLength(info, length);
  SetRawFormat(info, extension);
  SetRawValid(info);
}

}  // namespace plugin
