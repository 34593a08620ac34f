// The text entries of a plug-in whose thumbnail and preview texts both come
// from one walk over the file's bytes: the thumbnail form over the program's
// reader (at most the item's size), the preview form over the memory image.
//   int ListNames(plugin::CByteSource& file, char* text, int capacity);
//   DELVARO_PLUGIN_TEXT_ENTRIES(ListNames, 7)   // files of 7 bytes or less give no text
#pragma once

#include "plugins/common/ByteSource.h"
#include "plugins/common/PluginExports.h"

#define DELVARO_PLUGIN_TEXT_ENTRIES(listFn, minSize)                                           \
  DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetThumbnailText(CDiskMappingPointer* reader,        \
                                                           int64_t size, char* text,           \
                                                           int capacity) {                     \
    DELVARO_PLUGIN_GUARD_BEGIN                                                                 \
    if (reader == nullptr || size <= (minSize)) return 0;                                      \
    plugin::CReaderSource file(reader, static_cast<uint64_t>(size));                           \
    return listFn(file, text, capacity);                                                       \
    DELVARO_PLUGIN_GUARD_END                                                                   \
  }                                                                                            \
  DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetPreviewText(const void* data, int64_t size,       \
                                                         char* text, int capacity) {           \
    DELVARO_PLUGIN_GUARD_BEGIN                                                                 \
    if (data == nullptr || size <= (minSize)) return 0;                                        \
    plugin::CMemorySource file(data, static_cast<uint64_t>(size));                             \
    return listFn(file, text, capacity);                                                       \
    DELVARO_PLUGIN_GUARD_END                                                                   \
  }                                                                                            \
  DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetThumbnailBitmap(CDiskMappingPointer*, int64_t,    \
                                                             HBITMAP*, int*, int*) {           \
    return 0;                                                                                  \
  }
