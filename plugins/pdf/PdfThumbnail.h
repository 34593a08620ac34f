// The pictures PDF and Illustrator files carry for a thumbnail: a Base64
// JPEG in the XMP metadata (xmpGImg:image), or the hex-coded palette picture
// of an Illustrator thumbnail (%AI7_Thumbnail).
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace pdf {

// Finds the picture in the n bytes at p and makes the bitmap (fitted into the
// thumbnail box unless bPreviewMode). 1 with *bitmap set, else 0.
int ExtractThumbnail(const unsigned char* p, uint64_t n, HBITMAP* bitmap, int* width, int* height,
                     bool bPreviewMode);

// Standard Base64 (characters outside the alphabet skipped; a final group of
// two or three characters gives one or two bytes), ending at the text's end or
// a zero byte. False when the output would pass capacity.
bool DecodeBase64(const char* text, size_t n, size_t capacity, std::vector<unsigned char>* out);

// The Base64 text of an XMP thumbnail whose element or attribute starts at
// p (n bytes, at "pGImg:image"), with character references removed.
std::string XmpThumbnailText(const unsigned char* p, size_t n);

// An Illustrator palette thumbnail (768 palette bytes, then indexes, run-length
// coded when they begin with "RLE") as a 24-bit bottom-up BMP file; empty when
// the pixels do not make exactly width x height.
std::vector<unsigned char> IllustratorBitmap(const std::vector<unsigned char>& data, int width, int height);

}  // namespace pdf
