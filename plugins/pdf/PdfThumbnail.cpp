#include "plugins/pdf/PdfThumbnail.h"

#include <cstdio>
#include <cstring>

#include "plugins/common/FindBytes.h"
#include "plugins/common/ThumbnailHelpers.h"

namespace pdf {

namespace {

const uint64_t kWorkingBytes = 4u << 20;  // 4 MiB examined at most
const unsigned char kInDesign[4] = {0x06, 0x06, 0xED, 0xF5};
const uint64_t kMaxPixelBytes = 64u << 20;

const unsigned char* Find(const unsigned char* p, uint64_t n, const char* what) {
  return plugin::FindBytes(p, n, what, strlen(what));
}

int Base64Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

int HexValue(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

void PutLe32(std::vector<unsigned char>* v, size_t at, uint32_t x) {
  for (int i = 0; i < 4; ++i) (*v)[at + i] = static_cast<unsigned char>(x >> (8 * i));
}

int FromXmp(const unsigned char* w, uint64_t n, HBITMAP* bitmap, int* width, int* height, bool preview) {
  const unsigned char* at = Find(w, n, "pGImg:image");
  if (at == nullptr) return -1;
  const std::string text = XmpThumbnailText(at, static_cast<size_t>(w + n - at));
  std::vector<unsigned char> jpeg;
  if (!DecodeBase64(text.data(), text.size(), static_cast<size_t>(n), &jpeg) || jpeg.empty()) return 0;
  return plugin::MakeThumbnail(jpeg.data(), static_cast<int64_t>(jpeg.size()), bitmap, width, height, preview);
}

int FromIllustrator(const unsigned char* w, uint64_t n, HBITMAP* bitmap, int* width, int* height,
                    bool preview) {
  const unsigned char* at = Find(w, n, "%AI7_Thumbnail:");
  if (at == nullptr) return 0;
  // The header lines, as text of their own (the bytes are not terminated).
  char head[256];
  const uint64_t room = static_cast<uint64_t>(w + n - at);
  const size_t h = static_cast<size_t>(room < sizeof(head) - 1 ? room : sizeof(head) - 1);
  memcpy(head, at, h);
  head[h] = '\0';
  char keyword[64], next[64], word[64];
  int tw = 0, th = 0, depth = 0, hexCount = 0;
  if (sscanf(head, "%63s %d %d %d\n%63s %d %63s\n", keyword, &tw, &th, &depth, next, &hexCount, word) != 7)
    return 0;
  if (tw <= 0 || th <= 0 || hexCount < 0) return 0;
  const unsigned char* hex = Find(w, n, "Hex Bytes");
  if (hex == nullptr) return 0;
  uint64_t from = static_cast<uint64_t>(hex - w) + 10;
  if (from > n) return 0;
  uint64_t len = static_cast<uint64_t>(hexCount) + 1;
  if (len > n - from) len = n - from;
  std::vector<unsigned char> data;
  data.reserve(static_cast<size_t>(len / 2));
  int high = -1;
  for (uint64_t i = 0; i < len; ++i) {
    const int v = HexValue(w[from + i]);
    if (v < 0) continue;
    if (high < 0) {
      high = v;
    } else {
      data.push_back(static_cast<unsigned char>(high * 16 + v));
      high = -1;
    }
  }
  const std::vector<unsigned char> bmp = IllustratorBitmap(data, tw, th);
  if (bmp.empty()) return 0;
  return plugin::MakeThumbnail(bmp.data(), static_cast<int64_t>(bmp.size()), bitmap, width, height, preview);
}

}  // namespace

bool DecodeBase64(const char* text, size_t n, size_t capacity, std::vector<unsigned char>* out) {
  out->clear();
  uint32_t group = 0;
  int have = 0;
  for (size_t i = 0; i < n && text[i] != '\0'; ++i) {
    const int v = Base64Value(static_cast<unsigned char>(text[i]));
    if (v < 0) continue;
    group = (group << 6) | static_cast<uint32_t>(v);
    if (++have == 4) {
      if (out->size() + 3 > capacity) return false;
      out->push_back(static_cast<unsigned char>(group >> 16));
      out->push_back(static_cast<unsigned char>(group >> 8));
      out->push_back(static_cast<unsigned char>(group));
      group = 0;
      have = 0;
    }
  }
  if (have >= 2) {
    const size_t extra = static_cast<size_t>(have - 1);
    if (out->size() + extra > capacity) return false;
    group <<= 6 * (4 - have);
    out->push_back(static_cast<unsigned char>(group >> 16));
    if (have == 3) out->push_back(static_cast<unsigned char>(group >> 8));
  }
  return true;
}

std::string XmpThumbnailText(const unsigned char* p, size_t n) {
  // "pGImg:image>" opens an element, "pGImg:image=" and a quote an attribute;
  // the value ends at the element's closing tag or the closing quote. Writers
  // break the Base64 text into lines, as real line breaks or as "&#xA;".
  size_t i = strlen("pGImg:image");
  char close = '<';
  if (i < n && p[i] == '>') {
    ++i;
  } else if (i + 1 < n && p[i] == '=' && (p[i + 1] == '"' || p[i + 1] == '\'')) {
    close = static_cast<char>(p[i + 1]);
    i += 2;
  } else {
    return std::string();
  }
  std::string text;
  while (i < n && p[i] != 0 && p[i] != static_cast<unsigned char>(close)) {
    if (p[i] == '&') {
      // A character reference such as "&#xA;" stands for a line break.
      size_t j = i + 1;
      while (j < n && j - i < 12 && p[j] != ';' && p[j] != static_cast<unsigned char>(close)) ++j;
      if (j < n && p[j] == ';') {
        i = j + 1;
        continue;
      }
    }
    text.push_back(static_cast<char>(p[i++]));
  }
  return text;
}

std::vector<unsigned char> IllustratorBitmap(const std::vector<unsigned char>& data, int width, int height) {
  std::vector<unsigned char> none;
  if (data.size() <= 767 || width <= 0 || height <= 0) return none;
  const uint64_t want = static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * 3;
  if (want > kMaxPixelBytes) return none;
  const unsigned char* palette = data.data();
  size_t i = 768;
  bool runLength = false;
  if (data.size() - i >= 3 && memcmp(data.data() + i, "RLE", 3) == 0) {
    runLength = true;
    i += 3;
  }
  std::vector<unsigned char> rgb;
  rgb.reserve(static_cast<size_t>(want));
  auto put = [&](unsigned char index, size_t copies) {
    for (size_t c = 0; c < copies; ++c) {
      if (rgb.size() + 3 > want) return false;  // more pixels than the picture has
      rgb.insert(rgb.end(), palette + 3 * index, palette + 3 * index + 3);
    }
    return true;
  };
  while (i < data.size()) {
    const unsigned char b = data[i];
    if (runLength && b == 0xFD) {
      if (i + 1 >= data.size()) return none;
      if (data[i + 1] == 0xFD) {
        if (!put(0xFD, 1)) return none;
        i += 2;
        continue;
      }
      if (i + 2 >= data.size()) return none;
      if (!put(data[i + 2], data[i + 1])) return none;
      i += 3;
      continue;
    }
    if (!put(b, 1)) return none;
    ++i;
  }
  if (rgb.size() != want) return none;

  const size_t row = static_cast<size_t>(width) * 3;
  const size_t stride = (row + 3) / 4 * 4;
  const size_t pixels = stride * static_cast<size_t>(height);
  std::vector<unsigned char> bmp(54 + pixels, 0);
  bmp[0] = 'B';
  bmp[1] = 'M';
  PutLe32(&bmp, 2, static_cast<uint32_t>(bmp.size()));
  PutLe32(&bmp, 10, 54);
  PutLe32(&bmp, 14, 40);
  PutLe32(&bmp, 18, static_cast<uint32_t>(width));
  PutLe32(&bmp, 22, static_cast<uint32_t>(height));
  bmp[26] = 1;
  bmp[28] = 24;
  for (int y = 0; y < height; ++y) {
    // The last row of the picture comes first; red, green, blue become blue,
    // green, red.
    const unsigned char* src = rgb.data() + static_cast<size_t>(height - 1 - y) * row;
    unsigned char* dst = bmp.data() + 54 + static_cast<size_t>(y) * stride;
    for (int x = 0; x < width; ++x) {
      dst[3 * x] = src[3 * x + 2];
      dst[3 * x + 1] = src[3 * x + 1];
      dst[3 * x + 2] = src[3 * x];
    }
  }
  return bmp;
}

int ExtractThumbnail(const unsigned char* p, uint64_t n, HBITMAP* bitmap, int* width, int* height,
                     bool bPreviewMode) {
  if (p == nullptr || n == 0 || bitmap == nullptr) return 0;
  const unsigned char* w = p;
  uint64_t len = n;
  if (n >= kWorkingBytes) {
    len = kWorkingBytes;
    // InDesign documents keep their metadata at the end.
    if (memcmp(p, kInDesign, sizeof(kInDesign)) == 0) w = p + (n - kWorkingBytes);
  }
  const int xmp = FromXmp(w, len, bitmap, width, height, bPreviewMode);
  if (xmp >= 0) return xmp;
  return FromIllustrator(w, len, bitmap, width, height, bPreviewMode);
}

}  // namespace pdf
