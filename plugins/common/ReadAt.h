// Reads of a plug-in at absolute source offsets, through the program's reader.
#pragma once

#include <cstdint>

#include "plugins/common/ReaderCursor.h"

namespace plugin {

// Copies n bytes at the absolute source offset into out. The cursor moves
// there (the window is reloaded only when the bytes lie outside its trusted
// half) and the bytes are taken in pieces of at most the trusted bytes at a
// time. False, with out partly written, when any byte lies past the end of the
// source or a read fails (the error is cleared).
bool ReadAbsolute(CReaderCursor& cur, uint64_t offset, void* out, uint64_t n);

}  // namespace plugin
