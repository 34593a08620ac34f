// Thumbnail and preview entries shared by the picture plug-ins whose bytes
// GDI+ decodes directly (JPEG, GIF, bitmap, icon). Compiled into each of
// those DLLs so that every one exports them under its own name table.
#include "plugins/common/PluginExports.h"
#include "plugins/common/ThumbnailHelpers.h"

DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetThumbnailText(CDiskMappingPointer*, int64_t, char*,
                                                         int) {
  return 0;
}

DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetThumbnailBitmap(CDiskMappingPointer* reader,
                                                           int64_t size, HBITMAP* bitmap,
                                                           int* width, int* height) {
  DELVARO_PLUGIN_GUARD_BEGIN
  return plugin::MakeThumbnailFromReader(reader, size, bitmap, width, height, false);
  DELVARO_PLUGIN_GUARD_END
}

DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetPreviewBitmap(const void* data, int64_t size,
                                                         HBITMAP* bitmap, int* width,
                                                         int* height) {
  DELVARO_PLUGIN_GUARD_BEGIN
  // The preview is fitted into the thumbnail box like a thumbnail.
  return plugin::MakeThumbnail(data, size, bitmap, width, height, false);
  DELVARO_PLUGIN_GUARD_END
}
