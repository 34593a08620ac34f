#include "views/PictureExWnd.h"

#include <process.h>

#include <cstring>

namespace {
const wchar_t kClassName[] = L"DelvaroPictureEx";
const size_t kHeaderSize = 13;  // signature, version and logical screen descriptor

uint16_t Read16(const uint8_t* p)
{
    return (uint16_t)(p[0] | (p[1] << 8));
}

// Bytes of a colour table whose flag and size sit in packed.
size_t ColourTableSize(uint8_t packed)
{
    return (packed & 0x80) ? 3u * (2u << (packed & 7)) : 0;
}

// End of a chain of sub-blocks starting at pos (past the zero length
// byte); 0 when the chain runs past size.
size_t SkipSubBlocks(const uint8_t* data, size_t size, size_t pos)
{
    for (;;) {
        if (pos >= size)
            return 0;
        const size_t len = data[pos];
        pos += 1 + len;
        if (len == 0)
            return pos <= size ? pos : 0;
    }
}
}  // namespace

// Deletes a memory DC with its bitmap, putting back what the bitmap replaced.
void CPictureExWnd::FreeSurface(HDC& dc, HBITMAP& bitmap, HGDIOBJ& replaced)
{
    if (dc) {
        if (replaced)
            SelectObject(dc, replaced);
        DeleteDC(dc);
    }
    if (bitmap)
        DeleteObject(bitmap);
    dc = NULL;
    bitmap = NULL;
    replaced = NULL;
}

CPictureExWnd::CPictureExWnd()
    : m_hWnd(NULL),
      m_Background(0xFFFFFF),
      m_dwDataSize(0),
      m_nCurrentOffset(0),
      m_nGlobalTableSize(0),
      m_bIsGif(0),
      m_bPlaying(0),
      m_bExitThread(0),
      m_bInitialised(0),
      m_hMemDC(NULL),
      m_hDisposeDC(NULL),
      m_hDisposeBitmap(NULL),
      m_hDisposeOld(NULL),
      m_hBitmap(NULL),
      m_hOldBitmap(NULL),
      m_hThread(NULL),
      m_hExitEvent(CreateEventW(NULL, TRUE, FALSE, NULL)),
      m_pPicture(NULL),
      m_pData(NULL),
      m_nCurrentFrame(0),
      m_nFramesShown(0)
{
    m_PictureSize.cx = m_PictureSize.cy = 0;
    InitializeCriticalSection(&m_csDraw);
}

CPictureExWnd::~CPictureExWnd()
{
    Unload();
    Destroy();
    if (m_hExitEvent)
        CloseHandle(m_hExitEvent);
    DeleteCriticalSection(&m_csDraw);
}

bool CPictureExWnd::Create(HWND parent)
{
    if (m_hWnd)
        return true;
    HINSTANCE inst = GetModuleHandleW(NULL);
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    if (!GetClassInfoExW(inst, kClassName, &wc)) {
        wc.cbSize = sizeof(wc);
        wc.lpfnWndProc = WndProc;
        wc.hInstance = inst;
        wc.hCursor = LoadCursor(NULL, IDC_ARROW);
        wc.lpszClassName = kClassName;
        RegisterClassExW(&wc);
    }
    m_hWnd = CreateWindowExW(0, kClassName, L"", WS_CHILD | WS_CLIPSIBLINGS, 0, 0, 1, 1, parent, NULL, inst,
                             this);
    return m_hWnd != NULL;
}

void CPictureExWnd::Destroy()
{
    Stop();
    if (m_hWnd) {
        HWND w = m_hWnd;
        m_hWnd = NULL;
        DestroyWindow(w);
    }
}

void CPictureExWnd::Show(bool visible)
{
    if (!visible)
        Stop();
    if (m_hWnd)
        ShowWindow(m_hWnd, visible ? SW_SHOWNA : SW_HIDE);
}

bool CPictureExWnd::IsVisible() const
{
    return m_hWnd && IsWindowVisible(m_hWnd);
}

void CPictureExWnd::MoveTo(int x, int y, int w, int h)
{
    if (m_hWnd)
        SetWindowPos(m_hWnd, HWND_TOP, x, y, w, h, SWP_NOACTIVATE);
}

bool CPictureExWnd::LoadFromResource(int resourceId, const wchar_t* resourceType)
{
    return LoadFromResource(GetModuleHandleW(NULL), resourceId, resourceType);
}

bool CPictureExWnd::LoadFromResource(HMODULE module, int resourceId, const wchar_t* resourceType)
{
    HRSRC res = module ? FindResourceW(module, MAKEINTRESOURCEW(resourceId), resourceType) : NULL;
    HGLOBAL data = res ? LoadResource(module, res) : NULL;
    const DWORD size = res ? SizeofResource(module, res) : 0;
    const void* bytes = data ? LockResource(data) : NULL;
    if (!bytes || !size)
        return false;
    HGLOBAL copy = GlobalAlloc(GMEM_MOVEABLE, size);
    if (!copy)
        return false;
    void* p = GlobalLock(copy);
    if (!p) {
        GlobalFree(copy);
        return false;
    }
    memcpy(p, bytes, size);
    GlobalUnlock(copy);
    const bool ok = Load(copy, size);
    GlobalFree(copy);
    return ok;
}

CPictureExWnd::BlockKind CPictureExWnd::GetBlockKind(const uint8_t* data, size_t size, size_t offset)
{
    if (!data || offset >= size)
        return BLOCK_UNKNOWN;
    switch (data[offset]) {
    case 0x21:
        if (offset + 1 >= size)
            return BLOCK_UNKNOWN;
        switch (data[offset + 1]) {
        case 0xFF:
            return BLOCK_APPLICATION;
        case 0xFE:
            return BLOCK_COMMENT;
        case 0xF9:
            return BLOCK_CONTROL;
        case 0x01:
            return BLOCK_PLAINTEXT;
        }
        return BLOCK_UNKNOWN;
    case 0x2C:
        return BLOCK_IMAGE;
    case 0x3B:
        return BLOCK_TRAILER;
    }
    return BLOCK_UNKNOWN;
}

size_t CPictureExWnd::GetBlockLength(const uint8_t* data, size_t size, size_t offset, size_t* subBlocksEnd)
{
    size_t end = 0;
    switch (GetBlockKind(data, size, offset)) {
    case BLOCK_APPLICATION:
        end = offset + 14 <= size ? SkipSubBlocks(data, size, offset + 14) : 0;
        break;
    case BLOCK_COMMENT:
        end = SkipSubBlocks(data, size, offset + 2);
        break;
    case BLOCK_CONTROL:
        end = offset + 8;
        break;
    case BLOCK_PLAINTEXT:
        end = offset + 15 <= size ? SkipSubBlocks(data, size, offset + 15) : 0;
        break;
    case BLOCK_IMAGE:
        // Descriptor (10 bytes), local table, code size byte, data sub-blocks.
        if (offset + 11 <= size) {
            const size_t table = ColourTableSize(data[offset + 9]);
            const size_t dataStart = offset + 11 + table;
            end = dataStart <= size ? SkipSubBlocks(data, size, dataStart) : 0;
        }
        break;
    case BLOCK_TRAILER:
        end = offset + 1;
        break;
    case BLOCK_UNKNOWN:
        break;
    }
    if (end <= offset || end > size)
        return 0;
    if (subBlocksEnd)
        *subBlocksEnd = end;
    return end - offset;
}

bool CPictureExWnd::SkipBlock()
{
    const size_t len = GetBlockLength(m_pData, m_dwDataSize, m_nCurrentOffset);
    if (len == 0 || m_nCurrentOffset + len > m_dwDataSize)
        return false;
    m_nCurrentOffset += len;
    return true;
}

bool CPictureExWnd::SkipGraphicBlock()
{
    for (;;) {
        switch (GetBlockKind(m_pData, m_dwDataSize, m_nCurrentOffset)) {
        case BLOCK_UNKNOWN:
        case BLOCK_TRAILER:
            return false;
        case BLOCK_IMAGE:
        case BLOCK_PLAINTEXT:
            return SkipBlock();
        case BLOCK_CONTROL:
        case BLOCK_APPLICATION:
        case BLOCK_COMMENT:
            if (!SkipBlock())
                return false;
            break;
        }
    }
}

HGLOBAL CPictureExWnd::ExtractGraphicBlock(DWORD* length, Frame* frame)
{
    frame->delay = -1;
    frame->disposal = 0;
    frame->offset.cx = frame->offset.cy = 0;
    frame->size.cx = frame->size.cy = 0;
    size_t graphicStart = 0;
    bool haveControl = false;
    for (;;) {
        const size_t at = m_nCurrentOffset;
        const BlockKind kind = GetBlockKind(m_pData, m_dwDataSize, at);
        if (kind == BLOCK_UNKNOWN || kind == BLOCK_TRAILER)
            return NULL;
        if (kind == BLOCK_CONTROL) {
            if (!SkipBlock())
                return NULL;
            if (!haveControl)
                graphicStart = at;
            haveControl = true;
            frame->delay = Read16(m_pData + at + 4);
            frame->disposal = (m_pData[at + 3] >> 2) & 7;
            continue;
        }
        if (kind == BLOCK_APPLICATION || kind == BLOCK_COMMENT) {
            if (!SkipBlock())
                return NULL;
            continue;
        }
        // An image or plain-text block: the frame's own.
        if (!SkipBlock())
            return NULL;
        if (!haveControl)
            graphicStart = at;
        if (kind == BLOCK_IMAGE) {
            frame->offset.cx = Read16(m_pData + at + 1);
            frame->offset.cy = Read16(m_pData + at + 3);
            frame->size.cx = Read16(m_pData + at + 5);
            frame->size.cy = Read16(m_pData + at + 7);
        }
        break;
    }
    const size_t head = kHeaderSize + m_nGlobalTableSize;
    const size_t body = m_nCurrentOffset - graphicStart;
    const size_t total = head + body + 1;
    HGLOBAL mem = GlobalAlloc(GMEM_FIXED, total);
    if (!mem)
        return NULL;
    uint8_t* out = (uint8_t*)mem;
    memcpy(out, m_pData, head);
    memcpy(out + head, m_pData + graphicStart, body);
    out[total - 1] = 0x3B;
    *length = (DWORD)total;
    return mem;
}

bool CPictureExWnd::LoadSingle(HGLOBAL memory, DWORD size, bool setSize)
{
    IStream* stream = NULL;
    if (FAILED(CreateStreamOnHGlobal(memory, FALSE, &stream)) || !stream)
        return false;
    IPicture* picture = NULL;
    HRESULT hr = OleLoadPicture(stream, (LONG)size, FALSE, IID_IPicture, (void**)&picture);
    stream->Release();
    if (FAILED(hr) || !picture)
        return false;
    m_pPicture = picture;
    if (setSize) {
        OLE_XSIZE_HIMETRIC hmW = 0;
        OLE_YSIZE_HIMETRIC hmH = 0;
        picture->get_Width(&hmW);
        picture->get_Height(&hmH);
        HDC dc = GetDC(m_hWnd);
        m_PictureSize.cx = MulDiv(hmW, GetDeviceCaps(dc, LOGPIXELSX), 2540);
        m_PictureSize.cy = MulDiv(hmH, GetDeviceCaps(dc, LOGPIXELSY), 2540);
        ReleaseDC(m_hWnd, dc);
    }
    return true;
}

bool CPictureExWnd::Load(HGLOBAL memory, DWORD size)
{
    Unload();
    if (!memory || size == 0)
        return false;
    // Never trust a size beyond the memory block itself.
    const SIZE_T blockSize = GlobalSize(memory);
    if (blockSize < size)
        return false;
    const uint8_t* data = (const uint8_t*)GlobalLock(memory);
    if (!data)
        return false;
    m_dwDataSize = size;
    m_pData = data;

    bool ok = false;
    if (size < 3 || memcmp(data, "GIF", 3) != 0) {
        GlobalUnlock(memory);
        m_pData = NULL;
        ok = LoadSingle(memory, size, true);
    } else if (size >= kHeaderSize) {
        InterlockedExchange(&m_bIsGif, 1);
        const uint8_t packed = data[10];
        m_nGlobalTableSize = ColourTableSize(packed);
        if (kHeaderSize + m_nGlobalTableSize <= size) {
            if (m_nGlobalTableSize) {
                const size_t index = data[11];
                const size_t at = kHeaderSize + 3 * index;
                if (at + 3 <= kHeaderSize + m_nGlobalTableSize)
                    m_Background = RGB(data[at], data[at + 1], data[at + 2]);
            }
            m_PictureSize.cx = Read16(data + 6);
            m_PictureSize.cy = Read16(data + 8);

            // Count the graphic blocks.
            m_nCurrentOffset = kHeaderSize + m_nGlobalTableSize;
            int count = 0;
            while (count < 2 && SkipGraphicBlock())
                ++count;
            if (count == 1) {
                GlobalUnlock(memory);
                m_pData = NULL;
                ok = LoadSingle(memory, size, false);
            } else if (count >= 2) {
                m_nCurrentOffset = kHeaderSize + m_nGlobalTableSize;
                for (;;) {
                    Frame frame = {};
                    DWORD len = 0;
                    HGLOBAL part = ExtractGraphicBlock(&len, &frame);
                    if (!part)
                        break;
                    IStream* stream = NULL;
                    if (FAILED(CreateStreamOnHGlobal(part, TRUE, &stream)) || !stream) {
                        GlobalFree(part);
                        continue;
                    }
                    IPicture* picture = NULL;
                    HRESULT hr = OleLoadPicture(stream, (LONG)len, FALSE, IID_IPicture, (void**)&picture);
                    stream->Release();
                    if (SUCCEEDED(hr) && picture) {
                        frame.picture = picture;
                        m_Frames.push_back(frame);
                    }
                }
                ok = !m_Frames.empty();
            }
        }
        if (m_pData) {
            GlobalUnlock(memory);
            m_pData = NULL;
        }
    } else {
        GlobalUnlock(memory);
        m_pData = NULL;
    }
    if (ok)
        ok = PrepareSurface();
    if (!ok)
        Unload();
    return ok;
}

bool CPictureExWnd::PrepareSurface()
{
    if (m_PictureSize.cx <= 0 || m_PictureSize.cy <= 0)
        return false;
    if (m_hWnd)
        SetWindowPos(m_hWnd, NULL, 0, 0, m_PictureSize.cx, m_PictureSize.cy,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    HDC dc = GetDC(m_hWnd);
    HDC mem = dc ? CreateCompatibleDC(dc) : NULL;
    HBITMAP bmp = dc ? CreateCompatibleBitmap(dc, m_PictureSize.cx, m_PictureSize.cy) : NULL;
    if (dc)
        ReleaseDC(m_hWnd, dc);
    if (!mem || !bmp) {
        if (mem)
            DeleteDC(mem);
        if (bmp)
            DeleteObject(bmp);
        return false;
    }
    EnterCriticalSection(&m_csDraw);
    m_hMemDC = mem;
    m_hBitmap = bmp;
    m_hOldBitmap = SelectObject(mem, bmp);
    m_Background = GetSysColor(COLOR_BTNFACE);
    RECT rc = {0, 0, m_PictureSize.cx, m_PictureSize.cy};
    ::FillRect(mem, &rc, (HBRUSH)(COLOR_WINDOW));
    LeaveCriticalSection(&m_csDraw);
    InterlockedExchange(&m_bInitialised, 1);
    return true;
}

void CPictureExWnd::SetBkColor(COLORREF colour)
{
    if (!m_bInitialised)
        return;
    EnterCriticalSection(&m_csDraw);
    m_Background = colour;
    RECT rc = {0, 0, m_PictureSize.cx, m_PictureSize.cy};
    FillRect(rc, colour);
    LeaveCriticalSection(&m_csDraw);
    if (m_hWnd)
        InvalidateRect(m_hWnd, NULL, FALSE);
}

// Called with the lock held.
void CPictureExWnd::FillRect(const RECT& rc, COLORREF colour)
{
    if (!m_hMemDC)
        return;
    HBRUSH brush = CreateSolidBrush(colour);
    ::FillRect(m_hMemDC, &rc, brush);
    DeleteObject(brush);
}

// Called with the lock held.
bool CPictureExWnd::RenderPicture(IPicture* picture, int x, int y, int w, int h)
{
    if (!picture || !m_hMemDC)
        return false;
    OLE_XSIZE_HIMETRIC hmW = 0;
    OLE_YSIZE_HIMETRIC hmH = 0;
    picture->get_Width(&hmW);
    picture->get_Height(&hmH);
    return SUCCEEDED(picture->Render(m_hMemDC, x, y, w, h, 0, hmH, hmW, -hmH, NULL));
}

bool CPictureExWnd::Draw()
{
    if (!m_bInitialised)
        return false;
    if (m_bIsGif && m_Frames.size() > 1) {
        if (m_hThread)
            return true;  // already running
        InterlockedExchange(&m_bExitThread, 0);
        ResetEvent(m_hExitEvent);
        unsigned id = 0;
        m_hThread = (HANDLE)_beginthreadex(NULL, 0, ThreadProc, this, CREATE_SUSPENDED, &id);
        if (!m_hThread)
            return false;
        InterlockedExchange(&m_bPlaying, 1);
        ResumeThread(m_hThread);
        return true;
    }
    EnterCriticalSection(&m_csDraw);
    const bool ok = RenderPicture(m_pPicture, 0, 0, m_PictureSize.cx, m_PictureSize.cy);
    LeaveCriticalSection(&m_csDraw);
    if (ok && m_hWnd)
        InvalidateRect(m_hWnd, NULL, FALSE);
    return ok;
}

unsigned __stdcall CPictureExWnd::ThreadProc(void* param)
{
    static_cast<CPictureExWnd*>(param)->ThreadRun();
    return 0;
}

// Called with the lock held.
void CPictureExWnd::ApplyDisposal(const Frame& frame, int disposal)
{
    RECT rc = {frame.offset.cx, frame.offset.cy, frame.offset.cx + frame.size.cx, frame.offset.cy + frame.size.cy};
    if (disposal == 2) {
        FillRect(rc, m_Background);
    } else if (disposal == 3 && m_hDisposeDC) {
        BitBlt(m_hMemDC, rc.left, rc.top, frame.size.cx, frame.size.cy, m_hDisposeDC, 0, 0, SRCCOPY);
        FreeSurface(m_hDisposeDC, m_hDisposeBitmap, m_hDisposeOld);
    }
}

void CPictureExWnd::ThreadRun()
{
    InterlockedExchange(&m_bPlaying, 1);
    const size_t count = m_Frames.size();
    if (m_nCurrentFrame >= count)
        m_nCurrentFrame = 0;
    EnterCriticalSection(&m_csDraw);
    if (count)
        ApplyDisposal(m_Frames[m_nCurrentFrame], m_Frames[m_nCurrentFrame].disposal == 2 ? 2 : 0);
    LeaveCriticalSection(&m_csDraw);

    while (!m_bExitThread && count) {
        const Frame& frame = m_Frames[m_nCurrentFrame];
        EnterCriticalSection(&m_csDraw);
        if (frame.disposal == 3 && !m_hDisposeDC) {
            // Keep what lies under the frame, to put it back afterwards.
            m_hDisposeDC = CreateCompatibleDC(m_hMemDC);
            m_hDisposeBitmap = CreateCompatibleBitmap(m_hMemDC, frame.size.cx > 0 ? frame.size.cx : 1,
                                                      frame.size.cy > 0 ? frame.size.cy : 1);
            if (m_hDisposeDC && m_hDisposeBitmap) {
                m_hDisposeOld = SelectObject(m_hDisposeDC, m_hDisposeBitmap);
                BitBlt(m_hDisposeDC, 0, 0, frame.size.cx, frame.size.cy, m_hMemDC, frame.offset.cx,
                       frame.offset.cy, SRCCOPY);
            } else {
                FreeSurface(m_hDisposeDC, m_hDisposeBitmap, m_hDisposeOld);
            }
        }
        const bool drawn = RenderPicture(frame.picture, frame.offset.cx, frame.offset.cy, frame.size.cx, frame.size.cy);
        LeaveCriticalSection(&m_csDraw);
        InterlockedIncrement(&m_nFramesShown);
        if (drawn && m_hWnd)
            InvalidateRect(m_hWnd, NULL, FALSE);
        if (m_bExitThread)
            break;
        WaitForSingleObject(m_hExitEvent, FrameWaitMs(frame.delay));
        if (m_bExitThread)
            break;
        EnterCriticalSection(&m_csDraw);
        ApplyDisposal(frame, frame.disposal);
        if (++m_nCurrentFrame >= count) {
            m_nCurrentFrame = 0;
            RECT rc = {0, 0, m_PictureSize.cx, m_PictureSize.cy};
            FillRect(rc, m_Background);
        }
        LeaveCriticalSection(&m_csDraw);
    }
    InterlockedExchange(&m_bPlaying, 0);
}

void CPictureExWnd::Stop()
{
    InterlockedExchange(&m_bPlaying, 0);
    InterlockedExchange(&m_bExitThread, 1);
    if (m_hExitEvent)
        SetEvent(m_hExitEvent);
    if (m_hThread) {
        // The thread waits only on the exit event between frames, so it ends
        // promptly; the drawing objects it uses outlive it.
        WaitForSingleObject(m_hThread, INFINITE);
        CloseHandle(m_hThread);
        m_hThread = NULL;
    }
    if (m_hExitEvent)
        ResetEvent(m_hExitEvent);
    InterlockedExchange(&m_bExitThread, 0);
}

void CPictureExWnd::ReleaseDrawing()
{
    EnterCriticalSection(&m_csDraw);
    FreeSurface(m_hDisposeDC, m_hDisposeBitmap, m_hDisposeOld);
    FreeSurface(m_hMemDC, m_hBitmap, m_hOldBitmap);
    LeaveCriticalSection(&m_csDraw);
}

void CPictureExWnd::Unload()
{
    Stop();
    if (m_pPicture) {
        m_pPicture->Release();
        m_pPicture = NULL;
    }
    for (Frame& f : m_Frames)
        if (f.picture)
            f.picture->Release();
    m_Frames.clear();
    ReleaseDrawing();
    m_PictureSize.cx = m_PictureSize.cy = 0;
    m_dwDataSize = 0;
    m_nCurrentOffset = 0;
    m_nGlobalTableSize = 0;
    m_nCurrentFrame = 0;
    m_pData = NULL;
    InterlockedExchange(&m_bIsGif, 0);
    InterlockedExchange(&m_bPlaying, 0);
    InterlockedExchange(&m_bExitThread, 0);
    InterlockedExchange(&m_bInitialised, 0);
    InterlockedExchange(&m_nFramesShown, 0);
    m_Background = 0xFFFFFF;
}

bool CPictureExWnd::CopyPixels(std::vector<uint32_t>& pixels, int& w, int& h)
{
    EnterCriticalSection(&m_csDraw);
    w = m_PictureSize.cx;
    h = m_PictureSize.cy;
    bool ok = false;
    if (m_hMemDC && w > 0 && h > 0) {
        BITMAPINFO bi = {};
        bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
        bi.bmiHeader.biWidth = w;
        bi.bmiHeader.biHeight = -h;
        bi.bmiHeader.biPlanes = 1;
        bi.bmiHeader.biBitCount = 32;
        void* bits = NULL;
        HBITMAP dib = CreateDIBSection(m_hMemDC, &bi, DIB_RGB_COLORS, &bits, NULL, 0);
        HDC tmp = CreateCompatibleDC(m_hMemDC);
        if (dib && tmp && bits) {
            HGDIOBJ old = SelectObject(tmp, dib);
            ok = BitBlt(tmp, 0, 0, w, h, m_hMemDC, 0, 0, SRCCOPY) != 0;
            GdiFlush();
            if (ok) {
                pixels.assign((const uint32_t*)bits, (const uint32_t*)bits + (size_t)w * h);
                for (uint32_t& p : pixels)
                    p &= 0xFFFFFF;
            }
            SelectObject(tmp, old);
        }
        if (tmp)
            DeleteDC(tmp);
        if (dib)
            DeleteObject(dib);
    }
    LeaveCriticalSection(&m_csDraw);
    return ok;
}

LRESULT CPictureExWnd::ProcessWindowMessage(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    switch (msg) {
    case WM_DESTROY:
        Stop();
        break;
    case WM_ERASEBKGND:
        return 1;
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(hwnd, &ps);
        RECT client;
        GetClientRect(hwnd, &client);
        EnterCriticalSection(&m_csDraw);
        if (m_hMemDC) {
            BitBlt(dc, 0, 0, m_PictureSize.cx, m_PictureSize.cy, m_hMemDC, 0, 0, SRCCOPY);
        }
        const COLORREF bg = m_Background;
        LeaveCriticalSection(&m_csDraw);
        // Whatever lies beyond the picture takes the background.
        if (client.right > m_PictureSize.cx || client.bottom > m_PictureSize.cy) {
            HBRUSH brush = CreateSolidBrush(bg);
            RECT right = {m_PictureSize.cx, 0, client.right, client.bottom};
            RECT below = {0, m_PictureSize.cy, m_PictureSize.cx, client.bottom};
            ::FillRect(dc, &right, brush);
            ::FillRect(dc, &below, brush);
            DeleteObject(brush);
        }
        EndPaint(hwnd, &ps);
        return 0;
    }
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

LRESULT CALLBACK CPictureExWnd::WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    CPictureExWnd* self = (CPictureExWnd*)GetWindowLongPtrW(hwnd, GWLP_USERDATA);
    if (msg == WM_NCCREATE) {
        self = (CPictureExWnd*)((CREATESTRUCTW*)lp)->lpCreateParams;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, (LONG_PTR)self);
    }
    if (msg == WM_NCDESTROY) {
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        if (self && self->m_hWnd == hwnd)
            self->m_hWnd = NULL;
        return DefWindowProcW(hwnd, msg, wp, lp);
    }
    if (self)
        return self->ProcessWindowMessage(hwnd, msg, wp, lp);
    return DefWindowProcW(hwnd, msg, wp, lp);
}
