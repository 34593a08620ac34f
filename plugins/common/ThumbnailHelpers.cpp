#include "plugins/common/ThumbnailHelpers.h"

#include <gdiplus.h>

#include <cstring>
#include <new>

#include "plugins/common/PluginContract.h"
#include "plugins/common/ReaderCursor.h"

namespace plugin {
namespace {

// Largest picture handed to the decoder: a preview is a whole file in memory
// and the stream keeps its size in 32 bits.
const size_t kMaxPictureBytes = 0x7FFFFFFF;

class CBoundedMemoryStream : public IStream {
 public:
  static CBoundedMemoryStream* Create(const void* data, size_t size) {
    unsigned char* copy = static_cast<unsigned char*>(HeapAlloc(GetProcessHeap(), 0, size ? size : 1));
    if (copy == nullptr) return nullptr;
    if (size) memcpy(copy, data, size);
    CBoundedMemoryStream* s = new (std::nothrow) CBoundedMemoryStream(copy, size);
    if (s == nullptr) HeapFree(GetProcessHeap(), 0, copy);
    return s;
  }

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_ISequentialStream) ||
        IsEqualIID(riid, IID_IStream)) {
      *ppv = static_cast<IStream*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&m_refs); }
  ULONG STDMETHODCALLTYPE Release() override {
    LONG n = InterlockedDecrement(&m_refs);
    if (n == 0) delete this;
    return n;
  }

  // ISequentialStream
  HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* pcbRead) override {
    if (pcbRead) *pcbRead = 0;
    if (pv == nullptr && cb) return STG_E_INVALIDPOINTER;
    ULONG n = 0;
    if (m_pos < m_size) {
      uint64_t left = m_size - m_pos;
      n = left < cb ? static_cast<ULONG>(left) : cb;
      memcpy(pv, m_data + m_pos, n);
      m_pos += n;
    }
    if (pcbRead) *pcbRead = n;
    return n == cb ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Write(const void*, ULONG, ULONG* pcbWritten) override {
    if (pcbWritten) *pcbWritten = 0;
    return STG_E_ACCESSDENIED;
  }

  // IStream
  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPos) override {
    int64_t base;
    switch (origin) {
      case STREAM_SEEK_SET: base = 0; break;
      case STREAM_SEEK_CUR: base = static_cast<int64_t>(m_pos); break;
      case STREAM_SEEK_END: base = static_cast<int64_t>(m_size); break;
      default: return STG_E_INVALIDFUNCTION;
    }
    const int64_t d = move.QuadPart;
    // Refuse wrap-around and negative targets; a target past the end is kept
    // (reads there simply deliver nothing).
    if ((d > 0 && base > INT64_MAX - d) || base + d < 0) return STG_E_INVALIDFUNCTION;
    m_pos = static_cast<uint64_t>(base + d);
    if (newPos) newPos->QuadPart = m_pos;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER) override { return STG_E_ACCESSDENIED; }
  HRESULT STDMETHODCALLTYPE CopyTo(IStream* target, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead,
                                   ULARGE_INTEGER* pcbWritten) override {
    if (pcbRead) pcbRead->QuadPart = 0;
    if (pcbWritten) pcbWritten->QuadPart = 0;
    if (target == nullptr) return STG_E_INVALIDPOINTER;
    uint64_t left = m_pos < m_size ? m_size - m_pos : 0;
    uint64_t n = cb.QuadPart < left ? cb.QuadPart : left;
    ULONG written = 0;
    HRESULT hr = S_OK;
    if (n) {
      if (n > 0xFFFFFFFFull) n = 0xFFFFFFFFull;
      hr = target->Write(m_data + m_pos, static_cast<ULONG>(n), &written);
      m_pos += n;
    }
    if (pcbRead) pcbRead->QuadPart = n;
    if (pcbWritten) pcbWritten->QuadPart = written;
    return hr;
  }
  HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Revert() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    return STG_E_INVALIDFUNCTION;
  }
  HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    return STG_E_INVALIDFUNCTION;
  }
  HRESULT STDMETHODCALLTYPE Stat(STATSTG* st, DWORD) override {
    if (st == nullptr) return STG_E_INVALIDPOINTER;
    memset(st, 0, sizeof(*st));
    st->type = STGTY_STREAM;
    st->cbSize.QuadPart = m_size;
    st->grfMode = STGM_READ;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(IStream** out) override {
    if (out == nullptr) return STG_E_INVALIDPOINTER;
    *out = nullptr;
    CBoundedMemoryStream* s = Create(m_data, static_cast<size_t>(m_size));
    if (s == nullptr) return E_OUTOFMEMORY;
    s->m_pos = m_pos;
    *out = s;
    return S_OK;
  }

 private:
  CBoundedMemoryStream(unsigned char* data, size_t size) : m_data(data), m_size(size) {}
  virtual ~CBoundedMemoryStream() { HeapFree(GetProcessHeap(), 0, m_data); }

  LONG m_refs = 1;
  unsigned char* m_data;
  uint64_t m_size;
  uint64_t m_pos = 0;
};

}  // namespace

IStream* CreateBoundedMemoryStream(const void* data, size_t size) {
  if (data == nullptr && size) return nullptr;
  return CBoundedMemoryStream::Create(data, size);
}

HBITMAP CreateBitmapFromMemory(const void* data, size_t size) {
  if (data == nullptr || size == 0 || size > kMaxPictureBytes) return nullptr;
  IStream* stream = CreateBoundedMemoryStream(data, size);
  if (stream == nullptr) return nullptr;
  Gdiplus::GpBitmap* gp = nullptr;
  HBITMAP out = nullptr;
  if (Gdiplus::DllExports::GdipCreateBitmapFromStream(stream, &gp) == Gdiplus::Ok && gp) {
    HBITMAP h = nullptr;
    if (Gdiplus::DllExports::GdipCreateHBITMAPFromBitmap(gp, &h, 0xFFFFFFFF) == Gdiplus::Ok)
      out = h;
    Gdiplus::DllExports::GdipDisposeImage(gp);
  }
  stream->Release();
  return out;
}

HBITMAP StretchToBitmap(HBITMAP source, int width, int height, int newWidth, int newHeight) {
  if (source == nullptr || width <= 0 || height <= 0 || newWidth <= 0 || newHeight <= 0)
    return nullptr;
  HDC screen = GetDC(nullptr);
  if (screen == nullptr) return nullptr;
  HBITMAP result = nullptr;
  HDC src = CreateCompatibleDC(screen);
  HDC dst = CreateCompatibleDC(screen);
  HBITMAP target = CreateCompatibleBitmap(screen, newWidth, newHeight);
  if (src && dst && target) {
    HGDIOBJ oldSrc = SelectObject(src, source);
    HGDIOBJ oldDst = SelectObject(dst, target);
    SetStretchBltMode(dst, HALFTONE);
    SetBrushOrgEx(dst, 0, 0, nullptr);
    BOOL ok = StretchBlt(dst, 0, 0, newWidth, newHeight, src, 0, 0, width, height, SRCCOPY);
    SelectObject(src, oldSrc);
    SelectObject(dst, oldDst);
    if (ok) {
      result = target;
      target = nullptr;
    }
  }
  if (target) DeleteObject(target);
  if (dst) DeleteDC(dst);
  if (src) DeleteDC(src);
  ReleaseDC(nullptr, screen);
  return result;
}

bool FitThumbnailSize(int w, int h, int* newWidth, int* newHeight) {
  if (w <= THUMBNAIL_BOX_WIDTH && h <= THUMBNAIL_BOX_HEIGHT) return false;
  int nw, nh;
  if (w > h) {
    const float ratio = static_cast<float>(static_cast<double>(h) / static_cast<double>(w));
    if (w > THUMBNAIL_BOX_WIDTH) {
      nw = THUMBNAIL_BOX_WIDTH;
      nh = static_cast<int>(150.0 * static_cast<double>(ratio));
    } else {
      nw = w;
      nh = static_cast<int>(static_cast<double>(w) * static_cast<double>(ratio));
    }
  } else {
    const float ratio = static_cast<float>(static_cast<double>(w) / static_cast<double>(h));
    nw = static_cast<int>(110.0 * static_cast<double>(ratio));
    nh = THUMBNAIL_BOX_HEIGHT;
  }
  // A sliver of a picture (say 4000 x 1) still needs one pixel to draw into.
  if (nw < 1) nw = 1;
  if (nh < 1) nh = 1;
  *newWidth = nw;
  *newHeight = nh;
  return true;
}

int FitAndHandOut(HBITMAP bmp, bool bPreviewMode, HBITMAP* bitmap, int* width, int* height) {
  if (bmp == nullptr) return 0;
  if (bitmap == nullptr) {
    DeleteObject(bmp);
    return 0;
  }
  BITMAP info;
  memset(&info, 0, sizeof(info));
  if (GetObjectW(bmp, sizeof(info), &info) == 0 || info.bmWidth <= 0 || info.bmHeight <= 0) {
    DeleteObject(bmp);
    return 0;
  }
  const int w = info.bmWidth;
  const int h = info.bmHeight;
  int nw = w, nh = h;
  if (bPreviewMode || !FitThumbnailSize(w, h, &nw, &nh)) {
    *bitmap = bmp;
    if (width) *width = w;
    if (height) *height = h;
    return 1;
  }
  HBITMAP fitted = StretchToBitmap(bmp, w, h, nw, nh);
  DeleteObject(bmp);
  if (fitted == nullptr) return 0;
  *bitmap = fitted;
  if (width) *width = nw;
  if (height) *height = nh;
  return 1;
}

int MakeThumbnail(const void* data, int64_t size, HBITMAP* bitmap, int* width, int* height,
                  bool bPreviewMode) {
  if (bitmap == nullptr || data == nullptr || size <= 0 ||
      static_cast<uint64_t>(size) > kMaxPictureBytes)
    return 0;
  HBITMAP bmp = CreateBitmapFromMemory(data, static_cast<size_t>(size));
  return FitAndHandOut(bmp, bPreviewMode, bitmap, width, height);
}

namespace {
// The bytes at the reader's cursor that a thumbnail examines: at most size,
// never past the loaded window.
bool ReaderBytes(CDiskMappingPointer* reader, int64_t size, const unsigned char** data, uint64_t* n) {
  if (reader == nullptr || size <= 0) return false;
  CReaderCursor cur(reader);
  const uint64_t loaded = cur.Loaded();
  *n = static_cast<uint64_t>(size) < loaded ? static_cast<uint64_t>(size) : loaded;
  *data = cur.Data();
  return *n > 0;
}
}  // namespace

int MakeThumbnailFromReader(CDiskMappingPointer* reader, int64_t size, HBITMAP* bitmap,
                            int* width, int* height, bool bPreviewMode) {
  const unsigned char* data = nullptr;
  uint64_t n = 0;
  if (bitmap == nullptr || !ReaderBytes(reader, size, &data, &n)) return 0;
  return MakeThumbnail(data, static_cast<int64_t>(n), bitmap, width, height, bPreviewMode);
}

int ThumbnailFromReader(CDiskMappingPointer* reader, int64_t size, PictureFinder find,
                        HBITMAP* bitmap, int* width, int* height) {
  const unsigned char* data = nullptr;
  uint64_t n = 0;
  if (bitmap == nullptr || !ReaderBytes(reader, size, &data, &n)) return 0;
  return find(data, n, bitmap, width, height, false);
}

int PreviewFromMemory(const void* data, int64_t size, PictureFinder find, HBITMAP* bitmap,
                      int* width, int* height) {
  if (data == nullptr || size <= 0 || bitmap == nullptr) return 0;
  return find(static_cast<const unsigned char*>(data), static_cast<uint64_t>(size), bitmap, width,
              height, true);
}

}  // namespace plugin
