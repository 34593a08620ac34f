#include "plugins/exe/ExeIcon.h"

#include <cstring>
#include <vector>

#include "plugins/common/ByteOrder.h"
#include "plugins/common/ThumbnailHelpers.h"

namespace exe {

namespace {

using plugin::Le16;
using plugin::Le32;

const uint32_t kIconType = 3;
const uint32_t kSubdirectory = 0x80000000u;
const uint32_t kMaxIconImage = 4u << 20;
const uint32_t kMaxEntries = 4096;
const unsigned char kPng[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};

struct Section {
  uint32_t virtualAddress = 0, rawPointer = 0;
};

bool FindResourceSection(plugin::CByteSource& b, Section* out) {
  unsigned char dos[64];
  if (!b.Read(0, dos, sizeof(dos))) return false;
  const uint64_t nt = Le32(dos + 60);
  unsigned char head[24];
  if (!b.Read(nt, head, sizeof(head))) return false;
  const uint16_t count = Le16(head + 6);
  // The section table follows the optional header, whatever its size (a
  // 64-bit program's is 16 bytes longer than a 32-bit one's).
  const uint64_t table = nt + 24 + Le16(head + 20);
  for (uint32_t i = 0; i < count; ++i) {
    unsigned char s[40];
    if (!b.Read(table + 40ull * i, s, sizeof(s))) return false;
    if (memcmp(s, ".rsrc", 5) == 0) {
      out->virtualAddress = Le32(s + 12);
      out->rawPointer = Le32(s + 20);
      return true;
    }
  }
  return false;
}

// The offset (from the resource section) of the first entry of the directory
// at dir that satisfies want, or false.
template <typename Want>
bool FindEntry(plugin::CByteSource& b, uint64_t base, uint32_t dir, Want want, uint32_t* offset) {
  unsigned char head[16];
  if (!b.Read(base + dir, head, sizeof(head))) return false;
  const uint32_t entries = static_cast<uint32_t>(Le16(head + 12)) + Le16(head + 14);
  for (uint32_t j = 0; j < entries && j < kMaxEntries; ++j) {
    unsigned char e[8];
    if (!b.Read(base + dir + 16 + 8ull * j, e, sizeof(e))) return false;
    if (want(Le32(e), Le32(e + 4))) {
      *offset = Le32(e + 4);
      return true;
    }
  }
  return false;
}

// The bytes of the first icon image.
bool FirstIconImage(plugin::CByteSource& b, std::vector<unsigned char>* image) {
  Section rsrc;
  if (!FindResourceSection(b, &rsrc)) return false;
  const uint64_t base = rsrc.rawPointer;
  uint32_t icons = 0, first = 0, data = 0;
  if (!FindEntry(b, base, 0, [](uint32_t id, uint32_t) { return id == kIconType; }, &icons)) return false;
  if (!FindEntry(b, base, icons & ~kSubdirectory,
                 [](uint32_t, uint32_t off) { return (off & kSubdirectory) != 0; }, &first))
    return false;
  if (!FindEntry(b, base, first & ~kSubdirectory, [](uint32_t, uint32_t) { return true; }, &data)) return false;
  if (data & kSubdirectory) return false;
  unsigned char entry[8];
  if (!b.Read(base + data, entry, sizeof(entry))) return false;
  const uint32_t address = Le32(entry), size = Le32(entry + 4);
  if (address < rsrc.virtualAddress || size == 0) return false;
  const uint64_t at = base + (address - rsrc.virtualAddress);
  if (at >= b.Size()) return false;
  uint64_t n = size;
  if (n > b.Size() - at) n = b.Size() - at;
  if (n > kMaxIconImage) n = kMaxIconImage;
  image->resize(static_cast<size_t>(n));
  return b.Read(at, image->data(), static_cast<size_t>(n));
}

}  // namespace

bool IsWholeIconImage(const unsigned char* p, uint64_t n) {
  if (n < 40) return false;
  const uint32_t header = Le32(p);
  const int32_t width = static_cast<int32_t>(Le32(p + 4)), height = static_cast<int32_t>(Le32(p + 8));
  const uint16_t planes = Le16(p + 12), bits = Le16(p + 14);
  const uint32_t compression = Le32(p + 16), used = Le32(p + 32);
  if (header < 40 || header > n || width <= 0 || width > 1024 || height <= 0 || height > 2048 || height % 2)
    return false;
  if (planes != 1 || compression != 0) return false;
  if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32) return false;
  uint64_t colours = 0;
  if (bits <= 8) colours = used ? used : (1u << bits);
  if (colours > 256) return false;
  const uint64_t rows = static_cast<uint64_t>(height) / 2;
  const uint64_t colourStride = (static_cast<uint64_t>(width) * bits + 31) / 32 * 4;
  const uint64_t maskStride = (static_cast<uint64_t>(width) + 31) / 32 * 4;
  return header + colours * 4 + (colourStride + maskStride) * rows <= n;
}

HBITMAP RenderIcon(HICON icon, int width, int height, bool whiteBackground) {
  ICONINFO ii;
  if (!GetIconInfo(icon, &ii)) return nullptr;
  if (ii.hbmColor) DeleteObject(ii.hbmColor);
  if (ii.hbmMask) DeleteObject(ii.hbmMask);
  if (!ii.fIcon || width <= 0 || height <= 0) return nullptr;

  BITMAPINFO bi;
  memset(&bi, 0, sizeof(bi));
  bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  bi.bmiHeader.biWidth = width;
  bi.bmiHeader.biHeight = -height;  // top-down
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  bi.bmiHeader.biCompression = BI_RGB;
  HDC screen = GetDC(nullptr);
  if (screen == nullptr) return nullptr;
  void* bits = nullptr;
  HBITMAP dib = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  HDC dc = CreateCompatibleDC(screen);
  ReleaseDC(nullptr, screen);
  if (dib == nullptr || bits == nullptr || dc == nullptr) {
    if (dib) DeleteObject(dib);
    if (dc) DeleteDC(dc);
    return nullptr;
  }
  HGDIOBJ old = SelectObject(dc, dib);
  uint32_t* px = static_cast<uint32_t*>(bits);
  const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);

  // The mask: black where the icon is opaque. Drawn over white, so that it
  // shows whether the system copies it or combines it with what is there.
  memset(px, 0xFF, count * 4);
  bool ok = DrawIconEx(dc, 0, 0, icon, width, height, 0, nullptr, DI_MASK) != FALSE;
  GdiFlush();
  std::vector<bool> opaque(count);
  for (size_t i = 0; i < count; ++i) opaque[i] = (px[i] & 0xFFFFFF) == 0;
  memset(px, 0, count * 4);
  ok = ok && DrawIconEx(dc, 0, 0, icon, width, height, 0, nullptr, DI_NORMAL) != FALSE;
  GdiFlush();
  SelectObject(dc, old);
  DeleteDC(dc);
  if (!ok) {
    DeleteObject(dib);
    return nullptr;
  }
  bool alpha = false;
  for (size_t i = 0; i < count && !alpha; ++i) alpha = (px[i] >> 24) != 0;
  if (!(alpha && !whiteBackground)) {
    for (size_t i = 0; i < count; ++i) {
      if (opaque[i])
        px[i] |= 0xFF000000u;
      else
        px[i] = whiteBackground ? 0x00FFFFFFu : (px[i] & 0x00FFFFFFu);
    }
  }
  return dib;
}

int FirstIconBitmap(plugin::CByteSource& bytes, HBITMAP* bitmap, int* width, int* height, bool bPreviewMode) {
  std::vector<unsigned char> image;
  if (!FirstIconImage(bytes, &image) || image.empty()) return 0;
  if (image.size() >= sizeof(kPng) && memcmp(image.data(), kPng, sizeof(kPng)) == 0)
    return plugin::MakeThumbnail(image.data(), static_cast<int64_t>(image.size()), bitmap, width, height,
                                 bPreviewMode);
  if (!IsWholeIconImage(image.data(), image.size())) return 0;
  const int iconWidth = static_cast<int>(Le32(image.data() + 4));
  const int iconHeight = static_cast<int>(Le32(image.data() + 8)) / 2;
  const uint16_t bits = Le16(image.data() + 14);
  const DWORD n = static_cast<DWORD>(image.size());
  HICON icon = CreateIconFromResourceEx(image.data(), n, TRUE, 0x30000, iconWidth, iconHeight, LR_DEFAULTCOLOR);
  if (icon == nullptr && bits != 16) icon = CreateIconFromResource(image.data(), n, TRUE, 0x30000);
  if (icon == nullptr) return 0;
  const int w = iconWidth < 150 ? iconWidth : 150;
  const int h = iconHeight < 110 ? iconHeight : 110;
  HBITMAP out = RenderIcon(icon, w, h, !bPreviewMode);
  DestroyIcon(icon);
  if (out == nullptr) return 0;
  *bitmap = out;
  if (width) *width = w;
  if (height) *height = h;
  return 1;
}

}  // namespace exe
