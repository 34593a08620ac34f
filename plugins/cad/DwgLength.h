// Where a DWG drawing ends, by the structures of its version:
//  - releases 13 to 2000 (AC1012 to AC1015) list their sections in a
//    locator table behind the file header, and keep their preview images
//    in an area the header points to; the drawing ends with the furthest of
//    them;
//  - releases 2004, 2010, 2013 and 2018 (AC1018, AC1024, AC1027, AC1032)
//    carry an encrypted file header at 0x80 that gives the address of its
//    copy at the very end of the file;
//  - release 2007 (AC1021) carries a Reed-Solomon coded, compressed file
//    header at 0x80 that states the file's size.
// Older drawings, and drawings whose header fails its checks, have no such
// answer.
#pragma once

#include <cstdint>

#include "plugins/common/ByteSource.h"

namespace dwgfmt {

// The drawing's length from its own structures, or 0 when they do not say.
uint64_t StructuredLength(plugin::CByteSource& src);

// Decodes the compressed stream of a release 2007 header section: src of
// srcSize bytes into dst of dstSize bytes. False on malformed data.
bool Decompress2007(const unsigned char* src, size_t srcSize, unsigned char* dst, size_t dstSize);

}  // namespace dwgfmt
