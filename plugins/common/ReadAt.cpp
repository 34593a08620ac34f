#include "plugins/common/ReadAt.h"

#include <cstring>

namespace plugin {

bool ReadAbsolute(CReaderCursor& cur, uint64_t offset, void* out, uint64_t n) {
  if (!cur.IsUsable()) return false;
  const uint64_t limit = cur.Limit();
  if (offset > limit || n > limit - offset) return false;
  unsigned char* dst = static_cast<unsigned char*>(out);
  while (n > 0) {
    if (!cur.SeekTo(offset)) return false;
    if (cur.LastError() != 0) {
      cur.ClearError();
      return false;
    }
    uint64_t piece = cur.Trusted();
    if (piece == 0) return false;
    if (piece > n) piece = n;
    memcpy(dst, cur.Data(), static_cast<size_t>(piece));
    dst += piece;
    offset += piece;
    n -= piece;
  }
  return true;
}

}  // namespace plugin
