// The thumbnail and preview texts and the thumbnail picture of ZIP-based
// files.
#pragma once

#include <windows.h>

#include <cstdint>

#include "plugins/common/ByteSource.h"

namespace zipfmt {

// The text for a file whose extension the buffer holds on entry: the words
// of a Word document, the cells of a workbook's first sheet, nothing for a
// presentation, the top-level entry names of any other archive. The
// document forms read the archive from `image` (the bytes at hand); the
// name list walks `names`. 1 with the text in the buffer, else 0.
int ArchiveText(const unsigned char* image, uint64_t imageSize, plugin::CByteSource& names,
                char* text, int capacity);

// The picture of "docProps/thumbnail.jpeg" (never for a Word document).
int ArchiveThumbnail(const unsigned char* image, uint64_t imageSize, HBITMAP* bitmap, int* width,
                     int* height, bool previewMode);

}  // namespace zipfmt
