// Packed device-independent bitmaps: one movable global memory block holding
// a bitmap header, its colour table and the pixel rows, as the clipboard's
// packed-DIB format has them. The result list keeps its thumbnails in this
// form; this small library makes a block from a bitmap, checks it, paints it
// and reduces a true-colour block to 256 colours for palette displays.
#pragma once
#include <windows.h>

#include <cstdint>

// ---- header functions (a locked header; the block variants lock it) ----
// The 40-byte information header or the 12-byte core header.
bool DibIsCoreHeader(const void* header);
uint32_t DibHeaderSize(const void* header);
int32_t DibWidth(const void* header);
int32_t DibHeight(const void* header);
uint32_t DibBitCount(const void* header);
// Colours-used when set (40-byte header), else 2, 16 or 256 for 1, 4 or 8
// bits, 0 otherwise.
uint32_t DibNumColors(const void* header);
uint32_t DibColorTableSize(const void* header);
// Offset of the pixel rows from the header's start.
uint32_t DibPixelOffset(const void* header);
// Bytes of one stored row: (width x bits x planes + 31) / 32 x 4.
uint32_t DibRowSize(const void* header);
// Header, colour table and image; a 40-byte header whose image size is 0
// gets it filled in. 0 when the sizes do not fit 32 bits.
uint32_t DibBlockSize(void* header);

// The same of a block (a handle is a pointer too: these have names of their own).
int32_t DibBlockWidth(HGLOBAL dib);
int32_t DibBlockHeight(HGLOBAL dib);
uint32_t DibBlockBitCount(HGLOBAL dib);

// True when the block holds a DIB that can be painted: a known header,
// positive width, non-zero height, 1/4/8/16/24/32 bits, no compression (or
// bit fields with their masks), and header, colour table and rows all
// inside the block.
bool DibIsValid(HGLOBAL dib);

// A logical palette of the colour table; null when it has no colours.
HPALETTE CreateDibPalette(HGLOBAL dib);
// A device bitmap of the DIB on the screen, made with its palette selected.
HBITMAP DibToDeviceBitmap(HGLOBAL dib, HPALETTE palette);

// A new packed DIB of a bitmap: 1, 4, 8 or 24 bits (deeper bitmaps become
// 24-bit), no compression. palette null uses the stock default palette.
// Null on any failure (nothing leaks).
HGLOBAL DibFromBitmap(HBITMAP bitmap, HPALETTE palette);

// Stretches the source rectangle of the DIB (top-down coordinates) into the
// destination rectangle of dc with COLORONCOLOR and SRCCOPY (the raster
// operation given is not used). A DIB deeper than 8 bits on a display of 8
// bits or fewer is reduced to 256 colours first. Returns StretchDIBits'
// result; 0 for no block or a block that fails DibIsValid.
int PaintDib(HDC dc, const RECT* dest, HGLOBAL dib, const RECT* source, HPALETTE palette, DWORD rop);

// An 8-bit copy of a DIB deeper than 8 bits, dithered to the fixed palette
// of 3 bits red, 3 green and 2 blue; a DIB of 8 bits or fewer comes back as
// a plain copy. Null when the DIB is not valid or memory runs out. The
// caller frees both blocks.
HGLOBAL ReduceDibTo256(HGLOBAL dib);
// Entry i of the fixed 256-colour palette.
RGBQUAD FixedPaletteColor(int index);
// A new block with the same size and bytes; null on failure.
HGLOBAL CopyDibBlock(HGLOBAL dib);
