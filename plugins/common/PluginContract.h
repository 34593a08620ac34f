// The contract between the program and its file-type plug-ins (the fmt_*.dll
// modules in the "type" folder). The program binds every entry with
// GetProcAddress by its plain name; the plug-ins export them with C linkage and
// the C calling convention. Data entries are 32-bit signed integers read
// through the address GetProcAddress returns.
#pragma once

#include <windows.h>
#include <cstddef>
#include <cstdint>

class CDiskMappingPointer;  // storage/DiskMappingPointer.h; plug-ins read its fields

// ---------------------------------------------------------------------------
// Export decoration
// ---------------------------------------------------------------------------
#ifndef DELVARO_CDECL
#define DELVARO_CDECL __cdecl
#endif

// A function export: C linkage, plain name, C calling convention.
//   DELVARO_PLUGIN_EXPORT int DELVARO_CDECL GetFileSign(void* out) { ... }
#define DELVARO_PLUGIN_EXPORT extern "C" __declspec(dllexport)

// A data export: a constant 32-bit integer with a plain name.
//   DELVARO_PLUGIN_DATA(IsFileSigSimple, 1);
#define DELVARO_PLUGIN_DATA(name, value) \
  extern "C" __declspec(dllexport) const int32_t name = (value)

// ---------------------------------------------------------------------------
// Export names
// ---------------------------------------------------------------------------
#define DELVARO_EXPORT_GetSupportFormat "GetSupportFormat"
#define DELVARO_EXPORT_IsFileSigSimple "IsFileSigSimple"
#define DELVARO_EXPORT_GetFileSign "GetFileSign"
#define DELVARO_EXPORT_CanGetFileLenImmediately "CanGetFileLenImmediately"
#define DELVARO_EXPORT_GetFileSizeAtOnce "GetFileSizeAtOnce"
#define DELVARO_EXPORT_GetRawFileInfo "GetRawFileInfo"
#define DELVARO_EXPORT_HasThumbnail "HasThumbnail"
#define DELVARO_EXPORT_HasThumbnailBitmap "HasThumbnailBitmap"
#define DELVARO_EXPORT_GetThumbnailText "GetThumbnailText"
#define DELVARO_EXPORT_GetPreviewText "GetPreviewText"
#define DELVARO_EXPORT_GetThumbnailBitmap "GetThumbnailBitmap"
#define DELVARO_EXPORT_GetPreviewBitmap "GetPreviewBitmap"

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------

// Format name such as "FILE_TYPE_JPG": at most 20 characters and a NUL. The
// caller zeroes it; the plug-in fills it with a bounded copy of capacity 21.
enum { FORMAT_NAME_SIZE = 21 };
typedef char FormatName[FORMAT_NAME_SIZE];

// Filled by GetFileSign when IsFileSigSimple is non-zero.
enum { FILE_SIGN_MAX = 256 };
#pragma pack(push, 1)
struct FileSignRecord {
  uint8_t signature[FILE_SIGN_MAX];  // compared with a candidate's first bytes
  uint32_t count;                    // bytes used; only values below 256 are accepted
};
#pragma pack(pop)
static_assert(sizeof(FileSignRecord) == 260, "FileSignRecord is 260 bytes");
static_assert(offsetof(FileSignRecord, count) == 256, "FileSignRecord.count at 256");

// Check routine stored by GetFileSign when IsFileSigSimple is 0: non-zero when
// a file of the plug-in's format starts at the given byte.
typedef int(DELVARO_CDECL* FileSignCheckProc)(const unsigned char* data);

// What GetRawFileInfo found. Zeroed by the caller, size set to 80.
enum {
  RAWINFO_HAS_LENGTH = 0x01,
  RAWINFO_HAS_FORMAT = 0x02,
  RAWINFO_HAS_VALID = 0x04,
  RAWINFO_HAS_NAME = 0x08,
};
enum { RAWINFO_FORMAT_SIZE = 21, RAWINFO_NAME_SIZE = 32, RAWINFO_RECORD_SIZE = 80 };

#pragma pack(push, 1)
struct RawFileInfo {
  uint8_t size;                      // 80, set by the caller
  uint8_t flags;                     // RAWINFO_HAS_* bits of the fields set
  uint8_t reserved1[6];
  uint64_t length;                   // file length from the candidate's first byte
  char format[RAWINFO_FORMAT_SIZE];  // extension, lower case, no dot, NUL-terminated
  uint8_t reserved2[3];
  int32_t valid;                     // 1 when a file was recognised
  char name[RAWINFO_NAME_SIZE];      // short description, NUL-terminated
  uint8_t reserved3[4];
};
#pragma pack(pop)
static_assert(sizeof(RawFileInfo) == 80, "RawFileInfo is 80 bytes");
static_assert(offsetof(RawFileInfo, size) == 0, "RawFileInfo.size at 0");
static_assert(offsetof(RawFileInfo, flags) == 1, "RawFileInfo.flags at 1");
static_assert(offsetof(RawFileInfo, length) == 8, "RawFileInfo.length at 8");
static_assert(offsetof(RawFileInfo, format) == 16, "RawFileInfo.format at 16");
static_assert(offsetof(RawFileInfo, valid) == 40, "RawFileInfo.valid at 40");
static_assert(offsetof(RawFileInfo, name) == 44, "RawFileInfo.name at 44");

// ---------------------------------------------------------------------------
// Entry types (what GetProcAddress results are cast to)
// ---------------------------------------------------------------------------
// Copies the FormatName into a zeroed 21-byte buffer; the result is unused.
typedef int(DELVARO_CDECL* PFN_GetSupportFormat)(char* formatName);
// out: a FileSignRecord (simple signature) or a FileSignCheckProc slot.
typedef int(DELVARO_CDECL* PFN_GetFileSign)(void* out);
// Length of the file starting at data, from its header bytes alone.
typedef int64_t(DELVARO_CDECL* PFN_GetFileSizeAtOnce)(const unsigned char* data);
// Reader positioned at the candidate's first byte; info zeroed with size 80.
typedef int(DELVARO_CDECL* PFN_GetRawFileInfo)(CDiskMappingPointer* reader, RawFileInfo* info);
// Text outputs: caller's buffer of capacity bytes, UTF-8, NUL-terminated.
typedef int(DELVARO_CDECL* PFN_GetThumbnailText)(CDiskMappingPointer* reader, int64_t size,
                                                 char* text, int capacity);
typedef int(DELVARO_CDECL* PFN_GetPreviewText)(const void* data, int64_t size, char* text,
                                               int capacity);
// Bitmap outputs: the HBITMAP becomes the caller's (DeleteObject).
typedef int(DELVARO_CDECL* PFN_GetThumbnailBitmap)(CDiskMappingPointer* reader, int64_t size,
                                                   HBITMAP* bitmap, int* width, int* height);
typedef int(DELVARO_CDECL* PFN_GetPreviewBitmap)(const void* data, int64_t size,
                                                 HBITMAP* bitmap, int* width, int* height);

// Thumbnail box of the thumbnail entries.
enum { THUMBNAIL_BOX_WIDTH = 150, THUMBNAIL_BOX_HEIGHT = 110 };
