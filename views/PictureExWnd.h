// A small child window that shows one picture from memory or from the
// program's resources: an animated GIF, taken apart into frames here and
// animated on a thread of its own, or any picture the OLE picture loader
// reads, drawn once. The loading animations of the main window and of the
// preview window are such windows.
//
// The animation thread and the window's painting share the memory picture
// only under a lock, and the drawing objects are deleted only after the
// thread has ended.
#pragma once
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <cstdint>
#include <vector>

class CPictureExWnd
{
public:
    // One frame of an animated GIF.
    struct Frame
    {
        IPicture* picture;  // owned
        SIZE size;
        SIZE offset;
        int delay;     // hundredths of a second; -1 without a graphic control extension
        int disposal;  // 0 to 7
    };

    // GIF block kinds at a parse position.
    enum BlockKind
    {
        BLOCK_UNKNOWN,
        BLOCK_APPLICATION,
        BLOCK_COMMENT,
        BLOCK_CONTROL,
        BLOCK_PLAINTEXT,
        BLOCK_IMAGE,
        BLOCK_TRAILER,
    };

    CPictureExWnd();
    virtual ~CPictureExWnd();

    // Creates the window as a hidden child of parent.
    bool Create(HWND parent);
    HWND GetWindow() const { return m_hWnd; }

    // Finds the resource in the program's module, copies it into movable
    // global memory and loads it.
    bool LoadFromResource(int resourceId, const wchar_t* resourceType);
    bool LoadFromResource(HMODULE module, int resourceId, const wchar_t* resourceType);
    // Parses and prepares the picture; the caller frees the memory afterwards.
    bool Load(HGLOBAL memory, DWORD size);
    // Shows the picture: starts the animation of an animated GIF, else
    // renders the single picture once.
    bool Draw();
    // Ends the animation.
    void Stop();
    // When initialised: stores the colour and fills the whole picture with it.
    void SetBkColor(COLORREF colour);
    // Stops, releases every picture and drawing object, resets the fields.
    void Unload();

    // Window helpers for owners. Hiding also stops the animation.
    void Show(bool visible);
    bool IsVisible() const;
    void MoveTo(int x, int y, int w, int h);
    void Destroy();

    // State, for owners and tests.
    bool IsInitialised() const { return m_bInitialised != 0; }
    bool IsGif() const { return m_bIsGif != 0; }
    bool IsPlaying() const { return m_bPlaying != 0; }
    bool HasThread() const { return m_hThread != NULL; }
    int GetFrameCount() const { return (int)m_Frames.size(); }
    const Frame& GetFrame(int i) const { return m_Frames[i]; }
    SIZE GetPictureSize() const { return m_PictureSize; }
    COLORREF GetBkColor() const { return m_Background; }
    // How long the thread waits after a frame of this delay, in ms.
    static DWORD FrameWaitMs(int delay) { return delay < 5 ? 100 : (DWORD)delay * 10; }
    // A copy of the memory picture's pixels (0x00RRGGBB, top-down), under the lock.
    bool CopyPixels(std::vector<uint32_t>& pixels, int& w, int& h);
    // Frames shown since the thread started (tests wait on it).
    LONG GetFramesShown() const { return m_nFramesShown; }

    // The block at offset of a GIF of size bytes, and its length (0 when it
    // is unknown or does not fit). Exposed for tests.
    static BlockKind GetBlockKind(const uint8_t* data, size_t size, size_t offset);
    static size_t GetBlockLength(const uint8_t* data, size_t size, size_t offset, size_t* subBlocksEnd = NULL);

protected:
    virtual LRESULT ProcessWindowMessage(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);

private:
    CPictureExWnd(const CPictureExWnd&);
    CPictureExWnd& operator=(const CPictureExWnd&);

    static LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
    static unsigned __stdcall ThreadProc(void* param);
    void ThreadRun();

    bool LoadSingle(HGLOBAL memory, DWORD size, bool setSize);
    bool SkipBlock();
    bool SkipGraphicBlock();
    // The next graphic block as a standalone GIF in new fixed memory (the
    // caller owns it), with its length; fills frame's size, offset, delay
    // and disposal. Null when there is none.
    HGLOBAL ExtractGraphicBlock(DWORD* length, Frame* frame);
    bool PrepareSurface();
    bool RenderPicture(IPicture* picture, int x, int y, int w, int h);
    void FillRect(const RECT& rc, COLORREF colour);
    void ApplyDisposal(const Frame& frame, int disposal);
    void ReleaseDrawing();
    static void FreeSurface(HDC& dc, HBITMAP& bitmap, HGDIOBJ& replaced);

    HWND m_hWnd;
    SIZE m_PictureSize;
    COLORREF m_Background;
    DWORD m_dwDataSize;
    size_t m_nCurrentOffset;
    size_t m_nGlobalTableSize;
    volatile LONG m_bIsGif;
    volatile LONG m_bPlaying;
    volatile LONG m_bExitThread;
    volatile LONG m_bInitialised;
    HDC m_hMemDC;
    HDC m_hDisposeDC;
    HBITMAP m_hDisposeBitmap;
    HGDIOBJ m_hDisposeOld;
    HBITMAP m_hBitmap;
    HGDIOBJ m_hOldBitmap;
    HANDLE m_hThread;
    HANDLE m_hExitEvent;
    IPicture* m_pPicture;
    const uint8_t* m_pData;  // the locked data while loading
    std::vector<Frame> m_Frames;
    size_t m_nCurrentFrame;
    volatile LONG m_nFramesShown;
    // Guards the memory picture between the thread and the window.
    CRITICAL_SECTION m_csDraw;
};
