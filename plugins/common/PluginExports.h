// Declarations of the entries a plug-in DLL exports, so that every plug-in
// defines them with the same C signatures. Included only by plug-in sources
// (the program binds the entries through the PFN_* types of PluginContract.h).
#pragma once

#include "plugins/common/PluginContract.h"

DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetSupportFormat(char* formatName);
DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetFileSign(void* out);
DELVARO_PLUGIN_EXPORT int64_t DELVARO_CDECL GetFileSizeAtOnce(const unsigned char* data);
DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetRawFileInfo(CDiskMappingPointer* reader,
                                                       RawFileInfo* info);
DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetThumbnailText(CDiskMappingPointer* reader,
                                                         int64_t size, char* text,
                                                         int capacity);
DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetPreviewText(const void* data, int64_t size,
                                                       char* text, int capacity);
DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetThumbnailBitmap(CDiskMappingPointer* reader,
                                                           int64_t size, HBITMAP* bitmap,
                                                           int* width, int* height);
DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetPreviewBitmap(const void* data, int64_t size,
                                                         HBITMAP* bitmap, int* width,
                                                         int* height);

// Every export body runs inside this guard: nothing thrown (a C++ exception
// or a bad_alloc) crosses the DLL boundary; the entry reports 0 instead.
#define DELVARO_PLUGIN_GUARD_BEGIN try {
#define DELVARO_PLUGIN_GUARD_END \
  }                              \
  catch (...) {                  \
    return 0;                    \
  }

// DllMain and the format-name entry, the same in every plug-in.
#define DELVARO_PLUGIN_NAME_ENTRIES(formatNameText)                            \
  BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }               \
  DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetSupportFormat(char* formatName) { \
    plugin::CopyFormatName(formatName, formatNameText);                       \
    return 1;                                                                  \
  }

// The above plus the signature entry of a plug-in with a plain byte signature.
#define DELVARO_PLUGIN_SIGNATURE_ENTRIES(formatNameText, signatureBytes)      \
  DELVARO_PLUGIN_NAME_ENTRIES(formatNameText)                                 \
  DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetFileSign(void* out) {            \
    return plugin::FillSignature(out, signatureBytes, sizeof(signatureBytes)); \
  }

// The above plus the signature entry of a plug-in with a check routine.
#define DELVARO_PLUGIN_CHECK_ENTRIES(formatNameText, checkRoutine)   \
  DELVARO_PLUGIN_NAME_ENTRIES(formatNameText)                        \
  DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetFileSign(void* out) {   \
    if (out == nullptr) return 0;                                    \
    *static_cast<FileSignCheckProc*>(out) = &checkRoutine;           \
    return 1;                                                        \
  }

// The picture entries of a plug-in whose pictures a finder of the thumbnail
// helpers (plugin::PictureFinder) locates: no text, a thumbnail from the
// reader fitted into the box, a preview from memory at the picture's size.
#define DELVARO_PLUGIN_PICTURE_ENTRIES(finder)                                                   \
  DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetThumbnailText(CDiskMappingPointer*, int64_t, char*, \
                                                           int) {                                \
    return 0;                                                                                    \
  }                                                                                              \
  DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetThumbnailBitmap(                                    \
      CDiskMappingPointer* reader, int64_t size, HBITMAP* bitmap, int* width, int* height) {     \
    DELVARO_PLUGIN_GUARD_BEGIN                                                                   \
    return plugin::ThumbnailFromReader(reader, size, finder, bitmap, width, height);             \
    DELVARO_PLUGIN_GUARD_END                                                                     \
  }                                                                                              \
  DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetPreviewBitmap(const void* data, int64_t size,       \
                                                           HBITMAP* bitmap, int* width,          \
                                                           int* height) {                        \
    DELVARO_PLUGIN_GUARD_BEGIN                                                                   \
    return plugin::PreviewFromMemory(data, size, finder, bitmap, width, height);                 \
    DELVARO_PLUGIN_GUARD_END                                                                     \
  }

namespace plugin {

// Bounded copy of a format name into the caller's 21-byte buffer.
void CopyFormatName(char* out, const char* name);
// Fills a FileSignRecord with count signature bytes.
int FillSignature(void* out, const unsigned char* bytes, uint32_t count);
// Writes the extension into RawFileInfo::format and sets RAWINFO_HAS_FORMAT.
void SetRawFormat(RawFileInfo* info, const char* extension);
// Marks the record as a recognised file (RAWINFO_HAS_VALID, valid = 1).
void SetRawValid(RawFileInfo* info);
// Sets RawFileInfo::length and RAWINFO_HAS_LENGTH.
void SetRawLength(RawFileInfo* info, uint64_t length);
// A recognised file: its length, its extension and the valid mark.
void SetRawFound(RawFileInfo* info, uint64_t length, const char* extension);

}  // namespace plugin
