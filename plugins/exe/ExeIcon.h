// The first icon of a PE program, found through its resource section and
// drawn as a bitmap.
#pragma once

#include <windows.h>

#include <cstdint>

#include "plugins/common/ByteSource.h"

namespace exe {

// The first icon image of the program's resources as a bitmap: a PNG image
// decoded (fitted into the thumbnail box unless bPreviewMode), any other
// drawn at its own size cut to 150 x 110, on white for a thumbnail and with
// its transparency for a preview. 1 with *bitmap set, else 0.
int FirstIconBitmap(plugin::CByteSource& bytes, HBITMAP* bitmap, int* width, int* height, bool bPreviewMode);

// True when the icon image (a bitmap information header, its colours, and
// the colour and mask pixels) lies whole within n bytes, so that the system
// never reads past them.
bool IsWholeIconImage(const unsigned char* p, uint64_t n);

// Draws the icon at width x height into a new 32-bit top-down bitmap: on
// white where it is transparent when whiteBackground, else with its alpha.
HBITMAP RenderIcon(HICON icon, int width, int height, bool whiteBackground);

}  // namespace exe
