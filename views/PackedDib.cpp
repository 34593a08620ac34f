#include "views/PackedDib.h"

#include <cstring>
#include <vector>

namespace {

// Locks a block for the scope; Ptr() is null when there is none.
class CLockedBlock
{
public:
    explicit CLockedBlock(HGLOBAL block) : m_block(block), m_p(block ? GlobalLock(block) : NULL) {}
    ~CLockedBlock()
    {
        if (m_p)
            GlobalUnlock(m_block);
    }
    void* Ptr() const { return m_p; }
    SIZE_T Size() const { return m_block ? GlobalSize(m_block) : 0; }

private:
    CLockedBlock(const CLockedBlock&);
    CLockedBlock& operator=(const CLockedBlock&);
    HGLOBAL m_block;
    void* m_p;
};

const BITMAPINFOHEADER* Info(const void* header)
{
    return static_cast<const BITMAPINFOHEADER*>(header);
}
const BITMAPCOREHEADER* Core(const void* header)
{
    return static_cast<const BITMAPCOREHEADER*>(header);
}

// The screen's device context with a palette selected and realised for the
// scope; the palette is put back (background) and the context released.
class CScreenWithPalette
{
public:
    explicit CScreenWithPalette(HPALETTE palette) : m_dc(GetDC(NULL)), m_old(NULL)
    {
        if (m_dc && palette) {
            m_old = SelectPalette(m_dc, palette, FALSE);
            RealizePalette(m_dc);
        }
    }
    ~CScreenWithPalette()
    {
        if (m_dc) {
            if (m_old) {
                SelectPalette(m_dc, m_old, TRUE);
                RealizePalette(m_dc);
            }
            ReleaseDC(NULL, m_dc);
        }
    }
    HDC Dc() const { return m_dc; }

private:
    CScreenWithPalette(const CScreenWithPalette&);
    CScreenWithPalette& operator=(const CScreenWithPalette&);
    HDC m_dc;
    HPALETTE m_old;
};

unsigned char Clamp255(int v)
{
    return (unsigned char)(v < 0 ? 0 : v > 255 ? 255 : v);
}

}  // namespace

// ---- header functions ----

bool DibIsCoreHeader(const void* header)
{
    return header && Info(header)->biSize == sizeof(BITMAPCOREHEADER);
}

uint32_t DibHeaderSize(const void* header)
{
    return header ? Info(header)->biSize : 0;
}

int32_t DibWidth(const void* header)
{
    if (!header)
        return 0;
    return DibIsCoreHeader(header) ? Core(header)->bcWidth : Info(header)->biWidth;
}

int32_t DibHeight(const void* header)
{
    if (!header)
        return 0;
    return DibIsCoreHeader(header) ? Core(header)->bcHeight : Info(header)->biHeight;
}

uint32_t DibBitCount(const void* header)
{
    if (!header)
        return 0;
    return DibIsCoreHeader(header) ? Core(header)->bcBitCount : Info(header)->biBitCount;
}

uint32_t DibNumColors(const void* header)
{
    if (!header)
        return 0;
    if (!DibIsCoreHeader(header) && Info(header)->biClrUsed != 0)
        return Info(header)->biClrUsed;
    switch (DibBitCount(header)) {
    case 1:
        return 2;
    case 4:
        return 16;
    case 8:
        return 256;
    default:
        return 0;
    }
}

uint32_t DibColorTableSize(const void* header)
{
    const uint64_t n = DibNumColors(header);
    const uint64_t size = n * (DibIsCoreHeader(header) ? sizeof(RGBTRIPLE) : sizeof(RGBQUAD));
    return size > 0xFFFFFFFFull ? 0xFFFFFFFFu : (uint32_t)size;
}

uint32_t DibPixelOffset(const void* header)
{
    const uint64_t off = (uint64_t)DibHeaderSize(header) + DibColorTableSize(header);
    return off > 0xFFFFFFFFull ? 0xFFFFFFFFu : (uint32_t)off;
}

uint32_t DibRowSize(const void* header)
{
    if (!header)
        return 0;
    const uint64_t planes = DibIsCoreHeader(header) ? Core(header)->bcPlanes : Info(header)->biPlanes;
    const int64_t w = DibWidth(header);
    if (w <= 0)
        return 0;
    const uint64_t bits = (uint64_t)w * DibBitCount(header) * (planes ? planes : 1);
    const uint64_t row = (bits + 31) / 32 * 4;
    return row > 0xFFFFFFFFull ? 0 : (uint32_t)row;
}

uint32_t DibBlockSize(void* header)
{
    if (!header)
        return 0;
    int64_t h = DibHeight(header);
    if (h < 0)
        h = -h;
    const uint64_t rows = (uint64_t)DibRowSize(header) * (uint64_t)h;
    uint64_t image = rows;
    if (!DibIsCoreHeader(header)) {
        BITMAPINFOHEADER* bi = static_cast<BITMAPINFOHEADER*>(header);
        if (bi->biSizeImage == 0 && rows <= 0xFFFFFFFFull)
            bi->biSizeImage = (DWORD)rows;
        if (bi->biCompression != BI_RGB && bi->biCompression != BI_BITFIELDS)
            image = bi->biSizeImage;
    }
    uint64_t total = (uint64_t)DibPixelOffset(header) + image;
    if (!DibIsCoreHeader(header) && Info(header)->biCompression == BI_BITFIELDS)
        total += 3 * sizeof(DWORD);
    return total > 0xFFFFFFFFull ? 0 : (uint32_t)total;
}

int32_t DibBlockWidth(HGLOBAL dib)
{
    CLockedBlock b(dib);
    return b.Size() >= sizeof(BITMAPCOREHEADER) ? DibWidth(b.Ptr()) : 0;
}

int32_t DibBlockHeight(HGLOBAL dib)
{
    CLockedBlock b(dib);
    return b.Size() >= sizeof(BITMAPCOREHEADER) ? DibHeight(b.Ptr()) : 0;
}

uint32_t DibBlockBitCount(HGLOBAL dib)
{
    CLockedBlock b(dib);
    return b.Size() >= sizeof(BITMAPCOREHEADER) ? DibBitCount(b.Ptr()) : 0;
}

// Checks a locked header against the size of its block (the header is not
// changed).
static bool HeaderFitsBlock(const void* header, SIZE_T blockSize)
{
    if (!header || blockSize < sizeof(BITMAPCOREHEADER))
        return false;
    const uint32_t headerSize = Info(header)->biSize;
    if (headerSize != sizeof(BITMAPCOREHEADER) && headerSize != sizeof(BITMAPINFOHEADER))
        return false;
    if (blockSize < headerSize)
        return false;
    const int64_t w = DibWidth(header);
    int64_t h = DibHeight(header);
    if (h < 0)
        h = -h;
    if (w <= 0 || h <= 0 || w > 0x8000 || h > 0x8000)
        return false;
    const uint32_t bits = DibBitCount(header);
    if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32)
        return false;
    uint64_t extra = 0;
    if (headerSize == sizeof(BITMAPINFOHEADER)) {
        const BITMAPINFOHEADER* bi = Info(header);
        if (bi->biPlanes != 1)
            return false;
        if (bi->biCompression == BI_BITFIELDS) {
            if (bits != 16 && bits != 32)
                return false;
            extra = 3 * sizeof(DWORD);
        } else if (bi->biCompression != BI_RGB) {
            return false;
        }
        if (bi->biClrUsed > 256 || (bits <= 8 && bi->biClrUsed > (1u << bits)))
            return false;
    } else if (Core(header)->bcPlanes != 1) {
        return false;
    }
    const uint64_t need = (uint64_t)DibHeaderSize(header) + extra + DibColorTableSize(header) +
                          (uint64_t)DibRowSize(header) * (uint64_t)h;
    return DibRowSize(header) != 0 && need <= blockSize;
}

bool DibIsValid(HGLOBAL dib)
{
    CLockedBlock b(dib);
    return b.Ptr() && HeaderFitsBlock(b.Ptr(), b.Size());
}

HPALETTE CreateDibPalette(HGLOBAL dib)
{
    CLockedBlock b(dib);
    if (!b.Ptr() || !HeaderFitsBlock(b.Ptr(), b.Size()))
        return NULL;
    const uint32_t n = DibNumColors(b.Ptr());
    if (n == 0)
        return NULL;
    std::vector<unsigned char> buf(sizeof(LOGPALETTE) + n * sizeof(PALETTEENTRY));
    LOGPALETTE* lp = reinterpret_cast<LOGPALETTE*>(buf.data());
    lp->palVersion = 0x300;
    lp->palNumEntries = (WORD)n;
    const unsigned char* table = static_cast<const unsigned char*>(b.Ptr()) + DibHeaderSize(b.Ptr());
    const bool core = DibIsCoreHeader(b.Ptr());
    for (uint32_t i = 0; i < n; ++i) {
        PALETTEENTRY& pe = lp->palPalEntry[i];
        if (core) {
            const RGBTRIPLE* t = reinterpret_cast<const RGBTRIPLE*>(table) + i;
            pe.peRed = t->rgbtRed;
            pe.peGreen = t->rgbtGreen;
            pe.peBlue = t->rgbtBlue;
        } else {
            const RGBQUAD* q = reinterpret_cast<const RGBQUAD*>(table) + i;
            pe.peRed = q->rgbRed;
            pe.peGreen = q->rgbGreen;
            pe.peBlue = q->rgbBlue;
        }
        pe.peFlags = 0;
    }
    return CreatePalette(lp);
}

HBITMAP DibToDeviceBitmap(HGLOBAL dib, HPALETTE palette)
{
    CLockedBlock b(dib);
    if (!b.Ptr() || !HeaderFitsBlock(b.Ptr(), b.Size()))
        return NULL;
    HPALETTE own = palette ? NULL : CreateDibPalette(dib);
    CScreenWithPalette screen(palette ? palette : own ? own : (HPALETTE)GetStockObject(DEFAULT_PALETTE));
    HBITMAP bmp = NULL;
    if (screen.Dc()) {
        const unsigned char* base = static_cast<const unsigned char*>(b.Ptr());
        bmp = CreateDIBitmap(screen.Dc(), static_cast<const BITMAPINFOHEADER*>(b.Ptr()), CBM_INIT,
                             base + DibPixelOffset(b.Ptr()), static_cast<const BITMAPINFO*>(b.Ptr()), DIB_RGB_COLORS);
    }
    if (own)
        DeleteObject(own);
    return bmp;
}

HGLOBAL DibFromBitmap(HBITMAP bitmap, HPALETTE palette)
{
    BITMAP bm = {};
    if (!bitmap || !GetObjectW(bitmap, sizeof(bm), &bm) || bm.bmWidth <= 0 || bm.bmHeight <= 0)
        return NULL;
    int bits = bm.bmPlanes * bm.bmBitsPixel;
    bits = bits <= 1 ? 1 : bits <= 4 ? 4 : bits <= 8 ? 8 : 24;

    BITMAPINFOHEADER bi = {};
    bi.biSize = sizeof(bi);
    bi.biWidth = bm.bmWidth;
    bi.biHeight = bm.bmHeight;
    bi.biPlanes = 1;
    bi.biBitCount = (WORD)bits;
    bi.biCompression = BI_RGB;

    CScreenWithPalette screen(palette ? palette : (HPALETTE)GetStockObject(DEFAULT_PALETTE));
    if (!screen.Dc())
        return NULL;
    const uint32_t headerAndTable = sizeof(bi) + DibColorTableSize(&bi);
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, headerAndTable);
    if (!block)
        return NULL;
    BITMAPINFOHEADER* p = static_cast<BITMAPINFOHEADER*>(GlobalLock(block));
    if (!p) {
        GlobalFree(block);
        return NULL;
    }
    *p = bi;
    // The format only: the system fills in the image size.
    GetDIBits(screen.Dc(), bitmap, 0, (UINT)bi.biHeight, NULL, reinterpret_cast<BITMAPINFO*>(p), DIB_RGB_COLORS);
    bi = *p;
    GlobalUnlock(block);
    if (bi.biSizeImage == 0)
        bi.biSizeImage = DibRowSize(&bi) * (DWORD)bi.biHeight;
    if (bi.biSizeImage == 0) {
        GlobalFree(block);
        return NULL;
    }
    HGLOBAL grown = GlobalReAlloc(block, headerAndTable + bi.biSizeImage, GMEM_MOVEABLE | GMEM_ZEROINIT);
    if (!grown) {
        GlobalFree(block);
        return NULL;
    }
    block = grown;
    p = static_cast<BITMAPINFOHEADER*>(GlobalLock(block));
    if (!p) {
        GlobalFree(block);
        return NULL;
    }
    *p = bi;
    const int lines = GetDIBits(screen.Dc(), bitmap, 0, (UINT)bi.biHeight,
                                reinterpret_cast<unsigned char*>(p) + headerAndTable,
                                reinterpret_cast<BITMAPINFO*>(p), DIB_RGB_COLORS);
    GlobalUnlock(block);
    if (lines == 0) {
        GlobalFree(block);
        return NULL;
    }
    return block;
}

int PaintDib(HDC dc, const RECT* dest, HGLOBAL dib, const RECT* source, HPALETTE palette, DWORD rop)
{
    (void)rop;  // always SRCCOPY
    if (!dc || !dest || !source || !dib || !DibIsValid(dib))
        return 0;
    const int deviceBits = GetDeviceCaps(dc, BITSPIXEL) * GetDeviceCaps(dc, PLANES);
    if (DibBlockBitCount(dib) > 8 && deviceBits <= 8) {
        HGLOBAL reduced = ReduceDibTo256(dib);
        if (!reduced)
            return 0;
        const int r = PaintDib(dc, dest, reduced, source, NULL, SRCCOPY);
        GlobalFree(reduced);
        return r;
    }
    HPALETTE own = palette ? NULL : CreateDibPalette(dib);
    HPALETTE use = palette ? palette : own;
    CLockedBlock b(dib);
    if (!b.Ptr()) {
        if (own)
            DeleteObject(own);
        return 0;
    }
    HPALETTE old = NULL;
    if (use) {
        old = SelectPalette(dc, use, TRUE);
        RealizePalette(dc);
    }
    const int oldMode = SetStretchBltMode(dc, COLORONCOLOR);
    const unsigned char* base = static_cast<const unsigned char*>(b.Ptr());
    uint32_t bitsOffset = DibPixelOffset(b.Ptr());
    if (!DibIsCoreHeader(b.Ptr()) && Info(b.Ptr())->biCompression == BI_BITFIELDS)
        bitsOffset += 3 * sizeof(DWORD);
    const int srcW = source->right - source->left, srcH = source->bottom - source->top;
    int32_t h = DibHeight(b.Ptr());
    if (h < 0)
        h = -h;
    const int r = StretchDIBits(dc, dest->left, dest->top, dest->right - dest->left, dest->bottom - dest->top,
                                source->left, h - source->top - srcH, srcW, srcH, base + bitsOffset,
                                static_cast<const BITMAPINFO*>(b.Ptr()), DIB_RGB_COLORS, SRCCOPY);
    SetStretchBltMode(dc, oldMode);
    if (old)
        SelectPalette(dc, old, TRUE);
    if (own)
        DeleteObject(own);
    return r;
}

HGLOBAL CopyDibBlock(HGLOBAL dib)
{
    CLockedBlock b(dib);
    if (!b.Ptr())
        return NULL;
    HGLOBAL copy = GlobalAlloc(GMEM_MOVEABLE, b.Size());
    if (!copy)
        return NULL;
    void* to = GlobalLock(copy);
    if (!to) {
        GlobalFree(copy);
        return NULL;
    }
    memcpy(to, b.Ptr(), b.Size());
    GlobalUnlock(copy);
    return copy;
}

RGBQUAD FixedPaletteColor(int i)
{
    RGBQUAD q;
    q.rgbRed = (BYTE)((((i >> 5) & 7) * 255 + 3) / 7);
    q.rgbGreen = (BYTE)((((i >> 2) & 7) * 255 + 3) / 7);
    q.rgbBlue = (BYTE)((i & 3) * 85);
    q.rgbReserved = 0;
    return q;
}

namespace {

// A logical palette of the fixed colours; on a palette display with at most
// 256 static colours it becomes the system palette's layout, the static
// colours at both ends kept and every entry between them marked no-collapse.
HPALETTE MakeReductionPalette()
{
    std::vector<unsigned char> buf(sizeof(LOGPALETTE) + 256 * sizeof(PALETTEENTRY));
    LOGPALETTE* lp = reinterpret_cast<LOGPALETTE*>(buf.data());
    lp->palVersion = 0x300;
    lp->palNumEntries = 256;
    for (int i = 0; i < 256; ++i) {
        RGBQUAD q = FixedPaletteColor(i);
        lp->palPalEntry[i].peRed = q.rgbRed;
        lp->palPalEntry[i].peGreen = q.rgbGreen;
        lp->palPalEntry[i].peBlue = q.rgbBlue;
        lp->palPalEntry[i].peFlags = 0;
    }
    HPALETTE pal = CreatePalette(lp);
    if (!pal)
        return NULL;
    HDC screen = GetDC(NULL);
    if (!screen)
        return pal;
    const int staticColours = GetDeviceCaps(screen, NUMRESERVED);
    const int systemSize = GetDeviceCaps(screen, SIZEPALETTE);
    if ((GetDeviceCaps(screen, RASTERCAPS) & RC_PALETTE) && staticColours <= 256 && systemSize > 0 &&
        systemSize <= 256) {
        SetSystemPaletteUse(screen, SYSPAL_STATIC);
        HPALETTE old = SelectPalette(screen, pal, FALSE);
        RealizePalette(screen);
        std::vector<PALETTEENTRY> sys(systemSize);
        const UINT got = GetSystemPaletteEntries(screen, 0, systemSize, sys.data());
        if (old)
            SelectPalette(screen, old, FALSE);
        if (got == (UINT)systemSize) {
            for (int i = 0; i < systemSize; ++i)
                sys[i].peFlags = (i < staticColours / 2 || i >= systemSize - staticColours / 2) ? 0 : PC_NOCOLLAPSE;
            ResizePalette(pal, systemSize);
            SetPaletteEntries(pal, 0, systemSize, sys.data());
        }
    }
    ReleaseDC(NULL, screen);
    return pal;
}

// One source pixel as blue, green, red.
void ReadPixel(const unsigned char* row, int x, uint32_t bits, int& b, int& g, int& r)
{
    if (bits == 24) {
        b = row[x * 3];
        g = row[x * 3 + 1];
        r = row[x * 3 + 2];
    } else if (bits == 32) {
        b = row[x * 4];
        g = row[x * 4 + 1];
        r = row[x * 4 + 2];
    } else {  // 16 bits, 5-5-5
        const unsigned v = row[x * 2] | (row[x * 2 + 1] << 8);
        b = (v & 31) * 255 / 31;
        g = ((v >> 5) & 31) * 255 / 31;
        r = ((v >> 10) & 31) * 255 / 31;
    }
}

}  // namespace

HGLOBAL ReduceDibTo256(HGLOBAL dib)
{
    if (!DibIsValid(dib))
        return NULL;
    if (DibBlockBitCount(dib) <= 8)
        return CopyDibBlock(dib);

    HCURSOR oldCursor = SetCursor(LoadCursor(NULL, IDC_WAIT));
    HGLOBAL out = NULL;
    {
        CLockedBlock src(dib);
        const void* h = src.Ptr();
        const int w = DibWidth(h);
        const int height = DibHeight(h) < 0 ? -DibHeight(h) : DibHeight(h);
        const uint32_t bits = DibBitCount(h);
        const uint32_t srcStride = DibRowSize(h);
        uint32_t srcOffset = DibPixelOffset(h);
        if (!DibIsCoreHeader(h) && Info(h)->biCompression == BI_BITFIELDS)
            srcOffset += 3 * sizeof(DWORD);
        const unsigned char* srcRows = static_cast<const unsigned char*>(h) + srcOffset;
        const uint32_t outStride = ((uint32_t)w + 3) & ~3u;

        // The 8-bit result: header, the fixed colours, then the index rows.
        const uint64_t outSize = sizeof(BITMAPINFOHEADER) + 256 * sizeof(RGBQUAD) + (uint64_t)outStride * height;
        if (outSize <= 0x7FFFFFFF)
            out = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, (SIZE_T)outSize);
        BITMAPINFOHEADER* oh = out ? static_cast<BITMAPINFOHEADER*>(GlobalLock(out)) : NULL;
        if (oh) {
            oh->biSize = sizeof(BITMAPINFOHEADER);
            oh->biWidth = w;
            oh->biHeight = height;
            oh->biPlanes = 1;
            oh->biBitCount = 8;
            oh->biCompression = BI_RGB;
            oh->biSizeImage = outStride * height;
            oh->biClrUsed = 256;
            RGBQUAD* table = reinterpret_cast<RGBQUAD*>(oh + 1);
            for (int i = 0; i < 256; ++i)
                table[i] = FixedPaletteColor(i);
            unsigned char* outRows = reinterpret_cast<unsigned char*>(table + 256);

            // Error diffusion over two row buffers of blue, green, red.
            std::vector<int> cur((size_t)w * 3), next((size_t)w * 3);
            for (int x = 0; x < w; ++x)
                ReadPixel(srcRows, x, bits, cur[x * 3], cur[x * 3 + 1], cur[x * 3 + 2]);
            for (int k = 0; k < height; ++k) {
                const bool last = k + 1 >= height;
                if (!last)
                    for (int x = 0; x < w; ++x)
                        ReadPixel(srcRows + (size_t)(k + 1) * srcStride, x, bits, next[x * 3], next[x * 3 + 1],
                                  next[x * 3 + 2]);
                unsigned char* orow = outRows + (size_t)k * outStride;
                for (int x = 0; x < w; ++x) {
                    const int b = Clamp255(cur[x * 3]), g = Clamp255(cur[x * 3 + 1]), r = Clamp255(cur[x * 3 + 2]);
                    const int q = b / 85 + (b % 85 > 43 ? 1 : 0);
                    const int index = (r & 0xE0) + ((g >> 5) * 4) + q;
                    orow[x] = (unsigned char)index;
                    const RGBQUAD pc = FixedPaletteColor(index);
                    const int err[3] = {(b - pc.rgbBlue) >> 2, (g - pc.rgbGreen) >> 2, (r - pc.rgbRed) >> 2};
                    for (int c = 0; c < 3; ++c) {
                        if (!last)
                            next[x * 3 + c] = Clamp255(next[x * 3 + c] + err[c]);
                        if (x + 1 < w)
                            cur[(x + 1) * 3 + c] = Clamp255(cur[(x + 1) * 3 + c] + 2 * err[c]);
                    }
                }
                cur.swap(next);
            }

            // Map the colour table to the palette the display will use.
            HPALETTE pal = MakeReductionPalette();
            if (pal) {
                unsigned char map[256];
                PALETTEENTRY pe[256] = {};
                const UINT count = GetPaletteEntries(pal, 0, 256, pe);
                for (int i = 0; i < 256; ++i) {
                    const UINT n = GetNearestPaletteIndex(pal, RGB(table[i].rgbRed, table[i].rgbGreen, table[i].rgbBlue));
                    map[i] = (unsigned char)(n < count ? n : i);
                }
                for (int k = 0; k < height; ++k) {
                    unsigned char* orow = outRows + (size_t)k * outStride;
                    for (int x = 0; x < w; ++x)
                        orow[x] = map[orow[x]];
                }
                for (UINT i = 0; i < 256; ++i) {
                    if (i < count) {
                        table[i].rgbRed = pe[i].peRed;
                        table[i].rgbGreen = pe[i].peGreen;
                        table[i].rgbBlue = pe[i].peBlue;
                        table[i].rgbReserved = 0;
                    }
                }
                DeleteObject(pal);
            }
            GlobalUnlock(out);
        } else if (out) {
            GlobalFree(out);
            out = NULL;
        }
    }
    SetCursor(oldCursor);
    return out;
}
