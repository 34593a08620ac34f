// Turning an encoded picture (JPEG, PNG, BMP, GIF, ICO... whatever GDI+ can
// decode) into a GDI bitmap for a thumbnail tile or the preview pane.
//
// The fitting mode belongs to the call: bPreviewMode 0 fits the picture into
// the 150 x 110 thumbnail box, 1 keeps the decoded size. A thumbnail call on
// the thumbnail worker and a preview call on the main thread may run at once,
// so the mode is passed along rather than kept in a global.
// GDI+ must have been started by the program.
#pragma once

#include <windows.h>
#include <objidl.h>
#include <cstdint>

class CDiskMappingPointer;

namespace plugin {

// A read-only IStream over a private copy of a memory block. Reads past the
// end of the block deliver nothing (a decoder that seeks far beyond it gets
// S_FALSE and zero bytes instead of touching foreign memory). Returns null
// when the copy cannot be made. The caller releases the stream.
IStream* CreateBoundedMemoryStream(const void* data, size_t size);

// Decodes an encoded picture into an HBITMAP (opaque white behind
// transparency), or null when any step fails.
HBITMAP CreateBitmapFromMemory(const void* data, size_t size);

// A new bitmap of newWidth x newHeight with the source stretched into it
// (HALFTONE); the source is not deleted. Null on failure.
HBITMAP StretchToBitmap(HBITMAP source, int width, int height, int newWidth, int newHeight);

// The size a width x height picture gets in the thumbnail box; false when the
// picture already fits (or is not fitted because preview mode is on).
bool FitThumbnailSize(int width, int height, int* newWidth, int* newHeight);

// Hands out bmp (the caller's from then on) fitted by the thumbnail rule, or
// as it is in preview mode. Takes ownership of bmp in every case: on failure it
// is deleted. 1 on success, 0 otherwise.
int FitAndHandOut(HBITMAP bmp, bool bPreviewMode, HBITMAP* bitmap, int* width, int* height);

// Decode, then fit (thumbnail) or keep (preview). width and height may be
// null; bitmap may not. 1 on success with *bitmap set, else 0 and nothing
// handed out.
int MakeThumbnail(const void* data, int64_t size, HBITMAP* bitmap, int* width, int* height,
                  bool bPreviewMode);

// MakeThumbnail over the bytes at the reader's cursor: at most size bytes, and
// never more than the window holds from the cursor (cut at the source's end).
// The reader is not moved.
int MakeThumbnailFromReader(CDiskMappingPointer* reader, int64_t size, HBITMAP* bitmap,
                            int* width, int* height, bool bPreviewMode);

// A plug-in's own search for the picture inside a file's bytes, handing it to
// MakeThumbnail (or building one): 1 with *bitmap set, else 0.
typedef int (*PictureFinder)(const unsigned char* data, uint64_t size, HBITMAP* bitmap, int* width,
                             int* height, bool bPreviewMode);
// The two bitmap entries over a finder: the thumbnail examines the bytes at
// the reader's cursor (at most size, never past the loaded window; the reader
// is not moved) and fits the picture into the box; the preview examines the
// whole file in memory at the picture's own size.
int ThumbnailFromReader(CDiskMappingPointer* reader, int64_t size, PictureFinder find,
                        HBITMAP* bitmap, int* width, int* height);
int PreviewFromMemory(const void* data, int64_t size, PictureFinder find, HBITMAP* bitmap,
                      int* width, int* height);

}  // namespace plugin
